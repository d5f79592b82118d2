"""Learn an encoding once and apply it anywhere.

Works on the encoders of :mod:`quorvel`: ``categories`` shows what an encoder learned and
``decode_column`` turns the codes of one text column back into texts.

Importing this package imports neither pandas, scikit-learn nor dask.
"""

from __future__ import annotations

import operator

import numpy as np

from quorvel import Encoder

from . import _native

__all__ = ["categories", "decode_column"]


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
