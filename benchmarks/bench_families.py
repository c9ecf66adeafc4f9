"""Planning a family as one kind against planning its kinds one by one, when usage moves between sizes.

Half of a family's usage moves from one size to the next halfway through the history (the same
normalised units, in half as many instances of twice the size). Planned kind by kind, each size
gets reservations for its own usage only, so the moved half is reserved twice or not at all;
planned by family, one reservation in normalised units covers it before and after. Both plans
are the module's price over the same history; prints both and the saving of the family plan.

    .venv/bin/python benchmarks/bench_families.py [--days 180]
"""

from __future__ import annotations

import argparse

import numpy as np

from velmar.families import Families, pool
from velmar.plan import recommend
from velmar.records import PriceTable, UsageHistory

FACTORS = {"m.large": 4.0, "m.xlarge": 8.0, "c.large": 4.0, "c.xlarge": 8.0}


def moving_history(days: int, seed: int = 0) -> UsageHistory:
    rng = np.random.default_rng(seed)
    periods = 24 * days
    moved = np.arange(periods) >= periods // 2
    daily = 1 + 0.15 * np.sin(np.arange(periods) * 2 * np.pi / 24)
    columns = []
    for base in (20.0, 12.0):  # instances of the smaller size before the move
        smaller = np.where(moved, base / 2, base) * daily
        larger = np.where(moved, base / 4, 0.0) * daily + 1.0
        columns += [smaller + rng.normal(0, 0.5, periods), larger + rng.normal(0, 0.2, periods)]
    timestamps = np.datetime64("2025-01-01T00", "h") + np.arange(periods)
    return UsageHistory(timestamps, tuple(FACTORS), np.maximum(np.column_stack(columns), 0.0), "H")


def prices() -> PriceTable:
    factors = np.array(list(FACTORS.values()))
    per_unit = {"OD": 0.1, "RI3Y": 0.04, "RI1Y": 0.06, "SP3Y": 0.065, "SP1Y": 0.08}
    rates = {model: rate * factors for model, rate in per_unit.items()}
    on_demand = rates.pop("OD")
    return PriceTable(tuple(FACTORS), on_demand, rates)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--days", type=int, default=180)
    days = parser.parse_args().days
    history, table = moving_history(days), prices()
    families = Families("bench", {kind: kind.split(".")[0] for kind in FACTORS}, FACTORS)
    by_kind = recommend(history, table)
    pooled, pooled_prices, _, _ = pool(history, table, (), families)
    by_family = recommend(pooled, pooled_prices)
    print(f"{days} days of hourly usage, 2 families of 2 sizes, half of each family's usage moving size halfway")
    print(f"{'plan':<12}{'cost':>14}{'on demand':>14}{'bound':>14}")
    for label, rec in (("by kind", by_kind), ("by family", by_family)):
        print(f"{label:<12}{rec.cost:>14,.2f}{rec.on_demand_cost:>14,.2f}{rec.lower_bound:>14,.2f}")
    saved = by_kind.cost - by_family.cost
    print(f"by family costs {saved:,.2f} less ({saved / by_kind.cost:.2%} of the plan by kind)")


if __name__ == "__main__":
    main()
