#!/usr/bin/env bash
# Installs what is needed, builds everything, and runs the whole test suite.
# Usage: scripts/test.sh [build-folder]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/setup.sh
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
cmake -S . -B "$build" -G Ninja -DVORSEL_WERROR=$werror >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --timeout 300 -j2
