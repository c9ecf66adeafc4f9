"""A purchase schedule: tranches bought at given months of the horizon, each model in force for its term.

Levels of a schedule are one portfolio level vector per tranche, stacked (D, level_count): row 0 is
bought at the horizon's first period (the decision made now), row d at `starts[d]`. A tranche's
commitment of model m is in force over [start, start + term) cut at the horizon's end.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from velmar.errors import UserError
from velmar.pieces import purchases
from velmar.portfolio import TERM_DAYS, Portfolio
from velmar.records import HOURS_PER_MONTH, Floats, Purchase


@dataclass(frozen=True)
class Schedule:
    """Months ahead and first periods of every tranche (the first at month 0), over `periods` periods."""

    months: tuple[int, ...]
    starts: tuple[int, ...]
    periods: int
    hours: int

    def window(self, tranche: int, model: str) -> tuple[int, int]:
        """Periods [first, last) of the horizon in which a tranche's commitment of `model` is in force."""
        first = self.starts[tranche]
        return first, min(first + TERM_DAYS[model] * 24 // self.hours, self.periods)

    def in_force(self, portfolio: Portfolio) -> npt.NDArray[np.bool_]:
        """(periods, tranches, models) whether each tranche's commitment of each model is in force."""
        mask = np.zeros((self.periods, len(self.starts), len(portfolio.models)), dtype=bool)
        for tranche in range(len(self.starts)):
            for index, model in enumerate(portfolio.models):
                first, last = self.window(tranche, model)
                mask[first:last, tranche, index] = True
        return mask


def make_schedule(months: Sequence[int], horizon_months: int, periods: int, hours: int) -> Schedule:
    """The schedule of tranches at `months` ahead (besides the one now); months must lie inside the horizon."""
    later = sorted(set(months))
    if later != list(months) or any(not 0 < month < horizon_months for month in later):
        raise UserError(
            f"schedule: months {','.join(map(str, months))} are not increasing whole months between 1 and "
            f"{horizon_months - 1} (the horizon)"
        )
    every = (0, *later)
    # A month that ends inside a period starts its tranche with the next period.
    return Schedule(every, tuple(-(-month * HOURS_PER_MONTH // hours) for month in every), periods, hours)


def purchases_of(
    portfolio: Portfolio, levels: Floats, schedule: Schedule, timestamps: npt.NDArray[np.datetime64]
) -> tuple[Purchase, ...]:
    """The non-empty purchases of schedule levels (D, level_count), dated by the horizon's `timestamps`."""
    return tuple(
        bought
        for tranche, start in enumerate(schedule.starts)
        for bought in purchases(portfolio.plans(levels[tranche]), timestamps[start])
    )
