"""The module's worker pool: its size under different environments, fork() and thread
limits. Each case runs a script in a fresh interpreter, since the pool is fixed once per
process; only the installed module is needed (the core's own pool cases are in test_core.py).
"""

import json

import pytest

from conftest import default_cpu_count, pool_env, run_script


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
    run = run_script(_COUNT_MODULE_THREADS, env=pool_env(**env))
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == (default_cpu_count() if expected is None else expected)


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
    run = run_script(_FORK_AFTER_USE)
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
    # OpenBLAS ends its own threads at fork() and restarts them later: keep it to none,
    # so that the thread counts are the pool's alone.
    env = pool_env(RAYON_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    run = run_script(_FORK_SCENARIO, scenario, env=env, timeout=180)
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
    run = run_script(_NO_ROOM_FOR_THREADS, env=pool_env(RAYON_NUM_THREADS=str(threads)), timeout=180)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert len(result["failures"]) == 2, result
    for name, message, leftover_threads in result["failures"]:
        assert name == "PanicException"
        assert message.startswith("The global thread pool has not been initialized."), message
        assert f"of {threads} worker threads" in message, message
        assert leftover_threads == 0
    assert result["added"] == (threads if threads <= 64 else None)
