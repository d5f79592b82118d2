"""Borrow conflicts through re-entry, and internal faults raised as PanicException."""

import re
import threading

import numpy as np
import pytest

from quorvel import Encoder
from conftest import EMPTY_STATE, STATE_WITHOUT_DECODE_MAP

pd = pytest.importorskip("pandas")

FLOATS = np.zeros((1, 1))


class Reenter:
    """A cell that is no number; its str() runs `action` once and keeps the outcome."""

    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __str__(self):
        if self.outcome is None:
            try:
                self.outcome = ("ok", self.action())
            except BaseException as exc:  # noqa: BLE001 - the test inspects whatever was raised
                self.outcome = ("raised", exc)
        return "cell"


def text_table(cell):
    return np.array([["a", 1.0], [cell, 2.0]], dtype=object)


def assert_usable(e):
    """The borrow was released: exclusive and shared calls both go through."""
    result, columns = e.encode(np.array([["x"], ["y"]], dtype=object))
    assert columns == [0]
    assert e.decode(result).tolist() == [["x"], ["y"]]
    state = e.__getstate__()
    e.__setstate__(state)
    assert e.__getstate__() == state


# ---------------------------------------------------------------------------
# Borrow conflicts

REENTRY = [
    # (outer method, inner call, expected inner message or None for success)
    ("encode", lambda e: e.encode(FLOATS), "Already borrowed"),
    ("encode", lambda e: e.__setstate__(EMPTY_STATE), "Already borrowed"),
    ("encode", lambda e: e.__setstate__("not bytes"), "Already borrowed"),
    ("encode", lambda e: e.decode(FLOATS), "Already mutably borrowed"),
    ("encode", lambda e: e.__getstate__(), "Already mutably borrowed"),
    ("decode", lambda e: e.encode(FLOATS), "Already borrowed"),
    ("decode", lambda e: e.__setstate__(EMPTY_STATE), "Already borrowed"),
    ("decode", lambda e: e.decode(FLOATS), None),
    ("decode", lambda e: e.__getstate__(), None),
]


@pytest.mark.parametrize(
    ("outer", "inner", "message"),
    REENTRY,
    ids=["encode>encode", "encode>setstate", "encode>setstate-bad-arg", "encode>decode", "encode>getstate",
         "decode>encode", "decode>setstate", "decode>decode", "decode>getstate"],
)
def test_reentry_from_a_cell(outer, inner, message):
    e = Encoder()
    e.encode(np.array([["p"], ["q"]], dtype=object))
    learned = e.__getstate__()
    cell = Reenter(lambda: inner(e))

    getattr(e, outer)(text_table(cell))

    kind, value = cell.outcome
    if message is None:
        assert kind == "ok", value
    else:
        assert kind == "raised"
        assert type(value) is RuntimeError
        assert str(value) == message
        if outer == "decode":
            # The refused inner call changed nothing.
            assert e.__getstate__() == learned
    assert_usable(e)


def test_nested_shared_calls_see_the_stored_encoding():
    e = Encoder()
    coded, _ = e.encode(np.array([["b"], ["a"]], dtype=object))
    stored = e.__getstate__()
    inner = Reenter(lambda: (e.decode(coded), e.__getstate__()))
    e.decode(text_table(inner))
    kind, (decoded, state) = inner.outcome
    assert kind == "ok"
    assert decoded.tolist() == [["b"], ["a"]]
    assert state == stored


def test_reentry_from_a_dataframe_cell():
    e = Encoder()
    cell = Reenter(lambda: e.encode(FLOATS))
    frame = pd.DataFrame({"t": ["a", cell], "n": [1.0, 2.0]})
    _, columns = e.encode(frame)
    assert columns == [0]
    kind, value = cell.outcome
    assert kind == "raised" and type(value) is RuntimeError and str(value) == "Already borrowed"
    assert_usable(e)


def test_outer_encode_raising_from_reentry_releases_the_borrow():
    e = Encoder()

    class Raise:
        def __str__(self):
            e.encode(FLOATS)  # RuntimeError escapes str(), which turns into a fault
            return "never"

    with pytest.raises(BaseException) as info:
        e.encode(text_table(Raise()))
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith("cant convert to str")
    assert_usable(e)


def test_other_instances_are_independent():
    e, other = Encoder(), Encoder()
    cell = Reenter(lambda: other.encode(np.array([["z"]], dtype=object)))
    e.encode(text_table(cell))
    kind, (_, columns) = cell.outcome
    assert kind == "ok" and columns == [0]


def run_beside(outer, inner_calls):
    """Runs `outer(cell_table)` on this thread; while it reads the blocking cell, another
    thread makes `inner_calls`. Returns what each inner call returned or raised."""
    inside = threading.Event()
    finished = threading.Event()
    results = []

    class Block:
        def __str__(self):
            inside.set()
            assert finished.wait(30), "other thread did not finish"
            return "cell"

    def other():
        assert inside.wait(30)
        for call in inner_calls:
            try:
                results.append(("ok", call()))
            except BaseException as exc:  # noqa: BLE001
                results.append(("raised", exc))
        finished.set()

    worker = threading.Thread(target=other)
    worker.start()
    try:
        outer(text_table(Block()))
    finally:
        worker.join(30)
    assert not worker.is_alive()
    return results


def test_conflicts_with_another_thread_during_encode():
    e = Encoder()
    results = run_beside(
        e.encode,
        [lambda: e.encode(FLOATS), lambda: e.__setstate__(EMPTY_STATE), lambda: e.decode(FLOATS),
         lambda: e.__getstate__()],
    )
    assert [(kind, type(v), str(v)) for kind, v in results] == [
        ("raised", RuntimeError, "Already borrowed"),
        ("raised", RuntimeError, "Already borrowed"),
        ("raised", RuntimeError, "Already mutably borrowed"),
        ("raised", RuntimeError, "Already mutably borrowed"),
    ]
    assert_usable(e)


def test_shared_calls_from_another_thread_during_decode():
    e = Encoder()
    coded, _ = e.encode(np.array([["b"], ["a"]], dtype=object))
    results = run_beside(
        e.decode,
        [lambda: e.decode(coded), lambda: e.__getstate__(), lambda: e.encode(FLOATS),
         lambda: e.__setstate__(EMPTY_STATE)],
    )
    (k1, decoded), (k2, state), (k3, enc_err), (k4, set_err) = results
    assert (k1, k2, k3, k4) == ("ok", "ok", "raised", "raised")
    assert decoded.tolist() == [["b"], ["a"]]
    assert state == e.__getstate__()
    assert (type(enc_err), str(enc_err)) == (RuntimeError, "Already borrowed")
    assert (type(set_err), str(set_err)) == (RuntimeError, "Already borrowed")
    assert_usable(e)


# ---------------------------------------------------------------------------
# Internal faults

# object_columns [0], no code tables, no decode maps.
UNWRAP = "called `Result::unwrap()` on an `Err` value"


def panic_type():
    e = Encoder()
    e.__setstate__(STATE_WITHOUT_DECODE_MAP)
    try:
        e.decode(FLOATS)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("no fault raised")


def test_panic_exception_derives_directly_from_base_exception(capfd):
    panic = panic_type()
    capfd.readouterr()
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    # One class per process.
    assert panic_type() is panic


def test_fault_is_not_caught_by_except_exception(capfd):
    e = Encoder()
    e.__setstate__(STATE_WITHOUT_DECODE_MAP)
    reached = []
    with pytest.raises(BaseException) as info:
        try:
            e.decode(FLOATS)
        except Exception:  # noqa: BLE001
            reached.append("caught")
    assert reached == []
    assert type(info.value).__name__ == "PanicException"
    capfd.readouterr()


@pytest.mark.parametrize(
    "decode_input",
    [FLOATS, np.zeros((0, 3)), np.array([["a"]], dtype=object), pd.DataFrame({"a": [1.0]})],
    ids=["float64", "no-rows", "object", "frame"],
)
def test_missing_decode_map_faults_with_report(capfd, decode_input):
    e = Encoder()
    e.__setstate__(STATE_WITHOUT_DECODE_MAP)
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        e.decode(decode_input)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "no entry found for key"
    out, err = capfd.readouterr()
    assert out == ""
    assert "no entry found for key" in err
    # The report names where the fault was raised: a source file and line.
    assert re.search(r"\S+\.\w+:\d+", err), err
    # The fault released the shared borrow and changed nothing.
    assert e.__getstate__() == STATE_WITHOUT_DECODE_MAP
    assert_usable(e)


class NoStr:
    def __str__(self):
        raise ValueError("no text here")


class NamedDataFrame:
    """Any type named DataFrame is taken as a frame."""

    def __init__(self, **attrs):
        self.columns = ["a"]
        for name, value in attrs.items():
            setattr(self, name, value)


NamedDataFrame.__name__ = "DataFrame"


ENCODE_FAULTS = [
    (np.array(["a", "b"], dtype=object), UNWRAP),
    (np.array([1.0, 2.0]), UNWRAP),
    (np.array(1.0), UNWRAP),
    (np.zeros((2, 2, 2)), UNWRAP),
    (np.array([[["a"]]], dtype=object), UNWRAP),
    (NamedDataFrame(), UNWRAP),
    (NamedDataFrame(shape=(1, 1)), UNWRAP),
    (NamedDataFrame(shape=[1, 1], values=np.array([["a"]], dtype=object)), UNWRAP),
    (NamedDataFrame(shape=(1, 1), values=[["a"]]), UNWRAP),
    (NamedDataFrame(shape=(1, -1), values=np.array([["a"]], dtype=object)), UNWRAP),
    (np.array([["a", NoStr()]], dtype=object), "cant convert to str"),
    (np.array([["a"], [NoStr()]], dtype=object), "cant convert to str"),
    (np.array([[NoStr()]], dtype=object), "cant convert to str"),
    (pd.DataFrame({"t": ["a", NoStr()]}), "cant convert to str"),
]


@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.parametrize(
    ("obj", "prefix"),
    ENCODE_FAULTS,
    ids=["1d-object", "1d-float", "0d", "3d-float", "3d-object", "frame-no-shape", "frame-no-values",
         "frame-list-shape", "frame-list-values", "frame-negative-shape", "str-raises-row", "str-raises-column",
         "str-raises-first", "frame-str-raises"],
)
def test_extraction_faults(capfd, method, obj, prefix):
    e = Encoder()
    e.encode(np.array([["kept"]], dtype=object))
    before = e.__getstate__()
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        getattr(e, method)(obj)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith(prefix), str(info.value)
    out, err = capfd.readouterr()
    assert out == ""
    assert prefix in err
    # The fault came before anything was learned: the previous encoding is kept.
    assert e.__getstate__() == before
    assert_usable(e)


def encoder_with_text_column_2():
    e = Encoder()
    _, columns = e.encode(np.array([[1.0, 2.0, "a"], [3.0, 4.0, "b"]], dtype=object))
    assert columns == [2]
    return e


@pytest.mark.parametrize(
    ("decode_input", "message"),
    [
        (np.zeros((2, 2)), "ndarray: index out of bounds"),
        (np.zeros((1, 1)), "ndarray: index out of bounds"),
        (np.array([[1, 2]]), "ndarray: index out of bounds"),
        (pd.DataFrame({"a": [1.0], "b": [2.0]}), "ndarray: index out of bounds"),
        (pd.DataFrame(columns=["a"]), "index out of bounds: the len is 1 but the index is 2"),
        (pd.DataFrame(columns=["a", "b"]), "index out of bounds: the len is 2 but the index is 2"),
        (pd.DataFrame(), "index out of bounds: the len is 0 but the index is 2"),
    ],
    ids=["2-columns", "1-column", "int-array", "frame", "empty-frame-1", "empty-frame-2", "empty-frame-0"],
)
def test_decoding_a_narrower_table_faults(capfd, decode_input, message):
    e = encoder_with_text_column_2()
    before = e.__getstate__()
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        e.decode(decode_input)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message
    _, err = capfd.readouterr()
    assert message in err
    assert e.__getstate__() == before
    assert_usable(e)


@pytest.mark.parametrize(
    "decode_input",
    [np.zeros((0, 2)), np.zeros((0, 0))],
    ids=["no-rows", "no-rows-no-columns"],
)
def test_narrower_array_without_rows_is_not_a_fault(decode_input):
    e = encoder_with_text_column_2()
    out = e.decode(decode_input)
    assert out.dtype == object
    assert out.shape == decode_input.shape


def test_wide_enough_empty_frame_decodes():
    e = encoder_with_text_column_2()
    out = e.decode(pd.DataFrame(columns=["a", "b", "c"]))
    assert list(out.columns) == ["a", "b", "c"]
    assert len(out) == 0
    assert out["c"].dtype == object


def test_encode_replaces_an_inconsistent_state(capfd):
    # A state whose decode map is missing can only come from __setstate__; encode
    # replaces it whole, so a following decode is consistent again.
    e = Encoder()
    e.__setstate__(STATE_WITHOUT_DECODE_MAP)
    coded, columns = e.encode(np.array([["b"], ["a"]], dtype=object))
    assert columns == [0]
    assert e.decode(coded).tolist() == [["b"], ["a"]]
    assert capfd.readouterr().err == ""


def test_repeated_faults_keep_raising_the_same_way(capfd):
    e = Encoder()
    e.__setstate__(STATE_WITHOUT_DECODE_MAP)
    messages = []
    for _ in range(20):
        try:
            e.decode(FLOATS)
        except BaseException as exc:  # noqa: BLE001
            messages.append((type(exc).__name__, str(exc)))
    assert messages == [("PanicException", "no entry found for key")] * 20
    assert capfd.readouterr().err.count("no entry found for key") == 20
