"""The HTML report: one page, figures inline as SVG, nothing fetched when it opens."""

from __future__ import annotations

import html
from collections.abc import Sequence

import numpy as np

from velmar import plots
from velmar.allocation import Allocation, allocate, recommendation_portfolio
from velmar.curve import SavingsCurve
from velmar.formatting import commitment_table_rows, money, share, summary_rows
from velmar.records import (
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    PriceTable,
    Recommendation,
    UsageHistory,
)
from velmar.samples import PlanSamples

_STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif;
       margin: 0 auto; max-width: 1100px; padding: 24px 32px 48px; color: #1d232b; background: #fff; }
h1 { font-size: 26px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 36px 0 8px; border-bottom: 1px solid #dfe3e8; padding-bottom: 4px; }
.lead { color: #5a6470; margin: 0 0 20px; }
.cards { display: grid; grid-template-columns: repeat(4, 1fr); gap: 12px; }
.card { border: 1px solid #dfe3e8; border-radius: 8px; padding: 10px 14px; }
.card .label { color: #5a6470; font-size: 13px; }
.card .value { font-size: 22px; font-weight: 600; margin-top: 2px; }
.card .detail { color: #5a6470; font-size: 12px; }
table { border-collapse: collapse; font-size: 14px; margin: 8px 0; }
th, td { padding: 5px 12px; border-bottom: 1px solid #eceff2; text-align: right; }
th:first-child, td:first-child, th.text, td.text { text-align: left; }
th { background: #f5f7f9; font-weight: 600; }
.tables { display: flex; flex-wrap: wrap; gap: 12px 40px; align-items: flex-start; }
figure { margin: 8px 0 0; }
figure svg { width: 100%; height: auto; }
figcaption, .note { color: #5a6470; font-size: 13px; margin-top: 4px; max-width: 900px; }
footer { margin-top: 40px; color: #5a6470; font-size: 12px; word-break: break-all; }
"""


def build_html(
    rec: Recommendation,
    history: UsageHistory,
    prices: PriceTable,
    curve: SavingsCurve,
    samples: PlanSamples,
    existing: Sequence[ExistingSavingsPlan],
) -> str:
    """The whole report page as text."""
    allocation = allocate(*recommendation_portfolio(history, prices, rec, existing))
    sections = [
        _header(rec, history),
        _section("Recommended commitments", _commitments_table(rec)),
        _section(
            "Usage by what pays for it",
            _figure(
                plots.to_svg(plots.usage_figure(history, allocation, prices), "usage"),
                "Usage valued at on-demand prices, per hour, split by the allocation of the priced plan: "
                "reservations first, then each savings plan's money of the period (existing plans first) "
                "spent on the kinds in column order at each kind's rate, and on demand for the rest. "
                "Commitments stop after their term.",
            ),
        ),
        _section("Savings curve", _curve_figures(curve)),
        _section(
            "Cost against coverage",
            _figure(
                plots.to_svg(plots.scatter_figure(samples), "scatter"),
                f"Random single plans of one term ({samples.term}) drawn by the module and priced with its "
                "single-plan cost over the whole history (no expiry). The recommendation and the peers' rules "
                "are whole portfolios priced by the module. No plan can cost less than the proven lower bound; "
                "plans dearer than paying everything on demand lie above the view."
                + (
                    " A single plan cannot hold the existing savings plans, so every point and the bound here "
                    "leave them out: these figures differ from the table's."
                    if samples.without_existing
                    else ""
                ),
            ),
        ),
        _section("Per kind", _kind_table(rec, history, prices, allocation)),
        _footer(rec, history, prices),
    ]
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>Commitment plan report</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n"
        + "\n".join(sections)
        + "\n</body>\n</html>\n"
    )


def _header(rec: Recommendation, history: UsageHistory) -> str:
    span = (
        f"{_when(history.timestamps[0])} to {_when(history.timestamps[-1])}, " if len(history.timestamps) else ""
    ) + f"{len(history.timestamps):,} {'hourly' if history.period == 'H' else 'daily'} periods, {len(rec.kinds)} kinds"
    figures = dict(summary_rows(rec))
    cards = [
        ("Cost of the plan", figures["Cost of the plan"], f"all on demand: {money(rec.on_demand_cost)}"),
        ("Savings", money(rec.savings), f"{share(rec.savings_rate)} of all on demand"),
        ("Coverage", figures["Coverage"], f"unused commitment: {money(rec.unused_commitment)}"),
        ("Gap to the proven bound", figures["Gap to the bound"], f"bound: {money(rec.lower_bound)}; by {rec.method}"),
    ]
    card_html = "".join(
        f'<div class="card"><div class="label">{_e(label)}</div><div class="value">{_e(value)}</div>'
        f'<div class="detail">{_e(detail)}</div></div>'
        for label, value, detail in cards
    )
    return (
        f'<h1>Commitment plan report</h1>\n<p class="lead">{_e(span)}'
        f'{"; " + _e(history.source) if history.source else ""}</p>\n<div class="cards">{card_html}</div>'
    )


def _commitments_table(rec: Recommendation) -> str:
    rows = commitment_table_rows(rec.plans, rec.period) or [("-", "-", "nothing to buy", "-")]
    commitments = _table(["Model", "Kind", "Commitment", "Break-even"], rows, text_columns=2)
    totals = _table(["Figure", "Value"], [list(row) for row in summary_rows(rec)])
    notes = "".join(f'<p class="note">Note: {_e(note)}</p>' for note in rec.notes)
    return f'<div class="tables">{commitments}{totals}</div>' + notes


def _curve_figures(curve: SavingsCurve) -> str:
    knee, optimum = curve.amounts_per_hour[curve.knee_index], curve.amounts_per_hour[curve.optimum_index]
    parts = [
        _figure(
            plots.to_svg(plots.curve_figure(curve), "curve"),
            "Each point is the module's cost of the whole portfolio with the savings-plan commitment set to "
            f"that amount per hour and the reservations held at the recommendation. The optimum ({optimum:,.2f} "
            f"per hour) is the cheapest point; the knee ({knee:,.2f} per hour) is where extra commitment starts "
            "to save clearly less: the point between zero and the optimum farthest above the straight line "
            "joining them.",
        )
    ]
    if curve.per_kind:
        parts.append(
            _figure(
                plots.to_svg(plots.kind_curves_figure(curve), "kinds"),
                "Savings against the reserved units of each kind, everything else held at the recommendation.",
            )
        )
    return "".join(parts)


def _kind_table(rec: Recommendation, history: UsageHistory, prices: PriceTable, allocation: Allocation) -> str:
    hours = HOURS_PER_PERIOD[history.period]
    column = {kind: i for i, kind in enumerate(prices.kinds)}
    usage_column = {kind: i for i, kind in enumerate(history.kinds)}
    reserved_models = [p for p in rec.plans if p.model.startswith("RI")]
    rows = []
    for index, kind in sorted(enumerate(allocation.kinds), key=lambda item: item[1]):
        use = np.nan_to_num(history.usage[:, usage_column[kind]]) / hours
        total = (
            allocation.reserved[:, index].sum()
            + allocation.savings_plan[:, index].sum()
            + allocation.on_demand[:, index].sum()
        )
        share = [
            part[:, index].sum() / total if total > 0 else 0.0
            for part in (allocation.reserved, allocation.savings_plan, allocation.on_demand)
        ]
        rows.append(
            [
                kind,
                f"{prices.on_demand[column[kind]]:.4g}",
                f"{use.mean():,.1f}" if len(use) else "-",
                f"{use.max():,.1f}" if len(use) else "-",
                *(f"{plan.reserved.get(kind, 0.0):g}" for plan in reserved_models),
                *(f"{s:.0%}" for s in share),
            ]
        )
    headers = [
        "Kind",
        "On-demand rate",
        "Mean use/h",
        "Peak use/h",
        *(f"{plan.model} units/h" for plan in reserved_models),
        "Reserved",
        "Savings plan",
        "On demand",
    ]
    return _table(headers, rows) + (
        '<p class="note">Shares are of each kind\'s usage over the history, by the same allocation as the '
        "usage figure. Rates are per unit and hour.</p>"
    )


def _footer(rec: Recommendation, history: UsageHistory, prices: PriceTable) -> str:
    lines = [
        f"Inputs: {rec.fingerprint or 'no fingerprint'}",
        f"Usage: {history.source or 'in memory'}; prices: {prices.source or 'in memory'}",
        f"Models: {', '.join(rec.models)}; kinds in planning order: {', '.join(rec.kinds)}",
        "Every money figure is the module's own price of a plan or a proven lower bound.",
    ]
    return "<footer>" + "<br>".join(_e(line) for line in lines) + "</footer>"


def _section(title: str, body: str) -> str:
    return f"<section>\n<h2>{_e(title)}</h2>\n{body}\n</section>"


def _figure(svg: str, caption: str) -> str:
    return f"<figure>{svg}<figcaption>{_e(caption)}</figcaption></figure>"


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], text_columns: int = 1) -> str:
    def cell(tag: str, index: int, value: str) -> str:
        kind = ' class="text"' if index < text_columns else ""
        return f"<{tag}{kind}>{_e(value)}</{tag}>"

    head = "".join(cell("th", i, h) for i, h in enumerate(headers))
    body = "".join("<tr>" + "".join(cell("td", i, v) for i, v in enumerate(row)) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _when(timestamp: np.datetime64) -> str:
    return str(np.datetime_as_string(timestamp, unit="m")).replace("T", " ")


def _e(text: str) -> str:
    return html.escape(text, quote=True)
