#!/usr/bin/env bash
# Builds the Debian package zeva_<version>_<arch>.deb in this folder, from a
# Release build of its own (build-release/). Install it with
#   apt install ./zeva_*.deb
set -euo pipefail
cd "$(dirname "$0")"
. ./tools.sh
zeva_install_missing

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release --target zeva_dist -j"$jobs"
rm -rf build-release/package
cpack --config build-release/CPackConfig.cmake -B build-release/package
for deb in build-release/package/zeva_*.deb; do
    cp "$deb" .
    echo "Made $(basename "$deb"):"
    dpkg-deb -c "$deb"
done
