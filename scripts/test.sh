#!/usr/bin/env bash
# The whole test run: set-up, a warnings-as-errors build with the test suite, the suite again
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, and a 32-bit x86
# build whose tests run under qemu-i386, then every fuzz target for 20 s (scripts/fuzz.sh).
# Usage: scripts/test.sh [native|asan|tsan|i386|fuzz ...]   (default: all five)
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ "${#stages[@]}" -eq 0 ] && stages=(native asan tsan i386 fuzz)
jobs="${QM_JOBS:-$(nproc)}"

scripts/setup.sh --i386

configure_and_test() {
  local dir="$1"; shift
  echo "=== $dir ==="
  cmake -S . -B "$dir" -DQUILLMARK_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

for stage in "${stages[@]}"; do
  case "$stage" in
    native)
      configure_and_test build/ci-native -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    asan)
      configure_and_test build/ci-asan -DCMAKE_BUILD_TYPE=Debug \
        -DQUILLMARK_SANITIZE=address,undefined ;;
    tsan)
      # ThreadSanitizer needs the classic address-space layout on kernels with high ASLR entropy.
      TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        setarch "$(uname -m)" -R bash -c "$(declare -f configure_and_test); jobs=$jobs; \
        configure_and_test build/ci-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUILLMARK_SANITIZE=thread" ;;
    i386)
      # The loopback collector is a native program; the i386 tests start the native one.
      cmake -S . -B build/ci-native -DQUILLMARK_WARNINGS_AS_ERRORS=ON >/dev/null
      cmake --build build/ci-native -j"$jobs" --target quillmark_collector
      configure_and_test build/ci-i386 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake \
        -DQM_COLLECTOR_EXE="$PWD/build/ci-native/tools/quillmark_collector" ;;
    fuzz)
      echo "=== build/fuzz ==="
      scripts/fuzz.sh 20 ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
echo "=== all stages passed: ${stages[*]} ==="
