"""Families of kinds whose reservations fit any size: planned as one kind each, in normalised units.

A families file (`kind, family, factor`) says how many normalised units one unit of each kind
is. A reservation of a family covers normalised unit-hours of any of its kinds, so the planner
plans the family as one kind: its usage is each kind's quantity times its factor, its rates are
per normalised unit (rate / factor). That is the cost model exactly when every kind of the
family costs the same per normalised unit, for on demand and every model and payment option;
`pool` checks that within 0.5% and refuses the file otherwise. Savings plans buy the family's
total usage at its rate per normalised unit, which is each kind's own rate: exact as well.

The planner's unit of a family is its smallest factor (so a whole number of them can be bought
in its smallest size); the figures a user sees are in normalised units. A family's reservation
is bought as whole instances (`instances`), and what it covered is handed back to its kinds in
proportion to each kind's normalised usage in each period: exact for the totals, since the
family's covered normalised unit-hours of a period are shared out in full.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace

import numpy as np

from velmar.allocation import allocate, recommendation_portfolio
from velmar.data.files import cell_number, read_small_csv, require_columns_of
from velmar.data.sql import connection
from velmar.errors import UserError
from velmar.portfolio import RESERVED
from velmar.records import (
    ExistingSavingsPlan,
    FamilyPlan,
    Floats,
    PaymentChoice,
    PriceTable,
    Recommendation,
    UsageHistory,
)

#: How far apart (relative) a family's prices per normalised unit may be.
PROPORTIONAL_WITHIN = 0.005
#: How a family's reserved coverage is handed back to its kinds, in the words of the report.
FAMILY_COVERAGE_NOTE = (
    "the normalised unit-hours a family's reservations covered in each period are shared among its kinds in "
    "proportion to each kind's normalised usage in that period (exact for the totals)"
)


@dataclass(frozen=True)
class Families:
    """Each kind's family and factor (normalised units per unit), as a families file gives them."""

    source: str
    family_of: Mapping[str, str]
    factor: Mapping[str, float]

    def members(self, family: str) -> tuple[str, ...]:
        return tuple(kind for kind, named in self.family_of.items() if named == family)


def load_families(path: str) -> Families:
    """The families file `path`: one row per kind, each kind in one family, every factor positive."""
    with connection() as con:
        header, rows = read_small_csv(con, path)
    require_columns_of(path, header, ["kind", "family", "factor"], known=("kind", "family", "factor"))
    family_of: dict[str, str] = {}
    factor: dict[str, float] = {}
    for number, row in enumerate(rows, start=1):
        kind, family = row["kind"], row["family"]
        if not kind or not family:
            raise UserError(f"{path}: row {number}: kind and family are both needed")
        if kind in family_of:
            raise UserError(f"{path}: row {number}: kind '{kind}' is already in family '{family_of[kind]}'")
        value = _positive(path, number, row)
        family_of[kind], factor[kind] = family, value
    return Families(path, family_of, factor)


def _positive(path: str, number: int, row: Mapping[str, str | None]) -> float:
    try:
        value = cell_number(path, number, row, "factor")
    except UserError:
        value = None
    if value is None or value <= 0:
        raise UserError(f"{path}: row {number}, column 'factor': '{row['factor'] or ''}' is not a positive number")
    return value


@dataclass(frozen=True)
class Pooling:
    """How a history's kinds were pooled: each planned family's kinds and planning unit."""

    families: Families
    #: Family -> its kinds with usage, in the history's order.
    planned: Mapping[str, tuple[str, ...]]
    #: Family -> normalised units per planning unit (its smallest factor).
    unit: Mapping[str, float]
    #: The history before pooling (kinds by their own names).
    history: UsageHistory

    def scale(self, kind: str) -> float:
        """Planning units per unit of a pooled kind."""
        return self.families.factor[kind] / self.unit[self.families.family_of[kind]]


def pool(
    history: UsageHistory, prices: PriceTable, choices: Sequence[PaymentChoice], families: Families
) -> tuple[UsageHistory, PriceTable, tuple[PaymentChoice, ...], Pooling]:
    """The history, prices and payment choices with each family's kinds as one kind (named after it)."""
    planned: dict[str, list[str]] = {}
    for kind in history.kinds:
        if kind in families.family_of:
            planned.setdefault(families.family_of[kind], []).append(kind)
    clash = sorted(set(planned) & (set(history.kinds) - set(families.family_of)))
    if clash:
        raise UserError(f"{families.source}: family '{clash[0]}' has the name of a kind outside it")
    unit = {family: min(families.factor[k] for k in families.members(family)) for family in planned}
    pooling = Pooling(families, {f: tuple(kinds) for f, kinds in planned.items()}, unit, history)
    _check_proportional(prices, pooling)
    columns = _columns(history.kinds, pooling)
    return (
        pool_history(history, pooling),
        _pooled_prices(prices, columns, pooling),
        tuple(_pooled_choice(choice, columns, pooling) for choice in choices),
        pooling,
    )


def _columns(kinds: Sequence[str], pooling: Pooling) -> dict[str, tuple[str, ...]]:
    """Pooled column name -> the kinds it holds, in the order of the kinds' first appearance."""
    columns: dict[str, tuple[str, ...]] = {}
    for kind in kinds:
        family = pooling.families.family_of.get(kind)
        columns[family or kind] = pooling.planned[family] if family else (kind,)
    return columns


def pool_history(history: UsageHistory, pooling: Pooling) -> UsageHistory:
    """`history` (the same kinds as the pooled one, e.g. its hourly rows) with each family as one kind."""
    columns = _columns(history.kinds, pooling)
    index = {kind: k for k, kind in enumerate(history.kinds)}
    usage = np.column_stack(
        [sum(history.usage[:, index[k]] * _scale(pooling, k) for k in kinds) for kinds in columns.values()]
    ).reshape(len(history.timestamps), len(columns))
    return replace(history, kinds=tuple(columns), usage=usage)


def _scale(pooling: Pooling, kind: str) -> float:
    return pooling.scale(kind) if kind in pooling.families.family_of else 1.0


def _rates(prices: PriceTable) -> dict[str, Floats]:
    """Every rate array a family must price alike per normalised unit, by a name for the message."""
    rates = {"on_demand": prices.on_demand, **{model.lower(): values for model, values in prices.commitment.items()}}
    for model, options in prices.options.items():
        for option in options:
            suffix = f":{option.name}" if option.name else ""
            rates[f"{model.lower()}{suffix}"] = option.hourly
            rates[f"{model.lower()}_upfront{suffix}"] = option.upfront
    return rates


def _check_proportional(prices: PriceTable, pooling: Pooling) -> None:
    index = {kind: k for k, kind in enumerate(prices.kinds)}
    factor = pooling.families.factor
    rates = _rates(prices)
    for family, kinds in pooling.planned.items():
        for name, values in rates.items():
            per_unit = [(kind, float(values[index[kind]]) / factor[kind]) for kind in kinds]
            low = min(per_unit, key=lambda item: item[1])
            high = max(per_unit, key=lambda item: item[1])
            offered = {math.isnan(value) for _, value in per_unit}
            if len(offered) > 1 or high[1] > low[1] * (1 + PROPORTIONAL_WITHIN):
                raise UserError(
                    f"{pooling.families.source}: family '{family}': {name} per normalised unit differs by more than "
                    f"{PROPORTIONAL_WITHIN:.1%}: '{low[0]}' {values[index[low[0]]]:g} / {factor[low[0]]:g} against "
                    f"'{high[0]}' {values[index[high[0]]]:g} / {factor[high[0]]:g}"
                )


def _representatives(
    kinds: Sequence[str], columns: Mapping[str, tuple[str, ...]], pooling: Pooling
) -> tuple[list[int], Floats]:
    """Per pooled column, the position in `kinds` of its first kind and that kind's units per planning unit."""
    index = {kind: k for k, kind in enumerate(kinds)}
    first = [members[0] for members in columns.values()]
    return [index[kind] for kind in first], np.array([_scale(pooling, kind) for kind in first])


def _pooled_prices(prices: PriceTable, columns: Mapping[str, tuple[str, ...]], pooling: Pooling) -> PriceTable:
    take, per_unit = _representatives(prices.kinds, columns, pooling)
    return replace(
        prices,
        kinds=tuple(columns),
        on_demand=prices.on_demand[take] / per_unit,
        commitment={model: values[take] / per_unit for model, values in prices.commitment.items()},
        options={
            model: tuple(replace(o, hourly=o.hourly[take] / per_unit, upfront=o.upfront[take] / per_unit) for o in os)
            for model, os in prices.options.items()
        },
    )


def _pooled_choice(choice: PaymentChoice, columns: Mapping[str, tuple[str, ...]], pooling: Pooling) -> PaymentChoice:
    take, per_unit = _representatives(choice.kinds, columns, pooling)
    # A reservation's payments are per unit (so per planning unit here); a savings plan's per unit of money.
    money = per_unit if choice.model in RESERVED else np.ones(len(take))
    return replace(
        choice,
        kinds=tuple(columns),
        options=tuple(choice.options[k] for k in take),
        hourly=choice.hourly[take] / money,
        upfront=choice.upfront[take] / money,
        equivalent=choice.equivalent[take] / per_unit,
        flip_below=tuple(choice.flip_below[k] for k in take),
        flip_above=tuple(choice.flip_above[k] for k in take),
    )


def instances(units: float, sizes: Mapping[str, float]) -> dict[str, int]:
    """Whole instances per kind that make up `units` normalised units.

    The chosen size is the largest whose factor divides `units` (else the largest that fits);
    as many of it as fit, then the rest in smaller sizes, largest first. A rest that no size
    fits exactly is rounded up to one more of the smallest size.
    """
    by_size = sorted(sizes, key=lambda kind: -sizes[kind])
    if units <= 1e-9 or not by_size:
        return {}

    def divides(kind: str) -> bool:
        count = units / sizes[kind]
        return count >= 1 - 1e-9 and abs(count - round(count)) <= 1e-9

    fits = [kind for kind in by_size if sizes[kind] <= units * (1 + 1e-9)]
    chosen = next((kind for kind in by_size if divides(kind)), fits[0] if fits else by_size[-1])
    counts: dict[str, int] = {}
    left = units
    for kind in by_size[by_size.index(chosen) :]:
        count = math.floor(left / sizes[kind] + 1e-9)
        if count:
            counts[kind] = count
            left -= count * sizes[kind]
    if left > 1e-9 * max(units, 1.0):
        smallest = by_size[-1]
        counts[smallest] = counts.get(smallest, 0) + math.ceil(left / sizes[smallest] - 1e-9)
    return counts


def family_plans(
    rec: Recommendation,
    pooling: Pooling,
    history: UsageHistory,
    prices: PriceTable,
    existing: Sequence[ExistingSavingsPlan] = (),
) -> tuple[FamilyPlan, ...]:
    """Each planned family's reservations of `rec` (made on the pooled `history` and `prices`)."""
    allocation = allocate(*recommendation_portfolio(history, prices, rec, existing))
    column = {kind: k for k, kind in enumerate(allocation.kinds)}
    own = {kind: k for k, kind in enumerate(pooling.history.kinds)}
    families = pooling.families
    result = []
    for family, kinds in pooling.planned.items():
        unit = pooling.unit[family]
        normalised = {plan.model: plan.reserved.get(family, 0.0) * unit for plan in rec.plans if plan.model in RESERVED}
        sizes = {kind: families.factor[kind] for kind in families.members(family)}
        usage = pooling.history.usage[:, [own[kind] for kind in kinds]]
        pooled = history.usage[:, history.kinds.index(family)]
        covered = allocation.reserved[:, column[family]]
        with np.errstate(divide="ignore", invalid="ignore"):
            share = np.where(pooled[:, None] > 0, usage / pooled[:, None], 0.0)
        result.append(
            FamilyPlan(
                family=family,
                factors={kind: families.factor[kind] for kind in kinds},
                normalised_units=normalised,
                instances={model: instances(units, sizes) for model, units in normalised.items()},
                usage=dict(zip(kinds, map(float, usage.sum(axis=0)))),
                covered=dict(zip(kinds, map(float, (covered[:, None] * share).sum(axis=0)))),
            )
        )
    return tuple(result)
