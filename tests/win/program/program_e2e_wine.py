#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The program's Windows build end to end under Wine.

Usage: program_e2e_wine.py PROGRAM POSTCLOSE CASE
PROGRAM is the program's test build (it serves on the port in ID_TEST_PORT); POSTCLOSE posts
WM_CLOSE to a window by caption. Runs with the caller's WINEPREFIX and DISPLAY (a Wine virtual
desktop on Xvfb). Exit code 0: passed; 77: skipped (no DISPLAY); anything else: failed.
Traffic goes to 127.0.0.1 only; every wait has a generous upper bound.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

LIMIT = 30.0  # seconds; an upper bound for facts, never a speed target
SKIP = 77


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wine(args, env, log):
    # Wine's helper processes may outlive the program: they must not hold the test's own
    # output open, so everything goes to a file.
    return subprocess.Popen(["wine"] + args, env=env, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT)


def fetch(port):
    deadline = time.monotonic() + LIMIT
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=LIMIT) as client:
                data = b""
                while True:
                    block = client.recv(4096)
                    if not block:
                        return data
                    data += block
        except ConnectionRefusedError:
            check(time.monotonic() < deadline, "nothing listens on port %d" % port)
            time.sleep(0.05)


def serves_test_and_closes_on_wm_close(program, postclose, env, log):
    port = free_port()
    env = dict(env, ID_TEST_PORT=str(port))
    server = wine([program], env, log)
    try:
        check(fetch(port) == b"test", "the program did not serve \"test\"")
        check(fetch(port) == b"test", "the second client was not served \"test\"")
        closer = wine([postclose, "Form1"], env, log)
        check(closer.wait(timeout=LIMIT) == 0, "no window \"Form1\" to close")
        code = server.wait(timeout=LIMIT)
        check(code == 0, "exit code %d after WM_CLOSE" % code)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


CASES = {"serves_test_and_closes_on_wm_close": serves_test_and_closes_on_wm_close}


def main():
    program, postclose, case = sys.argv[1:4]
    if not os.environ.get("DISPLAY"):
        print("skipped: no DISPLAY for the program's window")
        return SKIP
    env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
    with tempfile.TemporaryFile() as log:
        try:
            CASES[case](program, postclose, env, log)
        except (Failure, subprocess.TimeoutExpired) as failure:
            log.seek(0)
            print("FAILED: %s\n--- Wine output ---\n%s" % (failure, log.read().decode(errors="replace")))
            return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
