"""The `velmar` command: what it writes and its exit codes."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from conftest import SMALL_LARGE_PRICES, module_failure, write_long_table

import velmar.data
from velmar.cli import build_parser, main
from velmar.portfolio import Pricer, build_portfolio
from velmar.records import ModelPlan

KINDS = ("small", "large")


@pytest.fixture
def inputs(tmp_path):
    """A long table of ten days of hourly usage, its price file and a plan file."""
    hours = np.datetime64("2025-01-01T00", "h") + np.arange(24 * 10)
    usage = np.maximum(0.0, np.array([8.0, 3.0]) + np.random.default_rng(7).normal(0, 2, (hours.size, 2)))
    write_long_table(tmp_path / "usage.csv", hours, KINDS, usage)
    (tmp_path / "prices.csv").write_text(SMALL_LARGE_PRICES)
    plan = {"period": "H", "plan": {"RI3Y": {"small": 5, "large": 1}, "SP1Y": 0.3}}
    (tmp_path / "plan.json").write_text(json.dumps(plan))
    return tmp_path


def arguments(folder, command="price", *extra):
    base = [command, "--usage", str(folder / "usage.csv"), "--prices", str(folder / "prices.csv")]
    return base + (["--plan", str(folder / "plan.json")] if command == "price" else []) + list(extra)


def test_recommend_writes_the_json_and_the_report(inputs, capsys):
    out, report = inputs / "rec.json", inputs / "report.html"
    code = main(arguments(inputs, "recommend", "--n-starts", "2", "--samples", "50",
                          "--json", str(out), "--report", str(report)))  # fmt: skip
    assert code == 0, capsys.readouterr().err
    document = json.loads(out.read_text())
    assert set(document["kinds"]) == set(KINDS)
    assert set(document["plan"]) == {"RI3Y", "RI1Y", "SP3Y", "SP1Y"}
    assert document["lower_bound"] <= document["cost"] * (1 + 1e-9) <= document["on_demand_cost"] * (1 + 1e-9)
    page = report.read_text()
    assert page.count("<svg") == 3 and "Per kind" in page
    printed = capsys.readouterr().out
    assert "Recommended commitments" in printed and str(report.resolve()) in printed


def test_price_reports_the_module_price_of_the_plan_file(inputs, capsys):
    out = inputs / "priced.json"
    assert main(arguments(inputs, "price", "--json", str(out))) == 0, capsys.readouterr().err
    history = velmar.data.load_long_table(str(inputs / "usage.csv"))
    prices = velmar.data.load_prices(str(inputs / "prices.csv"), history.kinds)
    plans = [ModelPlan("RI3Y", reserved={"small": 5.0, "large": 1.0}), ModelPlan("SP1Y", amount_per_period=0.3)]
    portfolio = build_portfolio(history, prices, ("RI3Y", "SP1Y"))
    document = json.loads(out.read_text())
    assert document["cost"] == pytest.approx(Pricer(portfolio).cost(portfolio.levels_of_plans(plans)), rel=1e-12)
    assert document["plan"]["RI3Y"] == {"small": 5.0, "large": 1.0}
    # A plan file's "kinds" is the column order it is priced in; it must list every kind.
    for kinds, code in ((["large", "small"], 0), (["large"], 2)):
        (inputs / "plan.json").write_text(json.dumps({"kinds": kinds, "plan": {"SP1Y": 0.3, "SP3Y": 0.2}}))
        assert main(arguments(inputs, "price", "--json", str(out))) == code
    assert '"kinds" must list every kind' in capsys.readouterr().err
    portfolio = build_portfolio(history, prices, ("SP3Y", "SP1Y"), kind_order=("large", "small"))
    assert json.loads(out.read_text())["cost"] == Pricer(portfolio).cost(np.array([0.2, 0.3]))


def test_curve_writes_a_picture_and_prints_the_table(inputs, capsys):
    picture = inputs / "curve.svg"
    code = main(arguments(inputs, "curve", "--plan", str(inputs / "plan.json"), "--points", "9", "--out", str(picture)))
    assert code == 0, capsys.readouterr().err
    assert ET.parse(picture).getroot().tag == "{http://www.w3.org/2000/svg}svg"
    assert "recommended" in capsys.readouterr().out


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda folder, args: args.__setitem__(2, str(folder / "absent.csv")), "absent.csv"),
        (lambda folder, args: (folder / "plan.json").write_text('{"plan": {"RI3Y": {"tiny": 1}}}'), "'tiny'"),
        (lambda folder, args: (folder / "plan.json").write_text('{"plan": {"SP3Y": -1}}'), "-1"),
        (lambda folder, args: args.extend(["--json", str(folder / "missing" / "out.json")]), "does not exist"),
    ],
    ids=["missing usage file", "unknown kind in plan", "negative amount", "output folder missing"],
)
def test_user_mistakes_exit_2_with_one_line(inputs, capsys, change, message):
    args = arguments(inputs)
    change(inputs, args)
    assert main(args) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and "Traceback" not in err


@pytest.mark.parametrize(
    ("extra", "message"),
    [(["--models", "RI3Y,XX"], "--models"), (["--out", "curve.pdf"], ".svg or .png")],
)
def test_option_mistakes_exit_2(inputs, capsys, extra, message):
    assert main(arguments(inputs, "curve", *extra)) == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize(
    ("failure", "code"),
    [
        (lambda: RuntimeError("a bug"), 1),
        (lambda: module_failure("not a valid operation"), 1),
        (lambda: module_failure("Keyboard interupt"), 130),
        (lambda: KeyboardInterrupt(), 130),
    ],
    ids=["bug", "module failure", "interrupt in the module", "interrupt"],
)
def test_failures_map_to_exit_codes(inputs, capsys, monkeypatch, failure, code):
    def fail(*args, **kwargs):
        raise failure()

    monkeypatch.setattr(velmar.data, "load_long_table", fail)
    out = inputs / "priced.json"
    assert main(arguments(inputs, "price", "--json", str(out))) == code
    assert "Traceback" not in capsys.readouterr().err
    assert not out.exists()


def test_console_entry_runs_as_a_module(inputs):
    args = arguments(inputs)
    args[args.index("--prices") + 1] = str(inputs / "nothing.csv")
    done = subprocess.run([sys.executable, "-m", "velmar", *args], capture_output=True, text=True,
                          env={**os.environ, "SKBUILD_EDITABLE_VERBOSE": "0"}, timeout=120)  # fmt: skip
    assert done.returncode == 2
    assert done.stderr.startswith("velmar: error:") and "nothing.csv" in done.stderr


def test_every_help_shows_an_example_and_the_exit_codes(capsys):
    commands = [None, *sorted(choices for choices in build_parser()._subparsers._group_actions[0].choices)]
    for command in commands:
        assert main([command, "--help"] if command else ["--help"]) == 0
        shown = capsys.readouterr().out
        assert "example:" in shown and "130  interrupted" in shown, command
