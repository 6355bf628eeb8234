#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in a build folder of its own and runs it. Any report fails the run: UBSan
# stops at the first finding, ASan always does, and leaks count.
#
# Usage: scripts/sanitize.sh [build-folder] [ctest args...]   (default: build-asan)
# Set VORSEL_SANITIZE_LABELS to a ctest label regex to run only some areas
# (default: every test), VORSEL_BUILD_ONLY=1 to build and not run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
shift || true

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORSEL_SANITIZE=ON \
      -DVORSEL_BENCH=OFF >/dev/null
cmake --build "$build"
[ "${VORSEL_BUILD_ONLY:-}" = 1 ] && exit 0

# Test binaries pass these on to what they start (tests/as-test-user.sh);
# agents started by a test's private bus run with the sanitizers' defaults,
# which also stop at the first error.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

labels=()
[ -n "${VORSEL_SANITIZE_LABELS:-}" ] && labels=(-L "$VORSEL_SANITIZE_LABELS")
ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 "${labels[@]}" "$@"
