"""Builds the pure C++ core with its tests (tests/cpp) and runs each test case from pytest."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "core-tests"


def _build() -> pathlib.Path:
    BUILD.mkdir(parents=True, exist_ok=True)
    exe = BUILD / "core_tests"
    sources = sorted((ROOT / "src" / "core").glob("*.cpp")) + sorted((ROOT / "tests" / "cpp").glob("*.cpp"))
    newest = max(p.stat().st_mtime for p in sources + list((ROOT / "src" / "core").glob("*.hpp")))
    if exe.exists() and exe.stat().st_mtime > newest:
        return exe
    cxx = os.environ.get("CXX", shutil.which("g++") or "c++")
    cmd = [cxx, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", f"-I{ROOT / 'src'}",
           *map(str, sources), "-ltbb", "-lpthread", "-o", str(exe)]
    subprocess.run(cmd, check=True)
    return exe


_EXE = None


def _exe() -> pathlib.Path:
    global _EXE
    if _EXE is None:
        _EXE = _build()
    return _EXE


def _names() -> list[str]:
    out = subprocess.run([str(_exe()), "--list"], check=True, capture_output=True, text=True).stdout
    return out.split()


@pytest.mark.parametrize("name", _names())
def test_core(name):
    run = subprocess.run([str(_exe()), name], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
