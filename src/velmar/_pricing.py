"""The module's pricing of a portfolio given as plain records.

Translates usage, prices, new commitments and existing savings plans into the
per-model layout of `final_cost_coverage_underutilization` and asks the module for
its figures. Existing savings plans are priced as savings plans whose per-period
column already holds their money (zero outside their dates); they take the place
of the already-paid plans, before any new savings plan in the module's order.
Every column follows `kinds`, the order the plan was searched in.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import velmar_backend

from velmar.records import (
    ExistingSavingsPlan,
    Floats,
    ModelPlan,
    PriceTable,
    UsageHistory,
)

RESERVED_MODELS = ("RI3Y", "RI1Y")
SAVINGS_PLAN_MODELS = ("SP3Y", "SP1Y")
#: Terms in periods of one hour: a commitment stops covering after its term.
TERM_HOURS = {"1Y": 365 * 24, "3Y": 1095 * 24}


@dataclass(frozen=True)
class Portfolio:
    """The arguments of one `final_cost_coverage_underutilization` call."""

    usage: Floats
    prices: Floats
    levels: Floats
    models: tuple[str, ...]
    period: str

    def figure(self, name: str) -> float:
        """The module's "cost", "coverage" or "underutilization" of the portfolio."""
        return float(
            velmar_backend.final_cost_coverage_underutilization(
                self.usage, self.prices, self.levels, list(self.models), self.period, name
            )
        )


def usage_in_order(history: UsageHistory, kinds: Sequence[str]) -> Floats:
    """The usage matrix with its columns in the order of `kinds`."""
    column = {kind: index for index, kind in enumerate(history.kinds)}
    return np.ascontiguousarray(history.usage[:, [column[kind] for kind in kinds]], dtype=np.float64)


def rates_in_order(prices: PriceTable, model: str, kinds: Sequence[str]) -> Floats:
    """Per-kind rates of one model ("OD" or a commitment model) in the order of `kinds`."""
    column = {kind: index for index, kind in enumerate(prices.kinds)}
    rates = prices.on_demand if model == "OD" else prices.commitment[model]
    return np.asarray([rates[column[kind]] for kind in kinds], dtype=np.float64)


def existing_rate_model(plan: ExistingSavingsPlan, prices: PriceTable) -> str:
    """The savings-plan model whose rates an existing plan spends at."""
    preferred = f"SP{plan.term}"
    for model in (preferred, *SAVINGS_PLAN_MODELS):
        if model in prices.commitment:
            return model
    return "OD"


def existing_money(history: UsageHistory, existing: Sequence[ExistingSavingsPlan]) -> Floats:
    """Money per period of each existing plan, shape (T, len(existing))."""
    if not existing:
        return np.zeros((len(history.timestamps), 0))
    from velmar.data import existing_columns

    return np.asarray(existing_columns(history, existing), dtype=np.float64)


def portfolio(
    history: UsageHistory,
    prices: PriceTable,
    plans: Sequence[ModelPlan],
    existing: Sequence[ExistingSavingsPlan] = (),
    kinds: Sequence[str] | None = None,
) -> Portfolio:
    """The module's call for `plans` plus `existing`, with on demand for the rest."""
    order = tuple(kinds) if kinds is not None else history.kinds
    periods = len(history.timestamps)
    models: list[str] = []
    rows: list[Floats] = []
    columns: list[Floats] = []
    for plan in sorted(plans, key=lambda p: module_rank(p.model)):
        if plan.model in RESERVED_MODELS:
            units = np.asarray([float(plan.reserved.get(kind, 0.0)) for kind in order])
            columns.append(np.broadcast_to(units, (periods, len(order))))
        else:
            columns.append(np.full((periods, 1), float(plan.amount_per_period)))
        models.append(plan.model)
        rows.append(rates_in_order(prices, plan.model, order))
    money = existing_money(history, existing)
    for index, old in enumerate(existing):
        # Named SP3Y so the module keeps the plan's own column for its whole history;
        # listed before any new savings plan, as an already-paid plan is served.
        position = next((i for i, m in enumerate(models) if m in SAVINGS_PLAN_MODELS), len(models))
        models.insert(position, "SP3Y")
        rows.insert(position, rates_in_order(prices, existing_rate_model(old, prices), order))
        columns.insert(position, money[:, index : index + 1])
    models.append("OD")
    rows.append(rates_in_order(prices, "OD", order))
    levels = np.hstack(columns) if columns else np.zeros((periods, 0))
    return Portfolio(
        usage=usage_in_order(history, order),
        prices=np.vstack(rows),
        levels=np.ascontiguousarray(levels, dtype=np.float64),
        models=tuple(models),
        period=history.period,
    )


def module_rank(model: str) -> int:
    """Position of a model in the module's serving order (on demand last)."""
    return (*RESERVED_MODELS, *SAVINGS_PLAN_MODELS, "OD").index(model)
