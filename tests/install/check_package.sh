#!/usr/bin/env bash
# check_package.sh BUILD_DIR VERSION PROGRAM...
# Makes the Debian package from the build and checks its name, its control
# fields and its file list.
set -euo pipefail
build=$1 version=$2
shift 2

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }

fail() { echo "FAIL: $*"; exit 1; }

arch=$(dpkg --print-architecture)
deb="$out/zeva_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); made: $(cd "$out" && ls ./*.deb 2>/dev/null)"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zeva ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for needed in fonts-nanum libc6 libstdc++6 libqt6core6 libqt6network6 libqt6widgets6; do
    grep -qxF "$needed" <<<"$names" || fail "Depends lacks $needed: $depends"
done
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "no long description: $description"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=(
    ./usr/share/applications/zeva-client.desktop
    ./usr/share/icons/hicolor/scalable/apps/zeva-client.svg
    ./usr/share/doc/zeva/README.md
    ./usr/share/doc/zeva/docs/zeva-client.png
)
for program in "$@"; do
    expected+=("./usr/bin/$program" "./usr/share/man/man1/$program.1.gz")
done
if [[ " $* " == *" zeva-exporter "* ]]; then
    expected+=(./etc/zeva/exporter.yml ./etc/zeva/web.yml ./usr/lib/systemd/system/zeva-exporter.service
               ./usr/share/zeva/grafana/zeva-exporter.json)
fi
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$files" = "$wanted" ] || fail "package files differ from the expected ones:
$(diff <(echo "$wanted") <(echo "$files") || true)"
if [[ " $* " == *" zeva-exporter "* ]]; then
    conffiles=$(dpkg-deb -I "$deb" conffiles 2>/dev/null || true)
    [ "$conffiles" = $'/etc/zeva/exporter.yml\n/etc/zeva/web.yml' ] \
        || fail "conffiles: '$conffiles', not /etc/zeva/exporter.yml and /etc/zeva/web.yml"
fi
# Programs executable, everything owned by root.
dpkg-deb -c "$deb" | awk '$6 ~ /^\.\/usr\/bin\/./ && $1 !~ /^-rwxr-xr-x/ { bad = 1 } $2 != "root/root" { bad = 1 } END { exit bad }' \
    || fail "wrong modes or owners:
$(dpkg-deb -c "$deb")"
echo "$(basename "$deb"): ${#expected[@]} files; Depends: $depends"
