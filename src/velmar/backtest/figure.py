"""The backtest's figure: cumulative savings of each rule, month by month, and their lead over the reference."""

from __future__ import annotations

from datetime import datetime

import numpy as np
from matplotlib.axes import Axes
from matplotlib.dates import date2num
from matplotlib.figure import Figure

from velmar.backtest.runner import BacktestResult, RuleOutcome
from velmar.report.plots import FIGURE_WIDTH, MUTED, currency_unit, date_axes, report_style

#: Line colours of the rules, in their order (the reference is drawn dashed in black).
COLOURS = ("#1f4e79", "#2e8b57", "#e08a2c", "#7a1f5c", "#4c9bd6", "#b5472f", "#6b8e23", "#8c6bb1", "#c9a227")


@report_style
def savings_figure(result: BacktestResult, currency: str | None = None) -> Figure:
    """Above, savings against all on demand added up month by month from the first decision on; below, the
    same less the reference's."""
    figure = Figure(figsize=(FIGURE_WIDTH, 6.4), layout="constrained")
    above, below = figure.subplots(2, 1, sharex=True, height_ratios=[3, 2])
    times = _month_edges(result)
    reference = _cumulative_savings(result.reference)
    leads = []
    for index, outcome in enumerate((*result.outcomes, result.reference)):
        is_reference = outcome is result.reference
        style = {
            "color": "black" if is_reference else COLOURS[index % len(COLOURS)],
            "linestyle": "--" if is_reference else "-",
            "linewidth": 1.6,
        }
        savings = _cumulative_savings(outcome)
        above.plot(times, savings, label=outcome.rule, **style)
        leads.append(savings - reference)
        below.plot(times, leads[-1], **style)
    _zoom_on_the_better_half(below, leads)
    above.set_ylabel(f"Savings so far, {currency_unit(currency)}")
    below.set_ylabel(f"Less the reference's, {currency_unit(currency)}")
    for axes in (above, below):
        _decorate(axes, result)
    figure.legend(loc="outside lower center", ncols=3)
    return figure


def _zoom_on_the_better_half(axes: Axes, leads: list[np.ndarray]) -> None:
    """Limits that show the lines of the better half of the rules (by where they end) whole, and zero."""
    ordered = sorted(leads, key=lambda lead: float(lead[-1]), reverse=True)
    shown = np.concatenate([np.zeros(1), *ordered[: max(2, -(-len(ordered) // 2))]])
    low, high = float(shown.min()), float(shown.max())
    pad = 0.08 * ((high - low) or abs(high) or 1.0)
    axes.set_ylim(low - pad, high + pad)


def _cumulative_savings(outcome: RuleOutcome) -> np.ndarray:
    return np.concatenate([[0.0], np.cumsum(outcome.monthly_on_demand - outcome.monthly_cost)])


def _decorate(axes: Axes, result: BacktestResult) -> None:
    for date in result.decisions:
        where = float(date2num(_datetime(date)))  # type: ignore[no-untyped-call]  # untyped in matplotlib
        axes.axvline(where, color=MUTED, linewidth=0.6, alpha=0.5, zorder=0)
    axes.margins(x=0)
    date_axes(axes)


def _month_edges(result: BacktestResult) -> list[datetime]:
    """Where each month of the window begins, and where the history ends."""
    timestamps = result.history.timestamps
    end = timestamps[-1].astype("datetime64[s]") + np.timedelta64(1, "h" if result.history.period == "H" else "D")
    return [_datetime(date) for date in (*result.month_starts, end)]


def _datetime(date: np.datetime64) -> datetime:
    value: datetime = date.astype("datetime64[us]").astype(datetime)
    return value
