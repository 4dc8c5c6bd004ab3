#!/usr/bin/env bash
# Builds the client and the simulator, starts zeva-sim on 127.0.0.1 (TCP 2004,
# UDP 2005) and opens the client against it. The simulator stops when the
# client window closes.
set -euo pipefail
cd "$(dirname "$0")"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it under Xvfb: apt-get install -y xvfb xauth && xvfb-run ./run.sh" >&2
    exit 1
fi

. ./tools.sh
zeva_install_missing

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build --target zeva-sim zeva-client -j"$jobs"

log=$(mktemp)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build/sim/zeva-sim --tcp-port 2004 --udp-port 2005 >"$log" 2>&1 &
sim_pid=$!

# The first line names the ports bound; an exit instead means they are taken.
for _ in $(seq 1 100); do
    [ -s "$log" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if ! kill -0 "$sim_pid" 2>/dev/null; then
    status=0
    wait "$sim_pid" || status=$?
    sim_pid=
    cat "$log" >&2
    if [ "$status" -eq 1 ]; then
        echo "The simulator could not bind 127.0.0.1 TCP 2004 / UDP 2005: another program holds these ports. Stop it and run ./run.sh again." >&2
    else
        echo "The simulator did not start (exit status $status)." >&2
    fi
    exit 1
fi
head -n 1 "$log"

status=0
build/app/zeva-client || status=$?
exit "$status"
