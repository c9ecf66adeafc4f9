"""Random plans and the peers' simple rules, to set a recommendation among them.

The random plans come from the module's `generate_cost_and_coverage`: single plans
of one term (a savings plan and reserved units per kind), priced with the
single-plan cost over the whole history, so without expiry and without the existing
savings plans. The peers' rules are whole portfolios priced by the module like the
recommendation, existing savings plans included.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import velmar_backend

from velmar._pricing import portfolio, rates_in_order, usage_in_order
from velmar.records import (
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    Floats,
    ModelPlan,
    PriceTable,
    Recommendation,
    UsageHistory,
)

#: Percentiles of each kind's usage that the reservation rules reserve.
RESERVED_PERCENTILES = (25, 50)
#: Percentile of the savings-plan-priced demand per period that the savings-plan rule commits.
SAVINGS_PLAN_PERCENTILE = 10


@dataclass(frozen=True)
class PeerPlan:
    """A plan chosen by a simple rule, with the module's cost and coverage."""

    rule: str
    cost: float
    coverage: float


@dataclass(frozen=True)
class PlanSamples:
    """Cost and coverage of random single plans of one term, and of the peers' rules."""

    term: str
    costs: Floats
    coverages: Floats
    peers: tuple[PeerPlan, ...]


def sample_plans(
    history: UsageHistory,
    prices: PriceTable,
    recommendation: Recommendation,
    existing: Sequence[ExistingSavingsPlan] = (),
    n_sample: int = 2000,
) -> PlanSamples:
    """Random plans of the recommendation's longest priced term, and the peers' rules."""
    term = _term(recommendation, prices)
    usage = np.nan_to_num(usage_in_order(history, recommendation.kinds))
    rates = _single_plan_prices(prices, recommendation.kinds, term)
    if n_sample > 0 and np.isfinite(rates).all() and (usage @ rates[1]).max(initial=0.0) > 0:
        drawn = velmar_backend.generate_cost_and_coverage(usage, rates, n_sample, os.cpu_count() or 1, history.period)
    else:
        drawn = np.zeros((0, 2))
    return PlanSamples(
        term=term,
        costs=np.ascontiguousarray(drawn[:, 0]),
        coverages=np.ascontiguousarray(drawn[:, 1]),
        peers=_peers(history, prices, recommendation, existing, term, usage),
    )


def _term(recommendation: Recommendation, prices: PriceTable) -> str:
    for term in ("3Y", "1Y"):
        if any(m.endswith(term) and m in prices.commitment for m in recommendation.models):
            return term
    return "3Y"


def _single_plan_prices(prices: PriceTable, kinds: Sequence[str], term: str) -> Floats:
    """Rows on demand, savings-plan rate and reserved price per unit-hour, of one term.

    A reserved unit-hour costs the hourly reserved rate whatever the period: a
    sampled reservation on daily rows is in unit-hours per day. A rate the price
    file lacks is the on-demand rate (a commitment without a discount).
    """
    on_demand = rates_in_order(prices, "OD", kinds)
    rows = [
        rates_in_order(prices, model, kinds) if model in prices.commitment else on_demand
        for model in (f"SP{term}", f"RI{term}")
    ]
    return np.vstack([on_demand, *rows])


def _peers(
    history: UsageHistory,
    prices: PriceTable,
    recommendation: Recommendation,
    existing: Sequence[ExistingSavingsPlan],
    term: str,
    usage: Floats,
) -> tuple[PeerPlan, ...]:
    kinds = recommendation.kinds
    rules: list[tuple[str, list[ModelPlan]]] = [("No new commitment", [])]
    reserved, savings_plan = f"RI{term}", f"SP{term}"
    if reserved in prices.commitment and len(usage):
        per_hour = usage / HOURS_PER_PERIOD[history.period]
        for p in RESERVED_PERCENTILES:
            units = np.floor(np.percentile(per_hour, p, axis=0))
            plan = ModelPlan(model=reserved, reserved=dict(zip(kinds, map(float, units))))
            rules.append((f"Reserve P{p} of each kind ({reserved})", [plan]))
    if savings_plan in prices.commitment and len(usage):
        demand = usage @ rates_in_order(prices, savings_plan, kinds)
        amount = float(np.percentile(demand, SAVINGS_PLAN_PERCENTILE))
        rules.append(
            (f"Savings plan at P{SAVINGS_PLAN_PERCENTILE} of demand ({savings_plan})",
             [ModelPlan(model=savings_plan, amount_per_period=amount)])
        )
    peers = []
    for rule, plans in rules:
        call = portfolio(history, prices, plans, existing, kinds)
        peers.append(PeerPlan(rule=rule, cost=call.figure("cost"), coverage=call.figure("coverage")))
    return tuple(peers)
