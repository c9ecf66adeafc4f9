"""Buying rules on six shapes of three years of daily usage: realized savings, regret and time per rule.

Each history (6 to 10 kinds, seeded draws) runs for 36 months; every rule decides every three
months from month 12 to month 33 and pays the module's price of the usage that followed
(`velmar.backtest.run_backtest`). Regret is the extra cost over the static plan of perfect
knowledge, as a share of its cost. The lines under the table show the forward planner's
targets: on every shape a realized cost at most that of the best other rule (a margin of
0.2% of the all-on-demand cost allowed), and a mean regret below the best other rule's.

`--speed` times `velmar.forecast.plan_forward` with its defaults instead, on 16 kinds of three
years of days and of one year of hours (targets 30 s and 90 s), interleaved, best of `--rounds`,
with the time of each of its stages.

    python benchmarks/bench_forward.py [--only SHAPE[,SHAPE]] [--rules LIST] [--json]
    python benchmarks/bench_forward.py --speed [--rounds N]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))

from timing import interleaved, load_average, timed

from velmar.backtest import DEFAULT_RULES, BacktestResult, RuleOutcome, run_backtest
from velmar.forecast import plan_forward
from velmar.records import PriceTable, UsageHistory

SHAPES = ("steady", "growth", "decline", "migration", "new workload", "yearly season")
START = np.datetime64("2022-01-01")
DAYS = 1096  # 36 months
HOURS = {"D": 24, "H": 1}
#: Ranges of the discount off on demand of each model, drawn per kind.
DISCOUNTS = {"RI3Y": (0.55, 0.60), "RI1Y": (0.35, 0.40), "SP3Y": (0.45, 0.55), "SP1Y": (0.25, 0.35)}
#: The forward planner may cost this share of the all-on-demand cost more than the best other rule.
MARGIN = 0.002
#: --speed: the history of each size timed, its length in periods and its target in seconds.
SPEED_CASES = {"3 years daily x 16": ("D", DAYS, 30.0), "8,760 hourly x 16": ("H", 8760, 90.0)}


def history_of(shape: str, seed: int) -> tuple[UsageHistory, PriceTable]:
    """Three years of daily usage of one shape, with a weekly cycle and noise, and its rates."""
    rng = np.random.default_rng(seed)
    kinds = int(rng.integers(6, 11))
    days = np.arange(DAYS)[:, None]
    years = days / 365.0
    level = rng.uniform(2.0, 40.0, kinds)
    weekly = 1 + 0.08 * np.sin(2 * np.pi * (days % 7) / 7 + rng.uniform(0, 2 * np.pi, kinds))
    noise = 1 + 0.1 * rng.standard_normal((DAYS, kinds))
    shape_factor = np.ones((DAYS, kinds))
    month = days / (365.0 / 12)
    if shape == "growth":
        shape_factor = 1.4**years
    elif shape == "decline":
        shape_factor = 0.6**years
    elif shape == "migration":  # half the kinds drop 70% at month 20; their units move to the other half
        moved = np.arange(kinds) < kinds // 2
        after = month >= 20
        shape_factor = np.where(after & moved, 0.3, 1.0)
        gain = 1 + 0.7 * level[moved].sum() / level[~moved].sum()
        shape_factor = np.where(after & ~moved, gain, shape_factor)
    elif shape == "new workload":  # two kinds start at month 14 and reach their level over three months
        shape_factor = np.ones((DAYS, kinds))
        shape_factor[:, :2] = np.clip((month - 14) / 3, 0.0, 1.0)
    elif shape == "yearly season":
        shape_factor = 1 + 0.3 * np.sin(2 * np.pi * years + rng.uniform(0, 2 * np.pi, kinds))
    usage = 24 * level * shape_factor * weekly * np.maximum(noise, 0.0)
    names = tuple(f"{shape.replace(' ', '-')}-{k}" for k in range(kinds))
    timestamps = START + np.arange(DAYS).astype("timedelta64[D]")
    return UsageHistory(timestamps, names, usage, "D", source=shape), rates_of(names, rng)


def rates_of(names: tuple[str, ...], rng: np.random.Generator) -> PriceTable:
    """Drawn rates of `names`: on demand, and each model's discount off it within its DISCOUNTS range."""
    on_demand = rng.uniform(0.04, 0.8, len(names))
    low_high = DISCOUNTS.items()
    rates = {model: on_demand * (1 - rng.uniform(low, high, len(names))) for model, (low, high) in low_high}
    return PriceTable(names, on_demand, rates)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", help="shapes to run, comma-separated (default: all)")
    parser.add_argument("--rules", default=",".join(DEFAULT_RULES), help="rules to compare, comma-separated")
    parser.add_argument("--json", action="store_true", help="print every figure as one JSON object instead")
    parser.add_argument("--speed", action="store_true", help="time the forward planner on 16 kinds instead")
    parser.add_argument("--rounds", type=int, default=2, help="--speed: interleaved rounds (default 2)")
    args = parser.parse_args()
    if args.speed:
        _print_speed(args.rounds)
        return
    shapes = [s.strip() for s in args.only.split(",")] if args.only else list(SHAPES)
    rules = [r.strip() for r in args.rules.split(",") if r.strip()]
    results: dict[str, BacktestResult] = {}
    began = time.perf_counter()
    for seed, shape in enumerate(SHAPES):
        if shape in shapes:
            history, prices = history_of(shape, seed)
            results[shape] = run_backtest(history, prices, rules, start_months=12, every_months=3, seed=0)
    elapsed = time.perf_counter() - began
    if args.json:
        print(json.dumps(_figures(results)))
        return
    _print_table(results, rules)
    _print_targets(results)
    print(f"{elapsed:.0f} s in all; {load_average()}")


def speed_history(period: str, rows: int, kinds: int = 16) -> tuple[UsageHistory, PriceTable]:
    """Steady usage growing 15% a year, with weekly and (hourly) daily cycles and noise, and its rates."""
    rng = np.random.default_rng(rows)
    hours = HOURS[period]
    days = (np.arange(rows)[:, None] * hours) / 24.0
    phase = rng.uniform(0, 2 * np.pi, kinds)
    cycles = 1 + 0.08 * np.sin(2 * np.pi * days / 7 + phase)
    if period == "H":
        cycles = cycles * (1 + 0.3 * np.sin(2 * np.pi * days + phase))
    noise = np.maximum(1 + 0.1 * rng.standard_normal((rows, kinds)), 0.0)
    usage = hours * rng.uniform(2.0, 40.0, kinds) * 1.15 ** (days / 365) * cycles * noise
    names = tuple(f"kind-{k}" for k in range(kinds))
    timestamps = START.astype("datetime64[h]") + (hours * np.arange(rows)).astype("timedelta64[h]")
    return UsageHistory(timestamps, names, usage, period, source="speed"), rates_of(names, rng)


def _timed_stages(history: UsageHistory, prices: PriceTable) -> dict[str, float]:
    """Seconds of each stage of one `plan_forward` call, by the names its progress gives (a polish
    pass counts as the polish)."""
    seconds: dict[str, float] = {}
    progress = timed(seconds, "forecast")
    plan_forward(history, prices, progress=progress)
    progress("")
    return seconds


def _print_speed(rounds: int) -> None:
    cases = {name: speed_history(period, rows) for name, (period, rows, _) in SPEED_CASES.items()}
    print(f"plan_forward with its defaults, best of {rounds}; {load_average()}")
    timings = interleaved({name: lambda case=case: _timed_stages(*case) for name, case in cases.items()}, rounds)
    for name, timing in timings.items():
        target = SPEED_CASES[name][2]
        verdict = "met" if timing.seconds <= target else "missed"
        stages = ", ".join(f"{stage} {seconds:.2f} s" for stage, seconds in timing.value.items())
        print(f"{name}: {timing.seconds:.1f} s (target {target:.0f} s, {verdict}); {stages}")
    print(load_average())


def _figures(results: dict[str, BacktestResult]) -> dict[str, dict[str, dict[str, float]]]:
    return {
        shape: {
            o.rule: {"cost": o.cost, "savings_rate": o.savings_rate, "regret": o.regret, "seconds": o.seconds}
            for o in (*result.outcomes, result.reference)
        }
        for shape, result in results.items()
    }


def _print_table(results: dict[str, BacktestResult], rules: list[str]) -> None:
    shapes = list(results)
    width = max(len(rule) for rule in [*rules, "perfect static plan"]) + 2
    print("savings / regret per shape (% of all on demand / % of the reference's cost)")
    print(f"{'rule':<{width}}" + "".join(f"{shape:>18}" for shape in shapes) + f"{'mean regret':>13}{'time':>9}")
    names = [*rules, "perfect static plan"]
    for name in names:
        outcomes = [_outcome(results[shape], name) for shape in shapes]
        cells = "".join(f"{100 * o.savings_rate:>8.2f} / {100 * o.regret:>6.2f}" for o in outcomes)
        mean_regret = 100 * np.mean([o.regret for o in outcomes])
        seconds = sum(o.seconds for o in outcomes)
        print(f"{name:<{width}}{cells}{mean_regret:>12.2f}%{seconds:>8.1f}s")


def _print_targets(results: dict[str, BacktestResult]) -> None:
    if not all(any(o.rule == "forward" for o in result.outcomes) for result in results.values()):
        print("targets: forward not among the rules")
        return
    behind = []
    for shape, result in results.items():
        forward = _outcome(result, "forward")
        best = min((o for o in result.outcomes if o.rule != "forward"), key=lambda o: o.cost)
        excess = (forward.cost - best.cost) / forward.on_demand_cost
        verdict = "met" if excess <= MARGIN else "missed"
        print(f"{shape}: forward costs {100 * excess:+.3f}% of on demand against {best.rule} ({verdict})")
        behind.append(excess > MARGIN)
    others = {o.rule for result in results.values() for o in result.outcomes if o.rule != "forward"}
    mean = {rule: np.mean([_outcome(r, rule).regret for r in results.values()]) for rule in others}
    best_rule = min(mean, key=lambda rule: mean[rule])
    forward_mean = np.mean([_outcome(r, "forward").regret for r in results.values()])
    verdict = "met" if forward_mean < mean[best_rule] else "missed"
    print(
        f"mean regret: forward {100 * forward_mean:.2f}%, best other {best_rule} "
        f"{100 * mean[best_rule]:.2f}% ({verdict})"
    )
    print(f"cost target met on {len(behind) - sum(behind)} of {len(behind)} shapes")


def _outcome(result: BacktestResult, name: str) -> RuleOutcome:
    return next(o for o in (*result.outcomes, result.reference) if o.rule == name)


if __name__ == "__main__":
    main()
