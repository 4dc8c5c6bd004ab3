#!/usr/bin/env bash
# Builds qtbase 6.4.2 for 64-bit Windows (MinGW-w64) from Debian's source
# package, with only what Zeva needs, and installs it into PREFIX.
#   usage: windows/build-qtbase.sh PREFIX WORKDIR
# Debian's Qt of the same version serves as host tools (QT_HOST_PATH=/usr).
# About 65 CPU-minutes. Debian has no source of Qt Charts: the Qt made here
# has none, and Zeva's traffic window is then built without its chart.
set -euo pipefail
prefix=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cd "$work"

if [ ! -d qt6-base-6.4.2 ]; then
  # Debian's source archive through a list of its own, used for this download only.
  lists=$work/apt
  mkdir -p "$lists/lists/partial" "$lists/sources.list.d"
  echo "deb-src http://deb.debian.org/debian bookworm main" > "$lists/sources.list"
  apt_opts=(-o Dir::Etc::SourceList="$lists/sources.list" -o Dir::Etc::SourceParts="$lists/sources.list.d"
            -o Dir::State::Lists="$lists/lists")
  apt-get "${apt_opts[@]}" update -qq
  apt-get "${apt_opts[@]}" source --download-only qt6-base=6.4.2+dfsg-10 2>/dev/null \
    || apt-get "${apt_opts[@]}" source --download-only qt6-base
  dpkg-source -x --skip-patches qt6-base_*.dsc qt6-base-6.4.2 >/dev/null
  src=qt6-base-6.4.2
  # Fixes for a build with Direct2D and SSL off: Qt Gui compiles its
  # DirectWrite font database only with Direct2D, but the Windows platform
  # plugin uses it whenever DirectWrite 3 is there; and the TLS plugins are
  # entered even without SSL.
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    "$src/src/plugins/platforms/windows/qwindowsintegration.cpp"
  sed -i 's/^\(\s*\)add_subdirectory(tls)/\1if(QT_FEATURE_ssl)\n\1  add_subdirectory(tls)\n\1endif()/' \
    "$src/src/plugins/CMakeLists.txt"
  # And with OpenGL off, the platform plugin still asks dynamic OpenGL
  # (on by default) whether it is software-rendered.
  sed -i '/^static inline bool isSoftwareGl()$/,/^#if/s/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(opengl) \&\& QT_CONFIG(dynamicgl)/' \
    "$src/src/plugins/platforms/windows/qwindowswindow.cpp"
fi

# Debian keeps the host Qt's CMake packages (Qt6HostInfo among them) under
# its multiarch folder, not under QT_HOST_PATH/lib/cmake where Qt looks first.
host_cmake=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -dumpmachine)/cmake
cmake -S qt6-base-6.4.2 -B build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/mingw64.cmake" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$host_cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_ssl=OFF -DFEATURE_icu=OFF -DFEATURE_direct2d=OFF \
  -DFEATURE_tabletevent=OFF -DFEATURE_jpeg=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_doubleconversion=OFF \
  -DFEATURE_system_png=OFF
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
cmake --install build
