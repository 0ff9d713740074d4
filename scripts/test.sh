#!/usr/bin/env bash
# Builds the library and runs every test: once as a normal build, once
# under AddressSanitizer and UndefinedBehaviorSanitizer.  Installs the
# Debian packages it needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ binutils libgtest-dev libgmock-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
