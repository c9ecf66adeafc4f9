"""The cost passes written in numba: the peer that the module's passes are measured against.

The same algorithm as the module: periods in blocks of BLOCK, each block staged kind-major
into a reused workspace, then reservation, savings plans (each period's money spent on the
kinds in column order, NaN-aware minimum) and on demand, serially on one thread. The sums
run per period lane and are added up once at the end. Without numba, AVAILABLE is False and
the scripts skip the peer.
"""

from collections.abc import Sequence

import numpy as np

try:
    import numba
except ModuleNotFoundError as missing:  # numba is optional
    if missing.name != "numba":
        raise
    numba = None

AVAILABLE = numba is not None
MISSING = "numba not installed: peer skipped"
BLOCK = 512
TILE = 8  # periods of one cache line of a staged kind
PAD = 8  # row stride BLOCK + PAD keeps the staged kinds of one period out of one cache set
YEAR_DAYS = 365
RESERVED, SAVINGS_PLAN, ON_DEMAND = 0, 1, 2


def _compiled(function):
    return numba.njit(cache=True, error_model="numpy", fastmath=False)(function) if AVAILABLE else None


def _spend(column, budget, length, rate):
    """One kind's share of a savings plan's money of each period."""
    for t in range(length):
        usage = column[t]
        quota = budget[t] / rate
        covered = quota if quota < usage or usage != usage else usage
        budget[t] -= covered * rate
        column[t] = usage - covered


def _spend_and_charge(column, budget, lanes, length, rate, on_demand_price):
    """`_spend`, then what stays uncovered at the on-demand price (the last commitment)."""
    for t in range(length):
        usage = column[t]
        quota = budget[t] / rate
        covered = quota if quota < usage or usage != usage else usage
        budget[t] -= covered * rate
        lanes[t] += (usage - covered) * on_demand_price


_spend_compiled = _compiled(_spend)
_spend_and_charge_compiled = _compiled(_spend_and_charge)


def _single_plan_cost(usage, prices, levels, staged, budget, lanes):
    periods, kinds = usage.shape
    reserved = levels[1:]
    reserved_cost = 0.0
    for k in range(kinds):
        reserved_cost += reserved[k] * prices[2, k]
    lanes[:] = 0.0
    for start in range(0, periods, BLOCK):
        length = min(BLOCK, periods - start)
        # Staged kind-major, the reservation applied on the way: whole tiles of TILE
        # periods (a constant trip count the compiler unrolls), then the rest row by row.
        whole = length - length % TILE
        for first in range(0, whole, TILE):
            for k in range(kinds):
                units = reserved[k]
                for t in range(TILE):
                    left = usage[start + first + t, k] - units
                    staged[k, first + t] = 0.0 if left < 0.0 else left
        for t in range(whole, length):
            usage_row = usage[start + t]
            for k in range(kinds):
                left = usage_row[k] - reserved[k]
                staged[k, t] = 0.0 if left < 0.0 else left
        budget[:length] = levels[0]
        for k in range(kinds):
            _spend_and_charge_compiled(staged[k], budget, lanes, length, prices[1, k], prices[0, k])
    on_demand_cost = 0.0
    for t in range(BLOCK):
        on_demand_cost += lanes[t]
    return (periods * reserved_cost + periods * levels[0]) + on_demand_cost


_single_plan_cost_compiled = _compiled(_single_plan_cost)


def _portfolio_cost(
    usage, prices, levels, kind, row, column, duration, scale, staged, budgets, reserved, charges, lanes
):
    periods, kinds = usage.shape
    models = kind.size
    lanes[:] = 0.0
    charges[:] = 0.0
    on_demand = -1
    for m in range(models):
        if kind[m] == ON_DEMAND and on_demand < 0:
            on_demand = row[m]
    for start in range(0, periods, BLOCK):
        length = min(BLOCK, periods - start)
        # Row by row: the reservations in force, then the block staged kind-major, and
        # each savings plan's money of the period.
        for t in range(length):
            period = start + t
            usage_row = usage[period]
            for k in range(kinds):
                reserved[k] = usage_row[k]
            for m in range(models):
                if kind[m] == RESERVED and period < duration[m]:
                    units_row = levels[period][column[m] : column[m] + kinds]
                    price, factor = prices[row[m]], scale[m]
                    for k in range(kinds):
                        units = units_row[k] * factor
                        charges[k] += units * price[k]
                        left = reserved[k] - units
                        reserved[k] = 0.0 if left < 0.0 else left
                elif kind[m] == SAVINGS_PLAN:
                    money = levels[period, column[m]] if period < duration[m] else 0.0
                    budgets[m, t] = money
                    lanes[t] += money
            for k in range(kinds):
                staged[k, t] = reserved[k]
        last_plan = -1  # the last savings plan in force also charges on demand
        for m in range(models):
            if kind[m] == SAVINGS_PLAN and start < duration[m]:
                last_plan = m
        for m in range(models):
            if kind[m] != SAVINGS_PLAN or start >= duration[m]:
                continue
            budget, price = budgets[m], prices[row[m]]
            for k in range(kinds):
                if m == last_plan and on_demand >= 0:
                    _spend_and_charge_compiled(staged[k], budget, lanes, length, price[k], prices[on_demand, k])
                else:
                    _spend_compiled(staged[k], budget, length, price[k])
        if last_plan < 0 and on_demand >= 0:
            for k in range(kinds):
                column_k, price_k = staged[k], prices[on_demand, k]
                for t in range(length):
                    lanes[t] += column_k[t] * price_k
    reserved_cost = 0.0
    for k in range(kinds):
        reserved_cost += charges[k]
    on_demand_and_plans = 0.0
    for t in range(BLOCK):
        on_demand_and_plans += lanes[t]
    return reserved_cost + on_demand_and_plans


_portfolio_cost_compiled = _compiled(_portfolio_cost)


class SinglePlan:
    """`cost` of one plan (savings plan per period, then reserved units per kind) over
    T x n usage, with prices rows on demand, savings-plan rate, reserved price."""

    def __init__(self, kinds: int) -> None:
        # staged usage, money left per period, sums per period lane
        self._workspace = (np.zeros((kinds, BLOCK + PAD)), np.zeros(BLOCK), np.zeros(BLOCK))

    def cost(self, usage: np.ndarray, prices: np.ndarray, levels: np.ndarray) -> float:
        return float(_single_plan_cost_compiled(usage, prices, levels, *self._workspace))


class Portfolio:
    """The portfolio cost of `final_cost_coverage_underutilization(..., "cost")`: models
    "RI1Y", "RI3Y", "SP1Y", "SP3Y", "OD" with one price row each in list order, levels
    T x columns (n per reservation, 1 per savings plan, in list order), expiry after one
    or three years."""

    def __init__(self, names: Sequence[str], kinds: int, daily: bool) -> None:
        per_day = 1 if daily else 24
        order = {"RI3Y": 0, "RI1Y": 1, "SP3Y": 2, "SP1Y": 3, "OD": 4}
        table, first = [], 0
        for position, name in enumerate(names):
            kind = {"RI": RESERVED, "SP": SAVINGS_PLAN, "OD": ON_DEMAND}[name[:2]]
            years = 3 if name.endswith("3Y") else 1
            table.append((order[name], position, kind, first, years * YEAR_DAYS * per_day))
            first += kinds if kind == RESERVED else 1 if kind == SAVINGS_PLAN else 0
        table.sort(key=lambda model: model[0])  # stable: equal models keep the caller's order
        _, row, kind, column, duration = (np.array(field, dtype=np.int64) for field in zip(*table))
        self._models = (kind, row, column, duration, np.where(kind == RESERVED, 24.0 if daily else 1.0, 1.0))
        # staged usage, money per savings plan and period, a row's usage left, reserved charges per
        # kind, sums per period lane
        self._workspace = (
            np.zeros((kinds, BLOCK + PAD)),
            np.zeros((len(table), BLOCK)),
            np.zeros(kinds),
            np.zeros(kinds),
            np.zeros(BLOCK),
        )

    def cost(self, usage: np.ndarray, prices: np.ndarray, levels: np.ndarray) -> float:
        return float(_portfolio_cost_compiled(usage, prices, levels, *self._models, *self._workspace))
