"""The least on-demand cost of each period for given levels, with exact subgradients.

For fixed new levels L the LP relaxation of the module's cost model splits into one
tiny LP per period t: reservations in force cover their own kind (capacity C_tk, paid
anyway, so they cover first: v_tk = max(u_tk - C_tk, 0) is left), then the savings-plan
money of the period (budget B_tj per pool of equal rates) buys units of any kind at
the pool's rate, and on demand pays the rest. Its value g_t(L) is convex and piecewise
linear in L. By LP duality

    g_t(L) = max over gamma >= 0 of  sum_k v_tk * a_k(gamma) - sum_j B_tj * gamma_j,
    a_k(gamma) = min(p_k, min_j s_jk * gamma_j),

where gamma_j is the value of one unit of money of pool j. Any gamma >= 0 gives a
valid lower bound (a cut, valid for every L: the reserved part enters as
a_k * (u_tk - C_tk(L)) on kinds short of capacity); the maximising gamma gives the
value and a subgradient. There are at most two pools with distinct rates (the one-
and the three-year rates; pools with equal rates merge, their money adds up).

  - one pool: a fractional knapsack; spending on kinds by p_k / s_k, highest first,
    gamma is the ratio of the kind where the money runs out (0 if it never does).
  - two pools: kinds ranked by s1_k / s2_k. For gamma2 / gamma1 between two
    neighbouring ranks the kinds split into those that pool 1 serves cheaper and the
    rest, and the problem separates into two knapsacks ("sector" i: the i best kinds
    of pool 1). The optimum is the separable optimum of the sector that contains it,
    or lies on a boundary ray (a kind shared by both pools). The sector's separable
    optimum moves monotonically with i, so a bisection over i finds the sector; the
    candidates (that sector, its two boundary rays, gamma = 0) are evaluated with
    the true dual function and the best is kept. The result is checked against a
    full LP in the tests.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from velmar.portfolio import TERM_DAYS, Portfolio
from velmar.records import Floats

Bools = npt.NDArray[np.bool_]
Ints = npt.NDArray[np.intp]


@dataclass(frozen=True)
class PeriodCosts:
    """Per-period least on-demand costs `values` (T,) and subgradients `gradients` (T, levels).

    `unit_values` (T, n) is a_k(gamma_t) of every kind and `money_values` (T, pools)
    is gamma_t: the maximising dual of each period, from which separable cuts are made.
    """

    values: Floats
    gradients: Floats
    unit_values: Floats
    money_values: Floats


class UncoveredCost:
    """g_t(L) for every period t of a portfolio, vectorised over periods."""

    def __init__(self, portfolio: Portfolio) -> None:
        self.usage = portfolio.usage
        self.on_demand = portfolio.on_demand
        self.hours = portfolio.hours
        periods = portfolio.periods
        self.level_count = portfolio.level_count
        self.reserved = [(portfolio.slot(m), portfolio.active_periods(m)) for m in portfolio.reserved_models]
        self.rates: list[Floats] = []
        self.savings = [
            (portfolio.slot(m).start, self._pool_of(portfolio.rates[m]), portfolio.active_periods(m))
            for m in portfolio.savings_models
        ]
        #: The pool of each existing plan (its column of `existing_money`).
        self.existing_pools = existing_pools = [self._pool_of(rates) for rates in portfolio.existing_rates]
        if len(self.rates) > 2:
            raise ValueError("more than two distinct savings-plan rate vectors")
        in_force = np.arange(periods) < min(TERM_DAYS["SP3Y"] * 24 // self.hours, periods)
        self.existing = np.zeros((periods, len(self.rates)))
        for index, pool in enumerate(existing_pools):
            self.existing[:, pool] += portfolio.existing_money[:, index] * in_force
        #: A pool takes part in period t when a new plan of its rates is in force or money is there.
        self.present = self.existing > 0
        for _, pool, active in self.savings:
            self.present[:active, pool] = True
        self.orders = [np.argsort(-_ratio(self.on_demand, s), kind="stable") for s in self.rates]
        self.two_pools = TwoPools(self.on_demand, *self.rates) if len(self.rates) == 2 else None
        # The periods of the last two-pool solve: the next solve of the same ones starts at its sectors.
        self._two_pool_rows: Ints | None = None

    def _pool_of(self, rates: Floats) -> int:
        for index, known in enumerate(self.rates):
            if np.array_equal(known, rates):
                return index
        self.rates.append(np.asarray(rates, dtype=np.float64))
        return len(self.rates) - 1

    @property
    def existing_total(self) -> float:
        """Money of the existing plans in force: charged whatever the levels."""
        return float(self.existing.sum())

    def capacity(self, levels: Floats) -> Floats:
        """(T, n) reserved units in force per period."""
        capacity = np.zeros_like(self.usage)
        for entries, active in self.reserved:
            capacity[:active] += self.hours * levels[entries]
        return capacity

    def budgets(self, levels: Floats) -> Floats:
        """(T, pools) savings-plan money per period and pool."""
        budgets = self.existing.copy()
        for entry, pool, active in self.savings:
            budgets[:active, pool] += levels[entry]
        return budgets

    def __call__(self, levels: Floats) -> PeriodCosts:
        values, unit_values, alpha, gamma = self.least_costs(self.capacity(levels), self.budgets(levels), self.present)
        gradients = np.zeros((self.usage.shape[0], self.level_count))
        for entries, active in self.reserved:
            gradients[:active, entries] = -self.hours * alpha[:active]
        for entry, pool, active in self.savings:
            gradients[:active, entry] = -gamma[:active, pool]
        return PeriodCosts(values, gradients, unit_values, gamma)

    def least_costs(self, capacity: Floats, budgets: Floats, present: Bools) -> tuple[Floats, Floats, Floats, Floats]:
        """g_t for reserved `capacity` (T, n) and savings-plan `budgets` (T, pools), the pools `present`
        (T, pools) in each period: the values (T,), a_k(gamma_t) (T, n), the same where usage is left
        over (0 elsewhere: the reserved units' subgradient) and gamma_t (T, pools)."""
        short = self.usage > capacity
        left = np.where(short, self.usage - capacity, 0.0)
        gamma = np.zeros_like(budgets)
        alpha = np.broadcast_to(self.on_demand, left.shape).copy()
        pools = present.sum(axis=1)
        for pool, rates in enumerate(self.rates):
            rows = np.flatnonzero((pools == 1) & present[:, pool])
            if rows.size:
                value = knapsack_value_of_money(
                    left[rows], rates, budgets[rows, pool], self.on_demand, self.orders[pool]
                )
                gamma[rows, pool] = value
                alpha[rows] = np.minimum(self.on_demand, rates * value[:, None])
        rows = np.flatnonzero(pools == 2)
        if rows.size and self.two_pools is not None:
            same_rows = self._two_pool_rows is not None and np.array_equal(rows, self._two_pool_rows)
            both = self.two_pools.solve(left[rows], budgets[rows], self.two_pools.sectors if same_rows else None)
            self._two_pool_rows = rows
            gamma[rows] = both
            alpha[rows] = self.two_pools.unit_values(both)
        unit_values = alpha
        alpha = np.where(short, alpha, 0.0)
        values = (alpha * left).sum(axis=1) - (gamma * budgets).sum(axis=1)
        return values, unit_values, alpha, gamma


def _ratio(on_demand: Floats, rates: Floats) -> Floats:
    """On-demand money saved per unit of savings-plan money, by kind."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(rates > 0, on_demand / np.where(rates > 0, rates, 1.0), np.inf)


def _first_over(cumulative: Floats, budget: Floats) -> tuple[Ints, Bools]:
    """Index of the first entry per row above the budget, and whether there is one."""
    over = cumulative > budget[:, None]
    return np.asarray(np.argmax(over, axis=1), dtype=np.intp), np.asarray(over.any(axis=1))


def knapsack_value_of_money(left: Floats, rates: Floats, budget: Floats, on_demand: Floats, order: Ints) -> Floats:
    """Value of one unit of a single pool's money per period (the knapsack's multiplier)."""
    cumulative = np.cumsum(left[:, order] * rates[order], axis=1)
    marginal, runs_out = _first_over(cumulative, budget)
    return np.where(runs_out, _ratio(on_demand, rates)[order][marginal], 0.0)


class TwoPools:
    """Values of money of two pools with distinct rates, per period (see the module doc)."""

    def __init__(self, on_demand: Floats, first: Floats, second: Floats) -> None:
        self.on_demand, self.first, self.second = on_demand, first, second
        with np.errstate(divide="ignore", invalid="ignore"):
            rank_key = np.where(second > 0, first / np.where(second > 0, second, 1.0), np.inf)
        by_rank = np.argsort(rank_key, kind="stable")
        self.rank_keys = rank_key[by_rank]
        self.keys = np.append(self.rank_keys, np.inf)
        #: The sector of each period at the last solve.
        self.sectors = np.zeros(0, dtype=np.intp)
        rank = np.empty(on_demand.size, dtype=np.intp)
        rank[by_rank] = np.arange(on_demand.size)
        self.order1 = np.argsort(-_ratio(on_demand, first), kind="stable")
        self.order2 = np.argsort(-_ratio(on_demand, second), kind="stable")
        self.rank1, self.rank2 = rank[self.order1], rank[self.order2]
        self.ratio1 = _ratio(on_demand, first)[self.order1]
        self.ratio2 = _ratio(on_demand, second)[self.order2]

    def unit_values(self, gamma: Floats) -> Floats:
        """a_k(gamma) per period and kind."""
        return np.asarray(np.minimum(self.on_demand, np.minimum(self.first * gamma[:, :1], self.second * gamma[:, 1:])))

    def dual(self, left: Floats, budgets: Floats, gamma: Floats) -> Floats:
        return np.asarray((left * self.unit_values(gamma)).sum(axis=1) - (budgets * gamma).sum(axis=1))

    def _sector(self, demand1: Floats, demand2: Floats, budgets: Floats, split: Ints) -> Floats:
        """Separable optimum when pool 1 serves the `split` best-ranked kinds, pool 2 the rest."""
        mine = self.rank1 < split[:, None]
        marginal1, out1 = _first_over(np.cumsum(np.where(mine, demand1, 0.0), axis=1), budgets[:, 0])
        theirs = self.rank2 >= split[:, None]
        marginal2, out2 = _first_over(np.cumsum(np.where(theirs, demand2, 0.0), axis=1), budgets[:, 1])
        return np.asarray(
            np.c_[np.where(out1, self.ratio1[marginal1], 0.0), np.where(out2, self.ratio2[marginal2], 0.0)]
        )

    def _ray(self, left: Floats, budgets: Floats, slope: Floats) -> Floats:
        """Optimum on gamma2 = slope * gamma1: one knapsack at the better of both rates."""
        rates = np.minimum(self.first, slope[:, None] * self.second)
        ratio = _ratio(self.on_demand, rates)
        order = np.argsort(-ratio, axis=1, kind="stable")
        cumulative = np.cumsum(np.take_along_axis(left * rates, order, axis=1), axis=1)
        marginal, out = _first_over(cumulative, budgets[:, 0] + slope * budgets[:, 1])
        sorted_ratio = np.take_along_axis(ratio, order, axis=1)
        gamma1 = np.where(out, sorted_ratio[np.arange(left.shape[0]), marginal], 0.0)
        return np.asarray(np.c_[gamma1, slope * gamma1])

    def _fits(self, demand1: Floats, demand2: Floats, budgets: Floats, split: Ints) -> Bools:
        """Whether the optimum lies in sector `split` or an earlier one (monotone in `split`)."""
        return self._fits_with(demand1, demand2, budgets, split)[0]

    def _fits_with(self, demand1: Floats, demand2: Floats, budgets: Floats, split: Ints) -> tuple[Bools, Floats]:
        """`_fits`, and the sector's optimum it was judged on."""
        n = demand1.shape[1]
        gamma = self._sector(demand1, demand2, budgets, split)
        with np.errstate(invalid="ignore"):
            bound = np.where(gamma[:, 0] > 0, self.keys[np.minimum(split, n)] * gamma[:, 0], 0.0)
        # Pool 2 is no dearer than pool 1 on the first kind left to it: sector `split` or an earlier one.
        return np.asarray((split >= n) | (gamma[:, 1] <= bound)), gamma

    def _first_fitting(self, demand1: Floats, demand2: Floats, budgets: Floats, low: Ints, high: Ints) -> Ints:
        """The first sector in [low, high] that fits, per period (bisection)."""
        low, high = low.copy(), high.copy()
        while np.any(low < high):
            middle = (low + high) // 2
            fits = self._fits(demand1, demand2, budgets, middle)
            searching = low < high
            high = np.where(searching & fits, middle, high)
            low = np.where(searching & ~fits, middle + 1, low)
        return low

    def solve(self, left: Floats, budgets: Floats, guess: Ints | None = None) -> Floats:
        """(T, 2) maximising gamma per period; each period's sector is kept in `sectors`.

        `guess` (the `sectors` of an earlier solve of the same periods) is tried first: where
        that sector fits and the one before does not, it is the first that fits (the test is
        monotone), so those periods skip the bisection and the result is the same.
        """
        periods, n = left.shape
        demand1 = (left * self.first)[:, self.order1]
        demand2 = (left * self.second)[:, self.order2]
        low = np.zeros(periods, dtype=np.intp)
        high = np.full(periods, n, dtype=np.intp)
        at_guess = np.zeros((periods, 2))
        if guess is not None:
            fits, at_guess = self._fits_with(demand1, demand2, budgets, guess)
            # The sector before the guess matters only where the guess fits (every step is row by row).
            first = guess == 0
            before = np.flatnonzero(fits & ~first)
            first[before] = ~self._fits(demand1[before], demand2[before], budgets[before], guess[before] - 1)
            low = np.where(fits, np.where(first, guess, 0), guess + 1)
            high = np.where(fits, np.where(first, guess, guess - 1), n)
        searching = np.flatnonzero(low < high)
        if searching.size:
            low[searching] = self._first_fitting(
                demand1[searching], demand2[searching], budgets[searching], low[searching], high[searching]
            )
        self.sectors = low
        # The optimum of the sector found, taken from the guess's where it is the guess.
        at_low = at_guess
        moved = np.arange(periods) if guess is None else np.flatnonzero(low != guess)
        at_low[moved] = self._sector(demand1[moved], demand2[moved], budgets[moved], low[moved])
        candidates = [np.zeros((periods, 2)), at_low]
        for edge in (low - 1, low):
            inside = (edge >= 0) & (edge < n)
            slope = self.rank_keys[np.clip(edge, 0, n - 1)]
            slope = np.where(np.isfinite(slope), slope, 0.0)
            candidates.append(np.where(inside[:, None], self._ray(left, budgets, slope), 0.0))
        best = np.zeros((periods, 2))
        best_value = np.full(periods, -np.inf)
        for gamma in candidates:
            value = self.dual(left, budgets, gamma)
            better = value > best_value
            best_value = np.where(better, value, best_value)
            best[better] = gamma[better]
        return best
