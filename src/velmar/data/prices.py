"""Rates per kind: a price file, assumed discounts off on demand, and the export's list prices."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence

import numpy as np

from velmar.data.files import (
    Paths,
    SmallRows,
    cell_number,
    export_of,
    read_small_csv,
    require_columns,
    require_columns_of,
)
from velmar.data.focus import DEFAULT_KIND_COLUMNS, FOCUS_USAGE
from velmar.data.sql import READ_ERRORS, Connection, connection, first_line, identifier, listed
from velmar.errors import UserError
from velmar.records import COMMITMENT_MODELS, Floats, PaymentOption, PriceTable

#: Price-file columns of commitment rates, by model.
PRICE_COLUMNS: Mapping[str, str] = {model.lower(): model for model in COMMITMENT_MODELS}
#: The suffix of a column of amounts paid at purchase, beside the hourly rate column of the same model.
UPFRONT = "_upfront"
#: `ri3y`, `ri3y_upfront`, `ri3y:all`, `ri3y_upfront:all`: a model's rates and amounts, by payment option.
OPTION = re.compile(rf"(?P<model>{'|'.join(PRICE_COLUMNS)})(?P<upfront>{UPFRONT})?(?::(?P<option>[\w-]+))?")


def price_kinds(path: str) -> tuple[str, ...]:
    """The kinds a price file names, in its order."""
    with connection() as con:
        header, rows = read_small_csv(con, path)
    require_columns_of(path, header, ["kind"], known=_known_columns(header))
    return tuple(dict.fromkeys(row["kind"] for row in rows if row["kind"]))


def parse_discounts(text: str) -> dict[str, float]:
    """ "RI3Y=0.62,SP1Y=0.28" -> {"RI3Y": 0.62, "SP1Y": 0.28}: each model's fraction off on demand."""
    discounts: dict[str, float] = {}
    for item in (part.strip() for part in text.split(",")):
        if not item:
            continue
        name, equals, value = item.partition("=")
        model = name.strip().upper()
        if not equals or model not in COMMITMENT_MODELS:
            raise UserError(
                f"--discounts: '{item}' is not MODEL=FRACTION with a model of {', '.join(COMMITMENT_MODELS)}"
            )
        if model in discounts:
            raise UserError(f"--discounts: {model} is given twice")
        try:
            fraction = float(value)
        except ValueError:
            fraction = float("nan")
        if not 0.0 <= fraction < 1.0:
            raise UserError(f"--discounts: {model}: '{value.strip()}' is not a fraction in [0, 1)")
        discounts[model] = fraction
    if not discounts:
        raise UserError("--discounts: no MODEL=FRACTION given")
    return discounts


def load_prices(
    path: str | None,
    kinds: Sequence[str],
    focus_paths: Paths | None = None,
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
    discounts: Mapping[str, float] | None = None,
) -> PriceTable:
    """Rates per unit and hour for `kinds`, in their order.

    The price file has columns `kind`, `on_demand`, any of `sp1y, sp3y, ri1y, ri3y` and
    optionally `currency` (one value). An empty commitment rate means no discount on that
    kind (the on-demand rate). `discounts` (model -> fraction off on demand) rates every kind
    the file does not rate for a model (the model's column absent, or the kind not in the
    file), or every kind without a file. An absent or empty `on_demand` falls back to the
    median `ListUnitPrice` of the usage rows of the FOCUS export `focus_paths`.
    """
    discounts = dict(discounts or {})
    with connection() as con:
        header: list[str] = []
        by_kind: dict[str, tuple[int, dict[str, str | None]]] = {}
        currency = None
        if path is not None:
            header, rows = read_small_csv(con, path)
            require_columns_of(path, header, ["kind"], known=_known_columns(header))
            by_kind = _rows_by_kind(path, rows)
            currency = _currency(path, rows)
            absent = [kind for kind in kinds if kind not in by_kind]
            if absent and not discounts:
                raise UserError(
                    f"{path}: no price for kind '{absent[0]}', which has usage"
                    + (f" (nor for {len(absent) - 1} more)" if len(absent) > 1 else "")
                )
        on_demand = [cell_number(str(path), *by_kind[kind], "on_demand") if kind in by_kind else None for kind in kinds]
        missing = [kind for kind, rate in zip(kinds, on_demand) if rate is None]
        if missing:
            medians = _list_prices(con, path, focus_paths, kind_columns, missing)
            on_demand = [medians[kind] if rate is None else rate for kind, rate in zip(kinds, on_demand)]
    on_demand_rates = np.array(on_demand, dtype=np.float64)
    commitment: dict[str, Floats] = {}
    assumed: dict[str, float] = {}
    assumed_kinds: set[str] = set()
    options = _payment_options(str(path), header, by_kind, kinds, on_demand_rates)
    for column, model in PRICE_COLUMNS.items():
        if model in options and column not in header:
            commitment[model] = options[model][0].hourly  # until an option is chosen: the first one's
            continue
        if column not in header and model not in discounts:
            continue
        rates = []
        for kind, od in zip(kinds, on_demand_rates):
            rate = cell_number(str(path), *by_kind[kind], column) if column in header and kind in by_kind else None
            if (column not in header or kind not in by_kind) and model in discounts:
                rate = od * (1.0 - discounts[model])
                assumed[model] = discounts[model]
                assumed_kinds.add(kind)
            rates.append(od if rate is None else rate)
        commitment[model] = np.array(rates, dtype=np.float64)
    return PriceTable(
        tuple(kinds),
        on_demand_rates,
        commitment,
        source=f"prices {path}" if path else "assumed discounts",
        currency=currency,
        assumed=assumed,
        assumed_kinds=tuple(kind for kind in kinds if kind in assumed_kinds),
        options=options,
    )


def _known_columns(header: Sequence[str] = ()) -> tuple[str, ...]:
    upfront = (f"{column}{UPFRONT}" for column in PRICE_COLUMNS)
    return ("kind", "on_demand", "currency", *PRICE_COLUMNS, *upfront, *(c for c in header if OPTION.fullmatch(c)))


def _payment_options(
    path: str,
    header: Sequence[str],
    by_kind: Mapping[str, tuple[int, dict[str, str | None]]],
    kinds: Sequence[str],
    on_demand: Floats,
) -> dict[str, tuple[PaymentOption, ...]]:
    """Each model's payment options, when the file has an upfront or a `<model>:<option>` column.

    A kind whose cells of an option are both empty is not offered it (NaN), except in the plain
    `<model>` column, where an empty rate is the on-demand one as without options.
    """
    found: dict[str, dict[str, tuple[str, str | None]]] = {}
    for column in header:
        match = OPTION.fullmatch(column)
        if match is None or (match["upfront"] is None and match["option"] is None):
            continue
        suffix = "" if match["option"] is None else ":" + match["option"]
        hourly = match["model"] + suffix
        if hourly not in header:
            raise UserError(f"{path}: column '{column}' has no hourly rate column '{hourly}' beside it")
        upfront = match["model"] + UPFRONT + suffix
        found.setdefault(match["model"], {})[match["option"] or ""] = (hourly, upfront if upfront in header else None)
    options: dict[str, tuple[PaymentOption, ...]] = {}
    for column, named in found.items():
        if "" not in named and column in header:
            named = {"": (column, None), **named}
        listed_options = []
        for name, (hourly, upfront_column) in named.items():
            rates, amounts = [], []
            for kind, od in zip(kinds, on_demand):
                number, row = by_kind.get(kind, (0, {}))
                rate = cell_number(path, number, row, hourly)
                amount = cell_number(path, number, row, upfront_column) if upfront_column else None
                offered = rate is not None or amount is not None or name == ""
                if name == "" and rate is None and amount is None:
                    rate = float(od)
                rates.append((rate or 0.0) if offered else np.nan)
                amounts.append((amount or 0.0) if offered else np.nan)
            listed_options.append(PaymentOption(name, np.array(rates), np.array(amounts)))
        options[PRICE_COLUMNS[column]] = tuple(listed_options)
    return options


def _rows_by_kind(path: str, rows: SmallRows) -> dict[str, tuple[int, dict[str, str | None]]]:
    by_kind: dict[str, tuple[int, dict[str, str | None]]] = {}
    for number, row in enumerate(rows, start=1):
        kind = row["kind"] or ""
        if kind in by_kind:
            raise UserError(f"{path}: column 'kind': '{kind}' appears twice (rows {by_kind[kind][0]} and {number})")
        by_kind[kind] = (number, row)
    return by_kind


def _currency(path: str, rows: SmallRows) -> str | None:
    found = sorted({currency for row in rows if (currency := row.get("currency"))})
    if len(found) > 1:
        raise UserError(f"{path}: column 'currency': one currency for every row, not {listed(found)}")
    return found[0] if found else None


def _list_prices(
    con: Connection, path: str | None, focus_paths: Paths | None, kind_columns: Sequence[str], kinds: Sequence[str]
) -> dict[str, float]:
    """Median `ListUnitPrice` of the export's usage rows for each of `kinds`."""
    if focus_paths is None:
        where = f"{path}: column 'on_demand'" if path else "prices"
        raise UserError(
            f"{where}: no on-demand price for kind '{kinds[0]}' (give it, or an export whose ListUnitPrice to use)"
        )
    files = export_of(con, focus_paths).usage
    require_columns(files, ["ChargeCategory", "PricingCategory", "ListUnitPrice", *kind_columns], focus=True)
    joined = ", ".join(f"coalesce(CAST({identifier(column)} AS VARCHAR), '')" for column in kind_columns)
    try:
        rows = con.all(
            f"""SELECT concat_ws('/', {joined}) AS kind, median(TRY_CAST("ListUnitPrice" AS DOUBLE)) AS price
                FROM {files.scan()} WHERE {FOCUS_USAGE}
                GROUP BY kind HAVING kind IN (SELECT unnest($kinds::VARCHAR[]))""",
            {"kinds": list(kinds)},
        )
    except READ_ERRORS as error:
        raise UserError(f"{files.label}: cannot read: {first_line(error)}") from None
    medians = {str(kind): float(price) for kind, price in rows if price is not None and np.isfinite(price)}
    for kind in kinds:
        if kind not in medians:
            if path is None:
                raise UserError(
                    f"{files.label}: column 'ListUnitPrice': no list price for kind '{kind}' "
                    "(give a price file with its on_demand rate)"
                )
            raise UserError(
                f"{path}: column 'on_demand': no on-demand price for kind '{kind}', "
                f"and {files.label} has no ListUnitPrice for it"
            )
        if medians[kind] < 0:
            raise UserError(
                f"{files.label}: column 'ListUnitPrice': median {medians[kind]} for kind '{kind}' is negative"
            )
    return medians
