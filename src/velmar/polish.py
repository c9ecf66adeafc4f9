"""Whole-unit plans near an LP optimum, improved with the module's own pricing as the judge.

Reserved units are whole numbers; savings-plan amounts stay money per period, rounded
to a tenth of a cent per hour (`AMOUNT_STEP_PER_HOUR`). Every candidate is priced by
`final_cost_coverage_underutilization` ("cost"), so a move is kept only when the
module says it is cheaper.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Protocol

import numpy as np
import numpy.typing as npt

from velmar.portfolio import Ints, Levels, Portfolio

#: Savings-plan amounts are whole multiples of this much money per hour.
AMOUNT_STEP_PER_HOUR = 0.001
#: Passes over all coordinates at most.
MAX_PASSES = 500
#: Pricings after which reserved levels stop moving (the amounts still settle once), on
#: histories up to PRICED_CELLS periods x kinds (a year of hourly rows x 16 kinds);
#: larger ones get proportionally fewer, at least MIN_PRICINGS (see `pricing_budget`).
MAX_PRICINGS = 6000
PRICED_CELLS = 8760 * 16
MIN_PRICINGS = 500


class Judge(Protocol):
    """What the polish asks of the module's pricing: a level vector's cost, and how many it has priced
    (`portfolio.Pricer` over one history; a forecast's pricer over several)."""

    portfolio: Portfolio

    @property
    def pricings(self) -> int: ...

    def cost(self, levels: Levels) -> float: ...


def whole_units(portfolio: Portfolio, levels: Levels, down: bool = False) -> Levels:
    """`levels` with reserved units rounded to the nearest whole unit, amounts to the step; `down`: to the
    whole unit and the step below (what a cap that holds still allows)."""
    rounded = np.maximum(np.asarray(levels, dtype=np.float64), 0.0)
    reserved = _reserved_mask(portfolio)
    step = AMOUNT_STEP_PER_HOUR * portfolio.hours
    if down:
        rounded[reserved] = np.floor(rounded[reserved] + 1e-9)
        rounded[~reserved] = np.floor(rounded[~reserved] / step) * step
    else:
        rounded[reserved] = np.round(rounded[reserved])
        rounded[~reserved] = np.round(rounded[~reserved] / step) * step
    return rounded


def polish(
    portfolio: Portfolio,
    pricer: Judge,
    start: Levels,
    progress: Callable[[], None] | None = None,
    target: float = 0.0,
    max_pricings: int | None = None,
) -> Levels:
    """Local search from `whole_units(start)` while the module's price drops.

    A pass tries one reserved unit more, then one less, on each kind of each reserved
    model; after each such move the savings-plan amounts settle to it (a unit reserved
    frees money of the plan; settling steps stop at 1/64 of that money), and the move
    is kept, and repeated, while the settled plan is cheaper. Then each amount moves on
    its own, in steps from a tenth of its size down to the amount step. Ends when a
    whole pass finds nothing cheaper, after `max_pricings` pricings (default
    `pricing_budget`), or once the cost is at most `target` (a proven bound: nothing
    cheaper is left to find).
    """
    budget = pricing_budget(portfolio) if max_pricings is None else max_pricings
    pricings_at_start = pricer.pricings
    levels = whole_units(portfolio, start)
    reserved = _reserved_mask(portfolio)
    amounts = np.flatnonzero(~reserved)
    smallest = AMOUNT_STEP_PER_HOUR * portfolio.hours
    cost = pricer.cost(levels)
    if cost <= target:
        return levels
    cost = _settle(pricer, levels, cost, amounts, smallest, None)
    entries = np.flatnonzero(reserved)

    def spent() -> bool:
        return pricer.pricings - pricings_at_start > budget or cost <= target

    for _ in range(MAX_PASSES):
        improved = False
        for index in _promising_first(pricer, levels, entries) if not spent() else entries[:0]:
            if spent():
                break
            unit_money = _unit_money(portfolio, int(index))
            finest = max(smallest, unit_money / 64)
            moved = False
            for direction in (1.0, -1.0):
                # Unit after unit in one direction while the settled plan gets cheaper.
                while levels[index] + direction >= 0 and not spent():
                    trial = levels.copy()
                    trial[index] += direction
                    trial_cost = _settle(pricer, trial, pricer.cost(trial), amounts, finest, unit_money)
                    if trial_cost >= cost:
                        break
                    levels, cost, moved = trial, trial_cost, True
                if moved:
                    improved = True
                    cost = _settle(pricer, levels, cost, amounts, smallest, finest)
                    break
        for index in amounts:
            for step in _amount_steps(levels[index], smallest):
                moved, cost = _line_move(pricer, levels, cost, int(index), step)
                improved |= moved
        if progress is not None:
            progress()
        if not improved or spent():
            break
    return levels


def _promising_first(pricer: Judge, levels: Levels, entries: Ints) -> Ints:
    """Reserved entries by the module's price with one unit more or less, cheapest first.

    Two pricings per entry buy an order in which a pass meets the moves that pay first,
    which matters when the budget ends the polish before every entry is tried.
    """
    best = np.empty(entries.size)
    for position, index in enumerate(entries):
        trials = []
        for direction in (1.0, -1.0):
            if levels[index] + direction >= 0:
                trial = levels.copy()
                trial[index] += direction
                trials.append(pricer.cost(trial))
        best[position] = min(trials)
    return entries[np.argsort(best, kind="stable")]


def polish_with_passes(
    portfolio: Portfolio,
    pricer: Judge,
    start: Levels,
    say: Callable[[str], None],
    target: float = 0.0,
    max_pricings: int | None = None,
) -> Levels:
    """`polish`, saying "polish pass N" at each pass."""
    passes = 0

    def tick() -> None:
        nonlocal passes
        passes += 1
        say(f"polish pass {passes}")

    return polish(portfolio, pricer, start, tick, target, max_pricings)


def pricing_budget(portfolio: Portfolio, copies: int = 1) -> int:
    """Pricings a polish may spend moving reserved levels (about 3 s of module calls), when each prices
    `copies` histories of the portfolio's size (paths, pieces)."""
    cells = copies * portfolio.periods * len(portfolio.kinds)
    return int(np.clip(MAX_PRICINGS * PRICED_CELLS / max(cells, 1), MIN_PRICINGS, MAX_PRICINGS))


def _settle(pricer: Judge, levels: Levels, cost: float, amounts: Ints, finest: float, first: float | None) -> float:
    """Moves each amount of `levels` (in place) by halving steps from `first` to `finest` while cheaper.

    Steps stay whole multiples of the amount step (`finest` is rounded to one).
    """
    smallest = AMOUNT_STEP_PER_HOUR * pricer.portfolio.hours
    finest = max(float(np.floor(finest / smallest)) * smallest, smallest)
    for index in amounts:
        step = first if first is not None else max(float(levels[index]) / 10, finest)
        step = max(float(np.floor(step / smallest)) * smallest, finest)
        while True:
            _, cost = _line_move(pricer, levels, cost, int(index), step)
            if step <= finest:
                break
            step = max(np.floor(step / 2 / smallest) * smallest, finest)
    return cost


def _unit_money(portfolio: Portfolio, index: int) -> float:
    """Savings-plan money per period that one reserved unit of entry `index` stands for."""
    n = len(portfolio.kinds)
    kind = index % n
    rates = [portfolio.rates[m][kind] for m in portfolio.savings_models] or [portfolio.on_demand[kind]]
    return float(portfolio.hours * max(rates))


def _line_move(pricer: Judge, levels: Levels, cost: float, index: int, step: float) -> tuple[bool, float]:
    """Moves `levels[index]` up or down by `step`, doubling while cheaper; in place."""
    for direction in (1.0, -1.0):
        moved = False
        size = step
        while levels[index] + direction * size >= 0:
            old = levels[index]
            levels[index] = old + direction * size
            trial_cost = pricer.cost(levels)
            if trial_cost >= cost:
                levels[index] = old
                break
            cost, moved = trial_cost, True
            size *= 2
        if moved:
            return True, cost
    return False, cost


def _amount_steps(amount: float, smallest: float) -> list[float]:
    steps = []
    step = max(np.floor(amount / 10 / smallest) * smallest, smallest)
    while step > smallest:
        steps.append(step)
        step = max(np.floor(step / 4 / smallest) * smallest, smallest)
    steps.append(smallest)
    return steps


def _reserved_mask(portfolio: Portfolio) -> npt.NDArray[np.bool_]:
    mask = np.zeros(portfolio.level_count, dtype=bool)
    for model in portfolio.reserved_models:
        mask[portfolio.slot(model)] = True
    return mask
