#!/usr/bin/env bash
# The whole test run: set-up, a warnings-as-errors build with the test suite, the suite again
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, and a 32-bit x86
# build whose tests run under qemu-i386, then every fuzz target for 20 s (scripts/fuzz.sh).
# Each step prints its wall time and the CPU time it took, and the run ends with a summary.
# Usage: scripts/test.sh [native|asan|tsan|i386|fuzz ...]   (default: all five)
# QM_JOBS: parallel compile jobs (default: the core count); QM_TEST_JOBS: test cases run at once.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ "${#stages[@]}" -eq 0 ] && stages=(native asan tsan i386 fuzz)
jobs="${QM_JOBS:-$(nproc)}"
# ctest runs every test case as a process of its own, and most of them sleep on sockets and
# child processes rather than compute: several per core keep the cores busy.
test_jobs="${QM_TEST_JOBS:-$((jobs * 4))}"

# CPU time (user+sys, in clock ticks) of the child processes this shell has waited for, their
# own children included: wall time is noisy on a shared machine, CPU time much less so.
clock_ticks="$(getconf CLK_TCK)"
children_cpu() {
  local fields
  read -r -a fields </proc/$$/stat
  echo $((fields[15] + fields[16]))
}
summary=()
timed() {
  local label="$1"; shift
  local start=$SECONDS cpu_before line
  cpu_before="$(children_cpu)"
  "$@"
  line="$(printf '%-20s %5d s wall %6d s CPU' "$label" $((SECONDS - start)) \
          $((($(children_cpu) - cpu_before) / clock_ticks)))"
  echo "=== $line ==="
  summary+=("$line")
}

timed setup scripts/setup.sh --i386

configure() {
  local dir="$1"; shift
  echo "=== $dir ==="
  cmake -S . -B "$dir" -DQUILLMARK_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
}
build() { cmake --build "$1" -j"$jobs" "${@:2}"; }
run_tests() { ctest --test-dir "$1" --output-on-failure -j"$test_jobs"; }

# Stages that only run the suite leave out the example app and the benchmarks.
suite_only=(-DQUILLMARK_BUILD_EXAMPLES=OFF -DQUILLMARK_BUILD_BENCHMARKS=OFF)

# The loopback collector is a test harness, not code under test: the tsan and i386 stages run
# the native build's instead of building their own (i386 cannot build it at all).
native_collector="$PWD/build/ci-native/tools/quillmark_collector"
build_native_collector() {
  [ -f build/ci-native/CMakeCache.txt ] ||
    configure build/ci-native -DCMAKE_BUILD_TYPE=RelWithDebInfo
  build build/ci-native --target quillmark_collector
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
  build "$out/package"
  run_consumer "$out/package/quillmark_consumer" "$collector"
  echo "=== consumer: pkg-config ==="
  PKG_CONFIG_PATH="$out/prefix/lib/pkgconfig" cmake -S examples/consumer -B "$out/pkg-config" \
    -DQUILLMARK_CONSUME=pkg-config >/dev/null
  build "$out/pkg-config"
  run_consumer "$out/pkg-config/quillmark_consumer" "$collector"
  echo "=== consumer: add_subdirectory (static, provided dependencies) ==="
  cmake -S examples/consumer -B "$out/subdirectory" -DQUILLMARK_CONSUME=subdirectory \
    -DQUILLMARK_SOURCE_DIR="$PWD" -DQUILLMARK_WARNINGS_AS_ERRORS=ON >/dev/null
  build "$out/subdirectory"
  cmake -DLIB="$out/subdirectory/quillmark/src/libquillmark.a" -P tests/api/check_exports.cmake
  run_consumer "$out/subdirectory/quillmark_consumer" "$collector"
}

for stage in "${stages[@]}"; do
  case "$stage" in
    native)
      configure build/ci-native -DCMAKE_BUILD_TYPE=RelWithDebInfo
      timed "native build" build build/ci-native
      timed "native tests" run_tests build/ci-native
      timed "native consumer" consumer_tests ;;
    asan)
      configure build/ci-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=address,undefined \
        "${suite_only[@]}"
      timed "asan build" build build/ci-asan
      timed "asan tests" run_tests build/ci-asan ;;
    tsan)
      timed "tsan collector" build_native_collector
      configure build/ci-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_SANITIZE=thread \
        -DQUILLMARK_BUILD_TOOLS=OFF -DQM_COLLECTOR_EXE="$native_collector"
      timed "tsan build" build build/ci-tsan
      # ThreadSanitizer needs the classic address-space layout on kernels with high ASLR entropy.
      timed "tsan tests" env TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        setarch "$(uname -m)" -R ctest --test-dir build/ci-tsan --output-on-failure -j"$test_jobs" ;;
    i386)
      timed "i386 collector" build_native_collector
      configure build/ci-i386 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake -DQUILLMARK_BUILD_TOOLS=OFF \
        -DQM_COLLECTOR_EXE="$native_collector"
      timed "i386 build" build build/ci-i386
      timed "i386 tests" run_tests build/ci-i386 ;;
    fuzz)
      echo "=== build/fuzz ==="
      timed fuzz scripts/fuzz.sh 20 ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
printf '%s\n' "${summary[@]}"
echo "=== all stages passed: ${stages[*]} ==="
