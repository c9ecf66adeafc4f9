"""The whole-unit optimum of the LP cost model: a cutting-plane MILP master over unit steps.

F(L) = charges(L) + sum_t g_t(L) (see `period_costs`). For the maximising dual of a
period (gamma_t, and a_tk = a_k(gamma_t) for every kind) the dual function gives, for
every plan L,

    g_t(L) >= sum_k a_tk * (u_tk - C_tk(L))^+ - gamma_t . B_t(L),

exact at the plan it was taken at. Its reserved part is separable by kind and convex
in the units in force: with whole units s it is a sum of unit steps, so with one
variable z_i in [0, 1] per unit step ("the i-th unit of kind k in force", s = sum_i z_i)
the bound is linear in z and exact at every whole s (convexity makes the cheapest z of
a given sum the first s steps). A master over levels, z and one theta per block of
periods holds these cuts; because the steps follow the bound between whole units,
even its LP relaxation carries most of the integrality.

Rounds: the master's LP (cuts taken at whole-unit points near its optimum), then its
MILP (reserved units integer). Each MILP candidate's best amounts are found with its
units fixed (Kelley on the amounts), which makes the master exact there; the loop
ends when the master's optimum meets the best candidate's F (1e-9 relative), which
proves that candidate the whole-unit optimum, or at a work limit (rounds, branch-and-bound
nodes: counted, so every machine stops at the same point) or a time limit given by the
caller, with HiGHS's proven dual bound.
"""

from __future__ import annotations

import time

import highspy
import numpy as np
import numpy.typing as npt

from velmar.period_costs import Bools, PeriodCosts, UncoveredCost
from velmar.portfolio import Levels, Portfolio
from velmar.records import Floats

#: Relative distance between the master's optimum and the best candidate that proves it.
TOLERANCE = 1e-9
#: Blocks of consecutive periods with a cut of their own per evaluated plan.
BLOCKS = 16
#: LP rounds end when the master's value rises less than this (relative) over LP_PATIENCE rounds.
LP_STALL = 1e-6
LP_PATIENCE = 3
#: Work limits (they count, so the outcome is the same on every machine): LP rounds, the
#: rounds of one search of amounts, MILP rounds, and branch-and-bound nodes of one MILP.
MAX_ROUNDS = 200
MAX_MILP_ROUNDS = 20
MAX_NODES = 2000


class WholeUnitMaster:
    """min F over whole reserved units and real amounts (see the module doc)."""

    def __init__(
        self,
        portfolio: Portfolio,
        cost: UncoveredCost,
        charges: Floats,
        upper: Floats,
        fixed_zero: Bools,
        master: highspy.Highs,
    ) -> None:
        self.cost, self.charges = cost, charges
        self.hours = portfolio.hours
        self.size = portfolio.level_count
        self.whole = len(portfolio.reserved_models) * len(portfolio.kinds)
        periods, n = portfolio.usage.shape
        self.usage = portfolio.usage
        self.starts = np.unique(np.linspace(0, periods, min(BLOCKS, periods) + 1).astype(np.intp))[:-1]
        self.block_of = np.repeat(np.arange(self.starts.size), np.diff(np.r_[self.starts, periods]))
        units_upper = np.where(fixed_zero, 0.0, np.ceil(upper - 1e-9))
        units_upper[self.whole :] = upper[self.whole :]
        self.upper = units_upper
        # Reserved models in force per period: groups of periods with the same set.
        reserved = [(portfolio.slot(m), portfolio.active_periods(m)) for m in portfolio.reserved_models]
        cutoffs = sorted({active for _, active in reserved})
        self.groups: list[
            tuple[Bools, list[slice], npt.NDArray[np.intp], int]
        ] = []  # periods, slots, units per kind, first z column
        self.master = master
        none = np.array([], dtype=np.int32)
        inf = highspy.kHighsInf
        master.addCols(self.size, charges, np.zeros(self.size), self.upper, 0, none, none, np.array([]))
        blocks = self.starts.size
        master.addCols(blocks, np.ones(blocks), np.zeros(blocks), np.full(blocks, inf), 0, none, none, np.array([]))
        column = self.size + blocks
        low = 0
        for cutoff in cutoffs:
            in_force = [entries for entries, active in reserved if active >= cutoff]
            periods_mask = (np.arange(periods) >= low) & (np.arange(periods) < cutoff)
            low = cutoff
            peak = self.usage[periods_mask].max(axis=0, initial=0.0) / self.hours
            most = np.minimum(np.ceil(peak - 1e-9), sum(self.upper[e] for e in in_force)).astype(np.intp)
            self.groups.append((periods_mask, in_force, most, column))
            total = int(most.sum())
            master.addCols(total, np.zeros(total), np.zeros(total), np.ones(total), 0, none, none, np.array([]))
            # Units above the group's peak (useful in later periods) cover nothing here.
            master.addCols(n, np.zeros(n), np.zeros(n), np.full(n, inf), 0, none, none, np.array([]))
            # sum_i z_ki + idle_k = units of kind k in force
            offsets = column + np.r_[0, np.cumsum(most)]
            for k in range(n):
                z = np.r_[np.arange(offsets[k], offsets[k + 1]), column + total + k]
                r = np.array([e.start + k for e in in_force])
                master.addRow(
                    0.0, 0.0, z.size + r.size, np.r_[z, r].astype(np.int32), np.r_[np.ones(z.size), -np.ones(r.size)]
                )
            column += total + n
        self.savings = [(entry, pool, active) for entry, pool, active in cost.savings]
        self.best_value = np.inf
        self.best_levels = np.zeros(self.size)
        self.tolerance = TOLERANCE

    def evaluate(self, levels: Levels) -> float:
        """F(levels), exact; adds the separable cuts taken there."""
        periods = self.cost(levels)
        value = float(self.charges @ levels + periods.values.sum()) + self.cost.existing_total
        if value < self.best_value and self._whole(levels):
            self.best_value, self.best_levels = value, levels.copy()
        self._add_cuts(periods)
        return value

    def _whole(self, levels: Levels) -> bool:
        return bool(np.all(levels[: self.whole] == np.round(levels[: self.whole])))

    def _add_cuts(self, periods: PeriodCosts) -> None:
        blocks = self.starts.size
        alpha, gamma = periods.unit_values, periods.money_values
        per_period = (alpha * self.usage).sum(axis=1) - (gamma * self.cost.existing).sum(axis=1)
        constant = np.asarray(np.bincount(self.block_of, per_period, blocks), dtype=np.float64)
        columns: list[np.ndarray] = []
        values: list[np.ndarray] = []
        for entry, pool, active in self.savings:
            coefficient = np.bincount(self.block_of[:active], gamma[:active, pool], blocks)
            columns.append(np.full((blocks, 1), entry))
            values.append(coefficient[:, None])
        for periods_mask, _, most, first in self.groups:
            rows = np.flatnonzero(periods_mask)
            offset = first
            for k, steps in enumerate(most):
                if steps == 0:
                    continue
                share = self.usage[rows, k] / self.hours
                full = np.minimum(np.floor(share).astype(np.intp), steps + 1)
                part = share - np.floor(share)
                width = steps + 2
                whole_steps = np.bincount(self.block_of[rows] * width + full, alpha[rows, k], blocks * width).reshape(
                    blocks, width
                )
                # a unit step i (1-based) is fully used in periods with full >= i
                used = np.cumsum(whole_steps[:, ::-1], axis=1)[:, ::-1][:, 1 : steps + 1]
                partial = np.bincount(
                    self.block_of[rows] * width + np.minimum(full + 1, steps + 1), alpha[rows, k] * part, blocks * width
                )
                used = used + partial.reshape(blocks, width)[:, 1 : steps + 1]
                columns.append(np.broadcast_to(np.arange(offset, offset + steps), (blocks, steps)))
                values.append(self.hours * used)
                offset += steps
        theta = self.size + np.arange(blocks)
        index = np.hstack([theta[:, None], *columns]).astype(np.int32)
        coefficient = np.hstack([np.ones((blocks, 1)), *values])
        keep = coefficient != 0
        counts = keep.sum(axis=1)
        starts = np.r_[0, np.cumsum(counts)[:-1]].astype(np.int32)
        self.master.addRows(
            blocks,
            constant,
            np.full(blocks, highspy.kHighsInf),
            int(counts.sum()),
            starts,
            index[keep],
            coefficient[keep],
        )

    def _run(self) -> tuple[float, Levels]:
        self.master.run()
        value = float(self.master.getInfo().objective_function_value) + self.cost.existing_total
        return value, np.array(self.master.getSolution().col_value[: self.size])

    def _close(self, bound: float) -> bool:
        return self.best_value - bound <= self.tolerance * max(abs(self.best_value), 1.0)

    def _rounded(self, levels: Levels) -> Levels:
        whole = np.clip(levels, 0.0, self.upper)
        whole[: self.whole] = np.round(whole[: self.whole])
        return whole

    def solve(
        self, start: Levels, bound: float, time_limit: float | None, tolerance: float = TOLERANCE
    ) -> tuple[float, Levels, bool]:
        """(proven bound, best whole-unit levels, proven optimal) from the LP optimum `start`.

        Ends when the bound is within `tolerance` (relative) of the best plan's F, at the
        work limits, or at `time_limit` seconds when given; "proven optimal" means within
        TOLERANCE.
        """
        deadline = None if time_limit is None else time.monotonic() + time_limit
        self.tolerance = tolerance
        self.master.setOptionValue("mip_rel_gap", tolerance / 10)
        self.master.setOptionValue("mip_max_nodes", MAX_NODES)
        self.best_levels = self._rounded(start)  # its amounts start the first search
        self._best_amounts(self._rounded(start)[: self.whole], deadline)
        history: list[float] = []
        for _ in range(MAX_ROUNDS):  # LP rounds
            value, levels = self._run()
            bound = max(bound, value)
            history.append(value)
            if self._close(bound) or self._late(deadline):
                break
            if len(history) > LP_PATIENCE and history[-1] - history[-1 - LP_PATIENCE] <= LP_STALL * abs(history[-1]):
                break
            self.evaluate(self._rounded(levels))
            self.evaluate(self._rounded(0.5 * levels + 0.5 * self.best_levels))
        whole = np.arange(self.whole, dtype=np.int32)
        seen: set[bytes] = set()
        for _ in range(MAX_MILP_ROUNDS if not self._close(bound) else 0):
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                break
            self.master.changeColsIntegrality(self.whole, whole, np.full(self.whole, highspy.HighsVarType.kInteger))
            self.master.setSolution(self.size, np.arange(self.size, dtype=np.int32), self.best_levels)
            self.master.setOptionValue("time_limit", highspy.kHighsInf if left is None else left)
            self.master.run()
            self.master.setOptionValue("time_limit", highspy.kHighsInf)
            optimal = self.master.getModelStatus() == highspy.HighsModelStatus.kOptimal
            bound = max(bound, float(self.master.getInfo().mip_dual_bound) + self.cost.existing_total)
            units = np.rint(np.asarray(self.master.getSolution().col_value[: self.whole], dtype=np.float64))
            self.master.changeColsIntegrality(self.whole, whole, np.full(self.whole, highspy.HighsVarType.kContinuous))
            if not optimal or self._close(bound):
                break
            if units.tobytes() in seen:
                break  # the master is exact there: only HiGHS's own tolerance is left
            seen.add(units.tobytes())
            self._best_amounts(units, deadline)
        return bound, self.best_levels, self.best_value - bound <= TOLERANCE * max(abs(self.best_value), 1.0)

    def _late(self, deadline: float | None) -> bool:
        return deadline is not None and time.monotonic() > deadline

    def _best_amounts(self, units: Levels, deadline: float | None) -> float:
        """min over amounts of F with the reserved units fixed (Kelley, stabilised)."""
        index = np.arange(self.whole, dtype=np.int32)
        self.master.changeColsBounds(self.whole, index, units, units)
        best_value, best = np.inf, np.r_[units, self.best_levels[self.whole :]]
        query = best
        for _ in range(MAX_ROUNDS):
            value = self.evaluate(query)
            if value < best_value:
                best_value, best = value, query
            master_value, levels = self._run()
            if best_value - master_value <= TOLERANCE * max(abs(best_value), 1.0) or self._late(deadline):
                break
            query = np.r_[units, 0.5 * best[self.whole :] + 0.5 * levels[self.whole :]]
        self.master.changeColsBounds(self.whole, index, np.zeros(self.whole), self.upper[: self.whole])
        return best_value
