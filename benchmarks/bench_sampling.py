"""Parallel speed-up of the sampling and of the search over predicted usage.

1. `generate_cost_and_coverage`: 10,000 random plans priced over a one-year hourly
   history of 16 instance kinds; samples per second.
2. `optimise_predictions`: 20 predicted one-year daily histories of 8 kinds, portfolio
   RI3Y, RI1Y, SP3Y, SP1Y, OD, two random starts per CPU; wall time per call.

Each figure is measured twice, interleaved round by round: in this process, whose worker
pool has one worker per CPU available to it, and in a child process pinned to a single CPU
before it imports the module (the pool sizes itself from the affinity on first use). The
ratio of the two is the parallel speed-up; the target is at least 0.8 x the CPU count.

    python benchmarks/bench_sampling.py [--rounds N] [--json]
"""

import json
import os
import sys
import time

import numpy as np
from timing import Timing, arguments, interleaved, load_average, print_json, run_on_one_cpu

HOURS, KINDS_SAMPLING, N_SAMPLE = 8_760, 16, 10_000
DAYS, KINDS_SEARCH, SCENARIOS = 365, 8, 20
PORTFOLIO = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]


def hourly_history(seed=7):
    rng = np.random.default_rng(seed)
    hours = np.arange(HOURS)[:, None]
    base = rng.uniform(2.0, 40.0, KINDS_SAMPLING)
    daily = 1.0 + 0.3 * np.sin(2 * np.pi * (hours % 24) / 24 + rng.uniform(0, 2 * np.pi, KINDS_SAMPLING))
    usage = base * daily * rng.gamma(8.0, 1.0 / 8.0, (HOURS, KINDS_SAMPLING))
    on_demand = rng.uniform(0.05, 3.0, KINDS_SAMPLING)
    prices = np.vstack([on_demand, 0.7 * on_demand, 0.6 * on_demand])
    return usage, prices


def daily_predictions(seed=11):
    rng = np.random.default_rng(seed)
    days = np.arange(DAYS)[None, :, None]
    base = rng.uniform(24.0, 600.0, KINDS_SEARCH)  # unit-hours per day
    trend = 1.0 + rng.uniform(-0.2, 0.5, (SCENARIOS, 1, KINDS_SEARCH)) * days / DAYS
    weekly = 1.0 + 0.1 * np.sin(2 * np.pi * days / 7)
    predictions = base * trend * weekly * rng.gamma(10.0, 0.1, (SCENARIOS, DAYS, KINDS_SEARCH))
    on_demand = rng.uniform(0.05, 3.0, KINDS_SEARCH)
    prices = np.vstack([0.45 * on_demand, 0.62 * on_demand, 0.55 * on_demand, 0.7 * on_demand, on_demand])
    return np.ascontiguousarray(predictions), prices


def workloads(n_starts, n_threads):
    """One call of each workload, with the worker pool this process gets."""
    import velmar_backend as vb

    usage, prices = hourly_history()

    def sampling():
        out = vb.generate_cost_and_coverage(usage, prices, N_SAMPLE, n_threads, "H")
        if out.shape != (N_SAMPLE, 2) or not np.isfinite(out).all():
            raise SystemExit("generate_cost_and_coverage gave an unexpected result")

    predictions, search_prices = daily_predictions()
    paid = np.zeros((DAYS, 0))

    def search():
        r = vb.optimise_predictions(predictions, search_prices, paid, PORTFOLIO, "D", n_starts)
        if not np.isfinite(r.minimum):
            raise SystemExit("optimise_predictions gave an unexpected result")

    return {"sampling": sampling, "search": search}


def one_worker(workload, n_starts, n_threads):
    """A contender that times one call of `workload` in a child process pinned to one CPU."""
    return lambda: Timing(**run_on_one_cpu(__file__, workload, n_starts, n_threads), value=None)


def report(title, single, parallel, cpus, target, work=None):
    w1, wp, cp = single.seconds, parallel.seconds, parallel.cpu_seconds
    per = (lambda w: f"   {work / w:10.0f} samples/s") if work else (lambda w: "")
    print(title)
    print(f"  one worker      {w1:8.3f} s{per(w1)}")
    print(f"  {cpus:2d} workers      {wp:8.3f} s{per(wp)}   (busy CPUs on average {cp / wp:.2f})")
    print(f"  speed-up        {w1 / wp:8.2f} x   ({'meets' if w1 / wp >= target else 'below'} the target)")


def main():
    args = arguments(__doc__, rounds=2).parse_args()
    cpus = len(os.sched_getaffinity(0))
    n_starts = 2 * cpus
    target = 0.8 * cpus
    # The same calls in both processes: n_threads is the caller's CPU count.
    contenders = {}
    for workload, call in workloads(n_starts, cpus).items():
        contenders[f"{workload} one worker"] = one_worker(workload, n_starts, cpus)
        contenders[f"{workload} pool"] = call
    times = interleaved(contenders, args.rounds)
    if args.json:
        print_json({f"{name} s": timing.seconds for name, timing in times.items()})
        return

    print(f"worker pool: {cpus} workers (CPUs available); speed-up target {target:.1f} x")
    report(
        f"generate_cost_and_coverage, {N_SAMPLE} plans over {HOURS} x {KINDS_SAMPLING} hourly cells",
        times["sampling one worker"],
        times["sampling pool"],
        cpus,
        target,
        N_SAMPLE,
    )
    report(
        f"optimise_predictions, {SCENARIOS} scenarios of {DAYS} x {KINDS_SEARCH} daily cells, "
        f"{', '.join(PORTFOLIO)}, n_starts {n_starts}",
        times["search one worker"],
        times["search pool"],
        cpus,
        target,
    )
    print("  (the random starts differ between calls, so run lengths and times vary)")
    print(f"best of {args.rounds} interleaved rounds; {load_average()}; other work on the machine lowers the speed-up")


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--one-worker":
        # Pin before the module is imported: its pool counts the CPUs on first use.
        os.sched_setaffinity(0, {int(sys.argv[2])})
        call = workloads(int(sys.argv[4]), int(sys.argv[5]))[sys.argv[3]]
        wall, cpu = time.perf_counter(), time.process_time()
        call()
        print(json.dumps({"seconds": time.perf_counter() - wall, "cpu_seconds": time.process_time() - cpu}))
    else:
        main()
