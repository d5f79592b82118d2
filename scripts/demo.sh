#!/usr/bin/env bash
# Builds quorvel and runs the demo on the sample table kept in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${PYTHON:-python3}" examples/demo.py
