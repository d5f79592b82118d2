#!/usr/bin/env bash
# Installs what quorvel needs (system libraries, Python packages) and builds it into the
# current Python. Safe to run again: what is present is not installed twice.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"

# oneTBB and Boost's header-only hash maps, from Debian's packages (xxHash is part of the
# source, in third_party/xxhash).
missing=()
for pkg in libtbb-dev libboost1.81-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if command -v apt-get >/dev/null 2>&1; then
        sudo_cmd=""
        [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
        echo "installing ${missing[*]}"
        $sudo_cmd apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "note: no apt-get here; install oneTBB and Boost >= 1.81 headers yourself (see README)" >&2
    fi
fi

"$PYTHON" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "numpy>=2" "pandas>=2" pytest hypothesis psutil mypy pyright pandas-stubs pyarrow polars
# The sklearn and dask extras: quorvel_ml.sklearn and quorvel_ml.dask and their tests need
# scikit-learn, and dask with distributed (the Dask tests run on a local cluster).
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation ".[sklearn,dask]"
