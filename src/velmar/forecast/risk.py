"""Risk measures of a plan's cost over equally likely scenarios."""

from __future__ import annotations

import numpy as np

from velmar.errors import UserError
from velmar.records import Floats

#: The tail the report shows when no risk measure is asked for: the worst tenth of the scenarios.
DEFAULT_TAIL_LEVEL = 0.9


def parse_risk(text: str) -> float:
    """The level of a risk measure written "cvar:LEVEL" (0 <= LEVEL < 1)."""
    name, _, level = text.partition(":")
    try:
        value = float(level)
    except ValueError:
        value = float("nan")
    if name.strip().lower() != "cvar" or not 0.0 <= value < 1.0:
        raise UserError(f"risk: {text!r} is not cvar:LEVEL with a level from 0 up to (not including) 1, e.g. cvar:0.9")
    return value


def tail_mean(costs: Floats, level: float) -> float:
    """CVaR at `level`: the mean cost of the worst (1 - level) share of equally likely scenarios.

    The share may cut a scenario in part (Rockafellar and Uryasev's minimum over the threshold);
    at level 0 it is the mean.
    """
    worst_first = np.sort(np.asarray(costs, dtype=np.float64))[::-1]
    share = (1.0 - level) * worst_first.size
    whole = int(np.floor(share + 1e-12))
    total = worst_first[:whole].sum()
    if whole < worst_first.size:
        total += (share - whole) * worst_first[whole]
    return float(total / share)
