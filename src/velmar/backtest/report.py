"""A backtest for people and for programs: terminal table, JSON and an HTML page."""

from __future__ import annotations

from typing import Any

import numpy as np
from rich.console import Console
from rich.table import Table

from velmar.backtest.figure import savings_figure
from velmar.backtest.runner import REGRET_DEFINITION, BacktestResult, RuleOutcome
from velmar.records import Purchase
from velmar.report.formatting import hour, money, outside_plan_text, per_hour, share
from velmar.report.outputs import print_notes
from velmar.report.page import cards, escape, html_figure, html_section, html_table, note, page
from velmar.report.plots import to_svg

HEADERS = ("Rule", "Cost", "Savings", "Savings %", "Regret %", "Unused commitment", "Committed", "Purchases")


def render_table(result: BacktestResult, console: Console, currency: str | None = None) -> None:
    """Print one row per rule, the reference last, with the time each rule took to decide."""
    table = Table(title=f"Backtest, {_window(result)}", title_justify="left")
    shown = ("Rule", "Cost", "Savings %", "Regret %", "Unused commitment")
    unit = f" ({currency})" if currency else ""
    titles = ("Rule", f"Cost{unit}", "Savings", "Regret", f"Unused{unit}", "Time")
    for title in titles:
        table.add_column(title, justify="left" if title == "Rule" else "right", no_wrap=True)
    for index, outcome in enumerate((*result.outcomes, result.reference)):
        if index == len(result.outcomes):
            table.add_section()
        figures = dict(zip(HEADERS, _row(outcome, None)))  # the currency is in the headers
        table.add_row(*(figures[header] for header in shown), f"{outcome.seconds:.1f} s")
    table.caption = REGRET_DEFINITION
    console.print(table)
    print_notes(console, input_notes(result, currency))


def input_notes(result: BacktestResult, currency: str | None) -> list[str]:
    """What loading the history noted (an export's rows spread, its spend left out)."""
    history = result.history
    return [n for n in (*history.notes, outside_plan_text(history.outside_plan, currency)) if n]


def to_json(result: BacktestResult, currency: str | None = None) -> dict[str, Any]:
    """Every figure of the backtest, money in the inputs' currency."""
    return {
        "period": result.history.period,
        "kinds": list(result.history.kinds),
        "currency": currency,
        "models": list(result.models),
        "decisions": [_date(date) for date in result.decisions],
        "month_starts": [_date(date) for date in result.month_starts],
        "regret_definition": REGRET_DEFINITION,
        "notes": input_notes(result, currency),
        "rules": [_outcome_json(outcome) for outcome in result.outcomes],
        "reference": _outcome_json(result.reference),
    }


def build_html(result: BacktestResult, currency: str | None = None) -> str:
    """The whole page: the rules side by side, the savings over time, then what each rule bought."""
    everything = (*result.outcomes, result.reference)
    best = min(result.outcomes, key=lambda outcome: outcome.cost)
    headline = cards(
        [
            ("Cheapest rule", best.rule, f"saved {share(best.savings_rate)} of all on demand"),
            ("Its cost", money(best.cost, currency), f"all on demand: {money(best.on_demand_cost, currency)}"),
            ("Its regret", share(best.regret), f"the reference cost {money(result.reference.cost, currency)}"),
            ("Decisions", f"{len(result.decisions)}", f"{_date(result.decisions[0])} to {_date(result.decisions[-1])}"),
        ]
    )
    sections = [
        f'<h1>Backtest of buying rules</h1>\n<p class="lead">{_window(result)}</p>\n' + headline,
        html_section(
            "Rules side by side",
            html_table(HEADERS, [_row(outcome, currency) for outcome in everything])
            + note(
                "Every cost is the module's price of the usage from the first decision to the end of the history, "
                "with each commitment in force from the day it was bought for its whole term. Unused commitment: "
                "money the commitments charged that covered no usage. Committed: what they charged in the window."
            )
            + note(REGRET_DEFINITION[0].upper() + REGRET_DEFINITION[1:] + ".")
            + "".join(note(text) for text in input_notes(result, currency)),
        ),
        html_section(
            "Savings over time",
            html_figure(
                to_svg(savings_figure(result, currency), "savings"),
                "Above: savings against paying everything on demand, added up month by month, the reference "
                "dashed. Below: the same savings less the reference's, so that rules close together part: above "
                "zero a rule has saved more than the static plan of perfect knowledge so far (the view shows the "
                "better half of the rules; the others run below it). Thin vertical lines: decision dates.",
            ),
        ),
        html_section(
            "What each rule bought",
            '<div class="tables">'
            + "".join(
                f"<div><h3>{escape(o.rule)}</h3>{_purchases_table(o.purchases, currency)}</div>" for o in everything
            )
            + "</div>",
        ),
    ]
    return page("Backtest of buying rules", sections)


def _row(outcome: RuleOutcome, currency: str | None) -> list[str]:
    return [
        outcome.rule,
        money(outcome.cost, currency),
        money(outcome.savings, currency),
        share(outcome.savings_rate),
        share(outcome.regret),
        money(outcome.unused_commitment, currency),
        money(outcome.committed, currency),
        f"{len(outcome.purchases)}",
    ]


def _purchases_table(purchases: tuple[Purchase, ...], currency: str | None) -> str:
    rows = [[_date(p.start), p.model, _commitment(p, currency)] for p in purchases]
    return html_table(["Bought", "Model", "Commitment"], rows or [["-", "-", "nothing"]], text_columns=3)


def _commitment(purchase: Purchase, currency: str | None) -> str:
    if purchase.reserved:
        return ", ".join(f"{kind} {units:g}/h" for kind, units in sorted(purchase.reserved.items()))
    return per_hour(purchase.amount_per_hour, currency)


def _outcome_json(outcome: RuleOutcome) -> dict[str, Any]:
    return {
        "rule": outcome.rule,
        "cost": outcome.cost,
        "on_demand_cost": outcome.on_demand_cost,
        "savings": outcome.savings,
        "savings_rate": outcome.savings_rate,
        "regret": outcome.regret,
        "unused_commitment": outcome.unused_commitment,
        "committed": outcome.committed,
        "purchases": [
            {
                "model": p.model,
                "start": _date(p.start),
                "reserved": dict(p.reserved),
                "amount_per_hour": p.amount_per_hour,
            }
            for p in outcome.purchases
        ],
        "monthly_cost": outcome.monthly_cost.tolist(),
        "monthly_on_demand_cost": outcome.monthly_on_demand.tolist(),
    }


def _window(result: BacktestResult) -> str:
    history = result.history
    periods = "hourly" if history.period == "H" else "daily"
    return (
        f"{len(history.timestamps):,} {periods} periods from {hour(history.timestamps[0])}, "
        f"{len(history.kinds)} kinds; {len(result.decisions)} decisions from {_date(result.decisions[0])}; "
        "costs from then to the end"
    )


def _date(date: np.datetime64) -> str:
    """The day, and the hour when it is not midnight."""
    day = date.astype("datetime64[D]")
    return str(day) if date.astype("datetime64[s]") == day.astype("datetime64[s]") else hour(date)
