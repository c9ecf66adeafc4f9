"""The planner's road to the module: what reaches standard error, and Ctrl-C during a call."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from conftest import write_long_table

from velmar.backend import portfolio_figure

# Runs the command with the module's portfolio search announced on stdout just before it starts.
CHILD = """
import os, sys
import velmar_backend
search = velmar_backend.general_optimisation
def announced(*args, **kwargs):
    os.write(1, b"searching\\n")
    return search(*args, **kwargs)
velmar_backend.general_optimisation = announced
from velmar.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_ctrl_c_in_a_module_call_prints_one_line_and_exits_130(tmp_path):
    hours = np.datetime64("2025-01-01T00", "h") + np.arange(24 * 365)
    write_long_table(tmp_path / "usage.csv", hours, "abc", np.random.default_rng(3).uniform(0, 9, (hours.size, 3)))
    (tmp_path / "prices.csv").write_text(
        "kind,on_demand,sp1y,sp3y,ri1y,ri3y\na,0.1,0.07,0.05,0.06,0.04\nb,0.4,0.3,0.2,0.24,0.16\nc,1,0.8,0.6,0.7,0.5\n"
    )
    args = ["recommend", "--usage", str(tmp_path / "usage.csv"), "--prices", str(tmp_path / "prices.csv")]
    env = {**os.environ, "SKBUILD_EDITABLE_VERBOSE": "0"}
    # A shell's background job inherits SIGINT ignored: the child answers it as a terminal's would.
    child = subprocess.Popen([sys.executable, "-c", CHILD, *args, "--n-starts", "64"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # fmt: skip
    try:
        assert child.stdout is not None and child.stdout.readline() == b"searching\n"
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert (child.returncode, err.decode()) == (130, "velmar: interrupted\n")


def test_other_module_failures_still_reach_standard_error(capfd):
    with pytest.raises(BaseException, match="not a valid operation"):
        portfolio_figure(np.ones((1, 1)), np.ones((1, 1)), np.zeros((1, 0)), ["OD"], "H", "neither")
    err = capfd.readouterr().err
    assert err.startswith("velmar_backend: internal failure:") and err.count("\n") == 1


def test_the_alarm_refreshes_the_display_during_module_calls_and_restores_what_was_there():
    from velmar.progress import refreshed_by_alarm

    class Display:
        refreshes = 0

        def refresh(self):
            self.refreshes += 1

    display, before = Display(), signal.getsignal(signal.SIGALRM)
    usage = np.random.default_rng(0).uniform(0, 9, (200_000, 4))
    deadline = time.monotonic() + 30
    with refreshed_by_alarm(display, seconds=0.01):
        while display.refreshes < 3 and time.monotonic() < deadline:
            portfolio_figure(usage, np.ones((1, 4)), np.zeros((200_000, 0)), ["OD"], "H", "cost")
    assert display.refreshes >= 3
    assert signal.getsignal(signal.SIGALRM) is before and signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
