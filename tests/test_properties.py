"""Property tests of encode and decode against a small Python model of the code rule, the
equality of the two cell-reading roads, and results that do not depend on the pool size."""

import json
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvel
from conftest import examples, run_script
from strategies import ItemFrame, assert_matrices_equal, model_encode, model_texts, tables, text_cells

pd = pytest.importorskip("pandas")

SETTINGS = settings(max_examples=examples(150), deadline=None, print_blob=True)


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
