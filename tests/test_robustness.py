"""Cells that reshape their array, forks in mid-encode, raw bool bytes and failing allocations: no crash, no hang, right values."""

import numpy as np
import pytest

from quorvel import Encoder
from conftest import run_script


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


def test_allocation_failures_anywhere_raise_memory_error_and_leave_the_encoder_usable():
    # Python's allocators fail from the n-th allocation on, for n across the whole call:
    # each failure must come back as MemoryError (never a crash or a wrong result), and
    # the encoder must give the right answers afterwards. Run apart: the failing
    # allocator reaches every object made while it is active.
    pytest.importorskip("_testcapi", reason="needs CPython's test hooks for failing allocations")
    done = run_script("""
        import gc, sys, _testcapi
        import numpy as np
        from quorvel import Encoder

        rng = np.random.default_rng(1)
        rows = 300
        words = np.array([f"w{i:04d}" for i in range(250)], dtype=object)
        table = np.empty((rows, 3), dtype=object)
        table[:, 0] = words[rng.integers(0, 250, rows)]
        table[:, 1] = rng.integers(0, 2, rows).astype(float)  # repeated floats are shared
        table[:, 2] = rng.normal(size=rows)
        enc = Encoder()
        codes, columns = enc.encode(table)
        decoded = enc.decode(codes).tolist()
        watched = [table, codes, table[0, 0], table[0, 2]]  # the inputs and cells read
        refs = [sys.getrefcount(obj) for obj in watched]

        def attempt(call):
            gc.collect()
            _testcapi.set_nomemory(start, 0)
            try:
                return call()
            except MemoryError:
                return None
            finally:
                _testcapi.remove_mem_hooks()

        failed = 0
        for start in range(0, 1500, 5):
            out = attempt(lambda: enc.decode(codes))
            failed += out is None
            assert out is None or out.tolist() == decoded, start
            del out
            again = attempt(lambda: Encoder().encode(table))
            assert again is None or (np.array_equal(again[0], codes, equal_nan=True) and again[1] == columns), start
            del again
        gc.collect()
        assert enc.decode(codes).tolist() == decoded
        assert [sys.getrefcount(obj) for obj in watched] == refs  # failed calls leak no reference
        print("failed", failed)
    """, timeout=300)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout.split()[-1]) > 10  # failures really happened inside the calls


def test_fault_while_memory_is_exhausted_raises_memory_error_instead_of_aborting():
    # A cell's __str__ exhausts memory and fails: converting the cell is a fault, but no
    # PanicException can be made any more. The MemoryError stands, as for any allocation
    # that fails, and the process goes on.
    pytest.importorskip("_testcapi", reason="needs CPython's test hooks for failing allocations")
    done = run_script("""
        import _testcapi
        import numpy as np
        from quorvel import Encoder

        class Exhausting:
            def __str__(self):
                _testcapi.set_nomemory(0, 0)  # every allocation fails from here on
                raise ValueError("cannot even be made")

        table = np.empty((2, 1), dtype=object)
        table[0, 0] = "a"
        table[1, 0] = Exhausting()
        try:
            Encoder().encode(table)
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            outcome = type(exc).__name__
        else:
            _testcapi.remove_mem_hooks()
            outcome = "returned"
        print(outcome, Encoder().encode(np.array([["x"], ["y"]], dtype=object))[1])
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "[0]"]
    assert "cant convert to str" in done.stderr  # the fault report was still written
