"""Configures and builds one of the CMake targets that are not part of the extension build:
`quorvel_core_tests` (the C++ core tests) or `quorvel_column_pass_bench` (the column-pass
benchmark). Both compile the same `quorvel_core` objects as the extension, with its flags.

    python scripts/build_core.py TARGET

Prints the path of the built executable. The CMake definitions in SKBUILD_CMAKE_DEFINE
(`KEY=VALUE;...`, as for the extension build) apply here too, so a CI build with warnings as
errors or with sanitizers builds its core tests the same way; each set of definitions gets a
build directory of its own under build/, kept for incremental rebuilds.
"""

import argparse
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUTPUT_NAMES = {"quorvel_core_tests": "core_tests", "quorvel_column_pass_bench": "column_pass"}


def cmake_program() -> str:
    found = shutil.which("cmake")
    if found:
        return found
    try:  # the cmake package from PyPI, as the build requirements may have installed it
        import cmake

        return str(pathlib.Path(cmake.CMAKE_BIN_DIR) / "cmake")
    except ImportError:
        sys.exit("build_core.py: CMake is needed to build the C++ core tests; install it (pip install cmake)")


def defines() -> list[str]:
    return [d.strip() for d in os.environ.get("SKBUILD_CMAKE_DEFINE", "").split(";") if d.strip()]


def build(target: str, build_type: str = "Release") -> pathlib.Path:
    settings = [f"CMAKE_BUILD_TYPE={build_type}", *defines()]
    # The core and its tests do not depend on the Python that configures the build: every
    # Python shares one build directory per set of definitions.
    key = hashlib.sha1("\n".join(settings).encode()).hexdigest()[:10]
    build_dir = ROOT / "build" / f"core-{key}"
    cmake = cmake_program()
    if not (build_dir / "CMakeCache.txt").exists():
        subprocess.run([cmake, "-S", str(ROOT), "-B", str(build_dir), f"-DPython_EXECUTABLE={sys.executable}",
                        *(f"-D{d}" for d in settings)], check=True, stdout=subprocess.DEVNULL)
    jobs = str(max(1, len(os.sched_getaffinity(0))))
    subprocess.run([cmake, "--build", str(build_dir), "--target", target, "--parallel", jobs], check=True,
                   stdout=subprocess.DEVNULL)
    return build_dir / OUTPUT_NAMES[target]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("target", choices=sorted(OUTPUT_NAMES))
    args = parser.parse_args()
    print(build(args.target))


if __name__ == "__main__":
    main()
