"""Savings curve, usage allocation and the report, on small hand-built recommendations."""

import dataclasses
import io
import json
import math
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from rich.console import Console

from velmar.allocation import allocate
from velmar.curve import SavingsCurve, knee_index, savings_curve
from velmar.plan import price_plan
from velmar.portfolio import Pricer, build_portfolio
from velmar.records import (
    HOURS_PER_PERIOD,
    ExistingSavingsPlan,
    ModelPlan,
    OutsidePlan,
    PriceTable,
    Recommendation,
    SeenCommitment,
    UsageHistory,
)
from velmar.report.outputs import commitments_json, render_commitments, render_table, to_json, write_html
from velmar.report.plots import curve_figure
from velmar.report.summary import headline, history_hours, per_year, term_commitments
from velmar.samples import sample_plans

KINDS = ("cpu-small", "cpu-large", "gpu")


def history_of(period="H", periods=24 * 20, seed=3):
    rng = np.random.default_rng(seed)
    hours = HOURS_PER_PERIOD[period]
    wave = 1 + 0.4 * np.sin(np.arange(periods) * 2 * np.pi / (7 if period == "D" else 24))
    usage = np.maximum(0.0, np.array([12.0, 5.0, 2.0]) * wave[:, None] + rng.normal(0, 1.5, (periods, 3))) * hours
    usage[periods // 3, :] = 0.0  # an idle period: commitments find nothing there
    start = np.datetime64("2024-01-01T00", "h")
    return UsageHistory(start + np.arange(periods) * np.timedelta64(hours, "h"), KINDS, usage, period, "test usage")


def prices_of():
    on_demand = np.array([0.10, 0.40, 2.50])
    rates = {"RI3Y": 0.4, "RI1Y": 0.6, "SP3Y": 0.5, "SP1Y": 0.7}
    return PriceTable(KINDS, on_demand, {m: on_demand * r for m, r in rates.items()}, "test prices")


def recommendation_of(history, prices, plans, existing=()):
    """The module's figures of `plans`, as the planner prices a given plan."""
    return price_plan(history, prices, plans, existing)


def plans_of(period):
    hours = HOURS_PER_PERIOD[period]
    return (
        ModelPlan("RI3Y", reserved={"cpu-small": 7.0, "gpu": 1.0}, break_even_months=9.5),
        ModelPlan("RI1Y", reserved={"cpu-large": 2.0}),
        ModelPlan("SP1Y", amount_per_period=0.6 * hours, amount_per_hour=0.6),
    )


@pytest.fixture(scope="module")
def case():
    history, prices = history_of(), prices_of()
    return history, prices, recommendation_of(history, prices, plans_of("H"))


@pytest.mark.parametrize(
    ("period", "periods"),
    [("H", 24 * 10), ("D", 400)],  # 400 days: the one-year commitments expire inside the history
)
def test_allocation_pays_exactly_what_the_module_charges(period, periods):
    history, prices = history_of(period, periods), prices_of()
    portfolio = build_portfolio(history, prices, ("RI3Y", "RI1Y", "SP1Y"))
    levels = portfolio.levels_of_plans(plans_of(period))
    split = allocate(portfolio, levels)
    assert np.allclose(split.reserved + split.savings_plan + split.on_demand, portfolio.usage)
    for part in (split.reserved, split.savings_plan, split.on_demand):
        assert (part >= -1e-9).all()  # the module's own rounding of a spent budget, nothing more
    hours, days = HOURS_PER_PERIOD[period], np.arange(periods) * HOURS_PER_PERIOD[period] / 24
    one_year, rates = days < 365, prices.commitment
    committed = (
        (7 * rates["RI3Y"][0] + 1 * rates["RI3Y"][2]) * hours * periods
        + 2 * rates["RI1Y"][1] * hours * one_year.sum()
        + 0.6 * hours * one_year.sum()
    )
    on_demand = (split.on_demand @ portfolio.on_demand).sum()
    assert committed + on_demand == pytest.approx(Pricer(portfolio).cost(levels), rel=1e-12)
    if period == "D":
        assert split.savings_plan[~one_year].sum() == 0.0


def test_curve_passes_through_the_recommendation_and_marks_its_optimum(case):
    history, prices, rec = case
    curve = savings_curve(history, prices, rec, points=21, per_kind=True)
    assert curve.models == ("SP1Y",) and curve.amounts_per_hour[0] == 0.0
    assert curve.amounts_per_hour[curve.recommended_index] == pytest.approx(0.6)
    assert curve.costs[curve.recommended_index] == pytest.approx(rec.cost, rel=1e-12)
    assert curve.optimum_index == int(np.argmin(curve.costs))
    assert 0 <= curve.knee_index <= curve.optimum_index
    assert np.allclose(curve.savings, rec.on_demand_cost - curve.costs)
    assert [k.kind for k in curve.per_kind] == list(KINDS)
    for kind in curve.per_kind:
        assert kind.model == "RI3Y"
        assert kind.costs[kind.recommended_index] == pytest.approx(rec.cost, rel=1e-12)
        assert np.all(kind.units_per_hour == np.round(kind.units_per_hour))


def test_curve_without_commitments_starts_at_all_on_demand():
    history, prices = history_of(), prices_of()
    rec = recommendation_of(history, prices, [ModelPlan("SP1Y"), ModelPlan("SP3Y")])
    curve = savings_curve(history, prices, rec, points=5)
    assert curve.models == ("SP3Y",)  # nothing recommended: the longest savings plan is swept
    assert curve.costs[0] == pytest.approx(rec.on_demand_cost, rel=1e-12)


@pytest.mark.parametrize(
    ("savings", "knee"),
    [
        ([0, 8, 10, 11, 11.5], 1),  # steep then flat: diminishing returns after the first step
        ([0, 1, 2, 3, 4], 0),  # a straight line has no knee above its chord
        ([5, 4, 3], 0),  # optimum at zero
    ],
)
def test_knee_is_the_point_farthest_above_the_chord(savings, knee):
    values = np.array(savings, dtype=float)
    assert knee_index(np.arange(len(values), dtype=float), values, int(np.argmax(values))) == knee


def test_json_holds_the_stable_keys_and_no_nan(case):
    history, prices, rec = case
    document = to_json(rec, history, prices)
    for key in ("kinds", "plan", "cost", "on_demand_cost", "lower_bound", "gap_percent"):
        assert key in document
    assert document["plan"]["RI3Y"] == {"cpu-small": 7.0, "cpu-large": 0.0, "gpu": 1.0}
    assert document["plan"]["SP1Y"] == pytest.approx(0.6) and set(document["plan"]) == {"RI3Y", "RI1Y", "SP1Y"}
    assert document["cost"] == rec.cost and document["inputs"]["fingerprint"] == rec.fingerprint
    assert (document["currency"], document["outside_plan"], document["hourly_cost"]) == (None, None, None)
    assert document["assumed_discounts"] == {}
    unbounded = Recommendation(**{**rec.__dict__, "lower_bound": math.nan, "gap_percent": math.nan})
    text = json.dumps(to_json(unbounded, history, prices), allow_nan=False)
    assert json.loads(text)["lower_bound"] is None
    assumed = dataclasses.replace(prices, assumed={"RI3Y": 0.6})
    document = json.loads(json.dumps(to_json(with_extras(rec), history, assumed), allow_nan=False))
    assert document["currency"] == "EUR" and document["assumed_discounts"] == {"RI3Y": 0.6}
    services = [{"service": "storage", "spend": 10.0}, {"service": "network", "spend": 2.5}]
    assert document["outside_plan"] == {"spend": 12.5, "top_services": services}


def test_table_shows_commitments_and_totals(case):
    _, _, rec = case
    out = io.StringIO()
    render_table(rec, Console(file=out, width=120))
    text = out.getvalue()
    for expected in ("RI3Y", "cpu-small", "7 units/h", "SP1Y", "0.60/h", f"{rec.cost:,.2f}", rec.method):
        assert expected in text
    out = io.StringIO()
    render_table(with_extras(rec), Console(file=out, width=200))
    text = out.getvalue()
    for expected in (f"{rec.cost:,.2f} EUR", "0.60 EUR/h", "12.50 EUR", "storage 10.00 EUR", "hourly rows", "[/x]"):
        assert expected in text


def with_extras(rec):
    """The recommendation as a real export makes it: a currency, spend outside the plan, an hourly price
    (and a note that looks like terminal markup: it is printed as it is)."""
    outside = OutsidePlan(12.5, (("storage", 10.0), ("network", 2.5)))
    return dataclasses.replace(rec, currency="EUR", outside_plan=outside, hourly_cost=rec.cost * 1.1,
                               hourly_on_demand_cost=rec.on_demand_cost, notes=("rows of [/x] read",))  # fmt: skip


SEEN = (
    SeenCommitment("ri-1", "Reservation", "Usage", np.datetime64("2024-01-01T00", "h"),
                   np.datetime64("2024-01-01T09", "h"), 2.0, 0.5, ("cpu-small", "gpu")),  # 10 h x 2.0 x 0.5: 10 unused
    SeenCommitment("sp-1", "Savings plan", "Spend", np.datetime64("2024-01-01T00", "h"),
                   np.datetime64("2024-01-01T00", "h"), 1.0, None, name="Main plan"),
    SeenCommitment("ri-2", "Reservation", "Usage", np.datetime64("2024-01-01T00", "h"),
                   np.datetime64("2024-01-02T03", "h"), 1.0, 0.75, ("cpu-large",)),  # 28 h x 0.25: 7 unused
)  # fmt: skip


def test_commitments_of_an_export_list_the_most_unused_money_first():
    out = io.StringIO()
    render_commitments(SEEN, Console(file=out, width=200), "USD")
    text = out.getvalue()
    assert text.index("ri-1") < text.index("ri-2") < text.index("Main plan")  # unknown use last
    assert "10.00 USD" in text and "7.00 USD" in text
    document = json.loads(json.dumps(commitments_json(SEEN), allow_nan=False))
    assert [c["id"] for c in document] == ["ri-1", "sp-1", "ri-2"] and document[1]["used_share"] is None


def test_summary_scales_savings_to_a_year_and_prices_each_term(case):
    history, prices, rec = case  # 20 days of hourly usage
    hours = history_hours(history)
    assert per_year(rec.savings, hours) == pytest.approx(rec.savings * 365 / 20)
    rates = prices.commitment
    expected = {
        "RI3Y": (7 * rates["RI3Y"][0] + 1 * rates["RI3Y"][2]) * 1095 * 24,
        "RI1Y": 2 * rates["RI1Y"][1] * 365 * 24,
        "SP1Y": 0.6 * 365 * 24,
    }
    assert {t.model: t.total for t in term_commitments(rec, prices)} == pytest.approx(expected)
    assert headline(with_extras(rec), hours).startswith(
        "Buy 8 RI3Y units over 2 kinds, 2 RI1Y units over 1 kind and a 1-year savings plan of 0.60 EUR/h; saves "
        f"{rec.savings * 365 / 20:,.2f} EUR per year"
    )


def test_curve_view_is_zoomed_on_the_optimum():
    amounts = np.linspace(0.0, 8.0, 41)  # optimum at 0.6 of a curve priced up to 8
    costs = (amounts - 0.6) ** 2 + 100.0
    curve = SavingsCurve(("SP3Y",), (1.0,), amounts, costs, 120.0 - costs, 120.0, 3, 1, 3)
    assert curve_figure(curve, years=0.5).axes[0].get_xlim() == pytest.approx((0.0, 1.75 * 0.6))


def test_samples_and_peers_are_priced_by_the_module(case):
    history, prices, rec = case
    samples = sample_plans(history, prices, rec, n_sample=200)
    assert samples.term == "3Y" and samples.costs.shape == samples.coverages.shape == (200,)
    nothing = samples.peers[0]
    assert nothing.cost == pytest.approx(rec.on_demand_cost, rel=1e-12) and nothing.coverage == 0.0
    assert len(samples.peers) == 3  # no SP3Y planned: no savings-plan rule of that term
    assert (samples.recommendation.cost, samples.lower_bound) == (rec.cost, rec.lower_bound)
    assert samples.costs.min() >= samples.lower_bound * (1 - 1e-9)


def test_samples_leave_existing_plans_out_of_every_point():
    history, prices = history_of(), prices_of()
    ends = history.timestamps[len(history.timestamps) // 2]
    existing = (ExistingSavingsPlan(1.5, history.timestamps[0] - np.timedelta64(30, "D"), ends, "1Y"),)
    rec = recommendation_of(history, prices, plans_of("H"), existing)
    samples = sample_plans(history, prices, rec, existing, n_sample=200)
    alone = recommendation_of(history, prices, plans_of("H"))
    assert samples.without_existing
    assert samples.recommendation.cost == pytest.approx(alone.cost, rel=1e-12) != rec.cost
    assert samples.lower_bound == pytest.approx(alone.lower_bound, rel=1e-9)
    assert samples.costs.min() >= samples.lower_bound * (1 - 1e-9)  # one problem: nothing beats its bound


def test_samples_of_idle_usage_are_empty_not_a_failure():
    history, prices = history_of(periods=48), prices_of()
    idle = UsageHistory(history.timestamps, KINDS, np.zeros_like(history.usage), "H")
    rec = recommendation_of(idle, prices, [ModelPlan("SP3Y")])
    assert len(sample_plans(idle, prices, rec, n_sample=10).costs) == 0


@pytest.mark.parametrize("export", [False, True])  # a bare recommendation; one with what a real export adds
def test_html_report_is_one_self_contained_page(case, tmp_path, export):
    history, prices, rec = case
    curve = savings_curve(history, prices, rec, points=11, per_kind=True)
    samples = sample_plans(history, prices, rec, n_sample=100)
    path = tmp_path / "report.html"
    path.write_text("old report")
    write_html(
        path, with_extras(rec) if export else rec, history, prices, curve, samples, commitments=SEEN[: 3 * export]
    )
    page = path.read_text()
    assert list(tmp_path.iterdir()) == [path]  # no temporary file left behind
    titles = ["What to buy", "Usage by what pays for it", "Savings curve", "Cost against coverage", "Per kind"]
    for title in titles + ["Commitments the export shows"] * export:
        assert f"<h2>{title}</h2>" in page
    assert "allocation of the priced plan" in page and "@media" in page
    assert ("EUR" in page) == export and ("storage" in page) == export and ("hourly rows" in page) == export
    svgs = [page[start : page.index("</svg>", start) + 6] for start in _all(page, "<svg")]
    assert len(svgs) == 4
    for svg in svgs:
        assert ET.fromstring(svg).tag == "{http://www.w3.org/2000/svg}svg"
    assert "<script" not in page and "<link" not in page and "@import" not in page
    assert not re.search(r'(?:href|src)\s*=\s*"(?!#)|url\((?!#)', page)  # nothing to fetch
    ids = [i for svg in svgs for i in _ids(svg)]
    assert len(ids) == len(set(ids))  # figures share one page: no id may repeat


def _all(text, needle):
    start = text.find(needle)
    while start >= 0:
        yield start
        start = text.find(needle, start + 1)


def _ids(svg):
    return [element.get("id") for element in ET.fromstring(svg).iter() if element.get("id")]
