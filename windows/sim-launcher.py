#!/usr/bin/env python3
"""Starts zeva-sim for tests that run under Wine.

A Windows program cannot usefully start a Linux one, so each Windows test
that needs a device connects here (127.0.0.1, the port printed on the first
line of standard output) and sends the simulator's arguments on one line,
separated by tabs. The launcher starts zeva-sim with them and relays the
connection to the simulator's standard input and its standard output and
error back; when the test closes the connection, the simulator's input ends
and so does the simulator, and the connection is closed once it has ended.

usage: sim-launcher.py ZEVA_SIM [PORT_FILE]
"""
import os
import socket
import subprocess
import sys
import threading

MAX_LINE = 64 * 1024      # the argument line
LIFETIME_S = 15 * 60      # no test needs a simulator longer


def serve(connection, program):
    with connection:
        connection.settimeout(60)
        line = b""
        while not line.endswith(b"\n"):
            chunk = connection.recv(4096)
            if not chunk or len(line) > MAX_LINE:
                return
            line += chunk
        first, _, rest = line.partition(b"\n")
        args = [a for a in first.decode("utf-8").split("\t") if a]
        sim = subprocess.Popen([program] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, bufsize=0)
        killer = threading.Timer(LIFETIME_S, sim.kill)
        killer.daemon = True
        killer.start()

        def to_test():
            while True:
                data = sim.stdout.read1(65536) if hasattr(sim.stdout, "read1") else os.read(sim.stdout.fileno(), 65536)
                if not data:
                    break
                try:
                    connection.sendall(data)
                except OSError:
                    break

        relay = threading.Thread(target=to_test, daemon=True)
        relay.start()
        connection.settimeout(None)
        try:
            if rest:
                sim.stdin.write(rest)
            while True:
                data = connection.recv(65536)
                if not data:
                    break
                sim.stdin.write(data)
        except OSError:
            pass
        try:
            sim.stdin.close()
        except OSError:
            pass
        try:
            sim.wait(20)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
        killer.cancel()
        relay.join(20)


def main():
    program = sys.argv[1]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    port = listener.getsockname()[1]
    if len(sys.argv) > 2:
        with open(sys.argv[2] + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(sys.argv[2] + ".tmp", sys.argv[2])
    print(port, flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, program), daemon=True).start()


if __name__ == "__main__":
    main()
