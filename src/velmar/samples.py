"""Random plans and the peers' simple rules, to set a recommendation among them.

The random plans come from the module's `generate_cost_and_coverage`: single plans
of one term (a savings plan and reserved units per kind), priced with the
single-plan cost over the whole history, so without expiry and without existing
savings plans, which a single plan cannot hold. So that every point of the figure
prices the same problem, the recommendation, the peers' rules (whole portfolios
priced by the module) and the LP bound are then taken without the existing plans
too; without existing plans they are the recommendation's own figures.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from velmar.allocation import recommendation_portfolio
from velmar.backend import random_single_plans
from velmar.bound import portfolio_bound
from velmar.portfolio import Levels, Portfolio, Pricer
from velmar.records import ExistingSavingsPlan, Floats, PriceTable, Recommendation, UsageHistory

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
    """Cost and coverage of random single plans of one term, of the peers' rules and of
    the recommendation, with the proven lower bound, all without existing savings plans."""

    term: str
    costs: Floats
    coverages: Floats
    peers: tuple[PeerPlan, ...]
    recommendation: PeerPlan
    lower_bound: float
    #: True when existing savings plans were left out of every figure (they differ from the table's).
    without_existing: bool


def sample_plans(
    history: UsageHistory,
    prices: PriceTable,
    recommendation: Recommendation,
    existing: Sequence[ExistingSavingsPlan] = (),
    n_sample: int = 2000,
) -> PlanSamples:
    """Random plans of the recommendation's longest planned term, and the peers' rules."""
    portfolio, levels = recommendation_portfolio(history, prices, recommendation)
    recommended = PeerPlan("Recommendation", recommendation.cost, recommendation.coverage)
    bound = recommendation.lower_bound
    if existing:
        pricer = Pricer(portfolio)
        recommended = PeerPlan("Recommendation", pricer.cost(levels), pricer.figure(levels, "coverage"))
        bound = portfolio_bound(portfolio).value
    term = next((t for t in ("3Y", "1Y") if any(m.endswith(t) for m in portfolio.models)), "3Y")
    usage = np.nan_to_num(portfolio.usage)
    rates = _single_plan_prices(portfolio, term)
    if n_sample > 0 and (usage @ rates[1]).max(initial=0.0) > 0:
        drawn = random_single_plans(usage, rates, n_sample, history.period)
    else:
        drawn = np.zeros((0, 2))
    return PlanSamples(
        term=term,
        costs=np.ascontiguousarray(drawn[:, 0]),
        coverages=np.ascontiguousarray(drawn[:, 1]),
        peers=_peers(portfolio, term),
        recommendation=recommended,
        lower_bound=bound,
        without_existing=bool(existing),
    )


def _single_plan_prices(portfolio: Portfolio, term: str) -> Floats:
    """Rows on demand, savings-plan rate and reserved price per unit-hour, of one term.

    A reserved unit-hour costs the hourly reserved rate whatever the period: a
    sampled reservation on daily rows is in unit-hours per day. A model not planned
    takes the on-demand rate (a commitment without a discount).
    """
    rows = [portfolio.rates.get(f"{model}{term}", portfolio.on_demand) for model in ("SP", "RI")]
    return np.vstack([portfolio.on_demand, *rows])


def _peers(portfolio: Portfolio, term: str) -> tuple[PeerPlan, ...]:
    """Simple rules of thumb for the same models, priced by the module like the recommendation."""
    nothing = np.zeros(portfolio.level_count)
    rules: list[tuple[str, Levels]] = [("No new commitment", nothing)]
    reserved, savings_plan = f"RI{term}", f"SP{term}"
    if reserved in portfolio.models and portfolio.periods:
        for p in RESERVED_PERCENTILES:
            levels = nothing.copy()
            levels[portfolio.slot(reserved)] = np.floor(np.percentile(portfolio.usage / portfolio.hours, p, axis=0))
            rules.append((f"Reserve P{p} of each kind ({reserved})", levels))
    if savings_plan in portfolio.models and portfolio.periods:
        levels = nothing.copy()
        demand = np.nan_to_num(portfolio.usage) @ portfolio.rates[savings_plan]
        levels[portfolio.slot(savings_plan)] = np.percentile(demand, SAVINGS_PLAN_PERCENTILE)
        rules.append((f"Savings plan at P{SAVINGS_PLAN_PERCENTILE} of demand ({savings_plan})", levels))
    pricer = Pricer(portfolio)
    return tuple(PeerPlan(rule, pricer.cost(levels), pricer.figure(levels, "coverage")) for rule, levels in rules)
