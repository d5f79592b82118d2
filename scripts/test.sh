#!/usr/bin/env bash
# Builds quorvel and runs the whole test suite (Python tests and the C++ core tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${PYTHON:-python3}" -m pytest -q -p no:cacheprovider tests "$@"
