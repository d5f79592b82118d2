"""A pandas DataFrame read column by column from its own arrays gives exactly what reading
every cell of its `values` gives: the same codes, texts, column kinds and learned tables."""

import math
import pathlib
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvel
import quorvel_ml
from conftest import examples, run_script

pd = pytest.importorskip("pandas")
try:
    import pyarrow as pa
except ImportError:  # the Arrow-backed dtypes are then drawn as missing
    pa = None

SETTINGS = settings(max_examples=examples(120), deadline=None, print_blob=True)

PANDAS_MAJOR = int(pd.__version__.split(".")[0])
# From pandas 3 on, "str" is pandas' own text dtype (NaN for missing values) and every frame
# tracks data shared with another (copy-on-write); earlier, "str" means NumPy's str_ and a
# write into a frame changes its arrays in place.
HAS_STR_DTYPE = PANDAS_MAJOR >= 3
NO_STR_DTYPE = f"pandas {pd.__version__} has no `str` text dtype (pandas 3 and later)"
COPY_ON_WRITE = PANDAS_MAJOR >= 3


def _takes_large_string():
    try:
        pd.arrays.ArrowStringArray(pa.chunked_array([["a"]], type=pa.large_string()))
    except (ValueError, TypeError):
        return False
    return True


# The Arrow layouts a string column is drawn in ("large_string" alone: as pandas built it).
# pandas before 3 cannot slice a `string_view` column or take its `values`, and before 2.1
# its string arrays take no `large_string` data.
LAYOUTS = ["large_string", "string", "string misaligned"] + (
    ["large_string misaligned"] if pa is not None and _takes_large_string() else []) + (
    ["string_view"] if PANDAS_MAJOR >= 3 else [])


def needs_str_dtype(kind):
    if kind in ("str", "str[python]") and not HAS_STR_DTYPE:
        pytest.skip(NO_STR_DTYPE)


def arrow_backing(array):
    """The pyarrow ChunkedArray behind a pandas Arrow-backed array (its attribute was renamed
    in pandas 2.1)."""
    return array._pa_array if hasattr(array, "_pa_array") else array._data


def set_arrow_backing(array, chunked):
    setattr(array, "_pa_array" if hasattr(array, "_pa_array") else "_data", chunked)


class DataFrame(pd.DataFrame):
    """Taken as a frame by its name, but not pandas' own class: read through `values`."""


def learned(state):
    """(object_columns, encode_maps, decode_maps) of an encoder's state bytes."""
    pos = 0

    def take(n):
        nonlocal pos
        pos += n
        return state[pos - n:pos]

    def size():
        return struct.unpack("<Q", take(8))[0]

    def text():
        return take(size()).decode()

    if take(1) == b"\x00":
        return None
    columns = [size() for _ in range(size())]
    encode = {}
    for _ in range(size()):
        j = size()
        encode[j] = {}
        for _ in range(size()):
            key = text()
            encode[j][key] = size() if take(1) == b"\x01" else None
    decode = {}
    for _ in range(size()):
        j = size()
        decode[j] = {size(): text() for _ in range(size())}
    return columns, encode, decode


def assert_two_roads_agree(frame):
    """Encodes `frame` directly and through `values`; results and learned tables must match."""
    direct, through_values = quorvel.Encoder(), quorvel.Encoder()
    out_direct, cols_direct = direct.encode(frame)
    out_values, cols_values = through_values.encode(DataFrame(frame))
    assert cols_direct == cols_values
    pd.testing.assert_frame_equal(out_direct, out_values)
    assert learned(direct.__getstate__()) == learned(through_values.__getstate__())
    codes = out_direct.to_numpy()
    np.testing.assert_array_equal(direct.decode(codes).astype(str), through_values.decode(codes).astype(str))


# --- columns of every dtype --------------------------------------------------------------

texts = st.sampled_from(["a", "b", "", "é", "€uro", "nan", "NaN", "<NA>", "10", "x" * 20, "None"])
maybe_text = st.one_of(texts, st.none())
small_ints = st.integers(0, 100)
floats = st.floats(allow_nan=True, allow_infinity=True, width=32)
object_cells = st.one_of(texts, floats, st.integers(-(2**66), 2**66), st.booleans(), st.sampled_from([None, math.nan]))


def arrow_strings(cells, dtype, pieces, layout):
    """A string column of `dtype` whose Arrow data is split into `pieces` chunks and held
    in the given Arrow layout."""
    bounds = sorted({0, len(cells), *pieces})
    series = pd.concat([pd.Series(cells[a:b], dtype=dtype) for a, b in zip(bounds, bounds[1:])] or
                       [pd.Series([], dtype=dtype)], ignore_index=True)
    layout, _, placement = layout.partition(" ")
    if layout != "large_string" or placement:
        array = series.array
        chunks = [c.cast(getattr(pa, layout)()) for c in arrow_backing(array).chunks]
        if placement == "misaligned":
            chunks = [misaligned_offsets(c) for c in chunks]
        set_arrow_backing(array, pa.chunked_array(chunks, type=getattr(pa, layout)()))
    return series


def misaligned_offsets(chunk):
    """`chunk` (string or large_string) with its offsets moved to an odd address, as buffers
    rebuilt from a byte stream can lie: a reader must not load them through a typed pointer."""
    validity, offsets, data = chunk.buffers()
    moved = pa.py_buffer(b"\0" + offsets.to_pybytes())[1:]
    assert moved.address % 2 == 1
    return pa.Array.from_buffers(chunk.type, len(chunk), [validity, moved, data], chunk.null_count, chunk.offset)


def column_of(kind, cells, pieces, layout):
    if kind in ("str", "string[pyarrow]"):
        return arrow_strings(cells, kind, pieces, layout)
    if kind == "object":
        series = pd.Series(np.empty(len(cells), dtype=object), dtype=object)
        for i, cell in enumerate(cells):
            series.iloc[i] = cell
        return series
    if kind in ("string[python]", "category"):
        return pd.Series(cells, dtype=kind)
    if kind == "str[python]":
        return pd.Series(cells, dtype=pd.StringDtype("python", na_value=np.nan))
    if kind == "arrow string":
        return pd.Series(cells, dtype=pd.ArrowDtype(pa.string()))
    if kind in ("Int64", "Float64", "boolean"):
        return pd.Series([None if c is None else c for c in cells], dtype=kind)
    if kind == "datetime64[ns]":
        return pd.Series([None if c is None else np.datetime64(c, "D") for c in cells], dtype=kind)
    if kind == "timedelta64[ns]":
        return pd.Series([None if c is None else np.timedelta64(c, "s") for c in cells], dtype=kind)
    if kind == "complex128":
        return pd.Series([complex(c, 1) for c in cells], dtype=kind)
    if kind == "bool":
        return pd.Series([bool(c % 2) for c in cells], dtype=kind)
    return pd.Series(np.array(cells, dtype=np.float64).astype(kind))


NUMERIC = ["float64", "float32", "float16", "int8", "int16", "int32", "int64", "uint8", "uint64", "bool",
           "complex128", "datetime64[ns]", "timedelta64[ns]", "Int64", "Float64", "boolean"]
TEXT = ["object", "category", "string[python]"] + (["str[python]"] if HAS_STR_DTYPE else [])
ARROW = (["str"] if HAS_STR_DTYPE else []) + ["string[pyarrow]", "arrow string"] if pa is not None else []


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 9))
    width = draw(st.integers(0, 5))
    columns = {}
    for j in range(width):
        kind = draw(st.sampled_from(NUMERIC + TEXT + ARROW))
        if kind == "object":
            cells = draw(st.lists(object_cells, min_size=rows, max_size=rows))
        elif kind in TEXT + ARROW:
            cells = draw(st.lists(maybe_text, min_size=rows, max_size=rows))
        elif kind in ("float64", "float32"):
            cells = draw(st.lists(floats, min_size=rows, max_size=rows))
        else:
            nullable = kind in ("Int64", "Float64", "boolean", "datetime64[ns]", "timedelta64[ns]")
            cell = st.one_of(small_ints, st.none()) if nullable else small_ints
            cells = draw(st.lists(cell, min_size=rows, max_size=rows))
            if kind == "boolean":
                cells = [None if c is None else bool(c % 2) for c in cells]
        pieces = draw(st.lists(st.integers(0, rows), max_size=3))
        layout = draw(st.sampled_from(LAYOUTS))
        columns[f"c{j}"] = column_of(kind, cells, pieces, layout)
    frame = pd.DataFrame(columns, index=range(rows)) if columns else pd.DataFrame(index=range(rows))
    # Slices give arrays with non-zero offsets and strides; a copy consolidates the blocks.
    shape = draw(st.sampled_from(["as built", "tail", "every other row", "copy", "reversed columns"]))
    if shape == "tail" and rows:
        frame = frame.iloc[draw(st.integers(0, rows)):]
    elif shape == "every other row":
        frame = frame.iloc[::2]
    elif shape == "copy":
        frame = frame.copy()
    elif shape == "reversed columns":
        frame = frame[frame.columns[::-1]]
    return frame


@SETTINGS
@given(frames())
def test_frames_read_at_their_source_equal_values(frame):
    assert_two_roads_agree(frame)


@pytest.mark.skipif(pa is None, reason="pyarrow is not installed")
@pytest.mark.parametrize("rows, distinct, leading, scattered, markers, layout", [
    (70_000, 3_000, 50, True, True, "string"),
    (300_000, 100_000, 50, True, True, "large_string"),
    (200_000, 5_000, 140_000, False, False, "string misaligned"),
    (300_000, 2_000, 150_000, True, True, "large_string whole"),
    (300_000, 100_000, 0, True, False, "large_string whole"),
])
@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]"])
def test_long_arrow_columns_equal_values(rows, distinct, leading, scattered, markers, layout, dtype):
    """Long Arrow string columns, large enough for the parallel paths of reading and
    encoding: split into chunks or whole, sliced (non-zero offsets), missing values in a leading run
    (past the pieces that are read at once) and scattered or only there, the markers among
    the texts or not (a missing value then brings its marker into the tables)."""
    needs_str_dtype(dtype)
    rng = np.random.default_rng(rows + len(dtype))
    vocab = [f"t{k:x}" + "y" * (k % 19) for k in range(distinct)] + (["nan", "NaN", "<NA>", ""] if markers else [])
    cells = list(np.array(vocab, dtype=object)[rng.integers(0, len(vocab), rows)])
    if scattered:
        for i in rng.choice(rows, rows // 20, replace=False):
            cells[i] = None
    cells[:leading] = [None] * leading
    # A whole column is one chunk, which encoding reads where it lies.
    pieces = [] if layout.endswith(" whole") else [int(p) for p in rng.integers(0, rows, 3)]
    column = arrow_strings(cells, dtype, pieces, layout.removesuffix(" whole"))
    frame = pd.DataFrame({"f": np.arange(rows, dtype=np.float64), "t": column})
    assert_two_roads_agree(frame.iloc[7:])


def raw_arrow_column(texts, nulls, layout, dtype):
    """A string column built from raw Arrow buffers, which pyarrow does not check for UTF-8."""
    width = np.int64 if layout == "large_string" else np.int32
    offsets = np.concatenate([[0], np.cumsum([len(t) for t in texts])]).astype(width)
    validity = None
    if nulls:
        bits = np.ones(len(texts), dtype=bool)
        bits[list(nulls)] = False
        validity = pa.py_buffer(np.packbits(bits, bitorder="little").tobytes())
    chunk = pa.Array.from_buffers(getattr(pa, layout)(), len(texts),
                                  [validity, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"".join(texts))])
    series = pd.Series(["x"], dtype=dtype).iloc[:0]
    array = series.array.copy()
    set_arrow_backing(array, pa.chunked_array([chunk]))
    return pd.Series(array)


@pytest.mark.skipif(pa is None, reason="pyarrow is not installed")
@pytest.mark.parametrize("layout", ["large_string", "string"])
@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]"])
@pytest.mark.parametrize("fault, at", [("bad byte", 0), ("bad byte", 139_999), ("split character", 70_000),
                                       ("under a null", 100), (None, 0)])
def test_arrow_text_that_is_not_utf8_is_read_as_through_values(layout, dtype, fault, at):
    """Arrow's strings must be UTF-8, but an array built from raw buffers is not checked. A
    column holding other bytes, even as two rows whose bytes together make a character
    that neither holds alone, must fare exactly as through `values` (which fails): encoded,
    its texts could be neither decoded nor read back from a saved state. Long enough (and
    whole) to be encoded where it lies."""
    needs_str_dtype(dtype)
    if layout == "large_string" and not _takes_large_string():
        pytest.skip(f"pandas {pd.__version__} takes no large_string data")
    texts = [f"r{k % 700}-\u00e9".encode() for k in range(140_000)]
    nulls = set(range(0, 140_000, 97))
    if fault == "bad byte":
        texts[at] = b"a\xffb"
        nulls.discard(at)
    elif fault == "split character":
        texts[at], texts[at + 1] = b"a\xc3", b"\xa9b"
        nulls -= {at, at + 1}
    elif fault == "under a null":
        texts[at] = b"\xff"
        nulls.add(at)
    frame = pd.DataFrame({"t": raw_arrow_column(texts, nulls, layout, dtype), "f": 1.5})
    if fault in (None, "under a null"):
        assert_two_roads_agree(frame)
        return
    for run in (lambda f: quorvel.Encoder().encode(f), lambda f: quorvel_ml.Learner().update(f)):
        with pytest.raises(BaseException) as through_values:
            run(DataFrame(frame))
        with pytest.raises(type(through_values.value)) as direct:
            run(frame)
        assert str(direct.value) == str(through_values.value)


@pytest.mark.parametrize("kind", ["str", "string[pyarrow]", "object"])
def test_missing_cells_keep_their_kind_and_rendering(kind):
    needs_str_dtype(kind)
    if kind != "object" and pa is None:
        pytest.skip("needs pyarrow")
    missing = math.nan if kind == "object" else None

    def column(cells):
        return pd.Series([missing if c is None else c for c in cells], dtype=kind)

    frame = pd.DataFrame({
        "all missing": column([None, None, None]),
        "missing above": column([None, "b", "a"]),
        "missing below": column(["b", None, "a"]),
    })
    assert_two_roads_agree(frame)
    enc = quorvel.Encoder()
    out, cols = enc.encode(frame)
    # A float NaN alone is a number; pandas' NA is a text.
    assert cols == ([0, 1, 2] if kind == "string[pyarrow]" else [1, 2])
    _, tables, _ = learned(enc.__getstate__())
    if kind == "string[pyarrow]":
        assert tables[1] == {"<NA>": None, "a": 0, "b": 1}
    else:
        assert tables[1] == {"NaN": None, "a": 0, "b": 1}  # rendered above the first text
        assert tables[2] == {"nan": None, "a": 0, "b": 1}  # str() below it


def test_values_fetched_only_when_a_column_needs_it(monkeypatch):
    fetched = []
    original = pd.DataFrame.values

    def counting(self):
        fetched.append(True)
        return original.fget(self)

    monkeypatch.setattr(pd.DataFrame, "values", property(counting))
    direct = pd.DataFrame({"x": [1.5, 2.0], "n": [1, 2], "b": [True, False], "o": pd.Series(["p", 3], dtype=object)})
    if pa is not None:
        direct["s"] = pd.Series(["q", None], dtype="str")
    quorvel.Encoder().encode(direct)
    assert fetched == []
    direct["when"] = pd.to_datetime(["2020-01-01", "2021-01-01"])
    out, cols = quorvel.Encoder().encode(direct)
    assert fetched == [True]
    assert cols == ([3, 4, 5] if pa is not None else [3, 4])


WITHOUT_PYARROW = r"""
import sys
sys.modules["pyarrow"] = None  # pandas then keeps its strings in Python objects
import numpy as np, pandas as pd
import test_frame_columns as t
assert t.pa is None
rng = np.random.default_rng(5)
words = np.array(["a", "b", "é", "nan", "", None], dtype=object)
for rows in (0, 1, 7):
    cells = words[rng.integers(len(words), size=rows)].tolist()
    frame = pd.DataFrame({
        "s": pd.Series(cells, dtype="str"),
        "t": pd.Series(cells, dtype="string"),
        "x": rng.normal(size=rows),
        "o": pd.Series(cells[::-1], dtype=object),
    })
    t.assert_two_roads_agree(frame)
    t.assert_two_roads_agree(frame.iloc[1:])
print("ok")
"""


def test_frames_without_pyarrow():
    done = run_script(WITHOUT_PYARROW, timeout=300, path=[pathlib.Path(__file__).resolve().parent])
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# --- repeated str objects ----------------------------------------------------------------


class Text(str):
    """A str subclass: its str() is its own, whatever object it is."""

    def __str__(self):
        return "sub:" + str.__str__(self)


class Cells:
    """Item access only: no cell can be recognised by where it is stored."""

    def __init__(self, arr):
        self._arr = arr

    def __getitem__(self, key):
        return self._arr[key]


class ItemFrame:
    """Taken as a frame by its type name; its cells are fetched one by one."""

    def __init__(self, arr):
        self.shape = arr.shape
        self.columns = [f"c{j}" for j in range(arr.shape[1])]
        self.values = Cells(arr)


ItemFrame.__name__ = "DataFrame"


class Rewriter:
    """A cell whose str() puts new str objects into the column below it."""

    def __init__(self, arr, column):
        self.arr, self.column = arr, column

    def __str__(self):
        rows = self.arr.shape[0]
        for i in range(0, rows, 7):
            if type(self.arr[i, self.column]) is str:
                self.arr[i, self.column] = "".join(["new", str(i % 5)])  # a fresh object each time
        return "rewriter"


@settings(max_examples=examples(12), deadline=None, print_blob=True)
@given(st.data())
def test_repeated_str_objects_read_as_their_texts(data):
    rows = data.draw(st.sampled_from([4096, 5000, 9000]))
    vocabulary = [f"w{k}" for k in range(data.draw(st.integers(1, 3000)))]
    pick = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    arr = np.empty((rows, 3), dtype=object)
    arr[:, 0] = [vocabulary[k] for k in pick.integers(len(vocabulary), size=rows)]  # shared objects
    arr[:, 1] = [Text(vocabulary[k]) if k % 3 == 0 else vocabulary[k] for k in pick.integers(len(vocabulary), size=rows)]
    arr[:, 2] = arr[:, 0]
    # Numbers above the first text, missing values and other objects among the texts.
    first_text = data.draw(st.integers(0, rows - 1))
    arr[:first_text, 2] = pick.normal(size=first_text)
    for i in pick.integers(first_text, rows, size=data.draw(st.integers(0, 50))):
        arr[i, 2] = data.draw(st.sampled_from([math.nan, None, 7, True, pd.NA, "nan"]))
    if data.draw(st.booleans()):
        arr[pick.integers(first_text, rows), 2] = Rewriter(arr, 2)
    expected_arr = arr.copy()
    expected_arr[:, 2] = [Rewriter(expected_arr, 2) if isinstance(c, Rewriter) else c for c in arr[:, 2]]

    direct, items = quorvel.Encoder(), quorvel.Encoder()
    out_direct, cols_direct = direct.encode(arr)
    out_items, cols_items = items.encode(ItemFrame(expected_arr))
    # Column 2 may hold no text at all when missing values cover every row from its first text.
    assert cols_direct == cols_items and cols_direct[:2] == [0, 1]
    np.testing.assert_array_equal(out_direct, out_items.to_numpy())
    assert learned(direct.__getstate__()) == learned(items.__getstate__())


# --- float64 columns taken from the frame itself ----------------------------------------

SHARED_ROWS = 1 << 16  # enough rows for a float64 column to be taken from the frame rather than copied


def tiled(cells, rows):
    return (cells * (rows // len(cells) + 1))[:rows]


def long_column(kind, cells, rows):
    """A column of `kind` holding `cells` over and over, `rows` long."""
    cells = tiled(cells, rows)
    if kind == "object":  # the cells as they are, without NumPy's conversion of a list
        array = np.empty(rows, dtype=object)
        array[:] = cells
        return pd.Series(array, dtype=object)
    return column_of(kind, cells, [rows // 3], "large_string")


@settings(max_examples=examples(15), deadline=None, print_blob=True)
@given(st.data())
def test_frames_sharing_their_float64_columns_equal_values(data):
    """Where the float64 columns outweigh the rest, the result of encode (and of apply)
    takes them from the frame under pandas' copy-on-write tracking: it still equals the
    result read through `values`, and writing into either frame never shows in the other."""
    shape = data.draw(st.sampled_from(["as built", "every other row", "tail", "consolidated"]))
    rows = (2 if shape == "every other row" else 1) * SHARED_ROWS + 2 + data.draw(st.integers(0, 3))
    n_float = data.draw(st.integers(1, 3))
    columns = {}
    for k in range(n_float):
        pattern = data.draw(st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=1, max_size=5))
        columns[f"f{k}"] = pd.Series(np.array(tiled(pattern, rows), dtype=np.float64))
    kinds = data.draw(st.lists(st.sampled_from(NUMERIC + TEXT + ARROW), max_size=n_float))
    for k, kind in enumerate(kinds):
        if kind == "object":
            cells = data.draw(st.lists(object_cells, min_size=1, max_size=4))
        elif kind in TEXT + ARROW:
            cells = data.draw(st.lists(maybe_text, min_size=1, max_size=4))
        else:
            nullable = kind in ("Int64", "Float64", "boolean", "datetime64[ns]", "timedelta64[ns]")
            cells = data.draw(st.lists(st.one_of(small_ints, st.none()) if nullable else small_ints, min_size=1,
                                       max_size=4))
            if kind == "boolean":
                cells = [None if c is None else bool(c % 2) for c in cells]
        columns[f"o{k}"] = long_column(kind, cells, rows)
    order = data.draw(st.permutations(list(columns)))
    labels = data.draw(st.sampled_from(["names", "integers", "repeated"]))
    # Built column by column, the float64 columns sit in blocks of their own.
    frame = pd.DataFrame(index=pd.RangeIndex(3, rows + 3))
    for name in order:
        frame[name] = columns[name].to_numpy() if columns[name].dtype == np.float64 else columns[name].array
    if labels == "integers":
        frame.columns = list(range(len(order)))[::-1]
    elif labels == "repeated":
        frame.columns = ["x"] * len(order)
    if shape == "every other row":
        frame = frame.iloc[::2]
    elif shape == "tail":
        frame = frame.iloc[2:]
    elif shape == "consolidated":
        frame = frame.copy()
    frame.attrs["source"] = "caller"

    assert_two_roads_agree(frame)
    encoder = quorvel.Encoder()
    out, _ = encoder.encode(frame)
    # Applying what was learned to the same frame gives the same result, sharing alike.
    applied = quorvel_ml.apply(encoder, frame, unknown="nan")
    pd.testing.assert_frame_equal(applied, out)
    floats = [p for p, name in enumerate(order) if name.startswith("f")]
    for result in (out, applied):
        assert result.attrs == {} and result.flags.allows_duplicate_labels
        if "complex128" not in kinds:  # complex `values` turn every column's cells: all are read from there
            for p in floats:
                # Without copy-on-write tracking a shared column would let a write into one
                # frame show in the other: there the result has columns of its own.
                shared = np.shares_memory(result.iloc[:, p].to_numpy(), frame.iloc[:, p].to_numpy())
                assert shared == COPY_ON_WRITE
    for result in (out, applied):
        before_in, before_out = frame.iloc[:, floats].to_numpy(copy=True), result.iloc[:, floats].to_numpy(copy=True)
        result.iloc[0, floats[0]] = 1234.5
        frame.iloc[-1, floats[-1]] = -99.0
        after_in, after_out = frame.iloc[:, floats].to_numpy(), result.iloc[:, floats].to_numpy()
        np.testing.assert_array_equal(after_in[:-1], before_in[:-1])
        np.testing.assert_array_equal(after_out[1:], before_out[1:])
        assert after_in[0, 0] == before_in[0, 0] or np.isnan(before_in[0, 0])
        assert after_out[-1, -1] == before_out[-1, -1] or np.isnan(before_out[-1, -1])


class FrameWriter:
    """A cell whose str() writes into the frame being encoded and replaces a column of it."""

    def __init__(self):
        self.frame = None

    def __str__(self):
        if self.frame is not None:
            self.frame.iloc[:, 0] = -1.0
            self.frame.iloc[-1, 2] = "late"
            self.frame[self.frame.columns[1]] = "replaced"
        return "writer"


@pytest.mark.skipif(not COPY_ON_WRITE, reason=f"pandas {pd.__version__} writes into a frame's arrays in place "
                    "(no copy-on-write), so a cell's str() can change cells not yet read")
def test_cells_that_change_the_frame_leave_the_shared_columns_as_they_were():
    """Every cell, and every float64 column the result takes from the frame, is read as it
    was before the first cell's str() ran, as through `values`."""
    rows = SHARED_ROWS + 5
    writer = FrameWriter()
    cells = np.empty(rows, dtype=object)
    cells[:] = ["a", "b"] * (rows // 2) + ["a"]
    cells[3] = writer
    frame = pd.DataFrame({"x": np.arange(rows, dtype=np.float64), "y": np.full(rows, 0.5), "t": cells})
    expected = pd.DataFrame({"x": np.arange(rows, dtype=np.float64), "y": np.full(rows, 0.5),
                             "t": np.where(np.arange(rows) == 3, 2.0, np.arange(rows) % 2).astype(np.float64)})
    writer.frame = frame
    out, cols = quorvel.Encoder().encode(frame)
    assert cols == [2] and frame["y"].dtype != np.float64 and frame.iloc[-1, 2] == "late"  # the cell did run
    pd.testing.assert_frame_equal(out, expected)
