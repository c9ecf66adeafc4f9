"""The backtest: rules see only the past, own what they bought, and pay the module's price of what followed."""

import json
from dataclasses import replace

import numpy as np
import pytest
from conftest import SMALL_LARGE_PRICES, write_long_table

from velmar.backtest import Decision, parse_rule, run_backtest
from velmar.backtest.owned import owned_at
from velmar.cli import main
from velmar.demo_data import write_demo
from velmar.pieces import price_in_pieces
from velmar.records import PriceTable, Purchase, UsageHistory

KINDS = ("small", "large")
PRICES = PriceTable(
    kinds=KINDS,
    on_demand=np.array([0.10, 0.40]),
    commitment={
        "RI3Y": np.array([0.04, 0.16]),
        "RI1Y": np.array([0.06, 0.24]),
        "SP3Y": np.array([0.05, 0.20]),
        "SP1Y": np.array([0.07, 0.28]),
    },
)


def daily(days, level=(6.0, 2.0), noise=0.0, seed=0):
    """`days` of daily usage from 2024-01-01: `level` units per hour of each kind, with relative noise."""
    rng = np.random.default_rng(seed)
    usage = 24 * np.array(level) * (1 + noise * rng.standard_normal((days, len(KINDS))))
    timestamps = np.datetime64("2024-01-01") + np.arange(days).astype("timedelta64[D]")
    return UsageHistory(timestamps, KINDS, np.maximum(usage, 0.0), "D")


@pytest.mark.parametrize(
    "rule", ["history", "lookback:60", "percentile:20:60", "ladder:0.3:0.8", "on-demand", "forward:8"]
)
def test_a_rule_buys_the_same_without_the_rows_after_the_date(rule):
    history = daily(200, noise=0.2)
    date = history.timestamps[150]
    future = history.usage.copy()
    future[150:] *= 5.0  # a rule that looked ahead would buy far more
    whole = replace(history, usage=future)
    seen = replace(history, timestamps=history.timestamps[:150], usage=history.usage[:150])
    owned = [Purchase("RI3Y", history.timestamps[100], reserved={"small": 2.0}),
             Purchase("SP3Y", history.timestamps[120], amount_per_hour=0.05)]  # fmt: skip
    plans, reservations = owned_at(owned, date)
    models = tuple(PRICES.commitment)
    decide = parse_rule(rule).buy
    cut = decide(Decision(seen, PRICES, date, plans, reservations, models))
    assert decide(Decision(whole, PRICES, date, plans, reservations, models)) == cut
    assert all(purchase.start == date for purchase in cut)


def test_realized_costs_are_the_module_price_of_the_window_and_on_demand_pays_everything():
    history = daily(520, noise=0.1)
    result = run_backtest(history, PRICES, ["on-demand", "percentile:30:90"], start_months=12, every_months=4)
    first = int(np.searchsorted(history.timestamps, result.decisions[0]))
    window = replace(history, timestamps=history.timestamps[first:], usage=history.usage[first:])
    all_on_demand = float((window.usage @ PRICES.on_demand).sum())
    on_demand, percentile = result.outcomes
    assert on_demand.cost == pytest.approx(all_on_demand, rel=1e-9)
    assert on_demand.savings == pytest.approx(0.0, abs=1e-6) and not on_demand.purchases
    for outcome in (percentile, result.reference):
        assert outcome.on_demand_cost == pytest.approx(all_on_demand, rel=1e-9)
        assert outcome.cost == pytest.approx(price_in_pieces(window, PRICES, outcome.purchases).cost, rel=1e-9)
    assert len(result.decisions) == 2 and percentile.purchases and percentile.cost < on_demand.cost
    assert on_demand.regret == pytest.approx((on_demand.cost - result.reference.cost) / result.reference.cost)


def test_what_a_rule_owns_reaches_it_with_its_real_dates_and_is_not_bought_again():
    history = daily(16 * 31)
    result = run_backtest(history, PRICES, ["history"], start_months=12, every_months=3)
    bought = result.outcomes[0].purchases
    assert len(result.decisions) == 2
    assert bought and {purchase.start for purchase in bought} == {result.decisions[0]}
    _, reservations = owned_at(bought, result.decisions[1])
    assert {owned.start for owned in reservations} == {result.decisions[0]}
    # Compared in one unit: NumPy 1.x hashes the same instant differently in seconds and in days.
    ends = {owned.end.astype("datetime64[s]") for owned in reservations}
    assert ends == {(result.decisions[0] + np.timedelta64(1095, "D")).astype("datetime64[s]")}


def input_files(folder, history, prices):
    """The command's options reading `history` and the price file text `prices`, written to `folder`."""
    write_long_table(folder / "usage.csv", history.timestamps, history.kinds, history.usage)
    (folder / "prices.csv").write_text(prices)
    return ["--usage", str(folder / "usage.csv"), "--prices", str(folder / "prices.csv"), "--period", "D"]


def test_the_command_writes_json_and_report(tmp_path, capsys):
    files = input_files(
        tmp_path,
        daily(430, noise=0.1),
        SMALL_LARGE_PRICES,
    )
    out, report = tmp_path / "b.json", tmp_path / "b.html"
    outputs = ["--json", str(out), "--report", str(report)]
    assert main(["backtest", *files, "--strategies", "on-demand,ladder:0.5:1", "--every", "1", *outputs]) == 0
    document = json.loads(out.read_text())
    assert [rule["rule"] for rule in document["rules"]] == ["on-demand", "ladder:0.5:1"]
    assert len(document["decisions"]) == 3 and "regret" in document["regret_definition"]
    ladder = document["rules"][1]
    assert len(ladder["purchases"]) == 2  # half the demand twice, then at its cap
    assert sum(ladder["monthly_cost"]) == pytest.approx(ladder["cost"])
    assert "<svg" in report.read_text() and "ladder:0.5:1" in report.read_text()


def test_the_command_reads_a_focus_export_and_says_what_loading_it_noted(tmp_path, capsys):
    demo = write_demo(str(tmp_path), days=200, accounts=1, kinds=3)
    out = tmp_path / "b.json"
    args = ["backtest", "--export", demo.export, "--prices", demo.prices, "--period", "D", "--from", "4"]
    assert main([*args, "--strategies", "on-demand,lookback:30", "--json", str(out)]) == 0
    document = json.loads(out.read_text())
    assert len(document["kinds"]) == 3 and document["currency"] == "USD"
    assert any("planned by day" in note for note in document["notes"])
    assert "note: the rows are hourly, planned by day" in capsys.readouterr().out


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--strategies", "lookback"], "'lookback' is not one of"),
        (["--strategies", "percentile:120:30"], "between 0 and 100"),
        (["--strategies", "lookback:1.5"], "whole number of days"),
        (["--strategies", "forward:0"], "SCENARIOS must be a whole number"),
        (["--strategies", "history,history"], "each rule once"),
        (["--from", "40"], "ends before month 40"),
        (["--every", "0"], "--every: 0"),
        (["--models", "RI5Y"], "--models: 'RI5Y'"),
        (["--strategies", "ladder:0.1:0.5"], "buys SP3Y, which the prices"),
    ],
)
def test_mistakes_exit_2_with_one_line(tmp_path, capsys, extra, message):
    history = daily(400)
    small = replace(history, kinds=KINDS[:1], usage=history.usage[:, :1])
    files = input_files(tmp_path, small, "kind,on_demand,ri3y\nsmall,0.10,0.04\n")
    assert main(["backtest", *files, "--strategies", "on-demand", *extra]) == 2
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1
