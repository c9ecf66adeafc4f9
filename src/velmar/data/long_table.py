"""Usage of a long table: one row per time and kind, with the quantity used."""

from __future__ import annotations

from velmar.data.files import export_of, require_columns
from velmar.data.sql import check_period, connection
from velmar.data.usage import Aggregation, Layout, Selection, Window
from velmar.errors import UserError
from velmar.records import Period, UsageHistory


def load_long_table(path: str, period: Period = "H", start: str | None = None, end: str | None = None) -> UsageHistory:
    """Usage of a table with columns `timestamp`, `kind`, `quantity` and optionally `currency` (CSV or Parquet).

    `quantity` is unit-hours consumed from `timestamp` on (UTC unless it gives an offset);
    rows of the same time and kind add up; `start`/`end` keep rows with `timestamp` in [start, end).
    """
    check_period(period)
    with connection() as con:
        files = export_of(con, path).usage
        require_columns(files, ["timestamp", "kind", "quantity"], focus=False)
        currency = "currency" if files.has_column("currency") else None
        layout = Layout("timestamp", "quantity", ("kind",), currency=currency, exact_times=True)
        aggregation = Aggregation(con, Selection(files, "true", {}), layout, period, Window(start, end))
        history = aggregation.history(0, f"usage table {files.label}")
        if history is None:
            aggregation.explain_empty()
            raise UserError(f"{files.label}: no rows")
        return history
