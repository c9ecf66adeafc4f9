"""Usage rows to per-period matrices: two DuckDB passes over the rows, the rest on their results.

The first pass sums, per combination of group, kind, unit, service and currency (a small
table), what the checks, the notes and the spend left out need; which kinds are planned and
each group's columns follow from it. The second sums the planned rows per group, kind column
and period (and, for a row that reaches past its period, its exact span), keyed by small
integers so that its large table stays small; spreading and corrections read that table. The
raw rows never reach Python, and are read again only to name the file and row of a mistake.
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
# Bits of a combination's `problems`: a row whose quantity is not a number, a negative row that is no correction.
_NOT_A_NUMBER, _NEGATIVE_ROW = 1, 2
#: SQL: a row whose quantity is given but is not a finite number.
_NOT_A_NUMBER_SQL = "raw_quantity IS NOT NULL AND NOT coalesce(isfinite(amount), false)"


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
    """The selected rows aggregated per group (two DuckDB passes); `history` reads one group's matrix.

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
        self._con, self._selection, self._layout = con, selection, layout
        self._period: Period = period
        self._window = window
        self._window_sql, self._window_params = window.condition(con)
        self._planned = self._planned_condition(kinds)
        self._kept = self._kept_condition(services)
        # Whether a row's unit or service decides if it is planned.
        self._by_unit, self._by_service = kinds is None and layout.unit is not None, bool(services)
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

    # --- the two passes -------------------------------------------------------------------

    def _periods(self) -> str:
        """SQL of each row's columns t (its period's start in seconds; the exact time for a long table,
        which counts rows repeating one) and, for a row reaching past its period, spread_from and spread_to."""
        layout, step = self._layout, period_seconds(self._period)
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
        return f"SELECT *, {spread} FROM (SELECT *, {t} AS t FROM ({self._rows(self._selection)}))"

    def _collect(self) -> None:
        """The first pass: per combination of group, kind, unit, service and currency (a small table), what
        the checks, the notes and the spend left out need."""
        layout, keys = self._layout, self._combination_keys()
        stats = [
            "count(*) FILTER (WHERE t IS NULL) AS bad_times",
            f"""bit_or(CASE WHEN {_NOT_A_NUMBER_SQL} THEN {_NOT_A_NUMBER} ELSE 0 END
                       | CASE WHEN {self._negative_sql()} THEN {_NEGATIVE_ROW} ELSE 0 END) AS problems""",
            "sum(cost) AS spend" if layout.costs else "0.0 AS spend",
            "max(epoch(ends) - epoch(date_trunc('hour', ts))) AS hour_reach"
            if layout.end and self._period == "D"
            else "NULL AS hour_reach",
            # Rows repeating a time and kind: every row but the first of each time.
            "count(*) - count(DISTINCT t) - CAST(count(*) > count(t) AS INTEGER) AS repeats, "
            "count(*) FILTER (WHERE NOT regexp_matches(CAST(raw_time AS VARCHAR), '(Z|[+-]\\d\\d(:?\\d\\d)?)$')) "
            "AS naive"
            if layout.exact_times
            else "0 AS repeats, 0 AS naive",
            "count(*) FILTER (WHERE amount IS NOT NULL AND t IS NOT NULL) AS cell_rows",
            "sum(amount) FILTER (WHERE t IS NOT NULL) AS quantity",
            "sum(amount) FILTER (WHERE spread_from IS NOT NULL) AS spread_quantity",
            "count(amount) FILTER (WHERE spread_from IS NOT NULL) AS spread_rows",
        ]
        try:
            self._con.execute(
                f"""CREATE TEMP TABLE combination_stats AS
                SELECT *, {_kind_name(layout.kinds)} AS kind, ({self._kept}) AS kept,
                       ({self._kept}) AND coalesce({self._planned}, false) AS planned
                FROM (SELECT {keys}, {", ".join(stats)} FROM ({self._periods()}) GROUP BY {keys})""",
                self._params(),
            )
        except READ_ERRORS as error:
            raise UserError(f"{self._selection.files.label}: cannot read: {first_line(error)}") from None

    def _split(self) -> None:
        """The groups (every group with kept rows, planned or not, so that none is lost without a word),
        the columns of each group's planned kinds, the spend left out, then the second pass: the cells."""
        con, layout = self._con, self._layout
        groups = ", ".join(self._group_columns())
        self._kept_rows = con.one("SELECT count(*) FROM combination_stats WHERE kept")[0]
        planned = "FILTER (WHERE planned)"
        currency = (
            f"min(currency) {planned} AS currency_low, max(currency) {planned} AS currency_high"
            if layout.currency
            else "NULL AS currency_low, NULL AS currency_high"
        )
        con.execute(
            f"""CREATE TEMP TABLE groups AS
            SELECT row_number() OVER ({f"ORDER BY {groups}" if groups else ""}) - 1 AS gi, *
            FROM (SELECT {groups + ", " if groups else ""}sum(bad_times) {planned} AS bad_times,
                         bit_or(problems) {planned} AS problems, {currency},
                         max(hour_reach) {planned} AS hour_reach,
                         sum(repeats) {planned} AS repeats, sum(naive) {planned} AS naive
                  FROM combination_stats WHERE kept {"GROUP BY ALL" if groups else ""})"""
        )
        same_group = " AND ".join(f"s.g{i} IS NOT DISTINCT FROM groups.g{i}" for i in range(len(layout.groups)))
        con.execute(
            f"""CREATE TEMP TABLE combinations AS
            SELECT CAST(gi AS INTEGER) AS gi, s.* FROM combination_stats s JOIN groups ON {same_group or "true"}
            WHERE s.kept"""
        )
        con.execute("DROP TABLE combination_stats")
        con.execute(
            """CREATE TEMP TABLE group_kinds AS
            SELECT gi, kind, CAST(row_number() OVER (PARTITION BY gi ORDER BY kind) - 1 AS INTEGER) AS col
            FROM (SELECT DISTINCT gi, kind FROM combinations WHERE planned AND cell_rows > 0)"""
        )
        con.execute(
            f"""CREATE TEMP TABLE outside AS
            SELECT gi, {"service" if layout.service else "NULL AS service"}, sum(spend) AS spend
            FROM combinations WHERE NOT planned GROUP BY ALL"""
        )
        self._collect_cells()

    def _collect_cells(self) -> None:
        """The second pass: the planned usage per group, kind and period, keyed by the group's and the kind
        column's numbers (small integers keep the large table small), then spread over the periods a row
        covers, by overlap, and ordered by group, so that reading one group reads its own rows only. A cell
        may come in several rows (the matrix adds them)."""
        step = period_seconds(self._period)
        keys = self._cell_keys()
        self._con.execute(
            f"""CREATE TEMP TABLE cell_keys AS
            SELECT DISTINCT {", ".join(f"c.{key}" for key in keys)}, c.gi, k.col
            FROM combinations c JOIN group_kinds k ON c.gi = k.gi AND c.kind = k.kind WHERE c.planned"""
        )
        same = " AND ".join(f"r.{key} IS NOT DISTINCT FROM k.{key}" for key in keys)
        self._con.execute(
            f"""CREATE TEMP TABLE period_cells AS
            SELECT gi, col, t // {step} * {step} AS t, spread_from, spread_to, sum(amount) AS quantity
            FROM ({self._periods()}) r JOIN cell_keys k ON {same}
            WHERE r.t IS NOT NULL AND r.amount IS NOT NULL GROUP BY ALL""",
            self._params(),
        )
        self._con.execute(
            f"""CREATE TEMP TABLE cells AS
            SELECT gi, col, t, quantity FROM period_cells WHERE spread_from IS NULL
            UNION ALL
            SELECT gi, col, p, quantity * (least(p + {step}, spread_to) - greatest(p, spread_from))
                               / (spread_to - spread_from)
            FROM (SELECT *, unnest(range(t, CAST(ceil(spread_to) AS BIGINT), {step})) AS p
                  FROM period_cells WHERE spread_from IS NOT NULL)
            ORDER BY gi"""
        )
        self._con.execute("DROP TABLE period_cells")

    def _combination_keys(self) -> str:
        """The columns whose values decide what a row's usage is: group, kind, unit, service, currency."""
        extra = [name for name in ("unit", "service", "currency") if getattr(self._layout, name)]
        return ", ".join(self._group_and_kind_columns() + extra)

    def _cell_keys(self) -> list[str]:
        """The columns that decide a row's group, kind column and whether it is planned."""
        extra = [name for name, decides in (("unit", self._by_unit), ("service", self._by_service)) if decides]
        return self._group_and_kind_columns() + extra

    def _group_columns(self) -> list[str]:
        return [f"g{i}" for i in range(len(self._layout.groups))]

    def _group_and_kind_columns(self) -> list[str]:
        return self._group_columns() + [f"k{i}" for i in range(len(self._layout.kinds))]

    # --- one group ------------------------------------------------------------------------

    def kinds(self) -> tuple[str, ...]:
        """Every planned kind with usage in any group, sorted."""
        return tuple(self._con.column("SELECT DISTINCT kind FROM group_kinds ORDER BY kind"))

    def history(self, index: int, source: str) -> UsageHistory | None:
        """Group `index`'s usage, None when it has no usage; a UserError names its first bad row."""
        con, stats, step = self._con, self._stats[index], period_seconds(self._period)
        self._raise_first_problem(index, stats)
        currency = self._currency(index, stats)
        cell = con.execute(f"SELECT t, col, quantity FROM cells WHERE gi = {int(index)}").fetchnumpy()
        if not len(cell["t"]):
            return None
        names = con.column(f"SELECT kind FROM group_kinds WHERE gi = {int(index)} ORDER BY col")
        periods = np.asarray(cell["t"], dtype=np.int64)
        first, last = int(periods.min()), int(periods.max())
        usage = _summed_cells(
            (periods - first) // step,
            np.asarray(cell["col"], dtype=np.intp),
            np.asarray(cell["quantity"], dtype=np.float64),
            ((last - first) // step + 1, len(names)),
        )
        self._raise_negative_cell(index, usage, names, first)
        np.maximum(usage, 0.0, out=usage)
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

    def _negative_sql(self) -> str:
        """SQL: a row with a negative quantity that is not a correction."""
        return "amount < 0" + (" AND NOT correction" if self._layout.correction else "")

    def _raise_first_problem(self, index: int, stats: Mapping[str, Any]) -> None:
        """Names the file, column, row and value of the first bad planned row."""
        layout, problems = self._layout, stats["problems"] or 0
        checks = [
            (stats["bad_times"], "ts IS NULL", layout.time, "raw_time", "is not a date and time"),
            (problems & _NOT_A_NUMBER, _NOT_A_NUMBER_SQL, layout.quantity, "raw_quantity", "is not a number"),
            (problems & _NEGATIVE_ROW, self._negative_sql(), layout.quantity, "raw_quantity", "is negative"),
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

    def _raise_negative_cell(self, index: int, usage: np.ndarray, names: Sequence[str], first: int) -> None:
        """Names the files of the first cell (by period, then kind) that corrections leave negative."""
        negative = np.argwhere(usage < _NEGATIVE)
        if not len(negative):
            return
        row, col = (int(at) for at in negative[0])
        step = period_seconds(self._period)
        kind, t, quantity = names[col], first + row * step, float(usage[row, col])
        rows, params = self._group_rows(index, with_filename=True)
        reaches = "coalesce(epoch(ends), epoch(ts))" if self._layout.end else "epoch(ts)"
        paths = self._con.column(
            f"""SELECT DISTINCT filename FROM ({rows}) WHERE {_kind_name(self._layout.kinds)} = $kind
                AND epoch(ts) < {t + step} AND {reaches} >= {t} ORDER BY 1""",
            {**params, "kind": kind},
        )
        period = np.datetime64(int(t), "s")
        raise UserError(
            f"{listed(paths)}: usage of '{kind}' in the period starting {period} is {quantity:.6g} "
            "after corrections (negative)"
        )

    def _spread_notes(self, index: int) -> list[str]:
        rows = self._con.all(
            f"""SELECT kind, sum(spread_quantity) / sum(quantity) AS share
                FROM combinations WHERE gi = {int(index)} AND planned GROUP BY kind
                HAVING sum(spread_rows) > 0 ORDER BY kind"""
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
        known = self._con.column("SELECT DISTINCT service FROM combination_stats WHERE service IS NOT NULL ORDER BY 1")
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


def _summed_cells(rows: np.ndarray, columns: np.ndarray, quantities: np.ndarray, shape: tuple[int, int]) -> np.ndarray:
    """The matrix of `shape` whose cell (row, column) adds the quantities given for it; the pieces of a cell
    are added from the smallest, so the same pieces always give the same bits whatever order they came in."""
    cells = rows * shape[1] + columns
    pieces = np.bincount(cells, minlength=shape[0] * shape[1])
    if len(pieces) and pieces.max() > 1:
        order = np.lexsort((quantities, cells))
        cells, quantities = cells[order], quantities[order]
    return np.bincount(cells, weights=quantities, minlength=shape[0] * shape[1]).reshape(shape)


def _kind_name(kinds: Sequence[str]) -> str:
    """SQL of a kind's name: the kind columns k0..kn joined by "/"."""
    return "concat_ws('/', " + ", ".join(f"coalesce(k{index}, '')" for index in range(len(kinds))) + ")"
