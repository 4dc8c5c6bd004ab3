#!/usr/bin/env bash
# Zeva for 64-bit Windows, made on Debian: cross-builds zeva-client.exe,
# zeva.exe and their tests with MinGW-w64 and Qt for MinGW, runs the tests
# under Wine against the Linux zeva-sim, makes the NSIS installer
# zeva-setup-<version>-x64.exe in this folder, and installs, runs and
# uninstalls it under Wine.
#
# Environment:
#   ZEVA_QT_MINGW          Qt 6.4.2 for MinGW (default ~/.cache/zeva/qt-6.4.2-mingw64),
#                          kept and reused while it is there
#   ZEVA_QT_MINGW_TARBALL  a prebuilt copy to unpack there (default
#                          ../shared/windows/qt-6.4.2-mingw64.tar.xz when it exists);
#                          without one (or with ZEVA_QT_MINGW_TARBALL=none), qtbase
#                          is built from Debian's source (windows/build-qtbase.sh,
#                          about 65 CPU-minutes)
#   ZEVA_WINDOWS_BUILD     the build folder (default build-windows)
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
started=$(date +%s)
say() { printf '== %s (%ds)\n' "$*" $(($(date +%s) - started)); }

# 1. What the cross build, the tests and the installer need.
say "1. Packages"
. ./tools.sh
zeva_install_missing g++-mingw-w64-x86-64-posix wine wine64 nsis xvfb xauth x11-utils xdotool imagemagick \
  python3 fonts-nanum fonts-dejavu-core

build=${ZEVA_WINDOWS_BUILD:-$root/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

# 2. Qt for MinGW in its cache folder.
say "2. Qt 6.4.2 for MinGW"
qt=${ZEVA_QT_MINGW:-$HOME/.cache/zeva/qt-6.4.2-mingw64}
if [ ! -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  tarball=${ZEVA_QT_MINGW_TARBALL:-}
  if [ "$tarball" = none ]; then
    tarball=
  elif [ -z "$tarball" ]; then
    for candidate in ../shared/windows/qt-6.4.2-mingw64.tar.xz ../../shared/windows/qt-6.4.2-mingw64.tar.xz; do
      if [ -f "$candidate" ]; then tarball=$candidate; break; fi
    done
  fi
  rm -rf "$qt" "$qt.part"
  mkdir -p "$qt.part"
  if [ -n "$tarball" ]; then
    echo "Unpacking $tarball into $qt"
    tar -xJf "$tarball" -C "$qt.part" --strip-components=1
  else
    echo "No prebuilt Qt for MinGW: building qtbase from Debian's source into $qt (Qt Charts cannot be had that way)"
    zeva_install_missing ninja-build dpkg-dev
    TIMEFORMAT="qtbase built in %0R s (CPU: %0U s user, %0S s system)"
    time bash windows/build-qtbase.sh "$qt.part" "$build/qtbase"
    echo "qtbase installed: $(du -sk "$qt.part" | cut -f1) KiB in $(find "$qt.part" -type f | wc -l) files"
  fi
  mv "$qt.part" "$qt"
fi
charts=ON
if [ ! -f "$qt/lib/cmake/Qt6Charts/Qt6ChartsConfig.cmake" ]; then
  charts=OFF
  echo "Qt Charts is not in $qt: the traffic window is built without its chart (table and percentiles only)"
fi

# The Linux simulator the Windows tests use as their device.
say "   zeva-sim for Linux"
host=$root/build-portable
if [ ! -f "$host/CMakeCache.txt" ]; then
  cmake -S . -B "$host" -DCMAKE_BUILD_TYPE=Debug -DZEVA_PORTABLE=ON "${launcher[@]}" >/dev/null
fi
cmake --build "$host" -j"$jobs" --target zeva-sim >/dev/null
sim=$host/sim/zeva-sim

# 3. The cross build.
say "3. Cross build"
cmake -S . -B "$build/cross" -DCMAKE_TOOLCHAIN_FILE="$root/windows/mingw64.cmake" \
  -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr -DCMAKE_BUILD_TYPE=Release -DZEVA_PORTABLE=ON \
  -DZEVA_CHARTS=$charts "${launcher[@]}" >/dev/null
cmake --build "$build/cross" -j"$jobs"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/cross/CMakeCache.txt")

# Wine: a private prefix for each use, quiet, without the .NET and browser
# components it would offer to download.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" WINEARCH=win64
gcc_dlls=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
mingw_dlls=/usr/x86_64-w64-mingw32/lib
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# Wine 8 passes no QT_* variable of the Linux environment to a program: they
# go into the prefix's user environment.
wine_env() {
  wine reg add 'HKCU\Environment' /v "$1" /t REG_SZ /d "$2" /f >/dev/null
}
sim_pids=()
xvfb_pid=
cleanup() {
  for pid in "${sim_pids[@]}" $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
}
trap cleanup EXIT

# 4. The tests under Wine, with the Linux zeva-sim started for them by the
# launcher on loopback.
say "4. Tests under Wine"
export WINEPREFIX=$build/wine-tests
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# The offscreen platform takes its fonts from one folder: the sans-serif
# faces the Linux tests see (so the window's captions measure the same) and
# Hangul.
font_dir=$build/fonts
rm -rf "$font_dir"
mkdir -p "$font_dir"
ln -s /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf \
  /usr/share/fonts/truetype/nanum/NanumGothic.ttf /usr/share/fonts/truetype/nanum/NanumGothicBold.ttf "$font_dir/"
wine_env QT_QPA_PLATFORM offscreen
wine_env QT_FORCE_STDERR_LOGGING 1
wine_env QT_QPA_FONTDIR "$(winpath "$font_dir")"
export WINEPATH="$(winpath "$qt/bin");$(winpath "$gcc_dlls");$(winpath "$mingw_dlls")"
python3 windows/sim-launcher.py "$sim" "$build/sim-launcher.port" >/dev/null &
sim_pids+=($!)
for _ in $(seq 100); do [ -s "$build/sim-launcher.port" ] && break; sleep 0.1; done
# Variables other than QT_* reach the programs as they are.
export ZEVA_SIM_LAUNCHER=$(cat "$build/sim-launcher.port")
rm -f "$build/sim-launcher.port"
# The first program starts Wine's services, which would hold ctest's output
# open: one throwaway program first.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
ctest --test-dir "$build/cross" -j"$jobs" --output-on-failure --timeout 300 </dev/null

# 5. The installer: both programs, the DLLs they import (followed through
# the DLLs' own imports), the Qt plugins of the Qt modules among them, and
# the MinGW runtime.
say "5. Installer"
stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage"
cp "$build/cross/app/zeva-client.exe" "$build/cross/cli/zeva.exe" "$stage/"
search=("$qt/bin" "$gcc_dlls" "$mingw_dlls")
declare -A copied=()
add_imports() { # FILE: copies the DLLs FILE imports that are not the system's
  local dll found dir
  for dll in $(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    [ -n "${copied[${dll,,}]:-}" ] && continue
    found=
    for dir in "${search[@]}"; do
      if [ -f "$dir/$dll" ]; then found=$dir/$dll; break; fi
    done
    [ -z "$found" ] && continue # the system's own (KERNEL32.dll, WS2_32.dll, ...)
    copied[${dll,,}]=1
    cp "$found" "$stage/"
    add_imports "$found"
  done
}
add_plugin() { # KIND/NAME.dll
  mkdir -p "$stage/$(dirname "$1")"
  cp "$qt/plugins/$1" "$stage/$1"
  add_imports "$stage/$1"
}
add_imports "$stage/zeva-client.exe"
add_imports "$stage/zeva.exe"
# Qt loads these by name, not through imports: the platform plugin of Qt GUI
# and the native style of Qt Widgets.
[ -n "${copied[qt6gui.dll]:-}" ] && add_plugin platforms/qwindows.dll
[ -n "${copied[qt6widgets.dll]:-}" ] && add_plugin styles/qwindowsvistastyle.dll
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll
cp README.md "$stage/README.md"
installer=$root/zeva-setup-$version-x64.exe
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$installer" windows/zeva.nsi
echo "$(basename "$installer"): $(du -k "$installer" | cut -f1) KiB; staged $(du -sk "$stage" | cut -f1) KiB in $(find "$stage" -type f | wc -l) files"

# 6. The installer under Wine: installed silently into a prefix made with a
# display, the installed zeva reading from zeva-sim, the installed window on
# the screen for a screenshot, then uninstalled.
say "6. Install, run and uninstall under Wine"
exec 3>"$build/xvfb.display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$build/xvfb.display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$build/xvfb.display")
unset WINEPATH
export WINEPREFIX=$build/wine-install
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w
wine "$(winpath "$installer")" /S </dev/null
wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/Zeva Client"
for f in zeva.exe zeva-client.exe Qt6Core.dll platforms/qwindows.dll uninstall.exe; do
  [ -f "$dir/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
ls "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zeva Client.lnk" >/dev/null

"$sim" --tcp-port 0 --udp-port 0 >"$build/sim.out" &
sim_pids+=($!)
for _ in $(seq 100); do [ -s "$build/sim.out" ] && break; sleep 0.1; done
tcp=$(sed -n 's/.* tcp \([0-9]*\) udp .*/\1/p' "$build/sim.out")
out=$(wine "C:\\Program Files\\Zeva Client\\zeva.exe" -p "$tcp" read %MW0 </dev/null)
echo "installed zeva.exe: $out"
case $out in value=0000\ state=*) ;; *) echo "unexpected answer from the installed zeva.exe" >&2; exit 1 ;; esac

# The window, with a device error's Korean text in its message box (a read
# of %MW0, the window's first variable, refused by the device). The
# window always talks to port 2004: its device listens there on a loopback
# address of its own.
for _ in 1 2 3 4 5; do
  address=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
  rm -f "$build/sim-window.out"
  "$sim" --bind "$address" --tcp-port 2004 --udp-port 2005 --fault error=%MW0:0x21 >"$build/sim-window.out" 2>&1 &
  window_sim=$!
  for _ in $(seq 100); do [ -s "$build/sim-window.out" ] && break; sleep 0.1; done
  if grep -q listening "$build/sim-window.out"; then sim_pids+=($window_sim); break; fi
  wait "$window_sim" || true
done
wine "C:\\Program Files\\Zeva Client\\zeva-client.exe" --host "$address" </dev/null >/dev/null 2>&1 &
disown $! # ended with its prefix below, quietly
window=
for _ in $(seq 300); do
  window=$(xdotool search --name '^Zeva Client' 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the installed window did not open" >&2; exit 1; }
sleep 2
# Pixels of the window's controls: Connect, then Read.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 1; }
click 40 220
click 112 220
sleep 2
screenshot=$build/zeva-client-wine.png
import -window root "$screenshot"
echo "screenshot of the installed window: $screenshot"
wineserver -k 2>/dev/null || true
wineserver -w

wine "C:\\Program Files\\Zeva Client\\uninstall.exe" /S </dev/null
for _ in $(seq 300); do [ ! -e "$dir/zeva.exe" ] && break; sleep 0.1; done
wineserver -w
[ ! -e "$dir/zeva.exe" ] || { echo "uninstall left $dir/zeva.exe" >&2; exit 1; }
say "Windows stage done: $(basename "$installer")"
