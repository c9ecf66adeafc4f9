"""`simple_optimisation` over three years of days (1,095 x 32) and one year of hours
(8,760 x 32): plan evaluations per second, and the time of one evaluation inside the search
against one `cost` call on the same data and the returned plan, measured in the same run.

Every evaluation prices the whole history, so the search should run at the speed of the
cost model: the target ratio is at most 1.2.
"""

import math

import numpy as np
from timing import best_time

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
    prices = np.vstack([
        on_demand,
        on_demand * rng.uniform(0.6, 0.7, size=KINDS),
        on_demand * rng.uniform(0.55, 0.65, size=KINDS),
    ])
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


def run(label, periods, period):
    hours = 24 if period == "D" else 1
    usage, prices = make_inputs(periods, hours)
    n = usage.shape[1]
    print(f"{label}: {periods:,} periods x {n} kinds ({usage.size:,} cells), period {period!r}")
    print("  (a `cost` call also copies the usage and builds its level matrix before pricing)")
    for details in (False, True):
        seconds, _, r = best_time(
            lambda details=details: velmar_backend.simple_optimisation(usage, prices, period, "1Y", details), 3
        )
        count, passes = evaluations(r, details, n)
        per_eval = seconds / count

        plan = next(iter(r.commitments.values())).astype(np.float64)
        plan[1:] *= hours
        cost_seconds, _, value = best_time(lambda plan=plan: velmar_backend.cost(usage, prices, plan), 50)
        if not math.isclose(value, r.minimum, rel_tol=1e-9):
            raise SystemExit(f"cost of the plan {value!r} differs from the reported minimum {r.minimum!r}")

        ratio = per_eval / cost_seconds
        verdict = "ok" if ratio <= TARGET else f"ABOVE TARGET {TARGET}"
        variant = "with details" if details else "plain       "
        print(f"  {variant}  {seconds * 1e3:9.1f} ms  {passes:5d} passes  {count:6d} evaluations  "
              f"{count / seconds:9,.0f} eval/s")
        print(f"                one evaluation {per_eval * 1e6:8.1f} us   one cost call {cost_seconds * 1e6:8.1f} us"
              f"   ratio {ratio:5.2f}  ({verdict})")


def main():
    run("three years of days", 3 * 365, "D")
    run("one year of hours", 365 * 24, "H")


if __name__ == "__main__":
    main()
