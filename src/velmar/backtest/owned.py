"""What a rule has bought, as the planner's records of commitments already owned."""

from __future__ import annotations

from collections.abc import Sequence
from typing import cast

import numpy as np

from velmar.pieces import purchase_end
from velmar.portfolio import RESERVED
from velmar.records import ExistingReservation, ExistingSavingsPlan, Purchase, Recommendation, Term

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


def purchases_of(rec: Recommendation, date: np.datetime64) -> tuple[Purchase, ...]:
    """The new commitments of a recommendation, bought at `date` (models it buys nothing of left out)."""
    purchases = []
    for plan in rec.plans:
        reserved = {kind: units for kind, units in plan.reserved.items() if units > 0}
        if reserved or plan.amount_per_hour > 0:
            purchases.append(Purchase(plan.model, date, reserved=reserved, amount_per_hour=plan.amount_per_hour))
    return tuple(purchases)
