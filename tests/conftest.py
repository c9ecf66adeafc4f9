import contextlib
import math
import re

import numpy as np
import pytest

# Host exceptions that also derive directly from BaseException; never mistaken for ours.
_HOST_BASE_EXCEPTIONS = (KeyboardInterrupt, SystemExit, GeneratorExit)


class FailureInfo:
    """Filled by `internal_failure` once the block has raised."""

    exception = None
    message = None


@contextlib.contextmanager
def internal_failure(match=None):
    """Expects the block to raise the module's internal-failure exception.

    That type derives directly from BaseException (so `except Exception` misses it),
    and its single argument is the message. `match` is a regular expression searched
    in the message.
    """
    info = FailureInfo()
    try:
        yield info
    except BaseException as e:  # the type under test is a BaseException
        if isinstance(e, (Exception,) + _HOST_BASE_EXCEPTIONS) or type(e).__mro__[1] is not BaseException:
            raise
        assert len(e.args) == 1, e.args
        assert isinstance(e.args[0], str), e.args
        info.exception = e
        info.message = e.args[0]
        if match is not None:
            assert re.search(match, info.message), f"{info.message!r} does not match {match!r}"
    else:
        pytest.fail("expected an internal failure, the call returned")


#: The rates of the kinds "small" and "large", as a price file.
SMALL_LARGE_PRICES = (
    "kind,on_demand,sp1y,sp3y,ri1y,ri3y\nsmall,0.10,0.07,0.05,0.06,0.04\nlarge,0.40,0.28,0.20,0.24,0.16\n"
)


def write_long_table(path, timestamps, kinds, usage):
    """Write `usage` (periods x kinds) as a long table: timestamp, kind, quantity (3 decimals)."""
    stamps = np.datetime_as_string(np.asarray(timestamps).astype("datetime64[s]"))
    rows = (f"{stamp},{kind},{value:.3f}" for stamp, row in zip(stamps, usage) for kind, value in zip(kinds, row))
    path.write_text("\n".join(["timestamp,kind,quantity", *rows]) + "\n")


def same_float(actual, expected, rel=1e-9, abs_=1e-9):
    """Equal within tolerance; two NaNs and equal infinities count as the same."""
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(actual, float) and math.isnan(actual)
    if math.isinf(expected):
        return actual == expected
    return isinstance(actual, float) and math.isclose(actual, expected, rel_tol=rel, abs_tol=abs_)


def module_failure(message):
    """An instance of the module's own failure type (it is not exported)."""
    import velmar_backend

    try:
        velmar_backend.final_cost_coverage_underutilization(
            np.ones((1, 1)), np.ones((1, 1)), np.zeros((1, 0)), ["OD"], "H", "neither"
        )
    except BaseException as failure:  # the module's type derives from BaseException
        return type(failure)(message)
    raise AssertionError("the module accepted an unknown figure")
