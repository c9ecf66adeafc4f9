"""Usage of a FOCUS export: one matrix (`load_focus`), or one per group (`split_focus`).

Usage rows are those with `ChargeCategory` "Usage" (commitment-paid ones included), less
dynamic prices (spot) and the unused part of commitments. Of those, the kinds to plan (those
the price file names, or else those metered in hours) make the matrix; the spend of the rest
is reported (`UsageHistory.outside_plan`), never checked. Corrections add to the period and
kind they name; a row spanning several periods is spread over them by overlap.
"""

from __future__ import annotations

from collections.abc import Collection, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import replace

from velmar.data.files import Export, Paths, export_of, require_columns
from velmar.data.sql import Connection, check_period, connection, listed
from velmar.data.usage import Aggregation, Layout, Selection, Window
from velmar.errors import UserError
from velmar.records import Period, UsageHistory

#: Columns of a FOCUS export whose values, joined by "/", name a kind: one kind per
#: region and SKU, such as "eu-west/std-4". Any list of columns may replace it.
DEFAULT_KIND_COLUMNS: tuple[str, ...] = ("RegionId", "SkuId")

#: Usage rows of an export: consumption, not purchases, taxes or credits; spot and other
#: dynamic prices are dropped since no commitment applies to them.
FOCUS_USAGE = "\"ChargeCategory\" = 'Usage' AND coalesce(\"PricingCategory\", '') <> 'Dynamic'"
# Rows for the unused part of a commitment consume nothing (their quantity should be
# null; some exports repeat the commitment's size there).
_FOCUS_USED = "coalesce(\"CommitmentDiscountStatus\", '') <> 'Unused'"

GroupKey = tuple[str | None, ...]

#: What DuckDB may hold while it splits an export (its largest tables hold a row per group, kind
#: and period); the rest spills to disk. `velmar batch` plans the groups beside it.
SPLIT_MEMORY_LIMIT = "2GB"


def load_focus(
    paths: Paths,
    period: Period = "H",
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
    sub_account: str | None = None,
    start: str | None = None,
    end: str | None = None,
    kinds: Collection[str] | None = None,
    services: Sequence[str] | None = None,
) -> UsageHistory:
    """Usage of a FOCUS 1.0-1.3 export: `ConsumedQuantity` per period and planned kind.

    A kind is the values of `kind_columns` joined by "/" (an empty value reads as ""). The
    kinds planned are `kinds`, or without them those whose `ConsumedUnit` is hours.
    `sub_account` keeps one `SubAccountId`, `services` those `ServiceName`s; `start`/`end`
    keep rows with `ChargePeriodStart` in [start, end). The history runs from the first to
    the last period with planned usage.
    """
    _check_kinds(period, kind_columns)
    with connection() as con:
        export = export_of(con, paths)
        also = ["SubAccountId"] if sub_account is not None else []
        base, layout = _focus_rows(export, kind_columns, also, kinds)
        selection = base
        source = f"FOCUS export {export.label}"
        if sub_account is not None:
            selection = base.narrowed('CAST("SubAccountId" AS VARCHAR) = $sub_account', {"sub_account": sub_account})
            source += f", SubAccountId {sub_account}"
        if services:
            source += f", services {', '.join(services)}"
        aggregation = Aggregation(con, selection, layout, period, Window(start, end), kinds, services)
        history = aggregation.history(0, source)
        if history is not None:
            return replace(history, notes=(*_set_aside(export), *history.notes))
        aggregation.explain_empty()
        if sub_account is not None:
            _explain_unknown_sub_account(con, base, sub_account)
        raise UserError(_no_usage_rows(export))


@contextmanager
def split_focus(
    paths: Paths,
    by: Sequence[str],
    period: Period = "H",
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
    start: str | None = None,
    end: str | None = None,
    spill_directory: str | None = None,
    kinds: Collection[str] | None = None,
    services: Sequence[str] | None = None,
) -> Iterator[FocusSplit]:
    """The usage of a FOCUS export split into groups by the values of the columns `by`.

    Two passes over the export aggregate every group at once (DuckDB spilling to
    `spill_directory`, or to a temporary one, beyond `SPLIT_MEMORY_LIMIT`);
    `FocusSplit.history` then reads one group's cells only and gives its usage exactly as
    `load_focus` would read it with a filter on `by`, and a group with bad rows fails
    alone, with `load_focus`'s message.
    """
    _check_kinds(period, kind_columns)
    if not by:
        raise UserError("group columns: give at least one column")
    with connection(spill_directory, SPLIT_MEMORY_LIMIT) as con:
        export = export_of(con, paths)
        selection, layout = _focus_rows(export, kind_columns, by, kinds, groups=tuple(by))
        aggregation = Aggregation(con, selection, layout, period, Window(start, end), kinds, services)
        split = FocusSplit(aggregation, export, tuple(by))
        if not split.keys:
            aggregation.explain_empty()
            raise UserError(_no_usage_rows(export))
        yield split


class FocusSplit:
    """Groups of a FOCUS export's usage, aggregated at once (see `split_focus`)."""

    def __init__(self, aggregation: Aggregation, export: Export, by: tuple[str, ...]) -> None:
        self._aggregation, self._label, self._by = aggregation, export.label, by
        self._notes = _set_aside(export)
        #: Each group's values of the `by` columns, as text (None for an empty value).
        self.keys: tuple[GroupKey, ...] = aggregation.keys

    def kinds(self) -> tuple[str, ...]:
        """Every planned kind with usage in any group, sorted."""
        return self._aggregation.kinds()

    def history(self, index: int) -> UsageHistory:
        """The usage of group `index` of `keys`; raises `load_focus`'s UserError if its rows are bad."""
        described = ", ".join(f"{column} {value}" for column, value in zip(self._by, self.keys[index]))
        history = self._aggregation.history(index, f"FOCUS export {self._label}, {described}")
        if history is None:
            outside = self._aggregation.outside(index)
            spent = f"; its usage spend, {outside.spend:,.2f}, is all outside the plan" if outside.spend else ""
            raise UserError(f"{self._label}, {described}: no usage of a kind the price file names{spent}")
        return replace(history, notes=(*self._notes, *history.notes))


def export_currency(paths: Paths) -> str | None:
    """The export's `BillingCurrency` (None without the column or a value); several are an error."""
    with connection() as con:
        export = export_of(con, paths)
        if not export.usage.has_column("BillingCurrency"):
            return None
        found = con.column(
            f"""SELECT DISTINCT CAST("BillingCurrency" AS VARCHAR) AS c FROM {export.usage.scan()}
                WHERE c IS NOT NULL ORDER BY 1 LIMIT 6"""
        )
    if len(found) > 1:
        raise UserError(f"{export.label}: column 'BillingCurrency': several currencies ({listed(found)})")
    return found[0] if found else None


def _focus_rows(
    export: Export,
    kind_columns: Sequence[str],
    also: Sequence[str],
    kinds: Collection[str] | None,
    groups: tuple[str, ...] = (),
) -> tuple[Selection, Layout]:
    """The usage rows of a FOCUS export and where they keep what; fails on a missing column."""
    files = export.usage
    required = ["ChargeCategory", "PricingCategory", "ChargePeriodStart", "ChargePeriodEnd", "ConsumedQuantity"]
    if kinds is None:
        required.append("ConsumedUnit")
    require_columns(files, [*required, *kind_columns, *also], focus=True)
    where = [FOCUS_USAGE]
    if files.has_column("CommitmentDiscountStatus"):
        where.append(_FOCUS_USED)
    present = {name for name in ("ChargeClass", "BillingCurrency", "ServiceName") if files.has_column(name)}
    layout = Layout(
        "ChargePeriodStart",
        "ConsumedQuantity",
        tuple(kind_columns),
        end="ChargePeriodEnd",
        groups=groups,
        unit="ConsumedUnit" if kinds is None else None,
        correction="ChargeClass" if "ChargeClass" in present else None,
        currency="BillingCurrency" if "BillingCurrency" in present else None,
        service="ServiceName" if "ServiceName" in present else None,
        costs=tuple(name for name in ("EffectiveCost", "BilledCost") if files.has_column(name)),
    )
    return Selection(files, " AND ".join(where), {}), layout


def _set_aside(export: Export) -> list[str]:
    if not export.not_focus:
        return []
    return [f"left out of the export, having no FOCUS column: {listed(list(export.not_focus))}"]


def _no_usage_rows(export: Export) -> str:
    return f"{export.label}: no usage rows (ChargeCategory 'Usage', PricingCategory other than 'Dynamic')"


def _explain_unknown_sub_account(con: Connection, base: Selection, sub_account: str) -> None:
    known = con.column(
        f"""SELECT DISTINCT CAST("SubAccountId" AS VARCHAR) AS id FROM {base.files.scan()}
            WHERE {base.where} AND id IS NOT NULL ORDER BY id LIMIT 6""",
        base.params,
    )
    if known:
        raise UserError(
            f"{base.files.label}: column 'SubAccountId': no usage rows for '{sub_account}' (known: {listed(known)})"
        )


def _check_kinds(period: str, kind_columns: Sequence[str]) -> None:
    check_period(period)
    if not kind_columns:
        raise UserError("kind columns: give at least one column")
