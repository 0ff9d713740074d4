#!/usr/bin/env bash
# Builds the library and runs every test: once as a normal build, then a
# short run of the fuzzers, then the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and last the Windows stage (KLSRV32.dll
# cross-built and tested under Wine, scripts/windows_stage.sh).  Installs
# the Debian packages it needs when they are missing.  KL_FUZZ_SECONDS sets
# each fuzzer's run (default 10); KL_SKIP_WINDOWS=1 leaves the Windows
# stage out.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install_missing.sh
install_missing cmake ninja-build g++ binutils pkg-config libgtest-dev libgmock-dev clang libclang-rt-14-dev libsqlite3-dev

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# Informational: the figures do not fail the script, a crash does.
echo "== round-trip benchmark =="
build/bench/round_trip_bench

echo "== fuzz the readers of untrusted input (${KL_FUZZ_SECONDS:=10} s each) =="
scripts/fuzz.sh "$KL_FUZZ_SECONDS"

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

if [ "${KL_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "Windows stage SKIPPED: KL_SKIP_WINDOWS=1"
else
  scripts/windows_stage.sh
fi
