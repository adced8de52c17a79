#!/usr/bin/env bash
# Installs what is missing, builds every flavour and runs every test.
#   Debug with AddressSanitizer and UndefinedBehaviorSanitizer: all unit tests, through CTest.
#   Release: the tools and benchmarks (built, not timed here).
#   Fuzz (clang, libFuzzer): each fuzz target runs briefly over its seed corpus.
# FUZZ_SECONDS sets the length of each fuzz run (default 15).
# VELMARON_TSAN=1 adds a ThreadSanitizer build of the Oracle client tests and the engine's thread
# tests (remote server, shared-table stress) and runs them; it must report nothing. It takes
# minutes, so CI leaves it out.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/common.sh

install_missing

echo "== Formatting"
check_format
echo "== Include graph"
check_includes

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== Debug build with sanitizers"
configure_build build/debug -DCMAKE_BUILD_TYPE=Debug -DVELMARON_SANITIZE=ON -DVELMARON_BENCH=OFF
echo "== Tests"
ctest --test-dir build/debug --output-on-failure -j "$(jobs)" --timeout 600

if [ -n "${VELMARON_TSAN:-}" ]; then
  echo "== ThreadSanitizer: the Oracle client and the engine's thread tests"
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMARON_TSAN=ON -DVELMARON_BENCH=OFF >/dev/null
  cmake --build build/tsan -j "$(jobs)" --target oracle_tests engine_tables_tests
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} build/tsan/tests/oracle/oracle_tests
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    build/tsan/tests/engine/tables/engine_tables_tests --gtest_filter='RemoteProtocolTest.*:SharedTableStress.*'
fi

echo "== Release build (tools and benchmarks)"
configure_build build/release -DCMAKE_BUILD_TYPE=Release -DVELMARON_TESTS=OFF

echo "== Fuzz targets"
configure_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVELMARON_FUZZ=ON -DVELMARON_TESTS=OFF
FUZZ_SECONDS=${FUZZ_SECONDS:-15} ctest --test-dir build/fuzz --output-on-failure -j "$(jobs)" -L fuzz \
  --no-tests=ignore
