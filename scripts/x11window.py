#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Looks at top-level X11 windows for tests: find one by title, read its geometry, ask it to
close (WM_DELETE_WINDOW, as a window manager does), take a screenshot, run a private Xvfb.

As a command (DISPLAY must be set):
  x11window.py wait TITLE [SECONDS]   prints "id x y width height" once TITLE is mapped
  x11window.py close TITLE            sends WM_DELETE_WINDOW to TITLE
  x11window.py screenshot FILE        saves the whole screen (ImageMagick's import)
Needs python3-xlib (Debian), hence /usr/bin/python3.
"""
import os
import subprocess
import sys
import time

from Xlib import X, display, protocol


class PrivateXvfb:
    """An Xvfb server on a free display number, for the life of a with-block."""

    def __init__(self, size="1024x768x24"):
        self.size = size
        self.process = None
        self.display = None

    def __enter__(self):
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size, "-nolisten", "tcp"],
            pass_fds=(write_fd,), stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as numbers:
            number = numbers.readline().strip()
        if not number:
            self.__exit__(None, None, None)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        return False


def _title(conn, window):
    try:
        name = window.get_full_text_property(conn.intern_atom("_NET_WM_NAME"),
                                             conn.intern_atom("UTF8_STRING"))
        return name if name else window.get_wm_name()
    except Exception:  # the window went away while we looked
        return None


def find_window(conn, title):
    """The first viewable window under the root whose title is TITLE, or None."""
    pending = list(conn.screen().root.query_tree().children)
    while pending:
        window = pending.pop(0)
        try:
            viewable = window.get_attributes().map_state == X.IsViewable
            children = window.query_tree().children
        except Exception:
            continue
        if viewable and _title(conn, window) == title:
            return window
        pending.extend(children)
    return None


def wait_window(conn, title, seconds=10.0):
    """Polls until a window titled TITLE is viewable; raises TimeoutError after SECONDS."""
    deadline = time.monotonic() + seconds
    while True:
        window = find_window(conn, title)
        if window is not None:
            return window
        if time.monotonic() > deadline:
            raise TimeoutError("no window titled %r" % title)
        time.sleep(0.02)


def geometry(conn, window):
    """(x, y, width, height) of the window, position in root coordinates."""
    g = window.get_geometry()
    origin = window.translate_coords(conn.screen().root, 0, 0)
    return (-origin.x, -origin.y, g.width, g.height)


def supports_delete(conn, window):
    return conn.intern_atom("WM_DELETE_WINDOW") in (window.get_wm_protocols() or [])


def request_close(conn, window):
    """Sends the window manager's close request (WM_PROTOCOLS / WM_DELETE_WINDOW)."""
    event = protocol.event.ClientMessage(
        window=window, client_type=conn.intern_atom("WM_PROTOCOLS"),
        data=(32, [conn.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
    window.send_event(event, event_mask=X.NoEventMask)
    conn.flush()


def screenshot(path, display_name=None):
    """Saves the whole screen (of DISPLAY_NAME, else $DISPLAY) as an image file; the format
    follows the file's extension."""
    where = ["-display", display_name] if display_name else []
    subprocess.run(["import"] + where + ["-window", "root", path], check=True)


def main(argv):
    if len(argv) < 3 or argv[1] not in ("wait", "close", "screenshot"):
        print(__doc__, file=sys.stderr)
        return 2
    if argv[1] == "screenshot":
        screenshot(argv[2])
        return 0
    conn = display.Display()
    window = wait_window(conn, argv[2], float(argv[3]) if len(argv) > 3 else 10.0)
    if argv[1] == "wait":
        print(window.id, *geometry(conn, window))
    else:
        request_close(conn, window)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
