#!/usr/bin/env bash
# The whole test run: set-up, a warnings-as-errors build with the test suite, the suite again
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, and a 32-bit x86
# build whose tests run under qemu-i386, then every fuzz target for 10 s (scripts/fuzz.sh).
# While one stage's tests run, the next stage builds at the lowest CPU priority: the tests
# mostly wait on sockets and child processes, and the build takes only the time they leave.
# Each step prints its wall time and the CPU time it took; the run ends with a summary.
# Usage: scripts/test.sh [native|asan|tsan|i386|fuzz ...]   (default: all five)
# QM_JOBS: parallel compile jobs (default: the core count); QM_TEST_JOBS: test cases run at once
# in every stage; QM_CCACHE=0: compile without ccache even where it is installed.
set -euo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$0")/.."

# Internal: "--build STAGE" builds one stage, for a run that does so behind another's tests.
build_behind=""
if [ "${1:-}" = "--build" ]; then
  build_behind="$2"
  set --
fi
stages=("$@")
[ "${#stages[@]}" -eq 0 ] && stages=(native asan tsan i386 fuzz)
for stage in "${stages[@]}"; do
  case "$stage" in
    native | asan | tsan | i386 | fuzz) ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
jobs="${QM_JOBS:-$(nproc)}"
# Five builds of one tree, most of whose sources no commit touches: where ccache is installed,
# every configure of this run (fuzz.sh and the consumer projects included) compiles through it,
# so a later run in the same place compiles only what changed. CMake reads these variables
# as the launchers' defaults.
if [ "${QM_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
fi
# ctest runs every test case as a process of its own. Natively most of them sleep on sockets and
# child processes rather than compute, so four per core keep the cores busy. Under the sanitizers
# and qemu they compute several times more, and the cases that hold a deadline (a child's time
# limit, a record that must arrive within seconds) missed it at four per core on this shared
# machine: one per core there.
test_jobs="${QM_TEST_JOBS:-$((jobs * 4))}"
checked_test_jobs="${QM_TEST_JOBS:-$jobs}"

background=""  # the build running behind the tests: a session and process group of its own
if [ -z "${QM_TEST_SUMMARY:-}" ]; then
  scratch="$(mktemp -d)"
  export QM_TEST_SUMMARY="$scratch/summary"
  cleanup() {
    [ -n "$background" ] && kill -- -"$background" 2>/dev/null
    rm -rf "$scratch"
  }
  trap cleanup EXIT
fi

# CPU time (user+sys, in clock ticks) of the child processes the shell with the given id has
# waited for, their own children included: wall time is noisy on a shared machine, CPU time
# much less so.
clock_ticks="$(getconf CLK_TCK)"
children_cpu() {
  local fields
  read -r -a fields <"/proc/$1/stat"
  echo $((fields[15] + fields[16]))
}
timed() {
  local label="$1"; shift
  local start=$SECONDS shell=$BASHPID cpu_before line
  cpu_before="$(children_cpu "$shell")"
  "$@"
  line="$(printf '%-28s %5d s wall %6d s CPU' "$label" $((SECONDS - start)) \
          $((($(children_cpu "$shell") - cpu_before) / clock_ticks)))"
  echo "=== $line ==="
  echo "$line" >>"$QM_TEST_SUMMARY"
}

configure() {
  local dir="$1"; shift
  echo "=== $dir ==="
  cmake -S . -B "$dir" -DQUILLMARK_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
}
build() { cmake --build "$1" -j"$jobs" "${@:2}"; }
run_tests() { ctest --test-dir "$1" --output-on-failure -j"${2:-$checked_test_jobs}"; }

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
  # The licences an app must pass on travel with the installation.
  local doc
  for doc in LICENSE THIRD_PARTY_NOTICES.md; do
    cmp "$doc" "$out/prefix/share/doc/quillmark/$doc" ||
      { echo "cmake --install did not install $doc" >&2; return 1; }
  done
  echo "=== consumer: find_package(quillmark CONFIG) ==="
  cmake -S examples/consumer -B "$out/package" -DQUILLMARK_CONSUME=package \
    -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
  build "$out/package"
  run_consumer "$out/package/quillmark_consumer" "$collector"
  check_consumer_symbols "$out/package"
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
  check_consumer_symbols "$out/subdirectory"
}

# quillmark_add_symbols: the consumer's installation holds its symbol file in the store layout.
check_consumer_symbols() {
  cmake --install "$1" --prefix "$1/installed" >/dev/null
  local sym
  sym="$(ls "$1"/installed/share/quillmark_consumer/symbols/quillmark_consumer/*/quillmark_consumer.sym)"
  head -n 1 "$sym" | grep -q '^MODULE Linux x86_64 [0-9A-F]* quillmark_consumer$' &&
    grep -q ' main$' "$sym" || { echo "consumer: no usable symbol file in $1/installed" >&2; return 1; }
}

# Stages that only run the suite leave out the example app and the benchmarks.
suite_only=(-DQUILLMARK_BUILD_EXAMPLES=OFF -DQUILLMARK_BUILD_BENCHMARKS=OFF)

build_stage() {
  case "$1" in
    native)
      configure build/ci-native -DCMAKE_BUILD_TYPE=RelWithDebInfo
      build build/ci-native ;;
    asan)
      configure build/ci-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=address,undefined \
        "${suite_only[@]}"
      build build/ci-asan ;;
    tsan)
      build_native_collector
      configure build/ci-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_SANITIZE=thread \
        -DQUILLMARK_BUILD_TOOLS=OFF -DQM_COLLECTOR_EXE="$native_collector"
      build build/ci-tsan ;;
    i386)
      build_native_collector
      configure build/ci-i386 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake -DQUILLMARK_BUILD_TOOLS=OFF \
        -DQM_COLLECTOR_EXE="$native_collector"
      build build/ci-i386 ;;
    fuzz)
      echo "=== build/fuzz ==="
      scripts/fuzz.sh --build-only ;;
  esac
}

test_stage() {
  case "$1" in
    native)
      run_tests build/ci-native "$test_jobs"
      timed "native consumer" consumer_tests ;;
    asan) run_tests build/ci-asan ;;
    tsan)
      # ThreadSanitizer needs the classic address-space layout on kernels with high ASLR entropy.
      TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        setarch "$(uname -m)" -R ctest --test-dir build/ci-tsan --output-on-failure \
        -j"$checked_test_jobs" ;;
    i386) run_tests build/ci-i386 ;;
    fuzz) scripts/fuzz.sh 10 ;;
  esac
}

# The next stage's build, behind the tests, at the lowest priority and in a session of its own
# (no terminal can stop it, and a failing run stops all of it); its output waits in a file.
start_background_build() {
  setsid --wait nice -n 19 bash "$self" --build "$1" >"${QM_TEST_SUMMARY%/*}/$1.build.log" 2>&1 &
  background=$!
}
# The tests are done: what is left of the build takes its share of the machine again (lowering
# a niceness needs root, as in CI; elsewhere the build just goes on at the lowest priority).
finish_background_build() {
  local status=0 start=$SECONDS line
  renice -n 0 -g "$background" >/dev/null 2>&1 || true
  wait "$background" || status=$?
  background=""
  cat "${QM_TEST_SUMMARY%/*}/$1.build.log"
  [ "$status" -eq 0 ] || { echo "=== $1 build failed ===" >&2; exit "$status"; }
  line="$(printf '%-28s %5d s wall' "$1 build (waited for)" $((SECONDS - start)))"
  echo "=== $line ==="
  echo "$line" >>"$QM_TEST_SUMMARY"
}

if [ -n "$build_behind" ]; then
  timed "$build_behind build (behind tests)" build_stage "$build_behind"
  exit 0
fi

# Only the i386 stage needs the 32-bit tool chain and qemu.
setup_args=()
for stage in "${stages[@]}"; do [ "$stage" = i386 ] && setup_args=(--i386); done
timed setup scripts/setup.sh "${setup_args[@]}"
built=""
for index in "${!stages[@]}"; do
  stage="${stages[index]}"
  if [ "$built" = "$stage" ]; then
    finish_background_build "$stage"
  else
    timed "$stage build" build_stage "$stage"
  fi
  next="${stages[index + 1]:-}"
  built=""
  if [ -n "$next" ]; then
    start_background_build "$next"
    built="$next"
  fi
  timed "$stage tests" test_stage "$stage"
done
cat "$QM_TEST_SUMMARY"
echo "=== all stages passed: ${stages[*]} ==="
