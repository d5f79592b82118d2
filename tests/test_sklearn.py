"""QuorvelEncoder: codes equal to encode's, learned tables applied to new rows, the way back
to texts, scikit-learn's own estimator checks, and use inside pipelines and searches."""

import importlib.util
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvel

pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.tree import DecisionTreeRegressor  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from quorvel_ml.sklearn import QuorvelEncoder  # noqa: E402
from conftest import examples  # noqa: E402

MARKERS = {"<NA>", "nan", "NaN"}
SETTINGS = settings(max_examples=examples(60), deadline=None, print_blob=True)


@parametrize_with_checks(
    [QuorvelEncoder()], expected_failed_checks=lambda estimator: estimator._expected_failed_checks
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


# --- tables: train and new rows drawn per column kind -------------------------------------

# A small pool of texts so new rows meet both learned and unseen ones; markers included.
POOL = ["a", "b", "B", "", "é", "€", "zz", "10", "nan", "NaN", "<NA>", "None"]
COLUMN_KINDS = ["text", "float", "Int64", "Float64", "arrow", "numeric_then_text"]


def _column(kind, draw, rows, new):
    """Cells of one column of the given kind; ``new`` draws the rows seen after fit."""
    maybe_na = st.one_of(st.integers(-5, 5), st.none())
    if kind == "text":
        return pd.Series(draw(st.lists(st.sampled_from(POOL), min_size=rows, max_size=rows)), dtype=object)
    if kind == "float":
        return pd.Series(draw(st.lists(st.floats(-1e6, 1e6) | st.just(math.nan), min_size=rows, max_size=rows)))
    if kind in ("Int64", "Float64"):
        return pd.Series(draw(st.lists(maybe_na, min_size=rows, max_size=rows)), dtype=kind)
    if kind == "arrow":
        return pd.Series(draw(st.lists(maybe_na, min_size=rows, max_size=rows)), dtype="int64[pyarrow]")
    # numeric_then_text: numbers when learned, numbers and letters in new rows
    cells = st.one_of(st.floats(-100, 100), st.sampled_from(["x", "y"])) if new else st.floats(-100, 100)
    return pd.Series(draw(st.lists(cells, min_size=rows, max_size=rows)), dtype=object if new else float)


@st.composite
def train_and_new(draw):
    kinds = [k for k in COLUMN_KINDS if k != "arrow" or importlib.util.find_spec("pyarrow")]
    columns = draw(st.lists(st.sampled_from(kinds), min_size=1, max_size=5))
    n_train, n_new = draw(st.integers(1, 8)), draw(st.integers(1, 8))
    labels = [f"c{j}" for j in range(len(columns))]
    train = pd.DataFrame({label: _column(k, draw, n_train, False) for label, k in zip(labels, columns)})
    new = pd.DataFrame({label: _column(k, draw, n_new, True) for label, k in zip(labels, columns)})
    # an index that is not 0..n-1, which set_output must keep
    new.index = pd.RangeIndex(100, 100 + 2 * n_new, 2)
    return columns, train, new


def _byte_sorted(texts):
    return sorted(set(texts) - MARKERS, key=lambda t: t.encode("utf-8"))


@SETTINGS
@given(train_and_new(), st.sampled_from([-1.0, math.nan, -7.5]))
def test_learned_tables_code_new_rows_and_decode_back(data, unknown_value):
    kinds, train, new = data
    train_before, new_before = train.copy(), new.copy()
    coder = QuorvelEncoder(handle_unknown="use_encoded_value", unknown_value=unknown_value)
    learned = coder.fit_transform(train)

    # The learned codes are encode's, except that numeric-dtype columns keep their numbers.
    as_floats = {c: train[c].astype("float64") for c, k in zip(train.columns, kinds) if k != "text"}
    expected = quorvel.Encoder().encode(train.assign(**as_floats))[0].to_numpy()
    np.testing.assert_array_equal(learned, expected)
    np.testing.assert_array_equal(coder.transform(train), learned)

    # Categories: the texts of each text column, byte-sorted without markers; None elsewhere.
    for j, kind in enumerate(kinds):
        if kind == "text":
            assert list(coder.categories_[j]) == _byte_sorted(train.iloc[:, j])
        else:
            assert coder.categories_[j] is None

    # New rows: learned texts get their codes, unseen texts and texts in numeric columns
    # the unknown value, markers NaN, numbers themselves.
    coded = coder.transform(new)
    unknown_seen = False
    for j, kind in enumerate(kinds):
        for i, cell in enumerate(new.iloc[:, j]):
            got = coded[i, j]
            if kind == "text":
                texts = list(coder.categories_[j])
                want = math.nan if cell in MARKERS else float(texts.index(cell)) if cell in texts else unknown_value
                unknown_seen |= cell not in MARKERS and cell not in texts
            elif isinstance(cell, str):
                want, unknown_seen = unknown_value, True
            else:
                want = math.nan if cell is pd.NA else float(cell)
            assert got == want or (math.isnan(got) and math.isnan(want)), (i, j, cell, got, want)

    # Back to texts: None for markers and unknown cells, never another category's text;
    # numeric columns give back their numbers.
    back = coder.inverse_transform(coded)
    for j, kind in enumerate(kinds):
        if kind == "text":
            texts = set(coder.categories_[j])
            assert list(back[:, j]) == [c if c in texts else None for c in new.iloc[:, j]]
        else:
            np.testing.assert_array_equal(back[:, j].astype(float), coded[:, j])

    # Unknown cells stop the default transformer, naming the cell.
    strict = clone(coder).set_params(handle_unknown="error", unknown_value=None).fit(train)
    if unknown_seen:
        with pytest.raises(ValueError, match="row") as raised:
            strict.transform(new)
        assert "use_encoded_value" in "".join(raised.value.__notes__)
    else:
        np.testing.assert_array_equal(strict.transform(new), coded)

    # pandas output keeps the caller's index and labels; the caller's frames are untouched.
    framed = clone(coder).set_output(transform="pandas").fit(train).transform(new)
    assert framed.index.equals(new.index) and list(framed.columns) == list(new.columns)
    np.testing.assert_array_equal(framed.to_numpy(), coded)
    pd.testing.assert_frame_equal(train, train_before)
    pd.testing.assert_frame_equal(new, new_before)


# --- parameters, inputs and the way back ----------------------------------------------------


@pytest.mark.parametrize(
    "params, error, message",
    [
        ({"handle_unknown": "ignore"}, ValueError, "handle_unknown should be"),
        ({"unknown_value": -1}, ValueError, "only be set when handle_unknown"),
        ({"handle_unknown": "use_encoded_value"}, TypeError, "should be a number"),
        ({"handle_unknown": "use_encoded_value", "unknown_value": "x"}, TypeError, "should be a number"),
        ({"handle_unknown": "use_encoded_value", "unknown_value": 1}, ValueError, "already used"),
    ],
)
def test_bad_parameters_are_refused_when_fitting_and_the_earlier_fit_stays(params, error, message):
    frame = pd.DataFrame({"t": ["a", "b", "c"], "n": [1.0, 2.0, 3.0]})
    coder = QuorvelEncoder()
    codes = coder.fit_transform(frame[["t"]])
    with pytest.raises(error, match=message):
        coder.set_params(**params).fit(frame)
    coder.set_params(handle_unknown="error", unknown_value=None)
    np.testing.assert_array_equal(coder.transform(frame[["t"]]), codes)
    assert coder.get_feature_names_out().tolist() == ["t"]


def _polars_frame(rows):
    polars = pytest.importorskip("polars")
    return polars.DataFrame({"a": [r[0] for r in rows], "b": [r[1] for r in rows]})


@pytest.mark.parametrize(
    "make",
    [
        lambda rows: rows,  # nested lists, texts beside numbers
        lambda rows: np.array(rows, dtype=object),
        pd.DataFrame,  # integer labels
        lambda rows: pd.DataFrame(rows, columns=[0.5, 1.5]),  # float labels
        _polars_frame,
    ],
)
def test_input_kinds_give_the_codes_of_an_object_array(make):
    rows = [["b", 2.5], ["a", 1.0], ["b", -3.0]]
    expected = quorvel.Encoder().encode(np.array(rows, dtype=object))[0]
    coder = QuorvelEncoder()
    np.testing.assert_array_equal(coder.fit_transform(make(rows)), expected)
    np.testing.assert_array_equal(coder.transform(make(rows)), expected)
    assert coder.categories_[1] is None and list(coder.categories_[0]) == ["a", "b"]
    if make is _polars_frame:
        framed = clone(coder).set_output(transform="polars").fit_transform(make(rows))
        assert framed.columns == ["a", "b"]
        np.testing.assert_array_equal(framed.to_numpy(), expected)


def test_float64_arrays_pass_through_and_texts_in_them_later_are_unknown():
    numbers = np.array([[1.5, -2.0], [math.nan, 4.0]])
    coder = QuorvelEncoder(handle_unknown="use_encoded_value", unknown_value=-1)
    np.testing.assert_array_equal(coder.fit_transform(numbers), numbers)
    assert coder.categories_ == [None, None]
    later = np.array([[7.0, "x"]], dtype=object)
    np.testing.assert_array_equal(coder.transform(later), [[7.0, -1.0]])


def test_column_transformer_in_a_grid_search_gives_encode_codes():
    rng = np.random.default_rng(7)
    n = 240
    frame = pd.DataFrame(
        {
            "model": rng.choice([f"m{k}" for k in range(25)], n).astype(object),
            "origin": rng.choice(["eu", "us", "jp"], n).astype(object),
            "weight": rng.uniform(1, 3, n),
        },
        index=pd.RangeIndex(1000, 1000 + n),
    )
    target = frame["weight"] * 2 + (frame["origin"] == "us")
    text = ["model", "origin"]
    columns = ColumnTransformer(
        [("codes", QuorvelEncoder(handle_unknown="use_encoded_value", unknown_value=-1), text)],
        remainder="passthrough",
    ).set_output(transform="pandas")
    search = GridSearchCV(
        make_pipeline(columns, DecisionTreeRegressor(random_state=0)),
        {"decisiontreeregressor__max_depth": [2, 4]},
        cv=3,
        n_jobs=2,
        error_score="raise",
    ).fit(frame, target)

    # Refitted on the whole frame, the transformer's codes are those of one encode.
    coded = search.best_estimator_[0].transform(frame)
    expected = quorvel.Encoder().encode(frame[text])[0]
    np.testing.assert_array_equal(coded[["codes__model", "codes__origin"]].to_numpy(), expected.to_numpy())
    assert coded.index.equals(frame.index)
    np.testing.assert_array_equal(coded["remainder__weight"], frame["weight"])
    assert np.isfinite(search.cv_results_["mean_test_score"]).all()
