"""Portfolio searches of `general_optimisation`: evaluations per second and wall time.

The portfolio RI3Y, RI1Y, SP3Y, SP1Y, OD is searched over three years of days (1,095 x 32)
and one year of hours (8,760 x 16):
- the variation search and gradient descent, on both: wall time, cost-model evaluations
  (estimated from n_iter, see `evaluations`) and evaluations per second;
- the inertial multi-start with 8 random starts, on the hourly history: wall time. Its
  starts are random, so its run lengths differ from call to call.

Every figure is the best of interleaved rounds (fewer for the multi-start, which takes
seconds per call).

    python benchmarks/bench_general_optimisation.py [--rounds N] [--inertial-rounds N] [--json]
"""

import numpy as np
from timing import arguments, interleaved, load_average, print_json

import velmar_backend as vb

NAMES = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
HISTORIES = {"daily": (1_095, 32, "D"), "hourly": (8_760, 16, "H")}
SEARCHES = ("variation", "gradient_descent")
INERTIAL_STARTS = 8
INERTIAL = f"inertial {INERTIAL_STARTS} starts hourly"


def make_inputs(periods, kinds, period, seed=2024):
    """Usage with a daily (hourly rows) or weekly (daily rows) rhythm, a yearly swell and growth."""
    rng = np.random.default_rng(seed)
    hours_per_period = 24.0 if period == "D" else 1.0
    steps = np.arange(periods)[:, None]
    days = steps * hours_per_period / 24.0
    phase = rng.uniform(0, 2 * np.pi, kinds)
    base = rng.uniform(2.0, 40.0, kinds)  # units per hour
    rhythm = 1.0 + (
        0.2 * np.sin(2 * np.pi * (days % 7) / 7 + phase)
        if period == "D"
        else 0.3 * np.sin(2 * np.pi * (steps % 24) / 24 + phase)
    )
    yearly = 1.0 + 0.15 * np.sin(2 * np.pi * days / 365.0)
    growth = 1.0 + 0.4 * steps / periods
    usage = hours_per_period * base * rhythm * yearly * growth * rng.gamma(8.0, 1.0 / 8.0, (periods, kinds))
    on_demand = rng.uniform(0.05, 3.0, kinds)
    prices = np.vstack([0.45 * on_demand, 0.62 * on_demand, 0.55 * on_demand, 0.70 * on_demand, on_demand])
    return usage, prices


def evaluations(optimiser, n_iter, parameters):
    """Cost-model passes of a call, estimated from n_iter: the start's cost, then per
    variation pass P trial moves, per gradient step a gradient (P + 1) and the new point
    (1); rounding takes P trial moves and 2 P floor / ceiling comparisons, and the minimum
    one more pass."""
    per_iteration = parameters if optimiser == "variation" else parameters + 2
    return 1 + n_iter * per_iteration + 3 * parameters + 1


def search(usage, prices, period, optimiser, n_starts=0):
    """A call of `general_optimisation` on the portfolio, with no savings plan already paid."""
    return lambda: vb.general_optimisation(
        usage, prices, np.zeros((usage.shape[0], 0)), NAMES, period, n_starts, optimiser
    )


def main():
    parser = arguments(__doc__, rounds=5)
    parser.add_argument("--inertial-rounds", type=int, default=2, help="rounds of the multi-start (default 2)")
    args = parser.parse_args()

    inputs = {name: make_inputs(*shape) for name, shape in HISTORIES.items()}
    contenders = {
        f"{optimiser} {name}": search(*inputs[name], period, optimiser)
        for name, (_, _, period) in HISTORIES.items()
        for optimiser in SEARCHES
    }
    times = interleaved(contenders, args.rounds)
    hourly_usage, hourly_prices = inputs["hourly"]
    inertial = interleaved(
        {INERTIAL: search(hourly_usage, hourly_prices, "H", "inertial", INERTIAL_STARTS)}, args.inertial_rounds
    )[INERTIAL]

    counts = {
        f"{optimiser} {name}": evaluations(optimiser, times[f"{optimiser} {name}"].value.n_iter, 2 * kinds + 2)
        for name, (_, kinds, _) in HISTORIES.items()
        for optimiser in SEARCHES
    }
    if args.json:
        figures = {f"{case} evals /s": count / times[case].seconds for case, count in counts.items()}
        figures[f"{INERTIAL} s"] = inertial.seconds
        print_json(figures)
        return

    print(f"portfolio search, models {', '.join(NAMES)}; module {vb.__file__}")
    print(f"  {'search':<36}{'wall':>11}{'n_iter':>8}{'evals':>8}{'evals/s':>10}{'us/eval':>9}")
    for name, (periods, kinds, _) in HISTORIES.items():
        for optimiser in SEARCHES:
            timing, count = times[f"{optimiser} {name}"], counts[f"{optimiser} {name}"]
            label = f"{optimiser}, {periods:,} x {kinds} {name}"
            print(
                f"  {label:<36}{timing.seconds * 1e3:8.1f} ms{timing.value.n_iter:>8}{count:>8}"
                f"{count / timing.seconds:>10.0f}{timing.seconds / count * 1e6:>9.1f}"
            )
    periods, kinds, _ = HISTORIES["hourly"]
    print(
        f"  {f'{INERTIAL_STARTS}-start inertial, {periods:,} x {kinds} hourly':<36}{inertial.seconds:8.2f} s  "
        f"(chosen run n_iter {inertial.value.n_iter}; random starts, run lengths vary)"
    )
    print(f"  best of {args.rounds} interleaved rounds ({args.inertial_rounds} for the multi-start); {load_average()}")


if __name__ == "__main__":
    main()
