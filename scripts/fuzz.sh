#!/usr/bin/env bash
# Coverage-guided fuzzing of the code that reads untrusted bytes (fuzz/): builds the libFuzzer
# targets with clang, runs each for the given time over a copy of its seed corpus, and fails
# when any of them reports a crash, a leak or a sanitizer finding. Inputs that fail are kept in
# build/fuzz/artifacts/<target>/, the output in build/fuzz/artifacts/<target>.log.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

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

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()
for source in fuzz/fuzz_*.cpp; do
  target="$(basename "$source" .cpp)"
  artifacts="$build/artifacts/$target"
  log="$build/artifacts/$target.log"
  mkdir -p "$work/$target" "$artifacts"
  # A copy: what a run adds to its corpus is not kept in the source tree.
  [ -d "fuzz/corpus/$target" ] && cp -R "fuzz/corpus/$target/." "$work/$target/"
  echo "=== $target: $seconds s ==="
  if "$build/fuzz/quillmark_$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "$work/$target" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  else
    failed+=("$target")
    tail -n 60 "$log"
    echo "fuzz: $target failed; inputs in $artifacts/" >&2
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "=== fuzz: failed: ${failed[*]} ===" >&2
  exit 1
fi
echo "=== fuzz: every target ran $seconds s without a finding ==="
