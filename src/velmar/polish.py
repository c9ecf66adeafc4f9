"""Whole-unit plans near an LP optimum, improved with the module's own pricing as the judge.

Reserved units are whole numbers; savings-plan amounts stay money per period, rounded
to a tenth of a cent per hour (`AMOUNT_STEP_PER_HOUR`). Every candidate is priced by
`final_cost_coverage_underutilization` ("cost"), so a move is kept only when the
module says it is cheaper.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from velmar.portfolio import Levels, Portfolio, Pricer

#: Savings-plan amounts are whole multiples of this much money per hour.
AMOUNT_STEP_PER_HOUR = 0.001
#: Passes over all coordinates at most (each pass prices about four plans per level).
MAX_PASSES = 500


def whole_units(portfolio: Portfolio, levels: Levels) -> Levels:
    """`levels` with reserved units rounded to the nearest whole unit, amounts to the step."""
    rounded = np.maximum(np.asarray(levels, dtype=np.float64), 0.0)
    reserved = _reserved_mask(portfolio)
    rounded[reserved] = np.round(rounded[reserved])
    step = AMOUNT_STEP_PER_HOUR * portfolio.hours
    rounded[~reserved] = np.round(rounded[~reserved] / step) * step
    return rounded


def polish(portfolio: Portfolio, pricer: Pricer, start: Levels, progress: Callable[[], None] | None = None) -> Levels:
    """Coordinate descent from `whole_units(start)`: each level moves while the module's price drops.

    A reserved level tries one unit up and down; a savings-plan amount tries steps from
    a tenth of its size down to the amount step. A move that pays is repeated with a
    doubled step until it stops paying. Ends when a whole pass finds nothing cheaper.
    """
    levels = whole_units(portfolio, start)
    cost = pricer.cost(levels)
    reserved = _reserved_mask(portfolio)
    amount_step = AMOUNT_STEP_PER_HOUR * portfolio.hours
    for _ in range(MAX_PASSES):
        improved = False
        for index in range(levels.size):
            if reserved[index]:
                steps = [1.0]
            else:
                steps = _amount_steps(levels[index], amount_step)
            for step in steps:
                moved, cost = _line_move(pricer, levels, cost, index, step)
                improved |= moved
        if progress is not None:
            progress()
        if not improved:
            break
    return levels


def _line_move(pricer: Pricer, levels: Levels, cost: float, index: int, step: float) -> tuple[bool, float]:
    """Moves `levels[index]` up or down by `step`, doubling while cheaper; in place."""
    for direction in (1.0, -1.0):
        moved = False
        size = step
        while True:
            trial = levels[index] + direction * size
            if trial < 0:
                break
            old = levels[index]
            levels[index] = trial
            trial_cost = pricer.cost(levels)
            if trial_cost < cost:
                cost, moved = trial_cost, True
                size *= 2
            else:
                levels[index] = old
                break
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

