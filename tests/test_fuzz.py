"""Hostile calls to every entry point: odd layouts, dtypes and ranks, lying __index__ and
__len__, odd strings and binding mistakes. Every call must return or raise a documented
exception, and leave its input arrays as they were. FUZZ_EXAMPLES bounds the count."""

import contextlib
import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmar_backend as vb

EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "300"))
FUNCTIONS = [getattr(vb, name) for name in vb.__all__ if name != "Results"]
MODEL_NAMES = ["OD", "RI1Y", "RI3Y", "SP1Y", "SP3Y", "payed_x", "od", "OD ", "", "RI1", "\u00e9", "\x00"]


class Hostile(Exception):
    """Raised by the hostile objects below; it must pass through unchanged."""


class LyingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise Hostile("index")
        return self.value


class LyingLength(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if self.length is None:
            raise Hostile("len")
        return self.length


class BrokenIteration(list):
    def __iter__(self):
        yield "OD"
        raise Hostile("iter")


def internal_failure_type():
    try:
        vb.cost(np.ones((1, 1)), np.ones((3, 1)), np.ones(5))
    except BaseException as e:  # the module's failure is a BaseException
        return type(e)
    raise AssertionError("expected a failure")


DOCUMENTED = (TypeError, OverflowError, MemoryError, UnicodeError, Hostile, internal_failure_type())


@st.composite
def arrays(draw):
    ndim = draw(st.integers(0, 3))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    dtype = draw(st.sampled_from([np.float64, np.float64, np.float64, np.float32, np.int64, np.uint64, object, ">f8"]))
    values = draw(st.sampled_from([0.0, 1.0, 2.5, -1.0, np.nan, np.inf, -np.inf, 1e300]))
    with np.errstate(all="ignore"):
        a = np.full(shape, values).astype(dtype) if dtype is not object else np.full(shape, values, dtype=object)
    layout = draw(st.sampled_from(["c", "f", "reversed", "strided", "broadcast", "unaligned"]))
    if layout == "f":
        a = np.asfortranarray(a)
    elif layout == "reversed" and ndim:
        a = a[::-1]
    elif layout == "strided" and ndim:
        a = np.repeat(a, 2, axis=0)[::2]
    elif layout == "broadcast" and ndim and shape[0]:
        a = np.broadcast_to(a[:1], (draw(st.integers(0, 6)),) + a.shape[1:])
    elif layout == "unaligned" and a.dtype == np.float64:
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]
        a = raw.view(np.float64).reshape(a.shape) if a.size else a
    return a


texts = st.one_of(st.sampled_from(["H", "D", "1Y", "3Y", "cost", "coverage", "underutilization", "inertial",
                                   "gradient_descent", "x", "", "\udcff"]), st.text(max_size=6))
name_lists = st.one_of(
    st.lists(st.sampled_from(MODEL_NAMES), max_size=4),
    st.builds(LyingLength, st.lists(st.sampled_from(MODEL_NAMES), max_size=3),
              st.sampled_from([0, 2**62, -1, None])),
    st.just(BrokenIteration()),
    st.just("OD"),
    st.just(("OD", 1)),
)
counts = st.one_of(st.integers(-2, 4), st.sampled_from([2**63, 2**64, 2**70]),
                   st.builds(LyingIndex, st.sampled_from([1, 2**63, -1, None])), st.just(1.5))
reals = st.one_of(st.none(), st.floats(allow_nan=True), st.just("1"), st.integers(-2, 2))
flags = st.one_of(st.none(), st.booleans(), st.just(1))
arguments = st.one_of(arrays(), arrays(), arrays(), texts, name_lists, counts, reals, flags)


def snapshot(a):
    contents = [id(x) for x in a.ravel()] if a.dtype == object else a.tobytes()
    return a.shape, a.strides, contents


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(fn=st.sampled_from(FUNCTIONS), args=st.lists(arguments, max_size=10), by_keyword=st.integers(0, 10),
       data=st.data())
def test_hostile_calls_fail_cleanly_and_change_nothing(fn, args, by_keyword, data):
    names = fn.__text_signature__.strip("()").replace("=None", "").split(", ")
    keywords = {}
    for position in range(min(by_keyword, len(args)), len(args)):
        key = data.draw(st.sampled_from(names + ["bogus"]), label="keyword")
        keywords[key] = args[position]
    positional = args[: min(by_keyword, len(args))]
    given_arrays = [a for a in list(positional) + list(keywords.values()) if isinstance(a, np.ndarray)]
    before = [snapshot(a) for a in given_arrays]
    with contextlib.suppress(DOCUMENTED):
        fn(*positional, **keywords)
    assert [snapshot(a) for a in given_arrays] == before
