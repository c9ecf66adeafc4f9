"""Planning for the future a purchase pays off over: commitments judged on forecast usage.

`plan_forward` forecasts S usage paths over the horizon (`scenarios.make_scenarios`), takes the
reservations already owned off each path over their real dates (`velmar.reservations`), and
plans the purchase made at the horizon's first period (and, with a schedule, later tranches)
for the least expected cost over the paths, or the least CVaR:

  0. unless a `schedule` is given, a tranche at the next decision (NEXT_DECISION_MONTHS ahead)
     stands for what a re-plan can still buy: a unit bought now must pay for itself against the
     same unit bought then, not against never buying it. Both run to the horizon's end (a
     three-year term outlasts it), so they differ only in the months until the next decision.
     A tranche in each later month in which an owned commitment ends stands for its replacement
     bought then: without it, a replacement could only be bought now or at the next decision,
     overlapping what is owned, and a season's coming peak would pull it forward. More tranches
     would barely move the purchase now and multiply the bound's dimensions;
  1. the LP bound over the paths (`forward_bound.ForwardBound`), on all paths when they are
     small enough (BOUND_CELLS), else on a representative part (paths evenly spread over the
     ranks of their on-demand value);
  2. its optimum with whole reserved units, polished (`velmar.polish`) with the module's mean
     (or CVaR) price over at most POLISH_PATHS representative paths as the judge; later
     tranches are advice (re-planned when their date comes) and keep their rounded LP levels;
  3. with `n_starts`, the module's `optimise_predictions` over the polish's paths is a
     candidate too for the purchase now, judged with the later tranches held (its starting
     points come from the operating system: flagged);
  4. every figure priced by the module on every path (`forward_pricer`): expected values,
     percentiles and the tail's mean over all S paths.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from functools import partial

import numpy as np

from velmar.backend import predictions_search
from velmar.errors import UserError
from velmar.forecast.forward_bound import ForwardBound
from velmar.forecast.forward_pricer import ForwardPricer, PathFigures
from velmar.forecast.risk import DEFAULT_TAIL_LEVEL, parse_risk, tail_mean
from velmar.forecast.scenarios import make_scenarios
from velmar.forecast.schedule import Schedule, make_schedule, purchases_of
from velmar.plan import break_even_months
from velmar.polish import polish_with_passes, pricing_budget, whole_units
from velmar.portfolio import RESERVED, Portfolio, build_portfolio
from velmar.records import (
    COMMITMENT_MODELS,
    HOURS_PER_MONTH,
    ExistingReservation,
    ExistingSavingsPlan,
    Floats,
    ForecastSummary,
    PlanOutcome,
    PriceTable,
    Purchase,
    Recommendation,
    Scenarios,
    UsageHistory,
)
from velmar.reservations import reserved_unit_hours

Progress = Callable[[str], None]
#: Cells (paths x periods x kinds) the LP bound is computed on at most; the polish's paths at most.
BOUND_CELLS = 1_000_000
POLISH_CELLS = 4_000_000
POLISH_PATHS = 20
#: Months until the next decision, whose purchase is planned (as advice) when no schedule is given.
NEXT_DECISION_MONTHS = 3


@dataclass(frozen=True)
class ForwardPlan:
    """What to buy now (`recommendation`, expected figures), every tranche's purchases, and the forecast."""

    recommendation: Recommendation
    purchases: tuple[Purchase, ...]
    summary: ForecastSummary


@dataclass(frozen=True)
class _Problem:
    """The paths (net of the reservations owned), the portfolio they are planned in and the schedule."""

    scenarios: Scenarios
    paths: list[UsageHistory]
    portfolio: Portfolio
    #: The paths' columns in the portfolio's kind order, and the on-demand rates in the paths' order.
    order: list[int]
    on_demand: Floats
    tranches: Schedule
    prices: PriceTable
    existing: tuple[ExistingSavingsPlan, ...]
    #: (periods, kinds) unit-hours the reservations owned cover (in the paths' kind order).
    reserved: Floats
    #: Representative paths the bound is computed on, and those the polish prices.
    bound_paths: list[int]
    polish_paths: list[int]

    def usage(self, chosen: list[int]) -> Floats:
        """(len(chosen), periods, kinds) usage of those paths in the portfolio's kind order."""
        return np.ascontiguousarray(np.stack([self.paths[i].usage[:, self.order] for i in chosen]))


@dataclass(frozen=True)
class _Planned:
    levels: Floats
    bound: float
    figures: PathFigures
    method: str
    #: The judge's price of the module's search result over the polish's paths; NaN when it did not run.
    search_cost: float
    #: Months until each model's purchase now repays its price (None: never), over the polish's paths.
    break_even: dict[str, float | None]


def plan_forward(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str] = COMMITMENT_MODELS,
    existing: Sequence[ExistingSavingsPlan] = (),
    reservations: Sequence[ExistingReservation] = (),
    horizon_months: int = 36,
    n_scenarios: int = 100,
    risk: str | None = None,
    schedule: Sequence[int] = (),
    seed: int = 0,
    progress: Progress | None = None,
    n_starts: int | None = None,
    next_decision_months: int = NEXT_DECISION_MONTHS,
) -> ForwardPlan:
    """The purchase at the period after `history` (gross usage) that minimises the expected cost, or
    the CVaR of `risk` ("cvar:0.9"), over `n_scenarios` forecast paths of `horizon_months` months.

    `existing` savings plans and `reservations` count over their real dates; `schedule` adds
    tranches at those months ahead; without one, a tranche `next_decision_months` ahead (0: none)
    and one in every later month an owned commitment ends are planned as advice. See the module
    doc for the stages.
    """
    if next_decision_months < 0:
        raise UserError(f"next decision: {next_decision_months} months ahead is below 0")
    say = progress or (lambda _: None)
    tail_level = parse_risk(risk) if risk is not None else None
    say("forecast")
    problem = _problem(
        history,
        prices,
        models,
        existing,
        reservations,
        horizon_months,
        n_scenarios,
        schedule,
        next_decision_months,
        seed,
    )
    chosen = _plan(problem, say, n_starts, tail_level)
    outcomes: tuple[PlanOutcome, ...] = ()
    bound = chosen.bound
    if tail_level is not None:
        expected = _plan(problem, say, n_starts, None)
        bound = expected.bound  # a bound on every plan's expected cost
        outcomes = tuple(
            PlanOutcome(label, float(p.figures.costs.mean()), tail_mean(p.figures.costs, tail_level))
            for label, p in (("least expected cost", expected), (f"least {risk}", chosen))
        )
    purchases = purchases_of(problem.portfolio, chosen.levels, problem.tranches, problem.scenarios.timestamps)
    summary = _summary(problem, chosen, purchases, horizon_months, risk, tail_level, outcomes)
    rec = _recommendation(problem, chosen, bound, summary)
    return ForwardPlan(rec, purchases, summary)


def _default_schedule(
    start: np.datetime64,
    owned: Sequence[ExistingSavingsPlan | ExistingReservation],
    horizon_months: int,
    next_decision_months: int,
) -> tuple[int, ...]:
    """Months ahead of the tranches planned as advice (none when `next_decision_months` is 0 or past the
    horizon): the next decision, and every later month in which an owned commitment ends. Its replacement
    can wait until then: without that tranche, the plan could only buy it now (overlapping what is owned)
    or never, and would buy early what it needs after the commitment ends."""
    if not 0 < next_decision_months < horizon_months:
        return ()
    hours_left = [float((commitment.end - start) / np.timedelta64(1, "h")) for commitment in owned]
    ends = {round(hours / HOURS_PER_MONTH) for hours in hours_left}
    return (next_decision_months, *sorted(m for m in ends if next_decision_months < m < horizon_months))


def _problem(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str],
    existing: Sequence[ExistingSavingsPlan],
    reservations: Sequence[ExistingReservation],
    horizon_months: int,
    n_scenarios: int,
    schedule: Sequence[int],
    next_decision_months: int,
    seed: int,
) -> _Problem:
    scenarios = make_scenarios(history, horizon_months, n_scenarios, seed)
    owned: tuple[ExistingSavingsPlan | ExistingReservation, ...] = (*existing, *reservations)
    months = tuple(schedule) or _default_schedule(scenarios.timestamps[0], owned, horizon_months, next_decision_months)
    horizon = UsageHistory(
        scenarios.timestamps, scenarios.kinds, scenarios.paths[0], scenarios.period, currency=history.currency
    )
    reserved = reserved_unit_hours(horizon, reservations)  # the same on every path
    paths = [
        replace(horizon, usage=np.maximum(path - reserved, 0.0) if reservations else path) for path in scenarios.paths
    ]
    portfolio = build_portfolio(paths[0], prices, models, existing)
    order = [history.kinds.index(kind) for kind in portfolio.kinds]
    on_demand = np.empty(len(order))
    on_demand[order] = portfolio.on_demand
    periods = scenarios.timestamps.size
    value = np.array([float((path.usage @ on_demand).sum()) for path in paths])
    cells = periods * len(order)
    return _Problem(
        scenarios=scenarios,
        paths=paths,
        portfolio=portfolio,
        order=order,
        on_demand=on_demand,
        tranches=make_schedule(months, horizon_months, periods, portfolio.hours),
        prices=prices,
        existing=tuple(existing),
        reserved=reserved,
        bound_paths=_representative(value, BOUND_CELLS // cells),
        polish_paths=_representative(value, min(POLISH_PATHS, POLISH_CELLS // cells)),
    )


def _representative(value: Floats, most: int) -> list[int]:
    """Paths evenly spread over the ranks of their on-demand value, `most` of them at most (at least one)."""
    count = max(1, min(most, value.size))
    ranked = np.argsort(value, kind="stable")
    return sorted({int(ranked[i]) for i in np.linspace(0, value.size - 1, count).round().astype(int)})


def _plan(problem: _Problem, say: Progress, n_starts: int | None, tail_level: float | None) -> _Planned:
    portfolio, tranches = problem.portfolio, problem.tranches
    say(f"lower bound ({'expected cost' if tail_level is None else f'CVaR {tail_level:g}'})")
    bound, lp_levels, _ = ForwardBound(portfolio, problem.usage(problem.bound_paths), tranches, tail_level).solve()
    levels = np.stack([whole_units(portfolio, row) for row in lp_levels])
    statistic = np.mean if tail_level is None else partial(tail_mean, level=tail_level)
    judge = ForwardPricer(portfolio, problem.prices, problem.existing, tranches, lambda c: float(statistic(c)))
    judge.keep([problem.paths[i] for i in problem.polish_paths], levels)
    budget = pricing_budget(portfolio, len(problem.polish_paths) * len(judge.paths[0].pieces))
    # The bound is the polish's target only when both price the same paths.
    target = bound * (1 + 1e-6) if problem.bound_paths == problem.polish_paths else 0.0
    say("polish")
    levels[0] = polish_with_passes(portfolio, judge, levels[0], say, target, budget)
    method, search_cost = "polish", float("nan")
    if n_starts is not None and portfolio.models:
        say("module search")
        found, _ = predictions_search(portfolio, problem.usage(problem.polish_paths), n_starts)
        search_cost = judge.cost(found)
        if search_cost < judge.cost(levels[0]):
            levels[0], method = found, "search"
    say("pricing")
    figures = judge.figures(problem.paths, levels)
    # Break-even over the polish's paths: their mean cost with and without each model's purchase now.
    mean = judge.with_statistic(lambda c: float(np.mean(c)))
    cost = mean.cost(levels[0])
    break_even = {m: break_even_months(portfolio, mean, levels[0], m, cost) for m in portfolio.models}
    return _Planned(levels, bound, figures, method, search_cost, break_even)


def _summary(
    problem: _Problem,
    chosen: _Planned,
    purchases: tuple[Purchase, ...],
    horizon_months: int,
    risk: str | None,
    tail_level: float | None,
    outcomes: tuple[PlanOutcome, ...],
) -> ForecastSummary:
    scenarios, figures = problem.scenarios, chosen.figures
    level = DEFAULT_TAIL_LEVEL if tail_level is None else tail_level
    month = np.arange(scenarios.timestamps.size) * problem.portfolio.hours // HOURS_PER_MONTH
    monthly = np.stack([np.bincount(month, path @ problem.on_demand) for path in scenarios.paths])
    return ForecastSummary(
        horizon_months=horizon_months,
        scenarios=len(problem.paths),
        bound_scenarios=len(problem.bound_paths),
        polish_scenarios=len(problem.polish_paths),
        start=scenarios.timestamps[0],
        expected_cost=float(figures.costs.mean()),
        expected_on_demand_cost=float(figures.on_demand.mean()),
        cost_p10=float(np.percentile(figures.costs, 10)),
        cost_p90=float(np.percentile(figures.costs, 90)),
        tail_level=level,
        tail_cost=tail_mean(figures.costs, level),
        method=scenarios.method,
        risk=risk,
        outcomes=outcomes,
        schedule_months=problem.tranches.months,
        schedule_dates=tuple(scenarios.timestamps[start] for start in problem.tranches.starts),
        purchases=purchases,
        fan_months=scenarios.timestamps[np.searchsorted(month, np.arange(month[-1] + 1))],
        fan_low=np.percentile(monthly, 10, axis=0),
        fan_median=np.percentile(monthly, 50, axis=0),
        fan_high=np.percentile(monthly, 90, axis=0),
        commitment_value=np.bincount(month, _commitment_value(problem, chosen.levels)).astype(np.float64),
    )


def _commitment_value(problem: _Problem, levels: Floats) -> Floats:
    """Per period: the on-demand value the commitments in force can pay for (reserved units at
    their kinds' prices, savings-plan money at the paths' on-demand value per unit of money)."""
    portfolio, tranches = problem.portfolio, problem.tranches
    total_usage = np.sum([path.usage.sum(axis=0) for path in problem.paths], axis=0)[problem.order]
    value = problem.reserved @ problem.on_demand
    rates = [*(portfolio.rates[m] for m in portfolio.savings_models), *portfolio.existing_rates]
    worth = [float(total_usage @ portfolio.on_demand / max(total_usage @ r, 1e-300)) for r in rates]
    for index, money in enumerate(portfolio.existing_money.T):
        value += money * worth[len(portfolio.savings_models) + index]
    for tranche in range(len(tranches.starts)):
        for model in portfolio.models:
            first, last = tranches.window(tranche, model)
            entries = levels[tranche, portfolio.slot(model)]
            if model in RESERVED:
                value[first:last] += portfolio.hours * entries @ portfolio.on_demand
            else:
                value[first:last] += entries[0] * worth[portfolio.savings_models.index(model)]
    return np.asarray(value, dtype=np.float64)


def _recommendation(problem: _Problem, chosen: _Planned, bound: float, summary: ForecastSummary) -> Recommendation:
    """The purchase now with expected figures; its gap compares the bound with the plan's expected cost
    over the same scenarios."""
    portfolio, figures = problem.portfolio, chosen.figures
    cost = float(figures.costs.mean())
    on_demand = float(figures.on_demand.mean())
    bound_cost = float(figures.costs[problem.bound_paths].mean())
    notes = [
        f"every figure is an expected value: the module's mean price over {summary.scenarios} forecast scenarios "
        f"of {summary.horizon_months} months from {summary.start}",
        f"the lower bound is proven for the expected cost over {summary.bound_scenarios} of those scenarios "
        f"(spread over the range of their on-demand value), where the plan's expected cost is {bound_cost:,.2f}: "
        f"the gap compares these two; whole units were polished on {summary.polish_scenarios} scenarios",
    ]
    if len(summary.schedule_months) > 1:
        notes.append("later tranches are advice, to be re-planned when their date comes")
    searched = bool(np.isfinite(chosen.search_cost))
    return Recommendation(
        kinds=portfolio.kinds,
        period=portfolio.period,
        models=portfolio.models,
        plans=tuple(
            replace(plan, break_even_months=chosen.break_even[plan.model]) for plan in portfolio.plans(chosen.levels[0])
        ),
        cost=cost,
        on_demand_cost=on_demand,
        savings=on_demand - cost,
        savings_rate=(on_demand - cost) / on_demand if on_demand > 0 else 0.0,
        coverage=float(np.average(figures.coverage, weights=figures.on_demand)) if on_demand > 0 else 0.0,
        unused_commitment=float(figures.unused.mean()),
        lower_bound=bound,
        gap_percent=100.0 * (bound_cost - bound) / bound if bound > 0 else 0.0,
        method=chosen.method,
        search_cost=chosen.search_cost,
        levels=np.array(chosen.levels[0], dtype=np.float64),
        notes=tuple(notes),
        searches=("optimise_predictions",) if searched else (),
        depends_on_random_draws=searched,
        forecast=summary,
    )
