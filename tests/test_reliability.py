"""Faults found by attacking the module: hangs, repeated draws, leaked library messages,
dangling views, mutable types and doubly priced models. Scripts that could hang run in a
child process with a timeout."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import internal_failure

import velmar_backend as vb

HANG_TIMEOUT = 120  # seconds: a regression hangs for minutes or for ever


def run_script(body):
    """Runs `body` in a fresh interpreter; returns its standard output."""
    script = "import os, signal, sys, threading, time\nimport numpy as np\nimport velmar_backend as vb\n"
    script += textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=HANG_TIMEOUT)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_signal_handler_that_lets_another_thread_start_a_parallel_call_does_not_deadlock():
    out = run_script("""
        u = np.random.default_rng(0).gamma(2, 2, (2000, 20))
        p = np.vstack([np.ones(20), np.full(20, .5), np.full(20, .3)])
        signal.signal(signal.SIGALRM, lambda s, f: None)
        side = []
        def other():
            time.sleep(.05)
            side.append(vb.generate_cost_and_coverage(u[:50], p, 10, 2, "H").shape)
        threading.Thread(target=other, daemon=True).start()
        signal.setitimer(signal.ITIMER_REAL, .2)
        shape = vb.generate_cost_and_coverage(u, p, 40000, 8, "H").shape
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(shape, side)
    """)
    assert out.strip() == "(40000, 2) [(10, 2)]"


def test_a_call_from_a_signal_handler_leaves_the_interrupted_call_right():
    # The handler runs on the calling thread while the outer call polls for interrupts (at
    # most every 20 ms, hence the long history) and prices a shorter one with tiled levels:
    # it must not take over the workspace the outer call still prices in (which crashed).
    out = run_script("""
        rng = np.random.default_rng(1)
        n, T = 4, 4_000_000
        names = ["RI1Y", "SP1Y", "OD"]
        usage = rng.uniform(0, 9, (T, n))
        p = np.vstack([np.full(n, .3), np.full(n, .5), np.ones(n)])
        row = np.r_[np.full(n, 2.0), 6.0]
        levels = np.tile(row, (T, 1)) * rng.uniform(0.5, 1.5, (T, 1))
        tiled = np.tile(row, (T // 8, 1))
        def cost(u, lv):
            return vb.final_cost_coverage_underutilization(u, p, lv, names, "H", "cost")
        nested = []
        signal.signal(signal.SIGALRM, lambda s, f: nested.append(cost(usage[: T // 8], tiled)))
        outer = []
        for i in range(8):
            signal.setitimer(signal.ITIMER_REAL, .001 + .003 * i)
            outer.append(cost(usage, levels))
            signal.setitimer(signal.ITIMER_REAL, 0)
        print(set(outer) == {cost(usage, levels)}, set(nested) == {cost(usage[: T // 8], tiled)})
    """)
    assert out.strip() == "True True"


def test_forked_children_draw_their_own_plans():
    out = run_script("""
        u = np.random.default_rng(0).gamma(2, 2, (50, 4))
        p = np.vstack([np.ones(4), np.full(4, .5), np.full(4, .3)])
        draw = lambda: vb.generate_cost_and_coverage(u, p, 3, 1, "H")[:, 0].tobytes().hex()
        draw()  # the parent's generator is seeded before the forks
        for _ in range(3):
            r, w = os.pipe()
            if os.fork() == 0:
                os.write(w, draw().encode())
                os._exit(0)
            os.close(w)
            print(os.read(r, 1 << 16).decode())
            os.wait()
        print(draw())
    """)
    draws = out.split()
    assert len(draws) == 4 and len(set(draws)) == 4


def test_a_fork_from_a_signal_handler_fails_the_call_in_the_child_at_once():
    out = run_script("""
        u = np.random.default_rng(0).gamma(2, 2, (2000, 20))
        p = np.vstack([np.ones(20), np.full(20, .5), np.full(20, .3)])
        # The child leaves the handler and finds the call it interrupted unable to finish.
        signal.signal(signal.SIGALRM, lambda s, f: os.fork())
        signal.setitimer(signal.ITIMER_REAL, .1)
        try:
            vb.generate_cost_and_coverage(u, p, 40000, 8, "H")
            signal.setitimer(signal.ITIMER_REAL, 0)
            print("parent finished")
            os.wait()
        except BaseException as e:
            print("child:", e)
            sys.stdout.flush()
            os._exit(0)
    """)
    assert "parent finished" in out
    assert "child: the process forked during a parallel step" in out


# Ten years of hours would be the real case; these sizes already take a serial search
# minutes between two of its polling points.
INTERRUPTED_CALLS = {
    "simple_optimisation": "vb.simple_optimisation(u, p3, 'H', '1Y')",
    "general_optimisation inertial": "vb.general_optimisation(u, pm, cur, models, 'H', 0, 'inertial')",
    "general_optimisation variation": "vb.general_optimisation(u, pm, cur, models, 'H', 0, 'x')",
    "optimise_predictions": "vb.optimise_predictions(scenarios, pm, cur, models, 'H', 0)",
    "generate_cost_and_coverage one piece": "vb.generate_cost_and_coverage(u, p3, 100000, 1, 'H')",
    "cost split over threads": "vb.cost(np.broadcast_to(u[0], (10**7, n)), p3, np.r_[50.0, np.ones(n)])",
}


@pytest.mark.parametrize("call", INTERRUPTED_CALLS.values(), ids=INTERRUPTED_CALLS.keys())
def test_ctrl_c_ends_every_long_call(call):
    out = run_script(f"""
        u = np.random.default_rng(0).gamma(2, 2, (20000, 300))
        n = u.shape[1]
        p3 = np.vstack([np.ones(n), np.full(n, .5), np.full(n, .3)])
        models = ["RI1Y", "SP1Y", "OD"]
        pm = np.vstack([np.full(n, .3), np.full(n, .5), np.ones(n)])
        cur = np.zeros((u.shape[0], 0))
        scenarios = np.stack([u, u])
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, .2)
        try:
            {call}
        except BaseException as e:
            print(e)
    """)
    assert out.strip() == "Keyboard interupt"


NEGATIVE_PRICE_CALLS = [
    lambda: vb.simple_optimisation(np.array([[1.0]]), np.array([[-2.0], [-1.0], [1.0]]), "H", "1Y", None, 1.0),
    lambda: vb.general_optimisation(
        np.array([[1.0]]), np.array([[-1.0], [-2.0]]), np.zeros((1, 0)), ["RI1Y", "OD"], "H", 0, "x", None, 1.0
    ),
    lambda: vb.general_optimisation(
        np.array([[1.0]]), np.array([[1.0], [-np.inf]]), np.zeros((1, 1)), ["OD", "payed_x"], "H", 0, "inertial"
    ),
    lambda: vb.optimise_predictions(
        np.ones((2, 3, 1)), np.array([[0.5], [-1.0]]), np.zeros((3, 0)), ["SP1Y", "OD"], "H", 2
    ),
]


@pytest.mark.parametrize("call", NEGATIVE_PRICE_CALLS)
def test_negative_prices_are_refused_before_any_search(call):
    with internal_failure("^prices must not be negative$"):
        call()


def test_zero_nan_and_infinite_prices_still_search():
    usage = np.array([[1.0], [2.0]])
    for od in (0.0, np.nan, np.inf):
        vb.general_optimisation(usage, np.array([[0.3], [od]]), np.zeros((2, 0)), ["RI1Y", "OD"], "H", 1, "inertial")


def zero_stride(shape):
    return np.lib.stride_tricks.as_strided(np.ones(1), shape=shape, strides=(0,) * len(shape))


# Far beyond any machine's memory: the copy is refused before the first read.
HUGE_CALLS = [
    lambda: vb.optimise_predictions(zero_stride((10**6, 10**4, 3)), np.ones((2, 3)), np.zeros((10**4, 0)),
                                    ["RI1Y", "OD"], "H", 1),
    lambda: vb.simple_optimisation(zero_stride((10**10, 10)), np.ones((3, 10)), "H", "1Y"),
    lambda: vb.generate_cost_and_coverage(zero_stride((10**10, 10)), np.ones((3, 10)), 1, 1, "H"),
    lambda: vb.general_optimisation(np.ones((1, 1)), np.ones((1, 1)), np.zeros((1, 0)), ["OD"], "H", 2**63, "inertial"),
]


# AddressSanitizer's allocator aborts the process where operator new would throw.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="allocation failure aborts under ASan")
@pytest.mark.parametrize("call", HUGE_CALLS)
def test_sizes_beyond_memory_raise_memory_error_at_once(call):
    with pytest.raises(MemoryError):
        call()


class LyingLength(list):
    def __len__(self):
        return 2**62


def test_a_lying_length_only_reserves_space():
    names = LyingLength(["RI1Y", "OD"])
    r = vb.general_optimisation(np.array([[2.0]]), np.array([[0.5], [1.0]]), np.zeros((1, 0)), names, "H", 1, "x")
    assert r.commitments["one_year_commitments"].tolist() == [0, 2]


def test_an_array_resized_while_arguments_convert_is_refused():
    usage = np.ones((100, 2))

    class Shrinking:
        def __index__(self):
            usage.resize((1, 1), refcheck=False)
            return 1

    prices = np.ones((3, 2))
    with internal_failure("^argument 'usage' changed while the arguments were converted$"):
        vb.generate_cost_and_coverage(usage, prices, Shrinking(), 1, "H")


def test_result_types_are_immutable():
    r = vb.simple_optimisation(np.array([[1.0]]), np.array([[1.0], [0.5], [0.3]]), "H", "1Y")
    for cls in (type(r), type(r.convergence), vb.Results):
        with pytest.raises(TypeError):
            cls.minimum = 1.0
        with pytest.raises(TypeError):
            cls.__new__ = lambda c: object.__new__(c)
        with pytest.raises(TypeError, match=r"^No constructor defined$"):
            cls()


@pytest.mark.parametrize("names", [["RI1Y", "RI1Y", "OD"], ["SP3Y", "OD", "SP3Y"], ["OD", "SP1Y", "OD"]])
def test_searches_refuse_a_model_listed_twice(names):
    usage = np.ones((3, 1))
    prices = np.full((len(names), 1), 0.5)
    repeated = next(name for name in names if names.count(name) > 1)
    with internal_failure(f"^pricing model listed twice: {repeated}$"):
        vb.general_optimisation(usage, prices, np.zeros((3, 0)), names, "H", 1, "inertial")
    with internal_failure(f"^pricing model listed twice: {repeated}$"):
        vb.optimise_predictions(usage[None], prices, np.zeros((3, 0)), names, "H", 1)


def test_repeated_paid_plans_and_priced_repeats_stay_allowed():
    usage = np.array([[4.0], [2.0]])
    paid = vb.general_optimisation(usage, np.full((3, 1), 0.5), np.ones((2, 2)), ["payed_a", "payed_b", "OD"], "H", 0,
                                   "inertial")
    assert paid.commitments == {}
    # Two one-year reservations of one unit each: 2 x 2 periods x 0.25, plus 2 units on demand.
    levels = np.ones((2, 2))
    cost = vb.final_cost_coverage_underutilization(usage, np.array([[0.25], [0.25], [1.0]]), levels,
                                                   ["RI1Y", "RI1Y", "OD"], "H", "cost")
    assert cost == 1.0 + 2.0
