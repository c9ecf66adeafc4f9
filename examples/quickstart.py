"""Quickstart: price commitment plans against two years of daily compute usage, let the
module recommend plans and portfolios, and see how cost and coverage spread over random plans.

Units, kept the same throughout:
- a usage cell is the instance-hours of one instance kind used on one day;
- prices row 0 is the on-demand price of one instance-hour, row 1 the savings-plan
  rate (money the savings plan spends per instance-hour it covers), row 2 the price of
  one reserved instance-hour;
- a plan is [savings-plan money per day, reserved instance-hours per day of each kind].
  Reserving N instances of a kind around the clock is 24 * N reserved instance-hours a day.
- the searches answer in instances: their reserved levels are units in force per hour, which the
  module multiplies by 24 on daily rows. To price such a plan with `cost`, multiply its reserved
  entries by 24; the savings-plan entry is money per day either way.

matplotlib is optional: when it is installed the last section saves a scatter plot.
"""

import os

import numpy as np
import numpy.typing as npt

import velmar_backend

Floats = npt.NDArray[np.float64]

DAYS = 730
HOURS_PER_DAY = 24.0
SEED = 20240601
SCENARIO_DAYS = 365  # the predicted paths cover the year after the history
SCENARIOS = 5
PORTFOLIO_STARTS = 12  # random starting points of the multi-start searches (the zero start is added)
SCENARIO_STARTS = 8
SAMPLES = 2_000
PLOT_FILE = "quickstart_plans.png"

# name, on-demand price per hour, instances running at the start, weekend dip, growth per year
KINDS = [
    ("general-2x", 0.096, 40.0, 0.35, 0.30),
    ("compute-4x", 0.170, 25.0, 0.45, 0.15),
    ("memory-8x", 0.504, 12.0, 0.10, 0.20),
    ("storage-4x", 0.312, 8.0, 0.05, 0.10),
    ("accel-1x", 0.900, 4.0, 0.50, 0.60),
]

# Pricing models of the portfolio searches, one row of their price table each, in this order.
PORTFOLIO = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
# Keys of the commitments dictionary that the searches return, by term.
TERM_KEYS = [("3Y", "three_years_commitments"), ("1Y", "one_year_commitments")]


def running_instances(rng: np.random.Generator, first_day: int, days: int, growth_factor: float = 1.0) -> Floats:
    """Instances running per day, shape (days, kinds): growth, a weekly cycle and noise."""
    day = np.arange(first_day, first_day + days)
    weekend = (day % 7) >= 5
    columns = []
    for _, _, start, dip, growth in KINDS:
        trend = start * (1.0 + growth_factor * growth * day / 365.0)
        weekly = np.where(weekend, 1.0 - dip, 1.0)
        noise = rng.normal(1.0, 0.06, size=days)
        columns.append(trend * weekly * noise)
    return np.column_stack(columns)


def make_usage(rng: np.random.Generator) -> Floats:
    """Daily instance-hours, shape (DAYS, kinds): growth, a weekly cycle, noise and one spike."""
    usage = running_instances(rng, 0, DAYS)
    # A two-week launch campaign in the second year nearly doubles the general fleets.
    spike = slice(480, 494)
    usage[spike, :2] *= rng.uniform(1.6, 1.9, size=(14, 2))
    return np.clip(usage, 0.0, None) * HOURS_PER_DAY


def make_prices(rng: np.random.Generator) -> Floats:
    """Three price rows per kind: on demand, savings-plan rate, reserved instance-hour."""
    on_demand = np.array([k[1] for k in KINDS])
    savings_rate = on_demand * rng.uniform(0.60, 0.70, size=len(KINDS))
    reserved = on_demand * rng.uniform(0.55, 0.65, size=len(KINDS))
    return np.vstack([on_demand, savings_rate, reserved])


def make_three_year_prices(rng: np.random.Generator, prices: Floats) -> Floats:
    """The same three rows for three-year terms, which buy deeper discounts."""
    on_demand = prices[0]
    savings_rate = on_demand * rng.uniform(0.45, 0.52, size=len(KINDS))
    reserved = on_demand * rng.uniform(0.38, 0.45, size=len(KINDS))
    return np.vstack([on_demand, savings_rate, reserved])


def make_predictions(rng: np.random.Generator) -> Floats:
    """Predicted daily instance-hours for the year after the history, shape (SCENARIOS, SCENARIO_DAYS, kinds).

    Each path carries the history's trend on with its own growth, half to one and a half times
    the history's, and fresh daily noise.
    """
    paths = [running_instances(rng, DAYS, SCENARIO_DAYS, growth_factor=rng.uniform(0.5, 1.5)) for _ in range(SCENARIOS)]
    return np.clip(np.stack(paths), 0.0, None) * HOURS_PER_DAY


def portfolio_prices(prices: Floats, three_year: Floats) -> Floats:
    """One row per name of PORTFOLIO: reserved prices and savings-plan rates by term, then on demand."""
    return np.vstack([three_year[2], prices[2], three_year[1], prices[1], prices[0]])


def priced_plan(levels: npt.NDArray[np.uint64]) -> Floats:
    """A recommended plan as `cost` takes it: reserved instances become reserved instance-hours per day."""
    plan = levels.astype(np.float64)
    plan[1:] *= HOURS_PER_DAY
    return plan


def portfolio_levels(commitments: dict[str, npt.NDArray[np.uint64]], periods: int) -> Floats:
    """The columns `final_cost_coverage_underutilization` reads for PORTFOLIO, repeated on every row:
    reserved instances of each kind for RI3Y and RI1Y, then savings-plan money per day for SP3Y and SP1Y."""
    n = len(KINDS)
    by_term = {
        term: commitments.get(key, np.zeros(n + 1, dtype=np.uint64)).astype(np.float64) for term, key in TERM_KEYS
    }
    row = np.concatenate([by_term["3Y"][1:], by_term["1Y"][1:], by_term["3Y"][:1], by_term["1Y"][:1]])
    return np.tile(row, (periods, 1))


def on_demand_cost(usage: Floats, prices: Floats) -> float:
    return velmar_backend.cost(usage, prices, np.zeros(usage.shape[1] + 1))


def thousands(value: float) -> str:
    """Figures of the random searches, rounded: their starting points differ from run to run."""
    return f"{round(value, -3):,.0f}"


def base_load_reservations(usage: Floats, quantile: float = 5) -> Floats:
    """Whole instances that run on nearly every day, as reserved instance-hours per day."""
    instances = np.floor(np.percentile(usage / HOURS_PER_DAY, quantile, axis=0))
    return instances * HOURS_PER_DAY


def modest_commitment(
    usage: Floats, prices: Floats, reserved: Floats, share: float = 0.5, quantile: float = 10
) -> float:
    """Savings-plan money per day: a share of a low day's demand left after reservations."""
    left = np.clip(usage - reserved, 0.0, None)
    daily_demand = left @ prices[1]
    return share * float(np.percentile(daily_demand, quantile))


def candidate_plans(usage: Floats, prices: Floats) -> list[tuple[str, Floats]]:
    """Plans as [savings-plan money per day, reserved instance-hours per day of each kind]."""
    n = usage.shape[1]
    none = np.zeros(n)
    base = base_load_reservations(usage)
    return [
        ("on demand only", np.concatenate([[0.0], none])),
        ("modest savings plan", np.concatenate([[modest_commitment(usage, prices, none)], none])),
        ("reserve the base load", np.concatenate([[0.0], base])),
        ("base load + savings plan", np.concatenate([[modest_commitment(usage, prices, base)], base])),
    ]


def section_history(usage: Floats, prices: Floats, three_year: Floats) -> None:
    print(f"Usage history: {usage.shape[0]} days x {usage.shape[1]} instance kinds")
    print(
        f"{'kind':<12} {'on demand/h':>11} {'plan rate/h':>11} {'reserved/h':>10} {'3Y rate/h':>10}"
        f" {'3Y res./h':>10} {'mean inst.':>10} {'peak inst.':>10}"
    )
    for k, (name, *_) in enumerate(KINDS):
        running = usage[:, k] / HOURS_PER_DAY
        print(
            f"{name:<12} {prices[0, k]:>11.3f} {prices[1, k]:>11.3f} {prices[2, k]:>10.3f}"
            f" {three_year[1, k]:>10.3f} {three_year[2, k]:>10.3f}"
            f" {running.mean():>10.1f} {running.max():>10.1f}"
        )
    print("plan rate and reserved: one-year terms; 3Y: the savings-plan rate and reserved price of three-year terms.")
    print()


def section_candidate_plans(usage: Floats, prices: Floats) -> None:
    plans = candidate_plans(usage, prices)
    on_demand = velmar_backend.cost(usage, prices, plans[0][1])
    print("Candidate plans over the two years")
    print(f"{'plan':<26} {'plan/day':>9} {'reserved':>9} {'cost':>12} {'saving':>8} {'coverage':>9}")
    for label, levels in plans:
        total = velmar_backend.cost(usage, prices, levels)
        covered = velmar_backend.coverage(usage, prices, levels)
        reserved_instances = levels[1:].sum() / HOURS_PER_DAY
        saving = 1.0 - total / on_demand
        print(
            f"{label:<26} {levels[0]:>9.2f} {reserved_instances:>9.0f} {total:>12,.0f} {saving:>8.1%} {covered:>9.1%}"
        )
    print()
    print("plan/day: savings-plan money committed per day; reserved: instances reserved around the clock;")
    print("coverage: share of the on-demand value of the usage paid for by commitments.")
    print()


def commitments_header() -> str:
    return f"{'term':<5} {'plan/day':>9}" + "".join(f" {name:>10}" for name, *_ in KINDS)


def commitments_row(term: str, levels: npt.NDArray[np.uint64]) -> str:
    return f"{term:<5} {int(levels[0]):>9d}" + "".join(f" {int(units):>10d}" for units in levels[1:])


def section_recommended_plan(usage: Floats, prices: Floats, three_year: Floats) -> Floats:
    """One plan per term from `simple_optimisation`; returns the one-year plan priced for `cost`."""
    on_demand = on_demand_cost(usage, prices)
    print("Recommended single plan (simple_optimisation), searched for each term with its own prices")
    print(commitments_header() + f" {'cost':>10} {'saving':>16} {'coverage':>9}")
    plans, matches = {}, []
    for term, table in (("1Y", prices), ("3Y", three_year)):
        best = velmar_backend.simple_optimisation(usage, table, "D", term)
        (levels,) = best.commitments.values()
        plan = priced_plan(levels)
        total = velmar_backend.cost(usage, table, plan)
        covered = velmar_backend.coverage(usage, table, plan)
        matches.append(np.isclose(total, best.minimum) and np.isclose(covered, best.coverage))
        saving = on_demand - total
        print(
            commitments_row(term, levels)
            + f" {total:>10,.0f} {saving:>9,.0f} {saving / on_demand:>6.1%} {covered:>9.1%}"
        )
        plans[term] = plan
    print()
    print("plan/day: savings-plan money per day; one column per kind: instances reserved around the clock.")
    print("The search answers in instances (units in force per hour); `cost` prices the plan with its reserved")
    print(f"entries times 24, and then agrees with the search's own minimum and coverage: {all(matches)}.")
    print("Coverage counts reservations in full and unspent plan money, so a plan that commits more than")
    print("is used passes 100%: the cheap three-year reservations pay even for instances idle on some days.")
    print()
    return plans["1Y"]


def section_portfolio(usage: Floats, prices: Floats, three_year: Floats) -> None:
    table = portfolio_prices(prices, three_year)
    already_paid = np.zeros((usage.shape[0], 0))  # no savings plan is paid for yet
    on_demand = on_demand_cost(usage, prices)
    best = velmar_backend.general_optimisation(usage, table, already_paid, PORTFOLIO, "D", PORTFOLIO_STARTS, "inertial")
    print(f"Recommended portfolio (general_optimisation over {', '.join(PORTFOLIO)};")
    print(f"inertial search from {PORTFOLIO_STARTS} random starting points and from zero)")
    print(commitments_header())
    for term, key in TERM_KEYS:
        if key in best.commitments:
            print(commitments_row(term, best.commitments[key]))
    again = velmar_backend.final_cost_coverage_underutilization(
        usage, table, portfolio_levels(best.commitments, usage.shape[0]), PORTFOLIO, "D", "cost"
    )
    print(
        f"cost about {thousands(best.minimum)}, saving about {thousands(on_demand - best.minimum)}"
        f" ({1.0 - best.minimum / on_demand:.0%}), coverage {best.coverage:.0%},"
        f" committed but unused about {thousands(best.underutilization_cost)}"
    )
    print(
        f"final_cost_coverage_underutilization prices the same portfolio at the same cost:"
        f" {bool(np.isclose(again, best.minimum))}"
    )
    print()
    print("Every term starts on day 0: one-year terms lapse after day 365, three-year terms cover the history.")
    print("The starting points are random: levels and figures vary from run to run.")
    print()


def section_scenarios(predictions: Floats, prices: Floats, three_year: Floats) -> None:
    table = portfolio_prices(prices, three_year)
    already_paid = np.zeros((predictions.shape[1], 0))
    on_demand = float(np.mean([on_demand_cost(path, prices) for path in predictions]))
    best = velmar_backend.optimise_predictions(predictions, table, already_paid, PORTFOLIO, "D", SCENARIO_STARTS)
    print(
        f"Scenario run (optimise_predictions): {predictions.shape[0]} predicted paths of the next"
        f" {predictions.shape[1]} days,"
    )
    print(
        f"growing at half to one and a half times the history's rate; on demand alone costs {on_demand:,.0f} on average"
    )
    print(commitments_header())
    for term, key in TERM_KEYS:
        if key in best.commitments:
            print(commitments_row(term, best.commitments[key]))
    print(
        f"mean cost about {thousands(best.minimum)}, saving about {thousands(on_demand - best.minimum)}"
        f" ({1.0 - best.minimum / on_demand:.0%}), mean coverage {best.coverage:.0%}"
    )
    print(
        f"(inertial search from {SCENARIO_STARTS} random starting points and from zero: figures vary from run to run)"
    )
    print()


def section_sampled_plans(usage: Floats, prices: Floats, plan: Floats) -> None:
    """Cost and coverage of random plans, with the recommended one-year plan among them."""
    pieces = os.cpu_count() or 1
    samples = velmar_backend.generate_cost_and_coverage(usage, prices, SAMPLES, pieces, "D")
    plan_cost = velmar_backend.cost(usage, prices, plan)
    plan_coverage = velmar_backend.coverage(usage, prices, plan)
    cheaper = int(np.count_nonzero(samples[:, 0] < plan_cost))
    print(f"Random plans (generate_cost_and_coverage): {SAMPLES:,} plans drawn between zero and the peak usage")
    print(
        f"{cheaper} of them cost less than the recommended one-year plan"
        f" ({plan_cost:,.0f} at {plan_coverage:.1%} coverage)"
    )
    try:
        import matplotlib

        matplotlib.use("Agg")  # write a file; no display needed
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        print(f"matplotlib is not installed, so no plot; with it this section saves {PLOT_FILE}")
        return
    fig, ax = plt.subplots(figsize=(7.5, 4.8))
    ax.scatter(
        100.0 * samples[:, 1], samples[:, 0], s=5, alpha=0.35, color="tab:blue", label=f"{SAMPLES:,} random plans"
    )
    ax.scatter(
        [0.0],
        [on_demand_cost(usage, prices)],
        s=60,
        color="tab:gray",
        edgecolors="black",
        zorder=3,
        label="on demand only",
    )
    ax.scatter(
        [100.0 * plan_coverage],
        [plan_cost],
        marker="*",
        s=260,
        color="tab:red",
        edgecolors="black",
        zorder=4,
        label="recommended one-year plan",
    )
    ax.set_xlabel("coverage (% of the on-demand value of the usage)")
    ax.set_ylabel(f"cost over {usage.shape[0]} days")
    ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
    ax.set_title("Cost and coverage of commitment plans")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(PLOT_FILE, dpi=120)
    plt.close(fig)
    print(f"cost-versus-coverage plot saved to {os.path.abspath(PLOT_FILE)}")


def main() -> None:
    rng = np.random.default_rng(SEED)
    usage = make_usage(rng)
    prices = make_prices(rng)
    three_year = make_three_year_prices(rng, prices)
    predictions = make_predictions(rng)
    section_history(usage, prices, three_year)
    section_candidate_plans(usage, prices)
    plan = section_recommended_plan(usage, prices, three_year)
    section_portfolio(usage, prices, three_year)
    section_scenarios(predictions, prices, three_year)
    section_sampled_plans(usage, prices, plan)


if __name__ == "__main__":
    main()
