"""A proven lower bound on the expected cost (or its CVaR) of a purchase schedule over scenarios.

The LP cost model of `velmar.bound`, over S usage paths at once: for schedule levels x (every
tranche's level vector), a path's cost is charges(x) + its existing money + sum_t g_t(x), with
g_t the least on-demand cost of period t for the reserved units and savings-plan money in force
then (`period_costs.UncoveredCost.least_costs`, the paths stacked as periods of one matrix).
Every g_t is convex and piecewise linear in x, so the paths' costs are too, and so are their
mean and their CVaR (Rockafellar and Uryasev: min over eta of eta + E[(cost - eta)^+] / (1 - level)).

Kelley's method with in-out stabilisation, as in `velmar.bound`: the expected cost gets one
cut per block of periods, averaged over the paths (cuts average); the CVaR gets one epigraph
variable per path and group of blocks, and one row per path for (cost - eta)^+. Blocks are cut
at every tranche's start and expiry, so each block is wholly inside or outside every window.
The master's optimum (HiGHS) is a lower bound at every iteration; the loop ends when it meets
the best value evaluated (TOLERANCE relative) or after MAX_ITERATIONS (counted work).
"""

from __future__ import annotations

from dataclasses import replace

import highspy
import numpy as np

from velmar.bound import quiet_highs
from velmar.forecast.risk import tail_mean
from velmar.forecast.schedule import Schedule
from velmar.period_costs import UncoveredCost
from velmar.portfolio import RESERVED, Portfolio
from velmar.records import Floats

TOLERANCE = 1e-6
MAX_ITERATIONS = 300
#: Blocks of a path's periods (besides the cuts at the windows' edges).
BLOCKS = 32
#: Cuts of the CVaR per iteration, about (paths x groups of blocks); the expected cost has one per block.
CUTS = 128
STABILISATION = 0.5


class ForwardBound:
    """min over schedule levels of the paths' expected cost, or of its CVaR at `tail_level`."""

    def __init__(self, portfolio: Portfolio, paths: Floats, schedule: Schedule, tail_level: float | None) -> None:
        count, periods, kinds = paths.shape
        self.count, self.periods = count, periods
        self.portfolio, self.schedule, self.tail_level = portfolio, schedule, tail_level
        stacked = replace(
            portfolio,
            usage=np.ascontiguousarray(paths.reshape(count * periods, kinds)),
            existing_money=np.tile(portfolio.existing_money, (count, 1)),
        )
        self.cost = UncoveredCost(stacked)
        pools = len(self.cost.rates)
        money = np.zeros((periods, pools))
        for column, pool in enumerate(self.cost.existing_pools):
            money[:, pool] += portfolio.existing_money[:, column]
        self.existing_money = money
        self.existing_total = float(money.sum())
        self.in_force = schedule.in_force(portfolio)
        present = money > 0
        for index, model in enumerate(portfolio.models):
            if model not in RESERVED:
                pool = self._pool(model)
                present[:, pool] |= self.in_force[:, :, index].any(axis=1)
        self.present = np.tile(present, (count, 1))
        edges = {int(e) for e in np.linspace(0, periods, min(BLOCKS, periods) + 1).astype(int)}
        for tranche in range(len(schedule.starts)):
            for model in portfolio.models:
                edges.update(schedule.window(tranche, model))
        self.starts = np.array(sorted(e for e in edges if e < periods), dtype=np.intp)
        self.block_in_force = self.in_force[self.starts]
        self.level_count = portfolio.level_count
        self.size = len(schedule.starts) * self.level_count
        self.charges = self._charges()
        self.upper = self._upper(paths.max(axis=0))
        self._build_master()
        self.best_value = np.inf
        self.best_levels = np.zeros(self.size)

    def _pool(self, model: str) -> int:
        entry = self.portfolio.slot(model).start
        return next(pool for start, pool, _ in self.cost.savings if start == entry)

    def _columns(self, tranche: int, model: str) -> slice:
        entries = self.portfolio.slot(model)
        offset = tranche * self.level_count
        return slice(offset + entries.start, offset + entries.stop)

    def _charges(self) -> Floats:
        charges = np.zeros(self.size)
        hours = self.portfolio.hours
        for tranche in range(len(self.schedule.starts)):
            for model in self.portfolio.models:
                first, last = self.schedule.window(tranche, model)
                per_period = hours * self.portfolio.rates[model] if model in RESERVED else 1.0
                charges[self._columns(tranche, model)] = per_period * (last - first)
        return charges

    def _upper(self, peak: Floats) -> Floats:
        upper = np.zeros(self.size)
        for tranche in range(len(self.schedule.starts)):
            for model in self.portfolio.models:
                first, last = self.schedule.window(tranche, model)
                window = peak[first:last]
                if model in RESERVED:
                    upper[self._columns(tranche, model)] = window.max(axis=0, initial=0.0) / self.portfolio.hours
                else:
                    upper[self._columns(tranche, model)] = (window @ self.portfolio.rates[model]).max(initial=0.0)
        return upper

    def _build_master(self) -> None:
        """Columns: x, one theta per (group of paths, group of blocks); for the CVaR also eta and u (paths).

        The expected cost averages the paths of a group (weight: the group's share of the paths); the
        CVaR keeps every path apart and adds u_s >= cost_s - eta, u_s >= 0.
        """
        self.master = master = quiet_highs()
        none = np.array([], dtype=np.int32)
        inf = highspy.kHighsInf
        blocks, paths = self.starts.size, self.count
        tail = self.tail_level is not None
        path_groups = paths if tail else 1
        block_groups = max(1, min(blocks, CUTS // paths)) if tail else blocks
        self.averages = np.zeros((path_groups, paths))
        self.averages[np.arange(paths) * path_groups // paths, np.arange(paths)] = 1.0
        shares = self.averages.sum(axis=1)
        self.averages /= shares[:, None]
        self.sums = np.zeros((blocks, block_groups))
        self.sums[np.arange(blocks), np.arange(blocks) * block_groups // blocks] = 1.0
        self.thetas = path_groups * block_groups
        weights = np.zeros(self.thetas) if tail else np.repeat(shares / paths, block_groups)
        charges = np.zeros(self.size) if tail else self.charges
        master.addCols(self.size, charges, np.zeros(self.size), self.upper, 0, none, none, np.array([]))
        thetas = self.thetas
        master.addCols(thetas, weights, np.zeros(thetas), np.full(thetas, inf), 0, none, none, np.array([]))
        if self.tail_level is None:
            return
        weight = 1.0 / ((1.0 - self.tail_level) * paths)
        master.addCols(1, np.ones(1), np.full(1, -inf), np.full(1, inf), 0, none, none, np.array([]))
        master.addCols(paths, np.full(paths, weight), np.zeros(paths), np.full(paths, inf), 0, none, none, np.array([]))
        eta = self.size + thetas
        for path in range(paths):
            # u_s - charges . x - sum_c theta_sc + eta >= existing money
            theta = self.size + path * block_groups + np.arange(block_groups)
            index = np.r_[eta + 1 + path, np.arange(self.size), theta, eta].astype(np.int32)
            value = np.r_[1.0, -self.charges, -np.ones(block_groups), 1.0]
            keep = value != 0
            master.addRow(self.existing_total, inf, int(keep.sum()), index[keep], value[keep])

    def path_costs(self, levels: Floats) -> tuple[Floats, Floats, Floats]:
        """Each path's cost, and per path and block its g sum (S, B) and subgradient (S, B, size)."""
        schedule = self.schedule.starts
        hours = self.portfolio.hours
        capacity = np.zeros((self.periods, len(self.portfolio.kinds)))
        budgets = self.existing_money.copy()
        for tranche in range(len(schedule)):
            for model in self.portfolio.models:
                first, last = self.schedule.window(tranche, model)
                if model in RESERVED:
                    capacity[first:last] += hours * levels[self._columns(tranche, model)]
                else:
                    budgets[first:last, self._pool(model)] += levels[self._columns(tranche, model)][0]
        values, _, alpha, gamma = self.cost.least_costs(
            np.tile(capacity, (self.count, 1)), np.tile(budgets, (self.count, 1)), self.present
        )
        block_values = np.add.reduceat(values.reshape(self.count, self.periods), self.starts, axis=1)
        unit = np.add.reduceat(alpha.reshape(self.count, self.periods, -1), self.starts, axis=1)
        money = np.add.reduceat(gamma.reshape(self.count, self.periods, -1), self.starts, axis=1)
        gradients = np.zeros((self.count, self.starts.size, self.size))
        for tranche in range(len(schedule)):
            for index, model in enumerate(self.portfolio.models):
                inside = self.block_in_force[:, tranche, index][None, :, None]
                if model in RESERVED:
                    gradients[:, :, self._columns(tranche, model)] = -hours * unit * inside
                else:
                    gradients[:, :, self._columns(tranche, model)] = -money[:, :, self._pool(model), None] * inside
        costs = self.charges @ levels + self.existing_total + block_values.sum(axis=1)
        return costs, block_values, gradients

    def evaluate(self, levels: Floats) -> float:
        """The objective at `levels` (mean or CVaR of the paths' costs); adds its cuts to the master."""
        costs, block_values, gradients = self.path_costs(levels)
        value = float(costs.mean()) if self.tail_level is None else tail_mean(costs, self.tail_level)
        if value < self.best_value:
            self.best_value, self.best_levels = value, levels.copy()
        rows_values = (self.averages @ block_values @ self.sums).ravel()
        by_group = np.tensordot(self.averages, gradients, axes=1)
        rows_gradients = np.einsum("gbx,bc->gcx", by_group, self.sums).reshape(self.thetas, self.size)
        theta = self.size + np.arange(self.thetas)
        # theta - gradient . x >= value - gradient . levels
        count = theta.size
        matrix = np.hstack([-rows_gradients, np.zeros((count, self.thetas))])
        matrix[np.arange(count), theta] = 1.0
        row, column = np.nonzero(matrix)
        self.master.addRows(
            count,
            rows_values - rows_gradients @ levels,
            np.full(count, highspy.kHighsInf),
            row.size,
            np.searchsorted(row, np.arange(count)).astype(np.int32),
            column.astype(np.int32),
            matrix[row, column],
        )
        return value

    def solve(self) -> tuple[float, Floats, bool]:
        """(proven bound, best levels found (tranches, level_count), whether the bound meets them)."""
        bound = -np.inf
        query = np.zeros(self.size)
        offset = self.existing_total if self.tail_level is None else 0.0
        proven = False
        for _ in range(MAX_ITERATIONS):
            self.evaluate(query)
            if self._close(bound):
                proven = True
                break
            self.master.run()
            bound = max(bound, float(self.master.getInfo().objective_function_value) + offset)
            levels = np.clip(np.array(self.master.getSolution().col_value[: self.size]), 0.0, self.upper)
            if self._close(bound):
                proven = True
                break
            query = STABILISATION * self.best_levels + (1 - STABILISATION) * levels
        return bound, self.best_levels.reshape(len(self.schedule.starts), self.level_count), proven

    def _close(self, bound: float) -> bool:
        return self.best_value - bound <= TOLERANCE * max(abs(self.best_value), 1.0)
