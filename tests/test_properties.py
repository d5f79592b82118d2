"""Property tests of encode and decode against a small Python model of the code rule, the
equality of the two cell-reading roads, and results that do not depend on the pool size."""

import decimal
import json
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvel
from conftest import examples, run_script

pd = pytest.importorskip("pandas")

MARKERS = {"<NA>", "nan", "NaN"}
SETTINGS = settings(max_examples=examples(150), deadline=None, print_blob=True)


# --- the model ---------------------------------------------------------------------------


def number_text(x):
    """Shortest round-trip digits, positional, no trailing ".0"."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(decimal.Decimal(repr(x)), "f")
    return text[:-2] if text.endswith(".0") else text


def cell_text(cell):
    text = str(cell)
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def cell_float(cell):
    """The float of a cell, or None when it does not convert (only the cell kinds drawn below)."""
    if isinstance(cell, (bool, int, float)):
        try:
            return float(cell)
        except OverflowError:
            return None
    return None


def model_encode(arr):
    """(matrix, text columns, {column: {code: text}}) by the code rule."""
    rows, cols = arr.shape
    matrix = np.zeros((rows, cols))
    text_columns, decode_maps = [], {}
    for j in range(cols):
        floats = []
        texts = None
        for i in range(rows):
            cell = arr[i, j]
            if texts is not None:
                texts.append(cell_text(cell))
                continue
            value = cell_float(cell)
            if value is None:
                texts = [number_text(v) for v in floats] + [cell_text(cell)]
            else:
                floats.append(value)
        if texts is None:
            matrix[:, j] = floats
            continue
        distinct = sorted(set(texts) - MARKERS, key=lambda t: t.encode("utf-8"))
        codes = {t: float(k) for k, t in enumerate(distinct)}
        matrix[:, j] = [codes.get(t, math.nan) for t in texts]
        text_columns.append(j)
        decode_maps[j] = {int(k): t for t, k in codes.items()}
    return matrix, text_columns, decode_maps


def model_texts(arr):
    """The per-cell texts of the text columns, as the model reads them."""
    matrix, text_columns, decode_maps = model_encode(arr)
    return {j: [None if math.isnan(c) else decode_maps[j][int(c)] for c in matrix[:, j]] for j in text_columns}


# --- tables ------------------------------------------------------------------------------

surrogates = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)
texts = st.one_of(
    st.sampled_from(["a", "b", "B", "", " ", "10", "9", "-1", "é", "€", "<NA>", "nan", "NaN", "NAN", "None", "nan "]),
    st.text(max_size=4),
    st.lists(st.one_of(surrogates, st.sampled_from("ab\ufffd")), min_size=1, max_size=3).map("".join),
)
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.just(10**400),
)
missing = st.sampled_from([None, pd.NA, math.nan])
text_cells = st.one_of(texts, st.sampled_from([None, pd.NA]))
any_cells = st.one_of(texts, numbers, missing)


def _fill(rows, cols, draw_cell, draw):
    arr = np.empty((rows, cols), dtype=object)
    for j in range(cols):
        kind = draw(st.sampled_from(["numbers", "texts", "mixed"]))
        cells = {"numbers": numbers, "texts": text_cells, "mixed": any_cells}[kind] if draw_cell is None else draw_cell
        for i in range(rows):
            arr[i, j] = draw(cells)
    return arr


@st.composite
def tables(draw, cells=None, min_rows=0):
    rows = draw(st.integers(min_rows, 8))
    cols = draw(st.integers(0 if min_rows == 0 else 1, 4))
    return _fill(rows, cols, cells, draw)


def assert_matrices_equal(actual, expected):
    assert actual.shape == expected.shape
    assert actual.dtype == np.float64
    np.testing.assert_array_equal(actual, expected)


# --- properties --------------------------------------------------------------------------


@SETTINGS
@given(tables())
def test_encode_follows_the_code_rule(arr):
    out, cols = quorvel.Encoder().encode(arr)
    matrix, text_columns, _ = model_encode(arr)
    assert cols == text_columns
    assert_matrices_equal(out, matrix)


@SETTINGS
@given(tables())
def test_round_trip_numpy(arr):
    enc = quorvel.Encoder()
    out, cols = enc.encode(arr)
    back = enc.decode(out)
    assert back.shape == arr.shape and back.dtype == object
    expected_texts = model_texts(arr)
    for j in range(arr.shape[1]):
        column = back[:, j].tolist()
        if j in expected_texts:
            assert column == ["NaN" if t is None else t for t in expected_texts[j]]
        else:
            assert all(type(v) is float for v in column)
            np.testing.assert_array_equal(np.array(column, dtype=float), out[:, j])


@SETTINGS
@given(tables())
def test_round_trip_dataframe(arr):
    labels = [f"c{j}" for j in range(arr.shape[1])]
    frame = pd.DataFrame(arr, columns=labels, dtype=object)
    enc = quorvel.Encoder()
    out, cols = enc.encode(frame)
    assert list(out.columns) == labels
    back = enc.decode(out)
    expected_texts = model_texts(arr)
    assert cols == sorted(expected_texts)
    for j, label in enumerate(labels):
        if j in expected_texts:
            assert back[label].dtype == object
            assert back[label].tolist() == expected_texts[j]
        else:
            assert back[label].dtype == np.float64
            np.testing.assert_array_equal(back[label].to_numpy(), out[label].to_numpy())


@SETTINGS
@given(st.data())
def test_codes_depend_only_on_the_set_of_texts(data):
    arr = data.draw(tables(cells=text_cells, min_rows=1))
    order = data.draw(st.permutations(range(arr.shape[0])))
    shuffled = arr[list(order)]
    out, cols = quorvel.Encoder().encode(arr)
    out_shuffled, cols_shuffled = quorvel.Encoder().encode(shuffled)
    assert cols == cols_shuffled == list(range(arr.shape[1]))
    assert_matrices_equal(out_shuffled, out[list(order)])


class Cells:
    """Item access only: cell (i, j) of a wrapped array."""

    def __init__(self, arr):
        self._arr = arr

    def __getitem__(self, key):
        i, j = key
        return self._arr[i, j]


class ItemFrame:
    """Taken as a frame by its type name; its cells can only be fetched one by one."""

    def __init__(self, arr, labels):
        self.shape = arr.shape
        self.columns = labels
        self.values = Cells(arr)


ItemFrame.__name__ = "DataFrame"


@SETTINGS
@given(tables())
def test_memory_and_item_access_roads_agree(arr):
    labels = [f"c{j}" for j in range(arr.shape[1])]
    direct = quorvel.Encoder()
    items = quorvel.Encoder()
    frame = quorvel.Encoder()
    out_direct, cols_direct = direct.encode(arr)
    out_items, cols_items = items.encode(ItemFrame(arr, labels))
    out_frame, cols_frame = frame.encode(pd.DataFrame(arr, columns=labels, dtype=object))
    assert cols_direct == cols_items == cols_frame
    assert_matrices_equal(out_items.to_numpy(), out_direct)
    assert_matrices_equal(out_frame.to_numpy(), out_direct)
    codes = np.array(out_direct)
    back_direct = direct.decode(codes)
    assert_same_cells(items.decode(codes), back_direct)
    assert_same_cells(frame.decode(codes), back_direct)


def assert_same_cells(a, b):
    """Equal decoded object arrays; every decode makes its own NaN floats, so NaN matches NaN."""
    assert a.shape == b.shape
    for x, y in zip(a.ravel().tolist(), b.ravel().tolist()):
        both_nan = isinstance(x, float) and isinstance(y, float) and x != x and y != y
        assert both_nan or (type(x) is type(y) and x == y), (x, y)


def _item_road_cases():
    rng = np.random.default_rng(3)
    ints = rng.integers(-1000, 1000, size=(6, 3))
    return {
        "unicode": np.array([["b", "a"], ["1.5", "NaN"], ["", "é"]], dtype="<U3"),
        "bytes": np.array([[b"b", b"a"], [b"", b"z"]], dtype="S1"),
        "datetime": np.array([["2020-01-02", "NaT"], ["1999-12-31", "2020-01-02"]], dtype="datetime64[D]"),
        "big-endian-int": ints.astype(">i8"),
        "big-endian-float32": (ints / 8).astype(">f4"),
        "big-endian-uint16": np.abs(ints).astype(">u2"),
    }


@pytest.mark.parametrize("name", list(_item_road_cases()))
def test_dtypes_read_through_items_equal_object_arrays(name):
    arr = _item_road_cases()[name]
    as_objects = np.empty(arr.shape, dtype=object)
    for i in range(arr.shape[0]):
        for j in range(arr.shape[1]):
            as_objects[i, j] = arr[i, j]  # the scalars item access gives
    enc_typed, enc_objects = quorvel.Encoder(), quorvel.Encoder()
    out_typed, cols_typed = enc_typed.encode(arr)
    out_objects, cols_objects = enc_objects.encode(as_objects)
    assert cols_typed == cols_objects
    assert_matrices_equal(out_typed, out_objects)
    assert enc_typed.decode(out_typed).tolist() == enc_objects.decode(out_objects).tolist()
    if arr.dtype.kind in "iuf":
        assert cols_typed == []
        assert_matrices_equal(out_typed, arr.astype(np.float64))
    else:
        assert cols_typed == list(range(arr.shape[1]))


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                                   np.float16, np.float32, np.bool_])
def test_numeric_dtypes_equal_their_python_scalars(dtype):
    rng = np.random.default_rng(11)
    raw = rng.integers(0, 256, size=(5, 4) if np.dtype(dtype).itemsize == 1 else (5, 4 * np.dtype(dtype).itemsize),
                       dtype=np.uint8)
    arr = raw.view(dtype).reshape(5, -1) if dtype is not np.bool_ else raw.astype(bool)
    as_python = np.empty(arr.shape, dtype=object)
    for i in range(arr.shape[0]):
        for j in range(arr.shape[1]):
            as_python[i, j] = float(arr[i, j])
    out_typed, cols_typed = quorvel.Encoder().encode(arr)
    out_python, cols_python = quorvel.Encoder().encode(as_python)
    assert cols_typed == cols_python == []
    assert_matrices_equal(out_typed, out_python)


# --- pool size ---------------------------------------------------------------------------

POOL_SCRIPT = r"""
import hashlib, json, sys
import numpy as np
import pandas as pd
import quorvel

rng = np.random.default_rng(20240601)
rows = 20000
words = np.array(["w%d" % i for i in range(3000)] + ["nan", "NaN", "<NA>", "", "é"], dtype=object)
arr = np.empty((rows, 6), dtype=object)
arr[:, 0] = words[rng.integers(len(words), size=rows)]
arr[:, 1] = rng.normal(size=rows)
arr[:, 2] = words[rng.integers(50, size=rows)]
arr[:, 3] = rng.integers(-5, 5, size=rows)
arr[:, 4] = rng.normal(size=rows)
arr[rows - 1, 4] = "switch"
arr[:, 5] = [str(v) for v in rng.integers(0, 10**6, size=rows)]
enc = quorvel.Encoder()
out, cols = enc.encode(arr)
back = enc.decode(out)
frame, frame_cols = enc.encode(pd.DataFrame(arr, dtype=object))
print(json.dumps({
    "cols": cols,
    "frame_cols": frame_cols,
    "matrix": hashlib.sha256(out.tobytes()).hexdigest(),
    "frame": hashlib.sha256(frame.to_numpy().tobytes()).hexdigest(),
    "decoded": hashlib.sha256(repr(back.tolist()).encode()).hexdigest(),
    "same": bool((frame.to_numpy() == out)[~np.isnan(out)].all()),
}))
"""


def _run_with_threads(count):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = str(count)
    done = run_script(POOL_SCRIPT, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_results_do_not_depend_on_pool_size():
    single = _run_with_threads(1)
    assert single["cols"] == [0, 2, 4, 5]
    assert single["frame_cols"] == single["cols"]
    assert single["same"]
    for count in (2, 4):
        assert _run_with_threads(count) == single
