"""The commitments an export shows (one per `CommitmentDiscountId`), as its usage rows tell them.

Rows of a commitment are its "Used" rows (the usage it paid for, with what that cost it) and
its "Unused" rows (what it cost for nothing); their money together is what it costs.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from velmar.data.files import Export, Files, Paths, export_of
from velmar.data.focus import DEFAULT_KIND_COLUMNS
from velmar.data.sql import Connection, connection, identifier, number, timestamp
from velmar.records import SeenCommitment, Term

# How rows name a three-year and a one-year term (names, price details of each provider).
_THREE_YEARS = re.compile(r"3\s*-?\s*y(ea)?rs?|P3Y|THIRTY_SIX_MONTH|36\s*-?\s*months?", re.IGNORECASE)
_ONE_YEAR = re.compile(r"1\s*-?\s*y(ea)?rs?|P1Y|TWELVE_MONTH|12\s*-?\s*months?", re.IGNORECASE)
_STATUS_ROWS = "coalesce(status, 'Used') IN ('Used', 'Unused')"


@dataclass(frozen=True)
class ActiveCommitment:
    """A commitment with rows in a given period, and what they say it is there."""

    id: str
    category: str
    #: The hour of its first row in the export.
    first: np.datetime64
    #: The term its rows name, 3Y when they name none.
    term: Term
    money_per_hour: float
    units_per_hour: float
    #: The kind whose usage it paid for most (in the period, else anywhere), None if none.
    kind: str | None


def list_commitments(export: Paths, kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS) -> tuple[SeenCommitment, ...]:
    """Every commitment the export's usage rows show, by id: its money per hour and used share."""
    with connection() as con:
        files = export_of(con, export).usage
        if not files.has_column("CommitmentDiscountId"):
            return ()
        rows = con.all(
            f"""SELECT id, max(type), max(category), max(name),
                       CAST(epoch(date_trunc('hour', min(ts))) AS BIGINT) AS first,
                       CAST(epoch(date_trunc('hour', max(ts))) AS BIGINT) AS last,
                       sum(cost) FILTER (WHERE {_STATUS_ROWS}) AS money,
                       sum(cost) FILTER (WHERE status = 'Used') AS used, count(status) AS with_status,
                       list(DISTINCT kind ORDER BY kind) FILTER (WHERE {_PAID_FOR}) AS kinds
                FROM ({_commitment_rows(files, kind_columns)}) WHERE ts IS NOT NULL GROUP BY id ORDER BY id"""
        )
    seen = []
    for id_, type_, category, name, first, last, money, used, with_status, kinds in rows:
        hours = (last - first) // 3600 + 1
        share = float(used or 0.0) / money if with_status and money else None
        seen.append(
            SeenCommitment(
                str(id_),
                str(type_ or ""),
                str(category or ""),
                np.datetime64(first, "s"),
                np.datetime64(last, "s"),
                float(money or 0.0) / hours,
                share,
                tuple(kinds or ()),
                str(name or ""),
            )
        )
    return tuple(seen)


_PAID_FOR = "coalesce(status, 'Used') = 'Used' AND consumed IS NOT NULL"


def active_commitments(
    con: Connection, export: Paths, period_start: np.datetime64, hours: int, kind_columns: Sequence[str]
) -> tuple[list[ActiveCommitment], Export]:
    """The commitments with Used or Unused rows in the period starting at `period_start`."""
    resolved = export_of(con, export)
    files = resolved.usage
    if not files.has_column("CommitmentDiscountId"):
        return [], resolved
    begins = int(period_start.astype("datetime64[s]").astype(np.int64))
    ends = begins + 3600 * hours
    in_period = f"epoch(ts) >= {begins} AND epoch(ts) < {ends} AND {_STATUS_ROWS}"
    rows = con.all(
        f"""SELECT id, max(category), CAST(epoch(date_trunc('hour', min(ts))) AS BIGINT), max(terms),
                   sum(cost) FILTER (WHERE {in_period}) AS money,
                   sum(quantity) FILTER (WHERE {in_period}) AS quantity,
                   least(max(coalesce(epoch(ends), epoch(ts) + 3600)) FILTER (WHERE {in_period}), {ends})
                       - greatest(min(epoch(ts)) FILTER (WHERE {in_period}), {begins}) AS seconds,
                   coalesce(arg_max(kind, consumed) FILTER (WHERE {in_period} AND {_PAID_FOR}),
                            arg_max(kind, consumed) FILTER (WHERE {_PAID_FOR})) AS kind
            FROM ({_commitment_rows(files, kind_columns)}) WHERE ts IS NOT NULL
            GROUP BY id HAVING count(*) FILTER (WHERE {in_period}) > 0 ORDER BY id"""
    )
    active = []
    for id_, category, first, terms, money, quantity, seconds, kind in rows:
        per_hour = 3600.0 / max(float(seconds or 0.0), 3600.0)
        active.append(
            ActiveCommitment(
                str(id_),
                str(category or ""),
                np.datetime64(first, "s"),
                _term_named(terms),
                float(money or 0.0) * per_hour,
                float(quantity or 0.0) * per_hour,
                None if kind is None else str(kind),
            )
        )
    return active, resolved


def contract_terms(
    con: Connection, export: Export, ids: Sequence[str]
) -> dict[str, tuple[np.datetime64, np.datetime64, Term]]:
    """Start, end and term of each of `ids` that the export's contract commitments name."""
    files = export.contract_commitments
    if files is None or not ids:
        return {}
    rows = con.all(
        f"""SELECT CAST("ContractCommitmentId" AS VARCHAR) AS id,
                   CAST(epoch({timestamp("ContractCommitmentPeriodStart")}) AS BIGINT) AS start,
                   CAST(epoch({timestamp("ContractCommitmentPeriodEnd")}) AS BIGINT) AS stop
            FROM {files.scan()} WHERE id IN (SELECT unnest($ids::VARCHAR[])) AND start IS NOT NULL AND stop > start""",
        {"ids": list(ids)},
    )
    terms: dict[str, tuple[np.datetime64, np.datetime64, Term]] = {}
    for id_, start, stop in rows:
        term: Term = "1Y" if stop - start < 2 * 365 * 86400 else "3Y"
        terms[str(id_)] = (np.datetime64(start, "s"), np.datetime64(stop, "s"), term)
    return terms


def _term_named(text: str | None) -> Term:
    if text and _THREE_YEARS.search(text):
        return "3Y"
    if text and _ONE_YEAR.search(text):
        return "1Y"
    return "3Y"


def _commitment_rows(files: Files, kind_columns: Sequence[str]) -> str:
    """SQL of the usage rows of commitments: id, type, category, name, status, kind, ts, ends, cost,
    quantity (the commitment's), consumed and terms (text that may name the term)."""

    def text(column: str) -> str:
        return f"CAST({identifier(column)} AS VARCHAR)" if files.has_column(column) else "NULL::VARCHAR"

    def value(column: str) -> str:
        return number(column) if files.has_column(column) else "NULL::DOUBLE"

    kind = "concat_ws('/', " + ", ".join(f"coalesce({text(column)}, '')" for column in kind_columns) + ")"
    ends = timestamp("ChargePeriodEnd") if files.has_column("ChargePeriodEnd") else "NULL::TIMESTAMP"
    return f"""SELECT {text("CommitmentDiscountId")} AS id, {text("CommitmentDiscountType")} AS type,
                      {text("CommitmentDiscountCategory")} AS category, {text("CommitmentDiscountName")} AS name,
                      {text("CommitmentDiscountStatus")} AS status, {kind} AS kind,
                      {timestamp("ChargePeriodStart")} AS ts, {ends} AS ends,
                      coalesce({value("EffectiveCost")}, {value("BilledCost")}) AS cost,
                      coalesce({value("CommitmentDiscountQuantity")}, {value("ConsumedQuantity")}) AS quantity,
                      {value("ConsumedQuantity")} AS consumed,
                      concat_ws(' ', {text("CommitmentDiscountName")}, {text("SkuPriceDetails")}) AS terms
               FROM {files.scan()} WHERE "ChargeCategory" = 'Usage' AND "CommitmentDiscountId" IS NOT NULL"""
