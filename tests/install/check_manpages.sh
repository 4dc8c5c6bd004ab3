#!/usr/bin/env bash
# check_manpages.sh PROGRAM=PAGE.scd...
# Every option a program's --help lists is in the OPTIONS section of its
# manual page, and the other way round.
set -euo pipefail

# Option names (-x, --long-name) standing at the start of a word.
options() {
    grep -oE '(^|[^A-Za-z0-9_-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]*//' | sort -u
}

failed=0
for pair in "$@"; do
    program=${pair%%=*}
    page=${pair#*=}
    name=$(basename "$program")
    help=$("$program" --help | options)
    # The terms of the OPTIONS section: lines that start with a bold option.
    man=$(awk '/^# / { inside = ($2 == "OPTIONS") } inside && /^\*-/' "$page" | options)
    if [ -z "$help" ] || [ -z "$man" ]; then
        echo "$name: no options found (help: ${help:-none}; manual page: ${man:-none})"
        failed=1
        continue
    fi
    only_help=$(comm -23 <(echo "$help") <(echo "$man") | tr '\n' ' ')
    only_man=$(comm -13 <(echo "$help") <(echo "$man") | tr '\n' ' ')
    if [ -n "$only_help$only_man" ]; then
        echo "$name: only in --help: ${only_help:-none}; only in $(basename "$page"): ${only_man:-none}"
        failed=1
    else
        echo "$name: $(echo "$help" | wc -l) options, --help and manual page agree"
    fi
done
exit "$failed"
