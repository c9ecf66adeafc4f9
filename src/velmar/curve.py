"""Cost and savings against the size of a commitment, priced by the module.

The savings-plan curve moves the plan's total savings-plan commitment from zero up to
what a new savings plan could spend in nine periods out of ten (or 1.5 times the
recommendation, if more), keeping the recommendation's split between its savings-plan
models and its reservations as they are. Per-kind curves move one kind's whole
reserved units from zero to the kind's 90th percentile of use per hour (or 1.5 times
the recommendation), everything else held. Every point is the module's cost of that
whole portfolio, existing savings plans included.

The knee is where extra commitment starts to save clearly less: the point between
zero and the optimum that lies farthest above the straight line joining the two on
the savings curve (the point of diminishing returns).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from velmar.allocation import allocate, recommendation_portfolio
from velmar.portfolio import Levels, Portfolio, Pricer
from velmar.records import ExistingSavingsPlan, Floats, PriceTable, Recommendation, UsageHistory

#: Called after each priced point with (points done, points in all).
Progress = Callable[[int, int], None]


@dataclass(frozen=True)
class KindCurve:
    """Cost against the reserved units of one kind under one reserved model."""

    kind: str
    model: str
    units_per_hour: Floats
    costs: Floats
    savings: Floats
    optimum_index: int
    recommended_index: int


@dataclass(frozen=True)
class SavingsCurve:
    """Cost and savings against the total savings-plan commitment per hour."""

    #: Savings-plan models the commitment is spread over, with each one's share.
    models: tuple[str, ...]
    shares: tuple[float, ...]
    amounts_per_hour: Floats
    costs: Floats
    savings: Floats
    on_demand_cost: float
    optimum_index: int
    knee_index: int
    recommended_index: int
    per_kind: tuple[KindCurve, ...] = ()


def savings_curve(
    history: UsageHistory,
    prices: PriceTable,
    recommendation: Recommendation,
    existing: Sequence[ExistingSavingsPlan] = (),
    points: int = 41,
    per_kind: bool = False,
    progress: Progress | None = None,
) -> SavingsCurve:
    """Price the recommendation with its savings-plan commitment scaled from zero up."""
    portfolio, levels = recommendation_portfolio(history, prices, recommendation, existing)
    models, shares = _savings_plan_split(portfolio, levels)
    recommended = sum(levels[portfolio.slot(m)][0] for m in models) / portfolio.hours
    top = max(_demand_per_hour(portfolio, levels, models), 1.5 * recommended)
    amounts, recommended_index = _with_point(_grid(0.0, top if models else 0.0, points, 2 * recommended), recommended)
    sweeps = _kind_sweeps(portfolio, levels, points) if per_kind else []
    pricer = _CountingPricer(portfolio, progress, len(amounts) + sum(len(units) for _, _, units, _ in sweeps))

    def with_savings_plans(per_hour: float) -> Levels:
        varied = levels.copy()
        for model, share in zip(models, shares):
            varied[portfolio.slot(model)] = per_hour * portfolio.hours * share
        return varied

    costs = np.array([pricer.cost(with_savings_plans(a)) for a in amounts])
    savings = recommendation.on_demand_cost - costs
    optimum = int(np.argmin(costs))
    return SavingsCurve(
        models=models,
        shares=shares,
        amounts_per_hour=amounts,
        costs=costs,
        savings=savings,
        on_demand_cost=recommendation.on_demand_cost,
        optimum_index=optimum,
        knee_index=knee_index(amounts, savings, optimum),
        recommended_index=recommended_index,
        per_kind=tuple(_kind_curve(pricer, recommendation, levels, *sweep) for sweep in sweeps),
    )


def knee_index(amounts: Floats, savings: Floats, optimum: int) -> int:
    """The point of [0, optimum] farthest above the chord from the first point to the optimum."""
    if optimum == 0:
        return 0
    x, y = amounts[: optimum + 1], savings[: optimum + 1]
    chord = y[0] + (y[-1] - y[0]) * (x - x[0]) / (x[-1] - x[0])
    return int(np.argmax(y - chord))


class _CountingPricer:
    """The module's cost of level vectors, reporting each priced point to `progress`."""

    def __init__(self, portfolio: Portfolio, progress: Progress | None, total: int) -> None:
        self.portfolio, self._pricer = portfolio, Pricer(portfolio)
        self._progress, self._done, self._total = progress, 0, total

    def cost(self, levels: Levels) -> float:
        value = self._pricer.cost(levels)
        self._done += 1
        if self._progress is not None:
            self._progress(self._done, self._total)
        return value


def _savings_plan_split(portfolio: Portfolio, levels: Levels) -> tuple[tuple[str, ...], tuple[float, ...]]:
    """The savings-plan models to scale and their shares of the total commitment."""
    amounts = {m: float(levels[portfolio.slot(m)][0]) for m in portfolio.savings_models}
    total = sum(amounts.values())
    if total > 0:
        models = tuple(m for m in portfolio.savings_models if amounts[m] > 0)
        return models, tuple(amounts[m] / total for m in models)
    # Nothing recommended: sweep the longest savings plan planned.
    return (portfolio.savings_models[:1], (1.0,)) if portfolio.savings_models else ((), ())


def _demand_per_hour(portfolio: Portfolio, levels: Levels, models: Sequence[str]) -> float:
    """Money per hour a new savings plan could spend in nine periods out of ten.

    The usage left after the recommendation's reservations and the existing savings
    plans, valued at the first savings-plan model's rates: a commitment beyond its
    90th percentile stands idle most of the time, well past any optimum.
    """
    if not models or portfolio.periods == 0:
        return 0.0
    reservations_only = levels.copy()
    for model in portfolio.savings_models:
        reservations_only[portfolio.slot(model)] = 0.0
    left = allocate(portfolio, reservations_only).on_demand
    return float(np.percentile(left @ portfolio.rates[models[0]], 90)) / portfolio.hours


def _grid(low: float, high: float, points: int, near: float | None = None) -> Floats:
    """`points` from low to high, three quarters of them below `near` (where the optimum lies), when it is inside."""
    if high <= low:
        return np.array([low])
    if near is None or not low < near < high:
        return np.linspace(low, high, max(points, 2))
    dense = max(2, 3 * points // 4)
    return np.union1d(np.linspace(low, near, dense), np.linspace(near, high, max(2, points - dense + 1)))


def _with_point(grid: Floats, value: float) -> tuple[Floats, int]:
    """The grid with `value` in its place, and that place."""
    merged = np.union1d(grid, [value])
    return merged, int(np.searchsorted(merged, value))


def _kind_sweeps(portfolio: Portfolio, levels: Levels, points: int) -> list[tuple[int, str, Floats, int]]:
    """(kind column, reserved model, whole units per hour to price, index of the recommendation)."""
    if not portfolio.reserved_models:
        return []
    model = portfolio.reserved_models[0]
    held = levels[portfolio.slot(model)]
    use = portfolio.usage / portfolio.hours
    sweeps = []
    for kind in range(len(portfolio.kinds)):
        # Units used in fewer than one period in ten cannot pay for themselves: the sweep stops there.
        usual = np.ceil(np.percentile(use[:, kind], 90)) if portfolio.periods else 0.0
        top = max(usual, np.ceil(1.5 * held[kind]))
        units, recommended = _with_point(np.unique(np.round(_grid(0.0, top, points))), float(held[kind]))
        sweeps.append((kind, model, units, recommended))
    return sweeps


def _kind_curve(
    pricer: _CountingPricer,
    recommendation: Recommendation,
    levels: Levels,
    kind: int,
    model: str,
    units: Floats,
    recommended: int,
) -> KindCurve:
    entry = pricer.portfolio.slot(model).start + kind
    costs = np.empty(len(units))
    for index, value in enumerate(units):
        varied = levels.copy()
        varied[entry] = value
        costs[index] = pricer.cost(varied)
    return KindCurve(
        kind=pricer.portfolio.kinds[kind],
        model=model,
        units_per_hour=units,
        costs=costs,
        savings=recommendation.on_demand_cost - costs,
        optimum_index=int(np.argmin(costs)),
        recommended_index=recommended,
    )
