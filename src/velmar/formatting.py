"""Figures of a recommendation as the table and the report show them."""

from __future__ import annotations

import math
from collections.abc import Sequence

from velmar.records import HOURS_PER_PERIOD, ModelPlan, Recommendation


def commitment_rows(plan: ModelPlan, period: str) -> list[tuple[str, str]]:
    """(kind, commitment) lines of one model: reserved units per kind (by name), or the savings plan per hour."""
    if plan.model.startswith("RI"):
        return [(kind, f"{units:g} units/h") for kind, units in sorted(plan.reserved.items()) if units > 0] or [
            ("-", "none")
        ]
    amount = savings_plan_per_hour(plan, period)
    return [("all kinds", f"{amount:,.2f} /h" if amount > 0 else "none")]


def commitment_table_rows(plans: Sequence[ModelPlan], period: str) -> list[tuple[str, str, str, str]]:
    """(model, kind, commitment, break-even) lines, model and break-even on a model's first line only."""
    rows = []
    for plan in plans:
        bought = any(v > 0 for v in plan.reserved.values()) or plan.amount_per_period > 0
        for line, (kind, amount) in enumerate(commitment_rows(plan, period)):
            first = line == 0
            rows.append((plan.model if first else "", kind, amount,
                         (months(plan.break_even_months) if bought else "-") if first else ""))  # fmt: skip
    return rows


def summary_rows(rec: Recommendation) -> list[tuple[str, str]]:
    """The totals a person reads first, formatted."""
    return [
        ("Cost of the plan", money(rec.cost)),
        ("All on demand", money(rec.on_demand_cost)),
        ("Savings", f"{money(rec.savings)} ({share(rec.savings_rate)})"),
        ("Coverage", share(rec.coverage)),
        ("Unused commitment", money(rec.unused_commitment)),
        ("Proven lower bound", money(rec.lower_bound)),
        ("Gap to the bound", "-" if not math.isfinite(rec.gap_percent) else f"{rec.gap_percent:.2f}%"),
        (
            "Method",
            rec.method if rec.method == "given" else f"{rec.method} (module's search: {money(rec.search_cost)})",
        ),
    ]


def savings_plan_per_hour(plan: ModelPlan, period: str) -> float:
    return plan.amount_per_period / HOURS_PER_PERIOD[period]


def money(value: float) -> str:
    """Two decimals with thousands separators; "-" for a figure not computed (NaN)."""
    return f"{value:,.2f}" if math.isfinite(value) else "-"


def share(value: float) -> str:
    return f"{value:.1%}" if math.isfinite(value) else "-"


def months(value: float | None) -> str:
    return "never" if value is None or not math.isfinite(value) else f"{value:.1f} months"
