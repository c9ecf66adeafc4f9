"""The cost model written plainly, cell by cell, for the tests to check the module against.

A portfolio is a list of pricing models applied in their sorted order: reservations take
units off the uncovered usage, savings plans spend a budget per period on it kind by kind
in column order, on demand pays for what is left. A single plan is the portfolio of one
reservation, one savings plan and on demand whose commitments never expire.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

NAN, INF = math.nan, math.inf

# Sort keys of the model names; the sort is stable, so repeated names keep the caller's order.
ORDER = {"RI3Y": 1, "RI1Y": 2, "SP3Y": 4, "SP1Y": 5, "OD": 6}


def divide(a: float, b: float) -> float:
    """IEEE division: Python raises where the module gives an infinity or a NaN."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def smaller(a: float, b: float) -> float:
    """The smaller of two numbers; where one is NaN, the other."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b < a else a


@dataclass(frozen=True)
class Figures:
    cost: float
    covered: float  # covered usage at on-demand prices plus unspent savings-plan money
    value: float  # the whole usage at on-demand prices (1.0 without an on-demand model)
    idle: float  # under-utilisation: reserved units above usage at their price, unspent money

    @property
    def coverage(self) -> float:
        return divide(self.covered, self.value)


@dataclass(frozen=True)
class Model:
    kind: str  # "RI", "SP" or "OD"
    prices: list[float]  # one per kind
    levels: list[list[float]]  # per period: RI n units, SP its budget, OD nothing
    duration: int | None  # periods in force; None: never expires


def portfolio(usage: np.ndarray, prices: np.ndarray, levels: np.ndarray, names: Sequence[str],
              daily: bool) -> Figures:
    """`final_cost_coverage_underutilization`'s portfolio: price row i and the next column
    block of `levels` (n columns per RI model, one per SP model) go to names[i]; every
    commitment starts at period 0 and lasts 365 / 1095 days or 8760 / 26280 hours."""
    n = usage.shape[1]
    rows, table = prices.tolist(), levels.tolist()
    listed, c = [], 0
    for i, name in enumerate(names):
        years = 3 if name.endswith("3Y") else 1
        duration = 365 * years * (1 if daily else 24)
        width = n if name.startswith("RI") else 1 if name.startswith("SP") else 0
        lv = [row[c : c + width] for row in table]
        c += width
        listed.append((ORDER[name], Model(name[:2], rows[i][:n], lv, duration)))
    listed.sort(key=lambda m: m[0])
    return figures(usage.tolist(), [m for _, m in listed], 24.0 if daily else 1.0, n)


def single_plan(usage: Sequence[Sequence[float]] | np.ndarray, prices: Sequence[Sequence[float]] | np.ndarray,
                levels: Sequence[Sequence[float]] | Sequence[float] | np.ndarray) -> Figures:
    """`cost` and `coverage`'s plan: levels column 0 is the savings-plan budget of each
    period, column 1 + k the reserved units of kind k (a vector: the same in every period);
    price rows: on demand, savings-plan rate, reserved price."""
    cells: list[list[float]] = np.asarray(usage, dtype=np.float64).tolist()
    rows = np.asarray(prices, dtype=np.float64).tolist()
    T, n = len(cells), len(rows[0])
    plan = np.asarray(levels, dtype=np.float64)
    if plan.ndim == 1 and plan.size in (1, n + 1):
        table = np.broadcast_to(plan, (T, n + 1)).tolist()
    else:
        table = plan.reshape(T, n + 1).tolist()
    models = [
        Model("RI", rows[2], [row[1:] for row in table], None),
        Model("SP", rows[1], [row[:1] for row in table], None),
        Model("OD", rows[0], [[] for _ in table], None),
    ]
    return figures(cells, models, 1.0, n)


def figures(usage: list[list[float]], models: list[Model], scale: float, n: int) -> Figures:
    """The three figures of sorted `models`; `scale` multiplies reserved units (24 on daily rows)."""
    T = len(usage)

    def in_force(model: Model, t: int) -> float:
        return 1.0 if model.duration is None or t < model.duration else 0.0

    def reservation(model: Model) -> list[list[float]]:
        lv = model.levels
        return [[(lv[t][k] + 0.0) * scale * in_force(model, t) for k in range(n)] for t in range(T)]

    def budget(model: Model) -> list[float]:
        return [(model.levels[t][0] + 0.0) * in_force(model, t) for t in range(T)]

    def spend(b: list[float], remaining: list[list[float]], price: list[float], covered: list[float]) -> None:
        for k in range(n):
            for t in range(T):
                units = smaller(remaining[t][k], divide(b[t], price[k]))
                remaining[t][k] -= units
                b[t] -= units * price[k]
                covered[k] += units

    def clamp(remaining: list[list[float]]) -> None:
        for row in remaining:
            for k in range(n):
                if row[k] < 0.0:
                    row[k] = 0.0

    # cost
    remaining = [row[:] for row in usage]
    paid = [0.0] * T
    for m in models:
        if m.kind == "RI":
            r = reservation(m)
            for t in range(T):
                paid[t] += sum(r[t][k] * m.prices[k] for k in range(n))
                for k in range(n):
                    remaining[t][k] -= r[t][k]
            clamp(remaining)
        elif m.kind == "SP":
            b = budget(m)
            for t in range(T):
                paid[t] += b[t]
            spend(b, remaining, m.prices, [0.0] * n)
        else:
            for t in range(T):
                for k in range(n):
                    remaining[t][k] *= m.prices[k]
                paid[t] += sum(remaining[t])
    cost = sum(paid, 0.0)

    # coverage
    remaining = [row[:] for row in usage]
    covered, unspent, value = [0.0] * n, 0.0, 1.0
    for m in models:
        if m.kind == "RI":
            r = reservation(m)
            for k in range(n):
                covered[k] += sum(r[t][k] for t in range(T))
            for t in range(T):
                for k in range(n):
                    remaining[t][k] -= r[t][k]
            clamp(remaining)
        elif m.kind == "SP":
            b = budget(m)
            spend(b, remaining, m.prices, covered)
            unspent += sum(b)
        else:
            value = sum((usage[t][k] * m.prices[k] for t in range(T) for k in range(n)), 0.0)
            covered = [covered[k] * m.prices[k] for k in range(n)]

    # under-utilisation
    remaining = [row[:] for row in usage]
    idle = 0.0
    for m in models:
        if m.kind == "RI":
            r = reservation(m)
            for t in range(T):
                for k in range(n):
                    remaining[t][k] -= r[t][k]
            for k in range(n):
                unused = 0.0
                for t in range(T):
                    x = -remaining[t][k]
                    unused += x if x > 0.0 else 0.0
                idle += m.prices[k] * unused
            clamp(remaining)
        elif m.kind == "SP":
            b = budget(m)
            spend(b, remaining, m.prices, [0.0] * n)
            idle += sum(b)
    return Figures(cost, unspent + sum(covered), value, idle)
