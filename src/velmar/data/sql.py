"""The DuckDB connection every loader uses, and small SQL and text helpers."""

from __future__ import annotations

import tempfile
from collections.abc import Iterator, Mapping
from contextlib import ExitStack, contextmanager
from typing import Any

import duckdb
import numpy as np

from velmar.errors import UserError
from velmar.records import HOURS_PER_PERIOD

#: What DuckDB raises for a file it cannot read or a value it cannot convert.
READ_ERRORS = (duckdb.IOException, duckdb.InvalidInputException, duckdb.ConversionException)


@contextmanager
def _interrupt_as_ctrl_c() -> Iterator[None]:
    """DuckDB answers Ctrl-C by cancelling its query with an error of its own: raise it as the interrupt it is."""
    try:
        yield
    except (duckdb.InterruptException, RuntimeError) as error:
        if isinstance(error, duckdb.InterruptException) or str(error) == "Query interrupted":
            raise KeyboardInterrupt from None
        raise


class Connection:
    """A DuckDB connection whose queries answer Ctrl-C with KeyboardInterrupt.

    DuckDB notices the interrupt itself, cancels the query and raises an error of its own
    ("Query interrupted"); callers would take that for a failed read.
    """

    def __init__(self, con: duckdb.DuckDBPyConnection) -> None:
        self._con = con

    def execute(self, query: str, params: Mapping[str, object] | None = None) -> duckdb.DuckDBPyConnection:
        with _interrupt_as_ctrl_c():
            return self._con.execute(query, dict(params or {}))

    def register(self, name: str, data: object) -> None:
        """Makes `data` (a mapping of NumPy columns, a data frame) queryable as table `name`."""
        self._con.register(name, data)

    def one(self, query: str, params: Mapping[str, object] | None = None) -> tuple[Any, ...]:
        """The one row of an aggregate query."""
        row = self.execute(query, params).fetchone()
        assert row is not None, "an aggregate query returns one row"
        return tuple(row)

    def all(self, query: str, params: Mapping[str, object] | None = None) -> list[tuple[Any, ...]]:
        return [tuple(row) for row in self.execute(query, params).fetchall()]

    def column(self, query: str, params: Mapping[str, object] | None = None) -> list[str]:
        """The first column of every row, as text."""
        return [str(row[0]) for row in self.all(query, params)]


@contextmanager
def connection(spill_directory: str | None = None, memory_limit: str | None = None) -> Iterator[Connection]:
    """A connection in UTC; with `memory_limit` (such as "2GB") DuckDB spills what exceeds it to
    `spill_directory`, or else to a temporary directory removed afterwards (never the working one)."""
    with ExitStack() as cleanup:
        if memory_limit is not None and spill_directory is None:
            spill_directory = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="velmar-spill-"))
        con = duckdb.connect()
        cleanup.callback(con.close)
        con.execute("SET TimeZone = 'UTC'; SET enable_progress_bar = false")
        if spill_directory is not None:
            con.execute(f"SET temp_directory = {literal(spill_directory)}")
        if memory_limit is not None:
            con.execute(f"SET memory_limit = {literal(memory_limit)}")
        yield Connection(con)


def parse_time(con: Connection, value: str | None, what: str) -> np.datetime64:
    """A date or date and time (UTC unless it gives an offset), to the second."""
    seconds = None
    if value is not None:
        (seconds,) = con.one(f"SELECT CAST(epoch({timestamp('v')}) AS BIGINT) FROM (SELECT $v AS v)", {"v": value})
    if seconds is None:
        raise UserError(f"{what}: '{value or ''}' is not a date or date and time")
    return np.datetime64(int(seconds), "s")


def timestamp(column: str) -> str:
    """SQL of a column read as a UTC timestamp (NULL when it is not one)."""
    return f"TRY_CAST(TRY_CAST({identifier(column)} AS TIMESTAMPTZ) AS TIMESTAMP)"


def number(column: str) -> str:
    return f"TRY_CAST({identifier(column)} AS DOUBLE)"


def period_seconds(period: str) -> int:
    return 3600 * HOURS_PER_PERIOD[period]


def check_period(period: str) -> None:
    if period not in HOURS_PER_PERIOD:
        raise UserError(f"period: '{period}' is not 'H' (hours) or 'D' (days)")


def identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def quoted(value: object) -> str:
    return "an empty value" if value is None else f"'{value}'"


def first_line(error: Exception) -> str:
    return str(error).strip().splitlines()[0]


def listed(values: list[str], limit: int = 5) -> str:
    """Up to `limit` values, comma-separated, with "..." when there are more."""
    return ", ".join(values[:limit]) + (", ..." if len(values) > limit else "")
