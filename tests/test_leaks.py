"""Reference counts of the caller's objects and process memory across many calls."""

import copy
import gc
import pickle
import sys

import numpy as np
import pytest

from quorvel import Encoder
from conftest import EMPTY_STATE, STATE_WITHOUT_DECODE_MAP, measures_resident_memory, run_peak_memory_script, u64

pd = pytest.importorskip("pandas")
psutil = pytest.importorskip("psutil")


class Num:
    def __float__(self):
        return 2.5


class Idx:
    def __index__(self):
        return 7


class Word:
    def __str__(self):
        return "word"


class NoStr:
    def __str__(self):
        raise ValueError("no text here")


def fresh(text):
    """A str object of its own, not shared with any constant or interned string."""
    return "".join(list(text))


def learned(columns=2):
    """An encoder that learned text columns 0 .. columns-1 of a two-row table."""
    e = Encoder()
    e.encode(np.array([[f"r0c{c}" for c in range(columns)], [f"r1c{c}" for c in range(columns)]], dtype=object))
    return e


def mixed_cells():
    cells = [fresh("b"), 1.5, Num(), Idx(), Word(), 10**400, None, True, np.float32(3.0), fresh("nan")]
    table = np.empty((len(cells), 2), dtype=object)
    table[:, 0] = cells
    table[:, 1] = cells[::-1]
    return table, cells


# Each case builds (objects to watch, the call, the exception type name expected or None).
def case_encode_float64():
    e, a = Encoder(), np.arange(6.0).reshape(3, 2)
    return [e, a], lambda: e.encode(a), None


def case_encode_mixed():
    e = Encoder()
    table, cells = mixed_cells()
    return [e, table, *cells], lambda: e.encode(table), None


def case_decode_mixed():
    e = Encoder()
    table, cells = mixed_cells()
    coded, _ = e.encode(table)
    return [e, table, coded, *cells], lambda: (e.decode(table), e.decode(coded)), None


def case_frame_round_trip():
    e = Encoder()
    labels = [fresh("city"), fresh("n")]
    frame = pd.DataFrame({labels[0]: [fresh("x"), fresh("y")], labels[1]: [1.0, 2.0]})
    cells = [frame.iat[0, 0], frame.iat[1, 0]]
    return [e, frame, *labels, *cells], lambda: e.decode(e.encode(frame)[0]), None


def case_frame_int_labels():
    e = Encoder()
    frame = pd.DataFrame([[fresh("x"), 1.0]], columns=[-3, 7])
    return [e, frame, frame.columns], lambda: e.decode(e.encode(frame)[0]), None


def case_constructor():
    label = fresh("label")
    return [label, Encoder], lambda: Encoder(label), None


def case_constructor_keyword():
    label = fresh("label")
    return [label, Encoder], lambda: Encoder(encoding=label), None


def case_setstate():
    e, state = Encoder(), learned(3).__getstate__()
    return [e, state], lambda: e.__setstate__(state), None


def case_getstate():
    e = learned()
    return [e], lambda: e.__getstate__(), None


def case_refused_list():
    e = learned()
    cells = [fresh("a"), Word()]
    obj = [cells]
    return [e, obj, *cells], lambda: e.encode(obj), "TypeError"


def case_refused_none_decode():
    e = learned()
    return [e, None], lambda: e.decode(None), "TypeError"


def case_fault_1d():
    e = learned()
    cells = [fresh("a"), Word()]
    a = np.array(cells, dtype=object)
    return [e, a, *cells], lambda: e.encode(a), "PanicException"


def case_fault_str_raises():
    e = learned()
    cells = [fresh("a"), Word(), NoStr()]
    a = np.empty((3, 1), dtype=object)
    a[:, 0] = cells
    return [e, a, *cells], lambda: e.encode(a), "PanicException"


def case_fault_missing_decode_map():
    e = Encoder()
    e.__setstate__(STATE_WITHOUT_DECODE_MAP)
    a = np.zeros((3, 2))
    return [e, a], lambda: e.decode(a), "PanicException"


def case_fault_narrow_decode():
    e = learned(3)
    a = np.zeros((2, 2))
    return [e, a], lambda: e.decode(a), "PanicException"


def case_fault_narrow_empty_frame():
    e = learned(3)
    frame = pd.DataFrame(columns=[fresh("a")])
    return [e, frame], lambda: e.decode(frame), "PanicException"


def case_frame_labels_refused():
    e = learned()
    frame = pd.DataFrame([[fresh("x"), 1.0]], columns=["a", 1])
    return [e, frame], lambda: e.encode(frame), "TypeError"


def case_frame_construction_fails():
    # Labels that do not fit the values: pandas refuses the result frame.
    class DataFrame:
        columns = ["only"]
        shape = (1, 2)
        values = np.array([["x", "y"]], dtype=object)

    e = learned()
    obj = DataFrame()
    return [e, obj, DataFrame.values], lambda: e.encode(obj), "ValueError"


def case_bad_state():
    e = learned()
    state = b"\x02" + EMPTY_STATE
    return [e, state], lambda: e.__setstate__(state), "ValueError"


def case_truncated_state():
    e = learned()
    state = learned(3).__getstate__()[:-7]
    return [e, state], lambda: e.__setstate__(state), "ValueError"


def case_state_not_bytes():
    e = learned()
    state = bytearray(EMPTY_STATE)
    return [e, state], lambda: e.__setstate__(state), "TypeError"


def case_bad_call_shape():
    e = learned()
    a = np.zeros((1, 1))
    return [e, a], lambda: e.encode(a, obj=a), "TypeError"


def case_too_many_positional():
    e = learned()
    a = np.zeros((1, 1))
    return [e, a], lambda: e.decode(a, a), "TypeError"


def case_constructor_not_str():
    value = object()
    return [value, Encoder], lambda: Encoder(value), "TypeError"


def case_constructor_other_text():
    value = fresh("Label")
    return [value, Encoder], lambda: Encoder(encoding=value), "ValueError"


def case_constructor_surrogate():
    value = fresh("\ud800")
    return [value, Encoder], lambda: Encoder(value), "UnicodeEncodeError"


def case_constructor_unexpected_keyword():
    value = fresh("label")
    return [value, Encoder], lambda: Encoder(encoding=value, foo=value), "TypeError"


def case_reentry_conflict():
    e = Encoder()

    class Reenter:
        def __str__(self):
            try:
                e.__setstate__(EMPTY_STATE)
            except RuntimeError:
                pass
            return "cell"

    cell = Reenter()
    a = np.array([[cell]], dtype=object)
    return [e, a, cell], lambda: e.encode(a), None


CASES = [v for k, v in sorted(globals().items()) if k.startswith("case_")]


def run(call):
    """Runs the call; returns the name of the exception type it raised, or None."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - faults derive from BaseException
        return type(exc).__name__
    return None


@pytest.mark.parametrize("case", CASES, ids=[c.__name__[5:] for c in CASES])
def test_reference_counts_unchanged(capfd, case):
    watched, call, expected = case()
    assert run(call) == expected  # the first call may fill caches of its own
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(5):
        assert run(call) == expected
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before
    capfd.readouterr()


def test_encoder_deallocation_releases_the_class():
    gc.collect()
    before = sys.getrefcount(Encoder)
    made = [learned() for _ in range(50)]
    assert sys.getrefcount(Encoder) == before + 50
    del made
    gc.collect()
    assert sys.getrefcount(Encoder) == before


@pytest.mark.parametrize(
    "duplicate",
    [
        lambda e: pickle.loads(pickle.dumps(e)),
        lambda e: pickle.loads(pickle.dumps(e, protocol=2)),
        copy.copy,
        copy.deepcopy,
    ],
    ids=["pickle", "pickle-2", "copy", "deepcopy"],
)
def test_pickle_round_trip_keeps_refcounts(duplicate):
    e = learned(3)
    state = e.__getstate__()
    duplicate(e)
    gc.collect()
    before = (sys.getrefcount(e), sys.getrefcount(Encoder))
    for _ in range(5):
        other = duplicate(e)
        assert other.__getstate__() == state
        del other
    gc.collect()
    assert (sys.getrefcount(e), sys.getrefcount(Encoder)) == before


# ---------------------------------------------------------------------------
# Memory over many calls. Each workload allocates tens of kilobytes of native memory
# per call (matrix, staging lists, code tables), so a leak on any of these paths adds
# up to well over the bound within the loop.

ROWS = 1000
MB = 1 << 20


def workload_encode_decode():
    e = Encoder()
    table = np.array([[f"s{i % 300}", float(i), f"t{i}", i] for i in range(ROWS)], dtype=object)

    def step():
        coded, columns = e.encode(table)
        assert columns == [0, 2]
        e.decode(coded)

    return step


def workload_fast_path():
    e = Encoder()
    a = np.ones((ROWS, 4))

    def step():
        e.decode(e.encode(a)[0])

    return step


def workload_state():
    e = Encoder()
    e.encode(np.array([[f"s{i}", f"t{i}"] for i in range(ROWS)], dtype=object))
    state = e.__getstate__()
    # A long list of columns followed by an invalid strategy: everything is read, then refused.
    refused = b"\x01" + u64(4 * ROWS) + b"".join(u64(i) for i in range(4 * ROWS)) + u64(0) + u64(0) + b"\x01\0\0\0"

    def step():
        e.__setstate__(state)
        assert len(e.__getstate__()) == len(state)
        assert run(lambda: e.__setstate__(refused)) == "ValueError"
        pickle.loads(pickle.dumps(e))

    return step


def workload_faults():
    narrow = learned(3)
    broken = Encoder()
    broken.__setstate__(STATE_WITHOUT_DECODE_MAP)
    wide = np.zeros((4 * ROWS, 2))
    column = np.empty((4 * ROWS, 1), dtype=object)
    column[:-1, 0] = [f"v{i}" for i in range(4 * ROWS - 1)]
    column[-1, 0] = NoStr()
    listed = [[1.0]]

    def step():
        assert run(lambda: narrow.decode(wide)) == "PanicException"
        assert run(lambda: broken.decode(wide)) == "PanicException"
        assert run(lambda: narrow.encode(column)) == "PanicException"
        assert run(lambda: narrow.encode(listed)) == "TypeError"

    return step


@pytest.mark.parametrize(
    ("workload", "calls"),
    [(workload_encode_decode, 1500), (workload_fast_path, 3000), (workload_state, 1000), (workload_faults, 1500)],
    ids=["encode-decode", "fast-path", "state", "faults"],
)
@measures_resident_memory
def test_memory_stays_flat(capfd, workload, calls):
    process = psutil.Process()
    step = workload()
    for _ in range(100):
        step()
    capfd.readouterr()
    gc.collect()
    start = process.memory_info().rss
    for i in range(calls):
        step()
        if i % 200 == 0:
            capfd.readouterr()  # keep the fault reports from piling up in memory
    gc.collect()
    grown = process.memory_info().rss - start
    assert grown < 24 * MB, f"resident memory grew by {grown / MB:.1f} MiB over {calls} calls"


def _cells_holding(column, obj):
    return sum(cell is obj for cell in column)


@pytest.mark.parametrize("rows", [5, 3000])
def test_shared_result_objects_own_one_reference_per_cell(rows):
    # Texts and repeated floats are shared between cells; each cell must still own
    # exactly one reference, or freeing the result frees an object twice or never.
    rng = np.random.default_rng(rows)
    words = np.array(["alpha", "beta", "gamma", "nan"], dtype=object)
    table = np.empty((rows, 3), dtype=object)
    table[:, 0] = words[rng.integers(0, 4, rows)]
    table[:, 1] = rng.integers(0, 2, rows).astype(float)  # a flag column: two values
    table[:, 2] = rng.normal(size=rows)
    enc = Encoder()
    codes, _ = enc.encode(table)
    out = enc.decode(codes)
    for column in (0, 1):
        distinct = {id(cell): cell for cell in out[:, column]}
        for sample in distinct.values():
            # the cells, the dict, `sample` and getrefcount's own argument; the encoder
            # keeps one more for its next decode of each text that has a code
            kept = column == 0 and sample != "NaN"
            assert sys.getrefcount(sample) == _cells_holding(out[:, column], sample) + 3 + kept
    text = next(cell for cell in out[:, 0] if cell != "NaN")
    again = enc.decode(codes)
    assert any(cell is text for cell in again[:, 0])
    del out, again, distinct, sample
    assert sys.getrefcount(text) == 3  # the encoder's and getrefcount's argument
    enc.encode(table)  # new tables: the texts kept for the old ones go
    assert sys.getrefcount(text) == 2


# Encodes a nearly unique text column in a fresh process and reports the peak and the
# resident memory still held (result and encoder alive) over the memory before the call.
_PEAK_OF_ONE_ENCODE = r"""
import gc, json, sys
import numpy as np
from quorvel import Encoder

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

rows = int(sys.argv[1])
rng = np.random.default_rng(7)
table = np.empty((rows, 2), dtype=object)
table[:, 0] = [f"id-{x:016x}" for x in rng.integers(0, 2**62, rows)]
table[:, 1] = rng.normal(size=rows)
Encoder().encode(table[:100])  # the worker pool starts before the measurement
gc.collect()
gc.disable()
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak
enc = Encoder()
result = enc.encode(table)
print(json.dumps({"peak": status("VmHWM") - before, "kept": status("VmRSS") - before}))
"""


def test_encode_peak_is_what_the_call_returns_and_keeps():
    # With nearly every text distinct, the tables the encoder keeps are as large as the
    # working arrays of the encoding; those must be freed before the tables are built, so
    # the peak stays at the result plus the learned encoding.
    measured = run_peak_memory_script(_PEAK_OF_ONE_ENCODE, 400000)
    assert measured["kept"] > 20 * MB  # the result and the tables are really there
    assert measured["peak"] <= 1.1 * measured["kept"], (
        f"peak {measured['peak'] / MB:.1f} MiB for {measured['kept'] / MB:.1f} MiB kept")

