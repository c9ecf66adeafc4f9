"""The kind column order in which the module prices a plan cheapest.

The module spends each savings plan on the kinds in column order, one plan after the
other. With one rate set the portfolio's discount order (deepest first) is the cheapest
way to spend it. With two (an existing plan and a new one of the other term, or SP3Y and
SP1Y), the first plan takes kinds the second would have bought at a better rate, and
another order can cost less. `cheaper_order` starts from the cheaper of the current
order and the rate-ratio order (`rate_ratio_order`), moves one kind at a time to another
position while the module's price of the plan drops, polishes the levels in the order
found, and repeats while either helps. Every figure stays the module's own price: the
order is part of the plan (`Recommendation.kinds`).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import replace

import numpy as np

from velmar.portfolio import Ints, Levels, Portfolio, Pricer
from velmar.records import Floats

#: Rounds of reordering and polishing at most.
MAX_ROUNDS = 3

Polish = Callable[[Portfolio, Pricer, Levels, int], Levels]


def spends_two_rate_sets(portfolio: Portfolio) -> bool:
    """True when savings plans of two different rate vectors take part (order matters)."""
    rate_sets = _rate_sets(portfolio)
    return any(not np.array_equal(rates, rate_sets[0]) for rates in rate_sets[1:])


def _rate_sets(portfolio: Portfolio) -> list[Floats]:
    """Rates of the savings plans that take part, in the order the module spends them."""
    rate_sets = [rates for rates, money in zip(portfolio.existing_rates, portfolio.existing_money.T) if money.any()]
    return rate_sets + [portfolio.rates[m] for m in portfolio.savings_models]


def reordered(portfolio: Portfolio, order: Ints) -> Portfolio:
    """`portfolio` with its kind columns taken in `order` (positions of its own columns)."""
    return replace(
        portfolio,
        kinds=tuple(portfolio.kinds[k] for k in order),
        usage=np.ascontiguousarray(portfolio.usage[:, order]),
        on_demand=portfolio.on_demand[order],
        rates={m: r[order] for m, r in portfolio.rates.items()},
        existing_rates=np.ascontiguousarray(portfolio.existing_rates[:, order]),
    )


def reordered_levels(portfolio: Portfolio, levels: Levels, order: Ints) -> Levels:
    """`levels` of `portfolio` for its columns taken in `order`."""
    moved = np.array(levels, dtype=np.float64)
    for model in portfolio.reserved_models:
        entries = portfolio.slot(model)
        moved[entries] = levels[entries][order]
    return moved


def rate_ratio_order(portfolio: Portfolio) -> Ints:
    """Kind columns by the ratio of the first rate set spent to the second, smallest first.

    A plan spent first on the kinds where its rates are lowest beside the other set's
    leaves to the second plan the kinds where the second is relatively cheaper: how the
    LP bound splits the two (the identity when only one rate set takes part).
    """
    rate_sets = _rate_sets(portfolio)
    other = next((rates for rates in rate_sets[1:] if not np.array_equal(rates, rate_sets[0])), None)
    if other is None:
        return np.arange(len(portfolio.kinds))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(other > 0, rate_sets[0] / np.where(other > 0, other, 1.0), np.inf)
    return np.argsort(ratio, kind="stable")


def cheaper_order(
    portfolio: Portfolio, levels: Levels, cost: float, polish: Polish, budget: int, target: float
) -> tuple[Portfolio, Levels, float]:
    """The portfolio in the cheapest column order found for `levels` (cost `cost`), polished.

    Spends at most about `budget` module pricings; stops early once the cost is at most
    `target` (a proven bound).
    """
    spent = 0
    for _ in range(MAX_ROUNDS):
        if spent >= budget or cost <= target:
            break
        order, moved_cost, pricings = _best_moves(Pricer(portfolio), levels, cost, budget - spent)
        spent += pricings
        if moved_cost >= cost:
            break
        levels = reordered_levels(portfolio, levels, order)
        portfolio = reordered(portfolio, order)
        pricer = Pricer(portfolio)
        levels = polish(portfolio, pricer, levels, max(budget - spent, 0))
        cost = pricer.cost(levels)
        spent += pricer.pricings
    return portfolio, levels, cost


def _best_moves(pricer: Pricer, levels: Levels, cost: float, budget: int) -> tuple[Ints, float, int]:
    """From the cheaper of the current and the rate-ratio order, moves of one kind to another
    position, each kept while it lowers the module's price.

    The targets of one kind are tried in turn, so consecutive trial orders differ in two
    columns and the pricer copies just those.
    """
    portfolio = pricer.portfolio
    order = np.arange(len(portfolio.kinds))

    def price(trial: Ints) -> float:
        pricer.reorder(trial)
        return pricer.cost(reordered_levels(portfolio, levels, trial))

    promising = rate_ratio_order(portfolio)
    if budget > 0 and not np.array_equal(promising, order):
        promising_cost = price(promising)
        if promising_cost < cost:
            order, cost = promising, promising_cost
    improved = True
    while improved and pricer.pricings < budget:
        improved = False
        for source in range(order.size):
            for target in range(order.size):
                if source == target or pricer.pricings >= budget:
                    continue
                trial = np.insert(np.delete(order, source), target, order[source])
                trial_cost = price(trial)
                if trial_cost < cost:
                    order, cost, improved = trial, trial_cost, True
    return order, cost, pricer.pricings
