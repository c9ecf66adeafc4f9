"""The summary page of a batch: totals over every group, savings per group, and the groups to look at.

A figure a row holds as null (coverage of a group without usage; every figure of an older
or damaged row) is shown as "-" and left out of every sum and ranking: the page is always
written.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from matplotlib.figure import Figure

from velmar.atomic import write_atomically
from velmar.batch.results import NO_USAGE, Row, failed
from velmar.report import plots
from velmar.report.formatting import money, share
from velmar.report.page import cards, escape, html_figure, html_section, html_table, note, page

#: Groups drawn in the savings figure and listed in each table of groups to look at.
FIGURE_GROUPS, WATCH_GROUPS, LISTED_GROUPS = 30, 10, 500


@dataclass(frozen=True)
class _Group:
    """One group's figures, taken from the first of its rows (they repeat on each)."""

    name: str
    row: Row

    def figure(self, name: str) -> float | None:
        """A figure of the group's plan; None when the row has none."""
        value = self.row.get(name)
        return float(value) if isinstance(value, (int, float)) and math.isfinite(value) else None

    def shown(self, name: str, form: Callable[[float], str]) -> str:
        value = self.figure(name)
        return "-" if value is None else form(value)


def _percent(value: float) -> str:
    return f"{value:.2f}%"


def _total(groups: Sequence[_Group], name: str) -> float:
    return sum(value for g in groups if (value := g.figure(name)) is not None)


def _ranked(groups: Sequence[_Group], name: str, descending: bool) -> list[_Group]:
    """The groups that have the figure, by it."""
    known = [g for g in groups if g.figure(name) is not None]
    return sorted(known, key=lambda g: g.figure(name) or 0.0, reverse=descending)


def write_summary(path: str | os.PathLike[str], rows: Sequence[Row], by: Sequence[str], source: str) -> None:
    """Write the self-contained summary page of a batch's rows, whole or not at all."""
    groups: dict[str, _Group] = {}
    for row in rows:
        name = " / ".join("(empty)" if row.get(column) is None else str(row[column]) for column in by)
        groups.setdefault(name, _Group(name, row))
    planned = [g for g in groups.values() if not failed([g.row])]
    not_planned = [g for g in groups.values() if failed([g.row])]
    sections = [
        _header(planned, not_planned, by, source),
        html_section("Savings per group", _savings(_ranked(planned, "savings", descending=True))),
        html_section("Largest gaps to the proven bound", html_table(
            ["Group", "Cost of the plan", "Proven lower bound", "Gap", "Method"],
            [[g.name, g.shown("cost", money), g.shown("lower_bound", money), g.shown("gap_percent", _percent),
              g.row.get("method") or "-"] for g in _ranked(planned, "gap_percent", descending=True)[:WATCH_GROUPS]],
        )),
        html_section("Lowest coverage", html_table(
            ["Group", "Coverage", "Savings", "All on demand"],
            [[g.name, g.shown("coverage", share), g.shown("savings", money), g.shown("on_demand_cost", money)]
             for g in _ranked(planned, "coverage", descending=False)[:WATCH_GROUPS]],
        )),
    ]  # fmt: skip
    if not_planned:
        sections.append(html_section(f"Groups not planned ({len(not_planned)})", html_table(
            ["Group", "Error"], [[g.name, g.row.get("error") or "-"] for g in not_planned[:LISTED_GROUPS]]
        )))  # fmt: skip
    write_atomically(path, page("Batch plan summary", sections))


def _header(planned: list[_Group], not_planned: list[_Group], by: Sequence[str], source: str) -> str:
    cost, on_demand, bound = (_total(planned, name) for name in ("cost", "on_demand_cost", "lower_bound"))
    pairs = [(g.figure("coverage"), g.figure("on_demand_cost")) for g in planned]
    weighted = [(c, d) for c, d in pairs if c is not None and d]
    covered, weight = sum(c * d for c, d in weighted), sum(d for _, d in weighted)
    idle = sum(1 for g in planned if g.row.get("note") == NO_USAGE)
    detail = [f"{len(not_planned):,} not planned" if not_planned else "every group"]
    planned_detail = ", ".join(detail + ([f"{idle:,} with no usage"] if idle else []))
    items = [
        ("Groups planned", f"{len(planned):,}", planned_detail),
        ("Savings", money(on_demand - cost), f"{share((on_demand - cost) / on_demand if on_demand else 0.0)} "
                                             f"of all on demand ({money(on_demand)})"),
        ("Cost of the plans", money(cost), f"proven lower bound: {money(bound)}"),
        ("Coverage", share(covered / weight) if weight else "-", "weighted by each group's on-demand cost"),
    ]  # fmt: skip
    lead = f"Portfolio-wide totals over the planned groups of {source}, one plan per {' / '.join(by)}."
    return f'<h1>Batch plan summary</h1>\n<p class="lead">{escape(lead)}</p>\n{cards(items)}'


def _savings(by_savings: list[_Group]) -> str:
    if not by_savings:
        return note("No group was planned.")
    shown = by_savings[:FIGURE_GROUPS]
    rest = len(by_savings) - len(shown)
    caption = "Savings of each group's plan against paying all its usage on demand, over its history" + (
        f"; the {len(shown)} groups that save most of {len(by_savings):,}." if rest else "."
    )
    listed = html_table(
        ["Group", "Savings", "Share of on demand", "Cost of the plan", "Coverage", "Gap"],
        [[g.name, g.shown("savings", money), g.shown("savings_rate", share), g.shown("cost", money),
          g.shown("coverage", share), g.shown("gap_percent", _percent)] for g in by_savings[:LISTED_GROUPS]],
    )  # fmt: skip
    more = (
        note(f"The {LISTED_GROUPS} groups that save most; results.csv lists all.")
        if len(by_savings) > LISTED_GROUPS
        else ""
    )
    return html_figure(plots.to_svg(_savings_figure(shown), "savings"), caption) + listed + more


def _savings_figure(groups: list[_Group]) -> Figure:
    figure = Figure(figsize=(9.0, 0.8 + 0.24 * len(groups)), layout="constrained")
    axes = figure.add_subplot()
    names = [g.name for g in reversed(groups)]
    axes.barh(names, [g.figure("savings") or 0.0 for g in reversed(groups)], color=plots.SAVINGS_PLAN_COLOUR)
    axes.set_xlabel("Savings against all on demand, over the history")
    axes.tick_params(axis="y", labelsize=8)
    axes.grid(axis="x", color="#e6e6e6")
    axes.set_axisbelow(True)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)
    return figure
