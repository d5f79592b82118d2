"""The installed type stubs, as mypy and pyright see them from a user's script."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

# Every line of the user's script that ends in "# wrong" must be flagged, and no other.
USER_SCRIPT = """\
import numpy as np
import numpy.typing as npt
import pandas as pd
import quorvel

enc = quorvel.Encoder()
enc = quorvel.Encoder("label")
enc = quorvel.Encoder(encoding=None)
arr = np.array([["a", 1], ["b", 2]], dtype=object)
frame = pd.DataFrame({"city": ["Oslo", "Lisbon"], "age": [31, 45]})

codes, text_columns = enc.encode(arr)
as_floats: npt.NDArray[np.float64] = codes
columns: list[int] | None = text_columns
frame_codes, _ = enc.encode(obj=frame)
as_frame: pd.DataFrame = frame_codes
restored: npt.NDArray = enc.decode(codes)
restored_frame: pd.DataFrame = enc.decode(frame_codes)
state: bytes = enc.__getstate__()
enc.__setstate__(state)
enc.__setstate__(state=state)

enc.encode(arr, 3)  # wrong
enc.encode([["a"]])  # wrong
enc.decode()  # wrong
quorvel.Encoder("onehot")  # wrong
enc.__setstate__("x")  # wrong
first: list[int] = enc.encode(arr)[1]  # wrong
not_text: str = enc.decode(arr)  # wrong
quorvel.Encoder().fit(arr)  # wrong
"""


def _wrong_lines() -> set[int]:
    return {n for n, line in enumerate(USER_SCRIPT.splitlines(), 1) if line.endswith("# wrong")}


def _mypy_lines(script: pathlib.Path) -> set[int]:
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--no-incremental",
         "--cache-dir", str(script.parent / "mypy-cache"), "--no-error-summary", "--hide-error-context",
         str(script)],
        capture_output=True, text=True, timeout=600, cwd=script.parent)
    assert run.returncode in (0, 1), run.stdout + run.stderr
    assert "Cannot find implementation or library stub" not in run.stdout, run.stdout
    return {int(m.group(1)) for m in re.finditer(rf"^{re.escape(script.name)}:(\d+): error:", run.stdout, re.M)}


def _pyright_lines(script: pathlib.Path) -> set[int]:
    run = subprocess.run(
        [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "--outputjson", str(script)],
        capture_output=True, text=True, timeout=600, cwd=script.parent)
    report = json.loads(run.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert not any("could not be resolved" in d["message"] for d in errors), errors
    return {d["range"]["start"]["line"] + 1 for d in errors}


@pytest.mark.parametrize("checker", [_mypy_lines, _pyright_lines], ids=["mypy", "pyright"])
def test_checkers_flag_exactly_the_wrong_calls(checker, tmp_path):
    script = tmp_path / "user_script.py"
    script.write_text(USER_SCRIPT)
    assert checker(script) == _wrong_lines()
