#!/usr/bin/env bash
# Installs what is needed, builds Vorsel, and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
exec build/Vorsel.app/Contents/Linux/vorsel "$@"
