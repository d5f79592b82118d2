"""quorvel_ml: one native core shared with quorvel, what an encoder learned, and one
column of codes back to texts."""

import math
import pickle
import subprocess

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvel
import quorvel_ml
from conftest import examples, pool_env, run_script
from strategies import model_encode, tables

SETTINGS = settings(max_examples=examples(60), deadline=None, print_blob=True)

# Both modules in use in one process: the pool still has exactly the configured workers,
# and both modules see one Encoder type and one PanicException.
_BOTH_MODULES = """
import os, numpy as np, quorvel, quorvel_ml, quorvel_ml._native as native
before = len(os.listdir("/proc/self/task"))
enc = quorvel.Encoder()
table = np.array([["a", 1], ["b", 2]] * 1000, dtype=object)
codes, cols = enc.encode(table)
assert quorvel_ml.categories(enc) == {0: ["a", "b"]}
for name in ("apply", "Learner"):
    if hasattr(quorvel_ml, name):
        learned = quorvel_ml.Learner().update(table).encoder() if name == "Learner" else enc
        assert type(learned) is quorvel.Encoder
        np.testing.assert_array_equal(quorvel_ml.apply(learned, table), codes)
class Fail:
    def __float__(self): raise TypeError
    def __str__(self): raise KeyError
faults = []
for run in (enc.encode, quorvel_ml.Learner().update):
    try:
        run(np.array([[Fail()]], dtype=object))
    except BaseException as fault:
        faults.append(type(fault))
assert len(faults) == 2 and faults[0] is faults[1] and faults[0].__name__ == "PanicException", faults
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize("threads", ["1", "3"])
def test_both_modules_share_one_pool(threads):
    run = run_script(_BOTH_MODULES, env=pool_env(RAYON_NUM_THREADS=threads))
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == int(threads)


def test_importing_quorvel_ml_imports_no_data_libraries():
    code = "import sys, quorvel_ml; print(sorted(m for m in ('pandas', 'sklearn', 'dask') if m in sys.modules))"
    run = run_script(code)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"


def test_quorvel_extension_exports_only_its_entry_functions():
    run = subprocess.run(["nm", "-D", "--defined-only", quorvel.__file__], capture_output=True, text=True)
    if run.returncode != 0:
        pytest.skip("nm is not available")
    names = {line.split()[-1] for line in run.stdout.splitlines() if line.strip()}
    assert names <= {"PyInit_quorvel", "PyModExport_quorvel"} and "PyInit_quorvel" in names


@SETTINGS
@given(tables(), st.lists(st.one_of(st.integers(-3, 12), st.floats(-3, 12), st.just(math.nan)), max_size=12))
def test_categories_and_decode_column_follow_the_learned_tables(arr, codes):
    enc = quorvel.Encoder()
    enc.encode(arr)
    _, text_columns, decode_maps = model_encode(arr)
    learned = quorvel_ml.categories(enc)
    assert learned == {j: [decode_maps[j][k] for k in range(len(decode_maps[j]))] for j in text_columns}
    for j in range(arr.shape[1] + 1):
        if j not in learned:
            with pytest.raises(ValueError, match=f"column {j} was not learned as a text column"):
                quorvel_ml.decode_column(enc, j, codes)
            continue
        texts = quorvel_ml.decode_column(enc, j, codes)
        assert texts.dtype == object and texts.shape == (len(codes),)
        expected = [learned[j][int(c)] if c == c and c >= 0 and c == int(c) and c < len(learned[j]) else None
                    for c in codes]
        assert texts.tolist() == expected
        # Integer codes, as a model predicting a text column gives them, decode the same way.
        ints = [int(c) for c in codes if c == c and c == int(c)]
        assert quorvel_ml.decode_column(enc, j, np.array(ints, dtype=np.int64)).tolist() == \
            quorvel_ml.decode_column(enc, j, np.array(ints, dtype=float)).tolist()


def test_inspection_of_encoders_that_learned_no_text():
    enc = quorvel.Encoder()
    assert quorvel_ml.categories(enc) == {}
    with pytest.raises(ValueError, match="column 0 was not learned as a text column"):
        quorvel_ml.decode_column(enc, 0, [0])
    with pytest.raises(TypeError, match="'dict' object is not an instance of 'Encoder'"):
        quorvel_ml.categories({})
    enc.encode(np.array([["a"]], dtype=object))
    with pytest.raises(ValueError, match="one-dimensional"):
        quorvel_ml.decode_column(enc, 0, [[0]])


# --- apply ---------------------------------------------------------------------------------

from strategies import MARKERS, ItemFrame, cell_float, cell_text, number_text  # noqa: E402

pd = pytest.importorskip("pandas")


def model_apply(arr, text_columns, decode_maps, fill, text_before=()):
    """The codes of `arr` under a learned encoding; unknown cells take `fill` and are listed."""
    rows, cols = arr.shape
    out = np.zeros((rows, cols))
    unknown = []  # (column, row, text)
    for j in range(cols):
        if j not in text_columns:
            for i in range(rows):
                value = cell_float(arr[i, j])
                if value is None and cell_text(arr[i, j]) in MARKERS:
                    value = math.nan  # a missing value, not an unknown one
                elif value is None:
                    unknown.append((j, i, cell_text(arr[i, j])))
                    value = fill
                out[i, j] = value
            continue
        codes = {t: float(c) for c, t in decode_maps[j].items()}
        turned = j in text_before
        floats, texts = [], []
        for i in range(rows):
            value = None if turned else cell_float(arr[i, j])
            if value is None:
                turned = True
                texts.append(cell_text(arr[i, j]))
            else:
                floats.append(value)
        texts = [number_text(v) for v in floats] + texts
        for i, text in enumerate(texts):
            if text in codes:
                out[i, j] = codes[text]
            elif text in MARKERS:
                out[i, j] = math.nan
            else:
                out[i, j] = fill
                unknown.append((j, i, text))
    return out, sorted(unknown)[:1]


def as_frame(arr):
    return pd.DataFrame(arr, columns=[f"c{j}" for j in range(arr.shape[1])], dtype=object)


@SETTINGS
@given(tables(), st.sampled_from(["numpy", "frame", "items"]))
def test_apply_after_encode_gives_the_codes_of_encode(arr, kind):
    data = {"numpy": lambda: arr, "frame": lambda: as_frame(arr),
            "items": lambda: ItemFrame(arr, [f"c{j}" for j in range(arr.shape[1])])}[kind]()
    enc = quorvel.Encoder()
    codes, _ = enc.encode(data)
    state = enc.__getstate__()
    applied = quorvel_ml.apply(enc, data)
    assert type(applied) is type(codes)
    if kind != "numpy":
        assert list(applied.columns) == list(codes.columns)
        applied, codes = applied.to_numpy(), codes.to_numpy()
    assert applied.dtype == np.float64
    np.testing.assert_array_equal(applied, codes)
    assert enc.__getstate__() == state


@SETTINGS
@given(st.data())
def test_apply_to_new_rows_follows_the_learned_tables(data):
    train = data.draw(tables(min_rows=1))
    cols = train.shape[1]
    test = data.draw(tables(min_rows=0).filter(lambda t: t.shape[1] >= cols))
    text_before = data.draw(st.sets(st.integers(0, max(test.shape[1] - 1, 0)))) if test.shape[1] else set()
    enc = quorvel.Encoder()
    enc.encode(train)
    _, text_columns, decode_maps = model_encode(train)
    for unknown, fill in (("nan", math.nan), (-1, -1.0), ("error", math.nan)):
        expected, first_unknown = model_apply(test, text_columns, decode_maps, fill, text_before)
        if unknown == "error" and first_unknown:
            j, i, text = first_unknown[0]
            with pytest.raises(ValueError) as raised:
                quorvel_ml.apply(enc, test, unknown=unknown, text_before=text_before)
            assert f"in column {j} at row {i}" in str(raised.value)
            assert repr(text[:57]) [:-1] in str(raised.value)
            continue
        got = quorvel_ml.apply(enc, test, unknown=unknown, text_before=sorted(text_before))
        np.testing.assert_array_equal(got, expected)


@settings(max_examples=examples(8), deadline=None, print_blob=True)
@given(st.sampled_from([40, 20_000, 40_000]), st.integers(0, 2**32 - 1), st.sampled_from([0.0, 0.001, 0.05]),
       st.booleans(), st.sampled_from(["numpy", "frame"]))
def test_apply_to_long_columns_of_repeated_objects(vocab_size, seed, unseen_rate, number_on_top, kind):
    # Long columns whose rows repeat a few str objects are staged once per object, and
    # others are looked up in segments of rows while later rows are read: the codes must
    # still be those of the tables, the first unknown row the first one (whichever segment
    # holds it), and a later encode must replace what apply looks up.
    rng = np.random.default_rng(seed)
    vocab = np.array([f"w{k:x}" + "é" * (k % 3) for k in range(vocab_size)] + [math.nan], dtype=object)
    train = np.empty((vocab.size, 2), dtype=object)
    train[:, 0] = vocab[rng.permutation(vocab.size)]
    train[:, 1] = vocab[rng.permutation(vocab.size)][: vocab.size]
    rows = max(2 * vocab_size, 10_000)
    test = np.empty((rows, 2), dtype=object)
    test[:, 0] = vocab[rng.integers(0, vocab.size, rows)]
    test[:, 1] = vocab[rng.integers(0, vocab.size, rows)]
    unseen = np.flatnonzero(rng.random(rows) < unseen_rate)
    test[unseen, 1] = np.array([f"new{k % 7}" for k in range(unseen.size)], dtype=object)
    if number_on_top:
        test[0, 1] = 3.0  # read as a number, then as its number text once the column turns
    data = as_frame(test) if kind == "frame" else test
    first = ["3" if number_on_top and i == 0 else test[i, 1] for i in range(rows)]
    enc = quorvel.Encoder()
    for source in (train, train[::-1][: vocab.size // 2]):
        enc.encode(source)
        learned = quorvel_ml.categories(enc)
        expected = np.full((rows, 2), np.nan)
        for j, column in enumerate((test[:, 0], first)):
            codes = {text: float(code) for code, text in enumerate(learned[j])}
            expected[:, j] = [codes.get(cell, -1.0) if isinstance(cell, str) else math.nan for cell in column]
        got = quorvel_ml.apply(enc, data, unknown=-1)
        np.testing.assert_array_equal(got.to_numpy() if kind == "frame" else got, expected)
        missing = np.argwhere(expected == -1.0)
        if missing.size == 0:
            continue
        i, j = min(missing.tolist(), key=lambda cell: (cell[1], cell[0]))  # first column, then row
        with pytest.raises(ValueError) as raised:
            quorvel_ml.apply(enc, data)
        assert f"unknown value {[test[:, 0], first][j][i]!r} in column {j}" in str(raised.value)
        assert f"at row {i}" in str(raised.value)


def test_apply_errors():
    enc = quorvel.Encoder()
    frame = pd.DataFrame({"city": ["Oslo", "Rome"], "n": [1, 2]})
    with pytest.raises(ValueError, match="learned no encoding"):
        quorvel_ml.apply(enc, frame)
    enc.encode(np.zeros((2, 2)))
    with pytest.raises(ValueError, match="learned no encoding"):
        quorvel_ml.apply(enc, frame)
    enc.encode(frame)
    state = enc.__getstate__()
    long_text = "é" * 100
    new = pd.DataFrame({"city": ["Oslo", long_text], "n": [1, 2]})
    with pytest.raises(ValueError) as raised:
        quorvel_ml.apply(enc, new)
    message = str(raised.value)
    assert "column 0 ('city') at row 1" in message and "éééé..." in message and long_text not in message
    with pytest.raises(ValueError, match=r"unknown value 'x' in column 1 \('n'\) at row 0"):
        quorvel_ml.apply(enc, pd.DataFrame({"city": ["Oslo"], "n": ["x"]}))
    with pytest.raises(ValueError, match="the data has 0 columns, but the encoder learned text column 0"):
        quorvel_ml.apply(enc, np.empty((3, 0), dtype=object))
    with pytest.raises(ValueError, match="text_before names column 5, but the data has 2 columns"):
        quorvel_ml.apply(enc, frame, text_before=[5])
    with pytest.raises(ValueError, match="negative"):
        quorvel_ml.apply(enc, frame, text_before=[-1])
    with pytest.raises(ValueError, match='unknown must be "error", "nan" or a number'):
        quorvel_ml.apply(enc, frame, unknown="ignore")
    with pytest.raises(TypeError, match="Unsupported type: 'list'"):
        quorvel_ml.apply(enc, [["Oslo", 1]])
    assert enc.__getstate__() == state
    # A conflicting borrow: an encode running while apply reads cells fails at once.

    class Sneaky:
        def __float__(self):
            raise TypeError

        def __str__(self):
            enc.encode(frame)
            return "Oslo"

    with pytest.raises(BaseException, match="cant convert to str: RuntimeError: Already borrowed") as raised:
        quorvel_ml.apply(enc, np.array([[Sneaky(), 1]], dtype=object))
    assert type(raised.value).__name__ == "PanicException"
    assert enc.__getstate__() == state


# --- learning from chunks -------------------------------------------------------------------


@st.composite
def chunked(draw):
    """A table, its row chunks (consecutive, some maybe empty) and a merge plan."""
    arr = draw(tables())
    rows = arr.shape[0]
    cuts = sorted(draw(st.lists(st.integers(0, rows), max_size=4)))
    bounds = [0, *cuts, rows]
    chunks = [arr[a:b] for a, b in zip(bounds, bounds[1:])]
    # Each chunk learned alone (merged as a tree) or by updating the learner of the rows before.
    plan = draw(st.lists(st.sampled_from(["update", "tree"]), min_size=len(chunks), max_size=len(chunks)))
    return arr, chunks, plan, draw(st.randoms())


def learn(chunks, plan, rnd, as_chunk):
    """Learners of runs of chunks (updated in turn), then merged pairwise in random tree order."""
    learners = []
    for chunk, how in zip(chunks, plan):
        if how == "update" and learners:
            learners[-1].update(as_chunk(chunk))
        else:
            learners.append(quorvel_ml.Learner().update(as_chunk(chunk)))
        if rnd.random() < 0.3:  # learners travel between processes
            learners[-1] = pickle.loads(pickle.dumps(learners[-1]))
    while len(learners) > 1:
        k = rnd.randrange(len(learners) - 1)
        learners[k : k + 2] = [learners[k].merge(learners[k + 1])]
    return learners[0]


@SETTINGS
@given(chunked(), st.sampled_from(["numpy", "frame"]))
def test_learning_from_chunks_equals_one_encode(case, kind):
    arr, chunks, plan, rnd = case
    as_chunk = as_frame if kind == "frame" else (lambda a: a)
    enc = quorvel.Encoder()
    whole, _ = enc.encode(as_chunk(arr))
    learner = learn(chunks, plan, rnd, as_chunk)
    learned = learner.encoder()
    assert learned.__getstate__() == enc.__getstate__()
    text_before = learner.text_before()
    assert len(text_before) == len(chunks)
    coded = [quorvel_ml.apply(learned, as_chunk(chunk), text_before=before)
             for chunk, before in zip(chunks, text_before)]
    if kind == "frame":
        coded = [c.to_numpy() for c in coded]
        whole = whole.to_numpy()
    np.testing.assert_array_equal(np.concatenate(coded).reshape(whole.shape), whole)


@SETTINGS
@given(chunked())
def test_a_merged_learner_is_left_as_it_was(case):
    # A merge shares the later learner's sets instead of copying them; joining the
    # merged learner's sets must leave the later learner's own as they were.
    arr, chunks, _, rnd = case

    def updated():  # its sets held in one piece per chunk
        learner = quorvel_ml.Learner()
        for chunk in chunks:
            learner.update(chunk)
        return learner

    later, twin = updated(), updated()
    cut = rnd.randrange(arr.shape[0] + 1)
    # Rows before and after the later learner's: its pieces then stand first, among others
    # and last in the merged learner's, whose pieces are joined pairwise.
    for head, tail in (([], [arr]), ([arr[:cut], arr[cut:]], [arr[:cut]]), ([arr], [])):
        merged = quorvel_ml.Learner()
        for part in head:
            merged.update(part)
        merged.merge(later)
        for part in tail:
            merged.update(part)
        whole = quorvel.Encoder()
        whole.encode(np.concatenate([*head, arr, *tail]))
        assert merged.encoder().__getstate__() == whole.__getstate__()
        merged.__getstate__()  # joins all of the merged learner's sets
        assert later.__getstate__() == twin.__getstate__()


@pytest.mark.parametrize("dtype", [np.int64, np.uint8, np.float32, np.float16, np.bool_, np.float64])
def test_learning_numeric_arrays(dtype):
    rng = np.random.default_rng(5)
    arr = (rng.normal(size=(50, 3)) * 4).astype(dtype)
    learner = quorvel_ml.Learner()
    for start in range(0, 50, 20):
        learner.update(arr[start : start + 20])
    expected = quorvel.Encoder()
    expected.encode(arr)
    assert learner.encoder().__getstate__() == expected.__getstate__()
    assert learner.text_before() == [[], [], []]
    # Rows that turn a column text before such a chunk read its elements by str(), as
    # one encode reads the elements of an object table.
    head = np.array([["x", "y", "z"]], dtype=object)
    objects = np.empty(arr.shape, dtype=object)
    for i in range(arr.shape[0]):
        for j in range(arr.shape[1]):
            objects[i, j] = arr[i, j]
    whole = quorvel.Encoder()
    whole.encode(np.concatenate([head, objects]))
    first = quorvel_ml.Learner().update(head)
    assert first.merge(quorvel_ml.Learner().update(arr)).encoder().__getstate__() == whole.__getstate__()


@pytest.mark.parametrize("chunk_rows", [3000, 5000, 12000])
def test_learning_long_numeric_columns_that_turn_text(chunk_rows):
    # Long chunks: a column of mostly distinct numbers (its distinct values found by
    # sorting) and one of few (found by hashing), each turning text in a later chunk.
    rng = np.random.default_rng(chunk_rows)
    rows = 12_000
    table = np.empty((rows, 3), dtype=object)
    table[:, 0] = list(np.round(rng.normal(size=rows) * 1000, 1))
    table[:, 1] = [int(v) for v in rng.integers(-5, 5, size=rows)]
    table[:, 2] = [bool(v) for v in rng.integers(0, 2, size=rows)]
    table[9_000, 0] = "t"
    table[11_000, 1] = "u"
    whole = quorvel.Encoder()
    codes, _ = whole.encode(table)
    learners = [quorvel_ml.Learner().update(table[a : a + chunk_rows]) for a in range(0, rows, chunk_rows)]
    learner = learners[0]
    for later in learners[1:]:
        learner.merge(later)
    learner = pickle.loads(pickle.dumps(learner))  # its sets must be ascending and distinct
    assert learner.encoder().__getstate__() == whole.__getstate__()
    coded = [quorvel_ml.apply(whole, table[a : a + chunk_rows], text_before=before)
             for a, before in zip(range(0, rows, chunk_rows), learner.text_before())]
    np.testing.assert_array_equal(np.concatenate(coded), codes)


@settings(max_examples=examples(8), deadline=None, print_blob=True)
@given(st.integers(0, 2**32 - 1), st.sampled_from(["", "id-", "a-shared-stem-of-identifiers/"]), st.integers(1, 12),
       st.randoms())
def test_learning_many_distinct_texts_in_chunks(seed, stem, chunks, rnd):
    # Enough distinct texts that their sets are sorted and merged in ranges at once, and
    # chunks long enough to be kept unsorted where they repeat texts of the chunks before;
    # texts that share a stem and differ first at varying depths (around 8, 16 and 32
    # bytes), texts that are prefixes of others, markers, numbers above the first text,
    # and a column of repeated objects.
    rng = np.random.default_rng(seed)
    rows = 70_000
    ids = rng.integers(0, 30_000, size=rows)
    pads = rng.integers(0, 20, size=rows)
    column = np.array([f"{stem}{'x' * int(p)}{int(i)}" for i, p in zip(ids, pads)], dtype=object)
    for k in rng.integers(0, rows, size=200):
        column[k] = column[k] + "\0"
    column[rng.integers(0, rows, size=50)] = rng.choice(np.array(["nan", "<NA>", "", None, math.nan], dtype=object), size=50)
    column[: rng.integers(0, 3000)] = 1.5
    # A column of a few str objects, each repeated (staged once per object), turning text
    # below numbers of several kinds.
    vocab = np.array([f"{stem}{k}" for k in range(int(rng.integers(1, 300)))] + ["nan", None, math.nan, 7], dtype=object)
    repeated = vocab[rng.integers(0, vocab.size, size=rows)]
    repeated[: rng.integers(0, 5000)] = rng.choice(np.array([2, 2.5, True, -0.0], dtype=object), size=1)[0]
    table = np.stack([column, column[::-1], repeated], axis=1)
    whole = quorvel.Encoder()
    whole.encode(table)
    # The codes follow the byte order of the texts (which the sorts compare eight bytes
    # at a time past a shared stem).
    texts = {cell if isinstance(cell, str) else str(cell) for cell in column if cell == cell}  # NaN: a marker
    assert quorvel_ml.categories(whole)[0] == sorted(texts - {"nan", "NaN", "<NA>"}, key=lambda t: t.encode())
    bounds = np.linspace(0, rows, chunks + 1).astype(int)
    parts = [table[a:b] for a, b in zip(bounds, bounds[1:])]
    plan = [rnd.choice(["update", "tree"]) for _ in parts]
    assert learn(parts, plan, rnd, lambda a: a).encoder().__getstate__() == whole.__getstate__()


@settings(max_examples=examples(6), deadline=None, print_blob=True)
@given(st.integers(0, 2**32 - 1), st.integers(2, 4), st.randoms())
def test_learning_long_chunks_that_repeat_each_others_texts(seed, chunks, rnd):
    # Chunks drawn from one vocabulary, each with texts of its own besides: the chunks
    # after the first repeat its texts, so they are kept unsorted until they are read
    # (pickled, merged or made into an encoder), and then joined.
    rng = np.random.default_rng(seed)
    rows = 20_000 * chunks
    vocab = np.array([f"v{int(k):x}" for k in rng.integers(0, 2**40, size=5000)], dtype=object)
    column = vocab[rng.integers(0, vocab.size, size=rows)]
    own = np.flatnonzero(rng.random(rows) < 0.05)
    column[own] = np.array([f"own-{k}" for k in range(own.size)], dtype=object)
    column[rng.integers(0, rows, size=30)] = rng.choice(np.array(["nan", None, math.nan], dtype=object), size=30)
    table = np.stack([column, column[::-1]], axis=1)
    whole = quorvel.Encoder()
    whole.encode(table)
    parts = np.array_split(table, chunks)
    plan = [rnd.choice(["update", "update", "tree"]) for _ in parts]
    assert learn(parts, plan, rnd, lambda a: a).encoder().__getstate__() == whole.__getstate__()


def test_learner_errors_and_empty_learners():
    assert quorvel_ml.Learner().encoder().__getstate__() == b"\0" * 5
    assert quorvel_ml.Learner().text_before() == []
    floats = quorvel_ml.Learner().update(np.ones((3, 2)))
    assert floats.encoder().__getstate__() == b"\0" * 5
    learner = quorvel_ml.Learner().update(np.array([["a", 1]], dtype=object))
    state = learner.__getstate__()
    with pytest.raises(ValueError, match="the chunk has 3 columns, but the learner's rows have 2"):
        learner.update(np.array([["a", 1, 2]], dtype=object))
    with pytest.raises(ValueError, match="the later learner's rows have 1 columns, but this learner's have 2"):
        learner.merge(quorvel_ml.Learner().update(np.array([["a"]], dtype=object)))
    with pytest.raises(ValueError, match="cannot merge itself"):
        learner.merge(learner)
    with pytest.raises(TypeError, match="not an instance of 'Learner'"):
        learner.merge(quorvel.Encoder())
    with pytest.raises(TypeError, match="Unsupported type"):
        learner.update([["a", 1]])
    with pytest.raises(TypeError, match="takes no arguments"):
        quorvel_ml.Learner(1)
    for bad in (b"", state[:-1], state + b"x", b"\x09" + state[1:]):
        with pytest.raises(ValueError, match="failed to unpickle Learner"):
            quorvel_ml.Learner().__setstate__(bad)
    assert learner.__getstate__() == state


@SETTINGS
@given(st.lists(st.one_of(st.floats(), st.integers(-(2**64), 2**64), st.booleans()), min_size=1, max_size=30),
       st.sampled_from([object, np.float64, np.int64, np.uint64, np.float32, np.bool_]))
@example([0.0, 0, 2**53], object)  # a mixed column keeps every cell's key, large integers too
@example([2**53, 2**53 + 1], object)
def test_numbers_after_a_text_in_earlier_rows_take_their_str(values, dtype):
    # The later learner keeps its numbers both ways; the merge renders them by str().
    try:
        with np.errstate(over="ignore", invalid="ignore"):
            later = np.array(values, dtype=dtype).reshape(-1, 1)
    except (OverflowError, ValueError, DeprecationWarning):
        return  # not representable in that dtype (NumPy 1 warns where NumPy 2 raises)
    head = np.array([["text"]], dtype=object)
    objects = np.empty(later.shape, dtype=object)
    objects[:, 0] = list(later[:, 0]) if dtype is not object else values
    whole = quorvel.Encoder()
    whole.encode(np.concatenate([head, objects]))
    learner = quorvel_ml.Learner().update(head).merge(quorvel_ml.Learner().update(later))
    assert learner.encoder().__getstate__() == whole.__getstate__()
    # The later rows learned in two halves (of different kinds, say) merged before the head.
    half = len(later) // 2
    halves = quorvel_ml.Learner().update(later[:half]).merge(quorvel_ml.Learner().update(later[half:]))
    halves = pickle.loads(pickle.dumps(halves)) if half % 2 else halves
    learner = quorvel_ml.Learner().update(head).merge(halves)
    assert learner.encoder().__getstate__() == whole.__getstate__()
