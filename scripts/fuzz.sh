#!/usr/bin/env bash
# Coverage-guided fuzzing of the code that reads untrusted bytes (fuzz/): builds the libFuzzer
# targets with clang, runs each for the given time over a copy of its seed corpus, and fails
# when any of them reports a crash, a leak or a sanitizer finding. Inputs that fail are kept in
# build/fuzz/artifacts/<target>/, the output in build/fuzz/artifacts/<target>.log.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 30)
#        scripts/fuzz.sh --build-only               (builds the targets, runs none)
# QM_JOBS: compile jobs and targets fuzzed at once (default: the core count); QM_FUZZ_PARALLEL
# sets the second alone.
set -euo pipefail
cd "$(dirname "$0")/.."

build_only=0
[ "${1:-}" = "--build-only" ] && { build_only=1; shift; }
seconds="${1:-30}"
jobs="${QM_JOBS:-$(nproc)}"
build=build/fuzz
cc="$(command -v clang-14 || command -v clang || true)"
cxx="$(command -v clang++-14 || command -v clang++ || true)"
if [ -z "$cc" ] || [ -z "$cxx" ]; then
  echo "fuzz: clang is missing; scripts/setup.sh installs it" >&2
  exit 1
fi

CC="$cc" CXX="$cxx" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMARK_FUZZ=ON -DQUILLMARK_BUILD_TESTS=OFF -DQUILLMARK_BUILD_TOOLS=OFF \
  -DQUILLMARK_WITH_BREAKPAD=OFF >/dev/null
cmake --build "$build" -j"$jobs"
[ "$build_only" = 1 ] && exit 0

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Each target runs on one core for its full time; the cores run that many targets at once.
parallel="${QM_FUZZ_PARALLEL:-$jobs}"
targets=()
for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done

run_target() {
  local target="$1"
  "$build/fuzz/quillmark_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target/" "$work/$target" >"$build/artifacts/$target.log" 2>&1
}

failed=()
for ((first = 0; first < ${#targets[@]}; first += parallel)); do
  batch=("${targets[@]:first:parallel}")
  pids=()
  for target in "${batch[@]}"; do
    mkdir -p "$work/$target" "$build/artifacts/$target"
    # A copy: what a run adds to its corpus is not kept in the source tree.
    [ -d "fuzz/corpus/$target" ] && cp -R "fuzz/corpus/$target/." "$work/$target/"
    echo "=== $target: $seconds s ==="
    run_target "$target" &
    pids+=("$!")
  done
  for index in "${!batch[@]}"; do
    target="${batch[index]}"
    if wait "${pids[index]}"; then
      grep -E '^#[0-9]+[[:space:]]+DONE' "$build/artifacts/$target.log" | sed "s/^/$target: /" || true
    else
      failed+=("$target")
      tail -n 60 "$build/artifacts/$target.log"
      echo "fuzz: $target failed; inputs in $build/artifacts/$target/" >&2
    fi
  done
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "=== fuzz: failed: ${failed[*]} ===" >&2
  exit 1
fi
echo "=== fuzz: every target ran $seconds s without a finding ==="
