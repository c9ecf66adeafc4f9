"""Payment options: the choice and its flip rate, the cash-out, the upfront budget, and refused inputs."""

import json

import numpy as np
import pytest
from conftest import write_long_table

from velmar.cli import main
from velmar.payment import choose_payment
from velmar.records import PaymentOption, PriceTable

UPFRONT = 3000.0


def monthly_annuity(rate, months=36):
    """Closed form: the monthly payment over `months` worth one unit now at the yearly `rate`."""
    i = rate / 12
    return 1 / months if i == 0 else i / (1 - (1 + i) ** -months)


def options_breaking_even_at(rate):
    """All upfront against no upfront, priced so that they cost the same at the yearly `rate`."""
    hourly = UPFRONT * monthly_annuity(rate) / 730
    options = (
        PaymentOption("all", np.array([0.0]), np.array([UPFRONT])),
        PaymentOption("none", np.array([hourly]), np.array([0.0])),
    )
    return PriceTable(("k",), np.array([1.0]), {"RI3Y": np.array([hourly])}, options={"RI3Y": options})


@pytest.mark.parametrize("rate", [0.0, 0.05, 0.10, 0.15])
def test_the_choice_flips_at_the_closed_form_break_even_rate(rate):
    break_even = rate + 0.037
    table = options_breaking_even_at(break_even)
    _, (choice,) = choose_payment(table, rate, np.ones(1))
    assert choice.options == ("all",)
    assert choice.flip_above[0] == pytest.approx(break_even, abs=0.001)
    assert choice.flip_below[0] is None
    _, (above,) = choose_payment(table, break_even + 0.001, np.ones(1))
    assert above.options == ("none",) and above.flip_below[0] == pytest.approx(break_even, abs=0.001)


@pytest.fixture
def inputs(tmp_path):
    hours = np.datetime64("2025-01-01T00", "h") + np.arange(24 * 14)
    usage = np.maximum(0.0, np.array([8.0, 3.0]) + np.random.default_rng(5).normal(0, 2, (hours.size, 2)))
    write_long_table(tmp_path / "usage.csv", hours, ("small", "large"), usage)
    (tmp_path / "prices.csv").write_text(
        "kind,on_demand,ri3y,ri3y_upfront,ri3y:all,ri3y_upfront:all,ri1y,sp1y,sp1y_upfront\n"
        "small,0.10,0.02,450,0,1000,0.06,0.035,4380\n"
        "large,0.40,0.08,1800,0,4000,0.24,0.14,4380\n"
    )
    return tmp_path


def recommend_json(folder, *extra):
    out = folder / "rec.json"
    base = ["recommend", "--usage", str(folder / "usage.csv"), "--prices", str(folder / "prices.csv")]
    assert main([*base, "--json", str(out), *extra]) == 0
    return json.loads(out.read_text())


def test_the_cash_out_totals_every_upfront_and_hourly_payment_over_the_term(inputs):
    document = recommend_json(inputs)
    payment, term_hours = document["payment"], {"RI3Y": 36 * 730, "RI1Y": 12 * 730, "SP1Y": 12 * 730}
    hourly_only = {kind: {"upfront": 0.0, "hourly": rate} for kind, rate in (("small", 0.06), ("large", 0.24))}
    expected = 0.0
    for model in ("RI3Y", "RI1Y"):
        for kind, units in document["plan"][model].items():
            rate = payment.get(model, hourly_only)[kind]
            expected += units * (rate["upfront"] + rate["hourly"] * term_hours[model])
    commitment = document["savings_plan_per_hour"]["SP1Y"]
    expected += commitment * term_hours["SP1Y"]  # half prepaid, half by the hour
    assert document["plan"]["RI3Y"] and commitment > 0
    assert document["cash_out"]["total"] == pytest.approx(expected, rel=1e-9)
    assert document["cash_out"]["upfront"][0] > 0 and not any(document["cash_out"]["upfront"][1:])


def test_the_upfront_budget_caps_the_plan_and_the_bound_stays_below_it(inputs):
    free = recommend_json(inputs)
    spent = free["cash_out"]["upfront"][0]
    capped = recommend_json(inputs, "--upfront-budget", str(spent / 2))
    assert capped["cash_out"]["upfront"][0] <= spent / 2 * (1 + 1e-9)
    assert capped["lower_bound"] <= capped["cost"] * (1 + 1e-9)
    assert capped["cost"] >= free["cost"] * (1 - 1e-9) and capped["lower_bound"] >= free["lower_bound"] * (1 - 1e-9)


@pytest.mark.parametrize(
    ("extra", "prices", "message"),
    [
        (["--cost-of-capital", "-0.01"], None, "--cost-of-capital: -0.01 is not a yearly rate"),
        (["--upfront-budget", "-5"], None, "--upfront-budget: -5.0 is not an amount of 0 or more"),
        ([], "kind,on_demand,ri3y_upfront:all\nsmall,0.1,100\nlarge,0.4,400\n", "no hourly rate column 'ri3y:all'"),
    ],
)
def test_bad_payment_input_is_one_line_and_exit_2(inputs, capsys, extra, prices, message):
    if prices:
        (inputs / "prices.csv").write_text(prices)
    out = inputs / "rec.json"
    base = ["recommend", "--usage", str(inputs / "usage.csv"), "--prices", str(inputs / "prices.csv")]
    assert main([*base, "--json", str(out), *extra]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and not out.exists()
