"""Cells that reshape their array, forks in mid-encode and raw bool bytes: no crash, no hang, right values."""

import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np

import quorvel
from quorvel import Encoder


def run_script(code, timeout=120):
    """Runs `code` in a fresh interpreter that imports the quorvel under test."""
    env = dict(os.environ)
    module_dir = str(pathlib.Path(quorvel.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=timeout)


def test_cell_that_makes_the_array_one_dimensional_raises_instead_of_crashing():
    done = run_script("""
        import numpy as np
        from quorvel import Encoder
        arr = np.empty((4, 3), dtype=object)
        for i in range(4):
            for j in range(3):
                arr[i, j] = f"t{i}{j}"
        class Flatten:
            def __str__(self):
                arr.shape = (12,)  # in place: the array is 1-D from now on
                return "x"
        arr[0, 0] = Flatten()
        try:
            Encoder().encode(arr)
        except BaseException as e:
            print(type(e).__name__)
            print(e)
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    # Item access with (1, 0) on the 1-D array raises, which is the item-access fault.
    assert lines[0] == "PanicException"
    assert lines[1].startswith("called `Result::unwrap()` on an `Err` value")


def test_child_forked_during_the_cell_pass_finishes_its_encode():
    done = run_script("""
        import os, time
        import numpy as np
        from quorvel import Encoder
        rows = 400_000
        arr = np.empty((rows, 2), dtype=object)
        arr[:, 0] = np.array([f"text{i}" for i in range(rows)], dtype=object)  # column 0's task is running
        arr[:, 1] = 1.0
        forked = []
        class Forks:
            def __str__(self):
                forked.append(os.fork())
                return "x"
        arr[0, 1] = Forks()
        result, columns = Encoder().encode(arr)
        if forked[0] == 0:  # the child: its encode came back
            os._exit(0 if columns == [0, 1] and result[1, 0] == 1.0 else 3)
        deadline = time.time() + 30
        pid, status = os.waitpid(forked[0], os.WNOHANG)
        while pid == 0 and time.time() < deadline:
            time.sleep(0.1)
            pid, status = os.waitpid(forked[0], os.WNOHANG)
        if pid == 0:
            os.kill(forked[0], 9)
            os.waitpid(forked[0], 0)
            print("child hung")
        else:
            print("child exit", os.waitstatus_to_exitcode(status))
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "child exit 0"


def test_bool_array_with_non_canonical_bytes_encodes_true_as_one():
    raw = np.array([[2, 0], [255, 1]], dtype=np.uint8)
    flags = raw.view(np.bool_)
    expected = np.array([[float(flags[i, j]) for j in range(2)] for i in range(2)])
    assert expected.tolist() == [[1.0, 0.0], [1.0, 1.0]]
    result, columns = Encoder().encode(flags)
    assert columns == []
    np.testing.assert_array_equal(result, expected)
