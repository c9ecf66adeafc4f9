"""Usage rows to per-period matrices: one DuckDB pass over the rows, the rest on its result.

The pass sums the selected rows per group, period and kind (and per service, unit and, for
a row that reaches past its period, its exact span), with what the checks need. Everything
after it (which kinds are planned, the checks, corrections, spreading, the spend left out)
reads that far smaller table: the raw rows never reach Python, and are read again only to
name the file and row of a mistake.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from velmar.data.files import Files
from velmar.data.sql import (
    READ_ERRORS,
    Connection,
    first_line,
    identifier,
    listed,
    number,
    parse_time,
    period_seconds,
    quoted,
    timestamp,
)
from velmar.errors import UserError
from velmar.records import OutsidePlan, Period, UsageHistory

#: Units (lower case) of a quantity metered in hours: the kinds a commitment can cover.
HOUR_UNITS: frozenset[str] = frozenset({"h", "hr", "hrs", "hour", "hours", "1 hour", "1 hours"})

# A cell whose corrections leave it below this is an error; above it, rounding left it there.
_NEGATIVE = -1e-9


@dataclass(frozen=True)
class Layout:
    """Where a usage file keeps what each row says."""

    time: str
    quantity: str
    kinds: tuple[str, ...]
    #: Column of each row's end: a row reaching past its period is spread over those it covers.
    end: str | None = None
    #: Columns whose values split the rows into groups.
    groups: tuple[str, ...] = ()
    #: Column of the quantity's unit: without a list of kinds, those metered in hours are planned.
    unit: str | None = None
    #: Column whose value "Correction" marks a row that corrects earlier ones (it may be negative).
    correction: str | None = None
    currency: str | None = None
    service: str | None = None
    #: Columns of a row's cost, the first one given counting.
    costs: tuple[str, ...] = ()
    #: Group rows by their exact time (a long table), to count rows repeating a time and kind
    #: and times without an offset.
    exact_times: bool = False


@dataclass(frozen=True)
class Selection:
    """Rows of some files that satisfy a SQL condition with named parameters."""

    files: Files
    where: str
    params: Mapping[str, object]

    def narrowed(self, condition: str, params: Mapping[str, object]) -> Selection:
        return Selection(self.files, f"({self.where}) AND {condition}", {**self.params, **params})


@dataclass(frozen=True)
class Window:
    """[start, end) on the rows' times, both optional."""

    start: str | None = None
    end: str | None = None

    @property
    def given(self) -> bool:
        return self.start is not None or self.end is not None

    @property
    def label(self) -> str:
        return f", window [{self.start or '...'}, {self.end or '...'})" if self.given else ""

    def condition(self, con: Connection) -> tuple[str, dict[str, object]]:
        """SQL condition on ts, with its parameters."""
        bounds = {
            name: parse_time(con, value, name)
            for name, value in (("start", self.start), ("end", self.end))
            if value is not None
        }
        if "start" in bounds and "end" in bounds and bounds["end"] <= bounds["start"]:
            raise UserError(f"end: {self.end} is not after start {self.start}")
        operators = {"start": ">=", "end": "<"}
        condition = " AND ".join(f"ts {operators[name]} make_timestamp(${name}::BIGINT)" for name in bounds)
        return condition, {name: int(bound.astype("datetime64[us]").astype(np.int64)) for name, bound in bounds.items()}


class Aggregation:
    """The selected rows aggregated per group (one DuckDB pass); `history` reads one group's matrix.

    `kinds` are the kinds to plan; None plans those metered in hours when the layout names a
    unit column, else every kind. `services` keeps the rows of those services only.
    """

    def __init__(
        self,
        con: Connection,
        selection: Selection,
        layout: Layout,
        period: Period,
        window: Window,
        kinds: Collection[str] | None = None,
        services: Sequence[str] | None = None,
    ) -> None:
        self._con, self._selection, self._layout, self._period = con, selection, layout, period
        self._window = window
        self._window_sql, self._window_params = window.condition(con)
        self._planned = self._planned_condition(kinds)
        self._kept = self._kept_condition(services)
        self._collect()
        if services:
            self._check_services(services)
        self._split()
        cursor = con.execute("SELECT * FROM groups ORDER BY gi")
        names = [column[0] for column in cursor.description or ()]
        stats = [dict(zip(names, row)) for row in cursor.fetchall()]
        #: Each group's values of the group columns, as text (None for an empty value).
        self.keys: tuple[tuple[str | None, ...], ...] = tuple(
            tuple(group[f"g{i}"] for i in range(len(layout.groups))) for group in stats
        )
        self._stats = stats

    # --- the one pass -------------------------------------------------------------------

    def _collect(self) -> None:
        layout, step = self._layout, period_seconds(self._period)
        keys = _columns("g", len(layout.groups), ", ") + _columns("k", len(layout.kinds), ", ")
        keys += "".join(f"{name}, " for name in ("unit", "service") if getattr(layout, name))
        if layout.exact_times:
            t = "CAST(epoch(ts) AS BIGINT)"
        else:
            t = f"CAST(epoch(date_trunc('{'hour' if self._period == 'H' else 'day'}', ts)) AS BIGINT)"
        spread = "NULL::DOUBLE AS spread_from, NULL::DOUBLE AS spread_to"
        if layout.end:
            reach = f"epoch(ends) - t > {step}"
            spread = (
                f"CASE WHEN {reach} THEN epoch(ts) END AS spread_from, "
                f"CASE WHEN {reach} THEN epoch(ends) END AS spread_to"
            )
        stats = [
            "sum(amount) AS quantity",
            "count(raw_quantity) - count(*) FILTER (WHERE isfinite(amount)) AS non_numeric",
            f"min(amount){' FILTER (WHERE NOT correction)' if layout.correction else ''} AS smallest",
            "min(currency) AS currency_low, max(currency) AS currency_high"
            if layout.currency
            else "NULL AS currency_low, NULL AS currency_high",
            "sum(cost) AS spend" if layout.costs else "0.0 AS spend",
            "max(epoch(ends) - epoch(date_trunc('hour', ts))) AS hour_reach"
            if layout.end and self._period == "D"
            else "NULL AS hour_reach",
            "count(*) - 1 AS repeats" if layout.exact_times else "0 AS repeats",
            "count(*) FILTER (WHERE NOT regexp_matches(CAST(raw_time AS VARCHAR), '(Z|[+-]\\d\\d(:?\\d\\d)?)$')) "
            "AS naive"
            if layout.exact_times
            else "0 AS naive",
        ]
        try:
            self._con.execute(
                f"""CREATE TEMP TABLE row_groups AS
                SELECT {keys}t, spread_from, spread_to, {", ".join(stats)}
                FROM (SELECT *, {spread} FROM (SELECT *, {t} AS t FROM ({self._rows(self._selection)})))
                GROUP BY {keys}t, spread_from, spread_to""",
                self._params(),
            )
        except READ_ERRORS as error:
            raise UserError(f"{self._selection.files.label}: cannot read: {first_line(error)}") from None

    def _split(self) -> None:
        """Groups (every group with kept rows, planned or not, so that none is lost without a word), the
        planned rows' cells (spread over the periods they cover) and the spend left out."""
        con, layout, step = self._con, self._layout, period_seconds(self._period)
        groups = _columns("g", len(layout.groups), ", ").rstrip(", ")
        order = f"ORDER BY {groups}" if groups else ""
        same_group = " AND ".join(f"r.g{i} IS NOT DISTINCT FROM groups.g{i}" for i in range(len(layout.groups)))
        join = f"row_groups r JOIN groups ON {same_group or 'true'}"
        planned = f"({self._kept}) AND coalesce({self._planned}, false)"
        self._kept_rows = con.one(f"SELECT count(*) FROM row_groups WHERE {self._kept}")[0]
        con.execute(
            f"""CREATE TEMP TABLE groups AS
            SELECT row_number() OVER ({order}) - 1 AS gi, *
            FROM (SELECT {groups + ", " if groups else ""}count(*) FILTER (WHERE t IS NULL AND {planned}) AS bad_times,
                         sum(non_numeric) FILTER (WHERE {planned}) AS non_numeric,
                         min(smallest) FILTER (WHERE {planned}) AS smallest,
                         min(currency_low) FILTER (WHERE {planned}) AS currency_low,
                         max(currency_high) FILTER (WHERE {planned}) AS currency_high,
                         max(hour_reach) FILTER (WHERE {planned}) AS hour_reach,
                         sum(repeats) FILTER (WHERE {planned}) AS repeats, sum(naive) FILTER (WHERE {planned}) AS naive
                  FROM row_groups WHERE {self._kept} {"GROUP BY ALL" if groups else ""})"""
        )
        con.execute(
            f"""CREATE TEMP TABLE planned_rows AS
            SELECT gi, {_kind_name(layout.kinds)} AS kind, t, spread_from, spread_to, quantity
            FROM {join} WHERE {planned} AND quantity IS NOT NULL AND t IS NOT NULL"""
        )
        con.execute(
            f"""CREATE TEMP TABLE cells AS
            SELECT CAST(gi AS INTEGER) AS gi, kind, t, sum(quantity) AS quantity FROM (
                SELECT gi, kind, t // {step} * {step} AS t, quantity FROM planned_rows WHERE spread_from IS NULL
                UNION ALL
                SELECT gi, kind, p, quantity * (least(p + {step}, spread_to) - greatest(p, spread_from))
                                    / (spread_to - spread_from)
                FROM (SELECT *, unnest(range(t, CAST(ceil(spread_to) AS BIGINT), {step})) AS p
                      FROM planned_rows WHERE spread_from IS NOT NULL)
            ) GROUP BY ALL ORDER BY gi"""
        )
        con.execute(
            """CREATE TEMP TABLE group_kinds AS
            SELECT gi, kind, CAST(row_number() OVER (PARTITION BY gi ORDER BY kind) - 1 AS INTEGER) AS col
            FROM (SELECT DISTINCT gi, kind FROM cells)"""
        )
        con.execute(
            f"""CREATE TEMP TABLE outside AS
            SELECT gi, service, sum(spend) AS spend FROM (
                SELECT gi, {"r.service" if layout.service else "NULL"} AS service, spend
                FROM {join} WHERE ({self._kept}) AND NOT coalesce({self._planned}, false))
            GROUP BY ALL"""
        )
        con.execute("DROP TABLE row_groups")

    # --- one group ------------------------------------------------------------------------

    def kinds(self) -> tuple[str, ...]:
        """Every planned kind with usage in any group, sorted."""
        return tuple(self._con.column("SELECT DISTINCT kind FROM group_kinds ORDER BY kind"))

    def history(self, index: int, source: str) -> UsageHistory | None:
        """Group `index`'s usage, None when it has no usage; a UserError names its first bad row."""
        con, stats, step = self._con, self._stats[index], period_seconds(self._period)
        self._raise_first_problem(index, stats)
        currency = self._currency(index, stats)
        self._raise_negative_cell(index)
        first, last = con.one(f"SELECT min(t), max(t) FROM cells WHERE gi = {int(index)}")
        if first is None:
            return None
        names = con.column(f"SELECT kind FROM group_kinds WHERE gi = {int(index)} ORDER BY col")
        cell = con.execute(
            f"""SELECT CAST((t - {first}) // {step} AS INTEGER) AS row, col, greatest(quantity, 0) AS quantity
                FROM cells JOIN group_kinds USING (gi, kind) WHERE gi = {int(index)}"""
        ).fetchnumpy()
        usage = np.zeros(((last - first) // step + 1, len(names)), dtype=np.float64)
        np.add.at(usage, (cell["row"].astype(np.intp), cell["col"].astype(np.intp)), cell["quantity"])
        timestamps = (first + step * np.arange(usage.shape[0], dtype=np.int64)).astype("datetime64[s]")
        hourly = self._period == "D" and stats["hour_reach"] is not None and stats["hour_reach"] <= 3600
        notes = [*self._spread_notes(index), *self._table_notes(stats)]
        if hourly:
            notes.append("the rows are hourly, planned by day: a day's hours share its commitments")
        return UsageHistory(
            timestamps,
            tuple(names),
            usage,
            self._period,
            source=source + self._window.label,
            currency=currency,
            outside_plan=self.outside(index) if self._layout.unit or self._layout.service else None,
            notes=tuple(notes),
            hourly_rows=hourly,
        )

    def explain_empty(self) -> None:
        """Raises the reason a selection without planned usage has none, if it can tell one."""
        if self._window.given:
            first, last = self._con.one(
                f"SELECT min(ts), max(ts) FROM ({self._rows(self._selection, window=False)})", self._selection.params
            )
            if first is not None:
                raise UserError(
                    f"{self._selection.files.label}: no usage in the window [{self._window.start or '...'}, "
                    f"{self._window.end or '...'}); the data runs from {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M}"
                )
        if self._kept_rows:
            label = self._selection.files.label
            if self._layout.unit:
                raise UserError(
                    f"{label}: column '{self._layout.unit}': no usage metered in hours; "
                    "give a price file naming the kinds to plan"
                )
            raise UserError(f"{label}: no usage of the kinds to plan (those the price file names)")

    # --- checks and notes ---------------------------------------------------------------

    def _raise_first_problem(self, index: int, stats: Mapping[str, Any]) -> None:
        """Names the file, column, row and value of the first bad planned row."""
        layout, negative = self._layout, stats["smallest"] is not None and stats["smallest"] < 0
        checks = [
            (stats["bad_times"], "ts IS NULL", layout.time, "raw_time", "is not a date and time"),
            (
                stats["non_numeric"],
                "raw_quantity IS NOT NULL AND NOT coalesce(isfinite(amount), false)",
                layout.quantity,
                "raw_quantity",
                "is not a number",
            ),
            (
                negative,
                "amount < 0" + (" AND NOT correction" if layout.correction else ""),
                layout.quantity,
                "raw_quantity",
                "is negative",
            ),
        ]
        for found, condition, column, value, problem in checks:
            if found:
                rows, params = self._group_rows(index, with_filename=True)
                path, row_start, text = self._con.one(
                    f"""SELECT filename, CAST(raw_time AS VARCHAR), CAST({value} AS VARCHAR)
                        FROM ({rows}) WHERE {condition} LIMIT 1""",
                    params,
                )
                where = "" if column == layout.time else f", row starting {row_start}"
                raise UserError(f"{path}: column '{column}'{where}: {quoted(text)} {problem}")

    def _currency(self, index: int, stats: Mapping[str, Any]) -> str | None:
        if stats["currency_low"] == stats["currency_high"]:
            return None if stats["currency_low"] is None else str(stats["currency_low"])
        rows, params = self._group_rows(index)
        found = self._con.column(
            f"SELECT DISTINCT currency FROM ({rows}) WHERE currency IS NOT NULL ORDER BY 1", params
        )
        raise UserError(
            f"{self._selection.files.label}: column '{self._layout.currency}': the usage to plan is in "
            f"{len(found)} currencies ({listed(found)}); plan one currency at a time"
        )

    def _raise_negative_cell(self, index: int) -> None:
        row = self._con.execute(
            f"SELECT kind, t, quantity FROM cells WHERE gi = {int(index)} AND quantity < {_NEGATIVE} "
            "ORDER BY t, kind LIMIT 1"
        ).fetchone()
        if row is None:
            return
        kind, t, quantity = row
        rows, params = self._group_rows(index, with_filename=True)
        reaches = "coalesce(epoch(ends), epoch(ts))" if self._layout.end else "epoch(ts)"
        paths = self._con.column(
            f"""SELECT DISTINCT filename FROM ({rows}) WHERE {_kind_name(self._layout.kinds)} = $kind
                AND epoch(ts) < {t + period_seconds(self._period)} AND {reaches} >= {t} ORDER BY 1""",
            {**params, "kind": kind},
        )
        period = np.datetime64(int(t), "s")
        raise UserError(
            f"{listed(paths)}: usage of '{kind}' in the period starting {period} is {quantity:.6g} "
            "after corrections (negative)"
        )

    def _spread_notes(self, index: int) -> list[str]:
        rows = self._con.all(
            f"""SELECT kind, sum(quantity) FILTER (WHERE spread_from IS NOT NULL) / sum(quantity) AS share
                FROM planned_rows WHERE gi = {int(index)} GROUP BY kind
                HAVING count(spread_from) > 0 ORDER BY kind"""
        )
        return [
            f"usage of '{kind}' spread over several periods: {share:.1%} of its quantity"
            for kind, share in rows
            if share is not None
        ]

    def _table_notes(self, stats: Mapping[str, Any]) -> list[str]:
        notes = []
        if stats["naive"]:
            notes.append(f"{stats['naive']} times without an offset (column '{self._layout.time}') were taken as UTC")
        if stats["repeats"]:
            notes.append(f"{stats['repeats']} rows repeated a time and kind of an earlier row and were added to it")
        return notes

    def outside(self, index: int) -> OutsidePlan:
        rows = self._con.all(
            f"SELECT service, sum(spend) AS spend FROM outside WHERE gi = {int(index)} GROUP BY service "
            "ORDER BY spend DESC NULLS LAST, service"
        )
        total = float(sum(spend for _, spend in rows if spend is not None))
        top = [(str(service), float(spend)) for service, spend in rows if service is not None and spend is not None]
        return OutsidePlan(total, tuple(top[:5]))

    def _check_services(self, services: Sequence[str]) -> None:
        known = self._con.column("SELECT DISTINCT service FROM row_groups WHERE service IS NOT NULL ORDER BY 1")
        unknown = [name for name in services if name not in known]
        if unknown:
            raise UserError(
                f"{self._selection.files.label}: column '{self._layout.service}': no usage of service "
                f"'{unknown[0]}' (services: {listed(known, 10)})"
            )

    # --- SQL ------------------------------------------------------------------------------

    def _planned_condition(self, kinds: Collection[str] | None) -> str:
        if kinds is not None:
            self._con.execute(
                "CREATE TEMP TABLE planned_kinds AS SELECT unnest($kinds::VARCHAR[]) AS kind", {"kinds": list(kinds)}
            )
            return f"{_kind_name(self._layout.kinds)} IN (SELECT kind FROM planned_kinds)"
        if self._layout.unit:
            units = ", ".join(f"'{unit}'" for unit in sorted(HOUR_UNITS))
            return f"lower(trim(unit)) IN ({units})"
        return "true"

    def _kept_condition(self, services: Sequence[str] | None) -> str:
        if not services:
            return "true"
        if not self._layout.service:
            raise UserError(f"{self._selection.files.label}: column 'ServiceName' is missing (to keep services)")
        self._con.execute(
            "CREATE TEMP TABLE kept_services AS SELECT unnest($names::VARCHAR[]) AS name", {"names": list(services)}
        )
        return "service IN (SELECT name FROM kept_services)"

    def _group_rows(self, index: int, with_filename: bool = False) -> tuple[str, dict[str, object]]:
        """SQL of group `index`'s planned rows (read again to name a bad one), with its parameters."""
        key = self.keys[index]
        conditions = [f"({self._kept})", f"coalesce({self._planned}, false)"]
        conditions += [f"g{i} IS NOT DISTINCT FROM $group_{i}" for i in range(len(key))]
        rows = self._rows(self._selection, with_filename)
        params = {**self._params(), **{f"group_{i}": value for i, value in enumerate(key)}}
        return f"SELECT * FROM ({rows}) WHERE {' AND '.join(conditions)}", params

    def _params(self) -> dict[str, object]:
        return {**self._selection.params, **self._window_params}

    def _rows(self, selection: Selection, with_filename: bool = False, window: bool = True) -> str:
        return rows_sql(selection, self._layout, self._window_sql if window else "", with_filename)


def rows_sql(selection: Selection, layout: Layout, window: str, with_filename: bool = False) -> str:
    """SQL of the selected rows in the window (and those without a time, to report them): ts, ends,
    amount, k0..kn, g0..gn, unit, service, correction, currency, cost, and the raw values raw_time,
    raw_end and raw_quantity."""
    columns = [f"{timestamp(layout.time)} AS ts", f"{identifier(layout.time)} AS raw_time"]
    if layout.end:
        columns += [f"{timestamp(layout.end)} AS ends", f"{identifier(layout.end)} AS raw_end"]
    columns += [f"{identifier(layout.quantity)} AS raw_quantity", f"{number(layout.quantity)} AS amount"]
    columns += [f"CAST({identifier(c)} AS VARCHAR) AS k{i}" for i, c in enumerate(layout.kinds)]
    columns += [f"CAST({identifier(c)} AS VARCHAR) AS g{i}" for i, c in enumerate(layout.groups)]
    for name in ("unit", "service", "currency"):
        column = getattr(layout, name)
        if column:
            columns.append(f"CAST({identifier(column)} AS VARCHAR) AS {name}")
    if layout.correction:
        columns.append(
            f"coalesce(CAST({identifier(layout.correction)} AS VARCHAR) = 'Correction', false) AS correction"
        )
    if layout.costs:
        columns.append(f"coalesce({', '.join(number(column) for column in layout.costs)}) AS cost")
    if with_filename:
        columns.append("filename")
    rows = f"SELECT {', '.join(columns)} FROM {selection.files.scan(with_filename)} WHERE {selection.where}"
    return f"SELECT * FROM ({rows}) WHERE ts IS NULL OR ({window})" if window else rows


def _kind_name(kinds: Sequence[str]) -> str:
    """SQL of a kind's name: the kind columns k0..kn joined by "/"."""
    return "concat_ws('/', " + ", ".join(f"coalesce(k{index}, '')" for index in range(len(kinds))) + ")"


def _columns(prefix: str, count: int, separator: str) -> str:
    """ "g0, g1, " for ("g", 2, ", "): numbered columns, each followed by the separator."""
    return "".join(f"{prefix}{index}{separator}" for index in range(count))
