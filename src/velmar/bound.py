"""A proven lower bound on the module's price of any plan with the given models.

The bound is the LP relaxation of the module's cost model: reserved units (any real
number per kind) cover their own kind in the periods their term covers, savings-plan
money per period (existing plans fixed) buys any kind at its rate, on demand pays
the rest, and every period's usage is split the cheapest way. The module's own split
(reservations first, then each savings plan in column order) is one feasible split of
the same plan, so its price is never below the LP's, which is never below the bound.

How it is solved (exact, no period is dropped or merged): the cost is
F(L) = charges(L) + sum_t g_t(L), convex and piecewise linear in the few new levels L
(at most 2n + 2 of them). `period_costs.UncoveredCost` gives every g_t and a
subgradient in closed form, vectorised over periods. A cutting-plane method (Kelley,
with one cut per block of periods and in-out stabilisation) builds a model of F from
those cuts, and HiGHS solves the small master LP over L (cuts that stay slack for a
while are dropped: a master with fewer cuts is a looser model, still below F). The master's optimum is a
lower bound at every iteration (each cut lies below F); the method stops when it meets
the best F evaluated to 1e-9 relative, so the bound equals the full LP's optimum.
Models that another model dominates over the whole history (same periods in force,
rates no higher on any kind) are left out first: they change nothing in the optimum.

With `integer=True` reserved units are whole: `integer_master.WholeUnitMaster` takes
over from the LP optimum with separable cuts over unit steps, until the whole-unit
optimum is proven or until its work limits (or `time_limit`, when given), when its
proven dual bound is the bound (`proven_optimal` False).

HiGHS through `highspy` rather than SciPy's `linprog`: the master is built once and
grows by rows (warm-started dual simplex on each added block of cuts), MILPs take a
time limit and report their proven dual bound, and SciPy stays out of the dependencies.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace

import highspy
import numpy as np

from velmar.budget import UpfrontBudget
from velmar.integer_master import WholeUnitMaster
from velmar.period_costs import Bools, UncoveredCost
from velmar.portfolio import RESERVED, Levels, Portfolio, build_portfolio
from velmar.records import COMMITMENT_MODELS, ExistingSavingsPlan, Floats, PriceTable, UsageHistory

#: Relative distance between the master's optimum and the best F at which F's minimum is reached.
TOLERANCE = 1e-9
#: Blocks of consecutive periods that get a cut of their own per iteration.
BLOCKS = 128
#: Master solves a cut may stay slack before it is dropped (the master stays small).
MAX_IDLE_SOLVES = 10
#: Weight of the best point in the next query point (in-out stabilisation).
STABILISATION = 0.5
MAX_ITERATIONS = 5000


@dataclass(frozen=True)
class Bound:
    """A proven lower bound and the levels of its optimum (layout of Recommendation.levels)."""

    value: float
    levels: Floats
    proven_optimal: bool
    method: str


def lower_bound(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str] = COMMITMENT_MODELS,
    existing: Sequence[ExistingSavingsPlan] = (),
    integer: bool = False,
    time_limit: float | None = None,
) -> Bound:
    """The LP (or, with `integer`, whole-unit MILP) lower bound of planning `models`."""
    return portfolio_bound(build_portfolio(history, prices, models, existing), integer, time_limit)


def portfolio_bound(portfolio: Portfolio, integer: bool = False, time_limit: float | None = None) -> Bound:
    """The bound of an already translated portfolio."""
    lp, whole = portfolio_bounds(portfolio, time_limit if integer else 0.0)
    return whole if integer and portfolio.reserved_models else lp


def portfolio_bounds(
    portfolio: Portfolio,
    time_limit: float | None = None,
    tolerance: float = TOLERANCE,
    progress: Callable[[str], None] | None = None,
    budget: UpfrontBudget | None = None,
) -> tuple[Bound, Bound]:
    """The LP bound and the whole-unit bound (with the best whole-unit plan found).

    The whole-unit search ends once its bound is within `tolerance` (relative) of the
    best whole-unit plan's cost in the LP model, at its counted work limits, or after
    `time_limit` seconds when given (0: the LP bound stands in, method "lp"). Without reserved models both are the LP's.
    `progress` hears "whole-unit bound" when the LP is done and that search starts. A `budget` caps
    the upfront payments of both (one more row of each master; no model is then left out as dominated,
    since a cheaper rate may pay more upfront), and the whole-unit plan returned keeps to it.
    """
    if budget is None:
        reduced, fixed_zero = _without_dominated(portfolio)
    else:
        reduced, fixed_zero = portfolio, np.zeros(portfolio.level_count, dtype=bool)
    solver = _CuttingPlanes(reduced, fixed_zero, budget)
    value, levels, proven = solver.solve_lp()
    lp = Bound(value=value, levels=_full_levels(portfolio, reduced, levels), proven_optimal=proven, method="lp")
    if not reduced.reserved_models:
        return lp, lp
    if time_limit is not None and time_limit <= 0:
        return lp, replace(lp, proven_optimal=False)
    if progress is not None:
        progress("whole-unit bound")
    master = WholeUnitMaster(reduced, solver.cost, solver.charges, solver.upper, fixed_zero, quiet_highs())
    if budget is not None:
        _cap(master.master, budget)
        levels = budget.fitted(reduced, levels)
        levels[: master.whole] = np.floor(levels[: master.whole] + 1e-9)  # whole units within the cap
    value, levels, proven = master.solve(levels, value, time_limit, tolerance)
    if budget is not None and not budget.allows(levels):
        levels, proven = budget.fitted(reduced, levels), False
    return lp, Bound(value=value, levels=_full_levels(portfolio, reduced, levels), proven_optimal=proven, method="milp")


def _cap(master: highspy.Highs, budget: UpfrontBudget) -> None:
    """The row `upfront . levels <= budget` over a master's first (level) columns."""
    paid = np.flatnonzero(budget.per_level > 0).astype(np.int32)
    master.addRow(-highspy.kHighsInf, budget.amount, paid.size, paid, budget.per_level[paid])


def _full_levels(portfolio: Portfolio, reduced: Portfolio, levels: Levels) -> Levels:
    full = np.zeros(portfolio.level_count)
    for model in reduced.models:
        full[portfolio.slot(model)] = levels[reduced.slot(model)]
    return full


def _without_dominated(portfolio: Portfolio) -> tuple[Portfolio, Bools]:
    """Drops models whose three-year sibling is in force as long and costs no more.

    Returns the reduced portfolio and a mask of its level entries fixed at 0
    (one-year reserved units of kinds whose three-year reservation is no dearer).
    """
    models = list(portfolio.models)
    fixed: dict[str, Bools] = {}
    for long, short in (("RI3Y", "RI1Y"), ("SP3Y", "SP1Y")):
        if long not in models or short not in models:
            continue
        if portfolio.active_periods(short) < portfolio.periods:
            continue
        cheaper = portfolio.rates[long] <= portfolio.rates[short]
        if short in RESERVED and not cheaper.all():
            fixed[short] = cheaper
        elif cheaper.all():
            models.remove(short)
    reduced = replace(portfolio, models=tuple(models))
    mask = np.zeros(reduced.level_count, dtype=bool)
    for model, kinds in fixed.items():
        mask[reduced.slot(model)] = kinds
    return reduced, mask


def quiet_highs() -> highspy.Highs:
    """A silent HiGHS instance (its banner, printed once per process, kept off stdout)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        solver = highspy.Highs()  # type: ignore[no-untyped-call]
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    solver.silent()
    return solver


class _CuttingPlanes:
    """Kelley's method on F(L) with a HiGHS master: columns L, then one theta per block."""

    def __init__(self, portfolio: Portfolio, fixed_zero: Bools, budget: UpfrontBudget | None = None) -> None:
        self.portfolio = portfolio
        self.cost = UncoveredCost(portfolio)
        self.charges = _charges(portfolio)
        periods = portfolio.periods
        self.starts = np.unique(np.linspace(0, periods, min(BLOCKS, periods) + 1).astype(np.intp))[:-1]
        self.size = portfolio.level_count
        self.upper = upper = np.where(fixed_zero, 0.0, upper_levels(portfolio))
        blocks = self.starts.size
        self.master = quiet_highs()
        none = np.array([], dtype=np.int32)
        self.master.addCols(self.size, self.charges, np.zeros(self.size), upper, 0, none, none, np.array([]))
        self.master.addCols(
            blocks, np.ones(blocks), np.zeros(blocks), np.full(blocks, highspy.kHighsInf), 0, none, none, np.array([])
        )
        self.best_value = np.inf
        self.best_levels = np.zeros(self.size)
        #: Leading rows of the master that are never dropped (the cap on upfront payments).
        self.kept = 0
        if budget is not None:
            _cap(self.master, budget)
            self.kept = 1
        #: Master solves since each row of the master last bound its optimum.
        self.idle = np.zeros(self.kept, dtype=np.intp)

    def evaluate(self, levels: Levels) -> float:
        """F(L) (the existing plans' money included); adds the cuts found at `levels`."""
        periods = self.cost(levels)
        value = float(self.charges @ levels + periods.values.sum()) + self.cost.existing_total
        if value < self.best_value:
            self.best_value, self.best_levels = value, levels.copy()
        block_values = np.add.reduceat(periods.values, self.starts)
        block_gradients = np.add.reduceat(periods.gradients, self.starts, axis=0)
        # theta_b - gradient_b . L >= value_b - gradient_b . levels
        rows = np.hstack([-block_gradients, np.eye(self.starts.size)])
        row, column = np.nonzero(rows)
        starts = np.searchsorted(row, np.arange(self.starts.size)).astype(np.int32)
        self.master.addRows(
            self.starts.size,
            block_values - block_gradients @ levels,
            np.full(self.starts.size, highspy.kHighsInf),
            row.size,
            starts,
            column.astype(np.int32),
            rows[row, column],
        )
        self.idle = np.r_[self.idle, np.zeros(self.starts.size, dtype=np.intp)]
        return value

    def _solve_master(self) -> tuple[float, Levels]:
        """The master's optimum; then drops the cuts slack for MAX_IDLE_SOLVES solves.

        With fewer cuts the model is looser, so every optimum is still a lower bound on F.
        """
        self.master.run()
        value = float(self.master.getInfo().objective_function_value) + self.cost.existing_total
        solution = self.master.getSolution()
        levels = np.maximum(np.array(solution.col_value[: self.size]), 0.0)
        self.idle = np.where(np.array(solution.row_dual) != 0, 0, self.idle + 1)
        self.idle[: self.kept] = 0
        stale = np.flatnonzero(self.idle > MAX_IDLE_SOLVES)
        if stale.size:
            self.master.deleteRows(stale.size, stale.astype(np.int32))
            self.idle = np.delete(self.idle, stale)
        return value, levels

    def solve_lp(self) -> tuple[float, Levels, bool]:
        bound = -np.inf
        query = np.zeros(self.size)
        for _ in range(MAX_ITERATIONS):
            self.evaluate(query)
            if self._close(bound):
                return bound, self.best_levels, True
            value, levels = self._solve_master()
            bound = max(bound, value)
            if self._close(bound):
                return bound, self.best_levels, True
            query = STABILISATION * self.best_levels + (1 - STABILISATION) * levels
        return bound, self.best_levels, False

    def _close(self, bound: float, tolerance: float = TOLERANCE) -> bool:
        return self.best_value - bound <= tolerance * max(abs(self.best_value), 1.0)


def _charges(portfolio: Portfolio) -> Floats:
    """Money each unit of a level costs over the history (F's linear part)."""
    charges = np.zeros(portfolio.level_count)
    for model in portfolio.models:
        active = portfolio.active_periods(model)
        per_period = portfolio.hours * portfolio.rates[model] if model in RESERVED else 1.0
        charges[portfolio.slot(model)] = per_period * active
    return charges


def upper_levels(portfolio: Portfolio) -> Floats:
    """Levels beyond which a commitment only adds idle money (so the optimum is below)."""
    upper = np.zeros(portfolio.level_count)
    for model in portfolio.models:
        usage = portfolio.usage[: portfolio.active_periods(model)]
        if model in RESERVED:
            upper[portfolio.slot(model)] = usage.max(axis=0, initial=0.0) / portfolio.hours
        else:
            upper[portfolio.slot(model)] = (usage @ portfolio.rates[model]).max(initial=0.0)
    return upper
