#!/usr/bin/env bash
# The window's Read Cont rate under Wine beside the Linux build's, against
# one Linux zeva-sim on 127.0.0.1, run by hand after ./windows.sh (which
# makes the cross build and the Wine prefix this uses):
#
#   windows/window-rate.sh [ROUNDS] [SECONDS]
#
# Each round runs zeva-bench-window once on Linux and once under Wine, TCP
# then UDP, SECONDS of reading each (defaults 5 and 3); the medians follow,
# with the CPU time per exchange of the program and, under Wine, of the
# wineserver (every socket and message-queue call of a Windows program is a
# request to it). Then one short traced run counts the wineserver requests
# of an exchange, by kind, to show where the time goes.
#
# Environment: ZEVA_WINDOWS_BUILD (default build-windows), ZEVA_QT_MINGW,
# ZEVA_LINUX_BUILD (default build-portable).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rounds=${1:-5}
seconds=${2:-3}
build=$(cd "${ZEVA_WINDOWS_BUILD:-$root/build-windows}" && pwd)
qt=${ZEVA_QT_MINGW:-$HOME/.cache/zeva/qt-6.4.2-mingw64}
linux=${ZEVA_LINUX_BUILD:-$root/build-portable}
cmake --build "$linux" -j2 --target zeva-sim zeva-bench-window >/dev/null
cmake --build "$build/cross" -j2 --target zeva-bench-window >/dev/null
exe=$build/cross/bench/zeva-bench-window.exe
work=$(mktemp -d)

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" WINEARCH=win64 WINEPREFIX=$build/wine-tests
[ -f "$WINEPREFIX/system.reg" ] || { echo "no Wine prefix in $WINEPREFIX: run ./windows.sh first" >&2; exit 1; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
gcc_dlls=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPATH="$(winpath "$qt/bin");$(winpath "$gcc_dlls");$(winpath /usr/x86_64-w64-mingw32/lib)"

# Our own wineserver, in the foreground of a background job, so that its
# CPU time can be read; and our own simulator.
sim_pid=
server_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && { wineserver -k 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
  [ -n "${ZEVA_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
start_server() { # [-d1]: with its trace of every request, into a file
  if [ -n "$server_pid" ]; then
    wineserver -k 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  wineserver -f -p "$@" 2>"$work/server.log" &
  server_pid=$!
  sleep 1 # listening before the first program looks for it
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}
start_server

"$linux/sim/zeva-sim" --tcp-port 0 --udp-port 0 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
tcp=$(sed -n 's/.* tcp \([0-9]*\) udp .*/\1/p' "$work/sim.out")
udp=$(sed -n 's/.* udp \([0-9]*\).*/\1/p' "$work/sim.out")
[ -n "$tcp" ] && [ -n "$udp" ] || { cat "$work/sim.out" >&2; exit 1; }

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; } # user + system, in clock ticks
hz=$(getconf CLK_TCK)
run() { # linux|wine PROTOCOL SECONDS: appends "who protocol seconds exchanges took cpu server-cpu" to rates
  local before after
  before=$(ticks "$server_pid")
  if [ "$1" = linux ]; then
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%U %S' -o "$work/cpu" "$linux/bench/zeva-bench-window" \
      --port "$tcp" --udp-port "$udp" --seconds "$3" --rounds 1 --protocol "$2" >"$work/out"
  else
    /usr/bin/time -f '%U %S' -o "$work/cpu" wine "$exe" \
      --port "$tcp" --udp-port "$udp" --seconds "$3" --rounds 1 --protocol "$2" </dev/null >"$work/out"
  fi
  after=$(ticks "$server_pid")
  [ "$1" = linux ] && after=$before
  echo "$1 $2 $3 $(tr -d '\r' <"$work/out" | sed -n 's/^round 1 [A-Z]*: \([0-9]*\) exchanges in \([0-9.]*\) s.*/\1 \2/p') \
$(awk '{ print $1 + $2 }' "$work/cpu") $(awk -v t=$((after - before)) -v hz="$hz" 'BEGIN { print t / hz }')" >>"$work/rates"
}
: >"$work/rates"
for r in $(seq "$rounds"); do
  for p in tcp udp; do
    run linux "$p" "$seconds"
    run wine "$p" "$seconds"
    printf 'round %d %s: %s\n' "$r" "$p" "$(tail -2 "$work/rates" | awk '{ printf "%s %.0f/s  ", $1, $4 / $5 }')"
  done
done
# The CPU an exchange costs, start-up left out: each program once more for
# one second, its CPU time taken from the rounds' mean.
for p in tcp udp; do
  run linux "$p" 1
  run wine "$p" 1
done
echo "The window's Read Cont, exchanges per second, medians of $rounds rounds of $seconds s:"
for who in linux wine; do
  for p in tcp udp; do
    awk -v who="$who" -v p="$p" -v s="$seconds" '
      $1 == who && $2 == p && $3 == s { rate[++n] = $4 / $5; ex += $4; cpu += $6; server += $7 }
      $1 == who && $2 == p && $3 == 1 && s != 1 { ex1 = $4; cpu1 = $6; server1 = $7 }
      END {
        for (i = 2; i <= n; i++) for (j = i; j > 1 && rate[j - 1] > rate[j]; j--) { t = rate[j]; rate[j] = rate[j - 1]; rate[j - 1] = t }
        m = (n % 2) ? rate[(n + 1) / 2] : (rate[n / 2] + rate[n / 2 + 1]) / 2
        printf "  %-5s %s: median %.0f (%.0f..%.0f)", who, toupper(p), m, rate[1], rate[n]
        d = ex / n - ex1
        if (d > 0) {
          printf "; CPU per exchange: the program %.0f us", (cpu / n - cpu1) * 1e6 / d
          if (who == "wine") printf ", wineserver %.0f us", (server / n - server1) * 1e6 / d
        }
        printf "\n"
      }' "$work/rates"
  done
done

# Where an exchange goes under Wine: the wineserver requests of a traced
# run of 3 s less those of one of 1 s (start-up and end cancel out), by
# kind, divided by the exchanges the longer run made more.
start_server -d1
traced() { # PROTOCOL SECONDS: prints the exchanges made; the requests counted in $work/count.SECONDS
  local from
  from=$(stat -c %s "$work/server.log")
  wine "$exe" --port "$tcp" --udp-port "$udp" --seconds "$2" --rounds 1 --protocol "$1" \
    </dev/null >"$work/out" 2>/dev/null || true
  tail -c +"$((from + 1))" "$work/server.log" | grep -v ') = ' | grep -o '^[0-9a-f]*: [a-z_]*(' \
    | sed 's/.*: //; s/($//' | sort | uniq -c >"$work/count.$2"
  sed -n 's/^round 1 [A-Z]*: \([0-9]*\) exchanges.*/\1/p' "$work/out"
}
for p in tcp udp; do
  short=$(traced "$p" 1)
  long=$(traced "$p" 3)
  echo "wineserver requests per exchange, $(echo "$p" | tr a-z A-Z) (traced runs: $short and $long exchanges):"
  awk -v n=$((long - short)) 'FNR == NR { a[$2] = $1; next }
    { d = $1 - a[$2]; if (n > 0 && d / n >= 0.05) printf "  %5.2f %s\n", d / n, $2; if (n > 0) total += d / n }
    END { if (n > 0) printf "  %5.2f in all\n", total }' "$work/count.1" "$work/count.3" | sort -rn
done
