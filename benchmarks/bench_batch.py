"""One plan per sub-account: serially in one process, and on a local Dask cluster.

Writes the demo export with ACCOUNTS sub-accounts, splits it once (one DuckDB pass),
plans every group one after the other in this process on one core, and runs `plan_many` on
a local cluster of one-thread worker processes (one per CPU unless --workers), the two
interleaved round by round (--rounds, default 1), best of each. Prints
groups per second both ways and the speed-up; the per-group overhead of the cluster
(worker time not spent planning: the split, shipping, scheduling, writing, the idle
tail) against the planning time; the per-group planning time and data size; and the
load average, since other work on the machine skews every figure.

    python benchmarks/bench_batch.py [--accounts 200] [--days 90] [--workers N] [--n-starts 8] [--rounds N] [--json]
"""

from __future__ import annotations

import logging
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))

from distributed import Client, LocalCluster
from timing import Timing, arguments, interleaved, load_average, print_json

import velmar_backend
from velmar import data
from velmar.batch import plan_group, plan_many, prices_of_kinds
from velmar.demo_data import write_demo


def main() -> None:
    parser = arguments(__doc__, rounds=1)
    parser.add_argument("--accounts", type=int, default=200)
    parser.add_argument("--days", type=int, default=90)
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--n-starts", type=int, default=8)
    args = parser.parse_args()
    options = {"n_starts": args.n_starts}
    cores = len(os.sched_getaffinity(0))
    say = (lambda text: None) if args.json else print
    say(f"machine: {cores} cores, {load_average()} at the start; module {velmar_backend.__file__}")

    with tempfile.TemporaryDirectory() as folder:
        demo = write_demo(folder, days=args.days, accounts=args.accounts)
        started = time.perf_counter()
        with data.split_focus(demo.export, ["SubAccountId"]) as split:
            split_seconds = time.perf_counter() - started
            histories = [split.history(index) for index in range(len(split.keys))]
            prices = data.load_prices(demo.prices, split.kinds(), focus_paths=demo.export)
        groups = len(histories)
        sizes = np.array([history.usage.nbytes for history in histories])
        shapes = np.array([history.usage.shape for history in histories])
        say(
            f"data: {groups} groups from {os.path.getsize(demo.export) / 1e6:.0f} MB of export; split in one pass "
            f"in {split_seconds:.1f} s ({1000 * split_seconds / groups:.0f} ms per group); per group "
            f"{shapes[:, 0].mean():.0f} periods x {shapes[:, 1].mean():.1f} kinds, {sizes.mean() / 1e3:.0f} kB "
            f"(largest {sizes.max() / 1e3:.0f} kB)"
        )

        def serial() -> Timing:
            # Serially means one process on one core: the module's pool gets one thread, as each
            # worker process of the cluster does. The pool takes its size at its first use, which
            # is here: the first round starts with this contender.
            os.environ["VELMAR_NUM_THREADS"] = "1"
            started, cpu = time.perf_counter(), time.process_time()
            for history in histories:
                plan_group(history, prices_of_kinds(prices, history.kinds), ("RI3Y", "RI1Y", "SP3Y", "SP1Y"), options)
            seconds = time.perf_counter() - started + split_seconds
            del os.environ["VELMAR_NUM_THREADS"]  # the cluster's workers take their share of the cores
            return Timing(seconds, time.process_time() - cpu, None)

        def cluster() -> Timing:
            started = time.perf_counter()
            local = LocalCluster(
                n_workers=args.workers, threads_per_worker=1, dashboard_address=None, silence_logs=logging.CRITICAL
            )
            startup = time.perf_counter() - started
            with local, Client(local) as client:
                out = tempfile.mkdtemp(dir=folder)  # a fresh journal: a rerun into one would resume
                started, cpu = time.perf_counter(), time.process_time()
                result = plan_many(demo.export, demo.prices, client=client, out=out, **options)
                return Timing(time.perf_counter() - started, time.process_time() - cpu, (result, startup))

        times = interleaved({"serial": serial, "cluster": cluster}, args.rounds)

    serial_seconds, wall = times["serial"].seconds, times["cluster"].seconds
    if args.json:
        print_json({"serial groups /s": groups / serial_seconds, "cluster groups /s": groups / wall})
        return
    result, startup = times["cluster"].value
    serial_rate = groups / serial_seconds
    print(f"serial (one process, one thread): {serial_rate:.3f} groups/s ({serial_seconds:.1f} s, split included)")
    planning = np.array([row["seconds"] for row in result.rows if row["model"] in ("RI3Y", None)])
    print(
        f"cluster: {args.workers} workers, {groups / wall:.3f} groups/s ({wall:.1f} s, split included; "
        f"{startup:.1f} s to start the cluster, not included); failed groups: {result.failed}"
    )
    speedup = serial_seconds / wall
    print(f"speed-up: {speedup:.2f} = {speedup / cores:.2f} x {cores} cores (target: at least 0.8 x cores)")
    overhead = (wall * args.workers - planning.sum()) / groups
    print(
        f"per group: planning {planning.mean():.2f} s in a worker (median {np.median(planning):.2f}, "
        f"max {planning.max():.2f}); overhead {1000 * overhead:.0f} ms = {100 * overhead / planning.mean():.1f}% "
        "of the planning time (target: under 5%)"
    )
    print(f"best of {args.rounds} interleaved rounds; {load_average()} at the end")


if __name__ == "__main__":
    main()
