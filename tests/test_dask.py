"""Encoding a Dask DataFrame gives, on any partitioning, the codes and the encoder of one
encode of the computed table, and decoding gives back what the encoder's decode gives."""

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import quorvel
from conftest import examples

pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from quorvel_ml import dask as qdask  # noqa: E402  (needs dask, checked above)

# Cells of object columns: texts (markers and numerals among them), numbers, bools and the
# missing values pandas and Dask produce. True after a column's first text is "True",
# before it "1": the cross-partition cell rule shows only when both kinds occur.
TEXTS = st.sampled_from(["a", "b", "B", "", "é", "10", "9", "nan", "<NA>", "None"])
NUMBERS = st.one_of(st.integers(-3, 3), st.booleans(), st.sampled_from([1.5, -0.0, 2.0]))
MISSING = st.sampled_from([None, float("nan"), pd.NA])
COLUMN_KINDS = {
    "text": TEXTS,
    "numbers": NUMBERS,
    "mixed": st.one_of(TEXTS, NUMBERS, MISSING),
    "missing": MISSING,
}


@st.composite
def tables(draw):
    """A frame of object columns of drawn kinds, a float and an int column, labelled by
    integers (which encode turns into their decimal texts)."""
    rows = draw(st.integers(0, 24))
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMN_KINDS)), min_size=1, max_size=3))
    data = [pd.Series(draw(st.lists(COLUMN_KINDS[k], min_size=rows, max_size=rows)), dtype=object) for k in kinds]
    data += [pd.Series(np.arange(rows) / 4.0), pd.Series(np.arange(rows, dtype=np.int64))]
    return pd.concat(data, axis=1, ignore_index=True)


@st.composite
def partitioned(draw):
    """(frame, Dask DataFrame of it) partitioned at drawn row cuts, empty partitions
    included; object columns stay object, or become Dask's Arrow strings by default."""
    frame = draw(tables())
    cuts = sorted(draw(st.lists(st.integers(0, len(frame)), max_size=5)))
    bounds = [0, *cuts, len(frame)]
    if draw(st.booleans()):
        # Object columns as they are, or typed per partition where a partition holds
        # only numbers: then partitions disagree on a column's dtype.
        infer = draw(st.booleans())
        with dask.config.set({"dataframe.convert-string": False}):
            ddf = dd.from_map(_rows, bounds[:-1], bounds[1:], args=[frame, infer], meta=frame.iloc[:0])
    else:
        # Dask's defaults: from_pandas, then a filter that may empty whole partitions.
        ddf = dd.from_pandas(frame, npartitions=len(bounds) - 1, sort=False)
        ddf = ddf[ddf[ddf.columns[-1]] % 3 != draw(st.integers(0, 3))]
    return ddf


def _rows(start, stop, frame, infer=False):
    rows = frame.iloc[start:stop]
    return rows.infer_objects() if infer else rows


def concat_keeps_cell_kinds(ddf, whole):
    """Whether `whole` holds the partitions' cells. pandas before 2.1 turns NaN into None
    when it joins object columns and one piece is all missing: the joined table is then no
    reference for the partitions' encode."""
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    parts = [ddf.partitions[i].compute() for i in range(ddf.npartitions)]
    kinds = [[type(x) for x in part[c]] for c in whole.columns for part in parts]
    return kinds == [[type(x) for x in whole[c].iloc[a:b]] for c in whole.columns
                     for a, b in zip(np.cumsum([0] + [len(p) for p in parts]), np.cumsum([len(p) for p in parts]))]


def check_matches_one_encode(ddf, split_every=None):
    coded, encoder = qdask.encode(ddf, split_every=split_every)
    whole = ddf.compute()
    assume(concat_keeps_cell_kinds(ddf, whole))
    single = quorvel.Encoder()
    expected, _ = single.encode(whole)

    got = coded.compute()
    assert list(got.columns) == list(expected.columns)
    assert (got.dtypes == np.float64).all()
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())
    assert got.index.equals(whole.index)
    assert encoder.__getstate__() == single.__getstate__()

    texts = qdask.decode(encoder, coded).compute()
    assert texts.index.equals(whole.index)
    assert texts.reset_index(drop=True).equals(single.decode(expected))


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ddf=partitioned(), split_every=st.sampled_from([None, 2, 3]))
def test_any_partitioning_gives_the_single_encode(ddf, split_every):
    with dask.config.set(scheduler="sync"):
        check_matches_one_encode(ddf, split_every)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=2, processes=True, dashboard_address=":0"
    ) as local, distributed.Client(local) as client:
        yield client


@settings(max_examples=examples(8), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(ddf=partitioned())
def test_a_local_cluster_gives_the_single_encode(cluster, ddf):
    check_matches_one_encode(ddf, split_every=2)
    # the work really ran on the cluster's two worker processes
    assert len(cluster.scheduler_info()["workers"]) == 2


def test_selected_partitions_are_coded_as_in_the_whole():
    """Partitions taken from the coded frame keep the text-before of their place."""
    frame = pd.DataFrame({"o": pd.Series([1, "x", True, 2.5, None, 7], dtype=object)})
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "sync"}):
        ddf = dd.from_map(_rows, [0, 1, 2, 4], [1, 2, 4, 6], args=[frame], meta=frame.iloc[:0])
        coded, _ = qdask.encode(ddf)
        expected = quorvel.Encoder().encode(frame)[0].to_numpy()
        np.testing.assert_array_equal(coded.partitions[[3, 2]].compute().to_numpy(), expected[[4, 5, 2, 3]])


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda ddf, enc: qdask.encode(ddf.compute()), TypeError, "needs a Dask DataFrame"),
        (lambda ddf, enc: qdask.decode(None, ddf), TypeError, "needs a quorvel.Encoder"),
        (lambda ddf, enc: qdask.decode(enc, ddf[["a"]]), ValueError, "text column 1"),
    ],
)
def test_bad_arguments_are_refused(call, error, text):
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"]})
    ddf = dd.from_pandas(frame, npartitions=1)
    encoder = quorvel.Encoder()
    encoder.encode(frame)
    with pytest.raises(error, match=text):
        call(ddf, encoder)
