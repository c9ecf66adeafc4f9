"""A cap on the sum of upfront payments, which every stage of the planner keeps to.

The sum is linear in a level vector (upfront per unit of each entry times the entry), so the
LP and whole-unit bounds take it as one more row and stay proven bounds of the capped problem.
The polish is judged by `BudgetJudge`, which prices a plan above the cap as infinitely dear, so
no move past the cap is ever kept; a candidate plan above it is first brought within it
(`UpfrontBudget.fitted`).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from velmar.polish import Judge, whole_units
from velmar.portfolio import Levels, Portfolio
from velmar.records import Floats

#: Relative slack of the cap (the LP's own tolerance).
SLACK = 1e-9


@dataclass(frozen=True)
class UpfrontBudget:
    """At most `amount` paid upfront; `per_level` is the upfront money per unit of each level entry."""

    per_level: Floats
    amount: float

    def spent(self, levels: Levels) -> float:
        return float(self.per_level @ levels)

    def allows(self, levels: Levels) -> bool:
        return self.spent(levels) <= self.amount * (1 + SLACK) + SLACK

    def fitted(self, portfolio: Portfolio, levels: Levels) -> Levels:
        """`levels` with every entry that pays upfront scaled down (whole units and amount steps
        rounded down) until the upfront sum is within the cap; `levels` itself when it is."""
        if self.allows(levels):
            return levels
        paid = self.per_level > 0
        fitted = np.array(levels, dtype=np.float64)
        fitted[paid] *= self.amount / self.spent(levels)
        return whole_units(portfolio, fitted, down=True)


class BudgetJudge:
    """A judge of the polish that finds every plan above the cap infinitely dear."""

    def __init__(self, judge: Judge, budget: UpfrontBudget) -> None:
        self.judge = judge
        self.budget = budget
        self.portfolio = judge.portfolio

    @property
    def pricings(self) -> int:
        return self.judge.pricings

    def cost(self, levels: Levels) -> float:
        return self.judge.cost(levels) if self.budget.allows(levels) else float("inf")
