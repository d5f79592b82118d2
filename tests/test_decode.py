"""Encoder.decode: rendering of codes in both result kinds, shapes, labels, index and dtypes."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvel

from tables import objects
from conftest import EMPTY_STATE, examples, is_panic

pd = pytest.importorskip("pandas")

NAN = float("nan")
INF = float("inf")


def learned(texts=("a", "b", "c")):
    """An encoder that learned column 1 as text: codes 0, 1, 2 for "a", "b", "c"."""
    enc = quorvel.Encoder()
    enc.encode(objects([[float(i), t] for i, t in enumerate(texts)]))
    return enc


# (code cell, text in a NumPy result); a DataFrame result shows None where NumPy shows "NaN"
RENDERINGS = [
    (0.0, "a"),
    (1.0, "b"),
    (2.0, "c"),
    (2.9, "c"),
    (0.999, "a"),
    (1.5, "b"),
    (-0.0, "a"),
    (-5.0, "a"),
    (-0.5, "a"),
    (-INF, "a"),
    (-1e300, "a"),
    (3.0, None),
    (1e30, None),
    (2.0**64, None),
    (INF, None),
    (NAN, None),
]


@pytest.mark.parametrize("cell, text", RENDERINGS)
def test_rendering_numpy(cell, text):
    enc = learned()
    out = enc.decode(np.array([[7.5, cell]]))
    assert out.dtype == object and out.shape == (1, 2)
    assert out[0, 1] == ("NaN" if text is None else text)
    assert type(out[0, 1]) is str
    assert type(out[0, 0]) is float and out[0, 0] == 7.5


@pytest.mark.parametrize("cell, text", RENDERINGS)
def test_rendering_dataframe(cell, text):
    enc = learned()
    out = enc.decode(pd.DataFrame({"x": [7.5], "y": [cell]}))
    assert list(out.columns) == ["x", "y"]
    assert out["y"].dtype == object
    assert out["x"].dtype == np.float64
    assert out["y"].tolist() == [text]
    assert out["x"].tolist() == [7.5]


def test_rendering_whole_column_at_once():
    enc = learned()
    cells = [cell for cell, _ in RENDERINGS]
    out = enc.decode(np.array([[0.0, c] for c in cells]))
    assert out[:, 1].tolist() == ["NaN" if t is None else t for _, t in RENDERINGS]
    frame = enc.decode(pd.DataFrame({"x": 0.0, "y": cells}))
    assert frame["y"].tolist() == [t for _, t in RENDERINGS]


def test_largest_code_has_no_text_in_a_small_map():
    enc = learned(("only",))
    out = enc.decode(np.array([[0.0, 2.0**63], [0.0, 2.0**53 + 2], [0.0, 0.0]]))
    assert out[:, 1].tolist() == ["NaN", "NaN", "only"]


def test_marker_rows_decode_to_missing():
    enc = quorvel.Encoder()
    arr = objects([["b"], ["a"], ["NaN"], ["b"], [""], ["c"], ["<NA>"], ["nan"]])
    out, cols = enc.encode(arr)
    assert cols == [0]
    assert enc.decode(out)[:, 0].tolist() == ["b", "a", "NaN", "b", "", "c", "NaN", "NaN"]
    frame = enc.decode(pd.DataFrame(out, columns=["t"]))
    assert frame["t"].tolist() == ["b", "a", None, "b", "", "c", None, None]


def test_non_ascii_texts_come_back():
    texts = ["€", "z", "😀", "é", "\u00e9", "e\u0301", "ä"]
    enc = quorvel.Encoder()
    out, _ = enc.encode(objects([[t] for t in texts]))
    assert enc.decode(out)[:, 0].tolist() == texts


# --- without a learned encoding ----------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: quorvel.Encoder(),
        lambda: quorvel.Encoder("label"),
        lambda: _after_fast_path(),
    ],
    ids=["fresh", "label", "after-fast-path"],
)
def test_decode_without_encoding_returns_numbers(make):
    enc = make()
    arr = np.array([[1.5, 2.0], [NAN, -INF]])
    out = enc.decode(arr)
    assert type(out) is np.ndarray and out.dtype == np.float64
    np.testing.assert_array_equal(out, arr)
    assert not np.shares_memory(out, arr)

    frame = enc.decode(pd.DataFrame(arr, columns=["p", "q"], index=[5, 9]))
    assert list(frame.dtypes) == [np.float64, np.float64]
    assert list(frame.columns) == ["p", "q"]
    assert list(frame.index) == [0, 1]
    np.testing.assert_array_equal(frame.to_numpy(), arr)


def _after_fast_path():
    enc = learned()
    enc.encode(np.zeros((1, 2)))
    return enc


def test_decode_without_encoding_encodes_its_input():
    # decode reads its input like encode; with nothing learned, the codes stay numbers
    enc = quorvel.Encoder()
    out = enc.decode(objects([["b", 1], ["a", 2.5]]))
    assert out.dtype == np.float64
    assert out.tolist() == [[1.0, 1.0], [0.0, 2.5]]
    assert enc.__getstate__() == EMPTY_STATE
    frame = enc.decode(pd.DataFrame({"s": ["y", "x"], "n": [1, 2]}))
    assert list(frame.dtypes) == [np.float64, np.float64]
    assert frame.to_numpy().tolist() == [[1.0, 1.0], [0.0, 2.0]]


def test_decode_uses_stored_encoding_not_its_inputs():
    enc = learned()  # column 1 is text: a, b, c
    before = enc.__getstate__()
    # column 0 holds text here, column 1 holds codes: only column 1 is turned back
    out = enc.decode(objects([["zz", 2.0], ["yy", 0.0]]))
    assert out.tolist() == [[1.0, "c"], [0.0, "a"]]
    assert enc.__getstate__() == before


def test_empty_object_columns_give_object_array_of_floats():
    enc = quorvel.Encoder()
    _, cols = enc.encode(np.array([[1, 2]], dtype=np.int64))
    assert cols == []
    out = enc.decode(np.array([[1.5, NAN], [3.0, -0.0]]))
    assert type(out) is np.ndarray and out.dtype == object and out.shape == (2, 2)
    assert all(type(v) is float for v in out.ravel())
    assert out[0, 0] == 1.5 and math.isnan(out[0, 1]) and out[1, 0] == 3.0
    assert math.copysign(1.0, out[1, 1]) == -1.0
    # a frame stays float64 throughout
    frame = enc.decode(pd.DataFrame({"a": [1.0], "b": [2.0]}))
    assert list(frame.dtypes) == [np.float64, np.float64]


def test_object_array_of_floats_decoded_with_empty_encoding():
    enc = quorvel.Encoder()
    enc.encode(objects([[1.0, 2]]))
    out = enc.decode(objects([[0.5, 7], [NAN, True]]))
    assert out.dtype == object
    assert [type(v) for v in out.ravel()] == [float] * 4
    assert out[0, 0] == 0.5 and out[0, 1] == 7.0 and math.isnan(out[1, 0]) and out[1, 1] == 1.0


# --- result layout -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "index",
    [None, ["x", "y", "z"], [10, 5, 0], pd.MultiIndex.from_tuples([(1, "a"), (1, "b"), (2, "a")])],
    ids=["default", "texts", "ints", "multi"],
)
def test_dataframe_result_has_default_index(index):
    enc = learned()
    frame = pd.DataFrame({"n": [1.0, 2.0, 3.0], "t": [2.0, 0.0, 1.0]}, index=index)
    out = enc.decode(frame)
    assert isinstance(out.index, pd.RangeIndex)
    assert list(out.index) == [0, 1, 2]
    assert out["t"].tolist() == ["c", "a", "b"]


def test_integer_labels_come_back_as_texts():
    enc = learned()
    out = enc.decode(pd.DataFrame([[1.0, 0.0], [2.0, 1.0]]))
    assert list(out.columns) == ["0", "1"]
    assert all(type(c) is str for c in out.columns)
    assert out["1"].tolist() == ["a", "b"]
    out = enc.decode(pd.DataFrame([[1.0, 2.0]], columns=[-3, 7]))
    assert list(out.columns) == ["-3", "7"]
    assert out["7"].tolist() == ["c"]


def test_dtypes_of_frame_result():
    enc = quorvel.Encoder()
    frame = pd.DataFrame({"a": ["x", "y"], "b": [1.5, 2.5], "c": ["p", "NaN"], "d": [1, 2]})
    out, cols = enc.encode(frame)
    assert cols == [0, 2]
    assert list(out.dtypes) == [np.float64] * 4
    back = enc.decode(out)
    assert list(back.dtypes) == [object, np.float64, object, np.float64]
    assert back.to_dict("list") == {"a": ["x", "y"], "b": [1.5, 2.5], "c": ["p", None], "d": [1.0, 2.0]}


@pytest.mark.parametrize("kind", ["numpy", "frame"])
def test_round_trip_restores_texts(kind):
    rows = [["b", 1.0, "x"], ["a", 2.0, None], ["NaN", 3.0, "x"], ["b", NAN, 4], ["", 5.0, "nan"], ["c", 6.0, pd.NA]]
    enc = quorvel.Encoder()
    arr = objects(rows)
    source = arr if kind == "numpy" else pd.DataFrame(arr, columns=["s", "n", "m"])
    out, cols = enc.encode(source)
    assert cols == [0, 2]
    back = enc.decode(out)
    missing = "NaN" if kind == "numpy" else None
    col0 = ["b", "a", missing, "b", "", "c"]
    col2 = ["x", "None", "x", "4", missing, missing]
    if kind == "numpy":
        assert back[:, 0].tolist() == col0 and back[:, 2].tolist() == col2
        numbers = back[:, 1].tolist()
    else:
        assert back["s"].tolist() == col0 and back["m"].tolist() == col2
        numbers = back["n"].tolist()
    assert numbers[:3] == [1.0, 2.0, 3.0] and math.isnan(numbers[3]) and numbers[4:] == [5.0, 6.0]


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.lists(st.sampled_from(["a", "b", "é", "c", "nan", "d", "e"]), min_size=3, max_size=3), min_size=1, max_size=12),
       st.lists(st.lists(st.sampled_from(["b", "x", "a", "yy", "NaN", "zz", "é"]), min_size=3, max_size=3), min_size=1, max_size=12),
       st.sampled_from(["encode", "state"]), st.booleans())
def test_decode_after_new_tables_gives_the_new_texts(first, second, how, frame):
    # An encoder keeps the strs it decoded for its next decode; once it has other tables,
    # decoding gives their texts, as a new encoder with those tables would.
    as_input = (lambda rows: pd.DataFrame(objects(rows))) if frame else objects
    enc = quorvel.Encoder()
    first_codes, _ = enc.encode(as_input(first))
    enc.decode(first_codes)
    fresh = quorvel.Encoder()
    codes, _ = fresh.encode(as_input(second))
    if how == "encode":
        enc.encode(as_input(second))
    else:
        enc.__setstate__(fresh.__getstate__())
    for coded in (codes, first_codes):
        got, expected = enc.decode(coded), fresh.decode(coded)
        assert got.equals(expected) if frame else got.tolist() == expected.tolist()


def test_decode_does_not_change_input():
    enc = learned()
    arr = np.array([[1.0, 2.0]])
    enc.decode(arr)
    assert arr.tolist() == [[1.0, 2.0]]
    frame = pd.DataFrame({"a": [1.0], "b": [0.0]})
    enc.decode(frame)
    assert frame["b"].dtype == np.float64 and frame["b"].tolist() == [0.0]


def _codes_in_layout(layout, tmp_path):
    """The same 3 x 2 code matrix (column 1 holds codes of "a", "b", "c") in a given memory layout."""
    codes = np.array([[7.5, 2.0], [-1.0, float("nan")], [0.25, 0.0]])
    if layout == "c":
        return codes.copy()
    if layout == "fortran":
        return np.asfortranarray(codes)
    if layout == "strided":
        wide = np.zeros((3, 4))
        wide[:, ::2] = codes
        return wide[:, ::2]
    if layout == "read-only":
        frozen = codes.copy()
        frozen.flags.writeable = False
        return frozen
    if layout == "big-endian":
        return codes.astype(">f8")
    mapped = np.memmap(tmp_path / "codes.bin", dtype=np.float64, mode="w+", shape=codes.shape)
    mapped[:] = codes
    return mapped


LAYOUTS = ["c", "fortran", "strided", "read-only", "big-endian", "memmap"]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_decode_reads_every_float64_layout_alike(layout, tmp_path):
    codes = _codes_in_layout(layout, tmp_path)
    kept = np.array(codes)
    out = learned().decode(codes)
    assert out.dtype == object
    assert out.tolist()[0] == [7.5, "c"] and out.tolist()[2] == [0.25, "a"]
    assert out[1, 0] == -1.0 and out[1, 1] == "NaN"
    np.testing.assert_array_equal(np.asarray(codes), kept)  # the input is left as it was


@pytest.mark.parametrize("layout", LAYOUTS)
def test_decode_without_encoding_returns_an_independent_copy(layout, tmp_path):
    codes = _codes_in_layout(layout, tmp_path)
    out = quorvel.Encoder().decode(codes)
    assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, codes)
    np.testing.assert_array_equal(out, np.asarray(codes))


# --- zero rows and narrow inputs ---------------------------------------------------------


def test_zero_rows_numpy():
    enc = learned()
    out = enc.decode(np.empty((0, 2)))
    assert type(out) is np.ndarray and out.dtype == object and out.shape == (0, 2)
    # no rows: a listed column beyond the width is not checked
    out = enc.decode(np.empty((0, 1)))
    assert out.dtype == object and out.shape == (0, 1)


def test_zero_rows_dataframe():
    enc = learned()
    out = enc.decode(pd.DataFrame({"a": pd.Series([], dtype=float), "b": pd.Series([], dtype=float)}))
    assert out.shape == (0, 2)
    assert list(out.dtypes) == [np.float64, object]


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: np.zeros((1, 1)), "ndarray: index out of bounds"),
        (lambda: objects([[1.0]]), "ndarray: index out of bounds"),
        (lambda: pd.DataFrame({"a": [1.0]}), "ndarray: index out of bounds"),
        (lambda: pd.DataFrame({"a": pd.Series([], dtype=float)}), "index out of bounds: the len is 1 but the index is 1"),
    ],
    ids=["numpy", "object", "frame", "frame-no-rows"],
)
def test_input_narrower_than_encoding_faults(make, message):
    enc = learned()
    before = enc.__getstate__()
    with pytest.raises(BaseException) as info:
        enc.decode(make())
    assert is_panic(info.value)
    assert str(info.value) == message
    assert enc.__getstate__() == before
    # the encoder stays usable
    assert enc.decode(np.array([[0.0, 1.0]])).tolist() == [[0.0, "b"]]


def test_wider_input_decodes_listed_columns_only():
    enc = learned()
    out = enc.decode(np.array([[0.0, 0.0, 2.0]]))
    assert out.tolist() == [[0.0, "a", 2.0]]


# --- frame decode against the column-by-column label route ---------------------------------

FRAME_TEXTS = ["b", "a", "", "\u00e9", "zz", "nan", "<NA>", "NaN"]
# Cells that replace codes in a decode input: missing, below 0, fractional, beyond any code.
ODD_CODES = [NAN, -5.0, -INF, 2.9, 1e30, INF, 100.0]


def frame_column(draw, kind, rows):
    if kind == "text":
        dtype = draw(st.sampled_from([object, "str"]))
        return pd.Series(draw(st.lists(st.sampled_from(FRAME_TEXTS), min_size=rows, max_size=rows)), dtype=dtype)
    if kind == "float":
        return pd.Series(draw(st.lists(st.sampled_from([0.5, -2.0, NAN, INF, 7.0]), min_size=rows, max_size=rows)))
    dtype = {"int": np.int64, "bool": bool, "float32": np.float32}[kind]
    return pd.Series(draw(st.lists(st.integers(0, 3), min_size=rows, max_size=rows)), dtype=dtype)


@st.composite
def frames_and_labels(draw):
    rows = draw(st.integers(0, 6))
    kinds = draw(st.lists(st.sampled_from(["text", "text", "float", "int", "bool", "float32"]), min_size=1, max_size=5))
    labels = draw(st.sampled_from(["unique", "int", "repeated"]))
    if labels == "unique":
        names = [f"c{i}" for i in range(len(kinds))]
    elif labels == "int":
        names = draw(st.permutations(range(len(kinds))))
    else:
        names = draw(st.lists(st.sampled_from(["x", "y"]), min_size=len(kinds), max_size=len(kinds)))
    frame = pd.concat([frame_column(draw, kind, rows) for kind in kinds], axis=1)
    frame.columns = names
    return frame, draw(st.data())


def render(code, texts):
    if math.isnan(code):
        return None
    key = 0 if code <= 0 else 2**64 - 1 if code >= 2.0**64 else int(code)
    return texts.get(key)


def label_route(matrix, labels, decode_maps, columns):
    """Frame decode by label, five pandas calls per column: float frame, then per encoded
    column astype("object"), assignment, and the rendered texts written through loc."""
    frame = pd.DataFrame(matrix, columns=labels)
    for c in columns:
        texts = [render(v, decode_maps[c]) for v in matrix[:, c]]
        label = labels[c]
        frame[label] = frame[label].astype("object")
        frame.loc[:, label] = texts
    return frame


@settings(max_examples=examples(120), deadline=None, print_blob=True)
@given(frames_and_labels())
def test_frame_decode_equals_the_label_route(case):
    frame, data = case
    encoder = quorvel.Encoder()
    coded, columns = encoder.encode(frame)
    # code -> text, read off the learned encoding's own result
    decode_maps = {c: {int(code): text for code, text in zip(coded.iloc[:, c], frame.iloc[:, c]) if not math.isnan(code)}
                   for c in columns}
    source = data.draw(st.sampled_from(["coded", "odd codes", "original"]))
    target = frame if source == "original" else coded.copy()
    if source == "odd codes" and columns and len(target):
        for r in range(len(target)):
            c = data.draw(st.sampled_from(columns))
            target.iloc[r, c] = data.draw(st.sampled_from(ODD_CODES))
    out = encoder.decode(target)

    matrix = quorvel.Encoder().encode(target)[0].to_numpy(dtype=np.float64)  # what decode reads
    labels = [str(label) for label in frame.columns]
    if len(set(labels)) == len(labels):
        expected = label_route(matrix, labels, decode_maps, columns)
    else:
        # Repeated labels: each encoded column decodes at its own position and only there.
        expected = label_route(matrix, [f"#{i}" for i in range(len(labels))], decode_maps, columns)
        expected.columns = labels
    pd.testing.assert_frame_equal(out, expected, check_exact=True, check_column_type=True)
    assert isinstance(out.index, pd.RangeIndex)
    for c in range(out.shape[1]):
        assert [type(v) for v in out.iloc[:, c]] == [type(v) for v in expected.iloc[:, c]]


def test_repeated_label_decodes_only_the_encoded_column():
    frame = pd.DataFrame([[1.0, "x"], [2.0, "y"]], columns=["k", "k"])
    encoder = quorvel.Encoder()
    coded, columns = encoder.encode(frame)
    assert columns == [1]
    out = encoder.decode(coded)
    assert list(out.dtypes) == [np.float64, object]
    assert out.iloc[:, 0].tolist() == [1.0, 2.0]
    assert out.iloc[:, 1].tolist() == ["x", "y"]
