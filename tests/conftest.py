"""Helpers shared by the test files: state bytes, the fault check and a fresh interpreter."""

import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest

import quorvel

# The state of an encoder that has learned nothing.
EMPTY_STATE = b"\x00" * 5


def u64(*values):
    """Little-endian unsigned 64-bit fields, as the state bytes hold them."""
    return struct.pack("<%dQ" % len(values), *values)


# object_columns [0], no code tables, no decode maps: a later decode faults.
STATE_WITHOUT_DECODE_MAP = b"\x01" + u64(1, 0, 0, 0) + b"\x00\x00\x00\x00"


def is_panic(exc):
    """An internal fault as Python sees it: PanicException, not an Exception."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def run_script(code, timeout=120, env=None, path=()):
    """Runs `code` in a fresh interpreter that imports the quorvel under test.

    `env` (default: this process's environment) is extended so that the module found here
    is found there first, after the directories of `path`.
    """
    env = dict(os.environ if env is None else env)
    module_dir = str(pathlib.Path(quorvel.__file__).resolve().parent)
    rest = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([*map(str, path), module_dir, *rest])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=timeout)


def run_peak_memory_script(code, *args, timeout=300):
    """Runs `code` (which resets and reads its own peak resident memory) in a fresh
    interpreter and returns the JSON object it prints; skips where the peak cannot be reset."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pytest.skip("the peak resident memory cannot be reset here")
    run = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                         timeout=timeout)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)
