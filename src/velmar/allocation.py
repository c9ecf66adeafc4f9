"""What pays for each unit of usage under a priced plan, period by period.

Follows the module's rules for the same call that prices the plan
(`velmar.portfolio.Pricer`): reservations first (three-year, then one-year; units per
hour times the hours of a period), then the existing savings plans and each new
savings plan's money of the period, spent on the kinds in the portfolio's column
order at each kind's rate, and on demand for the rest. A commitment stops after its
term.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from velmar.portfolio import Levels, Portfolio, build_portfolio
from velmar.records import ExistingSavingsPlan, Floats, PriceTable, Recommendation, UsageHistory


@dataclass(frozen=True)
class Allocation:
    """Usage (unit-hours per period, shape (T, n), columns in `kinds` order) by what pays for it."""

    kinds: tuple[str, ...]
    reserved: Floats
    savings_plan: Floats
    on_demand: Floats


def recommendation_portfolio(
    history: UsageHistory,
    prices: PriceTable,
    rec: Recommendation,
    existing: Sequence[ExistingSavingsPlan] = (),
) -> tuple[Portfolio, Levels]:
    """The planning problem of a recommendation's models, and its level vector.

    With the existing plans it was priced with, this is the very problem the planner
    priced (same column order); plans are matched to columns by kind name.
    """
    if sorted(history.kinds) != sorted(rec.kinds):
        raise ValueError("the recommendation was planned over other kinds than these")
    portfolio = build_portfolio(history, prices, rec.models, existing, kind_order=rec.kinds)
    return portfolio, portfolio.levels_of_plans(rec.plans)


def allocate(portfolio: Portfolio, levels: Levels) -> Allocation:
    """Split the portfolio's usage between the commitments of `levels` and on demand."""
    periods = portfolio.periods
    remaining = np.nan_to_num(portfolio.usage.copy())
    reserved = np.zeros_like(remaining)
    for model in portfolio.reserved_models:
        hours_in_force = np.where(np.arange(periods) < portfolio.active_periods(model), portfolio.hours, 0.0)
        units = hours_in_force[:, None] * levels[portfolio.slot(model)]
        covered = np.minimum(remaining, units)
        reserved += covered
        remaining -= covered
    committed = np.zeros_like(remaining)
    # Existing plans are priced as SP3Y models served before the new savings plans.
    existing_in_force = np.arange(periods) < portfolio.active_periods("SP3Y")
    budgets = [
        (money * existing_in_force, rates) for money, rates in zip(portfolio.existing_money.T, portfolio.existing_rates)
    ]
    for model in portfolio.savings_models:
        in_force = np.arange(periods) < portfolio.active_periods(model)
        budgets.append((np.where(in_force, levels[portfolio.slot(model)][0], 0.0), portfolio.rates[model]))
    for budget, rates in budgets:
        covered = _spend(remaining, budget, rates)
        committed += covered
        remaining -= covered
    return Allocation(kinds=portfolio.kinds, reserved=reserved, savings_plan=committed, on_demand=remaining)


def _spend(remaining: Floats, budget: Floats, rates: Floats) -> Floats:
    """Units one savings plan's money of each period buys, kind by kind in column order."""
    left = np.array(budget, dtype=np.float64)
    covered = np.zeros_like(remaining)
    for kind, rate in enumerate(rates):
        quota = left / rate if rate > 0 else np.full_like(left, np.inf)
        covered[:, kind] = np.minimum(remaining[:, kind], quota)
        left -= covered[:, kind] * rate
    return covered
