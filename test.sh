#!/usr/bin/env bash
# Builds and runs every test: once plainly, once under AddressSanitizer and
# UndefinedBehaviorSanitizer; then each fuzzing harness for 15 s.
set -euo pipefail
cd "$(dirname "$0")"
. ./tools.sh
zeva_install_missing

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZEVA_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== Fuzzing, 15 s per harness"
./fuzz.sh 15
