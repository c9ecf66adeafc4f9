"""Commitments already owned: savings plans and reservations from a file, or from the export itself."""

from __future__ import annotations

from collections.abc import Collection, Iterator, Sequence

import numpy as np

from velmar.data.commitments import active_commitments, contract_terms
from velmar.data.files import Paths, cell_number, read_small_csv, require_columns_of
from velmar.data.focus import DEFAULT_KIND_COLUMNS
from velmar.data.sql import Connection, connection, listed, parse_time
from velmar.errors import UserError
from velmar.records import HOURS_PER_PERIOD, ExistingReservation, ExistingSavingsPlan, Term, UsageHistory

#: The end of a commitment whose end the inputs do not tell: it runs past any history.
FAR_FUTURE = np.datetime64("9999-01-01T00:00:00", "s")


def load_existing(path: str) -> tuple[ExistingSavingsPlan, ...]:
    """Savings plans already bought, from a CSV with columns `amount_per_hour`, `start`,
    `end` and optionally `term` (1Y or 3Y, default 3Y) and `name`."""
    plans = []
    for number, row, begins, ends, term, name in _dated_rows(path, "amount_per_hour"):
        plans.append(ExistingSavingsPlan(_amount(path, number, row, "amount_per_hour"), begins, ends, term, name))
    return tuple(plans)


def load_existing_reservations(path: str, kinds: Collection[str]) -> tuple[ExistingReservation, ...]:
    """Reservations already bought, from a CSV with columns `kind`, `units` (reserved units of the
    kind per hour), `start`, `end` and optionally `term` and `name`; in force over [start, end)."""
    owned = []
    for number, row, begins, ends, term, name in _dated_rows(path, "units", "kind"):
        kind = row["kind"] or ""
        if kind not in kinds:
            raise UserError(f"{path}: row {number}, column 'kind': '{kind}' is not a kind to plan")
        owned.append(ExistingReservation(kind, _amount(path, number, row, "units"), begins, ends, term, name))
    return tuple(owned)


def existing_from_export(
    export: Paths,
    history: UsageHistory,
    kinds: Collection[str] | None = None,
    kind_columns: Sequence[str] = DEFAULT_KIND_COLUMNS,
) -> tuple[tuple[ExistingSavingsPlan, ...], tuple[ExistingReservation, ...], str]:
    """The savings plans and reservations the export shows in force in the history's last period.

    A savings plan (category "Spend") spends the money per hour of its rows in that period; a
    reservation (category "Usage") reserves, of the kind whose usage it paid for, its used and
    unused quantity per hour there. Where the export holds its contract commitments, their dates
    and terms come from there; otherwise they are taken to run past the history. Reservations of
    kinds not planned (`kinds`, default the history's) are left out. The note says all that.
    """
    planned = set(history.kinds if kinds is None else kinds)
    last = history.timestamps[-1].astype("datetime64[s]")
    hours = HOURS_PER_PERIOD[history.period]
    with connection() as con:
        seen, resolved = active_commitments(con, export, last, hours, kind_columns)
        terms = contract_terms(con, resolved, [commitment.id for commitment in seen])
    plans: list[ExistingSavingsPlan] = []
    reservations: list[ExistingReservation] = []
    left_out: list[str] = []
    for commitment in seen:
        start, end, term = terms.get(commitment.id, (commitment.first, FAR_FUTURE, commitment.term))
        if commitment.category == "Spend":
            plans.append(ExistingSavingsPlan(commitment.money_per_hour, start, end, term, commitment.id))
        elif commitment.kind in planned:
            reservations.append(
                ExistingReservation(commitment.kind, commitment.units_per_hour, start, end, term, commitment.id)
            )
        else:
            left_out.append(commitment.id)
    note = f"commitments in force in the export's last period ({last}): "
    note += f"savings plans ({len(plans)}): {listed([p.name for p in plans])}" if plans else "no savings plan"
    note += f"; reservations ({len(reservations)}): {listed([r.name for r in reservations])}" if reservations else ""
    if left_out:
        note += f"; left out, as reservations of kinds not planned: {listed(left_out)}"
    if not seen:
        note = f"no commitment in force in the export's last period ({last})"
    elif terms:
        note += f"; their terms and end dates are those of the contract commitments ({resolved.label})"
    else:
        reason = (
            "the contract commitments name none of them (their ids do not match)"
            if resolved.contract_commitments
            else "the export has no contract commitments"
        )
        note += f"; {reason}: taken to run past the history, on the term their rows name (else 3Y)"
    return tuple(plans), tuple(reservations), note


def _dated_rows(
    path: str, amount: str, *also: str
) -> Iterator[tuple[int, dict[str, str | None], np.datetime64, np.datetime64, Term, str]]:
    """Each row of a file of owned commitments with its start, end, term and name, checked."""
    with connection() as con:
        header, rows = read_small_csv(con, path)
        required = [*also, amount, "start", "end"]
        require_columns_of(path, header, required, known=(*required, "term", "name"))
        dated = [(number, row, *_dates(con, path, number, row)) for number, row in enumerate(rows, start=1)]
    for number, row, begins, ends in dated:
        name = row.get("name") or f"existing {number}"
        yield number, row, begins, ends, _term(path, number, row.get("term")), name


def _dates(con: Connection, path: str, number: int, row: dict[str, str | None]) -> tuple[np.datetime64, np.datetime64]:
    begins = parse_time(con, row["start"], f"{path}: row {number}, column 'start'")
    ends = parse_time(con, row["end"], f"{path}: row {number}, column 'end'")
    if ends <= begins:
        raise UserError(f"{path}: row {number}: end {row['end']} is not after start {row['start']}")
    return begins, ends


def _amount(path: str, number: int, row: dict[str, str | None], column: str) -> float:
    value = cell_number(path, number, row, column)
    if value is None:
        raise UserError(f"{path}: row {number}, column '{column}': empty")
    return value


def _term(path: str, number: int, raw: str | None) -> Term:
    term = (raw or "3Y").upper()
    if term == "1Y":
        return "1Y"
    if term == "3Y":
        return "3Y"
    raise UserError(f"{path}: row {number}, column 'term': '{raw}' is not 1Y or 3Y")
