"""Payment options: the one a plan is made on, the rate of capital at which it flips, and the cash it pays out.

An option of a model pays `hourly` per unit and hour over the term and `upfront` per unit at
purchase. At a yearly cost of capital R it costs as much as paying, by the hour,

    equivalent = hourly + upfront * annuity(R),

where annuity(R) is the money per hour over the term whose present value is one unit of money
paid at purchase: the term's months are paid monthly at R / 12 a month (monthly compounding), a
month being 730 hours, so at R = 0 the upfront amount is spread evenly over the term's hours.
The planner plans each kind of a reserved model on its option of least equivalent rate. A savings
plan is one purchase for every kind, so it takes one option: the one of least equivalent rate
weighted by each kind's on-demand value; its upfront amount per unit of commitment (money per
hour) prepays that much of the commitment and the rest is paid by the hour, so one unit of it
costs `1 - upfront / term hours + upfront * annuity(R)` per hour and its rates are scaled by that.

Each option is a line in x = annuity(R), which grows with R: the chosen option flips where its
line crosses another's, x* = (intercept_o - intercept_c) / (slope_c - slope_o), and the rate R*
with annuity(R*) = x* is found by bisection (annuity has no closed-form inverse).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace

import numpy as np

from velmar.errors import UserError
from velmar.portfolio import RESERVED, TERM_DAYS, Portfolio
from velmar.records import HOURS_PER_MONTH, Floats, PaymentChoice, PaymentOption, PriceTable, Recommendation

#: How options are compared, in the words of the report.
PAYMENT_NOTE = (
    "Payment options are compared at their equivalent hourly rate: the hourly rate plus the upfront amount "
    "spread over the term as a monthly annuity at the cost of capital (monthly compounding, 730 hours a month). "
    "A flip is the yearly cost of capital at which another option would become the cheaper one."
)
TERM_MONTHS: Mapping[str, int] = {model: days * 24 // HOURS_PER_MONTH for model, days in TERM_DAYS.items()}
#: The highest yearly rate of capital a flip is looked for at (1000%).
HIGHEST_RATE = 10.0


def hourly_annuity(rate: float, months: int) -> float:
    """Money per hour over `months` with the present value of one unit paid now, at the yearly `rate`."""
    monthly_rate = rate / 12
    monthly = 1 / months if monthly_rate == 0 else monthly_rate / (1 - (1 + monthly_rate) ** -months)
    return monthly / HOURS_PER_MONTH


def rate_of_annuity(annuity: float, months: int) -> float | None:
    """The yearly rate whose `hourly_annuity` is `annuity`; None when no rate in [0, HIGHEST_RATE] gives it."""
    if not hourly_annuity(0.0, months) <= annuity <= hourly_annuity(HIGHEST_RATE, months):
        return None
    low, high = 0.0, HIGHEST_RATE
    for _ in range(100):
        middle = (low + high) / 2
        if hourly_annuity(middle, months) < annuity:
            low = middle
        else:
            high = middle
    return (low + high) / 2


def check_cost_of_capital(rate: float) -> None:
    if not 0.0 <= rate < HIGHEST_RATE:
        raise UserError(f"--cost-of-capital: {rate} is not a yearly rate between 0 and {HIGHEST_RATE:g}")


def choose_payment(
    prices: PriceTable, cost_of_capital: float, weights: Floats
) -> tuple[PriceTable, tuple[PaymentChoice, ...]]:
    """`prices` with each optioned model's rates at its chosen option's equivalent rate, and the choices.

    `weights` (per kind of `prices`, e.g. each kind's on-demand value) weigh a savings plan's options.
    """
    check_cost_of_capital(cost_of_capital)
    commitment = dict(prices.commitment)
    choices = []
    for model, options in prices.options.items():
        choose = _reserved_choice if model in RESERVED else _savings_plan_choice
        choice = choose(model, options, prices, cost_of_capital, weights)
        commitment[model] = choice.equivalent
        choices.append(choice)
    return replace(prices, commitment=commitment), tuple(choices)


def _reserved_choice(
    model: str, options: Sequence[PaymentOption], prices: PriceTable, rate: float, weights: Floats
) -> PaymentChoice:
    months = TERM_MONTHS[model]
    intercepts = np.array([option.hourly for option in options])
    slopes = np.array([option.upfront for option in options])
    equivalent = intercepts + slopes * hourly_annuity(rate, months)
    offered = np.asarray(~np.isnan(equivalent).all(axis=0))
    chosen = np.where(offered, np.argmin(np.where(np.isnan(equivalent), np.inf, equivalent), axis=0), 0)
    columns = np.arange(len(prices.kinds))
    flips = [_flips(intercepts[:, k], slopes[:, k], int(chosen[k]), rate, months) for k in columns]
    return PaymentChoice(
        model=model,
        kinds=prices.kinds,
        options=tuple(options[c].name if ok else "-" for c, ok in zip(chosen, offered)),
        hourly=np.where(offered, intercepts[chosen, columns], prices.on_demand),
        upfront=np.where(offered, slopes[chosen, columns], 0.0),
        equivalent=np.where(offered, equivalent[chosen, columns], prices.on_demand),
        flip_below=tuple(below for below, _ in flips),
        flip_above=tuple(above for _, above in flips),
    )


def _savings_plan_choice(
    model: str, options: Sequence[PaymentOption], prices: PriceTable, rate: float, weights: Floats
) -> PaymentChoice:
    months = TERM_MONTHS[model]
    term_hours = months * HOURS_PER_MONTH
    upfronts = []
    for option in options:
        amounts = option.upfront[~np.isnan(option.upfront)]
        if amounts.size and (np.ptp(amounts) > 0 or amounts[0] > term_hours):
            raise UserError(
                f"prices: {model.lower()}_upfront{':' + option.name if option.name else ''}: a savings plan's "
                f"upfront amount per unit of commitment is one number for every kind, at most {term_hours:,}"
            )
        upfronts.append(float(amounts[0]) if amounts.size else 0.0)
    upfront = np.array(upfronts)
    rates = np.array([np.where(np.isnan(option.hourly), prices.on_demand, option.hourly) for option in options])
    spend = rates @ weights
    # Per unit of commitment: the rest of the commitment by the hour, plus the upfront part's annuity.
    intercepts, slopes = spend * (1 - upfront / term_hours), spend * upfront
    factors = 1 - upfront / term_hours + upfront * hourly_annuity(rate, months)
    chosen = int(np.argmin(spend * factors))
    below, above = _flips(intercepts, slopes, chosen, rate, months)
    kinds = len(prices.kinds)
    return PaymentChoice(
        model=model,
        kinds=prices.kinds,
        options=(options[chosen].name,) * kinds,
        hourly=np.full(kinds, 1 - upfront[chosen] / term_hours),
        upfront=np.full(kinds, upfront[chosen]),
        equivalent=rates[chosen] * factors[chosen],
        flip_below=(below,) * kinds,
        flip_above=(above,) * kinds,
        money_factor=float(factors[chosen]),
    )


def _flips(
    intercepts: Floats, slopes: Floats, chosen: int, rate: float, months: int
) -> tuple[float | None, float | None]:
    """The nearest rates below and above `rate` where another option's line crosses the chosen one's."""
    here = hourly_annuity(rate, months)
    below: float | None = None
    above: float | None = None
    for other, (intercept, slope) in enumerate(zip(intercepts, slopes)):
        if other == chosen or np.isnan(intercept) or slope == slopes[chosen]:
            continue
        crossing = (intercept - intercepts[chosen]) / (slopes[chosen] - slope)
        flip = rate_of_annuity(float(crossing), months)
        if flip is None:
            continue
        if slope < slopes[chosen] and crossing >= here:
            above = flip if above is None else min(above, flip)
        elif slope > slopes[chosen] and crossing <= here:
            below = flip if below is None else max(below, flip)
    return below, above


def upfront_per_level(portfolio: Portfolio, choices: Sequence[PaymentChoice]) -> Floats:
    """Money paid at purchase per unit of each entry of a level vector of `portfolio`."""
    per_level = np.zeros(portfolio.level_count)
    for choice in choices:
        if choice.model not in portfolio.models:
            continue
        column = {kind: k for k, kind in enumerate(choice.kinds)}
        upfront = choice.upfront[[column[kind] for kind in portfolio.kinds]]
        if choice.model in RESERVED:
            per_level[portfolio.slot(choice.model)] = upfront
        else:  # a level is the module's money per period: money_factor * commitment per hour * hours
            per_level[portfolio.slot(choice.model)] = upfront[0] / (choice.money_factor * portfolio.hours)
    return per_level


@dataclass(frozen=True)
class CashOut:
    """Money a plan's purchase pays in each month of the longest term bought (month 0: the purchase)."""

    upfront: Floats
    hourly: Floats

    @property
    def total(self) -> Floats:
        return self.upfront + self.hourly


def cash_out(rec: Recommendation, prices: PriceTable) -> CashOut:
    """Upfront amounts in the month of purchase and hourly payments in each month of each term.

    A model without payment options pays its rate by the hour (a savings plan its commitment).
    `prices` are those the plan was made with (kinds by name).
    """
    choices = {choice.model: choice for choice in rec.payment}
    column = {kind: k for k, kind in enumerate(prices.kinds)}
    months = max((TERM_MONTHS[plan.model] for plan in rec.plans), default=0)
    upfront, hourly = np.zeros(months), np.zeros(months)
    for plan in rec.plans:
        choice = choices.get(plan.model)
        if plan.model in RESERVED:
            take = [column[kind] for kind in plan.reserved]
            units = np.array(list(plan.reserved.values()))
            per_hour = prices.commitment[plan.model][take] if choice is None else choice.hourly[take]
            at_purchase = 0.0 if choice is None else float(units @ choice.upfront[take])
            money_per_hour = float(units @ per_hour)
        else:
            commitment = plan.amount_per_hour / (1.0 if choice is None else choice.money_factor)
            at_purchase = 0.0 if choice is None else commitment * float(choice.upfront[0])
            money_per_hour = commitment * (1.0 if choice is None else float(choice.hourly[0]))
        upfront[0] += at_purchase
        hourly[: TERM_MONTHS[plan.model]] += money_per_hour * HOURS_PER_MONTH
    return CashOut(upfront=upfront, hourly=hourly)
