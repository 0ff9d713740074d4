#!/usr/bin/env bash
# Line and branch coverage of the library's sources (src/) by its own test
# suite, measured with clang's source-based coverage:
#
#     scripts/coverage.sh
#
# Builds the test programs in build-coverage (clang, -O0, instrumented),
# runs each once with its profile written to build-coverage/profiles,
# merges the profiles and prints llvm-cov's report for src/ alone (tests,
# server and tools left out): per file, then the total.  KL_COVERAGE_E2E=1
# runs the end-to-end tests against the reference server as well.  The
# annotated sources are left in build-coverage/html/index.html.  Installs
# the Debian packages it needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/install_missing.sh
install_missing cmake ninja-build clang llvm-14 libgtest-dev libgmock-dev libsqlite3-dev libpq-dev libsodium-dev

programs=(frame_test options_test transport_test platform_test calls_test fault_injection_test)
[ "${KL_COVERAGE_E2E:-0}" = 1 ] && programs+=(e2e_test)

flags="-fprofile-instr-generate -fcoverage-mapping"
jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B build-coverage -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
  -DCMAKE_SHARED_LINKER_FLAGS=-fprofile-instr-generate >/dev/null
cmake --build build-coverage -j "$jobs" --target "${programs[@]}"

profiles=build-coverage/profiles
rm -rf "$profiles"
mkdir -p "$profiles"
objects=()
for program in "${programs[@]}"; do
  # %p: programs that start processes of their own get a profile each.
  if ! LLVM_PROFILE_FILE="$root/$profiles/$program-%p.profraw" \
      timeout 900 "build-coverage/tests/$program" --gtest_brief=1 >"build-coverage/$program.log" 2>&1; then
    tail -40 "build-coverage/$program.log"
    echo "$program failed: no coverage figures"
    exit 1
  fi
  echo "$program: $(sed -n 's/^\[==========\] \(.*\) ran\..*/\1 passed/p' "build-coverage/$program.log")"
  objects+=(-object "build-coverage/tests/$program")
done

llvm-profdata-14 merge -sparse -o build-coverage/suite.profdata "$profiles"/*.profraw
# The first -object is the program llvm-cov takes as its main binary.
report=(-instr-profile build-coverage/suite.profdata "${objects[@]:1}" "$root/src")
llvm-cov-14 show -format=html -output-dir build-coverage/html -show-branches=count \
  -show-line-counts-or-regions "${objects[@]:1}" -instr-profile build-coverage/suite.profdata \
  "$root/src" 2>/dev/null
echo
llvm-cov-14 report "${report[@]}" | sed "s|$root/||"
echo
llvm-cov-14 report -summary-only "${report[@]}" 2>/dev/null | awk '/^TOTAL/ {
  printf "src/ coverage: lines %s (%d of %d), branches %s (%d of %d)\n",
    $10, $8 - $9, $8, $13, $11 - $12, $11 }'
