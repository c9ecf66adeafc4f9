"""Commitments already owned, as the planner takes them before it plans."""

import numpy as np
import pytest

from velmar.records import ExistingReservation, ModelPlan, UsageHistory
from velmar.reservations import net_of_reservations


def test_a_reservation_owned_from_mid_history_covers_only_its_kind_and_its_hours():
    hours = np.datetime64("2025-01-01T00", "h") + np.arange(4)
    usage = np.array([[3.0, 1.0], [3.0, 1.0], [3.0, 1.0], [1.0, 1.0]])
    history = UsageHistory(hours.astype("datetime64[s]"), ("a", "b"), usage, "H")
    # 2 units of "a" from half past the first hour: half an hour of cover, then whole hours.
    owned = ExistingReservation("a", 2.0, np.datetime64("2025-01-01T00:30"), np.datetime64("2025-01-01T05"))
    left, note = net_of_reservations(history, [owned])
    np.testing.assert_allclose(left.usage, [[2.0, 1.0], [1.0, 1.0], [1.0, 1.0], [0.0, 1.0]])
    assert note is not None and "6.0 unit-hours" in note
    assert net_of_reservations(history, []) == (history, None)


def test_dated_commitments_priced_in_pieces_match_the_module_where_one_call_is_exact():
    from velmar.pieces import price_in_pieces
    from velmar.portfolio import Pricer, build_portfolio
    from velmar.records import PriceTable, Purchase

    rng = np.random.default_rng(5)
    days = np.datetime64("2025-01-01", "D") + np.arange(900)
    history = UsageHistory(days.astype("datetime64[s]"), ("a", "b"), rng.uniform(0, 40, (900, 2)), "D")
    prices = PriceTable(("a", "b"), np.array([1.0, 2.0]), {"RI1Y": np.array([0.6, 1.1]), "SP3Y": np.array([0.5, 1.2])})
    # Bought on the first day, one call prices them exactly, the reservation expiring after 365 days.
    bought = [Purchase("RI1Y", days[0], reserved={"a": 5.0}), Purchase("SP3Y", days[0], amount_per_hour=0.4)]

    def module_cost(usage, plans):
        portfolio = build_portfolio(usage, prices, ("RI1Y", "SP3Y"))
        return Pricer(portfolio).cost(portfolio.levels_of_plans(plans))

    plans = [ModelPlan("RI1Y", reserved={"a": 5.0}), ModelPlan("SP3Y", amount_per_period=0.4 * 24)]
    assert price_in_pieces(history, prices, bought).cost == pytest.approx(module_cost(history, plans), rel=1e-12)
    # Bought on day 400, the same reservation costs nothing before and counts its year from there.
    late = [Purchase("RI1Y", days[400], reserved={"a": 5.0})]
    head = UsageHistory(history.timestamps[:400], history.kinds, history.usage[:400], "D")
    tail = UsageHistory(history.timestamps[400:], history.kinds, history.usage[400:], "D")
    expected = module_cost(head, []) + module_cost(tail, plans[:1])
    assert price_in_pieces(history, prices, late).cost == pytest.approx(expected, rel=1e-12)
