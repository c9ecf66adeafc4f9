"""Planning on forecast usage: the paths, the forward plan against today's planner, risk, owned commitments."""

import json

import numpy as np
import pytest
from conftest import SMALL_LARGE_PRICES, write_long_table

import velmar.forecast.forward
from velmar.backtest.rules import Decision, Forward
from velmar.cli import main
from velmar.errors import UserError
from velmar.forecast import make_scenarios, plan_forward
from velmar.forecast.forward_bound import ForwardBound
from velmar.forecast.forward_pricer import ForwardPricer
from velmar.forecast.risk import tail_mean
from velmar.forecast.schedule import make_schedule, purchases_of
from velmar.pieces import price_in_pieces
from velmar.plan import price_plan, recommend
from velmar.portfolio import build_portfolio
from velmar.records import COMMITMENT_MODELS, ExistingReservation, ExistingSavingsPlan, PriceTable, UsageHistory

START = np.datetime64("2024-01-01T00", "h")


def daily(usage):
    usage = np.asarray(usage, dtype=float)
    kinds = tuple(f"k{k}" for k in range(usage.shape[1]))
    return UsageHistory(START + np.timedelta64(24, "h") * np.arange(usage.shape[0]), kinds, usage, "D")


def prices_for(kinds):
    on_demand = np.linspace(0.5, 1.5, len(kinds))
    rates = {"RI3Y": 0.4, "RI1Y": 0.6, "SP3Y": 0.5, "SP1Y": 0.7}
    return PriceTable(kinds, on_demand, {model: on_demand * share for model, share in rates.items()})


def noisy(days=120, kinds=3, seed=1):
    rng = np.random.default_rng(seed)
    base = rng.uniform(50, 200, kinds)
    weekly = 1 + 0.2 * np.sin(2 * np.pi * np.arange(days) / 7)
    return daily(np.maximum(base * weekly[:, None] * (1 + 0.1 * rng.standard_normal((days, kinds))), 0))


@pytest.mark.parametrize("weekly", [0.0, 30.0])
def test_a_forecast_continues_the_trend_and_the_weekly_season(weekly):
    t = np.arange(365)
    season = weekly * np.sin(2 * np.pi * t / 7)
    history = daily(np.c_[400 + 0.5 * t + season, 300 - 0.2 * t + season])
    scenarios = make_scenarios(history, horizon_months=36, n_scenarios=20, seed=3)
    ahead = 365 + np.arange(28)
    truth = np.c_[400 + 0.5 * ahead, 300 - 0.2 * ahead] + (weekly * np.sin(2 * np.pi * ahead / 7))[:, None]
    assert scenarios.paths.shape == (20, 1095, 2)
    np.testing.assert_allclose(scenarios.paths[:, :28].mean(axis=0), truth, rtol=0.01)
    # Damped: three years on, no path has risen or fallen by much more than the history did.
    assert np.all(scenarios.paths >= 0)
    assert np.all(np.abs(scenarios.paths[:, -1] - truth[0]) < 1.6 * np.array([0.5, 0.2]) * 365 + 3 * weekly)


T = np.arange(450)
LEVELLED_RAMP = 100 + 100 * np.clip((T - 300) / 90, 0, 1)
LONG_SEASON = 100 * (1 + 0.3 * np.sin(2 * np.pi * (T - 450) / 365 + np.pi / 2))  # ends at its peak
NEW_IN_SECOND_YEAR = 100 * np.clip((np.arange(720) - 425) / 90, 0, 1)


@pytest.mark.parametrize(
    ("usage", "expected"), [(LEVELLED_RAMP, 200.0), (LONG_SEASON, 100.0), (NEW_IN_SECOND_YEAR, 100.0)]
)
def test_a_step_is_not_carried_on_or_repeated_and_a_long_season_starts_from_its_mean(usage, expected):
    noise = 1 + 0.05 * np.random.default_rng(2).standard_normal((usage.size, 2))
    scenarios = make_scenarios(daily(usage[:, None] * noise), horizon_months=36, n_scenarios=20, seed=3)
    np.testing.assert_allclose(scenarios.paths.mean(axis=(0, 1)), expected, rtol=0.03)


@pytest.mark.parametrize("value", [np.nan, np.inf, -1.0])
def test_a_forecast_refuses_usage_that_is_not_a_quantity(value):
    usage = np.ones((30, 2))
    usage[4, 1] = value
    with pytest.raises(UserError, match=f"2024-01-05T00, kind 'k1': {value} is not a quantity"):
        make_scenarios(daily(usage), 12, 2, 0)


def test_a_single_scenario_gives_todays_plan_for_that_usage():
    history, prices = noisy(), prices_for(("k0", "k1", "k2"))
    forward = plan_forward(history, prices, horizon_months=12, n_scenarios=1, seed=5, next_decision_months=0)
    forward = forward.recommendation
    scenarios = make_scenarios(history, 12, 1, 5)
    path = UsageHistory(scenarios.timestamps, history.kinds, scenarios.paths[0], "D")
    today = recommend(path, prices)
    assert forward.lower_bound == pytest.approx(today.lower_bound, rel=1e-5)
    assert today.whole_unit_bound * (1 - 1e-9) <= forward.cost <= today.cost * 1.002
    # Its figures are the module's own price of the plan on that path.
    priced = price_plan(path, prices, forward.plans, kind_order=forward.kinds)
    assert forward.cost == pytest.approx(priced.cost, rel=1e-9)
    assert forward.on_demand_cost == pytest.approx(priced.on_demand_cost, rel=1e-9)


@pytest.mark.parametrize(
    ("costs", "level", "expected"),
    [([4, 1, 3, 2], 0.0, 2.5), ([4, 1, 3, 2], 0.5, 3.5), ([4, 1, 3, 2], 0.6, (4 + 0.6 * 3) / 1.6), ([7], 0.9, 7)],
)
def test_tail_mean_is_the_mean_of_the_worst_share(costs, level, expected):
    assert tail_mean(np.array(costs, dtype=float), level) == pytest.approx(expected)


def test_cvar_at_zero_is_the_expected_cost():
    history, prices = noisy(kinds=2), prices_for(("k0", "k1"))
    scenarios = make_scenarios(history, 12, 6, 2)
    portfolio = build_portfolio(daily(scenarios.paths[0]), prices)
    order = [history.kinds.index(kind) for kind in portfolio.kinds]
    schedule = make_schedule((), 12, scenarios.timestamps.size, 24)
    usage = np.ascontiguousarray(scenarios.paths[:, :, order])
    expected = ForwardBound(portfolio, usage, schedule, None).solve()
    tail = ForwardBound(portfolio, usage, schedule, 0.0).solve()
    assert tail[0] == pytest.approx(expected[0], rel=1e-5)
    assert expected[2] and tail[2]


def test_a_schedule_is_priced_as_the_pieces_of_its_purchases():
    history, prices = noisy(kinds=2), prices_for(("k0", "k1"))
    forward = plan_forward(history, prices, horizon_months=24, n_scenarios=3, schedule=(4, 13), seed=1)
    summary = forward.summary
    assert summary.schedule_months == (0, 4, 13)
    assert [str(d) for d in summary.schedule_dates] == ["2024-04-30T00", "2024-08-30T00", "2025-05-31T00"]
    scenarios = make_scenarios(history, 24, 3, 1)
    path = UsageHistory(scenarios.timestamps, history.kinds, scenarios.paths[2], "D")
    portfolio = build_portfolio(path, prices, kind_order=forward.recommendation.kinds)
    schedule = make_schedule((4, 13), 24, scenarios.timestamps.size, 24)
    levels = np.zeros((3, portfolio.level_count))
    levels[:, portfolio.slot("RI3Y")] = [[3, 1], [0, 2], [1, 0]]
    levels[1:, portfolio.slot("SP1Y")] = [[20.0], [35.0]]
    pricer = ForwardPricer(portfolio, prices, (), schedule, np.mean)
    figures = pricer.figures([path], levels)
    pieces = price_in_pieces(path, prices, purchases_of(portfolio, levels, schedule, scenarios.timestamps))
    assert figures.costs[0] == pytest.approx(pieces.cost, rel=1e-12)
    assert figures.on_demand[0] == pytest.approx(pieces.on_demand_cost, rel=1e-12)


@pytest.mark.parametrize(
    ("owned_months", "now", "at_next_decision"), [(13, False, False), (5, False, True), (1, True, False)]
)
@pytest.mark.parametrize("kind_of_commitment", ["reservation", "savings plan"])
def test_what_is_owned_is_bought_again_only_when_waiting_costs_more(
    owned_months, now, at_next_decision, kind_of_commitment
):
    """Owned past the next decision (3 months ahead), its replacement is advice for then, not bought now."""
    history = daily(np.full((90, 1), 240.0))  # ten units every hour
    prices = prices_for(("k0",))
    start = np.datetime64("2023-06-01T00", "h")
    end = history.timestamps[-1] + np.timedelta64(owned_months * 730, "h")
    owned = {}
    if kind_of_commitment == "reservation":
        owned["reservations"] = (ExistingReservation("k0", 10.0, start, end),)
    else:
        owned["existing"] = (ExistingSavingsPlan(10.0 * prices.commitment["SP3Y"][0], start, end),)
    forward = plan_forward(history, prices, horizon_months=12, n_scenarios=4, **owned)
    bought = {True: 0.0, False: 0.0}
    for purchase in forward.purchases:
        bought[purchase.start == forward.summary.start] += sum(purchase.reserved.values()) + purchase.amount_per_hour
    assert (bought[True] > 0, bought[False] > 0) == (now, at_next_decision)
    assert forward.summary.schedule_months == (0, 3, *([owned_months] if 3 < owned_months < 12 else []))
    assert forward.recommendation.lower_bound <= forward.recommendation.cost * (1 + 1e-9)
    # The backtest's rule buys the purchase now only, never the advice (even when nothing is bought now).
    plans, reserved = owned.get("existing", ()), owned.get("reservations", ())
    decision = Decision(history, prices, forward.summary.start, plans, reserved, COMMITMENT_MODELS)
    assert bool(Forward("forward", 4).buy(decision)) == now


@pytest.fixture
def usage_files(tmp_path):
    history = noisy(days=60, kinds=2)
    write_long_table(tmp_path / "usage.csv", history.timestamps, ("small", "large"), history.usage)
    (tmp_path / "prices.csv").write_text(SMALL_LARGE_PRICES)
    return tmp_path


def test_recommend_forecast_writes_expected_figures_and_every_tranche(usage_files, capsys, monkeypatch):
    monkeypatch.setattr(velmar.forecast.forward, "BOUND_CELLS", 1)  # the bound on one path: the report says so
    out = usage_files / "rec.json"
    args = ["recommend", "--usage", str(usage_files / "usage.csv"), "--prices", str(usage_files / "prices.csv")]
    args += ["--period", "D", "--forecast", "--horizon", "12", "--scenarios", "5", "--schedule", "3,6"]
    args += ["--risk", "cvar:0.8", "--json", str(out), "--report", str(usage_files / "report.html")]
    assert main(args) == 0, capsys.readouterr().err
    document = json.loads(out.read_text())
    forecast = document["forecast"]
    assert (forecast["horizon_months"], forecast["scenarios"], forecast["risk"]) == (12, 5, "cvar:0.8")
    assert [t["month"] for t in forecast["tranches"]] == [0, 3, 6]
    assert forecast["cost_p10"] <= forecast["expected_cost"] <= forecast["tail"]["cost"]
    assert document["cost"] == pytest.approx(forecast["expected_cost"])
    assert [o["plan"] for o in forecast["outcomes"]] == ["least expected cost", "least cvar:0.8"]
    page = (usage_files / "report.html").read_text()
    assert "The forecast" in page and "bound (1 of 5 scenarios):" in page


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--risk", "var:0.9"], "is not cvar:LEVEL"),
        (["--risk", "cvar:1"], "is not cvar:LEVEL"),
        (["--schedule", "6,3"], "are not increasing whole months"),
        (["--schedule", "x"], "is not a whole number"),
        (["--horizon", "48"], "is not between 1 and 36"),
        (["--target-coverage", "0.5"], "does not apply with --forecast"),
    ],
)
def test_forecast_option_mistakes_exit_2_with_one_line(usage_files, capsys, extra, message):
    args = ["recommend", "--usage", str(usage_files / "usage.csv"), "--prices", str(usage_files / "prices.csv")]
    assert main([*args, "--period", "D", "--forecast", "--scenarios", "2", *extra]) == 2
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1
