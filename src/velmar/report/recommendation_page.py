"""The HTML report: one page, figures inline as SVG, nothing fetched when it opens.

It reads as a manager reads: what to buy and what it saves a year first, then what the
purchase commits to over each term, then the figures that show why.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from velmar.allocation import Allocation, allocate, recommendation_portfolio
from velmar.curve import SavingsCurve
from velmar.records import (
    HOURS_PER_MONTH,
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    ForecastSummary,
    PlanOutcome,
    PriceTable,
    Recommendation,
    SeenCommitment,
    UsageHistory,
)
from velmar.report import plots
from velmar.report.formatting import (
    SEEN_COMMITMENT_HEADERS,
    bound_scope,
    commitment_table_rows,
    decimals_for,
    hour,
    money,
    outside_plan_text,
    per_hour,
    seen_commitment_rows,
    share,
    summary_rows,
)
from velmar.report.page import cards, escape, html_figure, html_section, html_table, names, note, page
from velmar.report.purchase import purchase_html
from velmar.report.summary import (
    HOURS_PER_YEAR,
    assumed_rates_note,
    coverage_note,
    headline,
    history_hours,
    hourly_note,
    per_year,
    term_commitments,
)
from velmar.samples import PlanSamples


def build_html(
    rec: Recommendation,
    history: UsageHistory,
    prices: PriceTable,
    curve: SavingsCurve,
    samples: PlanSamples,
    existing: Sequence[ExistingSavingsPlan],
    commitments: Sequence[SeenCommitment] = (),
) -> str:
    """The whole report page as text."""
    allocation = allocate(*recommendation_portfolio(history, prices, rec, existing))
    currency = rec.currency
    sections = [
        _header(rec, history, prices),
        html_section("What to buy", _purchase(rec, prices)),
    ]
    if bought := purchase_html(rec, prices):
        sections.append(html_section("How it is bought and paid", bought))
    if commitments:
        sections.append(html_section("Commitments the export shows", _seen_commitments(commitments, currency)))
    sections += [
        html_section(
            "Usage by what pays for it",
            html_figure(
                plots.to_svg(plots.usage_figure(history, allocation, prices, currency), "usage"),
                "Usage valued at on-demand prices, per hour, split by the allocation of the priced plan: "
                "reservations first, then each savings plan's money of the period (existing plans first) "
                "spent on the kinds in column order at each kind's rate, and on demand for the rest. "
                "Commitments stop after their term.",
            ),
        ),
        html_section("Savings curve", _curve_figures(curve, history_hours(history) / HOURS_PER_YEAR, currency)),
        html_section(
            "Cost against coverage",
            html_figure(
                plots.to_svg(plots.scatter_figure(samples, currency), "scatter"),
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
        html_section("Per kind", _kind_table(rec, history, prices, allocation)),
        _footer(rec, history, prices),
    ]
    return page("Commitment plan report", sections)


def build_forecast_html(
    rec: Recommendation,
    history: UsageHistory,
    prices: PriceTable,
    commitments: Sequence[SeenCommitment] = (),
) -> str:
    """The report of a plan made for forecast usage (`rec.forecast` set): the fan, expected and tail costs."""
    forecast = rec.forecast
    assert forecast is not None
    currency = rec.currency
    sections = [
        _header(rec, history, prices),
        html_section("The forecast", _forecast(rec, history, prices, forecast)),
        html_section("What to buy now", _purchase(rec, prices)),
    ]
    if len(forecast.schedule_months) > 1:
        sections.append(html_section("Purchase schedule", _tranches(forecast, rec)))
    if commitments:
        sections.append(html_section("Commitments the export shows", _seen_commitments(commitments, currency)))
    sections.append(_footer(rec, history, prices))
    return page("Commitment plan report: forecast", sections)


def _forecast(rec: Recommendation, history: UsageHistory, prices: PriceTable, forecast: ForecastSummary) -> str:
    currency = rec.currency
    tail = f"mean of the worst {1 - forecast.tail_level:.0%}"
    outcomes = forecast.outcomes or (PlanOutcome("this plan", forecast.expected_cost, forecast.tail_cost),)
    rows = [[o.label, money(o.expected_cost, currency), money(o.tail_cost, currency)] for o in outcomes]
    rows.append(["all on demand", money(forecast.expected_on_demand_cost, currency), "-"])
    table = html_table(["Plan", "Expected cost", f"Cost, {tail}"], rows)
    figure = html_figure(
        plots.to_svg(plots.forecast_figure(history, prices, forecast, currency), "forecast"),
        f"The usage valued at on-demand prices per month: the history, then the forecast's 10th to 90th "
        f"percentile and median over {forecast.scenarios} paths. Commitments in force: the on-demand value the "
        "reservations (owned and new) and savings plans can pay for each month, a savings plan's money valued at "
        "the mean path's on-demand value per unit of its rates; what expires stops.",
    )
    return (
        figure
        + table
        + note(
            f"Costs over the {forecast.horizon_months} months from {hour(forecast.start)}, each the module's price "
            f"of the plan on every path: expected = the mean over {forecast.scenarios} paths; the plan's cost lies "
            f"between {money(forecast.cost_p10, currency)} and {money(forecast.cost_p90, currency)} on 80% of them "
            f"(10th to 90th percentile). Paths: {forecast.method}."
        )
    )


def _tranches(forecast: ForecastSummary, rec: Recommendation) -> str:
    rows = []
    for purchase_ in forecast.purchases:
        what = (
            ", ".join(f"{kind}: {units:g}" for kind, units in sorted(purchase_.reserved.items()))
            if purchase_.reserved
            else per_hour(purchase_.amount_per_hour, rec.currency)
        )
        rows.append([hour(purchase_.start), purchase_.model, what])
    headers = ["Date", "Model", "Units per hour or money per hour"]
    return html_table(headers, rows or [["-", "-", "nothing"]], 2, list_columns={2}) + note(
        f"Tranches at months {', '.join(map(str, forecast.schedule_months))} ahead. Only the first is decided now; "
        "the later ones are advice, to be planned again when their date comes."
    )


def _header(rec: Recommendation, history: UsageHistory, prices: PriceTable) -> str:
    periods = len(history.timestamps)
    # A forecast's figures are expected values over its horizon.
    hours = history_hours(history) if rec.forecast is None else rec.forecast.horizon_months * HOURS_PER_MONTH
    over = (
        "the history"
        if rec.forecast is None
        else f"the forecast's {rec.forecast.horizon_months} months (expected over {rec.forecast.scenarios} paths)"
    )
    span = (
        f"{hour(history.timestamps[0])} to {hour(history.timestamps[-1])}, " if periods else ""
    ) + f"{periods:,} {'hourly' if history.period == 'H' else 'daily'} periods, {len(rec.kinds)} kinds"
    currency = rec.currency
    yearly = per_year(rec.savings, hours)
    coverage_detail = (
        "above 100%: see below"
        if rec.coverage > 1
        else f"of the usage's on-demand value; unused commitment: {money(rec.unused_commitment, currency)}"
    )
    items = [
        (
            "Savings per year",
            money(yearly, currency),
            f"per month: {money(yearly / 12, currency)}; over {over}: {money(rec.savings, currency)} "
            f"({share(rec.savings_rate)} of all on demand)",
        ),
        ("Cost of the plan", money(rec.cost, currency), f"all on demand: {money(rec.on_demand_cost, currency)}"),
        ("Coverage", share(rec.coverage), coverage_detail),
        (
            "Gap to the proven bound",
            dict(summary_rows(rec))["Gap to the bound"],
            f"bound{bound_scope(rec)}: {money(rec.lower_bound, currency)}; by {rec.method}",
        ),
    ]
    if rec.hourly_cost is not None:
        items.append(("Cost priced hour by hour", money(rec.hourly_cost, currency), "the daily plan on hourly rows"))
    scaling = (
        f"Per year and per month: the savings over {over}, {hours / 24:,.1f} days, scaled to 365 days "
        "(a month is a twelfth of that), at the same rate."
    )
    outside = outside_plan_text(rec.outside_plan, rec.currency)
    remarks = [coverage_note(rec), hourly_note(rec), outside, assumed_rates_note(prices)]
    return (
        f'<h1>Commitment plan report</h1>\n<p class="lead">{escape(span)}'
        f"{'; ' + escape(history.source) if history.source else ''}</p>\n"
        f'<p class="headline">{escape(headline(rec, hours))}</p>\n'
        + cards(items)
        + note(scaling)
        + "".join(note(text) for text in remarks if text)
    )


def _purchase(rec: Recommendation, prices: PriceTable) -> str:
    currency = rec.currency
    rows = commitment_table_rows(rec.plans, rec.period, currency) or [("-", "-", "nothing to buy", "-")]
    commitments = html_table(["Model", "Kind", "Commitment", "Break-even"], rows, text_columns=2)
    terms = term_commitments(rec, prices)
    term_rows = [
        [t.model, f"{t.term_days:,} days", per_hour(t.per_hour, currency), money(t.total, currency)] for t in terms
    ]
    if len(terms) > 1:
        term_rows.append(["Total", "", per_hour(sum(t.per_hour for t in terms), currency), money(
            sum(t.total for t in terms), currency)])  # fmt: skip
    over_terms = html_table(["Model", "Term", "Per hour", "Over the term"], term_rows or [["-", "-", "-", "nothing"]])
    over = "Over the history" if rec.forecast is None else "Expected over the forecast"
    totals = html_table([over, "Value"], [list(row) for row in summary_rows(rec)])
    explained = note(
        "Over the term: what each purchase commits to, as a purchase order carries it. A reservation pays its "
        "hourly rate for each unit in every hour of its term; a savings plan pays its money per hour for every "
        "hour of its term, used or not."
    )
    notes = "".join(note(f"Note: {text}") for text in rec.notes)
    return f'<div class="tables">{commitments}{over_terms}{totals}</div>' + explained + notes


def _seen_commitments(commitments: Sequence[SeenCommitment], currency: str | None) -> str:
    rows = seen_commitment_rows(commitments, currency)
    table = html_table(SEEN_COMMITMENT_HEADERS, rows, text_columns=3, list_columns={len(SEEN_COMMITMENT_HEADERS) - 1})
    return table + note(
        "Money per hour: the commitment's used and unused money over the hours from its first row to its last. "
        "Unused: that money times the share nothing used, largest first: what the commitments waste."
    )


def _curve_figures(curve: SavingsCurve, years: float, currency: str | None) -> str:
    x = curve.amounts_per_hour
    knee, optimum = x[curve.knee_index], x[curve.optimum_index]
    view = plots.curve_view(curve)
    beyond = (
        f" The view stops at {per_hour(view, currency)}; the curve was priced up to {per_hour(float(x[-1]), currency)}."
        if view < x[-1]
        else ""
    )
    parts = [
        html_figure(
            plots.to_svg(plots.curve_figure(curve, years or None, currency), "curve"),
            "Each point is the module's cost of the whole portfolio with the savings-plan commitment set to "
            "that amount per hour and the reservations held at the recommendation, as savings against paying "
            f"everything on demand. The optimum ({per_hour(float(optimum), currency)}) saves most; the knee "
            f"({per_hour(float(knee), currency)}) is where extra commitment starts to save clearly less: the "
            "point between zero and the optimum farthest above the straight line joining them. The right-hand "
            "axis is the same savings per year, at the history's rate." + beyond,
        )
    ]
    if curve.per_kind:
        parts.append(
            html_figure(
                plots.to_svg(plots.kind_curves_figure(curve, currency), "kinds"),
                "Savings against the reserved units of each kind, everything else held at the recommendation.",
            )
        )
    return "".join(parts)


def _kind_table(rec: Recommendation, history: UsageHistory, prices: PriceTable, allocation: Allocation) -> str:
    hours = HOURS_PER_PERIOD[history.period]
    column = {kind: i for i, kind in enumerate(prices.kinds)}
    usage_column = {kind: i for i, kind in enumerate(history.kinds)}
    reserved_models = [p for p in rec.plans if p.model.startswith("RI")]
    kinds = sorted(enumerate(allocation.kinds), key=lambda item: item[1])
    rates = [float(prices.on_demand[column[kind]]) for _, kind in kinds]
    decimals = decimals_for(rates)
    rows = []
    for (index, kind), rate in zip(kinds, rates):
        use = np.nan_to_num(history.usage[:, usage_column[kind]]) / hours
        total = (
            allocation.reserved[:, index].sum()
            + allocation.savings_plan[:, index].sum()
            + allocation.on_demand[:, index].sum()
        )
        shares = [
            part[:, index].sum() / total if total > 0 else 0.0
            for part in (allocation.reserved, allocation.savings_plan, allocation.on_demand)
        ]
        rows.append(
            [
                kind,
                f"{rate:,.{decimals}f}",
                f"{use.mean():,.1f}" if len(use) else "-",
                f"{use.max():,.1f}" if len(use) else "-",
                *(f"{plan.reserved.get(kind, 0.0):g}" for plan in reserved_models),
                *(f"{s:.0%}" for s in shares),
            ]
        )
    headers = [
        "Kind",
        f"On-demand rate{f' ({rec.currency})' if rec.currency else ''}",
        "Mean use/h",
        "Peak use/h",
        *(f"{plan.model} units/h" for plan in reserved_models),
        "Reserved",
        "Savings plan",
        "On demand",
    ]
    return html_table(headers, rows) + note(
        "Shares are of each kind's usage over the history, by the same allocation as the usage figure. "
        "Rates are per unit and hour."
    )


def _footer(rec: Recommendation, history: UsageHistory, prices: PriceTable) -> str:
    lines = [
        escape(f"Inputs: {rec.fingerprint or 'no fingerprint'}"),
        escape(f"Usage: {history.source or 'in memory'}; prices: {prices.source or 'in memory'}"),
        f"Models: {names(rec.models)}; kinds in planning order: {names(rec.kinds)}",
        escape(
            "Every money figure is the module's own price of a plan or a proven lower bound; per year and per month "
            "figures scale the history's to a year at its rate."
        ),
    ]
    return "<footer>" + "<br>".join(lines) + "</footer>"
