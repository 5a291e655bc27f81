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

# Runs a consumer program against a loopback collector and checks that its line arrived.
run_consumer() {
  local program="$1" collector="$2" work
  work="$(mktemp -d)"
  "$collector" --port 0 --port-file "$work/port" --out "$work/records.jsonl" 2>"$work/log" &
  local pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  local status=0
  "$program" http://127.0.0.1 "$(cat "$work/port")" "$work" || status=$?
  "${program}_cpp" || status=$?
  kill -TERM "$pid"; wait "$pid" || true
  grep -q '"hello from the consumer project"' "$work/records.jsonl" 2>/dev/null || status=1
  rm -rf "$work"
  [ "$status" -eq 0 ] || { echo "consumer $program failed" >&2; return 1; }
}

# examples/consumer, an application project outside this tree, built against the native
# build's installation (CMake package, pkg-config) and with add_subdirectory (static library,
# dependencies provided by the application). Checks the subproject's hygiene as it configures.
consumer_tests() {
  local native="$PWD/build/ci-native" out="$PWD/build/ci-consumer"
  local collector="$native/tools/quillmark_collector"
  rm -rf "$out"
  cmake --install "$native" --prefix "$out/prefix" >/dev/null
  echo "=== consumer: find_package(quillmark CONFIG) ==="
  cmake -S examples/consumer -B "$out/package" -DQUILLMARK_CONSUME=package \
    -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
  cmake --build "$out/package" -j"$jobs"
  run_consumer "$out/package/quillmark_consumer" "$collector"
  echo "=== consumer: pkg-config ==="
  PKG_CONFIG_PATH="$out/prefix/lib/pkgconfig" cmake -S examples/consumer -B "$out/pkg-config" \
    -DQUILLMARK_CONSUME=pkg-config >/dev/null
  cmake --build "$out/pkg-config" -j"$jobs"
  run_consumer "$out/pkg-config/quillmark_consumer" "$collector"
  echo "=== consumer: add_subdirectory (static, provided dependencies) ==="
  cmake -S examples/consumer -B "$out/subdirectory" -DQUILLMARK_CONSUME=subdirectory \
    -DQUILLMARK_SOURCE_DIR="$PWD" -DQUILLMARK_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$out/subdirectory" -j"$jobs"
  cmake -DLIB="$out/subdirectory/quillmark/src/libquillmark.a" -P tests/api/check_exports.cmake
  run_consumer "$out/subdirectory/quillmark_consumer" "$collector"
}

for stage in "${stages[@]}"; do
  case "$stage" in
    native)
      configure_and_test build/ci-native -DCMAKE_BUILD_TYPE=RelWithDebInfo
      consumer_tests ;;
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
