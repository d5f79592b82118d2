"""The worker pool's size under different environments, fork() and thread limits.

Runs cases of the core test executable (built by test_core.py from the source tree) and
scripts using the installed module as subprocesses, since the pool is fixed once per
process. The module's cases need only the installed module.
"""

import json
import math
import os
import pathlib
import subprocess
import sys

import pytest


def _exe():
    from test_core import _exe as core_tests  # builds the core tests from the source tree

    return core_tests()


POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def _default_cpu_count() -> int:
    """Processors this process may use: the affinity mask, lowered by a cgroup CPU quota."""
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


def _run(case: str, env: dict[str, str]) -> subprocess.CompletedProcess:
    full_env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    full_env.update(env)
    return subprocess.run([str(_exe()), case], env=full_env, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "8"}, 8),  # more threads than cores must be honoured
        ({"RAYON_NUM_THREADS": "+3", "RAYON_RS_NUM_CPUS": "5"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, None),  # 0: the default, RS ignored
        ({"RAYON_NUM_THREADS": "three", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "6"}, 6),
        ({}, None),
    ],
)
def test_pool_thread_count(env, expected):
    if expected is None:
        expected = _default_cpu_count()
    run = _run("pool_runs_exactly_the_configured_threads", {**env, "QUORVEL_EXPECT_POOL_THREADS": str(expected)})
    assert run.returncode == 0, run.stderr


def test_column_pass_independent_of_pool_size():
    fingerprints = set()
    for threads in ("1", "2", "8"):
        run = _run("column_pass_fingerprint", {"RAYON_NUM_THREADS": threads})
        assert run.returncode == 0, run.stderr
        lines = [line for line in run.stdout.splitlines() if line.startswith("fingerprint ")]
        assert len(lines) == 1, run.stdout
        fingerprints.add(lines[0])
    assert len(fingerprints) == 1, fingerprints


# The module's own pool, seen from Python: the threads that the first encode with text
# columns adds to the process (NumPy's own threads are there before it and not counted).
_COUNT_MODULE_THREADS = """
import os, numpy as np, quorvel
before = len(os.listdir("/proc/self/task"))
enc = quorvel.Encoder()
codes, cols = enc.encode(np.array([["a", 1], ["b", 2]] * 1000, dtype=object))
after = len(os.listdir("/proc/self/task"))
assert cols == [0], cols
print(after - before)
"""


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "8"}, 8),
        ({"RAYON_RS_NUM_CPUS": "2"}, 2),
        ({}, None),
    ],
)
def test_module_pool_has_the_configured_worker_count(env, expected):
    full_env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    full_env.update(env)
    run = subprocess.run([sys.executable, "-c", _COUNT_MODULE_THREADS], env=full_env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == (_default_cpu_count() if expected is None else expected)


_FORK_AFTER_USE = """
import multiprocessing as mp
import numpy as np, quorvel
table = np.array([["b", 1], ["a", 2], ["nan", 3]] * 20000, dtype=object)
def encode(_):
    codes, cols = quorvel.Encoder().encode(table)
    return np.nan_to_num(codes[:3], nan=-1.0).tolist(), cols  # NaN would never compare equal
parent = encode(None)
with mp.get_context("fork").Pool(2) as workers:
    children = workers.map(encode, range(4))
assert all(child == parent for child in children), (parent, children)
assert encode(None) == parent
print("ok")
"""


def test_forked_children_encode_after_the_parent_used_the_pool():
    # fork() copies only the calling thread: the pool must not be waited on in the child.
    run = subprocess.run([sys.executable, "-c", _FORK_AFTER_USE], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"


# fork() with the pool in use: each child's first encode must start a pool of exactly the
# configured size and agree with the parent, whichever thread forks and whichever threads
# used the pool before; the parent keeps its results and ends with exactly one pool.
_FORK_SCENARIO = r"""
import os, sys, threading, time, numpy as np, quorvel
from concurrent.futures import ThreadPoolExecutor
THREADS = int(os.environ["RAYON_NUM_THREADS"])
table = np.array([["b", "x", 1.5], ["a", "y", 2.0], ["nan", "x", 3.0]] * 5000, dtype=object)
def tasks():
    return len(os.listdir("/proc/self/task"))
def encode():
    codes, cols = quorvel.Encoder().encode(table)
    return np.nan_to_num(codes[:3], nan=-1.0).tolist(), cols
def fork_and_check(expected):
    pid = os.fork()
    if pid == 0:
        ok = False
        try:
            before = tasks()
            ok = encode() == expected and tasks() - before == THREADS
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status) == 0
base = tasks()
scenario = sys.argv[1]
results = []
if scenario == "main":
    expected = encode()
    results.append(fork_and_check(expected))
elif scenario == "second_thread":
    expected = encode()
    forker = threading.Thread(target=lambda: results.append(fork_and_check(expected)))
    forker.start(); forker.join()
elif scenario == "thread_pool":
    with ThreadPoolExecutor(2) as helpers:
        expected = helpers.submit(encode).result()  # its thread stays alive, idle
        results.append(fork_and_check(expected))
        results.append(helpers.submit(fork_and_check, expected).result())
elif scenario == "busy":
    expected = encode()
    stop = threading.Event()
    def churn():
        while not stop.is_set():
            assert encode() == expected
    busy = [threading.Thread(target=churn) for _ in range(2)]
    for t in busy: t.start()
    for _ in range(4):
        results.append(fork_and_check(expected))
    stop.set()
    for t in busy: t.join()
assert results and all(results), results
assert encode() == expected
# A joined Python thread may linger in /proc for a moment after join() returns.
for _ in range(400):
    if tasks() == base + THREADS:
        break
    time.sleep(0.05)
assert tasks() == base + THREADS, (tasks(), base)
print("ok")
"""


@pytest.mark.parametrize("scenario", ["main", "second_thread", "thread_pool", "busy"])
def test_fork_children_start_their_own_pool(scenario):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    # OpenBLAS ends its own threads at fork() and restarts them later: keep it to none,
    # so that the thread counts are the pool's alone.
    env.update(RAYON_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    run = subprocess.run([sys.executable, "-c", _FORK_SCENARIO, scenario], env=env,
                         capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"


# A pool the process has no room for: address space for only a few thread stacks. The
# start fails as an internal fault (never an abort), leaves no thread behind, fails the
# same way when tried again, and (for a reachable size) succeeds once the room is back.
_NO_ROOM_FOR_THREADS = r"""
import json, os, resource, numpy as np, quorvel
THREADS = int(os.environ["RAYON_NUM_THREADS"])
table = np.array([["b"], ["a"]], dtype=object)
def tasks():
    return len(os.listdir("/proc/self/task"))
def address_space():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
base = tasks()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (64 << 20), hard))
failures = []
for _ in range(2):
    try:
        quorvel.Encoder().encode(table)
    except BaseException as e:
        failures.append([type(e).__name__, str(e), tasks() - base])
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
added = None
if THREADS <= 64:
    codes, cols = quorvel.Encoder().encode(table)
    assert codes.tolist() == [[1.0], [0.0]] and cols == [0], (codes, cols)
    added = tasks() - base
print(json.dumps({"failures": failures, "added": added}))
"""


@pytest.mark.parametrize("threads", [64, 100000])
def test_pool_without_room_for_its_threads_faults_and_recovers(threads):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    env["RAYON_NUM_THREADS"] = str(threads)
    run = subprocess.run([sys.executable, "-c", _NO_ROOM_FOR_THREADS], env=env,
                         capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert len(result["failures"]) == 2, result
    for name, message, leftover_threads in result["failures"]:
        assert name == "PanicException"
        assert message.startswith("The global thread pool has not been initialized."), message
        assert f"of {threads} worker threads" in message, message
        assert leftover_threads == 0
    assert result["added"] == (threads if threads <= 64 else None)
