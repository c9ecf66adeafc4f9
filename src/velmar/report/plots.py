"""The report's figures, drawn with matplotlib's object API and saved as SVG or PNG.

No pyplot and no global backend: each figure is its own `Figure`, text is drawn as
paths (no font files needed to view it) and ids are prefixed per figure so that
several SVGs can live in one HTML page.

Figures are FIGURE_WIDTH inches wide with text of at least SMALL_TEXT points: a page
shows them at their own size (or smaller), so on a phone 420 CSS pixels wide their
text is still at least 10 pixels high.
"""

from __future__ import annotations

import functools
import io
import math
import re
from collections.abc import Callable
from typing import Any, ParamSpec

import matplotlib
import numpy as np
from matplotlib.axes import Axes
from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
from matplotlib.figure import Figure, SubFigure
from matplotlib.ticker import Formatter, MaxNLocator

from velmar.allocation import Allocation
from velmar.curve import KindCurve, SavingsCurve
from velmar.records import HOURS_PER_MONTH, HOURS_PER_PERIOD, Floats, ForecastSummary, PriceTable, UsageHistory
from velmar.report.formatting import per_hour
from velmar.samples import PlanSamples

RESERVED_COLOUR = "#1f4e79"
SAVINGS_PLAN_COLOUR = "#2e8b57"
ON_DEMAND_COLOUR = "#e08a2c"
BOUND_COLOUR = "#7a1f5c"
MUTED = "#8c8c8c"
#: Most points a time series keeps; longer histories are averaged into this many bins.
MAX_SERIES_POINTS = 1000
#: Width of every figure, in inches (the page never stretches a figure beyond it).
FIGURE_WIDTH = 5.4
#: The savings curve shows commitments up to this multiple of the larger of its optimum and knee.
CURVE_ZOOM = 1.75
#: Columns of the per-kind panels.
KIND_COLUMNS = 3
#: The smallest text of any figure, in points.
SMALL_TEXT = 11
TEXT = 11.5

_Arguments = ParamSpec("_Arguments")

_STYLE: Any = {  # rcParams; matplotlib types their keys as a closed set of literals
    "svg.fonttype": "path",
    "font.size": TEXT,
    "axes.titlesize": TEXT,
    "axes.labelsize": TEXT,
    "xtick.labelsize": TEXT,
    "ytick.labelsize": TEXT,
    "legend.fontsize": SMALL_TEXT,
    "figure.labelsize": TEXT,
    "axes.spines.top": False,
    "axes.spines.right": False,
    "axes.grid": True,
    "grid.color": "#e6e6e6",
    "axes.axisbelow": True,
    "axes.formatter.useoffset": False,
    "legend.frameon": False,
}


class PlainNumbers(Formatter):
    """Tick labels as plain numbers with thousands separators (never an offset or a power of ten),
    with the decimals the spacing of the ticks needs, the same on every tick."""

    def __init__(self) -> None:
        self.decimals = 0

    def set_locs(self, locs: Any) -> None:
        values = np.asarray(locs, dtype=float)
        steps = np.diff(np.sort(values))
        step = float(steps[steps > 0].min()) if (steps > 0).any() else 1.0
        self.decimals = max(0, -math.floor(math.log10(step) + 1e-9))
        super().set_locs(locs)

    def __call__(self, x: float, pos: int | None = None) -> str:
        return f"{x:,.{self.decimals}f}".replace("-", "\N{MINUS SIGN}")


def report_style(draw: Callable[_Arguments, Figure]) -> Callable[_Arguments, Figure]:
    """Draw the whole figure under the report's style (matplotlib reads it as it draws)."""

    @functools.wraps(draw)
    def styled(*args: _Arguments.args, **kwargs: _Arguments.kwargs) -> Figure:
        with matplotlib.rc_context(_STYLE):
            return draw(*args, **kwargs)

    return styled


@report_style
def usage_figure(
    history: UsageHistory, allocation: Allocation, prices: PriceTable, currency: str | None = None
) -> Figure:
    """Usage at on-demand prices per hour over time, stacked by what pays for it."""
    column = {kind: i for i, kind in enumerate(prices.kinds)}
    value = np.asarray([prices.on_demand[column[k]] for k in allocation.kinds]) / HOURS_PER_PERIOD[history.period]
    layers = [
        (allocation.reserved @ value, "Reserved", RESERVED_COLOUR),
        (allocation.savings_plan @ value, "Savings plan", SAVINGS_PLAN_COLOUR),
        (allocation.on_demand @ value, "On demand", ON_DEMAND_COLOUR),
    ]
    times, series = _binned(history.timestamps, [layer for layer, _, _ in layers])
    figure, axes = _figure(3.6)
    axes.stackplot(
        times, *series, labels=[label for _, label, _ in layers], colors=[c for _, _, c in layers], linewidth=0
    )
    axes.set_ylabel(f"At on-demand prices, {currency_unit(currency)}per hour")
    axes.set_ylim(bottom=0, top=max((float(np.max(sum(series), initial=0.0)) * 1.25), 1e-9))
    axes.margins(x=0)
    date_axes(axes)
    axes.legend(loc="upper left", ncols=3)
    return figure


@report_style
def forecast_figure(
    history: UsageHistory, prices: PriceTable, forecast: ForecastSummary, currency: str | None = None
) -> Figure:
    """The usage's on-demand value per month: the history, then the forecast's 10th-90th percentile fan and
    median, with the on-demand value the commitments in force can pay for."""
    column = {kind: i for i, kind in enumerate(prices.kinds)}
    value = history.usage @ np.asarray([prices.on_demand[column[k]] for k in history.kinds])
    hours = HOURS_PER_PERIOD[history.period]
    # Months of 730 hours counted back from the history's end, so the last one meets the forecast's first;
    # a first month the history holds in part is left out.
    back = (len(value) - 1 - np.arange(len(value))) * hours // HOURS_PER_MONTH
    counts = np.bincount(back)
    whole = counts >= HOURS_PER_MONTH // hours
    past = np.bincount(back, value)[whole][::-1]
    past_times = history.timestamps[np.searchsorted(-back, -np.flatnonzero(whole)[::-1])].astype("datetime64[s]")
    figure, axes = _figure(3.6)
    months = forecast.fan_months.astype("datetime64[s]")
    axes.plot(past_times, past, color=MUTED, label="History")
    axes.fill_between(
        months, forecast.fan_low, forecast.fan_high, color=ON_DEMAND_COLOUR, alpha=0.3, linewidth=0,
        label=f"Forecast, 10th-90th percentile ({forecast.scenarios} paths)",
    )  # fmt: skip
    axes.plot(months, forecast.fan_median, color=ON_DEMAND_COLOUR, label="Forecast median")
    axes.step(months, forecast.commitment_value, where="post", color=RESERVED_COLOUR, label="Commitments in force")
    axes.set_ylabel(f"At on-demand prices, {currency_unit(currency)}per month")
    top = max(float(past.max(initial=0.0)), float(forecast.fan_high.max(initial=0.0)), float(
        forecast.commitment_value.max(initial=0.0)))  # fmt: skip
    axes.set_ylim(bottom=0, top=max(top * 1.3, 1e-9))
    date_axes(axes, minticks=3)
    figure.legend(loc="outside lower center", ncols=2)
    return figure


@report_style
def curve_figure(curve: SavingsCurve, years: float | None = None, currency: str | None = None) -> Figure:
    """Savings against the savings-plan commitment, zoomed on the range that matters; with
    `years` (the history's length), a right-hand axis of the same savings per year."""
    figure, axes = _figure(3.8)
    _draw_curve(axes, curve, years, currency)
    return figure


@report_style
def kind_curves_figure(curve: SavingsCurve, currency: str | None = None) -> Figure:
    """One small panel per kind: savings against its reserved units."""
    figure = Figure(figsize=(FIGURE_WIDTH, _kind_grid_height(curve)), layout="constrained")
    _draw_kind_grid(figure, curve, currency)
    return figure


@report_style
def curve_and_kinds_figure(curve: SavingsCurve, years: float | None = None, currency: str | None = None) -> Figure:
    """The savings curve and, when the curve has them, the per-kind curves below it: one figure."""
    if not curve.per_kind:
        return curve_figure(curve, years, currency)
    grid_height = _kind_grid_height(curve)
    figure = Figure(figsize=(FIGURE_WIDTH, 3.8 + grid_height), layout="constrained")
    top, bottom = figure.subfigures(2, 1, height_ratios=[3.8, grid_height], squeeze=False)[:, 0]
    _draw_curve(top.add_subplot(), curve, years, currency)
    _draw_kind_grid(bottom, curve, currency)
    return figure


def curve_view(curve: SavingsCurve) -> float:
    """The largest commitment per hour the curve's view shows: CURVE_ZOOM times the larger of the
    optimum and the knee, at least the recommendation, at most the last point."""
    x = curve.amounts_per_hour
    last = float(x[-1])
    wanted = max(CURVE_ZOOM * max(x[curve.optimum_index], x[curve.knee_index]), x[curve.recommended_index])
    return last if wanted <= 0 else min(float(wanted), last)


def _draw_curve(axes: Axes, curve: SavingsCurve, years: float | None, currency: str | None) -> None:
    x, savings = curve.amounts_per_hour, curve.savings
    right = curve_view(curve)
    shown = x <= right * (1 + 1e-12)
    drawn = min(int(shown.sum()) + 1, len(x))  # one point past the view: the line runs on to its edge
    axes.plot(x[:drawn], savings[:drawn], color=SAVINGS_PLAN_COLOUR, linewidth=2)
    marks = [
        (curve.optimum_index, "Optimum", "o", SAVINGS_PLAN_COLOUR),
        (curve.knee_index, "Knee", "s", MUTED),
        (curve.recommended_index, "Recommended", "*", RESERVED_COLOUR),
    ]
    for index, label, marker, colour in marks:
        axes.plot(
            [x[index]],
            [savings[index]],
            marker=marker,
            markersize=13 if marker == "*" else 8,
            color=colour,
            linestyle="none",
            clip_on=False,
            zorder=3,
            label=f"{label} {per_hour(float(x[index]), currency)}",
        )
    in_view = np.append(savings[shown], np.interp(right, x, savings))
    low, high = float(in_view.min()), float(in_view.max())
    span = high - low
    if low - span <= 0 <= high + span:  # all on demand (no savings) is near enough to show
        axes.axhline(0, color=ON_DEMAND_COLOUR, linewidth=1.5, linestyle="--", label="All on demand")
        low, high = min(low, 0.0), max(high, 0.0)
    pad = 0.08 * ((high - low) or abs(high) or 1.0)
    axes.set_ylim(low - pad, high + pad)
    axes.set_xlim(float(x[0]), right if right > x[0] else float(x[0]) + 1.0)
    if not shown.all():  # a legend line of its own, so that it never covers the curve
        axes.plot([], [], linestyle="none", label=f"Priced to {per_hour(float(x[-1]), currency)} (off view)")
    split = " + ".join(f"{m} {share:.0%}" for m, share in zip(curve.models, curve.shares)) or "Savings-plan"
    axes.set_xlabel(f"{split} commitment, {currency_unit(currency)}per hour")
    axes.set_ylabel(f"Savings over the history{_in(currency)}")
    if years:

        def to_year(values: Any) -> Any:
            return np.asarray(values) / years

        def from_year(values: Any) -> Any:
            return np.asarray(values) * years

        per_year = axes.secondary_yaxis("right", functions=(to_year, from_year))
        per_year.set_ylabel("Per year, at the history's rate")
        per_year.yaxis.set_major_formatter(PlainNumbers())
    for axis in (axes.xaxis, axes.yaxis):
        axis.set_major_formatter(PlainNumbers())
    axes.figure.legend(loc="outside lower center", ncols=2, handlelength=1.2, columnspacing=1.2)


def _kind_grid_height(curve: SavingsCurve) -> float:
    return 2.1 * -(-max(len(curve.per_kind), 1) // KIND_COLUMNS) + 0.6


def _draw_kind_grid(figure: Figure | SubFigure, curve: SavingsCurve, currency: str | None) -> None:
    count = len(curve.per_kind)
    columns = min(KIND_COLUMNS, max(count, 1))
    grid = list(figure.subplots(max(-(-count // columns), 1), columns, squeeze=False).ravel())
    for axes, kind in zip(grid, sorted(curve.per_kind, key=lambda k: k.kind)):
        _draw_kind(axes, kind)
    for axes in grid[count:]:
        axes.set_visible(False)
    models = sorted({kind.model for kind in curve.per_kind})
    figure.supxlabel(f"{' or '.join(models) or 'Reserved'} units per hour (star: the recommendation)")
    figure.supylabel(f"Savings{_in(currency)}")


def _draw_kind(axes: Axes, kind: KindCurve) -> None:
    axes.plot(kind.units_per_hour, kind.savings, color=RESERVED_COLOUR, linewidth=1.5)
    axes.plot(
        [kind.units_per_hour[kind.recommended_index]],
        [kind.savings[kind.recommended_index]],
        marker="*",
        markersize=11,
        color=RESERVED_COLOUR,
        linestyle="none",
        clip_on=False,
        zorder=3,
    )
    axes.set_title(kind.kind)
    for axis in (axes.xaxis, axes.yaxis):
        axis.set_major_locator(MaxNLocator(3))
        axis.set_major_formatter(PlainNumbers())


@report_style
def scatter_figure(samples: PlanSamples, currency: str | None = None) -> Figure:
    """Cost against coverage of random plans, with the recommendation, peers and LP bound."""
    figure, axes = _figure(5.6)
    axes.scatter(
        samples.coverages * 100,
        samples.costs,
        s=6,
        color=MUTED,
        alpha=0.35,
        linewidths=0,
        label=f"Random single plans ({samples.term}), {len(samples.costs):,}",
    )
    markers = ["v", "^", "<", ">", "D", "P", "X"]
    for peer, marker in zip(samples.peers, markers):
        axes.scatter(
            [peer.coverage * 100],
            [peer.cost],
            s=60,
            marker=marker,
            color=ON_DEMAND_COLOUR,
            edgecolors="black",
            linewidths=0.5,
            zorder=3,
            clip_on=False,
            label=peer.rule,
        )
    chosen = samples.recommendation
    axes.scatter(
        [chosen.coverage * 100],
        [chosen.cost],
        s=260,
        marker="*",
        color=RESERVED_COLOUR,
        edgecolors="white",
        linewidths=0.8,
        zorder=4,
        clip_on=False,
        label="Recommendation",
    )
    axes.axhline(
        samples.lower_bound, color=BOUND_COLOUR, linestyle="--", linewidth=1.2, label="Proven lower bound on any plan"
    )
    # Plans dearer than paying everything on demand are of no interest: the view stops there.
    top = 1.08 * max(chosen.cost, *(p.cost for p in samples.peers))
    shown = samples.coverages[samples.costs <= top] * 100
    right = max(shown.max(initial=0.0), chosen.coverage * 100, *(p.coverage * 100 for p in samples.peers))
    axes.set_ylim(min(samples.lower_bound, samples.costs.min(initial=top)) * 0.97, top)
    axes.set_xlim(-2, right * 1.05 + 2)
    axes.set_xlabel("Coverage, % of the on-demand value of the usage")
    axes.set_ylabel(f"Cost over the history{_in(currency)}")
    for axis in (axes.xaxis, axes.yaxis):
        axis.set_major_formatter(PlainNumbers())
    figure.legend(loc="outside lower center", ncols=1)
    return figure


def to_svg(figure: Figure, salt: str) -> str:
    """The figure as an inline `<svg>` element (no XML prolog), its ids prefixed by `salt`."""
    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.hashsalt": salt, "svg.fonttype": "path"}):
        figure.savefig(buffer, format="svg", bbox_inches="tight", metadata={"Date": None})
    text = buffer.getvalue()
    svg = re.sub(r"\s*<metadata>.*?</metadata>", "", text[text.index("<svg") :], count=1, flags=re.S)
    # Ids (glyphs, clip paths, groups) and the references to them, prefixed: unique on the page.
    return re.sub(r'(\bid="|href="#|url\(#)', rf"\g<1>{salt}-", svg)


def to_file_bytes(figure: Figure, fmt: str) -> bytes:
    """The figure as a standalone SVG or PNG file."""
    buffer = io.BytesIO()
    with matplotlib.rc_context({"svg.fonttype": "path"}):
        figure.savefig(
            buffer, format=fmt, bbox_inches="tight", dpi=150, metadata={"Date": None} if fmt == "svg" else None
        )
    return buffer.getvalue()


def _figure(height: float) -> tuple[Figure, Axes]:
    figure = Figure(figsize=(FIGURE_WIDTH, height), layout="constrained")
    return figure, figure.add_subplot()


def date_axes(axes: Axes, minticks: int = 5) -> None:
    """Dates along x (a few concise ticks), plain thousands along y; `minticks` 3 lets years be the ticks of a
    few years (with 5, months would be, and six of them cannot span four years)."""
    locator = AutoDateLocator(minticks=minticks, maxticks=6)  # type: ignore[no-untyped-call]  # untyped in matplotlib
    axes.xaxis.set_major_locator(locator)
    axes.xaxis.set_major_formatter(ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]
    axes.yaxis.set_major_formatter(PlainNumbers())


def currency_unit(currency: str | None) -> str:
    return f"{currency} " if currency else ""


def _in(currency: str | None) -> str:
    return f", {currency}" if currency else ""


def _binned(times: np.ndarray, series: list[Floats]) -> tuple[np.ndarray, list[Floats]]:
    """Averages of consecutive periods, so that at most MAX_SERIES_POINTS remain."""
    width = max(1, -(-len(times) // MAX_SERIES_POINTS))
    if width == 1:
        return times, series
    edges = np.arange(0, len(times), width)
    counts = np.diff(np.append(edges, len(times)))
    return times[edges], [np.add.reduceat(s, edges) / counts for s in series]


@report_style
def cash_out_figure(upfront: Floats, hourly: Floats, currency: str | None = None) -> Figure:
    """Money paid in each month of the term, month 1 the purchase: upfront amounts over the hourly payments."""
    figure, axes = _figure(3.4)
    months = np.arange(1, len(upfront) + 1)
    axes.bar(months, hourly, width=0.85, color=SAVINGS_PLAN_COLOUR, label="By the hour")
    axes.bar(months, upfront, width=0.85, bottom=hourly, color=RESERVED_COLOUR, label="Upfront")
    axes.set_xlabel("Month of the term (1: the month of purchase)")
    axes.set_ylabel(f"Paid in the month{_in(currency)}")
    axes.set_xlim(0.3, len(upfront) + 0.7)
    axes.xaxis.set_major_locator(MaxNLocator(12, integer=True))
    axes.yaxis.set_major_formatter(PlainNumbers())
    axes.legend(loc="upper right")
    return figure
