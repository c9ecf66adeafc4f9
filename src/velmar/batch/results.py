"""The rows of a batch, its checkpoint and its tables.

A group's rows are plain JSON-ready dicts: one per model of its plan, with the figures
of the group's whole plan repeated on each, or a single row with its error. As each
group finishes, its rows are appended to `results.jsonl` as one line and synced to
disk: that file is the checkpoint a rerun resumes from. `results.parquet` and
`results.csv` are written from it, each whole or not at all.

A group with no usage is planned (nothing to buy): its row says so in `note`, and the
figures that have no meaning without usage (coverage) are null.
"""

from __future__ import annotations

import json
import math
import os
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from velmar.atomic import replaced_atomically
from velmar.data import GroupKey
from velmar.data.sql import connection, identifier, literal
from velmar.errors import UserError
from velmar.records import HOURS_PER_PERIOD, ModelPlan, Recommendation
from velmar.report.outputs import json_number, plan_figures

Row = dict[str, Any]

#: Columns of every row after the grouping columns, with their SQL types.
RESULT_COLUMNS: Mapping[str, str] = {
    "model": "VARCHAR",
    "reserved_units": "VARCHAR",  # JSON object: kind -> whole units per hour (reserved models)
    "amount_per_hour": "DOUBLE",  # money per hour (savings-plan models)
    "break_even_months": "DOUBLE",
    "cost": "DOUBLE",  # this and the figures up to `method`: the group's whole plan
    "on_demand_cost": "DOUBLE",
    "savings": "DOUBLE",
    "savings_rate": "DOUBLE",
    "coverage": "DOUBLE",
    "unused_commitment": "DOUBLE",
    "lower_bound": "DOUBLE",
    "gap_percent": "DOUBLE",
    "method": "VARCHAR",
    "kinds": "INTEGER",
    "periods": "INTEGER",
    "seconds": "DOUBLE",  # time taken by the planner
    "status": "VARCHAR",  # "ok" or "error"
    "error": "VARCHAR",
    "note": "VARCHAR",  # what else happened to a group that was planned
}
JOURNAL, PARQUET, CSV, SUMMARY = "results.jsonl", "results.parquet", "results.csv", "summary.html"
#: The note of a group without usage in the window.
NO_USAGE = "no usage: nothing to buy"


def plan_rows(rec: Recommendation, periods: int, seconds: float, note: str | None = None) -> list[Row]:
    """One row per model of a recommendation (one without a model if it has none)."""
    group = {
        **plan_figures(rec),
        "kinds": len(rec.kinds),
        "periods": periods,
        "seconds": seconds,
        "status": "ok",
        "error": None,
        "note": note,
    }
    by_model = {plan.model: plan for plan in rec.plans}
    rows = [{**_commitment(by_model.get(model, ModelPlan(model)), rec.period), **group} for model in rec.models]
    return rows or [{**_commitment(None, rec.period), **group}]


def error_rows(message: str, seconds: float) -> list[Row]:
    """The one row of a group that could not be planned."""
    return [{**dict.fromkeys(RESULT_COLUMNS), "seconds": seconds, "status": "error", "error": message}]


def failed(rows: Sequence[Row]) -> bool:
    """Whether a group's rows are those of `error_rows`."""
    return bool(rows[0].get("status") == "error")


def _commitment(plan: ModelPlan | None, period: str) -> Row:
    if plan is None:
        return {"model": None, "reserved_units": None, "amount_per_hour": None, "break_even_months": None}
    reserved = plan.model.startswith("RI")
    units = {kind: float(units) for kind, units in sorted(plan.reserved.items()) if units > 0}
    return {
        "model": plan.model,
        "reserved_units": json.dumps(units) if reserved else None,
        "amount_per_hour": None if reserved else plan.amount_per_period / HOURS_PER_PERIOD[period],
        "break_even_months": json_number(plan.break_even_months),
    }


class Journal:
    """The rows of every finished group, kept in a file that only grows (or in memory without one).

    A line is written whole and synced before its group counts as done; a line cut
    short by a crash was never counted and is dropped when the file is opened again.
    A group found twice keeps its last line, so no group ever has two sets of rows.
    """

    def __init__(self, path: Path | None) -> None:
        self.groups: dict[GroupKey, list[Row]] = {}
        self._path = path
        if path is None or not path.exists():
            return
        content = path.read_bytes()
        whole = content[: content.rfind(b"\n") + 1]
        for number, line in enumerate(whole.splitlines(), start=1):
            try:
                entry = json.loads(line)
                self.groups[tuple(entry["group"])] = list(entry["rows"])
            except (ValueError, KeyError, TypeError):
                raise UserError(f"{path}: line {number} is damaged; remove the folder to start again") from None
        if len(whole) < len(content):
            with path.open("r+b") as stream:
                stream.truncate(len(whole))

    def append(self, key: GroupKey, rows: list[Row]) -> None:
        self.groups[key] = rows
        if self._path is None:
            return
        line = json.dumps({"group": list(key), "rows": rows}, allow_nan=False) + "\n"
        with self._path.open("ab") as stream:
            stream.write(line.encode("utf-8"))
            stream.flush()
            os.fsync(stream.fileno())

    def table(self, by: Sequence[str]) -> list[Row]:
        """Every row, its group's values first, groups in order and models as planned."""
        ordered = sorted(self.groups.items(), key=lambda item: [(value is None, value or "") for value in item[0]])
        return [{**dict(zip(by, key)), **row} for key, rows in ordered for row in rows]


class Tables:
    """Writes the journal's rows as Parquet and CSV, at most every `interval` seconds until the last write."""

    def __init__(self, folder: Path, by: Sequence[str], interval: float = 5.0) -> None:
        self.parquet, self.csv = folder / PARQUET, folder / CSV
        self._by, self._interval, self._written = tuple(by), interval, -math.inf

    def write(self, journal: Journal, final: bool = False) -> None:
        if not final and time.monotonic() - self._written < self._interval:
            return
        rows = journal.table(self._by)
        columns = {**dict.fromkeys(self._by, "VARCHAR"), **RESULT_COLUMNS}
        data = {name: np.array([row.get(name) for row in rows], dtype=object) for name in columns}
        select = ", ".join(
            f"CAST({identifier(name)} AS {kind}) AS {identifier(name)}" for name, kind in columns.items()
        )
        with connection() as con:
            con.register("results", data)
            for target, options in ((self.parquet, "FORMAT parquet"), (self.csv, "FORMAT csv, HEADER true")):
                with replaced_atomically(target) as temporary:
                    con.execute(f"COPY (SELECT {select} FROM results) TO {literal(str(temporary))} ({options})")
        self._written = time.monotonic()
