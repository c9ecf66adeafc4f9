"""The rolling backtest: each rule decides at every decision date, then pays for the usage that followed.

At each date a rule sees the rows before it and what it bought before (still in force, with
the real dates); everything it buys starts at the date and stays in force for its model's
term. Its realized cost is the module's price of the usage from the first decision to the
end of the history with those purchases (`velmar.pieces.price_in_pieces`), month by month.
The reference is the static plan of perfect knowledge: `recommend` on that same usage,
bought once at the first decision.

Regret: (cost - reference cost) / reference cost, the extra cost of a rule over the
reference as a share of what the reference paid (negative when a rule that buys over time
beat the static plan).
"""

from __future__ import annotations

import itertools
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from functools import partial

import numpy as np

from velmar.backtest.calendar import decision_rows, month_edges
from velmar.backtest.owned import owned_at
from velmar.backtest.rules import Decision, Rule, parse_rule
from velmar.pieces import price_in_pieces, purchases
from velmar.plan import recommend
from velmar.portfolio import check_models
from velmar.records import COMMITMENT_MODELS, Floats, PriceTable, Purchase, UsageHistory

Progress = Callable[[str], None]
REFERENCE = "perfect static plan"
REGRET_DEFINITION = (
    "regret: (cost - reference cost) / reference cost, the reference being the static plan recommended on the "
    "usage from the first decision to the end (perfect knowledge), bought once at the first decision"
)


@dataclass(frozen=True)
class RuleOutcome:
    """What a rule bought and what that cost on the usage that followed."""

    rule: str
    purchases: tuple[Purchase, ...]
    cost: float
    on_demand_cost: float
    #: Money committed (reservations' hourly charges, savings plans' money) that covered nothing.
    unused_commitment: float
    #: Money paid for the rule's commitments over the window.
    committed: float
    #: Cost and all-on-demand cost of each month of the window (`BacktestResult.month_starts`).
    monthly_cost: Floats
    monthly_on_demand: Floats
    #: (cost - reference cost) / reference cost.
    regret: float = 0.0
    #: Seconds the rule took to decide, over every decision.
    seconds: float = 0.0

    @property
    def savings(self) -> float:
        return self.on_demand_cost - self.cost

    @property
    def savings_rate(self) -> float:
        return self.savings / self.on_demand_cost if self.on_demand_cost > 0 else 0.0


@dataclass(frozen=True)
class BacktestResult:
    """Every rule's outcome over the same window, and the reference's."""

    history: UsageHistory
    decisions: tuple[np.datetime64, ...]
    #: The first period of each month of the window; the window ends with the history.
    month_starts: tuple[np.datetime64, ...]
    outcomes: tuple[RuleOutcome, ...]
    reference: RuleOutcome
    models: tuple[str, ...]


def run_backtest(
    history: UsageHistory,
    prices: PriceTable,
    rules: Sequence[str | Rule],
    start_months: int = 12,
    every_months: int = 3,
    models: Sequence[str] = COMMITMENT_MODELS,
    seed: int = 0,
    progress: Progress | None = None,
) -> BacktestResult:
    """Every rule run over the history, decisions every `every_months` months from month `start_months`."""
    say = progress or (lambda _: None)
    check_models(models)
    chosen = [parse_rule(rule) if isinstance(rule, str) else rule for rule in rules]
    rows = decision_rows(history, start_months, every_months)
    dates = tuple(history.timestamps[row] for row in rows)
    edges = month_edges(history, rows[0])
    window = history.rows(rows[0])

    def outcome(name: str, buy: Callable[[], tuple[Purchase, ...]]) -> RuleOutcome:
        began = time.perf_counter()
        purchases = buy()
        seconds = time.perf_counter() - began
        return replace(_realized(name, history, prices, purchases, edges), seconds=seconds)

    outcomes = [
        outcome(rule.name, partial(_bought_over_time, rule, history, prices, dates, tuple(models), seed, say))
        for rule in chosen
    ]
    say(f"{REFERENCE}: planning")
    reference = outcome(
        REFERENCE, lambda: purchases(recommend(window, prices, models=models, seed=seed).plans, dates[0])
    )
    return BacktestResult(
        history=history,
        decisions=dates,
        month_starts=tuple(history.timestamps[row] for row in edges[:-1]),
        outcomes=tuple(_with_regret(outcome, reference.cost) for outcome in outcomes),
        reference=_with_regret(reference, reference.cost),
        models=tuple(models),
    )


def _bought_over_time(
    rule: Rule,
    history: UsageHistory,
    prices: PriceTable,
    dates: Sequence[np.datetime64],
    models: tuple[str, ...],
    seed: int,
    say: Progress,
) -> tuple[Purchase, ...]:
    """Everything `rule` buys at the dates, each decision knowing what the earlier ones bought."""
    bought: list[Purchase] = []
    for index, date in enumerate(dates):
        say(f"{rule.name}: decision {index + 1} of {len(dates)}")
        plans, reservations = owned_at(bought, date)
        decision = Decision(history, prices, date, plans, reservations, models, seed)
        bought += rule.buy(replace(decision, history=decision.seen))
    return tuple(bought)


def _realized(
    name: str, history: UsageHistory, prices: PriceTable, purchases: tuple[Purchase, ...], edges: Sequence[int]
) -> RuleOutcome:
    """The module's price of each month from the first decision on, with `purchases` in force over their terms."""
    months = []
    for first, last in itertools.pairwise(edges):
        month = history.rows(first, last)
        months.append(price_in_pieces(month, prices, purchases))
    return RuleOutcome(
        rule=name,
        purchases=purchases,
        cost=sum(m.cost for m in months),
        on_demand_cost=sum(m.on_demand_cost for m in months),
        unused_commitment=max(sum(m.unused_commitment for m in months), 0.0),  # float noise below zero
        committed=sum(m.committed for m in months),
        monthly_cost=np.array([m.cost for m in months]),
        monthly_on_demand=np.array([m.on_demand_cost for m in months]),
    )


def _with_regret(outcome: RuleOutcome, reference_cost: float) -> RuleOutcome:
    regret = (outcome.cost - reference_cost) / reference_cost if reference_cost > 0 else 0.0
    return replace(outcome, regret=regret)
