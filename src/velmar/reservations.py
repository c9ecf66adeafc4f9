"""Reservations already owned: they cover their kind first, and what they cost is already paid.

The module serves reservations before savings plans and on demand, each kind on its own, so
a reservation already owned takes its units off its kind's usage in every period it is in
force before anything new is planned: the usage that is left is exactly what new
commitments and on demand then pay for.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import replace

import numpy as np

from velmar.portfolio import hours_in_force
from velmar.records import ExistingReservation, UsageHistory


def reserved_unit_hours(history: UsageHistory, reservations: Sequence[ExistingReservation]) -> np.ndarray:
    """(periods, kinds) unit-hours the reservations can cover: units x the hours of each period in force."""
    column = {kind: index for index, kind in enumerate(history.kinds)}
    covered = np.zeros_like(history.usage, dtype=np.float64)
    for owned in reservations:
        covered[:, column[owned.kind]] += owned.units * hours_in_force(history, owned.start, owned.end)
    return covered


def net_of_reservations(
    history: UsageHistory, reservations: Sequence[ExistingReservation]
) -> tuple[UsageHistory, str | None]:
    """The usage the reservations leave to plan, and a note on what they cover (None without any)."""
    if not reservations:
        return history, None
    left = np.maximum(history.usage - reserved_unit_hours(history, reservations), 0.0)
    total = float(history.usage.sum())
    covered = total - float(left.sum())
    names = ", ".join(owned.name or owned.kind for owned in reservations)
    share = f" ({covered / total:.1%} of the usage)" if total > 0 else ""
    note = (
        f"reservations already owned ({names}) cover {covered:,.1f} unit-hours first{share}; "
        "new commitments are planned, and every figure priced, on the usage they leave"
    )
    return replace(history, usage=left), note
