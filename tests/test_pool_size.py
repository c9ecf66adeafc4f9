"""The worker pool takes its size from VELMAR_NUM_THREADS when set."""

import os
import subprocess
import sys

import pytest

PARALLEL_CALL = """
import os, numpy as np, velmar_backend as vb
before = len(os.listdir("/proc/self/task"))
try:
    vb.generate_cost_and_coverage(np.ones((4, 2)), np.ones((3, 2)), 8, 2, "H")
    print(len(os.listdir("/proc/self/task")) - before)
except BaseException as e:
    print(e)
"""


def pool_answer(value):
    done = subprocess.run([sys.executable, "-c", PARALLEL_CALL], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "VELMAR_NUM_THREADS": value})
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize("value, workers", [("1", "1"), ("3", "3"), ("", str(len(os.sched_getaffinity(0))))])
def test_the_variable_sets_the_number_of_workers(value, workers):
    assert pool_answer(value) == workers


@pytest.mark.parametrize("value", ["0", "-1", "two", "2x", " 2", "99999999999999999999999"])
def test_a_bad_value_fails_the_first_parallel_call(value):
    assert pool_answer(value) == f"VELMAR_NUM_THREADS must be a positive whole number, got '{value}'"


LARGE_PASSES = """
import numpy as np, velmar_backend as vb
rng = np.random.default_rng(5)
usage = rng.gamma(2.0, 5.0, (9000, 16))
usage[::97, 3] = np.nan
od = rng.uniform(0.1, 2.0, 16)
plan = np.r_[40.0, np.floor(usage.mean(axis=0) / 3)]
row = np.r_[plan[1:], plan[1:] / 2, 30.0, 20.0]
portfolio = np.vstack([0.5 * od, 0.6 * od, 0.55 * od, 0.7 * od, od])
names = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
for use in (usage, np.asfortranarray(usage)):
    print(repr(vb.cost(use, np.vstack([od, 0.6 * od, 0.5 * od]), plan)))
    for levels in (np.tile(row, (9000, 1)), np.tile(row, (9000, 1)) * rng.uniform(0.5, 1.5, (9000, 1))):
        print(repr(vb.final_cost_coverage_underutilization(use, portfolio, levels, names, "H", "cost")))
"""


def test_a_large_pass_has_the_same_bits_on_one_worker_and_on_several():
    answers = []
    for workers in ("1", "2", "3", "4"):
        done = subprocess.run(
            [sys.executable, "-c", LARGE_PASSES],
            capture_output=True,
            text=True,
            timeout=120,
            env={**os.environ, "VELMAR_NUM_THREADS": workers},
        )
        assert done.returncode == 0, done.stderr
        answers.append(done.stdout)
    assert all(answer == answers[0] for answer in answers) and answers[0].count("\n") == 6
