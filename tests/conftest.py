"""Helpers shared by the test files: state bytes, the fault check, the worker pool's
environment and a fresh interpreter."""

import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

import quorvel

# QUORVEL_HYPOTHESIS_PROFILE=short, for the extra CI runs (sanitizers, other Pythons and
# library versions) that repeat the whole suite: each property test draws a quarter of its
# usual examples (see `examples`).
settings.register_profile("short", max_examples=25)
if os.environ.get("QUORVEL_HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["QUORVEL_HYPOTHESIS_PROFILE"])


def examples(n):
    """The example count of a property test that usually draws `n`: scaled by the loaded
    hypothesis profile, whose default of 100 examples leaves it at `n`."""
    return max(2, n * settings.default.max_examples // 100)

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


# The variables that size the worker pool; a test that sets its own starts without them.
POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def default_cpu_count() -> int:
    """Processors this process may use: the affinity mask, lowered by a cgroup CPU quota
    (the pool's size when no variable sets it)."""
    count = len(os.sched_getaffinity(0))
    cgroup = pathlib.Path("/sys/fs/cgroup")
    limits = []
    cpu_max = cgroup / "cpu.max"
    if cpu_max.exists():
        quota, period = cpu_max.read_text().split()
        if quota != "max":
            limits.append(math.ceil(int(quota) / int(period)))
    for v1 in (cgroup / "cpu", cgroup / "cpu,cpuacct"):
        quota_file, period_file = v1 / "cpu.cfs_quota_us", v1 / "cpu.cfs_period_us"
        if quota_file.exists() and period_file.exists():
            quota, period = int(quota_file.read_text()), int(period_file.read_text())
            if quota > 0 and period > 0:
                limits.append(math.ceil(quota / period))
    return max(1, min([count, *limits]))


def pool_env(**pool_settings):
    """This process's environment without the pool's variables, plus `pool_settings`."""
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    env.update(pool_settings)
    return env


def run_script(code, *args, timeout=120, env=None, path=()):
    """Runs `code` (with `args` as sys.argv[1:]) in a fresh interpreter that imports the
    quorvel under test.

    `env` (default: this process's environment) is extended so that the module found here
    is found there first, after the directories of `path`.
    """
    env = dict(os.environ if env is None else env)
    module_dir = str(pathlib.Path(quorvel.__file__).resolve().parent)
    rest = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([*map(str, path), module_dir, *rest])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)


# Under AddressSanitizer (.ci/sanitize sets QUORVEL_SANITIZED=1) freed blocks wait in a
# quarantine and every block carries guard zones, so resident memory measures the sanitizer,
# not quorvel: the tests that measure it skip there (they run in the plain build).
SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"
measures_resident_memory = pytest.mark.skipif(
    SANITIZED, reason="resident memory under AddressSanitizer is its quarantine and guard zones")


def run_peak_memory_script(code, *args, timeout=300):
    """Runs `code` (which resets and reads its own peak resident memory) in a fresh
    interpreter and returns the JSON object it prints; skips where the peak cannot be reset,
    and under AddressSanitizer."""
    if SANITIZED:
        pytest.skip("resident memory under AddressSanitizer is its quarantine and guard zones")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pytest.skip("the peak resident memory cannot be reset here")
    run = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                         timeout=timeout)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)
