"""Shared pieces of the property tests: a small Python model of the code rule, hypothesis
strategies that draw tables of mixed cells, and a frame-like object whose cells can only be
fetched one by one. A helper module, so that test files need not import each other."""

import decimal
import math

import numpy as np
import pytest
from hypothesis import strategies as st

pd = pytest.importorskip("pandas")

MARKERS = {"<NA>", "nan", "NaN"}


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


# --- a frame read cell by cell ------------------------------------------------------------


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
