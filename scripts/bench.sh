#!/usr/bin/env bash
# Builds and runs every benchmark, then the 60-second load run, and prints the
# machine they ran on. Figures only: nothing here fails on a slow machine.
# Benchmarks that quit processes run as the throwaway test user when started
# as root (tests/as-test-user.sh).
#
# Usage: scripts/bench.sh [build-folder]   (default: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target workspace_bench link_bench signing_bench session_bench \
  wayland_bench robustness_e2e_tests

echo "== Machine"
echo "cores: $(nproc); CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "kernel: $(uname -r); memory: $(awk '/MemTotal/ {print $2 " kB"}' /proc/meminfo)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
session=absent
scripts/with-user-session.sh --check 2>/dev/null && session="available (scripts/with-user-session.sh)"
echo "real user session: $session"

echo; echo "== Enforcement pass and notice check (workspace_bench)"
tests/as-test-user.sh "$build/bench/workspace_bench"
echo; echo "== Link, on a bare private bus (link_bench)"
tests/as-test-user.sh "$build/bench/link_bench"
echo; echo "== In a real user session: systemd user manager, its bus, the agent as its unit (session_bench)"
if [ "$session" = absent ]; then
  scripts/with-user-session.sh --check || true  # says why
else
  scripts/with-user-session.sh "$build/bench/session_bench"
fi
echo; echo "== On a headless sway (wayland_bench)"
tests/as-test-user.sh "$build/bench/wayland_bench"
for desktop in gnome-shell kwin; do
  echo; echo "== On a headless $desktop, in a real user session (wayland_bench --desktop $desktop)"
  if [ "$session" = absent ]; then
    scripts/with-user-session.sh --check || true  # says why
  else
    scripts/with-user-session.sh "$build/bench/wayland_bench" --desktop "$desktop"
  fi
done
echo; echo "== Signing (signing_bench)"
"$build/bench/signing_bench"
echo; echo "== Load: 8 callers for 60 s"
VORSEL_LOAD_SECONDS=60 GTEST_FILTER='Load.*' tests/as-test-user.sh \
  "$build/tests/e2e/robustness/robustness_e2e_tests"
