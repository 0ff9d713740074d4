#!/usr/bin/env bash
# Runs the libFuzzer targets, one after another, for SECONDS each:
#
#     scripts/fuzz.sh SECONDS [TARGET...]
#
# Builds them in build-fuzz (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), keeps each target's corpus in
# build-fuzz/corpus/TARGET (seeded from fuzz/seeds/TARGET when that
# exists), and prints for each target its executions per second, the
# coverage reached (libFuzzer's cov: edges and ft: features at the end of
# the run), the corpus size and its findings.  The first finding stops the
# script with exit status 1, after the tail of the target's log; the input
# that caused it is left in build-fuzz/artifacts/.  Installs the Debian
# packages it needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS [TARGET...]" >&2
  exit 2
fi
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(fuzz_options fuzz_profile fuzz_exchange fuzz_calls fuzz_criteria fuzz_server)

source scripts/install_missing.sh
install_missing cmake ninja-build clang libclang-rt-14-dev libsqlite3-dev libpq-dev libsodium-dev

jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKL_FUZZ=ON -DKL_SANITIZE=ON -DKL_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target "${targets[@]}"
mkdir -p build-fuzz/artifacts

# The figures of the final stats line ("#N DONE cov: C ft: F corp: ...")
# and of -print_final_stats.
figure() { sed -n "s/.*$1 *\([0-9][0-9]*\).*/\1/p" "$2" | tail -1; }

summary=()
for fuzzer in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$fuzzer"
  log="build-fuzz/$fuzzer.log"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$fuzzer" ] && seeds=("fuzz/seeds/$fuzzer")
  # The server's inputs are sessions of several requests, some of them
  # followed by records of their own: room for them to grow past the
  # largest seed, from the start (libFuzzer otherwise raises its length
  # limit a few bytes at a time, to about 1 KiB in ten minutes).
  options=()
  [ "$fuzzer" = fuzz_server ] && options=(-max_len=16384 -len_control=0)
  echo "== $fuzzer: ${seconds} s =="
  if ! "build-fuzz/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
      "${options[@]}" -artifact_prefix="build-fuzz/artifacts/$fuzzer-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    tail -60 "$log"
    echo "$fuzzer found a fault; the input is in build-fuzz/artifacts/ (log: $log)"
    exit 1
  fi
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(find "$corpus" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
  rate=$(figure 'stat::average_exec_per_sec:' "$log")
  cov=$(figure 'DONE *cov:' "$log")
  ft=$(figure 'DONE.* ft:' "$log")
  echo "$fuzzer: $rate exec/s, cov $cov, ft $ft, corpus $files inputs ($bytes bytes), no finding"
  summary+=("$(printf '%-14s %8s %7s %8s %8s %10s %8s' "$fuzzer" "$rate" "$cov" "$ft" "$files" \
    "$bytes" 0)")
done

echo
printf '%-14s %8s %7s %8s %8s %10s %8s\n' target exec/s cov ft inputs bytes findings
printf '%s\n' "${summary[@]}"
echo "fuzzing: no fault found (${seconds} s per target)"
