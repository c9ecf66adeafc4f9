"""Families planned as one kind in normalised units: exact pooling, whole instances, refused files."""

import numpy as np
import pytest

from velmar.backend import portfolio_figure
from velmar.errors import UserError
from velmar.families import Families, family_plans, instances, load_families, pool
from velmar.plan import recommend
from velmar.portfolio import build_portfolio
from velmar.records import PriceTable, UsageHistory

FACTORS = {"m.large": 4.0, "m.xlarge": 8.0}
KINDS = ("m.large", "m.xlarge", "c.solo")


def history(periods=24 * 20, seed=3):
    rng = np.random.default_rng(seed)
    usage = np.column_stack(
        [
            np.where(np.arange(periods) < periods // 2, 10.0, 5.0) + rng.normal(0, 1, periods),
            np.where(np.arange(periods) < periods // 2, 2.0, 4.5) + rng.normal(0, 0.5, periods),
            6 + 2 * np.sin(np.arange(periods) / 4),
        ]
    )
    timestamps = np.datetime64("2025-01-01T00", "h") + np.arange(periods)
    return UsageHistory(timestamps, KINDS, np.maximum(usage, 0.0), "H")


def prices(xlarge_ri3y=0.24):
    rates = {"RI3Y": [0.12, xlarge_ri3y, 0.06], "SP3Y": [0.28, 0.56, 0.14]}
    return PriceTable(KINDS, np.array([0.4, 0.8, 0.2]), {m: np.array(r) for m, r in rates.items()})


FAMILIES = Families("families.csv", {"m.large": "m", "m.xlarge": "m", "m.medium": "m"}, {**FACTORS, "m.medium": 2.0})


def test_pooling_is_exact_kind_by_kind():
    """The pooled plan's cost equals the module's price, kind by kind, of the same reservation handed back
    to the kinds period by period (its covered units, the idle rest on the first kind) and the same savings plan."""
    raw = history()
    pooled, pooled_prices, _, pooling = pool(raw, prices(), (), FAMILIES)
    rec = recommend(pooled, pooled_prices, models=("RI3Y", "SP3Y"))
    (family,) = family_plans(rec, pooling, pooled, pooled_prices)
    assert family.normalised_units["RI3Y"] > 0

    portfolio = build_portfolio(pooled, pooled_prices, rec.models, kind_order=rec.kinds)
    levels = portfolio.levels_of_plans(rec.plans)
    family_column = rec.kinds.index("m")
    capacity = levels[portfolio.slot("RI3Y")][family_column] * pooling.unit["m"]  # normalised units per hour
    normalised = raw.usage[:, :2] * np.array([4.0, 8.0])
    covered = np.minimum(normalised.sum(axis=1), capacity)
    share = normalised / normalised.sum(axis=1, keepdims=True)
    per_kind = covered[:, None] * share
    per_kind[:, 0] += capacity - covered  # the idle capacity, on any kind: it is paid all the same
    solo = levels[portfolio.slot("RI3Y")][rec.kinds.index("c.solo")]
    reserved = np.column_stack([per_kind / np.array([4.0, 8.0]), np.full(raw.usage.shape[0], solo)])
    # Family kinds first, as the pooled column order had the family before c.solo or after it.
    order = [0, 1, 2] if family_column < rec.kinds.index("c.solo") else [2, 0, 1]
    amount = levels[portfolio.slot("SP3Y")][0]
    rates = prices()
    price_rows = np.vstack([rates.commitment["RI3Y"], rates.commitment["SP3Y"], rates.on_demand])[:, order]
    matrix = np.column_stack([reserved[:, order], np.full(raw.usage.shape[0], amount)])
    unpooled = portfolio_figure(
        np.ascontiguousarray(raw.usage[:, order]), price_rows, matrix, ["RI3Y", "SP3Y", "OD"], "H", "cost"
    )
    assert unpooled == pytest.approx(rec.cost, rel=1e-9)
    handed_back = sum(family.covered[kind] * FACTORS[kind] for kind in family.covered)
    assert handed_back == pytest.approx(float(covered.sum()), rel=1e-9)


@pytest.mark.parametrize(
    ("units", "sizes", "expected"),
    [
        (56, {"s": 2, "l": 4, "xl": 8}, {"xl": 7}),
        (60, {"s": 1, "m": 2, "l": 4, "xl": 8}, {"l": 15}),  # the largest size that divides it
        (7, {"m": 2, "l": 4}, {"l": 1, "m": 2}),  # no size divides it: the rest rounded up to a whole instance
        (0, {"l": 4}, {}),
    ],
)
def test_a_reservation_is_bought_as_whole_instances(units, sizes, expected):
    assert instances(units, sizes) == expected


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("kind,family,factor\na,f,1\na,g,2\n", "kind 'a' is already in family 'f'"),
        ("kind,family,factor\na,f,0\n", "column 'factor': '0' is not a positive number"),
        ("kind,family,factor\na,f,-2\n", "column 'factor': '-2' is not a positive number"),
        ("kind,family,factor\na,f,\n", "column 'factor': '' is not a positive number"),
        ("kind,family\na,f\n", "column 'factor' is missing"),
    ],
)
def test_a_bad_families_file_is_refused(tmp_path, text, message):
    path = tmp_path / "families.csv"
    path.write_text(text)
    with pytest.raises(UserError, match=message):
        load_families(str(path))


def test_rates_not_proportional_within_a_family_are_refused_naming_the_kinds():
    with pytest.raises(UserError, match=r"family 'm': ri3y .* 'm.large' 0.12 / 4 against 'm.xlarge' 0.26 / 8"):
        pool(history(), prices(xlarge_ri3y=0.26), (), FAMILIES)
    pool(history(), prices(xlarge_ri3y=0.2411), (), FAMILIES)  # within 0.5%
