"""Commitments already owned, as the planner takes them before it plans."""

import numpy as np

from velmar.records import ExistingReservation, UsageHistory
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
