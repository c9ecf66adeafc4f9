"""What a plan buys, as it is ordered and paid: each family's instances, the payment options, the cash-out.

Rows for the terminal and the HTML page and the JSON values, from a recommendation whose
`families` and `payment` the inputs filled in (`velmar.inputs.Inputs.annotate`).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from velmar.families import FAMILY_COVERAGE_NOTE
from velmar.payment import PAYMENT_NOTE, CashOut, cash_out
from velmar.records import FamilyPlan, PriceTable, Recommendation
from velmar.report import plots
from velmar.report.formatting import money, share
from velmar.report.page import html_figure, html_table, note

FAMILY_HEADERS = ("Family", "Model", "Normalised units", "Buy")
COVERAGE_HEADERS = ("Family", "Kind", "Factor", "Usage (unit-hours)", "Reserved covered", "Share")
PAYMENT_HEADERS = ("Model", "Option", "Kinds", "Upfront", "Flips below", "Flips above")
CASH_OUT_HEADERS = ("Months", "Upfront", "By the hour", "Each month")


def family_rows(families: tuple[FamilyPlan, ...]) -> list[tuple[str, ...]]:
    """(family, model, normalised units, whole instances) per family and reserved model."""
    rows: list[tuple[str, ...]] = []
    for family in families:
        for model, units in family.normalised_units.items():
            if units <= 0:
                continue
            bought = family.instances[model]
            buy = ", ".join(f"{count} x {kind}" for kind, count in bought.items()) or "nothing"
            rows.append((family.family, model, f"{units:g}", buy))
    return rows


def coverage_rows(families: tuple[FamilyPlan, ...]) -> list[tuple[str, ...]]:
    """How much of each family kind's usage the family's reservations covered."""
    rows: list[tuple[str, ...]] = []
    for family in families:
        for kind, used in family.usage.items():
            covered = family.covered[kind]
            rows.append(
                (
                    family.family,
                    kind,
                    f"{family.factors[kind]:g}",
                    f"{used:,.1f}",
                    f"{covered:,.1f}",
                    share(covered / used if used > 0 else 0.0),
                )
            )
    return rows


def _rate(value: float | None) -> str:
    return "never" if value is None else f"{value:.2%}"


def payment_rows(rec: Recommendation) -> list[tuple[str, ...]]:
    """One row per model and option chosen: its kinds, their upfront amounts and where the choice flips."""
    rows: list[tuple[str, ...]] = []
    for choice in rec.payment:
        for option in dict.fromkeys(choice.options):
            kinds = [k for k, chosen in enumerate(choice.options) if chosen == option]
            names = [choice.kinds[k] for k in kinds]
            upfront = choice.upfront[kinds]
            below = [choice.flip_below[k] for k in kinds]
            above = [choice.flip_above[k] for k in kinds]
            known_below = [value for value in below if value is not None]
            known_above = [value for value in above if value is not None]
            rows.append(
                (
                    choice.model,
                    option or "default",
                    ", ".join(names) if len(names) <= 3 else f"{len(names)} kinds",
                    money(float(upfront.min()), rec.currency)
                    + ("" if np.ptp(upfront) == 0 else f" to {money(float(upfront.max()), rec.currency)}"),
                    _rate(max(known_below)) if known_below else "never",
                    _rate(min(known_above)) if known_above else "never",
                )
            )
    return rows


def cash_out_rows(cash: CashOut, currency: str | None) -> list[tuple[str, ...]]:
    """Runs of months that pay the same, first month 1 (the purchase)."""
    rows: list[tuple[str, ...]] = []
    start = 0
    total = cash.total
    for month in range(1, len(total) + 1):
        if month == len(total) or total[month] != total[start]:
            months = f"{start + 1}" if month == start + 1 else f"{start + 1} to {month}"
            rows.append(
                (
                    months,
                    money(float(cash.upfront[start]), currency),
                    money(float(cash.hourly[start]), currency),
                    money(float(total[start]), currency),
                )
            )
            start = month
    rows.append(("Total", money(float(cash.upfront.sum()), currency), money(float(cash.hourly.sum()), currency),
                 money(float(total.sum()), currency)))  # fmt: skip
    return rows


def purchase_json(rec: Recommendation, prices: PriceTable) -> dict[str, Any]:
    """The families' purchases, the payment options chosen and the cash-out, as plain JSON values."""
    cash = cash_out(rec, prices)
    return {
        "families": [
            {
                "family": family.family,
                "factors": dict(family.factors),
                "normalised_units": dict(family.normalised_units),
                "instances": {model: dict(bought) for model, bought in family.instances.items()},
                "usage": dict(family.usage),
                "covered": dict(family.covered),
            }
            for family in rec.families
        ],
        "family_coverage": FAMILY_COVERAGE_NOTE if rec.families else None,
        "cost_of_capital": rec.cost_of_capital,
        "payment": {
            choice.model: {
                kind: {
                    "option": choice.options[k],
                    "hourly": float(choice.hourly[k]),
                    "upfront": float(choice.upfront[k]),
                    "equivalent_hourly": float(choice.equivalent[k]),
                    "flips_below": choice.flip_below[k],
                    "flips_above": choice.flip_above[k],
                }
                for k, kind in enumerate(choice.kinds)
            }
            for choice in rec.payment
        },
        "upfront_budget": rec.upfront_budget,
        "cash_out": {
            "upfront": [float(v) for v in cash.upfront],
            "hourly": [float(v) for v in cash.hourly],
            "total": float(cash.total.sum()),
        },
    }


def purchase_html(rec: Recommendation, prices: PriceTable) -> str:
    """The families' tables, the payment options and the cash-out (figure and table); "" without families or
    payment options (the report is then as it was)."""
    if not rec.families and not rec.payment:
        return ""
    parts: list[str] = []
    if rec.families:
        parts += [
            html_table(FAMILY_HEADERS, family_rows(rec.families), text_columns=2),
            html_table(COVERAGE_HEADERS, coverage_rows(rec.families), text_columns=2),
            note(
                "A family's reservations are planned in normalised units (a kind's units times its factor) and bought "
                "as whole instances: the largest size whose factor divides them, the rest in smaller sizes. Covered: "
                + FAMILY_COVERAGE_NOTE
                + "."
            ),
        ]
    if rec.payment:
        parts += [html_table(PAYMENT_HEADERS, payment_rows(rec), text_columns=3), note(PAYMENT_NOTE)]
    cash = cash_out(rec, prices)
    if cash.total.any():
        figure = plots.cash_out_figure(cash.upfront, cash.hourly, rec.currency)
        parts += [
            html_figure(
                plots.to_svg(figure, "cashout"),
                "Money the purchase pays out in each month of its longest term: upfront amounts in the month of "
                "purchase, hourly payments (a savings plan's commitment less what was prepaid) in every month of "
                "each model's term, 730 hours a month.",
            ),
            html_table(CASH_OUT_HEADERS, cash_out_rows(cash, rec.currency)),
        ]
    return "".join(parts)
