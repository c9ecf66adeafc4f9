"""One planning problem in the module's terms: the arrays every search, bound and price reads.

`build_portfolio` turns a history, a price table, the commitment models to plan and the
existing savings plans into one `Portfolio`. Its kind columns are ordered by savings-plan
discount, deepest first: the module spends a savings plan on the kinds in column order,
and in that order its spending is the cheapest one (the fractional-knapsack order).
Kind names travel with the portfolio, so this order never reaches a user's record.

New levels are one vector (`Levels`) in the module's model order: for each reserved
model (RI3Y, then RI1Y) one entry per kind in units per hour, then for each savings plan
(SP3Y, then SP1Y) its money per period. Existing savings plans have no entry: their
money per period is a column of `existing_money`, zero outside their dates.

Existing plans in the module's calls:
  - `final_cost_coverage_underutilization` refuses already-paid names, so each existing
    plan is an extra "SP3Y" model with its own per-period column, listed before the new
    savings plans. The module's stable sort then serves it before a new SP3Y and SP1Y,
    and the "SP3Y" name gives it the three-year expiry (1095 days) of an already-paid
    plan: exactly how `general_optimisation` and `optimise_predictions` serve a
    "payed_" model (sorted after reservations, before new savings plans).
  - The searches take the same plans as "payed_<i>" names with `current_sp_commitments`.
  - An existing plan spends at the rates of its own term, or of the other term when the
    price table lacks them, or at on-demand rates (no discount) when it has neither.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from velmar.backend import portfolio_figure
from velmar.errors import UserError
from velmar.records import (
    COMMITMENT_MODELS,
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    Floats,
    ModelPlan,
    Period,
    PriceTable,
    UsageHistory,
)

RESERVED = ("RI3Y", "RI1Y")
SAVINGS_PLANS = ("SP3Y", "SP1Y")
#: Days a commitment of each model stays in force (an existing plan is priced as SP3Y).
TERM_DAYS: Mapping[str, int] = {"RI3Y": 1095, "SP3Y": 1095, "RI1Y": 365, "SP1Y": 365}

Levels = Floats
Ints = npt.NDArray[np.intp]


@dataclass(frozen=True)
class Portfolio:
    """Usage, rates and existing money of one planning problem, in the module's order."""

    #: Kind names in the module's column order (deepest savings-plan discount first).
    kinds: tuple[str, ...]
    #: (T, n) unit-hours per period, columns in `kinds` order.
    usage: Floats
    period: Period
    #: New commitment models planned, in the module's order (subset of COMMITMENT_MODELS).
    models: tuple[str, ...]
    on_demand: Floats
    #: Per-kind rate of each model of `models`.
    rates: Mapping[str, Floats]
    #: (T, E) money per period of each existing plan, zero outside its dates.
    existing_money: Floats
    #: (E, n) rates each existing plan spends at.
    existing_rates: Floats
    notes: tuple[str, ...] = ()

    @property
    def hours(self) -> int:
        return HOURS_PER_PERIOD[self.period]

    @property
    def periods(self) -> int:
        return int(self.usage.shape[0])

    @property
    def reserved_models(self) -> tuple[str, ...]:
        return tuple(m for m in self.models if m in RESERVED)

    @property
    def savings_models(self) -> tuple[str, ...]:
        return tuple(m for m in self.models if m in SAVINGS_PLANS)

    @property
    def level_count(self) -> int:
        return len(self.reserved_models) * len(self.kinds) + len(self.savings_models)

    def active_periods(self, model: str) -> int:
        """Periods, from the first, in which a commitment of `model` is in force."""
        return min(TERM_DAYS[model] * 24 // self.hours, self.periods)

    def charge_per_period(self, model: str, levels: Levels) -> float:
        """What `model`'s new commitments in `levels` charge each period they are in force:
        reserved units at their rates every hour, or the savings plan's money."""
        entries = levels[self.slot(model)]
        return float(entries @ (self.hours * self.rates[model]) if model in RESERVED else entries[0])

    def slot(self, model: str) -> slice:
        """Entries of `model` in a level vector."""
        n = len(self.kinds)
        reserved = self.reserved_models
        if model in reserved:
            start = reserved.index(model) * n
            return slice(start, start + n)
        start = len(reserved) * n + self.savings_models.index(model)
        return slice(start, start + 1)

    def pricing_models(self) -> list[str]:
        """Model names of `final_cost_coverage_underutilization`, existing plans as SP3Y."""
        existing = ["SP3Y"] * self.existing_rates.shape[0]
        return [*self.reserved_models, *existing, *self.savings_models, "OD"]

    def pricing_prices(self) -> Floats:
        rows = [self.rates[m] for m in self.reserved_models]
        rows += list(self.existing_rates)
        rows += [self.rates[m] for m in self.savings_models]
        rows.append(self.on_demand)
        return np.ascontiguousarray(np.vstack(rows), dtype=np.float64)

    def search_models(self) -> list[str]:
        """Model names of the module's searches, existing plans as already-paid ones."""
        existing = [f"payed_{i}" for i in range(self.existing_rates.shape[0])]
        return [*self.reserved_models, *existing, *self.savings_models, "OD"]

    def levels_of_commitments(self, commitments: Mapping[str, npt.NDArray[np.uint64]]) -> Levels:
        """The level vector of a search result's `commitments` (by term, single-plan layout)."""
        levels = np.zeros(self.level_count)
        for model in self.models:
            key = "three_years_commitments" if model.endswith("3Y") else "one_year_commitments"
            if key not in commitments:
                continue
            vector = np.asarray(commitments[key], dtype=np.float64)
            levels[self.slot(model)] = vector[1:] if model in RESERVED else vector[:1]
        return levels

    def plans(self, levels: Levels) -> tuple[ModelPlan, ...]:
        """The new commitments of `levels` as records keyed by kind name."""
        result = []
        for model in self.models:
            values = levels[self.slot(model)]
            if model in RESERVED:
                reserved = {kind: float(v) for kind, v in zip(self.kinds, values) if v > 0}
                result.append(ModelPlan(model, reserved=reserved))
            else:
                amount = float(values[0])
                result.append(ModelPlan(model, amount_per_period=amount, amount_per_hour=amount / self.hours))
        return tuple(result)

    def levels_of_plans(self, plans: Sequence[ModelPlan]) -> Levels:
        """The level vector of plan records (models absent from the portfolio refused)."""
        levels = np.zeros(self.level_count)
        column = {kind: k for k, kind in enumerate(self.kinds)}
        for plan in plans:
            if plan.model not in self.models:
                raise UserError(f"plan: model {plan.model} has no prices in the price table")
            entries = levels[self.slot(plan.model)]
            if plan.model in RESERVED:
                for kind, units in plan.reserved.items():
                    if kind not in column:
                        raise UserError(f"plan: {plan.model} reserves kind {kind!r}, which the history does not have")
                    entries[column[kind]] = units
            else:
                entries[0] = plan.amount_per_period
        return levels


class Pricer:
    """The module's figures of level vectors, reusing its arrays between calls.

    The usage is held kind-major (the module reads its transpose, column-major), so
    `reorder` re-points the pricer at another kind column order by copying only the
    kinds that move. The levels go to the module as one row broadcast over the periods
    when the existing plans' money is the same in every period (the module then reads
    that row once), else as a matrix whose level columns are rewritten when they change.
    """

    def __init__(self, portfolio: Portfolio) -> None:
        self.portfolio = portfolio
        self._models = portfolio.pricing_models()
        self._portfolio_prices = portfolio.pricing_prices()
        self._prices = self._portfolio_prices
        self._kind_usage = np.array(portfolio.usage.T, dtype=np.float64, order="C")
        self._portfolio_kind_usage: Floats | None = None
        self._order = np.arange(len(portfolio.kinds))
        n_new = portfolio.level_count
        n_reserved = len(portfolio.reserved_models) * len(portfolio.kinds)
        money = portfolio.existing_money
        existing = money.shape[1]
        self._row = np.zeros(n_new + existing)
        self._tiled = bool(np.all(money == money[:1]))
        if self._tiled:
            self._row[n_reserved : n_reserved + existing] = money[:1]
            self._matrix = np.broadcast_to(self._row, (portfolio.periods, self._row.size))
        else:
            self._matrix = np.zeros((portfolio.periods, self._row.size))
            self._matrix[:, n_reserved : n_reserved + existing] = money
        # Matrix column of each entry of a level vector.
        self._columns = np.r_[np.arange(n_reserved), np.arange(n_reserved + existing, n_new + existing)]
        self._written = np.zeros(n_new)
        #: Calls to the module so far.
        self.pricings = 0

    def reorder(self, order: Ints) -> None:
        """Prices from now on in the portfolio's kind columns taken in `order` (positions of its own
        columns, as `column_order.reordered`): level vectors are then laid out in that order."""
        if self._portfolio_kind_usage is None:
            self._portfolio_kind_usage = self._kind_usage.copy()
        moved = np.flatnonzero(order != self._order)
        self._kind_usage[moved] = self._portfolio_kind_usage[order[moved]]
        self._prices = np.ascontiguousarray(self._portfolio_prices[:, order])
        self._order = np.array(order, dtype=np.intp)

    def figure(self, levels: Levels, what: str = "cost") -> float:
        """The module's "cost", "coverage" or "underutilization" of `levels`."""
        self.pricings += 1
        changed = np.flatnonzero(levels != self._written)
        if changed.size:
            if self._tiled:
                self._row[self._columns[changed]] = levels[changed]
            else:
                self._matrix[:, self._columns[changed]] = levels[changed]
            self._written = np.array(levels, dtype=np.float64)
        usage = self._kind_usage.T
        return portfolio_figure(usage, self._prices, self._matrix, self._models, self.portfolio.period, what)

    def cost(self, levels: Levels) -> float:
        return self.figure(levels, "cost")


def check_models(models: Sequence[str]) -> None:
    """Refuses an empty or unknown `--models`."""
    unknown = [model for model in models if model not in COMMITMENT_MODELS]
    if unknown or not models:
        raise UserError(f"--models: {unknown[0] if unknown else 'empty'!r} is not one of {','.join(COMMITMENT_MODELS)}")


def build_portfolio(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str] = COMMITMENT_MODELS,
    existing: Sequence[ExistingSavingsPlan] = (),
    load_factor: float = 1.0,
    kind_order: Sequence[str] | None = None,
) -> Portfolio:
    """The planning problem of `models` over `history` (usage scaled by `load_factor`).

    Its kind columns follow `kind_order` when given (the `kinds` of a recommendation,
    which a plan is priced in), else the savings-plan discount order.
    """
    unknown = [m for m in models if m not in COMMITMENT_MODELS]
    if unknown:
        raise UserError(f"models: {unknown[0]!r} is not one of {', '.join(COMMITMENT_MODELS)}")
    if not load_factor > 0 or not np.isfinite(load_factor):
        raise UserError(f"load factor: {load_factor} is not a positive number")
    rates_of = _rates_by_model(history, prices)
    notes = [f"{m} has no rates in the price table: not planned" for m in models if m not in rates_of]
    planned = tuple(m for m in COMMITMENT_MODELS if m in models and m in rates_of)
    existing_rates = [_existing_rates(plan, rates_of) for plan in existing]
    order = _discount_order(rates_of, planned, existing) if kind_order is None else _given_order(history, kind_order)
    usage = np.asarray(history.usage, dtype=np.float64)[:, order] * load_factor
    money = existing_columns(history, existing) if existing else np.zeros((usage.shape[0], 0))
    return Portfolio(
        kinds=tuple(history.kinds[k] for k in order),
        usage=np.ascontiguousarray(usage),
        period=history.period,
        models=planned,
        on_demand=rates_of["OD"][order],
        rates={m: rates_of[m][order] for m in planned},
        existing_money=np.ascontiguousarray(money, dtype=np.float64),
        existing_rates=np.array([r[order] for r in existing_rates]).reshape(len(existing), len(order)),
        notes=tuple(notes),
    )


def existing_columns(history: UsageHistory, plans: Sequence[ExistingSavingsPlan]) -> Floats:
    """Money each existing plan pays in each period: (periods, plans).

    A plan pays its amount per hour for every hour of a period inside [start, end); a
    period it covers in part gets the matching share.
    """
    columns = np.zeros((len(history.timestamps), len(plans)), dtype=np.float64)
    for index, plan in enumerate(plans):
        columns[:, index] = plan.amount_per_hour * hours_in_force(history, plan.start, plan.end)
    return columns


def hours_in_force(history: UsageHistory, start: np.datetime64, end: np.datetime64) -> Floats:
    """The hours of each period of `history` that lie inside [start, end)."""
    period_starts = history.timestamps.astype("datetime64[s]").astype(np.int64)
    period_ends = period_starts + 3600 * HOURS_PER_PERIOD[history.period]
    begins = start.astype("datetime64[s]").astype(np.int64)
    ends = end.astype("datetime64[s]").astype(np.int64)
    seconds = np.minimum(period_ends, ends) - np.maximum(period_starts, begins)
    hours: Floats = np.clip(seconds, 0, None) / 3600.0
    return hours


def _rates_by_model(history: UsageHistory, prices: PriceTable) -> dict[str, Floats]:
    """On-demand ("OD") and commitment rates in the history's column order."""
    column = {kind: k for k, kind in enumerate(prices.kinds)}
    missing = [kind for kind in history.kinds if kind not in column]
    if missing:
        raise UserError(f"prices: kind {missing[0]!r} of the usage has no price")
    take = [column[kind] for kind in history.kinds]
    rates = {"OD": np.asarray(prices.on_demand, dtype=np.float64)[take]}
    for model, values in prices.commitment.items():
        rates[model] = np.asarray(values, dtype=np.float64)[take]
    for model, values in rates.items():
        if not np.all(np.isfinite(values)) or np.any(values < 0):
            raise UserError(f"prices: {model} holds a negative or missing rate")
    return rates


def _existing_rates(plan: ExistingSavingsPlan, rates_of: Mapping[str, Floats]) -> Floats:
    for model in (f"SP{plan.term}", *SAVINGS_PLANS, "OD"):
        if model in rates_of:
            return rates_of[model]
    raise AssertionError("on-demand rates are always present")


def _given_order(history: UsageHistory, kind_order: Sequence[str]) -> Ints:
    column = {kind: k for k, kind in enumerate(history.kinds)}
    if sorted(kind_order) != sorted(column):
        raise UserError("kinds: the column order given does not list the kinds of the usage, each once")
    return np.array([column[kind] for kind in kind_order], dtype=np.intp)


def _discount_order(
    rates_of: Mapping[str, Floats], planned: Sequence[str], existing: Sequence[ExistingSavingsPlan]
) -> Ints:
    """Kind columns by savings-plan rate over on-demand price, smallest (deepest) first.

    The rates of the longest-term savings plan planned decide (the module serves it
    first); without a new savings plan, those of the first existing plan.
    """
    on_demand = rates_of["OD"]
    deciding = next((m for m in SAVINGS_PLANS if m in planned), None)
    if deciding is not None:
        rate = rates_of[deciding]
    elif existing:
        rate = _existing_rates(existing[0], rates_of)
    else:
        return np.arange(on_demand.size)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = np.where(on_demand > 0, rate / np.where(on_demand > 0, on_demand, 1.0), np.inf)
    return np.argsort(share, kind="stable")
