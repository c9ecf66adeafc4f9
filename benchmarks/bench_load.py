"""The loader on a large FOCUS export against one bare DuckDB GROUP BY over the same rows.

Writes a synthetic export (default 100 million usage rows: 50 sub-accounts, a year of hours,
40 kinds, several Parquet files) once into --folder, then times, interleaved and best of
--rounds, each in a fresh process so that its peak memory is its own:

- `load_focus` (the kinds of a price file, one matrix) against the bare query that sums the
  same rows per hour and kind;
- `split_focus` by SubAccountId (what `velmar batch` does first, every group's history
  read) against the bare query that also groups by SubAccountId.

It prints rows per second, peak memory and each ratio, with the load average.
Targets: the loader within 1.5x of the bare query, the split within 2x of its bare query; peak
memory at most 4 GB.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import duckdb
from timing import Timing, arguments, interleaved, load_average

HOURS, ACCOUNTS, KINDS, FILES = 8760, 50, 40, 10


def write_export(folder: Path, rows: int) -> Path:
    """The export's files (skipped when they are there already) and a price file for its kinds."""
    folder.mkdir(parents=True, exist_ok=True)
    prices = folder / "prices.csv"
    if not prices.exists() or len(list(folder.glob("*.parquet"))) != FILES:
        per_file = rows // FILES
        for index in range(FILES):
            first = index * per_file
            duckdb.execute(
                f"""COPY (
                    SELECT 'Usage' AS ChargeCategory, 'Standard' AS PricingCategory, NULL::VARCHAR AS ChargeClass,
                           TIMESTAMPTZ '2025-01-01 00:00:00+00' + to_hours(i % {HOURS}) AS ChargePeriodStart,
                           TIMESTAMPTZ '2025-01-01 01:00:00+00' + to_hours(i % {HOURS}) AS ChargePeriodEnd,
                           (1 + (i * 7919) % 13) / 4.0 AS ConsumedQuantity, 'Hours' AS ConsumedUnit,
                           'region-' || ((i // {HOURS * ACCOUNTS}) % 4) AS RegionId,
                           'sku-' || ((i // {HOURS * ACCOUNTS}) % {KINDS}) AS SkuId,
                           'acct-' || lpad(CAST((i // {HOURS}) % {ACCOUNTS} AS VARCHAR), 3, '0') AS SubAccountId,
                           'Compute' AS ServiceName, 0.05 * (1 + (i * 7919) % 13) AS EffectiveCost,
                           'USD' AS BillingCurrency, 0.2 AS ListUnitPrice
                    FROM range({first}, {first + per_file}) AS t(i)
                ) TO '{folder / f"part-{index:02d}.parquet"}' (FORMAT parquet)"""
            )
        kinds = duckdb.sql(
            f"SELECT DISTINCT RegionId || '/' || SkuId FROM read_parquet('{folder}/*.parquet') ORDER BY 1"
        ).fetchall()
        prices.write_text("kind,on_demand,ri3y,sp3y\n" + "".join(f"{k},0.2,0.08,0.1\n" for (k,) in kinds))
    return prices


def child(what: str, folder: str) -> None:
    """One contender, run in this process; prints its seconds, peak memory and result size as JSON."""
    files = f"{folder}/*.parquet"
    from velmar import data  # imported before the clock starts, as in a command that reads its inputs

    started = time.perf_counter()
    if what.startswith("bare"):
        groups = "SubAccountId, " if what == "bare split" else ""
        con = duckdb.connect()
        con.execute("SET TimeZone = 'UTC'")
        size = con.execute(
            f"""SELECT count(*) FROM (
                SELECT {groups}date_trunc('hour', ChargePeriodStart) AS t, RegionId, SkuId, sum(ConsumedQuantity)
                FROM read_parquet('{files}') WHERE ChargeCategory = 'Usage' GROUP BY ALL)"""
        ).fetchone()[0]
    else:
        kinds = data.price_kinds(f"{folder}/prices.csv")
        if what == "loader":
            size = data.load_focus(files, kinds=kinds).usage.size
        else:
            with data.split_focus(files, ["SubAccountId"], kinds=kinds) as split:
                size = sum(split.history(index).usage.size for index in range(len(split.keys)))
    seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "peak": peak, "size": size}))


def in_child(what: str, folder: Path) -> Timing:
    done = subprocess.run(
        [sys.executable, __file__, "--child", what, str(folder)], check=True, capture_output=True, text=True
    )
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    return Timing(figures["seconds"], 0.0, figures)


def main() -> None:
    parser = arguments(__doc__, rounds=2)
    parser.add_argument("--rows", type=int, default=100_000_000, help="usage rows of the export")
    parser.add_argument("--folder", default="/tmp/velmar-bench-load", help="where the export is written (kept)")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    folder = Path(args.folder)
    started = time.perf_counter()
    write_export(folder, args.rows)
    size = sum(path.stat().st_size for path in folder.glob("*.parquet"))
    written = time.perf_counter() - started
    print(f"export: {args.rows:,} rows in {FILES} Parquet files, {size / 1e9:.2f} GB ({written:.0f} s)")
    names = ("loader", "bare", "split", "bare split")
    best = interleaved({name: (lambda name=name: in_child(name, folder)) for name in names}, args.rounds)
    if args.json:
        print(json.dumps({f"{name} s": best[name].seconds for name in names}))
        return
    for name in names:
        timing = best[name]
        print(
            f"{name:>10}: {timing.seconds:7.1f} s, {args.rows / timing.seconds / 1e6:6.2f} M rows/s, "
            f"peak memory {timing.value['peak'] / 2**30:5.2f} GiB"
        )
    print(f"loader / bare query: {best['loader'].seconds / best['bare'].seconds:.2f}x (target at most 1.5x)")
    split = best["split"].seconds / best["bare split"].seconds
    print(f"split / bare query by sub-account: {split:.2f}x (target at most 2x)")
    print(load_average())


if __name__ == "__main__":
    os.environ.setdefault("SKBUILD_EDITABLE_VERBOSE", "0")
    main()
