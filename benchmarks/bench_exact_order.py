"""The recommendation against the cheapest whole-unit plan in its own column order, proven.

The planner's whole-unit bound lets savings-plan money buy any kind (the LP cost model).
The module spends each savings plan on the kinds in column order, one plan after the
other, which can cost more when two rate sets take part. This script writes the
module's own pricing as a MILP, in the recommendation's column order, with one binary per
period, kind and savings plan ("this plan's money ran out at this kind"), and lets HiGHS
bound it for --seconds. Its dual bound is a lower bound on the module's price of every
whole-unit plan in that order (savings-plan amounts may take any value); the script
prints the recommendation's gap to it beside the gap to the planner's bound.

    python benchmarks/bench_exact_order.py [--only NAME] [--seconds 600]

It takes minutes per history: it is a proof tool, not a stage of the planner.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import highspy
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))

from bench_planner import CASES, demo_case
from timing import load_average

from velmar.bound import _charges, upper_levels
from velmar.plan import recommend
from velmar.portfolio import Portfolio, build_portfolio


class Model:
    """Columns and rows of a HiGHS model, added as Python lists and passed in one go."""

    def __init__(self) -> None:
        self.cost: list[float] = []
        self.lower: list[float] = []
        self.upper: list[float] = []
        self.integer: list[bool] = []
        self.rows: list[tuple[float, float, list[int], list[float]]] = []

    def column(self, cost: float, upper: float, integer: bool = False) -> int:
        self.cost.append(cost)
        self.lower.append(0.0)
        self.upper.append(upper)
        self.integer.append(integer)
        return len(self.cost) - 1

    def row(self, lower: float, upper: float, columns: list[int], values: list[float]) -> None:
        self.rows.append((lower, upper, columns, values))

    def solve(self, seconds: float) -> tuple[str, float]:
        solver = highspy.Highs()  # type: ignore[no-untyped-call]
        solver.setOptionValue("output_flag", False)
        solver.setOptionValue("time_limit", seconds)
        solver.setOptionValue("mip_rel_gap", 1e-6)
        count = len(self.cost)
        none = np.array([], dtype=np.int32)
        solver.addCols(count, np.array(self.cost), np.array(self.lower), np.array(self.upper), 0, none, none, [])
        kinds = [highspy.HighsVarType.kInteger if i else highspy.HighsVarType.kContinuous for i in self.integer]
        solver.changeColsIntegrality(count, np.arange(count, dtype=np.int32), np.array(kinds))
        starts, index, value = [], [], []
        for _, _, columns, values in self.rows:
            starts.append(len(index))
            index += columns
            value += values
        solver.addRows(
            len(self.rows),
            np.array([r[0] for r in self.rows]),
            np.array([r[1] for r in self.rows]),
            len(index),
            np.array(starts, dtype=np.int32),
            np.array(index, dtype=np.int32),
            np.array(value),
        )
        solver.run()
        return solver.modelStatusToString(solver.getModelStatus()), float(solver.getInfo().mip_dual_bound)


def exact_order_bound(portfolio: Portfolio, seconds: float) -> tuple[str, float]:
    """A lower bound on the module's price of every whole-unit plan, in the portfolio's order."""
    usage, hours = portfolio.usage, portfolio.hours
    periods, n = usage.shape
    model = Model()
    charges, upper = _charges(portfolio), upper_levels(portfolio)
    levels = [0] * portfolio.level_count
    for name in portfolio.models:
        for entry in range(portfolio.level_count)[portfolio.slot(name)]:
            whole = name in portfolio.reserved_models
            levels[entry] = model.column(charges[entry], np.ceil(upper[entry]) + 1 if whole else upper[entry], whole)
    # Savings plans in the module's order: existing ones (served as SP3Y), then the new ones.
    in_force = np.arange(periods) < portfolio.active_periods("SP3Y")
    existing = zip(portfolio.existing_rates, portfolio.existing_money.T)
    plans = [(rates, money * in_force, None) for rates, money in existing]
    plans += [(portfolio.rates[m], np.zeros(periods), m) for m in portfolio.savings_models]
    for t in range(periods):
        left = []  # usage of each kind left by the reservations (at least; more only costs more)
        for k in range(n):
            column = model.column(0.0, usage[t, k])
            in_force_now = [m for m in portfolio.reserved_models if t < portfolio.active_periods(m)]
            entries = [levels[portfolio.slot(m).start + k] for m in in_force_now]
            model.row(usage[t, k], np.inf, [column, *entries], [1.0] + [float(hours)] * len(entries))
            left.append(column)
        for rates, money, name in plans:
            new = name is not None and t < portfolio.active_periods(name)
            most = money[t] + (upper[portfolio.slot(name).start] if new else 0.0)
            if most <= 0:
                continue
            budget = ([levels[portfolio.slot(name).start]], [1.0]) if new else ([], [])
            spent_columns: list[int] = []
            spent_values: list[float] = []
            after = []
            for k in range(n):
                covered = model.column(0.0, usage[t, k])
                ran_out = model.column(0.0, 1.0, True)
                rest = model.column(0.0, usage[t, k])
                model.row(0.0, 0.0, [rest, left[k], covered], [1.0, -1.0, 1.0])
                # Covered in full unless the money ran out at this kind ...
                model.row(0.0, np.inf, [covered, left[k], ran_out], [1.0, -1.0, usage[t, k]])
                spent_columns.append(covered)
                spent_values.append(rates[k])
                columns = budget[0] + spent_columns
                values = budget[1] + [-v for v in spent_values]
                # ... never more than the money, and none left once it ran out.
                model.row(-money[t], np.inf, columns, values)
                model.row(-np.inf, most - money[t], [*columns, ran_out], [*values, most])
                after.append(rest)
            left = after
        for k in range(n):
            model.cost[left[k]] += portfolio.on_demand[k]
    status, bound = model.solve(seconds)
    return status, bound + float(sum(m[1].sum() for m in plans))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", help="the histories whose name contains this text")
    parser.add_argument("--seconds", type=float, default=600.0, help="HiGHS's time per history")
    args = parser.parse_args()
    print(load_average(), flush=True)
    with tempfile.TemporaryDirectory() as directory:
        cases = {"demo export hourly": lambda: demo_case(directory), **CASES}
        for name, make in cases.items():
            if args.only is not None and args.only not in name:
                continue
            history, prices, existing = make()
            rec = recommend(history, prices, existing=existing)
            portfolio = build_portfolio(history, prices, rec.models, existing, kind_order=rec.kinds)
            started = time.perf_counter()
            status, bound = exact_order_bound(portfolio, args.seconds)
            whole = rec.whole_unit_bound or rec.lower_bound
            print(
                f"{name:28s} cost {rec.cost:,.2f}  whole-unit bound {whole:,.2f} "
                f"({100 * (rec.cost - whole) / whole:.3f}% above)  exact-order bound {bound:,.2f} "
                f"({100 * (rec.cost - bound) / bound:.3f}% above; {status}, {time.perf_counter() - started:.0f} s)",
                flush=True,
            )
    print(load_average())


if __name__ == "__main__":
    main()
