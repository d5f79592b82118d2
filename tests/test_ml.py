"""quorvel_ml: one native core shared with quorvel, what an encoder learned, and one
column of codes back to texts."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvel
import quorvel_ml
from test_pool import POOL_VARS
from test_properties import SETTINGS, model_encode, tables

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
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize("threads", ["1", "3"])
def test_both_modules_share_one_pool(threads):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    env["RAYON_NUM_THREADS"] = threads
    run = subprocess.run([sys.executable, "-c", _BOTH_MODULES], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == int(threads)


def test_importing_quorvel_ml_imports_no_data_libraries():
    code = "import sys, quorvel_ml; print(sorted(m for m in ('pandas', 'sklearn', 'dask') if m in sys.modules))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
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
