#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for the built program, each run as its own process on TCP port 100.

Usage: program_e2e.py PROGRAM CASE [ARTIFACT_DIR]
Exit code 0: passed; 77: skipped (no right to bind port 100, or no Xvfb / python3-xlib);
anything else: failed. Traffic goes to 127.0.0.1 only. Every wait has a generous upper bound.
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

PORT = 100
LIMIT = 15.0  # seconds; an upper bound for facts, never a speed target
BIND_TAKEN = "Could not bind socket. Address and port are already in use."
SKIP = 77


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---- Port 100 ------------------------------------------------------------------------------

def port_state():
    """Set of TCP states (hex, as in /proc/net/tcp) of sockets whose local port is 100."""
    states = set()
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == PORT:
                states.add(fields[3])
    return states


TIME_WAIT = "06"


def wait_port_free():
    # Connections that a program closed first linger in TIME_WAIT on port 100; the program binds
    # over them (and so does take_port), so only live sockets are waited for.
    deadline = time.monotonic() + 70
    while port_state() - {TIME_WAIT}:
        check(time.monotonic() < deadline, "port 100 stays in use: %s" % port_state())
        time.sleep(0.2)


def fetch(send=b"", abortive=True):
    """Connects to 127.0.0.1:100, sends SEND, returns all bytes up to the server's close.

    The client closes abortively unless told otherwise, which leaves no TIME_WAIT behind."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=LIMIT) as client:
        if send:
            client.sendall(send)
        received = b""
        while True:
            try:
                chunk = client.recv(256)
            except ConnectionResetError:
                break  # the server closed with our bytes unread: a reset after its data
            if not chunk:
                break
            received += chunk
        if abortive:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return received


def listening():
    return "0A" in port_state()


# ---- The program -----------------------------------------------------------------------------

class Program:
    def __init__(self, path, display=None, preexec=None):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        if display:
            env["DISPLAY"] = display
        self.process = subprocess.Popen([path], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=preexec)
        self.stdout = self.stderr = ""

    def wait_exit(self, seconds=LIMIT):
        try:
            out, err = self.process.communicate(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
            raise Failure("the program did not exit within %ss; stderr: %s" % (seconds, err))
        self.stdout, self.stderr = out.decode(errors="replace"), err.decode(errors="replace")
        return self.process.returncode

    def wait_listening(self):
        deadline = time.monotonic() + LIMIT
        while not listening():
            if self.process.poll() is not None:
                self.wait_exit()
                raise Failure("the program ended before listening; stderr: %s" % self.stderr)
            check(time.monotonic() < deadline, "port 100 never listened")
            time.sleep(0.02)

    def stop(self, signal_number=15):
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        return self.wait_exit()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def expect_clean_exit(program, code):
    check(code == 0, "exit code %s, stderr: %s" % (code, program.stderr))


def headless_notice_once(program):
    check(program.stderr.count("no display") == 1, "headless notice: %r" % program.stderr)


# ---- Cases -----------------------------------------------------------------------------------

def case_headless_serves_test(path, _):
    program = Program(path)
    try:
        program.wait_listening()
        check(fetch() == b"test", "a silent client did not get exactly 'test'")
    finally:
        expect_clean_exit(program, program.stop())
    headless_notice_once(program)


def case_client_sends_first(path, _):
    program = Program(path)
    try:
        program.wait_listening()
        got = fetch(b"hello server\r\nsome more bytes\r\n")
        check(got == b"test", "a client that sent first got %r" % got)
    finally:
        expect_clean_exit(program, program.stop())


def case_hundred_clients_at_once(path, _):
    program = Program(path)
    try:
        program.wait_listening()
        results = [None] * 100
        start = threading.Barrier(len(results))

        def client(index):
            start.wait()
            try:
                results[index] = fetch(b"x" if index % 2 else b"")
            except OSError as error:
                results[index] = repr(error)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(len(results))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(LIMIT * 4)
        bad = [r for r in results if r != b"test"]
        check(not bad, "%d of 100 clients were not served: %r" % (len(bad), bad[:3]))
    finally:
        expect_clean_exit(program, program.stop())


def case_restart_after_serving(path, _):
    # Served clients leave TIME_WAIT connections on port 100 (the program closes first); a
    # restart must bind over them at once, not a minute later.
    for run in range(2):
        program = Program(path)
        try:
            program.wait_listening()
            for _ in range(3):
                got = fetch(abortive=False)
                check(got == b"test", "run %d: a client got %r" % (run, got))
        finally:
            expect_clean_exit(program, program.stop())
        check(TIME_WAIT in port_state(), "run %d left no TIME_WAIT to bind over" % run)


def case_signals_exit_promptly(path, _):
    for signal_number in (15, 2):  # SIGTERM, SIGINT
        wait_port_free()
        program = Program(path)
        try:
            program.wait_listening()
        finally:
            began = time.monotonic()
            code = program.stop(signal_number)
        expect_clean_exit(program, code)
        check(time.monotonic() - began < 10, "signal %d: exit took too long" % signal_number)
        check(not listening(), "port 100 still listens after exit")


def take_port():
    # Address reuse only lets the blocker bind over TIME_WAIT leftovers: it really listens.
    blocker = socket.socket()
    blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    blocker.bind(("0.0.0.0", PORT))
    blocker.listen()
    return blocker


def case_port_taken(path, _):
    with take_port():
        program = Program(path)
        code = program.wait_exit()
    expect_clean_exit(program, code)
    check(BIND_TAKEN in program.stderr, "no bind message: %r" % program.stderr)
    check(program.stderr.rstrip().endswith(BIND_TAKEN), "more after the message: %r" % program.stderr)


def drop_privileges():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def unprivileged_port_start():
    try:
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as value:
            return int(value.read())
    except OSError:
        return 1024


def case_bind_refused(path, _):
    # Run as nobody, whom the system does not let bind port 100.
    if os.geteuid() != 0 or unprivileged_port_start() <= PORT:
        return SKIP
    try:
        program = Program(path, preexec=drop_privileges)
    except (PermissionError, subprocess.SubprocessError):
        return SKIP  # the build tree is not executable for nobody
    code = program.wait_exit()
    expect_clean_exit(program, code)
    check("Socket Error # 10013" in program.stderr and "Access denied." in program.stderr,
          "refused bind shown as %r" % program.stderr)


def with_xvfb(action):
    try:
        import x11window  # needs python3-xlib
        from Xlib import display as xdisplay
    except ImportError:
        return SKIP
    if not any(os.access(os.path.join(d, "Xvfb"), os.X_OK) for d in os.environ["PATH"].split(":")):
        return SKIP
    with x11window.PrivateXvfb() as server:
        conn = xdisplay.Display(server.display)
        try:
            return action(x11window, conn, server.display)
        finally:
            conn.close()


def case_window_close_request(path, artifacts):
    def run(x11, conn, display):
        program = Program(path, display)
        try:
            window = x11.wait_window(conn, "Form1", LIMIT)
            geometry = x11.geometry(conn, window)
            check(geometry == (231, 109, 171, 175), "window geometry %s" % (geometry,))
            check(x11.supports_delete(conn, window), "the window ignores WM_DELETE_WINDOW")
            program.wait_listening()
            check(fetch() == b"test", "not served while the window is up")
            if artifacts:
                os.makedirs(artifacts, exist_ok=True)
                x11.screenshot(os.path.join(artifacts, "form1-window.png"), display)
            x11.request_close(conn, window)
            expect_clean_exit(program, program.wait_exit())
        finally:
            program.kill()
        check("no display" not in program.stderr, "a window session said headless")
    return with_xvfb(run)


def case_window_bind_error_box(path, artifacts):
    def run(x11, conn, display):
        with take_port():
            program = Program(path, display)
            try:
                box = x11.wait_window(conn, os.path.basename(path), LIMIT)
                if artifacts:
                    os.makedirs(artifacts, exist_ok=True)
                    x11.screenshot(os.path.join(artifacts, "bind-error-box.png"), display)
                check(x11.find_window(conn, "Form1") is None, "the main window came up")
                x11.request_close(conn, box)
                expect_clean_exit(program, program.wait_exit())
            finally:
                program.kill()
    return with_xvfb(run)


def case_window_signals(path, _):
    def run(x11, conn, display):
        for signal_number in (15, 2):  # SIGTERM, SIGINT close the window as the user would
            program = Program(path, display)
            try:
                x11.wait_window(conn, "Form1", LIMIT)
                program.wait_listening()
                expect_clean_exit(program, program.stop(signal_number))
            finally:
                program.kill()
            check(x11.find_window(conn, "Form1") is None, "the window outlived the program")
        # A signal also dismisses a message box that is waiting for the user.
        with take_port():
            program = Program(path, display)
            try:
                x11.wait_window(conn, os.path.basename(path), LIMIT)
                expect_clean_exit(program, program.stop())
            finally:
                program.kill()
    return with_xvfb(run)


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


def may_bind_port_100(path):
    """Whether the program may bind port 100: root, the capability, or a permissive system."""
    if os.geteuid() == 0 or unprivileged_port_start() <= PORT:
        return True
    caps = subprocess.run(["getcap", path], capture_output=True, text=True)
    return "cap_net_bind_service" in caps.stdout


def main(argv):
    if len(argv) < 3 or argv[2] not in CASES:
        print("usage: %s PROGRAM CASE [ARTIFACT_DIR]; cases: %s" % (argv[0], " ".join(CASES)),
              file=sys.stderr)
        return 2
    path, case = os.path.abspath(argv[1]), argv[2]
    artifacts = argv[3] if len(argv) > 3 else None
    if not may_bind_port_100(path) or (os.geteuid() != 0 and unprivileged_port_start() > PORT):
        # The cases also bind port 100 themselves (to take it), which needs the same right.
        print("skipped %s: binding port 100 needs root (or see the README)" % case)
        return SKIP
    try:
        wait_port_free()
        result = CASES[case](path, artifacts)
    except Failure as failure:
        print("FAILED %s: %s" % (case, failure))
        return 1
    if result == SKIP:
        print("skipped %s" % case)
        return SKIP
    print("passed %s" % case)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
