"""Learn an encoding once and apply it anywhere.

Works on the encoders of :mod:`quorvel`:

- ``apply(encoder, obj)`` codes new data with the tables an encoder learned (the test
  split, tomorrow's batch, one partition of a larger table) and changes nothing in it;
- ``Learner`` learns an encoding from a table given as consecutive row chunks;
- ``categories`` shows what an encoder learned and ``decode_column`` turns the codes of
  one text column back into texts.

Importing this package imports neither pandas, scikit-learn nor dask.
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Iterable

import numpy as np

from quorvel import Encoder

from . import _native
from ._native import Learner

__all__ = ["Learner", "apply", "categories", "decode_column"]


def _unknown_policy(unknown) -> tuple[bool, float]:
    """(raise on unknown cells, the code that stands for them otherwise)."""
    if isinstance(unknown, str):
        if unknown == "error":
            return True, math.nan
        if unknown == "nan":
            return False, math.nan
        raise ValueError(f'unknown must be "error", "nan" or a number, got {unknown!r}')
    if isinstance(unknown, numbers.Real):
        return False, float(unknown)
    raise TypeError(f'unknown must be "error", "nan" or a number, got {type(unknown).__name__!r}')


def _column_positions(text_before: Iterable[int] | None) -> list[int]:
    if text_before is None:
        return []
    if isinstance(text_before, (str, bytes)):
        raise TypeError("text_before must be an iterable of column positions, not a string")
    positions = set()
    for position in text_before:
        position = operator.index(position)
        if position < 0:
            raise ValueError(f"text_before holds a negative column position: {position}")
        positions.add(position)
    return sorted(positions)


def apply(encoder: Encoder, obj, *, unknown="error", text_before: Iterable[int] | None = None):
    """Codes ``obj`` with the tables ``encoder`` learned; ``encoder`` is not changed.

    ``obj`` is a NumPy array or a pandas DataFrame, as for ``Encoder.encode``; the result is
    the coded table alone (a float64 array, or a DataFrame of floats). A cell the encoder
    did not learn in its column (a new text, or a text in a column learned as numeric)
    raises ``ValueError`` with ``unknown="error"``, becomes NaN with ``unknown="nan"``, and
    takes the number given otherwise (for example ``-1``).

    ``text_before`` lists the columns that met a non-numeric cell in rows before ``obj``
    (when ``obj`` is one chunk of a larger table): in those columns every cell takes its
    ``str()``, as one encode of the whole table would read it. ``Learner.text_before()``
    gives this list for each chunk it saw.
    """
    raise_unknown, fill = _unknown_policy(unknown)
    return _native.apply(encoder, obj, raise_unknown, fill, _column_positions(text_before))


def categories(encoder: Encoder) -> dict[int, list[str]]:
    """Each learned text column's position to its texts in code order."""
    return _native.categories(encoder)


def decode_column(encoder: Encoder, column: int, codes) -> np.ndarray:
    """Codes of the learned text column ``column`` back to texts.

    Returns a 1-D object array of ``str``, with ``None`` for every value that is not a
    code of that column (NaN, negative, fractional or beyond the table). Raises
    ``ValueError`` when ``column`` was not learned as a text column.
    """
    column = operator.index(column)
    values = np.asarray(codes)
    if values.ndim != 1:
        raise ValueError(f"codes must be one-dimensional, got {values.ndim} dimensions")
    if values.dtype.kind not in "fiub":
        values = values.astype(np.float64)  # object or other kinds: their float values
    values = np.ascontiguousarray(values, dtype=np.float64)
    return _native.decode_column(encoder, column, values)
