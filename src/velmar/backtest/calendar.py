"""Months of a history: when the decisions fall and how the realized cost is cut for the plot.

Month k of a history starts k calendar months after its first row (the day of the month
kept, or the month's last day when it has fewer days), at the first period that starts
then or later: decisions and month ends always fall on period boundaries.
"""

from __future__ import annotations

import numpy as np

from velmar.errors import UserError
from velmar.records import UsageHistory


def month_row(history: UsageHistory, months: int) -> int:
    """The first row of month `months` of the history (len(timestamps) when it starts after the last row)."""
    first = history.timestamps[0].astype("datetime64[s]")
    month = first.astype("datetime64[M]")
    offset = first - month.astype("datetime64[s]")
    target = month + months
    date = min(target.astype("datetime64[s]") + offset, (target + 1).astype("datetime64[s]") - np.timedelta64(1, "s"))
    return int(np.searchsorted(history.timestamps.astype("datetime64[s]"), date))


def decision_rows(history: UsageHistory, start_months: int, every_months: int) -> tuple[int, ...]:
    """Rows of the decisions: month `start_months`, then every `every_months` months while the history lasts."""
    if start_months < 1:
        raise UserError(f"--from: {start_months} months; a rule needs at least a month of history to look at")
    if every_months < 1:
        raise UserError(f"--every: {every_months} months is below 1")
    periods = len(history.timestamps)
    rows = []
    months = start_months
    while periods and (row := month_row(history, months)) < periods:
        rows.append(row)
        months += every_months
    if not rows:
        raise UserError(f"--from: the history ends before month {start_months}: no decision to make")
    return tuple(rows)


def month_edges(history: UsageHistory, first_row: int) -> tuple[int, ...]:
    """Rows where each month from `first_row` on begins, and the end of the history."""
    periods = len(history.timestamps)
    edges = [first_row]
    months = 1
    while (row := month_row(history, months)) < periods:
        if row > first_row:
            edges.append(row)
        months += 1
    return (*edges, periods)
