"""Encoder.encode end to end: the code rule, mixed columns, cell types, shapes, array layouts,
the float64 fast path, DataFrame labels, refused inputs and the stored encoding."""

import decimal
import fractions
import math

import numpy as np
import pytest

import quorvel

from tables import objects
from conftest import EMPTY_STATE, is_panic

pd = pytest.importorskip("pandas")

NAN = float("nan")
MISSING = object()  # expected "no code" for a cell
SUPPORTED = "numpy.ndarray, pandas.DataFrame"


def column(values):
    return objects([[v] for v in values])


def codes_of(result_column):
    return [MISSING if math.isnan(v) else v for v in result_column]


def expect_codes(expected):
    return [MISSING if e is None else float(e) for e in expected]


def decoded_column(values):
    """Encode a one-column object array and decode the result: the texts the column stored."""
    enc = quorvel.Encoder()
    out, cols = enc.encode(column(values))
    assert cols == [0]
    return list(enc.decode(out)[:, 0])


# --- the code rule -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, expected",
    [
        # worked example: "" < "NaN" < "a" < "b" < "c", "NaN" takes no code
        (["b", "a", "NaN", "b", "", "c"], [2, 1, None, 2, 0, 3]),
        # markers never use up a code
        (["<NA>", "a", "nan", "b"], [None, 0, None, 1]),
        # near-markers are ordinary texts: "" < " nan" < "NAN" < "Nan" < "None" < "nan " < "null"
        (["NAN", "Nan", "None", "null", "", "nan ", " nan"], [2, 3, 4, 6, 0, 5, 1]),
        # numerals are ordered as text
        (["1", "10", "2", "9"], [0, 1, 2, 3]),
        (["9", "10"], [1, 0]),
        (["0", "-1"], [1, 0]),
        # upper case before lower case, digits before letters
        (["a", "B"], [1, 0]),
        (["b", "A", "a", "1"], [3, 1, 2, 0]),
        # code point order for non-ASCII text
        (["é", "z", "ä", "€", "😀"], [2, 0, 1, 3, 4]),
        # no normalisation: "e" + combining accent sorts with "e", before U+00E9
        (["\u00e9", "e\u0301"], [1, 0]),
        # trailing space makes another text
        (["x ", "x"], [1, 0]),
        # repeats share a code
        (["x", "x", "y", "x"], [0, 0, 1, 0]),
        # only markers: nothing gets a code
        (["nan", "NaN", "<NA>", "nan"], [None, None, None, None]),
    ],
)
def test_code_rule(values, expected):
    out, cols = quorvel.Encoder().encode(column(values))
    assert cols == [0]
    assert out.dtype == np.float64 and out.shape == (len(values), 1)
    assert codes_of(out[:, 0]) == expect_codes(expected)
    nan_rows = [i for i, e in enumerate(expected) if e is None]
    assert all(math.isnan(out[i, 0]) for i in nan_rows)


def test_worked_example_decode_map():
    enc = quorvel.Encoder()
    enc.encode(column(["b", "a", "NaN", "b", "", "c"]))
    codes = np.array([[0.0], [1.0], [2.0], [3.0], [4.0]])
    assert list(enc.decode(codes)[:, 0]) == ["", "a", "b", "c", "NaN"]


def test_codes_are_dense_for_many_texts():
    values = [f"t{i:05d}" for i in range(3000)][::-1]
    out, _ = quorvel.Encoder().encode(column(values))
    assert out[:, 0].tolist() == [float(i) for i in range(2999, -1, -1)]


# --- columns that switch to text ---------------------------------------------------------


def test_mixed_column_worked_example():
    arr = objects([[1.0, 3], [2.5, 4], ["x", 5], [1.0, 6]])
    enc = quorvel.Encoder()
    out, cols = enc.encode(arr)
    assert cols == [0]
    assert out.tolist() == [[0.0, 3.0], [2.0, 4.0], [3.0, 5.0], [1.0, 6.0]]
    back = enc.decode(out)
    assert back.tolist() == [["1", 3.0], ["2.5", 4.0], ["x", 5.0], ["1.0", 6.0]]


@pytest.mark.parametrize(
    "above, text",
    [
        (1.0, "1"),
        (2.5, "2.5"),
        (-3.0, "-3"),
        (-0.0, "-0"),
        (0.1, "0.1"),
        (1e20, "100000000000000000000"),
        (1e-7, "0.0000001"),
        (123456789.125, "123456789.125"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (True, "1"),
        (False, "0"),
        (7, "7"),
        (2**53 + 1, "9007199254740992"),
        (np.int64(-12), "-12"),
        (np.float32(0.1), "0.10000000149011612"),
        (np.bool_(True), "1"),
    ],
)
def test_numbers_above_first_text_use_number_text(above, text):
    assert decoded_column([above, "zz"]) == [text, "zz"]


@pytest.mark.parametrize(
    "below, text",
    [
        (True, "True"),
        (1.0, "1.0"),
        (1e20, "1e+20"),
        (-0.0, "-0.0"),
        (7, "7"),
        (np.float32(0.1), "0.1"),
        (math.inf, "inf"),
    ],
)
def test_cells_below_first_text_use_str(below, text):
    assert decoded_column(["zz", below]) == ["zz", text]


def test_text_in_last_row_switches_whole_column():
    out, cols = quorvel.Encoder().encode(column([3.0, True, 2, "a"]))
    # texts "3", "1", "2", "a"
    assert cols == [0]
    assert out[:, 0].tolist() == [2.0, 0.0, 1.0, 3.0]


def test_nan_above_and_below_first_text_are_missing():
    enc = quorvel.Encoder()
    out, cols = enc.encode(column([NAN, "b", NAN, "a", np.float64("nan")]))
    assert cols == [0]
    assert codes_of(out[:, 0]) == [MISSING, 1.0, MISSING, 0.0, MISSING]
    # neither "NaN" nor "nan" got a code: codes 0 and 1 are the only ones
    assert list(enc.decode(np.array([[0.0], [1.0], [2.0]]))[:, 0]) == ["a", "b", "NaN"]


# --- cell types --------------------------------------------------------------------------


class FloatSub(float):
    pass


class IntSub(int):
    pass


class HasFloat:
    def __float__(self):
        return 4.25


class HasIndex:
    def __index__(self):
        return 11


class StrWithFloat(str):
    def __float__(self):
        return 8.5


@pytest.mark.parametrize(
    "cell, value",
    [
        (True, 1.0),
        (False, 0.0),
        (-5, -5.0),
        (2**63, 9223372036854775808.0),
        (FloatSub(2.5), 2.5),
        (IntSub(3), 3.0),
        (HasFloat(), 4.25),
        (HasIndex(), 11.0),
        (StrWithFloat("abc"), 8.5),
        (np.float16(0.5), 0.5),
        (np.float32(1.5), 1.5),
        (np.float64(-2.25), -2.25),
        (np.int8(-3), -3.0),
        (np.uint64(2**64 - 1), 18446744073709551615.0),
        (np.bool_(True), 1.0),
        (decimal.Decimal("0.5"), 0.5),
        (fractions.Fraction(1, 4), 0.25),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
    ],
)
def test_cells_converting_to_float_stay_numeric(cell, value):
    out, cols = quorvel.Encoder().encode(objects([[cell, "t"], [1.0, "u"]]))
    assert cols == [1]
    assert out[0, 0] == value
    assert out[1, 0] == 1.0


def test_nan_cells_stay_numeric():
    out, cols = quorvel.Encoder().encode(column([NAN, np.float32("nan"), 1.0]))
    assert cols == []
    assert math.isnan(out[0, 0]) and math.isnan(out[1, 0]) and out[2, 0] == 1.0


class Shout(str):
    def __str__(self):
        return self.upper()


class OnlyStr:
    def __str__(self):
        return "custom text"


class Plain(str):
    pass


@pytest.mark.parametrize(
    "cell, text",
    [
        ("1", "1"),
        ("1.5", "1.5"),
        (Plain("sub"), "sub"),
        (Shout("quiet"), "QUIET"),
        (None, "None"),
        (10**400, "1" + "0" * 400),
        (-(10**400), "-1" + "0" * 400),
        (b"ab", "b'ab'"),
        (1j, "1j"),
        (OnlyStr(), "custom text"),
        (np.str_("npstr"), "npstr"),
        (np.datetime64("2020-01-02"), "2020-01-02"),
        (("t", 1), "('t', 1)"),
    ],
)
def test_cells_not_converting_become_texts(cell, text):
    enc = quorvel.Encoder()
    out, cols = enc.encode(objects([[cell], ["~~~"]]))
    assert cols == [0]
    assert out[:, 0].tolist() == [0.0, 1.0]  # every text here sorts before "~~~"
    assert list(enc.decode(out)[:, 0]) == [text, "~~~"]


def test_none_is_an_ordinary_text():
    out, _ = quorvel.Encoder().encode(column([None, "A", "Z"]))
    assert out[:, 0].tolist() == [1.0, 0.0, 2.0]  # "A" < "None" < "Z"


def test_pandas_missing_scalar_is_missing():
    out, cols = quorvel.Encoder().encode(column([pd.NA, "b", pd.NA, "a"]))
    assert cols == [0]
    assert codes_of(out[:, 0]) == [MISSING, 1.0, MISSING, 0.0]


@pytest.mark.parametrize(
    "cell, text",
    [
        ("\ud800", "\ufffd" * 3),
        ("a\udfffb", "a" + "\ufffd" * 3 + "b"),
        ("\ud83d\ude00", "\ufffd" * 6),  # two lone halves, not one character
    ],
)
def test_lone_surrogates_become_replacement_characters(cell, text):
    assert decoded_column([cell, "~"]) == [text, "~"]


def test_surrogate_text_equals_its_replacement():
    out, _ = quorvel.Encoder().encode(column(["\ud800", "\ufffd" * 3, "\udfff"]))
    assert out[:, 0].tolist() == [0.0, 0.0, 0.0]


# --- shapes and layouts ------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
@pytest.mark.parametrize(
    "dtype, second", [(object, []), (np.int64, []), (np.float32, []), (np.float64, None)]
)
def test_empty_arrays(shape, dtype, second):
    enc = quorvel.Encoder()
    out, cols = enc.encode(np.empty(shape, dtype=dtype))
    assert cols == second
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == shape


@pytest.mark.parametrize("data", [{"a": [], "b": []}, {}])
def test_empty_frames(data):
    frame = pd.DataFrame(data, dtype=object)
    out, cols = quorvel.Encoder().encode(frame)
    assert cols == []
    assert isinstance(out, pd.DataFrame)
    assert out.shape == frame.shape
    assert list(out.columns) == list(frame.columns)


def test_frame_without_columns_keeps_row_count():
    out, cols = quorvel.Encoder().encode(pd.DataFrame(index=["x", "y", "z"]))
    assert cols == []
    assert out.shape == (3, 0)
    assert list(out.index) == [0, 1, 2]


def _object_base():
    rng = np.random.default_rng(7)
    words = ["pear", "apple", "NaN", "Fig", "", "kiwi"]
    rows = []
    for i in range(9):
        rows.append([words[rng.integers(len(words))], float(i), words[rng.integers(len(words))] if i != 4 else 2.5,
                     i * 10, "z" if i == 8 else i / 4])
    return objects(rows)


@pytest.mark.parametrize(
    "view",
    [
        lambda a: a[::2],
        lambda a: a[:, ::-1],
        lambda a: a[::-3, ::2],
        lambda a: np.asfortranarray(a),
        lambda a: a.T,
        lambda a: a[1:, :4],
        lambda a: np.lib.stride_tricks.as_strided(a[:, :2], shape=(5, 3), strides=(2 * a.strides[0], a.strides[1])),
    ],
    ids=["rows-step", "cols-reversed", "both-strided", "fortran", "transposed", "sliced", "as-strided"],
)
def test_object_array_layouts_read_by_position(view):
    base = _object_base()
    arr = view(base)
    compact = objects(arr.tolist())
    out_view, cols_view = quorvel.Encoder().encode(arr)
    out_compact, cols_compact = quorvel.Encoder().encode(compact)
    assert cols_view == cols_compact and cols_view
    np.testing.assert_array_equal(out_view, out_compact)


def test_fortran_object_array_values():
    arr = np.asfortranarray(objects([["b", 1], ["a", 2], ["c", 3]]))
    out, cols = quorvel.Encoder().encode(arr)
    assert cols == [0]
    assert out.tolist() == [[1.0, 1.0], [0.0, 2.0], [2.0, 3.0]]


@pytest.mark.parametrize(
    "arr",
    [
        np.array([[1, -2], [3, 2**62]], dtype=np.int64),
        np.array([[-(2**63), 2**63 - 1]], dtype=np.int64),
        np.array([[0, 2**64 - 1]], dtype=np.uint64),
        np.array([[-128, 127]], dtype=np.int8),
        np.array([[255, 0]], dtype=np.uint8),
        np.array([[-5, 7]], dtype=np.int16),
        np.array([[65535, 1]], dtype=np.uint16),
        np.array([[-(2**31), 2**31 - 1]], dtype=np.int32),
        np.array([[2**32 - 1, 3]], dtype=np.uint32),
        np.array([[True, False], [False, True]]),
        np.array([[0.5, -0.0], [65504, np.inf], [np.nan, 6e-8]], dtype=np.float16),
        np.array([[0.1, -np.inf], [np.nan, 3.4e38]], dtype=np.float32),
        np.array([[1, 2], [3, 4]], dtype=">i4"),
        np.array([[1.5, 2.5]], dtype=">f4"),
        np.asfortranarray(np.arange(12, dtype=np.int32).reshape(3, 4)),
        np.arange(24, dtype=np.uint16).reshape(4, 6)[::-2, 1::3],
        np.arange(12, dtype=np.float32).reshape(3, 4).T,
    ],
    ids=lambda a: f"{a.dtype.str}-{'F' if a.flags.f_contiguous and not a.flags.c_contiguous else 'C' if a.flags.c_contiguous else 'strided'}",
)
def test_numeric_arrays_take_general_path(arr):
    enc = quorvel.Encoder()
    out, cols = enc.encode(arr)
    assert cols == []
    expected = arr.astype(np.float64)
    assert out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, expected)
    # the general path always stores an encoding, even an empty one
    assert enc.__getstate__() != EMPTY_STATE


def _float64_views(tmp_path):
    base = np.arange(30, dtype=np.float64).reshape(5, 6) / 3
    base[1, 2] = np.nan
    base[2, 3] = -np.inf
    base[3, 1] = -0.0
    mm = np.memmap(tmp_path / "matrix.dat", dtype=np.float64, mode="w+", shape=(5, 6))
    mm[:] = base
    mm.flush()
    unaligned_buffer = bytearray(base.nbytes + 1)
    unaligned = np.ndarray(base.shape, dtype=np.float64, buffer=unaligned_buffer, offset=1)
    unaligned[:] = base
    return {
        "c": base,
        "rows-step": base[::2],
        "cols-step": base[:, 1::2],
        "reversed": base[::-1, ::-1],
        "fortran": np.asfortranarray(base),
        "transposed": base.T,
        "memmap": mm,
        "memmap-slice": mm[1:4, ::2],
        "unaligned": unaligned,
        "readonly": np.frombuffer(base.tobytes(), dtype=np.float64).reshape(5, 6),
    }


@pytest.mark.parametrize(
    "name", ["c", "rows-step", "cols-step", "reversed", "fortran", "transposed", "memmap", "memmap-slice",
             "unaligned", "readonly"]
)
def test_float64_fast_path(tmp_path, name):
    arr = _float64_views(tmp_path)[name]
    before = np.array(arr, copy=True)
    enc = quorvel.Encoder()
    out, cols = enc.encode(arr)
    assert cols is None
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, before)
    assert np.signbit(out).tolist() == np.signbit(before).tolist()
    assert not np.shares_memory(out, arr)
    out[...] = 99.0
    np.testing.assert_array_equal(arr, before)
    assert enc.__getstate__() == EMPTY_STATE


@pytest.mark.parametrize("shape", [(1_000_003, 3), (1_048_576, 1), (1_048_575, 1), (2_500_001, 2)])
def test_large_float64_copies_every_bit(shape):
    # Large arrays are copied in blocks by the pool: every byte must land in its place.
    bits = np.random.default_rng(shape[0]).integers(0, 2**64, size=shape, dtype=np.uint64)
    out, cols = quorvel.Encoder().encode(bits.view(np.float64))
    assert cols is None and out.flags.c_contiguous
    assert np.array_equal(out.view(np.uint64), bits)


def test_float64_fast_path_keeps_nan_payload_bits():
    bits = np.array([[0x7FF8000000000001, 0xFFF0000000000001]], dtype=np.uint64)
    arr = bits.view(np.float64)
    out, cols = quorvel.Encoder().encode(arr)
    assert cols is None
    assert out.view(np.uint64).tolist() == bits.tolist()


def test_big_endian_float64():
    arr = np.array([[1.5, -2.0], [np.nan, 1e300]], dtype=">f8")
    out, cols = quorvel.Encoder().encode(arr)
    # NumPy's dtype equality is its equivalence test: decides fast path (None) or general ([])
    assert cols == (None if arr.dtype == np.dtype(np.float64) else [])
    assert out.dtype == np.float64 and out.dtype.isnative
    np.testing.assert_array_equal(out, arr.astype(np.float64))


@pytest.mark.parametrize("arr", [np.array([1.0, 2.0]), np.zeros((1, 1, 1)), np.array(3.0), np.array(["a"], dtype=object)],
                         ids=["1d", "3d", "0d", "1d-object"])
def test_arrays_not_two_dimensional_fault(arr):
    enc = quorvel.Encoder()
    with pytest.raises(BaseException) as info:
        enc.encode(arr)
    assert is_panic(info.value)
    assert str(info.value).startswith("called `Result::unwrap()` on an `Err` value")


# --- DataFrame labels --------------------------------------------------------------------


@pytest.mark.parametrize(
    "columns, labels",
    [
        (["a", "b"], ["a", "b"]),
        (None, ["0", "1"]),
        ([-3, 7], ["-3", "7"]),
        (pd.RangeIndex(5, 7), ["5", "6"]),
        (pd.Index([2**63 - 1, -(2**63)], dtype=np.int64), ["9223372036854775807", "-9223372036854775808"]),
        (pd.Index([np.int32(4), np.uint8(0)], dtype=object), ["4", "0"]),
        ([True, False], ["1", "0"]),
        ([Plain("p"), "é"], ["p", "é"]),
        (["1", "1"], ["1", "1"]),
    ],
    ids=["texts", "default", "negative", "range", "int64-limits", "numpy-ints", "bools", "str-subclass", "duplicates"],
)
def test_frame_labels(columns, labels):
    frame = pd.DataFrame([[1.0, "x"], [2.0, "y"]], columns=columns)
    out, cols = quorvel.Encoder().encode(frame)
    assert cols == [1]
    assert list(out.columns) == labels
    assert all(type(label) is str for label in out.columns)
    assert out.iloc[:, 0].tolist() == [1.0, 2.0]
    assert out.iloc[:, 1].tolist() == [0.0, 1.0]
    assert list(out.dtypes) == [np.float64, np.float64]


@pytest.mark.parametrize("dtype", [object, "str", "string[python]", "string[pyarrow]"])
@pytest.mark.parametrize("labels", [["a", "b", "c"], ["é", "", "Ωmega"], ["x", "x", "y"]], ids=["ascii", "unicode", "repeated"])
def test_frame_text_labels_of_every_index_dtype(dtype, labels):
    if dtype == "string[pyarrow]":
        pytest.importorskip("pyarrow")
    columns = pd.Index(labels, dtype=dtype)
    frame = pd.DataFrame([[1.0, "u", 2.0]], columns=columns)
    out, cols = quorvel.Encoder().encode(frame)
    assert cols == [1]
    assert list(out.columns) == labels
    # A missing label is no text, whatever the Index dtype: refused, as the general route does.
    with_missing = pd.DataFrame([[1.0, "u", 2.0]], columns=pd.Index([labels[0], None, labels[2]], dtype=dtype))
    with pytest.raises(TypeError):
        quorvel.Encoder().encode(with_missing)


@pytest.mark.parametrize(
    "columns, error",
    [
        (["a", 1], TypeError),
        ([1.5, 2.5], TypeError),
        ([None, "a"], TypeError),
        (pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), TypeError),
        (pd.Index(["\ud800", "a"], dtype=object), TypeError),
        ([2**63, 1], OverflowError),
        (pd.Index([-(2**63) - 1, 0], dtype=object), OverflowError),
    ],
    ids=["mixed", "floats", "none", "tuples", "surrogate", "above-int64", "below-int64"],
)
def test_frame_labels_refused(columns, error):
    enc = quorvel.Encoder()
    enc.encode(np.array([["keep"]], dtype=object))
    before = enc.__getstate__()
    frame = pd.DataFrame([[1.0, "x"]], columns=columns)
    with pytest.raises(error):
        enc.encode(frame)
    with pytest.raises(error):
        enc.decode(frame)
    assert enc.__getstate__() == before


def test_frame_positions_not_labels():
    frame = pd.DataFrame({"z": ["b", "a"], "y": [1, 2], "x": [0.5, 1.5], "w": ["d", "c"]}, index=[10, 20])
    out, cols = quorvel.Encoder().encode(frame)
    assert cols == [0, 3]
    assert list(out.columns) == ["z", "y", "x", "w"]
    assert list(out.index) == [0, 1]
    assert out.to_numpy().tolist() == [[1.0, 1.0, 0.5, 1.0], [0.0, 2.0, 1.5, 0.0]]


def test_frame_of_float_columns_takes_general_path():
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, np.nan]})
    out, cols = quorvel.Encoder().encode(frame)
    assert cols == []
    np.testing.assert_array_equal(out.to_numpy(), frame.to_numpy())


def test_frame_extension_columns():
    frame = pd.DataFrame(
        {
            "s": pd.array(["b", None, "a"], dtype="string"),
            "n": pd.array([1, None, 3], dtype="Int64"),
            "c": pd.Categorical(["q", "p", "q"]),
            "f": [1.0, 2.0, 3.0],
        }
    )
    out, cols = quorvel.Encoder().encode(frame)
    # pd.NA does not convert to float: the Int64 column switches to text at row 1
    assert cols == [0, 1, 2]
    values = out.to_numpy()
    assert codes_of(values[:, 0]) == [1.0, MISSING, 0.0]
    assert codes_of(values[:, 1]) == [0.0, MISSING, 1.0]
    assert values[:, 2].tolist() == [1.0, 0.0, 1.0]
    assert values[:, 3].tolist() == [1.0, 2.0, 3.0]


# --- recognition by type name ------------------------------------------------------------


class OtherArray(np.ndarray):
    pass


class OtherFrame(pd.DataFrame):
    pass


@pytest.mark.parametrize(
    "obj, name",
    [
        (None, "NoneType"),
        ([[1.0, 2.0]], "list"),
        (((1.0,),), "tuple"),
        ({"a": [1]}, "dict"),
        ("text", "str"),
        (np.float64(1.0), "float64"),
        (np.zeros((2, 2)).view(OtherArray), "OtherArray"),
        (np.zeros((2, 2)).view(np.recarray), "recarray"),
        (OtherFrame({"a": [1.0]}), "OtherFrame"),
        (pd.Series([1.0]), "Series"),
    ],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_refused_inputs(capfd, obj, name, method):
    enc = quorvel.Encoder()
    enc.encode(np.array([["kept"]], dtype=object))
    before = enc.__getstate__()
    capfd.readouterr()
    with pytest.raises(TypeError) as info:
        getattr(enc, method)(obj)
    assert type(info.value) is TypeError
    assert str(info.value) == f"Unsupported type: '{name}'. Supported types are: {SUPPORTED}"
    out, err = capfd.readouterr()
    assert out == name + "\n"
    assert enc.__getstate__() == before


def test_accepted_inputs_print_nothing(capfd):
    enc = quorvel.Encoder()
    capfd.readouterr()
    enc.encode(np.array([["a"]], dtype=object))
    enc.encode(np.zeros((1, 1)))
    enc.decode(pd.DataFrame({"a": ["x"]}))
    assert capfd.readouterr().out == ""


class ndarray(np.ndarray):  # noqa: N801 - the accepted type name
    """A subclass whose own item access decides what its cells are."""

    def __getitem__(self, key):
        value = super().__getitem__(key)
        if isinstance(key, tuple) and len(key) == 2 and all(isinstance(k, int) for k in key):
            return f"cell {key[0]} {key[1]}"
        return value


class DataFrame(pd.DataFrame):
    pass


@pytest.mark.parametrize("dtype", [object, np.int64, np.float32, np.bool_])
def test_subclass_named_ndarray_is_read_through_item_access(dtype):
    arr = np.zeros((2, 2), dtype=dtype).view(ndarray)
    enc = quorvel.Encoder()
    out, cols = enc.encode(arr)
    assert cols == [0, 1]
    assert type(out) is np.ndarray
    assert out.tolist() == [[0.0, 0.0], [1.0, 1.0]]
    assert enc.decode(np.asarray(out)).tolist() == [["cell 0 0", "cell 0 1"], ["cell 1 0", "cell 1 1"]]


def test_float64_subclass_named_ndarray_takes_fast_path():
    arr = np.arange(4.0).reshape(2, 2).view(ndarray)
    out, cols = quorvel.Encoder().encode(arr)
    assert cols is None
    assert type(out) is np.ndarray
    assert np.asarray(out).tolist() == [[0.0, 1.0], [2.0, 3.0]]


def test_subclass_named_dataframe_is_accepted():
    out, cols = quorvel.Encoder().encode(DataFrame({"a": ["y", "x"], "b": [1, 2]}))
    assert cols == [0]
    assert type(out) is pd.DataFrame
    assert out.to_numpy().tolist() == [[1.0, 1.0], [0.0, 2.0]]


# --- the stored encoding -----------------------------------------------------------------


def test_encode_returns_text_column_positions():
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"], "c": [3, 4], "d": ["p", None]})
    enc = quorvel.Encoder()
    out, cols = enc.encode(frame)
    assert cols == [1, 3]
    out2, cols2 = enc.encode(frame[["a", "c"]])
    assert cols2 == []


def test_fast_path_clears_stored_encoding():
    enc = quorvel.Encoder()
    enc.encode(column(["b", "a"]))
    assert enc.__getstate__() != EMPTY_STATE
    out, cols = enc.encode(np.array([[1.0], [0.0]]))
    assert cols is None
    assert enc.__getstate__() == EMPTY_STATE
    back = enc.decode(np.array([[1.0], [0.0]]))
    assert back.dtype == np.float64
    assert back.tolist() == [[1.0], [0.0]]


def test_encode_replaces_never_merges():
    enc = quorvel.Encoder()
    enc.encode(objects([["b", 1.0], ["a", 2.0]]))
    _, cols = enc.encode(objects([[1.0, "q"], [2.0, "p"]]))
    assert cols == [1]
    back = enc.decode(np.array([[0.0, 0.0], [1.0, 1.0]]))
    assert back.tolist() == [[0.0, "p"], [1.0, "q"]]


def _learned_two_texts():
    enc = quorvel.Encoder()
    enc.encode(column(["b", "a"]))
    return enc


@pytest.mark.parametrize(
    "bad, error",
    [
        ([["x"]], TypeError),
        (None, TypeError),
        (np.array(["x", "y"], dtype=object), BaseException),
        (pd.DataFrame([[1.0]], columns=["a"]).rename(columns={"a": 1.5}), TypeError),
    ],
    ids=["list", "none", "1d-fault", "float-labels"],
)
def test_failed_extraction_keeps_previous_encoding(bad, error):
    enc = _learned_two_texts()
    before = enc.__getstate__()
    with pytest.raises(error) as info:
        enc.encode(bad)
    if error is BaseException:
        assert is_panic(info.value)
    assert enc.__getstate__() == before
    assert enc.decode(np.array([[0.0], [1.0]])).tolist() == [["a"], ["b"]]


class FakeFrame:
    """Named DataFrame below; labels that do not fit its values make pandas refuse the result."""

    def __init__(self, rows, labels):
        self.values = objects(rows)
        self.shape = self.values.shape
        self.columns = labels


FakeFrame.__name__ = "DataFrame"


def test_failed_output_keeps_new_encoding():
    enc = _learned_two_texts()
    with pytest.raises(ValueError):
        enc.encode(FakeFrame([["z", "q"], ["y", "q"]], ["only one"]))
    # the learned encoding of the failed call is stored: two text columns
    back = enc.decode(np.array([[0.0, 0.0], [1.0, 0.0]]))
    assert back.tolist() == [["y", "q"], ["z", "q"]]


def test_encode_twice_gives_equal_results():
    arr = objects([["b", 1, None], ["a", "x", 2.5], ["NaN", 3, "c"]])
    enc = quorvel.Encoder()
    first, cols1 = enc.encode(arr)
    second, cols2 = enc.encode(arr)
    assert cols1 == cols2 == [0, 1, 2]
    np.testing.assert_array_equal(first, second)


def test_result_is_independent_of_input():
    arr = objects([["b", 1.0], ["a", 2.0]])
    out, _ = quorvel.Encoder().encode(arr)
    out[:] = -1
    assert arr.tolist() == [["b", 1.0], ["a", 2.0]]


# --- internal faults of the cell pass ----------------------------------------------------


class BadStr:
    def __str__(self):
        raise ValueError("no text for you")


class NoItems:
    def __getitem__(self, key):
        raise KeyError(key)


def _named_frame(**attributes):
    frame = type("DataFrame", (), {})()
    frame.columns = ["a", "b"]
    for name, value in attributes.items():
        setattr(frame, name, value)
    return frame


@pytest.mark.parametrize(
    "make, prefix",
    [
        (lambda: objects([["t", 1.0], [BadStr(), 2.0]]), "cant convert to str"),
        (lambda: objects([[BadStr()]]), "cant convert to str"),
        (lambda: _named_frame(shape=(1, 2), values=NoItems()), "called `Result::unwrap()` on an `Err` value"),
        (lambda: _named_frame(shape=(1, 2)), "called `Result::unwrap()` on an `Err` value"),
        (lambda: _named_frame(values=objects([[1.0, 2.0]])), "called `Result::unwrap()` on an `Err` value"),
        (lambda: _named_frame(shape=[1, 2], values=objects([[1.0, 2.0]])), "called `Result::unwrap()` on an `Err` value"),
        (lambda: _named_frame(shape=(1, -2), values=objects([[1.0, 2.0]])), "called `Result::unwrap()` on an `Err` value"),
        (lambda: _named_frame(shape=(1, 2, 1), values=objects([[1.0, 2.0]])), "called `Result::unwrap()` on an `Err` value"),
    ],
    ids=["str-raises-below", "str-raises-first", "item-access-raises", "no-values", "no-shape", "shape-list",
         "shape-negative", "shape-three"],
)
def test_cell_pass_faults_keep_previous_encoding(make, prefix):
    enc = _learned_two_texts()
    before = enc.__getstate__()
    obj = make()
    for method in (enc.encode, enc.decode):
        with pytest.raises(BaseException) as info:
            method(obj)
        assert is_panic(info.value)
        assert str(info.value).startswith(prefix)
    assert enc.__getstate__() == before


class Half(float):
    """A float whose float() is half its stored value."""

    def __float__(self):
        return float.__float__(self) / 2


class NotANumber(float):
    """A float subclass whose float() raises: its cell is text, as float() says."""

    def __float__(self):
        raise TypeError("no number here")

    def __str__(self):
        return "not a number"


@pytest.mark.parametrize(
    ("cells", "expected", "columns"),
    [
        ([Half(3.0), 1.0], [1.5, 1.0], []),
        ([1.0, NotANumber(2.0)], [0.0, 1.0], [0]),  # "1" and "not a number"
    ],
)
def test_float_subclass_converts_through_its_own_float(cells, expected, columns):
    result, cols = quorvel.Encoder().encode(objects([[c] for c in cells]))
    assert cols == columns
    assert result[:, 0].tolist() == expected
