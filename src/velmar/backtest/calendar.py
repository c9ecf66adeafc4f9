"""Months of a history: when the decisions fall and how the realized cost is cut for the plot.

Month k of a history starts k calendar months after its first row (the day of the month
kept, or the month's last day when it has fewer days), at the first period that starts
then or later: decisions and month ends always fall on period boundaries.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from velmar.errors import UserError
from velmar.records import UsageHistory


def month_rows(history: UsageHistory, months: npt.NDArray[np.int64]) -> npt.NDArray[np.intp]:
    """The first row of each month in `months` of the history (len(timestamps) for one starting after the last row)."""
    timestamps = history.timestamps.astype("datetime64[s]")
    month = timestamps[0].astype("datetime64[M]")
    offset = timestamps[0] - month.astype("datetime64[s]")
    target = month + months
    last_second = (target + 1).astype("datetime64[s]") - np.timedelta64(1, "s")
    rows = np.searchsorted(timestamps, np.minimum(target.astype("datetime64[s]") + offset, last_second))
    return np.asarray(rows, dtype=np.intp)


def _months_spanned(history: UsageHistory) -> int:
    """Calendar months from the first row's to the last row's: no month past it starts inside the history."""
    first, last = history.timestamps[[0, -1]].astype("datetime64[M]").astype(np.int64)
    return int(last - first)


def decision_rows(history: UsageHistory, start_months: int, every_months: int) -> tuple[int, ...]:
    """Rows of the decisions: month `start_months`, then every `every_months` months while the history lasts."""
    if start_months < 1:
        raise UserError(f"--from: {start_months} months; a rule needs at least a month of history to look at")
    if every_months < 1:
        raise UserError(f"--every: {every_months} months is below 1")
    periods = len(history.timestamps)
    rows: tuple[int, ...] = ()
    if periods:
        months = np.arange(start_months, _months_spanned(history) + 1, every_months)
        rows = tuple(int(row) for row in month_rows(history, months) if row < periods)
    if not rows:
        raise UserError(f"--from: the history ends before month {start_months}: no decision to make")
    return rows


def month_edges(history: UsageHistory, first_row: int) -> tuple[int, ...]:
    """Rows where each month from `first_row` on begins, and the end of the history."""
    periods = len(history.timestamps)
    rows = month_rows(history, np.arange(1, _months_spanned(history) + 1))
    return (first_row, *(int(row) for row in rows if first_row < row < periods), periods)
