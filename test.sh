#!/usr/bin/env bash
# Builds and runs every test: once in the portable build (ZEVA_PORTABLE: the
# portable implementation of every platform service), once under
# AddressSanitizer and UndefinedBehaviorSanitizer with the Linux ones; then
# each fuzzing harness for 15 s.
set -euo pipefail
cd "$(dirname "$0")"
. ./tools.sh
zeva_install_missing

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Portable build"
cmake -S . -B build-portable -DCMAKE_BUILD_TYPE=Debug -DZEVA_PORTABLE=ON >/dev/null
cmake --build build-portable -j"$jobs"
ctest --test-dir build-portable --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZEVA_SANITIZE=ON -DZEVA_PORTABLE=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== Fuzzing, 15 s per harness"
./fuzz.sh 15
