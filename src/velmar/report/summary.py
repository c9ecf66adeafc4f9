"""What a plan commits to and saves, in the terms of a purchase order and a budget.

Savings per year and per month are the savings over the history scaled by its length
(at the history's rate: 8,760 hours a year, a month a twelfth of that). The commitment
over a term is exact: a reservation pays its hourly rate for every unit in every hour of
its term, a savings plan its money per hour.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from velmar.portfolio import RESERVED, TERM_DAYS
from velmar.records import HOURS_PER_PERIOD, PriceTable, Recommendation, UsageHistory
from velmar.report.formatting import money, per_hour, savings_plan_per_hour, share

HOURS_PER_YEAR = 365 * 24


@dataclass(frozen=True)
class TermCommitment:
    """The money one model of a plan commits to, per hour and over its whole term."""

    model: str
    term_days: int
    per_hour: float

    @property
    def total(self) -> float:
        return self.per_hour * self.term_days * 24


def history_hours(history: UsageHistory) -> int:
    return len(history.timestamps) * HOURS_PER_PERIOD[history.period]


def per_year(value: float, hours: int) -> float:
    """A figure over `hours` of history at the same rate for a year (NaN for an empty history)."""
    return value * HOURS_PER_YEAR / hours if hours > 0 else math.nan


def term_commitments(rec: Recommendation, prices: PriceTable) -> tuple[TermCommitment, ...]:
    """Each model of the plan that buys something, with its money per hour and term."""
    column = {kind: i for i, kind in enumerate(prices.kinds)}
    result = []
    for plan in rec.plans:
        if plan.model in RESERVED:
            rates = prices.commitment[plan.model]
            money_per_hour = sum(units * float(rates[column[kind]]) for kind, units in plan.reserved.items())
        else:
            money_per_hour = savings_plan_per_hour(plan, rec.period)
        if money_per_hour > 0:
            result.append(TermCommitment(plan.model, TERM_DAYS[plan.model], money_per_hour))
    return tuple(result)


def purchase(rec: Recommendation) -> str:
    """The plan in a phrase: "12 RI3Y units over 5 kinds and a 3-year savings plan of 4.20 USD/h"."""
    parts = []
    for plan in rec.plans:
        if plan.model in RESERVED:
            bought = [units for units in plan.reserved.values() if units > 0]
            if bought:
                kinds = f"{len(bought)} kind{'s' if len(bought) > 1 else ''}"
                parts.append(f"{sum(bought):g} {plan.model} units over {kinds}")
        elif (amount := savings_plan_per_hour(plan, rec.period)) > 0:
            years = TERM_DAYS[plan.model] // 365
            parts.append(f"a {years}-year savings plan of {per_hour(amount, rec.currency)}")
    if not parts:
        return "nothing new"
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]


def headline(rec: Recommendation, hours: int) -> str:
    """ "Buy ...; saves X per year (Y%)": the plan's savings at the history's rate."""
    return (
        f"Buy {purchase(rec)}; saves {money(per_year(rec.savings, hours), rec.currency)} per year "
        f"({share(rec.savings_rate)})"
    )


def coverage_note(rec: Recommendation) -> str | None:
    """Why a coverage above 100% is no mistake, in plain words; None at or below 100%."""
    if not rec.coverage > 1:
        return None
    return (
        f"Coverage above 100% ({share(rec.coverage)}): reservations count in full, so in some hours the "
        "commitments exceed the usage they can cover (unused commitment: "
        f"{money(rec.unused_commitment, rec.currency)}), while in other hours some usage still runs on demand."
    )


def hourly_note(rec: Recommendation) -> str | None:
    """What the daily plan costs on the hourly rows it was made of, and why that differs; None when not priced."""
    if rec.hourly_cost is None:
        return None
    on_demand = rec.hourly_on_demand_cost
    against = ""
    if on_demand is not None:
        saved = money(on_demand - rec.hourly_cost, rec.currency)
        against = f" (all on demand {money(on_demand, rec.currency)}, savings {saved})"
    return (
        f"Priced on the hourly rows it was made of, this daily plan costs {money(rec.hourly_cost, rec.currency)}"
        f"{against} against {money(rec.cost, rec.currency)} by day. Planning by day hides the hourly peaks: "
        "commitment left unused in quiet hours cannot pay for busy hours, which then run on demand, so the "
        "daily figures understate the cost."
    )


def assumed_rates_note(prices: PriceTable) -> str | None:
    """Which commitment rates were assumed rather than read from a price file; None when none were."""
    if not prices.assumed:
        return None
    count = len(prices.assumed_kinds)
    rates = ", ".join(f"{model} {fraction:.0%} off on demand" for model, fraction in prices.assumed.items())
    return f"Commitment rates assumed for {count:,} kind{'s' if count != 1 else ''}: {rates}."
