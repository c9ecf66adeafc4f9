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
