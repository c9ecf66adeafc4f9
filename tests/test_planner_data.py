"""Loading usage, prices and existing plans: known sums and every bad-input message."""

from __future__ import annotations

import re
import threading
from collections.abc import Callable
from pathlib import Path

import duckdb
import numpy as np
import pytest

from velmar.data import (
    load_existing,
    load_existing_reservations,
    load_focus,
    load_long_table,
    load_prices,
    parse_discounts,
    price_kinds,
)
from velmar.data.sql import connection
from velmar.demo_data import write_demo
from velmar.errors import UserError
from velmar.portfolio import existing_columns
from velmar.records import OutsidePlan

HEADER = (
    "ChargeCategory,PricingCategory,ChargePeriodStart,ChargePeriodEnd,ConsumedQuantity,"
    "RegionId,SkuId,SubAccountId,ListUnitPrice,CommitmentDiscountId,CommitmentDiscountStatus,ConsumedUnit"
)
ROWS = """\
Usage,Standard,2024-01-01T00:00:00Z,2024-01-01T01:00:00Z,2,r1,a,001,0.5,,,Hours
Usage,Standard,2024-01-01T00:00:00Z,2024-01-01T01:00:00Z,3,r1,a,001,0.7,,,Hours
Usage,Committed,2024-01-01T00:00:00Z,2024-01-01T01:00:00Z,4,r1,b,002,1.0,sp-1,Used,Hours
Usage,Committed,2024-01-01T00:00:00Z,2024-01-01T01:00:00Z,9,r1,b,002,1.0,sp-1,Unused,Hours
Usage,Dynamic,2024-01-01T01:00:00Z,2024-01-01T02:00:00Z,100,r1,b,002,0.3,,,Hours
Purchase,,2024-01-01T01:00:00Z,2024-01-01T02:00:00Z,,,,002,,sp-1,,
Usage,Standard,2024-01-01T03:00:00Z,2024-01-01T04:00:00Z,1,r1,a,002,0.9,,,Hours
Usage,Standard,2024-01-02T05:00:00+00:00,2024-01-02T06:00:00Z,6,r2,a,001,2.0,,,Hours
"""
KINDS = ("r1/a", "r1/b", "r2/a")


def write(path: Path, text: str) -> str:
    path.write_text(text)
    return str(path)


def focus(tmp_path: Path, header: str = HEADER, rows: str = ROWS) -> str:
    return write(tmp_path / "export.csv", f"{header}\n{rows}")


def test_focus_hourly_sums_duplicates_keeps_committed_and_drops_spot(tmp_path: Path) -> None:
    history = load_focus(focus(tmp_path))
    assert history.kinds == KINDS and history.period == "H"
    assert history.timestamps[0] == np.datetime64("2024-01-01T00:00:00")
    assert len(history.timestamps) == 30  # 00:00 on day one to 05:00 on day two
    expected = np.zeros((30, 3))
    expected[0] = [5, 4, 0]
    expected[3] = [1, 0, 0]
    expected[29] = [0, 0, 6]
    np.testing.assert_array_equal(history.usage, expected)


@pytest.mark.parametrize(
    ("options", "first", "kinds", "usage"),
    [
        ({"period": "D"}, "2024-01-01", KINDS, [[6, 4, 0], [0, 0, 6]]),
        ({"sub_account": "002"}, "2024-01-01T00", ("r1/a", "r1/b"), [[0, 4], [0, 0], [0, 0], [1, 0]]),
        ({"start": "2024-01-01T01:00", "end": "2024-01-02"}, "2024-01-01T03", ("r1/a",), [[1]]),
        ({"period": "D", "start": "2024-01-02"}, "2024-01-02", ("r2/a",), [[6]]),
    ],
)
def test_focus_periods_and_filters(
    tmp_path: Path, options: dict[str, str], first: str, kinds: tuple[str, ...], usage: list[list[float]]
) -> None:
    history = load_focus(focus(tmp_path), **options)  # type: ignore[arg-type]
    assert history.kinds == kinds and history.timestamps[0] == np.datetime64(first)
    np.testing.assert_array_equal(history.usage, usage)


def test_parquet_globs_and_lists_read_each_file_once(tmp_path: Path) -> None:
    csv = focus(tmp_path)
    for name, text in (("part-1.parquet", "true"), ("part-2.parquet", "false")):  # text, or timestamps and numbers
        duckdb.execute(f"COPY (SELECT * FROM read_csv('{csv}', all_varchar = {text})) TO '{tmp_path / name}'")
    twice = load_focus([str(tmp_path / "*.parquet"), str(tmp_path / "part-1.parquet")], period="D")
    np.testing.assert_array_equal(twice.usage, [[12, 8, 0], [0, 0, 12]])


def test_long_table(tmp_path: Path) -> None:
    path = write(
        tmp_path / "usage.csv",
        "timestamp,kind,quantity\n2024-01-01T02:30:00,b,1.5\n2024-01-01T02:00:00,b,1\n2024-01-01T00:00:00,a,2\n",
    )
    history = load_long_table(path)
    assert history.kinds == ("a", "b")
    np.testing.assert_array_equal(history.usage, [[2, 0], [0, 0], [0, 2.5]])


def test_prices_reorder_fall_back_to_list_prices_and_skip_absent_models(tmp_path: Path) -> None:
    path = write(
        tmp_path / "prices.csv", "kind,sp3y,ri1y,on_demand\nr2/a,1.0,,\nr1/b,0.5,0.6,\nr1/a,0.3,0.4,0.8\nzz,1,1,1\n"
    )
    prices = load_prices(path, KINDS, focus_paths=focus(tmp_path))
    assert prices.kinds == KINDS and set(prices.commitment) == {"SP3Y", "RI1Y"}
    np.testing.assert_array_equal(prices.on_demand, [0.8, 1.0, 2.0])  # r1/b and r2/a: median list price
    np.testing.assert_array_equal(prices.commitment["SP3Y"], [0.3, 0.5, 1.0])
    np.testing.assert_array_equal(prices.commitment["RI1Y"], [0.4, 0.6, 2.0])  # empty: no discount


def test_existing_columns_zero_outside_and_prorated(tmp_path: Path) -> None:
    path = write(
        tmp_path / "existing.csv",
        "amount_per_hour,start,end,term,name\n2,2023-01-01,2024-01-01T12:00:00Z,1Y,old\n1.5,2024-01-02,2027-01-01,,\n",
    )
    plans = load_existing(path)
    assert [(p.term, p.name) for p in plans] == [("1Y", "old"), ("3Y", "existing 2")]
    daily = load_focus(focus(tmp_path), period="D")
    np.testing.assert_array_equal(existing_columns(daily, plans), [[24, 0], [0, 36]])
    hourly = existing_columns(load_focus(focus(tmp_path)), plans)
    assert hourly[:, 0].sum() == 24 and hourly[11, 0] == 2 and hourly[12, 0] == 0
    assert hourly[:24, 1].sum() == 0 and hourly[24:, 1].sum() == 6 * 1.5


def test_demo_data_is_deterministic_and_loads(tmp_path: Path) -> None:
    files = write_demo(str(tmp_path / "one"), seed=3, days=4, accounts=2, kinds=4)
    again = write_demo(str(tmp_path / "two"), seed=3, days=4, accounts=2, kinds=4)
    history = load_focus(files.export)
    assert history.usage.shape == (96, 4) and history.usage.sum() > 0
    np.testing.assert_array_equal(history.usage, load_focus(again.export).usage)
    prices = load_prices(files.prices, history.kinds)
    assert set(prices.commitment) == {"RI3Y", "RI1Y", "SP3Y", "SP1Y"}
    assert np.all(prices.commitment["SP3Y"] < prices.commitment["SP1Y"])
    assert np.all(prices.commitment["SP1Y"] < prices.on_demand)
    paid = existing_columns(history, load_existing(files.existing))[:, 0]
    assert paid[0] > 0 and paid[-1] == 0  # the existing plan expires inside the window


def bad_focus(tmp_path: Path, old: str, new: str, **options: str) -> None:
    load_focus(write(tmp_path / "bad.csv", f"{HEADER}\n{ROWS}".replace(old, new, 1)), **options)  # type: ignore[arg-type]


def bad_prices(tmp_path: Path, text: str) -> None:
    load_prices(write(tmp_path / "prices.csv", text), ("r1/a", "r1/b"))


def bad_existing(tmp_path: Path, row: str, header: str = "amount_per_hour,start,end,term") -> None:
    load_existing(write(tmp_path / "existing.csv", f"{header}\n{row}\n"))


def bad_reservations(tmp_path: Path, row: str) -> None:
    load_existing_reservations(write(tmp_path / "owned.csv", f"kind,units,start,end\n{row}\n"), KINDS)


BAD_INPUTS: list[tuple[Callable[[Path], object], str]] = [
    (lambda t: bad_focus(t, ",ConsumedQuantity", ",Consumed"), "bad.csv: column 'ConsumedQuantity' is missing"),
    (
        lambda t: bad_focus(t, "SubAccountId", "SubAccountID", sub_account="001"),
        "'SubAccountID' looks like a misspelling of the FOCUS column 'SubAccountId'",
    ),
    (
        lambda t: load_focus(focus(t), kind_columns=("Region", "SkuId")),
        "column 'Region' is missing (did you mean 'RegionId'?)",
    ),
    (
        lambda t: load_focus(focus(t), kind_columns=("ServiceNme",)),
        "'ServiceNme' is not a FOCUS column; did you mean 'ServiceName'?",
    ),
    (
        lambda t: bad_focus(t, ",3,", ",three,"),
        "column 'ConsumedQuantity', row starting 2024-01-01T00:00:00Z: 'three' is not a number",
    ),
    (lambda t: bad_focus(t, ",3,", ",-3,"), "'-3' is negative"),
    (
        lambda t: bad_focus(t, "2024-01-01T03:00:00Z", "soon"),
        "column 'ChargePeriodStart': 'soon' is not a date and time",
    ),
    (lambda t: bad_focus(t, "", "", sub_account="003"), "no usage rows for '003' (known: 001, 002)"),
    (
        lambda t: bad_focus(t, "", "", start="2025-01-01"),
        "no usage in the window [2025-01-01, ...); the data runs from 2024-01-01 00:00 to 2024-01-02 05:00",
    ),
    (lambda t: bad_focus(t, "", "", start="2024-02-01", end="2024-01-01"), "end: 2024-01-01 is not after start"),
    (lambda t: load_focus(focus(t, rows=ROWS.replace("Usage,", "Credit,"))), "no usage rows (ChargeCategory 'Usage'"),
    (lambda t: load_focus(str(t / "*.parquet")), "*.parquet: no file matches"),
    (lambda t: load_long_table(write(t / "u.csv", "timestamp,kind,qty\n")), "column 'quantity' is missing"),
    (
        lambda t: load_long_table(write(t / "u.csv", "timestamp,kind,quantity\n2024-01-01,a,nan\n")),
        "'nan' is not a number",
    ),
    (lambda t: bad_prices(t, "kind,on_demand\nr1/a,1\n"), "no price for kind 'r1/b', which has usage"),
    (
        lambda t: bad_prices(t, "kind,on_demand\nr1/a,1\nr1/b,\n"),
        "column 'on_demand': no on-demand price for kind 'r1/b'",
    ),
    (
        lambda t: bad_prices(t, "kind,on_demand,sp1y\nr1/a,1,0.5\nr1/b,1,x\n"),
        "row 2, column 'sp1y': 'x' is not a number",
    ),
    (lambda t: bad_prices(t, "kind,on_demand\nr1/a,-1\nr1/b,1\n"), "row 1, column 'on_demand': -1 is negative"),
    (
        lambda t: bad_prices(t, "kind,on_demand,sp_3y\nr1/a,1,1\nr1/b,1,1\n"),
        "column 'sp_3y' is not one this file takes (did you mean 'sp3y'?)",
    ),
    (lambda t: bad_prices(t, "kind,on_demand\nr1/a,1\nr1/b,1\nr1/a,2\n"), "'r1/a' appears twice (rows 1 and 3)"),
    (lambda t: bad_existing(t, "1,2024-01-01,2024-01-01"), "row 1: end 2024-01-01 is not after start"),
    (lambda t: bad_existing(t, "1,2024-01-01,someday"), "row 1, column 'end': 'someday' is not a date"),
    (lambda t: bad_existing(t, "1,2024-01-01,2025-01-01,2Y"), "row 1, column 'term': '2Y' is not 1Y or 3Y"),
    (
        lambda t: bad_existing(t, "1,2024-01-01,2025-01-01", header="amount,start,end"),
        "column 'amount_per_hour' is missing",
    ),
    (
        lambda t: bad_reservations(t, "r9/z,2,2024-01-01,2025-01-01"),
        "row 1, column 'kind': 'r9/z' is not a kind to plan",
    ),
    (lambda t: bad_reservations(t, "r1/a,2,2024-01-01,2023-01-01"), "row 1: end 2023-01-01 is not after start"),
    (lambda t: bad_reservations(t, "r1/a,,2024-01-01,2025-01-01"), "row 1, column 'units': empty"),
    (lambda t: load_focus(focus(t), services=["Nope"]), "column 'ServiceName' is missing"),
    (lambda t: load_prices(str(t), KINDS), "a folder, not a file"),
    (lambda t: load_existing(write(t / "empty.csv", "")), "empty.csv: the file is empty"),
    (lambda t: load_focus([focus(t), write(t / "copy.csv", f"{HEADER}\n{ROWS}")]), "the same content as"),
]


@pytest.mark.parametrize(("make", "message"), BAD_INPUTS)
def test_bad_inputs_name_file_column_and_value(tmp_path: Path, make: Callable[[Path], object], message: str) -> None:
    with pytest.raises(UserError) as caught:
        make(tmp_path)
    assert message in str(caught.value) and "\n" not in str(caught.value)


def test_csv_mixed_with_parquet_is_refused(tmp_path: Path) -> None:
    csv = focus(tmp_path)
    duckdb.execute(f"COPY (SELECT * FROM read_csv('{csv}')) TO '{tmp_path / 'part.parquet'}'")
    with pytest.raises(UserError, match="CSV mixed with Parquet"):
        load_focus([csv, str(tmp_path / "part.parquet")])


FOCUS = "ChargeCategory,ChargeClass,PricingCategory,ChargePeriodStart,ChargePeriodEnd,ConsumedQuantity,ConsumedUnit,"
FOCUS += "RegionId,SkuId,ServiceName,EffectiveCost,BilledCost,BillingCurrency\n"


def usage_row(start: str, end: str, quantity: str, sku: str = "a", unit: str = "Hours", **other: str) -> str:
    """A usage row of kind r/`sku`; `other` sets ChargeClass, ServiceName, EffectiveCost, BilledCost, currency."""
    values = [other.get(name, "") for name in ("ChargeClass", "ServiceName", "EffectiveCost", "BilledCost")]
    cls, service, effective, billed = values
    currency = other.get("currency", "USD")
    return f"Usage,{cls},Standard,{start},{end},{quantity},{unit},r,{sku},{service},{effective},{billed},{currency}\n"


H0, H1, H2 = "2024-01-01T00:00:00Z", "2024-01-01T01:00:00Z", "2024-01-01T02:00:00Z"


def test_corrections_net_out_and_an_empty_one_changes_nothing(tmp_path: Path) -> None:
    rows = usage_row(H0, H1, "2") + usage_row(H1, H2, "3") + usage_row(H0, H1, "-0.5", ChargeClass="Correction")
    rows += usage_row("2024-01-01T05:00:00Z", "2024-01-01T06:00:00Z", "", sku="b", ChargeClass="Correction")
    history = load_focus(write(tmp_path / "e.csv", FOCUS + rows))
    assert history.kinds == ("r/a",)
    np.testing.assert_array_equal(history.usage, [[1.5], [3]])
    below = rows + usage_row(H1, H2, "-4", ChargeClass="Correction")
    with pytest.raises(UserError, match=r"e\.csv: usage of 'r/a' in the period starting 2024-01-01T01:00:00 is -1"):
        load_focus(write(tmp_path / "e.csv", FOCUS + below))


def test_a_row_over_several_periods_is_spread_by_overlap(tmp_path: Path) -> None:
    rows = usage_row(H0, H1, "1") + usage_row("2024-01-01T00:30:00Z", "2024-01-01T04:30:00Z", "8", sku="b")
    history = load_focus(write(tmp_path / "e.csv", FOCUS + rows))
    np.testing.assert_array_equal(history.usage[:, 1], [1, 2, 2, 2, 1])
    assert history.notes == ("usage of 'r/b' spread over several periods: 100.0% of its quantity",)
    daily = load_focus(write(tmp_path / "e.csv", FOCUS + usage_row(H0, H1, "1")), period="D")
    assert daily.hourly_rows and not load_focus(str(tmp_path / "e.csv")).hourly_rows


def test_planned_kinds_services_and_the_spend_left_out(tmp_path: Path) -> None:
    rows = usage_row(H0, H1, "2", ServiceName="vm", EffectiveCost="1.5")
    rows += usage_row(H0, H1, "9", sku="s", unit="GB-Months", ServiceName="disk", EffectiveCost="4")
    rows += usage_row(H0, H1, "7", sku="b", ServiceName="db", BilledCost="2.5")
    rows += usage_row(H0, H1, "-3", sku="c", ServiceName="db", EffectiveCost="0.5")  # not planned: never checked
    path = write(tmp_path / "e.csv", FOCUS + rows)
    hours = load_focus(path, kinds=("r/a", "r/b"))
    assert hours.kinds == ("r/a", "r/b") and hours.currency == "USD"
    assert hours.outside_plan == OutsidePlan(4.5, (("disk", 4.0), ("db", 0.5)))
    assert load_focus(path, services=["vm", "disk"]).outside_plan == OutsidePlan(4.0, (("disk", 4.0),))
    with pytest.raises(UserError, match=r"no usage of service 'web' \(services: db, disk, vm\)"):
        load_focus(path, services=["web"])
    with pytest.raises(UserError, match=r"column 'BillingCurrency': .* 2 currencies \(EUR, USD\)"):
        load_focus(write(tmp_path / "e.csv", FOCUS + rows + usage_row(H1, H2, "1", currency="EUR")), kinds=["r/a"])


def test_a_file_reached_twice_is_read_once(tmp_path: Path) -> None:
    path = focus(tmp_path)
    (tmp_path / "link.csv").symlink_to(path)
    twice = load_focus([path, str(tmp_path / "*.csv"), path])
    np.testing.assert_array_equal(twice.usage, load_focus(path).usage)


def test_long_table_notes_naive_times_and_repeats(tmp_path: Path) -> None:
    text = "timestamp,kind,quantity,currency\n2024-01-01T00:00:00,a,1,EUR\n2024-01-01 00:00:00,a,2,EUR\n"
    history = load_long_table(write(tmp_path / "u.csv", text + "2024-01-01T01:00:00+00:00,a,1,EUR\n"))
    np.testing.assert_array_equal(history.usage, [[3], [1]])
    assert history.currency == "EUR" and len(history.notes) == 2
    assert "2 times without an offset" in history.notes[0] and "1 rows repeated" in history.notes[1]


def test_discounts_rate_what_the_price_file_does_not(tmp_path: Path) -> None:
    prices = write(tmp_path / "p.csv", "kind,on_demand,sp3y,currency\nr1/a,1.0,0.7,USD\n")
    table = load_prices(prices, ("r1/a", "r2/a"), focus_paths=focus(tmp_path), discounts=parse_discounts("ri3y=0.5"))
    np.testing.assert_array_equal(table.on_demand, [1.0, 2.0])  # r2/a: its median list price
    np.testing.assert_array_equal(table.commitment["RI3Y"], [0.5, 1.0])
    np.testing.assert_array_equal(table.commitment["SP3Y"], [0.7, 2.0])  # no discount named: on demand
    assert table.assumed == {"RI3Y": 0.5} and table.assumed_kinds == ("r1/a", "r2/a") and table.currency == "USD"
    assert price_kinds(prices) == ("r1/a",)


@pytest.mark.parametrize(
    ("text", "message"),
    [("RI5Y=0.3", "'RI5Y=0.3' is not MODEL=FRACTION"), ("SP1Y=1", "SP1Y: '1' is not a fraction in [0, 1)"),
     ("SP1Y=-0.1", "'-0.1' is not a fraction"), ("RI1Y=0.2,ri1y=0.3", "RI1Y is given twice")],
)  # fmt: skip
def test_discounts_that_do_not_parse(text: str, message: str) -> None:
    with pytest.raises(UserError, match=re.escape(message)):
        parse_discounts(text)


@pytest.mark.timeout(60)
def test_an_interrupted_query_is_a_keyboard_interrupt() -> None:
    with connection() as con:
        threading.Timer(0.2, con._con.interrupt).start()  # what Ctrl-C does to a running query
        with pytest.raises(KeyboardInterrupt):
            con.execute("SELECT sum(a * b) FROM range(1000000000) t(a), range(100) u(b)")
