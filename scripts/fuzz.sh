#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang, ASan and UBSan) and runs
# each for a bounded time from its seed corpus in fuzz/corpus/<name>/.
# Inputs the fuzzers find are kept in the build folder, not in the tree; a
# crash leaves its input in <build>/artifacts/ and fails the run.
#
# Usage: scripts/fuzz.sh [SECONDS-EACH] [build-folder]   (default: 30, build-fuzz)
# VORSEL_BUILD_ONLY=1 builds them and runs none.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${2:-build-fuzz}

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed for libFuzzer" >&2
  exit 2
fi
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build"
[ "${VORSEL_BUILD_ONLY:-}" = 1 ] && exit 0

mkdir -p "$build/artifacts"
failed=()
for name in rules requirement seal keyfile; do
  fuzzer="$build/fuzz_$name"
  [ -x "$fuzzer" ] || { echo "fuzz.sh: no $fuzzer" >&2; failed+=("$name"); continue; }
  found="$build/corpus/$name"
  mkdir -p "$found"
  echo "== fuzz_$name for ${seconds}s"
  # -timeout catches unbounded work on one input (a hang fails like a crash);
  # -rss_limit_mb catches unbounded memory.
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
        "$found" "fuzz/corpus/$name" 2>"$build/fuzz_$name.log"; then
    tail -n 60 "$build/fuzz_$name.log" >&2
    failed+=("$name")
  else
    grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)' \
      "$build/fuzz_$name.log" || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz.sh: failed: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
echo "fuzz.sh: no crash, hang or leak in ${seconds}s each"
