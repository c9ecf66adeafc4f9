"""Buying rules: what each would buy at a decision date, seeing only the rows before it.

A rule gets a `Decision`: the history (which may run past the date: a rule reads it only
through `Decision.seen`), the rates, the date and what it bought before, in force at the
date with its real dates. It returns the purchases it makes at the date.

The rules that plan on past usage (`history`, `lookback:DAYS`) replay the past as the
future: the window they plan on stands for the months after the date, its first row for
the date itself. That is how the module counts a new commitment (from the first row of the
call), so what they already own is placed the same way: it counts in the window for what
is left of its term from the date on.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any, Protocol

import numpy as np

from velmar.errors import UserError
from velmar.pieces import purchases
from velmar.plan import recommend
from velmar.records import (
    HOURS_PER_PERIOD,
    ExistingReservation,
    ExistingSavingsPlan,
    PriceTable,
    Purchase,
    UsageHistory,
)
from velmar.reservations import net_of_reservations

#: Days of usage whose mean sizes a ladder's step, unless the rule names its own.
LADDER_DAYS = 90


@dataclass(frozen=True)
class Decision:
    """What a rule may know at `date`."""

    history: UsageHistory
    prices: PriceTable
    date: np.datetime64
    #: Savings plans and reservations the rule bought before, in force at the date, with their real dates.
    savings_plans: tuple[ExistingSavingsPlan, ...] = ()
    reservations: tuple[ExistingReservation, ...] = ()
    models: tuple[str, ...] = ()
    seed: int = 0

    @property
    def seen(self) -> UsageHistory:
        """The rows before the date: all a rule may look at."""
        return _rows_before(self.history, self.date)

    def last_days(self, days: int) -> UsageHistory:
        """The rows of the last `days` days before the date."""
        since = self.date.astype("datetime64[s]") - np.timedelta64(days, "D")
        seen = self.seen
        first = int(np.searchsorted(seen.timestamps.astype("datetime64[s]"), since))
        return seen.rows(first)


class Rule(Protocol):
    @property
    def name(self) -> str:
        """The rule as it is written on the command line, e.g. "lookback:90"."""
        ...

    def buy(self, decision: Decision) -> tuple[Purchase, ...]: ...


@dataclass(frozen=True)
class OnDemand:
    """Buys nothing."""

    name: str = "on-demand"

    def buy(self, decision: Decision) -> tuple[Purchase, ...]:
        return ()


@dataclass(frozen=True)
class Recommended:
    """`recommend` on the past `days` days (all the history seen when None), what it owns counted."""

    name: str
    days: int | None = None

    def buy(self, decision: Decision) -> tuple[Purchase, ...]:
        window = decision.seen if self.days is None else decision.last_days(self.days)
        if not len(window.timestamps):
            return ()
        return recommend_as_if_next(window, decision)


@dataclass(frozen=True)
class Percentile:
    """RI3Y: reserves each kind's `percentile`-th percentile of units per hour over the last `days` days,
    whole units, less what it has reserved already."""

    name: str
    percentile: float
    days: int

    def buy(self, decision: Decision) -> tuple[Purchase, ...]:
        window = _recent_usage(decision, self.name, "RI3Y", self.days)
        if not len(window.timestamps):
            return ()
        per_hour = np.percentile(window.usage / HOURS_PER_PERIOD[window.period], self.percentile, axis=0)
        held = {kind: 0.0 for kind in window.kinds}
        for owned in decision.reservations:
            held[owned.kind] += owned.units
        wanted = {kind: math.floor(level + 1e-9) - held[kind] for kind, level in zip(window.kinds, per_hour)}
        reserved = {kind: float(units) for kind, units in wanted.items() if units > 0}
        return (Purchase("RI3Y", decision.date, reserved=reserved),) if reserved else ()


@dataclass(frozen=True)
class Ladder:
    """SP3Y: adds `share` of the mean hourly demand at SP3Y rates (over the last `days` days) at every
    decision, as long as the savings plans it holds stay below `cap` times that demand."""

    name: str
    share: float
    cap: float
    days: int = LADDER_DAYS

    def buy(self, decision: Decision) -> tuple[Purchase, ...]:
        window = _recent_usage(decision, self.name, "SP3Y", self.days)
        if not len(window.timestamps):
            return ()
        column = {kind: index for index, kind in enumerate(decision.prices.kinds)}
        rates = np.asarray(decision.prices.commitment["SP3Y"])[[column[kind] for kind in window.kinds]]
        demand = float((window.usage @ rates).mean()) / HOURS_PER_PERIOD[window.period]
        held = sum(plan.amount_per_hour for plan in decision.savings_plans)
        amount = min(self.share * demand, self.cap * demand - held)
        return (Purchase("SP3Y", decision.date, amount_per_hour=amount),) if amount > 0 else ()


@dataclass(frozen=True)
class Forward:
    """The forecast planner at the date, over `scenarios` forecast paths (its default when None): buys the
    first tranche of its forward plan."""

    name: str = "forward"
    scenarios: int | None = None

    def buy(self, decision: Decision) -> tuple[Purchase, ...]:
        from velmar.forecast import plan_forward

        paths: dict[str, Any] = {} if self.scenarios is None else {"n_scenarios": self.scenarios}
        plan = plan_forward(
            decision.seen,
            decision.prices,
            models=decision.models,
            existing=decision.savings_plans,
            reservations=decision.reservations,
            seed=decision.seed,
            **paths,
        )
        # Later tranches are advice: the rule buys only what the plan buys now (possibly nothing).
        now = plan.summary.start
        return tuple(replace(p, start=decision.date) for p in plan.purchases if p.start == now)


def recommend_as_if_next(window: UsageHistory, decision: Decision) -> tuple[Purchase, ...]:
    """`recommend` on `window` read as the months after the date, with what the rule owns (see the module doc)."""
    shift = decision.date.astype("datetime64[s]") - window.timestamps[0].astype("datetime64[s]")
    start = window.timestamps[0].astype("datetime64[s]")
    plans = [replace(plan, start=start, end=plan.end - shift) for plan in decision.savings_plans]
    reservations = [replace(owned, start=start, end=owned.end - shift) for owned in decision.reservations]
    left, _ = net_of_reservations(window, reservations)
    rec = recommend(left, decision.prices, models=decision.models, existing=plans, seed=decision.seed)
    return purchases(rec.plans, decision.date)


#: The rules `velmar backtest` compares unless told otherwise.
DEFAULT_RULES = (
    "forward", "history", "lookback:90", "lookback:365", "percentile:10:90", "ladder:0.15:0.8", "on-demand",
)  # fmt: skip
RULE_FORMS = "forward[:SCENARIOS], history, lookback:DAYS, percentile:P:DAYS, ladder:SHARE:CAP[:DAYS], on-demand"
#: What `velmar backtest --help` says of the rules.
RULES_HELP = f"""rules (--strategies LIST, comma-separated; each sees only the rows before a decision):
  forward[:SCENARIOS]      the forecast planner at each date, over SCENARIOS forecast paths
                           (default: its own); buys the first tranche of its plan
  history                  recommend on all the history seen, what the rule owns counted
  lookback:DAYS            recommend on the last DAYS days seen, likewise
  percentile:P:DAYS        RI3Y: each kind's P-th percentile of units per hour over the last
                           DAYS days, less what is reserved already
  ladder:SHARE:CAP[:DAYS]  SP3Y: add SHARE of the mean hourly demand at SP3Y rates (last DAYS
                           days, default {LADDER_DAYS}) at each decision, up to CAP times that demand
  on-demand                buys nothing
  The reference: the static plan of perfect knowledge, recommended on the usage from the first
  decision to the end and bought at the first decision."""


def parse_rule(text: str) -> Rule:
    """A rule from its name on the command line; a UserError names what is wrong with it."""
    name, *values = text.strip().split(":")
    counts = {"forward": (0, 1), "on-demand": (0,), "history": (0,), "lookback": (1,), "percentile": (2,),
              "ladder": (2, 3)}  # fmt: skip
    if name not in counts or len(values) not in counts[name]:
        raise UserError(f"--strategies: {text!r} is not one of {RULE_FORMS}")
    numbers = [_number(text, value) for value in values]
    days = [int(n) for n in numbers[-1:]] if name in ("lookback", "percentile") or len(values) == 3 else []
    if any(d < 1 or d != n for d, n in zip(days, numbers[-1:])):
        raise UserError(f"--strategies: {text!r}: DAYS must be a whole number of days, at least 1")
    if name == "forward" and numbers and (numbers[0] < 1 or numbers[0] != int(numbers[0])):
        raise UserError(f"--strategies: {text!r}: SCENARIOS must be a whole number, at least 1")
    rule: Rule
    if name == "forward":
        rule = Forward(text, int(numbers[0]) if numbers else None)
    elif name == "on-demand":
        rule = OnDemand(text)
    elif name in ("history", "lookback"):
        rule = Recommended(text, days[0] if days else None)
    elif name == "percentile":
        if not 0 <= numbers[0] <= 100:
            raise UserError(f"--strategies: {text!r}: the percentile P must lie between 0 and 100")
        rule = Percentile(text, numbers[0], days[0])
    else:
        if not (0 < numbers[0] <= 1 and 0 < numbers[1] <= 1):
            raise UserError(f"--strategies: {text!r}: SHARE and CAP must be shares above 0 and at most 1")
        rule = Ladder(text, numbers[0], numbers[1], *days)
    return rule


def parse_rules(texts: Sequence[str]) -> tuple[Rule, ...]:
    """Rules from their names, each once."""
    rules = tuple(parse_rule(text) for text in texts)
    names = [rule.name for rule in rules]
    repeated = next((name for name in names if names.count(name) > 1), None)
    if repeated is not None or not rules:
        raise UserError(f"--strategies: {repeated or 'none'!r}: give each rule once, at least one")
    return rules


def _recent_usage(decision: Decision, rule: str, model: str, days: int) -> UsageHistory:
    """The last `days` days seen, for a rule that buys `model` (which the rates and models must offer)."""
    if model not in decision.prices.commitment or model not in decision.models:
        raise UserError(f"{rule}: buys {model}, which the prices or --models leave out")
    return decision.last_days(days)


def _number(text: str, value: str) -> float:
    try:
        number = float(value)
    except ValueError:
        raise UserError(f"--strategies: {text!r}: {value!r} is not a number") from None
    if not math.isfinite(number):
        raise UserError(f"--strategies: {text!r}: {value!r} is not a number")
    return number


def _rows_before(history: UsageHistory, date: np.datetime64) -> UsageHistory:
    last = int(np.searchsorted(history.timestamps.astype("datetime64[s]"), date.astype("datetime64[s]")))
    return history.rows(last=last)
