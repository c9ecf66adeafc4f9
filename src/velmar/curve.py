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
from dataclasses import dataclass, replace

import numpy as np

from velmar._pricing import RESERVED_MODELS, SAVINGS_PLAN_MODELS, portfolio, rates_in_order, usage_in_order
from velmar.allocation import allocate
from velmar.records import (
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    Floats,
    ModelPlan,
    PriceTable,
    Recommendation,
    UsageHistory,
)

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
    hours = HOURS_PER_PERIOD[history.period]
    models, shares = _savings_plan_split(recommendation, prices)
    recommended = sum(plan.amount_per_period for plan in recommendation.plans if plan.model in models) / hours
    top = max(_demand_per_hour(history, prices, recommendation, existing, models), 1.5 * recommended)
    amounts, recommended_index = _with_point(_grid(0.0, top if models else 0.0, points), recommended)
    kind_sweeps = _kind_sweeps(history, prices, recommendation, points) if per_kind else []
    total = len(amounts) + sum(len(units) for _, _, units, _ in kind_sweeps)
    pricer = _Pricer(history, prices, recommendation, existing, progress, total)

    costs = np.array([pricer.cost(_with_savings_plans(recommendation.plans, models, shares, a * hours)) for a in amounts])
    savings = recommendation.on_demand_cost - costs
    optimum = int(np.argmin(costs))
    curves = tuple(
        _kind_curve(pricer, recommendation, kind, model, units, index) for kind, model, units, index in kind_sweeps
    )
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
        per_kind=curves,
    )


def knee_index(amounts: Floats, savings: Floats, optimum: int) -> int:
    """The point of [0, optimum] farthest above the chord from the first point to the optimum."""
    if optimum == 0:
        return 0
    x, y = amounts[: optimum + 1], savings[: optimum + 1]
    chord = y[0] + (y[-1] - y[0]) * (x - x[0]) / (x[-1] - x[0])
    return int(np.argmax(y - chord))


class _Pricer:
    """The module's cost of variants of one recommendation, counting points for progress."""

    def __init__(
        self,
        history: UsageHistory,
        prices: PriceTable,
        recommendation: Recommendation,
        existing: Sequence[ExistingSavingsPlan],
        progress: Progress | None,
        total: int,
    ) -> None:
        self.history, self.prices, self.existing = history, prices, existing
        self.kinds = recommendation.kinds
        self.progress, self.done, self.total = progress, 0, total

    def cost(self, plans: Sequence[ModelPlan]) -> float:
        value = portfolio(self.history, self.prices, plans, self.existing, self.kinds).figure("cost")
        self.done += 1
        if self.progress is not None:
            self.progress(self.done, self.total)
        return value


def _savings_plan_split(recommendation: Recommendation, prices: PriceTable) -> tuple[tuple[str, ...], tuple[float, ...]]:
    """The savings-plan models to scale and their shares of the total commitment."""
    amounts = {p.model: p.amount_per_period for p in recommendation.plans if p.model in SAVINGS_PLAN_MODELS}
    total = sum(amounts.values())
    if total > 0:
        models = tuple(m for m in SAVINGS_PLAN_MODELS if amounts.get(m, 0.0) > 0)
        return models, tuple(amounts[m] / total for m in models)
    available = [m for m in SAVINGS_PLAN_MODELS if m in recommendation.models and m in prices.commitment]
    return (available[0],) if available else (), (1.0,) if available else ()


def _demand_per_hour(
    history: UsageHistory,
    prices: PriceTable,
    recommendation: Recommendation,
    existing: Sequence[ExistingSavingsPlan],
    models: Sequence[str],
) -> float:
    """Money per hour a new savings plan could spend in nine periods out of ten.

    The usage left after the recommendation's reservations and the existing savings
    plans, valued at the first savings-plan model's rates: a commitment beyond its
    90th percentile stands idle most of the time, well past any optimum.
    """
    if not models or len(history.timestamps) == 0:
        return 0.0
    reservations = [p for p in recommendation.plans if p.model in RESERVED_MODELS]
    left = allocate(history, prices, reservations, existing, recommendation.kinds).on_demand
    demand = left @ rates_in_order(prices, models[0], recommendation.kinds)
    return float(np.percentile(demand, 90)) / HOURS_PER_PERIOD[history.period]


def _grid(low: float, high: float, points: int) -> Floats:
    return np.linspace(low, high, max(points, 2)) if high > low else np.array([low])


def _with_point(grid: Floats, value: float) -> tuple[Floats, int]:
    """The grid with `value` in its place, and that place."""
    merged = np.union1d(grid, [value])
    return merged, int(np.searchsorted(merged, value))


def _with_savings_plans(
    plans: Sequence[ModelPlan], models: Sequence[str], shares: Sequence[float], per_period: float
) -> list[ModelPlan]:
    """The plans with the savings-plan models' amounts set to shares of `per_period`."""
    amount = dict(zip(models, shares))
    kept = [p for p in plans if p.model not in amount]
    return kept + [ModelPlan(model=m, amount_per_period=per_period * amount[m]) for m in models]


def _kind_sweeps(
    history: UsageHistory, prices: PriceTable, recommendation: Recommendation, points: int
) -> list[tuple[str, str, Floats, int]]:
    """(kind, reserved model, whole units per hour to price, index of the recommendation)."""
    model = next((m for m in RESERVED_MODELS if m in recommendation.models and m in prices.commitment), None)
    if model is None:
        return []
    held = next((p.reserved for p in recommendation.plans if p.model == model), {})
    usage = np.nan_to_num(usage_in_order(history, recommendation.kinds)) / HOURS_PER_PERIOD[history.period]
    sweeps = []
    for index, kind in enumerate(recommendation.kinds):
        recommended_units = float(held.get(kind, 0.0))
        # Units used in fewer than one period in ten cannot pay for themselves: the sweep stops there.
        top = max(np.ceil(np.percentile(usage[:, index], 90)) if len(usage) else 0.0, np.ceil(1.5 * recommended_units))
        units, recommended = _with_point(np.unique(np.round(_grid(0.0, top, points))), recommended_units)
        sweeps.append((kind, model, units, recommended))
    return sweeps


def _kind_curve(
    pricer: _Pricer, recommendation: Recommendation, kind: str, model: str, units: Floats, recommended: int
) -> KindCurve:
    base = next((p for p in recommendation.plans if p.model == model), ModelPlan(model=model))
    others = [p for p in recommendation.plans if p.model != model]
    costs = np.array(
        [pricer.cost([*others, replace(base, reserved={**base.reserved, kind: float(u)})]) for u in units]
    )
    return KindCurve(
        kind=kind,
        model=model,
        units_per_hour=units,
        costs=costs,
        savings=recommendation.on_demand_cost - costs,
        optimum_index=int(np.argmin(costs)),
        recommended_index=recommended,
    )
