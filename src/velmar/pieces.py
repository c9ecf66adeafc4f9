"""Commitments with dates of their own, priced exactly by the module: in pieces cut at their dates.

The module counts every commitment's term from the first row of a call. A purchase made
mid-window, a reservation or savings plan that expires inside it, or a window longer than
one term, is therefore priced in pieces: the window is cut at every purchase, start and
expiry date and at most one year apart, so that inside each piece every commitment is in
force throughout (or not at all) and none can expire. The module's cost is a sum over
periods, so the pieces' costs add up to the cost of the whole window.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from velmar.portfolio import RESERVED, TERM_DAYS, Levels, Portfolio, Pricer, build_portfolio
from velmar.records import (
    COMMITMENT_MODELS,
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    ModelPlan,
    PriceTable,
    Purchase,
    UsageHistory,
)

#: The longest piece, in days: shorter than the shortest term, so nothing expires inside a call.
PIECE_DAYS = 365


@dataclass(frozen=True)
class PiecewiseCost:
    """The module's figures of dated commitments over a window, added over its pieces."""

    cost: float
    on_demand_cost: float
    #: Money committed that bought nothing.
    unused_commitment: float
    #: Money paid for new commitments (their hourly charges while in force).
    committed: float


def purchases(plans: Sequence[ModelPlan], date: np.datetime64) -> tuple[Purchase, ...]:
    """The new commitments of `plans`, bought at `date` (models with nothing bought left out)."""
    bought = []
    for plan in plans:
        reserved = {kind: units for kind, units in plan.reserved.items() if units > 0}
        if reserved or plan.amount_per_hour > 0:
            bought.append(Purchase(plan.model, date, reserved=reserved, amount_per_hour=plan.amount_per_hour))
    return tuple(bought)


def purchase_end(purchase: Purchase) -> np.datetime64:
    """When a purchase expires: its start plus its model's term."""
    end: np.datetime64 = purchase.start.astype("datetime64[s]") + np.timedelta64(TERM_DAYS[purchase.model], "D")
    return end


def price_in_pieces(
    history: UsageHistory,
    prices: PriceTable,
    purchases: Sequence[Purchase],
    existing: Sequence[ExistingSavingsPlan] = (),
    kind_order: Sequence[str] | None = None,
) -> PiecewiseCost:
    """The module's price of `history` with each purchase in force over [start, start + term).

    Existing savings plans pay over their own dates (as everywhere in the planner);
    reservations already owned are taken off the usage beforehand (`velmar.reservations`).
    Purchases start on period boundaries of the history (a start inside a period counts
    from the next one).
    """
    models = tuple(m for m in COMMITMENT_MODELS if any(p.model == m for p in purchases))
    starts = history.timestamps.astype("datetime64[s]").astype(np.int64)
    totals = np.zeros(4)
    for first, last in piece_rows(history, purchases, existing):
        piece = history.rows(first, last)
        portfolio = build_portfolio(piece, prices, models, existing, kind_order=kind_order)
        levels = np.zeros(portfolio.level_count)
        column = {kind: index for index, kind in enumerate(portfolio.kinds)}
        for purchase in purchases:
            begins = purchase.start.astype("datetime64[s]").astype(np.int64)
            if not begins <= starts[first] < purchase_end(purchase).astype(np.int64):
                continue
            entries = levels[portfolio.slot(purchase.model)]
            if purchase.model in RESERVED:
                for kind, units in purchase.reserved.items():
                    entries[column[kind]] += units
            else:
                entries[0] += purchase.amount_per_hour * portfolio.hours
        pricer = Pricer(portfolio)
        totals += (
            pricer.cost(levels),
            pricer.cost(np.zeros_like(levels)),
            pricer.figure(levels, "underutilization"),
            _charges(portfolio, levels),
        )
    return PiecewiseCost(*map(float, totals))


def _charges(portfolio: Portfolio, levels: Levels) -> float:
    """What the new commitments of `levels` charge over the piece: reservations' units at their
    rates every hour, savings plans' money every period."""
    return sum(portfolio.charge_per_period(model, levels) * portfolio.periods for model in portfolio.models)


def piece_rows(
    history: UsageHistory, purchases: Sequence[Purchase], existing: Sequence[ExistingSavingsPlan]
) -> list[tuple[int, int]]:
    """Row ranges [first, last) cut at every date a commitment starts or ends, and at most a year long."""
    starts = history.timestamps.astype("datetime64[s]").astype(np.int64)
    periods = len(starts)
    dates = [p.start for p in purchases] + [purchase_end(p) for p in purchases]
    dates += [plan.start for plan in existing] + [plan.end for plan in existing]
    cuts = {0, periods}
    for date in dates:
        # The first period starting at or after the date: commitments count from whole periods.
        cuts.add(int(np.searchsorted(starts, date.astype("datetime64[s]").astype(np.int64))))
    edges = sorted(cut for cut in cuts if 0 <= cut <= periods)
    longest = PIECE_DAYS * 24 // HOURS_PER_PERIOD[history.period]
    pieces = []
    for first, last in itertools.pairwise(edges):
        pieces += [(a, min(a + longest, last)) for a in range(first, last, longest)]
    return pieces
