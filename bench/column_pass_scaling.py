"""Column pass scaling: the pure C++ column pass on W2-shaped text columns, 1 vs 2 threads.

Builds bench/column_pass.cpp through CMake (the `quorvel_column_pass_bench` target, from the
same core objects as the extension) and runs it in subprocesses with
RAYON_NUM_THREADS=1 and =2 (order 1, 2, 2, 1), printing the median times and their ratio.
The whole encode also holds the sequential cell pass, which no thread count speeds up;
this isolates the part that the worker pool runs.
"""

import argparse
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build() -> pathlib.Path:
    run = subprocess.run([sys.executable, str(ROOT / "scripts" / "build_core.py"), "quorvel_column_pass_bench"],
                         check=True, capture_output=True, text=True)
    return pathlib.Path(run.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    exe = build()
    times = {"1": [], "2": []}
    for threads in ("1", "2", "2", "1"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        env.pop("RAYON_RS_NUM_CPUS", None)
        run = subprocess.run([str(exe), str(args.rows), str(args.repeat)], env=env, check=True,
                             capture_output=True, text=True)
        times[threads].append(float(run.stdout))
    one, two = min(times["1"]), min(times["2"])
    print(f"column pass, {args.rows:,} rows x 4 text columns: "
          f"1 thread {one * 1e3:.1f} ms, 2 threads {two * 1e3:.1f} ms, "
          f"2-thread time / 1-thread time = {two / one:.2f} (speed-up {one / two:.2f}x)")


if __name__ == "__main__":
    main()
