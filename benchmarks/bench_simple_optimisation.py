"""`simple_optimisation` over three years of days (1,095 x 32) and one year of hours
(8,760 x 32): plan evaluations per second, and the time of one evaluation inside the search
against one `cost` call on the same data and the returned plan, timed interleaved in one run.

Every evaluation prices the whole history, so the search should run at the speed of the
cost model: the target ratio is at most 1.2.

    python benchmarks/bench_simple_optimisation.py [--rounds N] [--json]
"""

import math

import numpy as np
from timing import arguments, interleaved, load_average, print_json

import velmar_backend

KINDS = 32
SEED = 7
TARGET = 1.2


def make_inputs(periods, hours_per_period):
    """Usage with a daily and a weekly rhythm, per-kind scale and noise; realistic discounts."""
    rng = np.random.default_rng(SEED)
    hour = np.arange(periods) * hours_per_period
    daily = 1.0 + (0.3 * np.sin(2 * np.pi * hour / 24.0) if hours_per_period == 1 else 0.0)
    weekly = np.where((hour // 24) % 7 >= 5, 0.7, 1.0)
    scale = rng.uniform(1.0, 50.0, size=KINDS) * hours_per_period
    usage = scale * (daily * weekly)[:, None] * rng.lognormal(0.0, 0.2, size=(periods, KINDS))
    on_demand = rng.uniform(0.05, 2.0, size=KINDS)
    prices = np.vstack(
        [
            on_demand,
            on_demand * rng.uniform(0.6, 0.7, size=KINDS),
            on_demand * rng.uniform(0.55, 0.65, size=KINDS),
        ]
    )
    return usage, prices


def evaluations(result, details, n):
    """Whole-history evaluations made by one call.

    Start 1; each pass n + 1 candidates (and, with details, the coverage and
    under-utilisation of the point reached); rounding n + 2 plus 2 per entry; the cost of
    the rounded plan 1; its coverage and under-utilisation 2.
    """
    levels = n + 1
    if details:
        passes = result.convergence.costs.size
        per_pass = levels + 2
    else:
        passes = result.n_iter
        per_pass = levels
    rounding = (n + 2) + 2 * levels
    return 1 + passes * per_pass + rounding + 1 + 2, passes


HISTORIES = {"daily": ("three years of days", 3 * 365, "D"), "hourly": ("one year of hours", 365 * 24, "H")}
VARIANTS = {"plain": False, "details": True}


def plan_of(result, hours):
    """The returned plan as `cost` takes it: reserved units per period, not per hour."""
    plan = next(iter(result.commitments.values())).astype(np.float64)
    plan[1:] *= hours
    return plan


def main():
    args = arguments(__doc__, rounds=7).parse_args()
    contenders, inputs = {}, {}
    for name, (_, periods, period) in HISTORIES.items():
        hours = 24 if period == "D" else 1
        usage, prices = inputs[name] = make_inputs(periods, hours)
        for variant, details in VARIANTS.items():
            contenders[f"{variant} {name}"] = (
                lambda usage=usage, prices=prices, period=period, details=details: velmar_backend.simple_optimisation(
                    usage, prices, period, "1Y", details
                )
            )
        # The cost of the plain search's plan; every search is deterministic.
        plan = plan_of(contenders[f"plain {name}"](), hours)
        contenders[f"cost {name}"] = lambda usage=usage, prices=prices, plan=plan: velmar_backend.cost(
            usage, prices, plan
        )
    times = interleaved(contenders, args.rounds)

    figures, lines = {}, []
    for name, (label, periods, period) in HISTORIES.items():
        usage, prices = inputs[name]
        hours = 24 if period == "D" else 1
        cost_seconds = times[f"cost {name}"].seconds
        figures[f"cost {name} s"] = cost_seconds
        lines.append(f"{label}: {periods:,} periods x {usage.shape[1]} kinds ({usage.size:,} cells), period {period!r}")
        lines.append("  (a `cost` call also copies the usage and builds its level matrix before pricing)")
        for variant, details in VARIANTS.items():
            seconds, _, result = times[f"{variant} {name}"]
            plan = plan_of(result, hours)
            value = velmar_backend.cost(usage, prices, plan)
            if not math.isclose(value, result.minimum, rel_tol=1e-9):
                raise SystemExit(f"cost of the plan {value!r} differs from the reported minimum {result.minimum!r}")
            count, passes = evaluations(result, details, usage.shape[1])
            figures[f"{variant} {name} evals /s"] = count / seconds
            ratio = seconds / count / cost_seconds
            verdict = "met" if ratio <= TARGET else "not met"
            lines.append(
                f"  {variant:<8}  {seconds * 1e3:9.1f} ms  {passes:5d} passes  {count:6d} evaluations  "
                f"{count / seconds:9,.0f} eval/s"
            )
            lines.append(
                f"            one evaluation {seconds / count * 1e6:8.1f} us   one cost call "
                f"{cost_seconds * 1e6:8.1f} us   ratio {ratio:5.2f}  (target at most {TARGET}: {verdict})"
            )
    if args.json:
        print_json(figures)
        return
    print(f"module {velmar_backend.__file__}")
    print("\n".join(lines))
    print(f"best of {args.rounds} interleaved rounds; {load_average()}")


if __name__ == "__main__":
    main()
