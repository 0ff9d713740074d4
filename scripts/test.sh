#!/usr/bin/env bash
# Builds the library and runs every test: once as a normal build, then a
# check of the Linux package (scripts/package.sh), a 10-second load run of
# the reference server, a short run of the fuzzers, then the suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# library's suites under ThreadSanitizer, and last the Windows stage
# (KLSRV32.dll cross-built and tested under Wine, its zip for developers,
# scripts/windows_stage.sh).  Installs the Debian packages it needs when
# they are missing.  KL_FUZZ_SECONDS sets each fuzzer's run (default 10);
# KL_SKIP_WINDOWS=1 leaves the Windows stage out.
#
# The PostgreSQL stage: one throwaway cluster (scripts/pg_cluster.sh) runs
# for the whole script, and the tests labelled postgres find it through
# KL_PG_DSN, KL_PG_TEST_USER and KL_PG_TEST_PASSWORD in the normal, the
# sanitizer and the ThreadSanitizer runs.  When PostgreSQL cannot be
# installed or started, a "PostgreSQL stage SKIPPED" line says why, those
# tests are left out and the rest still counts.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install_missing.sh
install_missing cmake ninja-build g++ binutils pkg-config libgtest-dev libgmock-dev clang libclang-rt-14-dev libsqlite3-dev libsodium-dev libpq-dev pandoc help2man man-db

source scripts/pg_cluster.sh
trap pg_cluster_stop EXIT
pg_skipped=
if ! pg_install || ! pg_cluster_start; then
  pg_skipped=$PG_SKIP_REASON
  echo "PostgreSQL stage SKIPPED: $pg_skipped"
  # Nor may the tests find some other server named in our environment.
  unset KL_PG_DSN KL_PG_TEST_USER KL_PG_TEST_PASSWORD
fi
# Arguments for every ctest run: without a cluster the PostgreSQL tests are
# left out.
pg_ctest=()
if [ -n "$pg_skipped" ]; then pg_ctest=(-LE postgres); fi

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" "${pg_ctest[@]}"

# The Linux tarball of scripts/package.sh: its files, and a C program built
# against it (pkg-config and CMake) after it was unpacked and moved.
echo "== Linux package =="
tests/install/package_check.sh linux

# Correctness under concurrent writers: every insert of 8 client processes
# read back and found once, no call failed (the rates are informational).
echo "== load run: 10 s, 8 clients =="
KL_LOAD_BUILD=build scripts/load.sh 10 8

# Several servers, one PostgreSQL database (the test cluster's): 8 clients
# over 2 servers, every insert found once; E through one server keeps the
# other's connects out, and a killed server's lock goes with it.
if [ -n "${KL_PG_DSN:-}" ]; then
  echo "== two-server PostgreSQL run: 10 s, 8 clients over 2 servers =="
  KL_LOAD_BUILD=build KL_LOAD_BACKEND=postgres KL_LOAD_SERVERS=2 scripts/load.sh 10 8
else
  echo "two-server PostgreSQL run SKIPPED: no cluster"
fi

# Informational: the figures do not fail the script, a crash does.
echo "== round-trip benchmark =="
build/bench/round_trip_bench

echo "== fuzz the readers of untrusted input (${KL_FUZZ_SECONDS:=10} s each) =="
scripts/fuzz.sh "$KL_FUZZ_SECONDS"

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
# tests/lsan.supp, when there, lists leaks of one-time allocations inside
# other libraries (each with its reason) that LeakSanitizer is to ignore.
lsan_options=
if [ -f tests/lsan.supp ]; then lsan_options=suppressions=$PWD/tests/lsan.supp; fi
LSAN_OPTIONS=$lsan_options \
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" "${pg_ctest[@]}"

echo "== build and test under ThreadSanitizer =="
# The library's own suites (its frame, options, transport and platform, the
# calls against the test peer), threads_test, where four threads call at
# once on one connection, and e2e_test, which also watches the reference
# server's threads serving several clients at once (cheap: seconds to
# build and run).  Left out: criteria_test (the server's parser alone, one
# thread), fault_injection_test (one thread; it replaces operator new,
# which the sanitizer's runtime defines, so that build leaves it out), and
# the export, header, install and program tests, which start processes or
# check files and have no threads of their own.  A report halts the test
# that made it and fails the stage; reports also go to build-tsan/tsan.*,
# so a test that captures standard error cannot hide one.
tsan_suites="frame_test options_test transport_test platform_test calls_test threads_test e2e_test"
# With the PostgreSQL stage, also these runs of the programs above against
# the cluster (CTest labels).
tsan_pg_labels="e2e_test_postgres threads_test_postgres"
tsan_labels=$tsan_suites
if [ -z "$pg_skipped" ]; then tsan_labels+=" $tsan_pg_labels"; fi
tsan_started=$(date +%s)
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKL_TSAN=ON >/dev/null
# shellcheck disable=SC2086 # the list is split on purpose
cmake --build build-tsan -j "$jobs" --target $tsan_suites
rm -f build-tsan/tsan.*
tsan_status=0
TSAN_OPTIONS="halt_on_error=1 log_path=$PWD/build-tsan/tsan" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L "^(${tsan_labels// /|})\$" "${pg_ctest[@]}" || tsan_status=$?
if compgen -G "build-tsan/tsan.*" >/dev/null; then
  cat build-tsan/tsan.*
  echo "ThreadSanitizer reported the races above"
  exit 1
fi
[ "$tsan_status" = 0 ] || exit "$tsan_status"
echo "ThreadSanitizer stage: no report ($(($(date +%s) - tsan_started)) s)"

if [ "${KL_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "Windows stage SKIPPED: KL_SKIP_WINDOWS=1"
else
  scripts/windows_stage.sh
fi

# Said again at the end, where it is seen.
if [ -n "$pg_skipped" ]; then echo "PostgreSQL stage SKIPPED: $pg_skipped"; fi
