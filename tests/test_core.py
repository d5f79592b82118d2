"""The C++ core tests (tests/cpp), built through CMake from the same core objects as the
extension, each run as a test case here; and the core's worker pool sized by the environment.

They need the source tree: run against an installed wheel elsewhere, this file is skipped.
"""

import os
import pathlib
import subprocess
import sys

import pytest

from conftest import POOL_VARS, default_cpu_count

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILDER = ROOT / "scripts" / "build_core.py"

if not (BUILDER.exists() and (ROOT / "CMakeLists.txt").exists() and (ROOT / "src" / "core").is_dir()):
    pytest.skip(f"the C++ core tests build from the source tree, which is not present at {ROOT}",
                allow_module_level=True)


def _build() -> pathlib.Path:
    run = subprocess.run([sys.executable, str(BUILDER), "quorvel_core_tests"], capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError(f"building the C++ core tests failed:\n{run.stdout}\n{run.stderr}")
    return pathlib.Path(run.stdout.strip().splitlines()[-1])


EXE = _build()


def _names() -> list[str]:
    out = subprocess.run([str(EXE), "--list"], check=True, capture_output=True, text=True).stdout
    return out.split()


def _run(case: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    full_env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    full_env.update(env or {})
    return subprocess.run([str(EXE), case], env=full_env, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("name", _names())
def test_core(name):
    run = _run(name)
    assert run.returncode == 0, run.stderr


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
        expected = default_cpu_count()
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
