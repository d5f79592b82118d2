"""A scikit-learn transformer that gives quorvel's codes.

``QuorvelEncoder`` learns the code tables of a table's text columns in ``fit`` (one
``Encoder.encode``) and applies them to new data in ``transform`` (``quorvel_ml.apply``),
so the training rows and every later batch get the same codes. Numbers pass through.

This module imports scikit-learn; ``import quorvel_ml`` alone never does.
"""

from __future__ import annotations

import math
import numbers
import sys

import numpy as np
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from quorvel import Encoder

from . import apply, categories, decode_column

__all__ = ["QuorvelEncoder"]


class QuorvelEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Codes for the text columns of a table, learned once and applied to new data.

    Within each text column the distinct texts are sorted byte-wise and numbered 0, 1,
    2, ...; the missing-value markers "<NA>", "nan" and "NaN" become NaN. A column is
    text as soon as one of its cells is not a number, exactly as ``quorvel.Encoder``
    decides; other columns pass through as floats. Columns of a pandas frame whose dtype
    is numeric (nullable ``Int64``/``Float64``/``boolean`` and Arrow-backed numbers
    included) stay numeric, with their missing values as NaN.

    Parameters
    ----------
    handle_unknown : {"error", "use_encoded_value"}, default="error"
        What ``transform`` does with an unknown cell: a text the column never held in
        ``fit``, or a text in a column learned as numeric. "error" raises ``ValueError``
        naming the column, the row and the text; "use_encoded_value" writes
        ``unknown_value``.
    unknown_value : float or np.nan, default=None
        The value of unknown cells when ``handle_unknown="use_encoded_value"``. It must
        not be a code of a learned text column (a negative number or NaN never is).

    Attributes
    ----------
    categories_ : list
        One entry per input column: for a text column an object array of its texts in
        code order, ``None`` for a numeric column.
    encoder_ : quorvel.Encoder
        The encoder that learned the code tables.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Only when ``fit`` was given column names that are all strings.
    """

    # Checks of scikit-learn's suite that cannot apply to this transformer, with reasons.
    _expected_failed_checks: dict[str, str] = {}

    def __init__(self, *, handle_unknown="error", unknown_value=None):
        self.handle_unknown = handle_unknown
        self.unknown_value = unknown_value

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        tags.input_tags.allow_nan = True
        return tags

    def fit(self, X, y=None):
        """Learn the code tables of the text columns of ``X``."""
        self._learn(X)
        return self

    def fit_transform(self, X, y=None):
        """Learn the code tables of ``X`` and return its codes (one pass over ``X``)."""
        return self._learn(X)

    def transform(self, X):
        """Codes of ``X`` under the learned tables, as a float64 array."""
        check_is_fitted(self)
        unknown = self._unknown_rule()
        table = self._table(X, reset=False)
        try:
            codes = apply(self.encoder_, table, unknown=unknown)
        except ValueError as error:
            if unknown == "error" and "unknown" in str(error):
                error.add_note(
                    "QuorvelEncoder(handle_unknown='use_encoded_value', unknown_value=...) "
                    "codes unknown cells instead."
                )
            raise
        return _float_array(codes)

    def inverse_transform(self, X):
        """Texts of the codes in ``X``: an object array, ``None`` where a cell of a text
        column is not one of its codes (NaN, ``unknown_value``, negative, fractional or
        beyond its table). Numeric columns come back as their numbers."""
        check_is_fitted(self)
        codes = check_array(X, dtype=np.float64, ensure_all_finite=False, estimator=self)
        if codes.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {codes.shape[1]} features, but {type(self).__name__} is "
                f"expecting {self.n_features_in_} features as input."
            )
        texts = np.empty(codes.shape, dtype=object)
        for column, column_texts in enumerate(self.categories_):
            if column_texts is None:
                texts[:, column] = codes[:, column]
            else:
                texts[:, column] = decode_column(self.encoder_, column, codes[:, column])
        return texts

    # -- learning -------------------------------------------------------------------

    def _learn(self, X):
        """Learns from ``X`` and returns its codes. A fit that fails leaves the learned
        attributes as they were, so an earlier fit stays whole and usable."""
        before = {name: value for name, value in vars(self).items() if name.endswith("_")}
        try:
            return self._learn_afresh(X)
        except BaseException:
            for name in [name for name in vars(self) if name.endswith("_")]:
                delattr(self, name)
            vars(self).update(before)
            raise

    def _learn_afresh(self, X):
        unknown = self._unknown_rule()
        table = self._table(X, reset=True)
        encoder = Encoder()
        codes, text_columns = encoder.encode(table)
        if text_columns is None:
            # A float64 array is taken over as it is and teaches an encoder nothing; one
            # of its rows as Python floats teaches it that every column is numeric, so
            # that a text met later in transform is known as unknown.
            encoder.encode(table[:1].astype(object))
        found = categories(encoder)
        column_categories = [
            np.array(found[column], dtype=object) if column in found else None
            for column in range(self.n_features_in_)
        ]
        _check_unknown_value_free(unknown, column_categories)
        self.categories_, self.encoder_ = column_categories, encoder
        return _float_array(codes)

    def _unknown_rule(self):
        """The ``unknown`` argument of ``quorvel_ml.apply`` for the current parameters."""
        if self.handle_unknown == "error":
            if self.unknown_value is not None:
                raise ValueError(
                    "unknown_value should only be set when handle_unknown is "
                    f"'use_encoded_value', got {self.unknown_value!r}."
                )
            return "error"
        if self.handle_unknown == "use_encoded_value":
            value = self.unknown_value
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(
                    "unknown_value should be a number or np.nan when handle_unknown is "
                    f"'use_encoded_value', got {value!r}."
                )
            return "nan" if math.isnan(value) else float(value)
        raise ValueError(
            "handle_unknown should be 'error' or 'use_encoded_value', got "
            f"{self.handle_unknown!r}."
        )

    # -- input ------------------------------------------------------------------------

    def _table(self, X, *, reset):
        """``X`` checked and in a form ``quorvel.Encoder`` reads: a pandas frame or a
        2-D NumPy array. Records or checks the column count and names."""
        if _is_pandas_frame(X) or _is_polars_frame(X):
            validate_data(self, X, reset=reset, skip_check_array=True)
            return _pandas_table(X, self) if _is_pandas_frame(X) else _polars_table(X, self)
        if not isinstance(X, np.ndarray) and not _is_sparse(X):
            # Nested lists mixing texts and numbers would become an array of texts;
            # keep each cell as the object it is so numbers stay numbers.
            as_array = np.asarray(X)
            X = as_array if as_array.dtype.kind not in "USV" else np.asarray(X, dtype=object)
        # Shape and kind first, so a 1-D or sparse input is named as such.
        table = check_array(X, dtype=None, ensure_all_finite=False, estimator=self)
        validate_data(self, table, reset=reset, skip_check_array=True)
        return table


def _float_array(codes):
    """The float64 array of an encode or apply result (a frame or an array)."""
    if isinstance(codes, np.ndarray):
        return codes
    array = codes.to_numpy(dtype=np.float64)
    if not array.flags.writeable:
        # A view of the result frame, which only this call held and which is dropped
        # now: the caller may write to its codes as to any transform output.
        array.flags.writeable = True
    return array


def _check_unknown_value_free(unknown, column_categories):
    """An ``unknown_value`` equal to a code would make unknown cells decode as that
    code's text; refuse it when learning."""
    if isinstance(unknown, str):
        return
    for column, texts in enumerate(column_categories):
        if texts is not None and unknown.is_integer() and 0 <= unknown < len(texts):
            raise ValueError(
                f"The used value for unknown_value {unknown} is one of the values "
                f"already used for encoding the seen categories (column {column} has "
                f"codes 0 to {len(texts) - 1})."
            )


def _is_pandas_frame(X):
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(X, pandas.DataFrame)


def _is_polars_frame(X):
    polars = sys.modules.get("polars")
    return polars is not None and isinstance(X, polars.DataFrame)


def _is_sparse(X):
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and sparse.issparse(X)


def _check_frame_shape(n_rows, n_columns, estimator):
    if n_rows < 1 or n_columns < 1:
        raise ValueError(
            f"Found array with {n_rows} sample(s) and {n_columns} feature(s) (shape="
            f"({n_rows}, {n_columns})) while a minimum of 1 is required by "
            f"{type(estimator).__name__}."
        )


def _pandas_table(frame, estimator):
    """A shallow copy of ``frame`` in which numeric extension columns are float64 with
    NaN for missing values. ``Encoder.encode`` would read such a column's ``pd.NA`` as
    the text "<NA>" and turn the whole column into text codes."""
    from pandas.api.types import is_numeric_dtype

    _check_frame_shape(*frame.shape, estimator)
    as_floats = {}
    for position, dtype in enumerate(frame.dtypes):
        if dtype.kind == "c":
            raise ValueError(
                f"Complex data not supported: column {frame.columns[position]!r} has "
                f"dtype {dtype}."
            )
        if not isinstance(dtype, np.dtype) and is_numeric_dtype(dtype):
            column = frame.iloc[:, position]
            as_floats[position] = column.to_numpy(dtype=np.float64, na_value=np.nan)
    labels = frame.columns
    readable_labels = labels.inferred_type == "string" or (
        labels.inferred_type == "integer" and labels.dtype.kind == "i"
    )
    if not as_floats and readable_labels:
        return frame
    table = frame.copy(deep=False)
    if not readable_labels:
        # The encoder reads labels that are all texts or all integers; others (mixed,
        # floats, tuples) are replaced by positions, which unknown-cell errors name.
        table.columns = range(frame.shape[1])
    for position, values in as_floats.items():
        table.isetitem(position, values)
    return table


def _polars_table(frame, estimator):
    """A polars frame as a 2-D object array, a null of any column as NaN (missing)."""
    _check_frame_shape(frame.height, frame.width, estimator)
    table = np.empty(frame.shape, dtype=object)
    for position, series in enumerate(frame.iter_columns()):
        values = series.to_numpy()
        if values.dtype.kind == "c":
            raise ValueError(f"Complex data not supported: column {series.name!r}.")
        if series.null_count() and values.dtype == object:
            values = values.copy()
            values[series.is_null().to_numpy()] = np.nan
        table[:, position] = values
    return table
