"""Planner stages on the demo export and on synthetic histories: time and gaps.

For each history: the time of the module's searches, of the LP bound, of the
whole-unit optimum and of the polish; the gap of the module's search and of the
recommendation to the LP bound; and the recommendation's proven gap to the cheapest
whole-unit plan (to the whole-unit optimum of the LP cost model, or a proven bound on
it: a lower bound on the module's price of every whole-unit plan). With
--milp-limit the recommendation gets that time for the whole-unit optimum. The histories
are planned interleaved round by round (--rounds, default 1); each line is the fastest run.
With --before, each history is planned twice: "before" forces the stages the planner used to
run by default (the module's 8-start portfolio search, whose starts the module draws from the
system, and 5 s for the whole-unit optimum), "after" takes the defaults (counted work only).

    python benchmarks/bench_planner.py [--large] [--before] [--milp-limit SECONDS] [--only NAME] [--rounds N] [--json]
"""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))

from timing import arguments, interleaved, load_average, print_json, timed

from velmar.data import load_existing, load_focus, load_prices
from velmar.demo_data import write_demo
from velmar.plan import recommend
from velmar.records import ExistingSavingsPlan, PriceTable, Recommendation, UsageHistory

Case = tuple[UsageHistory, PriceTable, tuple[ExistingSavingsPlan, ...]]


def synthetic(name: str, shape: str, periods: int, kinds: int, period: str, seed: int, existing: bool = False) -> Case:
    """A history of one `shape`, kinds in a random column order, with random prices."""
    rng = np.random.default_rng(seed)
    per_day = 24 if period == "H" else 1
    days = np.arange(periods)[:, None] / per_day
    base = rng.uniform(2, 40, kinds)
    noise = 1 + 0.15 * rng.standard_normal((periods, kinds))
    if shape == "steady":
        usage = base * noise
    elif shape == "growth":
        usage = base * (1 + days / 365) * noise
    elif shape == "decline":
        usage = base * np.maximum(1 - 0.6 * days / 365, 0.2) * noise
    elif shape == "batch":
        usage = (rng.random((periods, 1)) < 0.35) * base * noise
    elif shape == "migration":
        usage = base * noise
        usage[periods // 2 :, 0] *= 0.1
        usage[periods // 2 :, 1] += 0.9 * base[0]
    else:  # diurnal
        hour = np.arange(periods)[:, None] % 24 if period == "H" else 0
        usage = base * (1 + 0.6 * np.sin(2 * np.pi * hour / 24 + rng.uniform(0, 6, kinds))) * noise
    usage = np.maximum(usage, 0) * per_day
    if rng.random() < 0.5:
        usage = np.round(usage)
    names = tuple(f"{name}-{k}" for k in rng.permutation(kinds))
    step = np.timedelta64(1, "h" if period == "H" else "D")
    start = np.datetime64("2024-01-01T00", "h")
    history = UsageHistory(start + step * np.arange(periods), names, usage, period)  # type: ignore[arg-type]
    on_demand = rng.uniform(0.05, 2.0, kinds)
    discounts = {"RI3Y": (0.5, 0.7), "RI1Y": (0.3, 0.45), "SP3Y": (0.4, 0.62), "SP1Y": (0.22, 0.4)}
    rates = {m: on_demand * (1 - rng.uniform(lo, hi, kinds)) for m, (lo, hi) in discounts.items()}
    plans: tuple[ExistingSavingsPlan, ...] = ()
    if existing:
        amount = 0.2 * float(usage.mean(axis=0) @ rates["SP3Y"]) / per_day
        plans = (ExistingSavingsPlan(amount, start, start + step * (periods * 2 // 3), "3Y", "bought"),)
    return history, PriceTable(names, on_demand, rates), plans


def demo_case(directory: str) -> Case:
    files = write_demo(directory)
    history = load_focus(files.export, period="H")
    prices = load_prices(files.prices, history.kinds, files.export)
    return history, prices, load_existing(files.existing)


CASES: dict[str, Callable[[], Case]] = {
    "steady daily 2y x8": lambda: synthetic("steady", "steady", 730, 8, "D", 1),
    "growth+paid daily 1y x12": lambda: synthetic("growth", "growth", 365, 12, "D", 2, existing=True),
    "decline daily 2y x16": lambda: synthetic("decline", "decline", 730, 16, "D", 3),
    "batch hourly 90d x4": lambda: synthetic("batch", "batch", 2160, 4, "H", 4),
    "migration hourly 180d x8": lambda: synthetic("migration", "migration", 4320, 8, "H", 5),
    "diurnal hourly 1y x16": lambda: synthetic("diurnal", "diurnal", 8760, 16, "H", 6),
    "growth+paid hourly 90d x6": lambda: synthetic("paid", "growth", 2160, 6, "H", 7, existing=True),
    "steady hourly 1y x16": lambda: synthetic("hourly", "steady", 8760, 16, "H", 8),
}
LARGE: dict[str, Callable[[], Case]] = {
    "decline hourly 3y x32": lambda: synthetic("large", "decline", 26280, 32, "H", 9),
}


def gap(cost: float, bound: float) -> str:
    return f"{100 * (cost - bound) / bound:7.3f}%"


STAGES = ("module search", "lower bound", "whole-unit bound", "polish", "column order")


#: Options that force the stages the planner ran by default before it counted work.
BEFORE = {"n_starts": 8, "milp_time_limit": 5.0}


def plan(case: Case, milp_limit: float, before: bool = False) -> tuple[Recommendation, dict[str, float]]:
    """The recommendation for a history, and the wall time of each stage of the planner."""
    history, prices, existing = case
    stages: dict[str, float] = {}
    say = timed(stages, "start")
    options: dict[str, Any] = {"milp_time_limit": milp_limit if milp_limit > 0 else None}
    rec = recommend(history, prices, existing=existing, progress=say, **(BEFORE if before else options))
    say("end")
    return rec, stages


def line(name: str, case: Case, total: float, rec: Recommendation, stages: dict[str, float]) -> str:
    history = case[0]
    fields: dict[str, Any] = {
        "T x n": f"{history.usage.shape[0]} x {history.usage.shape[1]}",
        "search": f"{stages.get('module search', 0):5.2f}s",
        "bound": f"{stages.get('lower bound', 0):5.2f}s",
        "whole-unit": f"{stages.get('whole-unit bound', 0):5.2f}s",
        "polish": f"{stages.get('polish', 0):5.2f}s",
        "order": f"{stages.get('column order', 0):5.2f}s",
        "total": f"{total:5.2f}s",
        "search gap to LP": gap(rec.search_cost, rec.lower_bound),
        "recommended gap to LP": gap(rec.cost, rec.lower_bound),
        "by": rec.method,
        "searches": len(rec.searches),
        "random": "yes" if rec.depends_on_random_draws else "no",
        "proven gap to whole-unit": gap(rec.cost, rec.whole_unit_bound or rec.lower_bound).replace("-0.000", " 0.000"),
        "whole-unit optimum": "proven" if any("(proven)" in note for note in rec.notes) else "bounded",
    }
    return f"{name:36s} " + "  ".join(f"{k}: {v}" for k, v in fields.items())


def main() -> None:
    parser = arguments(__doc__, rounds=1)
    parser.add_argument("--large", action="store_true", help="also three years of hourly rows x 32 kinds")
    parser.add_argument(
        "--milp-limit", type=float, default=0.0, help="time for the whole-unit optimum (0: the planner's default)"
    )
    parser.add_argument("--only", help="run the histories whose name contains this text")
    parser.add_argument("--before", action="store_true", help="also plan each history with the former default stages")
    args = parser.parse_args()
    if not args.json:
        print(load_average(), flush=True)
    with tempfile.TemporaryDirectory() as directory:
        makers = {"demo export hourly": lambda: demo_case(directory), **CASES, **(LARGE if args.large else {})}
        cases = {name: make() for name, make in makers.items() if args.only is None or args.only in name}
        contenders = {name: lambda case=case: plan(case, args.milp_limit) for name, case in cases.items()}
        if args.before:
            contenders = {
                f"{name} {when}": lambda case=cases[name], before=when == "before": plan(case, args.milp_limit, before)
                for name in cases
                for when in ("before", "after")
            }
            cases = {f"{name} {when}": case for name, case in cases.items() for when in ("before", "after")}
        times = interleaved(contenders, args.rounds)
    if args.json:
        figures = {}
        for name, timing in times.items():
            figures[f"{name} total s"] = timing.seconds
            figures.update({f"{name} {stage} s": timing.value[1].get(stage, 0.0) for stage in STAGES})
        print_json(figures)
        return
    for name, timing in times.items():
        print(line(name, cases[name], timing.seconds, *timing.value))
    print(f"fastest of {args.rounds} interleaved rounds; {load_average()}")


if __name__ == "__main__":
    main()
