#!/usr/bin/env bash
# Builds quorvel and runs the whole test suite (Python tests and the C++ core tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# One progress line per test file, and the reason of every skip (-rs).
exec "${PYTHON:-python3}" -m pytest -rs -p no:cacheprovider tests "$@"
