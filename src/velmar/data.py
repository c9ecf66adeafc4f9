"""Reading usage, prices and existing commitments into the planner's records.

DuckDB reads the files (CSV or Parquet; one file, a glob or a list) and aggregates the
rows to one quantity per period and kind: the raw rows never reach Python, so exports
larger than memory load in seconds. Periods are UTC hours ("H") or UTC days ("D");
periods without rows hold zeros and rows for the same period and kind are summed.
"""

from __future__ import annotations

import difflib
import glob
import os
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, replace
from typing import Any

import duckdb
import numpy as np

from velmar.errors import UserError
from velmar.records import (
    COMMITMENT_MODELS,
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    Floats,
    Period,
    PriceTable,
    Term,
    UsageHistory,
)

#: Columns of a FOCUS export whose values, joined by "/", name a kind: one kind per
#: region and SKU, such as "eu-west/std-4". Any list of columns may replace it.
DEFAULT_KIND_COLUMNS: tuple[str, ...] = ("RegionId", "SkuId")

#: Column names of FOCUS 1.0 to 1.2 (those of 1.0 as the focus-validator rule set lists
#: them), used to tell a misspelt FOCUS column from a column of the provider's own.
FOCUS_COLUMNS: frozenset[str] = frozenset(
    {
        # 1.0
        "AvailabilityZone", "BilledCost", "BillingAccountId", "BillingAccountName",
        "BillingCurrency", "BillingPeriodEnd", "BillingPeriodStart", "ChargeCategory",
        "ChargeClass", "ChargeDescription", "ChargeFrequency", "ChargePeriodEnd",
        "ChargePeriodStart", "CommitmentDiscountCategory", "CommitmentDiscountId",
        "CommitmentDiscountName", "CommitmentDiscountStatus", "CommitmentDiscountType",
        "ConsumedQuantity", "ConsumedUnit", "ContractedCost", "ContractedUnitPrice",
        "EffectiveCost", "InvoiceIssuerName", "ListCost", "ListUnitPrice",
        "PricingCategory", "PricingQuantity", "PricingUnit", "ProviderName",
        "PublisherName", "RegionId", "RegionName", "ResourceId", "ResourceName",
        "ResourceType", "ServiceCategory", "ServiceName", "SkuId", "SkuPriceId",
        "SubAccountId", "SubAccountName", "Tags",
        # 1.1
        "CapacityReservationId", "CapacityReservationStatus", "CommitmentDiscountQuantity",
        "CommitmentDiscountUnit", "ServiceSubcategory", "SkuMeter", "SkuPriceDetails",
        # 1.2
        "BillingAccountType", "InvoiceId", "PricingCurrency",
        "PricingCurrencyContractedUnitPrice", "PricingCurrencyEffectiveCost",
        "PricingCurrencyListUnitPrice", "SubAccountType",
    }
)  # fmt: skip

#: Price-file columns of commitment rates, by model.
PRICE_COLUMNS: Mapping[str, str] = {model.lower(): model for model in COMMITMENT_MODELS}

# Usage rows of an export: consumption, not purchases, taxes or credits; spot and other
# dynamic prices are dropped since no commitment applies to them.
_FOCUS_USAGE = "\"ChargeCategory\" = 'Usage' AND coalesce(\"PricingCategory\", '') <> 'Dynamic'"
# Rows for the unused part of a commitment consume nothing (their quantity should be
# null; some exports repeat the commitment's size there).
_FOCUS_USED = "coalesce(\"CommitmentDiscountStatus\", '') <> 'Unused'"
_READ_ERRORS = (duckdb.IOException, duckdb.InvalidInputException, duckdb.ConversionException)


def load_focus(
    paths: str | Sequence[str],
    period: Period = "H",
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
    sub_account: str | None = None,
    start: str | None = None,
    end: str | None = None,
) -> UsageHistory:
    """Usage of a FOCUS 1.0-1.2 export: `ConsumedQuantity` per period and kind.

    Keeps rows with `ChargeCategory` "Usage", including those paid by commitments,
    and drops `PricingCategory` "Dynamic" (spot). A kind is the values of
    `kind_columns` joined by "/" (an empty value reads as ""). `sub_account` keeps
    one `SubAccountId`; `start`/`end` keep rows with `ChargePeriodStart` in
    [start, end). Each row must fit in one period: a daily export needs period "D".
    The history runs from the first to the last period with usage rows.
    """
    _check_kinds(period, kind_columns)
    with _connection() as con:
        files, base, layout = _focus_rows(con, paths, kind_columns, ["SubAccountId"] if sub_account is not None else [])
        selection = base
        if sub_account is not None:
            selection = base.narrowed('CAST("SubAccountId" AS VARCHAR) = $sub_account', {"sub_account": sub_account})
        source = f"FOCUS export {files.label}"
        if sub_account is not None:
            source += f", SubAccountId {sub_account}"
        history = _aggregate(con, selection, layout, period, start, end, source)
        if history is not None:
            return history
        if sub_account is not None:
            _explain_unknown_sub_account(con, base, sub_account)
        raise UserError(_no_usage_rows(files))


GroupKey = tuple[str | None, ...]


@contextmanager
def split_focus(
    paths: str | Sequence[str],
    by: Sequence[str],
    period: Period = "H",
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
    start: str | None = None,
    end: str | None = None,
    spill_directory: str | None = None,
) -> Iterator[FocusSplit]:
    """The usage of a FOCUS export split into groups by the values of the columns `by`.

    One pass over the export aggregates every group at once (spilling to
    `spill_directory` when it outgrows memory); `FocusSplit.history` then gives each
    group's usage exactly as `load_focus` would read it with a filter on `by`, and a
    group with bad rows fails alone, with `load_focus`'s message.
    """
    _check_kinds(period, kind_columns)
    if not by:
        raise UserError("group columns: give at least one column")
    with _connection() as con:
        if spill_directory is not None:
            con.execute(f"SET temp_directory = {_literal(spill_directory)}")
        files, selection, layout = _focus_rows(con, paths, kind_columns, by)
        split = FocusSplit(con, files.label, selection, replace(layout, groups=tuple(by)), period, start, end)
        if not split.keys:
            if start is not None or end is not None:
                _explain_window(con, selection, layout, start, end)
            raise UserError(_no_usage_rows(files))
        yield split


class FocusSplit:
    """Groups of a FOCUS export's usage, aggregated in one DuckDB pass (see `split_focus`)."""

    def __init__(
        self,
        con: duckdb.DuckDBPyConnection,
        label: str,
        selection: _Selection,
        layout: _Layout,
        period: Period,
        start: str | None,
        end: str | None,
    ) -> None:
        self._con, self._label, self._selection, self._layout = con, label, selection, layout
        self._period: Period = period
        self._window, self._window_params = _window(con, start, end)
        self._window_label = _window_label(start, end) if self._window else ""
        _collect_cells(con, selection, layout, period, self._window, self._window_params)
        groups = ", ".join(f"g{index}" for index in range(len(layout.groups)))
        same_group = " AND ".join(f"cells.g{i} IS NOT DISTINCT FROM groups.g{i}" for i in range(len(layout.groups)))
        step = 3600 * HOURS_PER_PERIOD[period]
        con.execute(
            f"""CREATE TEMP TABLE groups AS
            SELECT row_number() OVER (ORDER BY {groups}) - 1 AS gi, {groups}, {_CELL_PROBLEMS},
                   min(t) AS first_t, max(t) AS last_t
            FROM cells GROUP BY {groups}"""
        )
        con.execute(
            f"""CREATE TEMP TABLE group_kinds AS
            SELECT gi, kind, row_number() OVER (PARTITION BY gi ORDER BY kind) - 1 AS col
            FROM (SELECT DISTINCT gi, {_kind_name(layout)} AS kind FROM cells JOIN groups ON {same_group})"""
        )
        # Ordered by group, so that reading one group skips the others' row groups.
        con.execute(
            f"""CREATE TEMP TABLE group_cells AS
            SELECT CAST(groups.gi AS INTEGER) AS gi, CAST((t - first_t) // {step} AS INTEGER) AS row,
                   CAST(col AS INTEGER) AS col, quantity
            FROM cells JOIN groups ON {same_group}
                 JOIN group_kinds ON group_kinds.gi = groups.gi AND group_kinds.kind = {_kind_name(layout)}
            WHERE t IS NOT NULL ORDER BY groups.gi"""
        )
        con.execute("DROP TABLE cells")
        rows = con.execute(
            f"SELECT {groups}, bad_times, non_numeric, smallest, span, first_t, last_t FROM groups ORDER BY gi"
        ).fetchall()
        width = len(layout.groups)
        #: Each group's values of the `by` columns, as text (None for an empty value).
        self.keys: tuple[GroupKey, ...] = tuple(tuple(row[:width]) for row in rows)
        self._problems = [tuple(row[width : width + 4]) for row in rows]
        self._spans = [tuple(row[width + 4 :]) for row in rows]

    def kinds(self) -> tuple[str, ...]:
        """Every kind with usage in any group, sorted."""
        rows = self._con.execute("SELECT DISTINCT kind FROM group_kinds ORDER BY kind").fetchall()
        return tuple(str(row[0]) for row in rows)

    def history(self, index: int) -> UsageHistory:
        """The usage of group `index` of `keys`; raises `load_focus`'s UserError if its rows are bad."""
        key, con = self.keys[index], self._con
        condition = " AND ".join(
            f"CAST({_identifier(column)} AS VARCHAR) IS NOT DISTINCT FROM $group_{i}"
            for i, column in enumerate(self._layout.groups)
        )
        narrowed = self._selection.narrowed(condition, {f"group_{i}": value for i, value in enumerate(key)})
        problems = self._problems[index]
        _raise_first_problem(con, problems, narrowed, self._layout, self._window, self._window_params, self._period)
        kinds_of_group = f"FROM group_kinds WHERE gi = {int(index)}"
        names = [str(row[0]) for row in con.execute(f"SELECT kind {kinds_of_group} ORDER BY col").fetchall()]
        cell = con.execute(f"SELECT row, col, quantity FROM group_cells WHERE gi = {int(index)}").fetchnumpy()
        first, last = self._spans[index]
        described = ", ".join(f"{column} {value}" for column, value in zip(self._layout.groups, key))
        source = f"FOCUS export {self._label}, {described}{self._window_label}"
        return _history(first, last, names, cell, self._period, source)


def load_long_table(path: str, period: Period = "H", start: str | None = None, end: str | None = None) -> UsageHistory:
    """Usage of a table with columns `timestamp`, `kind` and `quantity` (CSV or Parquet).

    `quantity` is unit-hours consumed from `timestamp` on; `start`/`end` keep rows with
    `timestamp` in [start, end).
    """
    _check_period(period)
    with _connection() as con:
        files = _resolve(con, path)
        _require_columns(files, ["timestamp", "kind", "quantity"], focus=False)
        layout = _Layout("timestamp", "quantity", ("kind",))
        history = _aggregate(
            con, _Selection(files, "true", {}), layout, period, start, end, f"usage table {files.label}"
        )
        if history is None:
            raise UserError(f"{files.label}: no rows")
        return history


def load_prices(
    path: str,
    kinds: Sequence[str],
    focus_paths: str | Sequence[str] | None = None,
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
) -> PriceTable:
    """Rates per unit and hour from a CSV with one row per kind, ordered as `kinds`.

    Columns: `kind`, `on_demand`, and any of `sp1y, sp3y, ri1y, ri3y`; a model whose
    column is absent cannot be planned. An empty commitment rate means no discount on
    that kind (the on-demand rate). An absent or empty `on_demand` falls back to the
    median `ListUnitPrice` of the usage rows of the FOCUS export `focus_paths`, whose
    kinds are named by `kind_columns` as in `load_focus`.
    """
    with _connection() as con:
        header, rows = _read_small_csv(con, path)
        _require_columns_of(path, header, ["kind"], known=("kind", "on_demand", *PRICE_COLUMNS))
        by_kind: dict[str, tuple[int, dict[str, str | None]]] = {}
        for number, row in enumerate(rows, start=1):
            kind = (row["kind"] or "").strip()
            if kind in by_kind:
                raise UserError(f"{path}: column 'kind': '{kind}' appears twice (rows {by_kind[kind][0]} and {number})")
            by_kind[kind] = (number, row)
        absent = [kind for kind in kinds if kind not in by_kind]
        if absent:
            raise UserError(
                f"{path}: no price for kind '{absent[0]}', which has usage"
                + (f" (nor for {len(absent) - 1} more)" if len(absent) > 1 else "")
            )
        on_demand = [_number(path, *by_kind[kind], "on_demand") for kind in kinds]
        missing = [kind for kind, rate in zip(kinds, on_demand) if rate is None]
        if missing:
            listed = _list_prices(con, path, focus_paths, kind_columns, missing)
            on_demand = [listed[kind] if rate is None else rate for kind, rate in zip(kinds, on_demand)]
        on_demand_rates = np.array(on_demand, dtype=np.float64)
        commitment: dict[str, Floats] = {}
        for column, model in PRICE_COLUMNS.items():
            if column in header:
                rates = [_number(path, *by_kind[kind], column) for kind in kinds]
                commitment[model] = np.array(
                    [od if rate is None else rate for rate, od in zip(rates, on_demand_rates)],
                    dtype=np.float64,
                )
    return PriceTable(tuple(kinds), on_demand_rates, commitment, source=f"prices {path}")


def load_existing(path: str) -> tuple[ExistingSavingsPlan, ...]:
    """Savings plans already bought, from a CSV with columns `amount_per_hour`, `start`,
    `end` and optionally `term` (1Y or 3Y, default 3Y) and `name`."""
    with _connection() as con:
        header, rows = _read_small_csv(con, path)
        _require_columns_of(
            path, header, ["amount_per_hour", "start", "end"], known=("amount_per_hour", "start", "end", "term", "name")
        )
        plans = []
        for number, row in enumerate(rows, start=1):
            amount = _number(path, number, row, "amount_per_hour")
            if amount is None:
                raise UserError(f"{path}: row {number}, column 'amount_per_hour': empty")
            begins = _parse_time(con, row["start"], f"{path}: row {number}, column 'start'")
            ends = _parse_time(con, row["end"], f"{path}: row {number}, column 'end'")
            if ends <= begins:
                raise UserError(f"{path}: row {number}: end {row['end']} is not after start {row['start']}")
            term = _term(path, number, row.get("term"))
            name = (row.get("name") or "").strip() or f"existing {number}"
            plans.append(ExistingSavingsPlan(amount, begins, ends, term, name))
    return tuple(plans)


def existing_columns(history: UsageHistory, plans: Sequence[ExistingSavingsPlan]) -> Floats:
    """Money each existing plan pays in each period: (periods, plans).

    A plan pays its amount per hour for every hour of a period inside [start, end); a
    period it covers in part gets the matching share.
    """
    period_starts = history.timestamps.astype("datetime64[s]").astype(np.int64)
    period_ends = period_starts + 3600 * HOURS_PER_PERIOD[history.period]
    columns = np.zeros((len(period_starts), len(plans)), dtype=np.float64)
    for index, plan in enumerate(plans):
        begins = plan.start.astype("datetime64[s]").astype(np.int64)
        ends = plan.end.astype("datetime64[s]").astype(np.int64)
        seconds = np.minimum(period_ends, ends) - np.maximum(period_starts, begins)
        columns[:, index] = plan.amount_per_hour * np.clip(seconds, 0, None) / 3600.0
    return columns


# --- files ------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Files:
    """Input files of one format with each file's column names."""

    columns: Mapping[str, frozenset[str]]
    parquet: bool
    label: str

    def has_column(self, name: str) -> bool:
        return any(name in names for names in self.columns.values())

    def scan(self, with_filename: bool = False) -> str:
        listed = ", ".join(_literal(path) for path in self.columns)
        options = "union_by_name = true" + (", filename = true" if with_filename else "")
        if self.parquet:
            return f"read_parquet([{listed}], {options})"
        return f"read_csv([{listed}], header = true, all_varchar = true, {options})"


@contextmanager
def _connection() -> Iterator[duckdb.DuckDBPyConnection]:
    con = duckdb.connect()
    try:
        con.execute("SET TimeZone = 'UTC'; SET enable_progress_bar = false")
        yield con
    finally:
        con.close()


def _resolve(con: duckdb.DuckDBPyConnection, paths: str | Sequence[str]) -> _Files:
    patterns = [paths] if isinstance(paths, str) else list(paths)
    if not patterns:
        raise UserError("no input file given")
    found: dict[str, None] = {}  # a file named twice is read once
    for pattern in patterns:
        matches = sorted(glob.glob(pattern, recursive=True)) if any(c in pattern for c in "*?[") else [pattern]
        if not matches:
            raise UserError(f"{pattern}: no file matches")
        for match in matches:
            if os.path.isdir(match):
                raise UserError(f"{match}: a directory (give a glob such as {os.path.join(match, '*.parquet')})")
            if not os.path.isfile(match):
                raise UserError(f"{match}: no such file")
            found[match] = None
    formats = {path: _is_parquet(path) for path in found}
    if len(set(formats.values())) > 1:
        binary = next(path for path, is_parquet in formats.items() if is_parquet)
        text = next(path for path, is_parquet in formats.items() if not is_parquet)
        raise UserError(f"{text}: CSV mixed with Parquet ({binary}); give files of one format")
    label = patterns[0] if len(patterns) == 1 else f"{patterns[0]} (and {len(patterns) - 1} more)"
    parquet = next(iter(formats.values()))
    return _Files(_columns_of(con, list(found), parquet), parquet, label)


def _is_parquet(path: str) -> bool:
    with open(path, "rb") as stream:
        return stream.read(4) == b"PAR1"


def _columns_of(con: duckdb.DuckDBPyConnection, paths: list[str], parquet: bool) -> dict[str, frozenset[str]]:
    columns: dict[str, set[str]] = {path: set() for path in paths}
    for path in paths:
        try:
            if parquet:
                rows = con.execute(f"SELECT name FROM parquet_schema({_literal(path)})").fetchall()
            else:
                scan = f"read_csv({_literal(path)}, header = true, all_varchar = true)"
                rows = con.execute(f"DESCRIBE SELECT * FROM {scan}").fetchall()
        except _READ_ERRORS as error:
            raise UserError(f"{path}: cannot read: {_first_line(error)}") from None
        columns[path].update(str(row[0]) for row in rows)
    return {path: frozenset(names) for path, names in columns.items()}


def _require_columns(files: _Files, required: Sequence[str], focus: bool) -> None:
    for path, present in files.columns.items():
        for column in required:
            if column not in present:
                raise UserError(_missing_column(path, column, present, focus))


def _require_columns_of(path: str, header: Sequence[str], required: Sequence[str], known: Sequence[str]) -> None:
    """Checks a small CSV's header; a column close to a known one is a misspelling."""
    for column in required:
        if column not in header:
            raise UserError(_missing_column(path, column, header, focus=False))
    for column in header:
        near = _nearest(column, known)
        if column not in known and near is not None:
            raise UserError(f"{path}: column '{column}' is not one this file takes (did you mean '{near}'?)")


def _missing_column(path: str, column: str, present: Sequence[str] | frozenset[str], focus: bool) -> str:
    message = f"{path}: column '{column}' is missing"
    near = _nearest(column, present)
    if near is not None and focus and column in FOCUS_COLUMNS:
        return f"{message} ('{near}' looks like a misspelling of the FOCUS column '{column}')"
    if near is not None:
        return f"{message} (did you mean '{near}'?)"
    known = _nearest(column, FOCUS_COLUMNS) if focus and column not in FOCUS_COLUMNS else None
    if known is not None:
        return f"{message} ('{column}' is not a FOCUS column; did you mean '{known}'?)"
    return message


def _nearest(name: str, candidates: Sequence[str] | frozenset[str]) -> str | None:
    by_case = [candidate for candidate in candidates if candidate.lower() == name.lower()]
    if by_case:
        return by_case[0]
    close = difflib.get_close_matches(name, sorted(candidates), n=1, cutoff=0.8)
    return close[0] if close else None


def _read_small_csv(con: duckdb.DuckDBPyConnection, path: str) -> tuple[list[str], list[dict[str, str | None]]]:
    """Header and rows of a small CSV, every value a stripped string or None."""
    if not os.path.isfile(path):
        raise UserError(f"{path}: no such file")
    try:
        options = "header = true, all_varchar = true, delim = ',', null_padding = true"
        cursor = con.execute(f"SELECT * FROM read_csv({_literal(path)}, {options})")
        header = [str(column[0]).strip().lower() for column in cursor.description or ()]
        rows = cursor.fetchall()
    except _READ_ERRORS as error:
        raise UserError(f"{path}: cannot read: {_first_line(error)}") from None
    return header, [
        {
            name: (None if value is None or not str(value).strip() else str(value).strip())
            for name, value in zip(header, row)
        }
        for row in rows
    ]


# --- usage aggregation ------------------------------------------------------------------


@dataclass(frozen=True)
class _Layout:
    """Where a usage file keeps each row's start, quantity and kind."""

    time: str
    quantity: str
    kinds: tuple[str, ...]
    #: Column of each row's end, to check that a row fits in one period.
    end: str | None = None
    #: Columns whose values split the rows into groups.
    groups: tuple[str, ...] = ()


@dataclass(frozen=True)
class _Selection:
    """Rows of some files that satisfy a SQL condition with named parameters."""

    files: _Files
    where: str
    params: Mapping[str, object]

    def narrowed(self, condition: str, params: Mapping[str, object]) -> _Selection:
        return _Selection(self.files, f"({self.where}) AND {condition}", {**self.params, **params})


def _focus_rows(
    con: duckdb.DuckDBPyConnection, paths: str | Sequence[str], kind_columns: Sequence[str], also: Sequence[str]
) -> tuple[_Files, _Selection, _Layout]:
    """The usage rows of a FOCUS export and where they keep what; fails on a missing column."""
    files = _resolve(con, paths)
    required = ["ChargeCategory", "PricingCategory", "ChargePeriodStart", "ChargePeriodEnd", "ConsumedQuantity"]
    _require_columns(files, [*required, *kind_columns, *also], focus=True)
    where = [_FOCUS_USAGE]
    if files.has_column("CommitmentDiscountStatus"):
        where.append(_FOCUS_USED)
    layout = _Layout("ChargePeriodStart", "ConsumedQuantity", tuple(kind_columns), end="ChargePeriodEnd")
    return files, _Selection(files, " AND ".join(where), {}), layout


def _no_usage_rows(files: _Files) -> str:
    return f"{files.label}: no usage rows (ChargeCategory 'Usage', PricingCategory other than 'Dynamic')"


def _aggregate(
    con: duckdb.DuckDBPyConnection,
    selection: _Selection,
    layout: _Layout,
    period: Period,
    start: str | None,
    end: str | None,
    source: str,
) -> UsageHistory | None:
    """The usage matrix of the selected rows in the window, or None without rows."""
    window, window_params = _window(con, start, end)
    _collect_cells(con, selection, layout, period, window, window_params)
    problems = _fetch_one(con, f"SELECT {_CELL_PROBLEMS} FROM cells")
    _raise_first_problem(con, problems, selection, layout, window, window_params, period)
    (cells,) = _fetch_one(con, "SELECT count(*) FROM cells")
    if not cells:
        if window:
            _explain_window(con, selection, layout, start, end)
        return None
    first, last = _fetch_one(con, "SELECT min(t), max(t) FROM cells")
    kind_name = _kind_name(layout)
    names = [
        str(row[0]) for row in con.execute(f"SELECT DISTINCT {kind_name} AS kind FROM cells ORDER BY kind").fetchall()
    ]
    cell = con.execute(
        f"""SELECT (t - {first}) // {3600 * HOURS_PER_PERIOD[period]} AS row,
                   dense_rank() OVER (ORDER BY {kind_name}) - 1 AS col, quantity
            FROM cells"""
    ).fetchnumpy()
    return _history(first, last, names, cell, period, source + (_window_label(start, end) if window else ""))


# Per set of cells: rows without a time, non-numeric quantities, the smallest quantity and
# the longest row, in seconds.
_CELL_PROBLEMS = (
    "count(*) FILTER (WHERE t IS NULL) AS bad_times, sum(non_numeric) AS non_numeric, "
    "min(smallest) AS smallest, max(span) AS span"
)


def _collect_cells(
    con: duckdb.DuckDBPyConnection,
    selection: _Selection,
    layout: _Layout,
    period: Period,
    window: str,
    window_params: Mapping[str, object],
) -> None:
    """Temporary table `cells`: the selected rows summed per group, period and kind."""
    groups = "".join(f"g{index}, " for index in range(len(layout.groups)))
    kinds = ", ".join(f"k{index}" for index in range(len(layout.kinds)))
    try:
        con.execute(
            f"""CREATE TEMP TABLE cells AS
            SELECT {groups}CAST(epoch(date_trunc('{"hour" if period == "H" else "day"}', ts)) AS BIGINT) AS t, {kinds},
                   sum(amount) AS quantity,
                   count(raw_quantity) - count(*) FILTER (WHERE isfinite(amount)) AS non_numeric,
                   min(amount) AS smallest,
                   {"max(epoch(ends) - epoch(ts))" if layout.end else "0"} AS span
            FROM ({_rows(selection, layout, window)}) GROUP BY ALL""",
            {**selection.params, **window_params},
        )
    except _READ_ERRORS as error:
        raise UserError(f"{selection.files.label}: cannot read: {_first_line(error)}") from None


def _raise_first_problem(
    con: duckdb.DuckDBPyConnection,
    problems: tuple[Any, ...],
    selection: _Selection,
    layout: _Layout,
    window: str,
    window_params: Mapping[str, object],
    period: Period,
) -> None:
    """Names the file, column, row and value of the first bad row, given `_CELL_PROBLEMS`."""
    bad_times, non_numeric, smallest, longest = problems
    step = 3600 * HOURS_PER_PERIOD[period]
    checks = [
        (bad_times, "ts IS NULL", layout.time, "raw_time", "is not a date and time"),
        (
            non_numeric,
            "raw_quantity IS NOT NULL AND NOT coalesce(isfinite(amount), false)",
            layout.quantity,
            "raw_quantity",
            "is not a number",
        ),
        (smallest is not None and smallest < 0, "amount < 0", layout.quantity, "raw_quantity", "is negative"),
        (
            longest is not None and longest > step,
            f"epoch(ends) - epoch(ts) > {step}",
            str(layout.end),
            "raw_end",
            f"is more than one period ('{period}') after {layout.time}"
            + ("; load with period 'D'" if period == "H" else ""),
        ),
    ]
    for found, condition, column, value, problem in checks:
        if found:
            path, row_start, text = _fetch_one(
                con,
                f"""SELECT filename, CAST(raw_time AS VARCHAR), CAST({value} AS VARCHAR)
                    FROM ({_rows(selection, layout, window, with_filename=True)}) WHERE {condition} LIMIT 1""",
                {**selection.params, **window_params},
            )
            where = "" if column == layout.time else f", row starting {row_start}"
            raise UserError(f"{path}: column '{column}'{where}: {_quoted(text)} {problem}")


def _history(
    first: int, last: int, names: Sequence[str], cell: Mapping[str, Any], period: Period, source: str
) -> UsageHistory:
    """The usage matrix of cells given as row, column (into `names`) and quantity."""
    step = 3600 * HOURS_PER_PERIOD[period]
    usage = np.zeros(((last - first) // step + 1, len(names)), dtype=np.float64)
    np.add.at(usage, (cell["row"].astype(np.intp), cell["col"].astype(np.intp)), cell["quantity"].astype(np.float64))
    timestamps = (first + step * np.arange(usage.shape[0], dtype=np.int64)).astype("datetime64[s]")
    return UsageHistory(timestamps, tuple(names), usage, period, source=source)


def _kind_name(layout: _Layout) -> str:
    """SQL of a kind's name: the kind columns joined by "/"."""
    return "concat_ws('/', " + ", ".join(f"coalesce(k{index}, '')" for index in range(len(layout.kinds))) + ")"


def _window_label(start: str | None, end: str | None) -> str:
    return f", window [{start or '...'}, {end or '...'})"


def _rows(selection: _Selection, layout: _Layout, window: str, with_filename: bool = False) -> str:
    """SQL of the selected rows in the window (and those without a time, to report them):
    ts, ends, amount, k0..kn, and the raw values raw_time, raw_end and raw_quantity."""
    kinds = "".join(
        f", CAST({_identifier(column)} AS VARCHAR) AS k{index}" for index, column in enumerate(layout.kinds)
    )
    kinds += "".join(
        f", CAST({_identifier(column)} AS VARCHAR) AS g{index}" for index, column in enumerate(layout.groups)
    )
    ends = f", {_timestamp(layout.end)} AS ends, {_identifier(layout.end)} AS raw_end" if layout.end else ""
    filename = ", filename" if with_filename else ""
    rows = f"""
        SELECT {_timestamp(layout.time)} AS ts, {_identifier(layout.time)} AS raw_time{ends},
               {_identifier(layout.quantity)} AS raw_quantity,
               TRY_CAST({_identifier(layout.quantity)} AS DOUBLE) AS amount{kinds}{filename}
        FROM {selection.files.scan(with_filename)} WHERE {selection.where}"""
    return f"SELECT * FROM ({rows}) WHERE ts IS NULL OR ({window})" if window else rows


def _timestamp(column: str) -> str:
    return f"TRY_CAST(TRY_CAST({_identifier(column)} AS TIMESTAMPTZ) AS TIMESTAMP)"


def _window(con: duckdb.DuckDBPyConnection, start: str | None, end: str | None) -> tuple[str, dict[str, object]]:
    """SQL condition on ts for [start, end), with its parameters."""
    bounds = {
        name: _parse_time(con, value, name) for name, value in (("start", start), ("end", end)) if value is not None
    }
    if "start" in bounds and "end" in bounds and bounds["end"] <= bounds["start"]:
        raise UserError(f"end: {end} is not after start {start}")
    operators = {"start": ">=", "end": "<"}
    condition = " AND ".join(f"ts {operators[name]} make_timestamp(${name}::BIGINT)" for name in bounds)
    return condition, {name: int(bound.astype("datetime64[us]").astype(np.int64)) for name, bound in bounds.items()}


def _explain_window(
    con: duckdb.DuckDBPyConnection, selection: _Selection, layout: _Layout, start: str | None, end: str | None
) -> None:
    first, last = _fetch_one(con, f"SELECT min(ts), max(ts) FROM ({_rows(selection, layout, '')})", selection.params)
    if first is not None:
        raise UserError(
            f"{selection.files.label}: no usage in the window [{start or '...'}, {end or '...'}); "
            f"the data runs from {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M}"
        )


def _explain_unknown_sub_account(con: duckdb.DuckDBPyConnection, base: _Selection, sub_account: str) -> None:
    known = [
        str(row[0])
        for row in con.execute(
            f"""SELECT DISTINCT CAST("SubAccountId" AS VARCHAR) AS id FROM {base.files.scan()}
            WHERE {base.where} AND id IS NOT NULL ORDER BY id LIMIT 6""",
            dict(base.params),
        ).fetchall()
    ]
    if known:
        listed = ", ".join(known[:5]) + (", ..." if len(known) > 5 else "")
        raise UserError(
            f"{base.files.label}: column 'SubAccountId': no usage rows for '{sub_account}' (known: {listed})"
        )


# --- prices and existing commitments ------------------------------------------------------


def _list_prices(
    con: duckdb.DuckDBPyConnection,
    path: str,
    focus_paths: str | Sequence[str] | None,
    kind_columns: Sequence[str],
    kinds: Sequence[str],
) -> dict[str, float]:
    """Median `ListUnitPrice` of the export's usage rows for each of `kinds`."""
    if focus_paths is None:
        raise UserError(
            f"{path}: column 'on_demand': no on-demand price for kind '{kinds[0]}' "
            "(give it, or an export whose ListUnitPrice to use)"
        )
    files = _resolve(con, focus_paths)
    _require_columns(files, ["ChargeCategory", "PricingCategory", "ListUnitPrice", *kind_columns], focus=True)
    joined = ", ".join(f"coalesce(CAST({_identifier(column)} AS VARCHAR), '')" for column in kind_columns)
    try:
        rows = con.execute(
            f"""SELECT concat_ws('/', {joined}) AS kind, median(TRY_CAST("ListUnitPrice" AS DOUBLE)) AS price
                FROM {files.scan()} WHERE {_FOCUS_USAGE} GROUP BY kind"""
        ).fetchall()
    except _READ_ERRORS as error:
        raise UserError(f"{files.label}: cannot read: {_first_line(error)}") from None
    medians = {str(kind): float(price) for kind, price in rows if price is not None and np.isfinite(price)}
    for kind in kinds:
        if kind not in medians:
            raise UserError(
                f"{path}: column 'on_demand': no on-demand price for kind '{kind}', "
                f"and {files.label} has no ListUnitPrice for it"
            )
        if medians[kind] < 0:
            raise UserError(
                f"{files.label}: column 'ListUnitPrice': median {medians[kind]} for kind '{kind}' is negative"
            )
    return medians


def _number(path: str, number: int, row: Mapping[str, str | None], column: str) -> float | None:
    """A non-negative finite number, or None if the cell is empty or the column absent."""
    raw = row.get(column)
    if raw is None:
        return None
    try:
        value = float(raw)
    except ValueError:
        value = float("nan")
    if not np.isfinite(value):
        raise UserError(f"{path}: row {number}, column '{column}': '{raw}' is not a number")
    if value < 0:
        raise UserError(f"{path}: row {number}, column '{column}': {raw} is negative")
    return value


def _term(path: str, number: int, raw: str | None) -> Term:
    term = (raw or "3Y").upper()
    if term == "1Y":
        return "1Y"
    if term == "3Y":
        return "3Y"
    raise UserError(f"{path}: row {number}, column 'term': '{raw}' is not 1Y or 3Y")


# --- small helpers ----------------------------------------------------------------------


def _parse_time(con: duckdb.DuckDBPyConnection, value: str | None, what: str) -> np.datetime64:
    """A date or date and time (UTC unless it gives an offset), to the second."""
    seconds = None
    if value is not None:
        (seconds,) = _fetch_one(
            con, f"SELECT CAST(epoch({_timestamp('v')}) AS BIGINT) FROM (SELECT $v AS v)", {"v": value}
        )
    if seconds is None:
        raise UserError(f"{what}: '{value or ''}' is not a date or date and time")
    return np.datetime64(int(seconds), "s")


def _fetch_one(
    con: duckdb.DuckDBPyConnection, query: str, params: Mapping[str, object] | None = None
) -> tuple[Any, ...]:
    row = con.execute(query, dict(params or {})).fetchone()
    assert row is not None, "an aggregate query returns one row"
    return tuple(row)


def _check_kinds(period: str, kind_columns: Sequence[str]) -> None:
    _check_period(period)
    if not kind_columns:
        raise UserError("kind columns: give at least one column")


def _check_period(period: str) -> None:
    if period not in HOURS_PER_PERIOD:
        raise UserError(f"period: '{period}' is not 'H' (hours) or 'D' (days)")


def _identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def _quoted(value: object) -> str:
    return "an empty value" if value is None else f"'{value}'"


def _first_line(error: Exception) -> str:
    return str(error).strip().splitlines()[0]
