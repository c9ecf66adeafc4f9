"""Planning for the future a purchase pays off over: commitments judged on forecast usage.

`plan_forward` forecasts S usage paths over the horizon (`scenarios.make_scenarios`), takes the
reservations already owned off each path over their real dates (`velmar.reservations`), and
plans the purchase made at the horizon's first period (and, with a schedule, later tranches)
for the least expected cost over the paths, or the least CVaR:

  1. the LP bound over the paths (`forward_bound.ForwardBound`), on all paths when they are
     small enough (BOUND_CELLS), else on a representative part (paths evenly spread over the
     ranks of their on-demand value);
  2. its optimum with whole reserved units, polished (`velmar.polish`) with the module's mean
     (or CVaR) price over at most POLISH_PATHS representative paths as the judge; later
     tranches are advice (re-planned when their date comes) and keep their rounded LP levels;
  3. with `n_starts`, the module's `optimise_predictions` over the polish's paths is a
     candidate too (its starting points come from the operating system: flagged);
  4. every figure priced by the module on every path (`forward_pricer`): expected values,
     percentiles and the tail's mean over all S paths.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from functools import partial

import numpy as np

from velmar.backend import predictions_search
from velmar.forecast.forward_bound import ForwardBound
from velmar.forecast.forward_pricer import ForwardPricer, PathFigures
from velmar.forecast.risk import DEFAULT_TAIL_LEVEL, parse_risk, tail_mean
from velmar.forecast.scenarios import HOURS_PER_MONTH, make_scenarios
from velmar.forecast.schedule import Schedule, make_schedule, purchases_of
from velmar.polish import MAX_PRICINGS, MIN_PRICINGS, PRICED_CELLS, whole_units
from velmar.polish import polish as polish_levels
from velmar.portfolio import RESERVED, Portfolio, build_portfolio
from velmar.records import (
    COMMITMENT_MODELS,
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
from velmar.reservations import net_of_reservations, reserved_unit_hours

Progress = Callable[[str], None]
#: Cells (paths x periods x kinds) the LP bound is computed on at most; the polish's paths at most.
BOUND_CELLS = 1_000_000
POLISH_CELLS = 4_000_000
POLISH_PATHS = 20


@dataclass(frozen=True)
class ForwardPlan:
    """What to buy now (`recommendation`, expected figures), every tranche's purchases, and the forecast."""

    recommendation: Recommendation
    purchases: tuple[Purchase, ...]
    summary: ForecastSummary


@dataclass(frozen=True)
class _Planned:
    levels: Floats
    bound: float
    figures: PathFigures
    method: str
    searched: bool


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
) -> ForwardPlan:
    """The purchase at the period after `history` (gross usage) that minimises the expected cost, or
    the CVaR of `risk` ("cvar:0.9"), over `n_scenarios` forecast paths of `horizon_months` months.

    `existing` savings plans and `reservations` count over their real dates; `schedule` adds
    tranches at those months ahead. See the module doc for the stages.
    """
    say = progress or (lambda _: None)
    tail_level = parse_risk(risk) if risk is not None else None
    say("forecast")
    scenarios = make_scenarios(history, horizon_months, n_scenarios, seed)
    paths = [_path(history, scenarios, index, reservations) for index in range(n_scenarios)]
    portfolio = build_portfolio(paths[0], prices, models, existing)
    order = [history.kinds.index(kind) for kind in portfolio.kinds]
    periods = scenarios.timestamps.size
    tranches = make_schedule(schedule, horizon_months, periods, portfolio.hours)
    value = np.array([path.usage[:, order] @ portfolio.on_demand for path in paths]).sum(axis=1)
    cells = periods * len(portfolio.kinds)
    bound_paths = _representative(value, BOUND_CELLS // cells)
    polish_paths = _representative(value, min(POLISH_PATHS, POLISH_CELLS // cells))
    plan = partial(_plan, portfolio, prices, existing, tranches, paths, order, bound_paths, polish_paths, say, n_starts)
    chosen = plan(tail_level)
    outcomes: tuple[PlanOutcome, ...] = ()
    bound = chosen.bound
    if tail_level is not None:
        expected = plan(None)
        bound = expected.bound
        outcomes = tuple(
            PlanOutcome(label, float(p.figures.costs.mean()), tail_mean(p.figures.costs, tail_level))
            for label, p in (("least expected cost", expected), (f"least {risk}", chosen))
        )
    purchases = purchases_of(portfolio, chosen.levels, tranches, scenarios.timestamps)
    summary = _summary(scenarios, portfolio, paths, order, chosen, tranches, purchases, reservations, tail_level)
    summary = replace(
        summary,
        bound_scenarios=len(bound_paths),
        polish_scenarios=len(polish_paths),
        risk=risk,
        outcomes=outcomes,
    )
    rec = _recommendation(portfolio, chosen, bound, summary)
    return ForwardPlan(rec, purchases, summary)


def _path(
    history: UsageHistory, scenarios: Scenarios, index: int, reservations: Sequence[ExistingReservation]
) -> UsageHistory:
    path = UsageHistory(
        scenarios.timestamps, scenarios.kinds, scenarios.paths[index], scenarios.period, currency=history.currency
    )
    return net_of_reservations(path, reservations)[0]


def _representative(value: Floats, most: int) -> list[int]:
    """Paths evenly spread over the ranks of their on-demand value, `most` of them at most (at least one)."""
    count = max(1, min(most, value.size))
    ranked = np.argsort(value, kind="stable")
    return sorted({int(ranked[i]) for i in np.linspace(0, value.size - 1, count).round().astype(int)})


def _plan(
    portfolio: Portfolio,
    prices: PriceTable,
    existing: Sequence[ExistingSavingsPlan],
    tranches: Schedule,
    paths: list[UsageHistory],
    order: list[int],
    bound_paths: list[int],
    polish_paths: list[int],
    say: Progress,
    n_starts: int | None,
    tail_level: float | None,
) -> _Planned:
    objective = "expected cost" if tail_level is None else f"CVaR {tail_level:g}"
    say(f"lower bound ({objective})")
    usage = np.stack([paths[i].usage[:, order] for i in bound_paths])
    bound, lp_levels, _ = ForwardBound(portfolio, usage, tranches, tail_level).solve()
    levels = np.stack([whole_units(portfolio, row) for row in lp_levels])
    statistic = np.mean if tail_level is None else partial(tail_mean, level=tail_level)
    judge = ForwardPricer(portfolio, prices, existing, tranches, lambda c: float(statistic(c)))
    judge.keep([paths[i] for i in polish_paths], levels)
    pieces = len(judge.paths[0].pieces)
    cells = len(polish_paths) * pieces * portfolio.periods * len(portfolio.kinds)
    budget = int(np.clip(MAX_PRICINGS * PRICED_CELLS / max(cells, 1), MIN_PRICINGS, MAX_PRICINGS))
    target = bound * (1 + 1e-6) if bound_paths == polish_paths else 0.0
    passes = 0

    def tick() -> None:
        nonlocal passes
        passes += 1
        say(f"polish pass {passes}")

    say("polish")
    levels[0] = polish_levels(portfolio, judge, levels[0], tick, target, budget)
    method, searched = "polish", False
    if n_starts is not None and len(tranches.starts) == 1 and portfolio.models:
        say("module search")
        predictions = np.ascontiguousarray(np.stack([paths[i].usage[:, order] for i in polish_paths]))
        found, _ = predictions_search(portfolio, predictions, n_starts)
        searched = True
        if judge.cost(found) < judge.cost(levels[0]):
            levels[0], method = found, "search"
    say("pricing")
    figures = judge.figures(paths, levels)
    return _Planned(levels, bound, figures, method, searched)


def _summary(
    scenarios: Scenarios,
    portfolio: Portfolio,
    paths: list[UsageHistory],
    order: list[int],
    chosen: _Planned,
    tranches: Schedule,
    purchases: tuple[Purchase, ...],
    reservations: Sequence[ExistingReservation],
    tail_level: float | None,
) -> ForecastSummary:
    figures = chosen.figures
    level = DEFAULT_TAIL_LEVEL if tail_level is None else tail_level
    rows = HOURS_PER_MONTH // portfolio.hours
    periods = scenarios.timestamps.size
    month = np.arange(periods) // rows
    gross = scenarios.paths[:, :, order] @ portfolio.on_demand
    monthly = np.stack([np.bincount(month, row) for row in gross])
    commitment = _commitment_value(portfolio, paths, order, chosen.levels, tranches, reservations, scenarios)
    return ForecastSummary(
        horizon_months=int(month[-1]) + 1 if periods else 0,
        scenarios=len(paths),
        bound_scenarios=0,
        polish_scenarios=0,
        start=scenarios.timestamps[0],
        expected_cost=float(figures.costs.mean()),
        expected_on_demand_cost=float(figures.on_demand.mean()),
        cost_p10=float(np.percentile(figures.costs, 10)),
        cost_p90=float(np.percentile(figures.costs, 90)),
        tail_level=level,
        tail_cost=tail_mean(figures.costs, level),
        method=scenarios.method,
        schedule_months=tranches.months,
        purchases=purchases,
        fan_months=scenarios.timestamps[np.arange(0, periods, rows)],
        fan_low=np.percentile(monthly, 10, axis=0),
        fan_median=np.percentile(monthly, 50, axis=0),
        fan_high=np.percentile(monthly, 90, axis=0),
        commitment_value=np.bincount(month, commitment),
    )


def _commitment_value(
    portfolio: Portfolio,
    paths: list[UsageHistory],
    order: list[int],
    levels: Floats,
    tranches: Schedule,
    reservations: Sequence[ExistingReservation],
    scenarios: Scenarios,
) -> Floats:
    """Per period: the on-demand value the commitments in force can pay for (reserved units at
    their kinds' prices, savings-plan money at the mean path's on-demand value per unit of money)."""
    hours = portfolio.hours
    mean_usage = np.mean([path.usage[:, order] for path in paths], axis=0).sum(axis=0)
    owned = UsageHistory(scenarios.timestamps, scenarios.kinds, scenarios.paths[0], scenarios.period)
    value = reserved_unit_hours(owned, reservations)[:, order] @ portfolio.on_demand
    rates = [*(portfolio.rates[m] for m in portfolio.savings_models), *portfolio.existing_rates]
    worth = [float(mean_usage @ portfolio.on_demand / max(mean_usage @ r, 1e-300)) for r in rates]
    for index, money in enumerate(portfolio.existing_money.T):
        value += money * worth[len(portfolio.savings_models) + index]
    for tranche in range(len(tranches.starts)):
        for model in portfolio.models:
            first, last = tranches.window(tranche, model)
            entries = levels[tranche, portfolio.slot(model)]
            if model in RESERVED:
                value[first:last] += hours * entries @ portfolio.on_demand
            else:
                value[first:last] += entries[0] * worth[portfolio.savings_models.index(model)]
    return value


def _recommendation(portfolio: Portfolio, chosen: _Planned, bound: float, summary: ForecastSummary) -> Recommendation:
    figures = chosen.figures
    cost = float(figures.costs.mean())
    on_demand = float(figures.on_demand.mean())
    notes = [
        f"every figure is an expected value: the module's mean price over {summary.scenarios} forecast scenarios "
        f"of {summary.horizon_months} months from {summary.start}",
        f"the lower bound is proven for the expected cost over {summary.bound_scenarios} of those scenarios "
        "(spread over the range of their on-demand value); whole units were polished on "
        f"{summary.polish_scenarios}",
    ]
    if len(summary.schedule_months) > 1:
        notes.append("later tranches are advice, to be re-planned when their date comes")
    return Recommendation(
        kinds=portfolio.kinds,
        period=portfolio.period,
        models=portfolio.models,
        plans=portfolio.plans(chosen.levels[0]),
        cost=cost,
        on_demand_cost=on_demand,
        savings=on_demand - cost,
        savings_rate=(on_demand - cost) / on_demand if on_demand > 0 else 0.0,
        coverage=float(np.average(figures.coverage, weights=figures.on_demand)) if on_demand > 0 else 0.0,
        unused_commitment=float(figures.unused.mean()),
        lower_bound=bound,
        gap_percent=100.0 * (cost - bound) / bound if bound > 0 else 0.0,
        method=chosen.method,
        search_cost=float("nan"),
        levels=np.array(chosen.levels[0], dtype=np.float64),
        notes=tuple(notes),
        searches=("optimise_predictions",) if chosen.searched else (),
        depends_on_random_draws=chosen.searched,
        forecast=summary,
    )
