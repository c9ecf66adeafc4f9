"""What pays for each unit of usage under a priced plan, period by period.

Follows the module's rules for the same call that prices the plan: reservations
first (three-year, then one-year; units per hour times the hours of a period),
then each savings plan's money of the period, spent on the kinds in column order
at each kind's rate, and on demand for the rest. A commitment stops after its term.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from velmar._pricing import RESERVED_MODELS, TERM_HOURS, module_rank, portfolio
from velmar.records import (
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    Floats,
    ModelPlan,
    PriceTable,
    UsageHistory,
)


@dataclass(frozen=True)
class Allocation:
    """Usage (unit-hours per period, shape (T, n)) split by what pays for it."""

    kinds: tuple[str, ...]
    reserved: Floats
    savings_plan: Floats
    on_demand: Floats


def allocate(
    history: UsageHistory,
    prices: PriceTable,
    plans: Sequence[ModelPlan],
    existing: Sequence[ExistingSavingsPlan] = (),
    kinds: Sequence[str] | None = None,
) -> Allocation:
    """Split the usage of `history` between the commitments of `plans` and on demand."""
    call = portfolio(history, prices, plans, existing, kinds)
    hours = HOURS_PER_PERIOD[history.period]
    periods, width = call.usage.shape
    remaining = np.nan_to_num(call.usage.copy())
    reserved = np.zeros_like(remaining)
    committed = np.zeros_like(remaining)
    blocks = _column_blocks(call.models, width)
    for index in sorted(range(len(call.models)), key=lambda i: module_rank(call.models[i])):
        model, (first, last) = call.models[index], blocks[index]
        if model == "OD":
            continue
        in_force = np.arange(periods) < TERM_HOURS[model[-2:]] // hours
        if model in RESERVED_MODELS:
            units = call.levels[:, first:last] * hours * in_force[:, None]
            covered = np.minimum(remaining, units)
            reserved += covered
        else:
            budget = call.levels[:, first] * in_force
            covered = np.zeros_like(remaining)
            for kind in range(width):
                rate = call.prices[index, kind]
                quota = budget / rate if rate > 0 else np.full(periods, np.inf)
                covered[:, kind] = np.minimum(remaining[:, kind], quota)
                budget = budget - covered[:, kind] * rate
            committed += covered
        remaining -= covered
    return Allocation(
        kinds=tuple(kinds) if kinds is not None else history.kinds,
        reserved=reserved,
        savings_plan=committed,
        on_demand=remaining,
    )


def _column_blocks(models: Sequence[str], width: int) -> list[tuple[int, int]]:
    """Columns of the level matrix each model takes, in list order."""
    blocks, cursor = [], 0
    for model in models:
        size = width if model in RESERVED_MODELS else (0 if model == "OD" else 1)
        blocks.append((cursor, cursor + size))
        cursor += size
    return blocks
