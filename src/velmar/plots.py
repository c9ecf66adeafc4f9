"""The report's figures, drawn with matplotlib's object API and saved as SVG or PNG.

No pyplot and no global backend: each figure is its own `Figure`, text is drawn as
paths (no font files needed to view it) and ids are prefixed per figure so that
several SVGs can live in one HTML page.
"""

from __future__ import annotations

import functools
import io
import re
from collections.abc import Callable
from typing import Any, ParamSpec

import matplotlib
import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure

from velmar.allocation import Allocation
from velmar.curve import SavingsCurve
from velmar.records import HOURS_PER_PERIOD, Floats, PriceTable, UsageHistory
from velmar.samples import PlanSamples

RESERVED_COLOUR = "#1f4e79"
SAVINGS_PLAN_COLOUR = "#2e8b57"
ON_DEMAND_COLOUR = "#e08a2c"
BOUND_COLOUR = "#7a1f5c"
MUTED = "#8c8c8c"
#: Most points a time series keeps; longer histories are averaged into this many bins.
MAX_SERIES_POINTS = 1000

_Arguments = ParamSpec("_Arguments")

_STYLE: Any = {  # rcParams; matplotlib types their keys as a closed set of literals
    "svg.fonttype": "path",
    "font.size": 10,
    "axes.spines.top": False,
    "axes.spines.right": False,
    "axes.grid": True,
    "grid.color": "#e6e6e6",
    "axes.axisbelow": True,
    "legend.frameon": False,
}


def _styled(draw: Callable[_Arguments, Figure]) -> Callable[_Arguments, Figure]:
    """Draw the whole figure under the report's style (matplotlib reads it as it draws)."""

    @functools.wraps(draw)
    def styled(*args: _Arguments.args, **kwargs: _Arguments.kwargs) -> Figure:
        with matplotlib.rc_context(_STYLE):
            return draw(*args, **kwargs)

    return styled


@_styled
def usage_figure(history: UsageHistory, allocation: Allocation, prices: PriceTable) -> Figure:
    """Usage at on-demand prices per hour over time, stacked by what pays for it."""
    column = {kind: i for i, kind in enumerate(prices.kinds)}
    value = np.asarray([prices.on_demand[column[k]] for k in allocation.kinds]) / HOURS_PER_PERIOD[history.period]
    layers = [
        (allocation.reserved @ value, "Reserved", RESERVED_COLOUR),
        (allocation.savings_plan @ value, "Savings plan", SAVINGS_PLAN_COLOUR),
        (allocation.on_demand @ value, "On demand", ON_DEMAND_COLOUR),
    ]
    times, series = _binned(history.timestamps, [layer for layer, _, _ in layers])
    figure, axes = _figure(9.0, 3.4)
    axes.stackplot(
        times, *series, labels=[label for _, label, _ in layers], colors=[c for _, _, c in layers], linewidth=0
    )
    axes.set_ylabel("Usage at on-demand prices, per hour")
    axes.set_ylim(bottom=0)
    axes.margins(x=0)
    axes.legend(loc="upper left", ncols=3)
    figure.autofmt_xdate()
    return figure


@_styled
def curve_figure(curve: SavingsCurve) -> Figure:
    """Cost (left) and savings (right) against the savings-plan commitment, with the
    optimum, knee and recommendation; the view fits the curve, not the all-on-demand line."""
    figure, axes = _figure(9.0, 3.6)
    x, costs, on_demand = curve.amounts_per_hour, curve.costs, curve.on_demand_cost
    axes.plot(x, costs, color=SAVINGS_PLAN_COLOUR, linewidth=2, label="Cost of the plan")
    marks = [
        (curve.optimum_index, "Optimum", "o", SAVINGS_PLAN_COLOUR),
        (curve.knee_index, "Knee", "s", MUTED),
        (curve.recommended_index, "Recommendation", "*", RESERVED_COLOUR),
    ]
    for index, label, marker, colour in marks:
        axes.plot(
            [x[index]],
            [costs[index]],
            marker=marker,
            markersize=12 if marker == "*" else 8,
            color=colour,
            linestyle="none",
            label=f"{label}: {x[index]:,.2f} per hour",
        )
    low, high = float(costs.min()), float(costs.max())
    pad = 0.08 * ((high - low) or abs(high) or 1.0)
    top = max(high, on_demand) if on_demand <= high + (high - low) else high
    axes.set_ylim(low - pad, top + pad)
    above = " (above the view)" if on_demand > top else ""
    axes.axhline(
        on_demand,
        color=ON_DEMAND_COLOUR,
        linewidth=1.5,
        linestyle="--",
        label=f"All on demand: {on_demand:,.0f}{above}",
    )

    def mirrored(values: Any) -> Any:  # cost <-> savings: its own inverse
        return on_demand - np.asarray(values)

    savings_axis = axes.secondary_yaxis("right", functions=(mirrored, mirrored))
    savings_axis.set_ylabel("Savings against all on demand")
    split = " + ".join(f"{m} {share:.0%}" for m, share in zip(curve.models, curve.shares)) or "no savings plan"
    axes.set_xlabel(f"Savings-plan commitment per hour ({split}); reservations held at the recommendation")
    axes.set_ylabel("Cost over the history")
    axes.legend(loc="best", fontsize=9)
    return figure


@_styled
def kind_curves_figure(curve: SavingsCurve) -> Figure:
    """One small panel per kind: savings against its reserved units."""
    count = len(curve.per_kind)
    columns = min(4, max(count, 1))
    rows = -(-count // columns)
    figure, grid = _figure_grid(9.0, 2.0 * rows + 0.4, rows, columns)
    for axes, kind in zip(grid, sorted(curve.per_kind, key=lambda k: k.kind)):
        axes.plot(kind.units_per_hour, kind.savings, color=RESERVED_COLOUR, linewidth=1.5)
        axes.plot(
            [kind.units_per_hour[kind.recommended_index]],
            [kind.savings[kind.recommended_index]],
            marker="*",
            markersize=10,
            color=RESERVED_COLOUR,
            linestyle="none",
        )
        axes.set_title(f"{kind.kind} ({kind.model})", fontsize=9)
        axes.tick_params(labelsize=8)
    for axes in grid[count:]:
        axes.set_visible(False)
    figure.supxlabel("Reserved units per hour (star: the recommendation)", fontsize=9)
    figure.supylabel("Savings", fontsize=9)
    return figure


@_styled
def scatter_figure(samples: PlanSamples) -> Figure:
    """Cost against coverage of random plans, with the recommendation, peers and LP bound."""
    figure, axes = _figure(9.0, 4.2)
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
    axes.set_ylabel("Cost over the history")
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
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


def _figure(width: float, height: float) -> tuple[Figure, Axes]:
    figure = Figure(figsize=(width, height), layout="constrained")
    return figure, figure.add_subplot()


def _figure_grid(width: float, height: float, rows: int, columns: int) -> tuple[Figure, list[Axes]]:
    figure = Figure(figsize=(width, height), layout="constrained")
    return figure, list(figure.subplots(max(rows, 1), columns, squeeze=False).ravel())


def _binned(times: np.ndarray, series: list[Floats]) -> tuple[np.ndarray, list[Floats]]:
    """Averages of consecutive periods, so that at most MAX_SERIES_POINTS remain."""
    width = max(1, -(-len(times) // MAX_SERIES_POINTS))
    if width == 1:
        return times, series
    edges = np.arange(0, len(times), width)
    counts = np.diff(np.append(edges, len(times)))
    return times[edges], [np.add.reduceat(s, edges) / counts for s in series]
