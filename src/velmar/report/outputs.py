"""A recommendation for people and for programs: terminal table, JSON and HTML report."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Any

from rich.console import Console
from rich.markup import escape
from rich.table import Table

from velmar.atomic import write_atomically
from velmar.curve import SavingsCurve
from velmar.records import (
    ExistingSavingsPlan,
    ForecastSummary,
    ModelPlan,
    PriceTable,
    Recommendation,
    SeenCommitment,
    UsageHistory,
)
from velmar.report.formatting import (
    NARROW_LEFT_OUT,
    SEEN_COMMITMENT_HEADERS,
    commitment_table_rows,
    outside_plan_text,
    savings_plan_per_hour,
    seen_commitment_rows,
    summary_rows,
)
from velmar.report.purchase import (
    COVERAGE_HEADERS,
    FAMILY_HEADERS,
    PAYMENT_HEADERS,
    coverage_rows,
    family_rows,
    payment_rows,
    purchase_json,
)
from velmar.report.recommendation_page import build_forecast_html, build_html
from velmar.report.summary import coverage_note, hourly_note, term_commitments
from velmar.samples import PlanSamples

#: Version of the JSON layout; raised only when a key changes meaning or disappears.
SCHEMA_VERSION = 1


def render_table(rec: Recommendation, console: Console) -> None:
    """Print the commitments per model and the totals of a recommendation."""
    commitments = Table(title="Recommended commitments", title_justify="left")
    commitments.add_column("Model")
    commitments.add_column("Kind")
    commitments.add_column("Commitment", justify="right")
    commitments.add_column("Break-even", justify="right")
    for model, kind, amount, break_even in commitment_table_rows(rec.plans, rec.period, rec.currency):
        if model and commitments.row_count:
            commitments.add_section()
        commitments.add_row(model, kind, amount, break_even)
    if not rec.plans:
        commitments.add_row("-", "-", "nothing to buy", "-")
    console.print(commitments)

    over = "over the history" if rec.forecast is None else "expected over the forecast"
    totals = Table(title=f"Totals {over}", title_justify="left", show_header=False)
    totals.add_column("Figure")
    totals.add_column("Value", justify="right")
    for label, value in summary_rows(rec):
        totals.add_row(label, value)
    console.print(totals)
    render_purchase(rec, console)
    outside = outside_plan_text(rec.outside_plan, rec.currency)
    print_notes(console, (*rec.notes, coverage_note(rec), hourly_note(rec), outside))


def print_notes(console: Console, notes: Sequence[str | None]) -> None:
    """One dim "note:" line each (None: no note)."""
    for note in notes:
        if note:
            console.print(f"[dim]note:[/dim] {escape(note)}", highlight=False)  # a note is text, not markup


def render_purchase(rec: Recommendation, console: Console) -> None:
    """The families' whole instances and coverage, and the payment options chosen, when there are some."""
    tables = [
        ("Reservations of a family, as instances to buy", FAMILY_HEADERS, family_rows(rec.families)),
        ("Family usage covered by its reservations", COVERAGE_HEADERS, coverage_rows(rec.families)),
        (f"Payment options at a cost of capital of {rec.cost_of_capital:.2%}", PAYMENT_HEADERS, payment_rows(rec)),
    ]
    for title, headers, rows in tables:
        if not rows:
            continue
        table = Table(title=title, title_justify="left")
        for index, header in enumerate(headers):
            table.add_column(header, justify="left" if index < 2 or header in ("Buy", "Kinds") else "right")
        for row in rows:
            table.add_row(*row)
        console.print(table)


def render_commitments(commitments: Sequence[SeenCommitment], console: Console, currency: str | None) -> None:
    """Print the commitments an export shows, the most unused money first.

    A terminal too narrow for every column gets the columns that say what is wasted (id, type,
    money, used and unused); the dates and kinds are then in the JSON (`--json`) and the report.
    """
    rows = seen_commitment_rows(commitments, currency)
    widths = [max([len(header), *(len(line) for row in rows for line in row[i].split(", "))])
              for i, header in enumerate(SEEN_COMMITMENT_HEADERS)]  # fmt: skip
    shown = list(range(len(SEEN_COMMITMENT_HEADERS)))
    if sum(widths) + 3 * len(widths) + 1 > console.width:
        shown = [i for i, header in enumerate(SEEN_COMMITMENT_HEADERS) if header not in NARROW_LEFT_OUT]
    table = Table(title="Commitments the export shows", title_justify="left")
    last = len(SEEN_COMMITMENT_HEADERS) - 1
    for index in shown:
        header = SEEN_COMMITMENT_HEADERS[index]
        # Ids are shown whole (folded if they must), money on one line; the rest wraps between words.
        table.add_column(
            header,
            justify="left" if index < 3 or index == last else "right",
            overflow="fold" if index == 0 else "ellipsis",
            no_wrap=header in ("Money/h", "Used", "Unused"),
        )
    for row in rows:
        # A kind a line: names never break.
        table.add_row(*(row[i].replace(", ", "\n") if i == last else row[i] for i in shown))
    if not commitments:
        table.add_row("none", *("-" for _ in list(shown)[1:]))
    if len(shown) < len(SEEN_COMMITMENT_HEADERS):
        table.caption = "first and last periods and kinds: widen the terminal, or see --json"
    console.print(table)


def commitments_json(commitments: Sequence[SeenCommitment]) -> list[dict[str, Any]]:
    """The commitments an export shows, in the order they were given, as plain JSON values."""
    return [
        {
            "id": seen.id,
            "name": seen.name or None,
            "type": seen.type,
            "category": seen.category,
            "first": str(seen.first),
            "last": str(seen.last),
            "money_per_hour": json_number(seen.money_per_hour),
            "used_share": json_number(seen.used_share),
            "kinds": list(seen.kinds),
        }
        for seen in commitments
    ]


def to_json(rec: Recommendation, history: UsageHistory, prices: PriceTable) -> dict[str, Any]:
    """Everything the table shows, in the stable machine layout, plus the inputs' fingerprint
    (the planner's hash of usage, prices, models, existing plans and load factor)."""
    plan: dict[str, Any] = {}
    per_hour: dict[str, float] = {}
    break_even: dict[str, float | None] = {}
    by_model = {p.model: p for p in rec.plans}
    for model in rec.models:
        chosen = by_model.get(model, ModelPlan(model=model))
        if model.startswith("RI"):
            plan[model] = {kind: float(chosen.reserved.get(kind, 0.0)) for kind in rec.kinds}
        else:
            plan[model] = float(chosen.amount_per_period)
            per_hour[model] = savings_plan_per_hour(chosen, rec.period)
        break_even[model] = json_number(chosen.break_even_months)
    return {
        "schema": SCHEMA_VERSION,
        "kinds": list(rec.kinds),
        "period": rec.period,
        "models": list(rec.models),
        "plan": plan,
        "savings_plan_per_hour": per_hour,
        "break_even_months": break_even,
        **plan_figures(rec),
        "currency": rec.currency,
        "hourly_cost": json_number(rec.hourly_cost),
        "hourly_on_demand_cost": json_number(rec.hourly_on_demand_cost),
        "term_commitment": {t.model: t.total for t in term_commitments(rec, prices)},
        "outside_plan": None
        if rec.outside_plan is None
        else {
            "spend": json_number(rec.outside_plan.spend),
            "top_services": [
                {"service": service, "spend": json_number(spend)} for service, spend in rec.outside_plan.top_services
            ],
        },
        "assumed_discounts": {model: float(fraction) for model, fraction in prices.assumed.items()},
        "search_cost": json_number(rec.search_cost),
        "searches": list(rec.searches),
        "depends_on_random_draws": rec.depends_on_random_draws,
        "forecast": None if rec.forecast is None else forecast_json(rec.forecast),
        "notes": list(rec.notes),
        **purchase_json(rec, prices),
        "inputs": {
            "fingerprint": rec.fingerprint or None,
            "usage_source": history.source,
            "prices_source": prices.source,
            "periods": len(history.timestamps),
            "start": str(history.timestamps[0]) if len(history.timestamps) else None,
            "end": str(history.timestamps[-1]) if len(history.timestamps) else None,
        },
    }


def forecast_json(forecast: ForecastSummary) -> dict[str, Any]:
    """What a forward plan's figures are (expected values, over how many scenarios), its tail and every tranche."""
    tranches = []
    for month, start in zip(forecast.schedule_months, forecast.schedule_dates):
        plan: dict[str, Any] = {}
        for bought in forecast.purchases:
            if bought.start == start:
                plan[bought.model] = dict(bought.reserved) if bought.reserved else {"per_hour": bought.amount_per_hour}
        tranches.append({"month": month, "start": str(start), "plan": plan})
    return {
        "figures": f"the plan's cost, savings and coverage are expected values over {forecast.scenarios} scenarios",
        "horizon_months": forecast.horizon_months,
        "start": str(forecast.start),
        "scenarios": forecast.scenarios,
        "bound_scenarios": forecast.bound_scenarios,
        "polish_scenarios": forecast.polish_scenarios,
        "method": forecast.method,
        "expected_cost": json_number(forecast.expected_cost),
        "expected_on_demand_cost": json_number(forecast.expected_on_demand_cost),
        "cost_p10": json_number(forecast.cost_p10),
        "cost_p90": json_number(forecast.cost_p90),
        "tail": {"measure": f"cvar:{forecast.tail_level:g}", "cost": json_number(forecast.tail_cost)},
        "risk": forecast.risk,
        "outcomes": [
            {"plan": o.label, "expected_cost": json_number(o.expected_cost), "tail_cost": json_number(o.tail_cost)}
            for o in forecast.outcomes
        ],
        "tranches": tranches,
    }


def write_forecast_html(
    path: str | os.PathLike[str],
    rec: Recommendation,
    history: UsageHistory,
    prices: PriceTable,
    commitments: Sequence[SeenCommitment] = (),
) -> None:
    """Write the report of a plan made for forecast usage (`rec.forecast` set), whole or not at all."""
    write_atomically(path, build_forecast_html(rec, history, prices, commitments))


def write_html(
    path: str | os.PathLike[str],
    rec: Recommendation,
    history: UsageHistory,
    prices: PriceTable,
    curve: SavingsCurve,
    samples: PlanSamples,
    existing: Sequence[ExistingSavingsPlan] = (),
    commitments: Sequence[SeenCommitment] = (),
) -> None:
    """Write the self-contained HTML report, whole or not at all; `commitments` (those the export
    shows) add a table of them, the most unused money first."""
    page = build_html(rec, history, prices, curve, samples, existing, commitments)
    write_atomically(path, page)


def plan_figures(rec: Recommendation) -> dict[str, Any]:
    """The whole plan's figures, as the JSON output and the batch results table hold them."""
    return {
        "cost": json_number(rec.cost),
        "on_demand_cost": json_number(rec.on_demand_cost),
        "savings": json_number(rec.savings),
        "savings_rate": json_number(rec.savings_rate),
        "coverage": json_number(rec.coverage),
        "unused_commitment": json_number(rec.unused_commitment),
        "lower_bound": json_number(rec.lower_bound),
        "gap_percent": json_number(rec.gap_percent),
        "method": rec.method,
    }


def json_number(value: float | None) -> float | None:
    """JSON has no NaN or infinity: those become null."""
    return None if value is None or not math.isfinite(value) else float(value)
