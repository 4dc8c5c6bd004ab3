#!/usr/bin/env bash
# check_install.sh BUILD_DIR VERSION PROGRAM...
# Installs the build into a temporary prefix and checks what lands there:
# exactly the expected files, a valid menu entry naming an installed program
# and icon, manual pages that open, and programs that run from there.
set -euo pipefail
build=$1 version=$2
shift 2

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"

fail() { echo "FAIL: $*"; exit 1; }

expected=(
    share/applications/zeva-client.desktop
    share/icons/hicolor/scalable/apps/zeva-client.svg
    share/doc/zeva/README.md
    share/doc/zeva/docs/zeva-client.png
)
for program in "$@"; do
    expected+=("bin/$program" "share/man/man1/$program.1.gz")
done
if [[ " $* " == *" zeva-exporter "* ]]; then
    expected+=(etc/zeva/exporter.yml etc/zeva/web.yml lib/systemd/system/zeva-exporter.service share/zeva/grafana/zeva-exporter.json)
fi
installed=$(find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$installed" = "$wanted" ] || fail "installed files differ from the expected ones:
$(diff <(echo "$wanted") <(echo "$installed") || true)"

desktop=share/applications/zeva-client.desktop
validation=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $validation"
[ -z "$validation" ] || fail "desktop-file-validate: $validation"
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "bin/$exec_program" ] || fail "Exec=$exec_program is not an installed program"
[ -f "share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon has no installed icon"
grep -q '<svg' "share/icons/hicolor/scalable/apps/$icon.svg" || fail "the icon is not SVG"

for program in "$@"; do
    # Every program that offers --version must print the project's version.
    if "bin/$program" --help | grep -qE '(^|[ ,])--version'; then
        out=$("bin/$program" --version) || fail "$program --version failed"
        grep -qF "$version" <<<"$out" || fail "$program --version printed '$out', not $version"
        echo "$program --version: $out"
    else
        echo "$program: runs from the install tree (--help), has no --version"
    fi
    page=$(MANWIDTH=80 man -l "share/man/man1/$program.1.gz" 2>&1) || fail "man $program: $page"
    grep -qE "^ +$program - " <<<"$page" || fail "man $program has no NAME line"
    grep -qF "Zeva Client $version" <<<"$page" || fail "man $program does not carry version $version"
done
echo "install tree: ${#expected[@]} files, as expected"
