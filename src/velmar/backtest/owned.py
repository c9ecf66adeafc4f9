"""What a rule has bought, as the planner's records of commitments already owned."""

from __future__ import annotations

from collections.abc import Sequence
from typing import cast

import numpy as np

from velmar.pieces import purchase_end
from velmar.portfolio import RESERVED
from velmar.records import ExistingReservation, ExistingSavingsPlan, Purchase, Term

Owned = tuple[tuple[ExistingSavingsPlan, ...], tuple[ExistingReservation, ...]]


def owned_at(purchases: Sequence[Purchase], date: np.datetime64) -> Owned:
    """The purchases still in force at `date`, with their real dates: savings plans and reservations."""
    plans: list[ExistingSavingsPlan] = []
    reservations: list[ExistingReservation] = []
    for index, purchase in enumerate(purchases):
        end = purchase_end(purchase)
        if end <= date:
            continue
        term = cast(Term, purchase.model[2:])
        name = f"{purchase.model} of {np.datetime_as_string(purchase.start, unit='D')}"
        if purchase.model in RESERVED:
            reservations += [
                ExistingReservation(kind, units, purchase.start, end, term, f"{name} #{index}")
                for kind, units in purchase.reserved.items()
            ]
        else:
            plans.append(ExistingSavingsPlan(purchase.amount_per_hour, purchase.start, end, term, f"{name} #{index}"))
    return tuple(plans), tuple(reservations)
