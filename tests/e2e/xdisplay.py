"""X display helpers for the windowed tests and the demo: an Xvfb of our own, the few
libX11 calls a window manager would make (through ctypes), and the windows on a display.

    xserver = xdisplay.XServer(xdisplay.display_candidates())   # xserver.display == ':N'
    window_id, title, width, height, x, y = xdisplay.wait_for_window(display, accept, timeout)
    xdisplay.X11(display).send_delete_window(window_id)          # as a window manager closes it
    xdisplay.screenshot(display, window_id, 'shot.png')
    xserver.stop()

QUENZA_TEST_DISPLAYS ("91-99" unless set) gives the display numbers an Xvfb may take.
"""

import ctypes
import os
import re
import subprocess
import time


class XServer:
    """An Xvfb on the first free display number of a small range."""

    def __init__(self, candidates):
        self.process = None
        for number in candidates:
            if os.path.exists(f'/tmp/.X{number}-lock') or os.path.exists(f'/tmp/.X11-unix/X{number}'):
                continue
            proc = subprocess.Popen(['Xvfb', f':{number}', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp'],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and proc.poll() is None:
                if os.path.exists(f'/tmp/.X11-unix/X{number}'):
                    self.process, self.display = proc, f':{number}'
                    return
                time.sleep(0.05)
            proc.kill()
            proc.wait()
        raise RuntimeError('no free display number for Xvfb')

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=10)


def display_candidates():
    wanted = os.environ.get('QUENZA_TEST_DISPLAYS', '91-99')
    first, _, last = wanted.partition('-')
    return range(int(first), int(last or first) + 1)


class ClientMessageEvent(ctypes.Structure):
    _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong), ('send_event', ctypes.c_int),
                ('display', ctypes.c_void_p), ('window', ctypes.c_ulong), ('message_type', ctypes.c_ulong),
                ('format', ctypes.c_int), ('l', ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [('xclient', ClientMessageEvent), ('pad', ctypes.c_long * 24)]


# libX11's default handler of a protocol error ends the whole process: a window that went
# between a look and a request to it would take the test run down without a report. The
# errors are kept here instead, and a request that caused one says so.
X_ERRORS = []
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(
    lambda display, event: X_ERRORS.append(event) or 0)


class X11:
    """The few libX11 calls a window manager would make, through ctypes."""

    def __init__(self, display):
        lib = ctypes.CDLL('libX11.so.6')
        lib.XSetErrorHandler.restype = ctypes.c_void_p
        lib.XSetErrorHandler.argtypes = [ctypes.c_void_p]
        lib.XSetErrorHandler(ctypes.cast(_ERROR_HANDLER, ctypes.c_void_p))
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.POINTER(XEvent)]
        lib.XFlush.argtypes = [ctypes.c_void_p]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        lib.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
            ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        lib.XFree.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.display = lib.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError(f'cannot open display {display}')

    def close(self):
        self.lib.XCloseDisplay(self.display)

    def atom(self, name):
        return self.lib.XInternAtom(self.display, name.encode(), 0)

    def send_delete_window(self, window):
        event = XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = self.atom('WM_PROTOCOLS')
        event.xclient.format = 32
        event.xclient.l[0] = self.atom('WM_DELETE_WINDOW')
        event.xclient.l[1] = 0  # CurrentTime
        errors = len(X_ERRORS)
        if not self.lib.XSendEvent(self.display, window, 0, 0, ctypes.byref(event)):
            raise RuntimeError('XSendEvent failed')
        self.lib.XSync(self.display, 0)
        if len(X_ERRORS) != errors:
            raise RuntimeError(f'the close request found no window {window:#x}')

    def cardinals(self, window, name, count):
        """The first count values of a format-32 property and how many bytes follow them."""
        actual_type, actual_format = ctypes.c_ulong(), ctypes.c_int()
        items, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        status = self.lib.XGetWindowProperty(self.display, window, self.atom(name), 0, count, 0, 0,
                                             ctypes.byref(actual_type), ctypes.byref(actual_format),
                                             ctypes.byref(items), ctypes.byref(after), ctypes.byref(data))
        if status != 0 or not data.value:
            return [], 0
        values = list(ctypes.cast(data, ctypes.POINTER(ctypes.c_long))[:items.value])
        self.lib.XFree(data)
        return values, after.value


WINDOW_LINE = re.compile(r'^\s*(0x[0-9a-f]+) "(.*)": \(.*\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)')


def top_windows(display):
    """(id, title, width, height, x, y) of every named window on the display."""
    out = subprocess.run(['xwininfo', '-root', '-tree'], env=dict(os.environ, DISPLAY=display),
                         capture_output=True, text=True, errors='replace', timeout=30).stdout
    found = []
    for line in out.splitlines():
        m = WINDOW_LINE.match(line)
        if m:
            found.append((int(m.group(1), 16), m.group(2), *map(int, m.group(3, 4, 5, 6))))
    return found


STATS_LINE = re.compile(r'^\s*(Absolute upper-left X|Absolute upper-left Y|Width|Height|Map State):\s+(\S+)')
HEADER_LINE = re.compile(r'^xwininfo: Window id: (0x[0-9a-f]+) "(.*)"$')


def shown_window(display, window_id):
    """(id, title, width, height, x, y) of a window that is on the screen (mapped), as it
    is at this moment; None while it is not, or once it is gone.

    Only a window on the screen has its final size: Wine makes a program's X window, with
    its title, as soon as the program creates the window, and sizes it in steps while it
    is still hidden (the whole window, frame included; then the client area asked for;
    then whatever size the program sets before showing it, such as its size at the
    display's scale). The size and the map state come from one request, so they match."""
    out = subprocess.run(['xwininfo', '-id', hex(window_id)], env=dict(os.environ, DISPLAY=display),
                         capture_output=True, text=True, errors='replace', timeout=30)
    if out.returncode != 0:
        return None
    lines = out.stdout.splitlines()
    header = next((HEADER_LINE.match(line) for line in lines if HEADER_LINE.match(line)), None)
    stats = dict(m.groups() for m in map(STATS_LINE.match, lines) if m)
    if header is None or stats.get('Map State') != 'IsViewable':
        return None
    return (window_id, header.group(2), int(stats['Width']), int(stats['Height']),
            int(stats['Absolute upper-left X']), int(stats['Absolute upper-left Y']))


def wait_for_window(display, accept, timeout, alive=None):
    """The first window on the screen (see shown_window) whose title accept() takes,
    waiting up to timeout seconds; None on time-out or as soon as alive() turns false.
    accept() is asked before the window's size is read: a condition it waits for (a
    line the program printed) comes before the size."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for window in top_windows(display):
            if accept(window[1]):
                found = shown_window(display, window[0])
                if found is not None and accept(found[1]):
                    return found
        if alive is not None and not alive():
            return None
        time.sleep(0.1)
    return None


def screenshot(display, window_id, png):
    """Saves what the window shows as a PNG file."""
    subprocess.run(['/usr/bin/import', '-silent', '-window', hex(window_id), f'png:{png}'],
                   env=dict(os.environ, DISPLAY=display), check=True, capture_output=True, timeout=60)


def display_usable(display, isolated_network=False):
    """Whether an X client can open the display (from a private network namespace when
    asked, where only the display's socket file is reachable)."""
    command = ['xdpyinfo']
    if isolated_network:
        command = ['unshare', '-n', '--'] + command
    try:
        return subprocess.run(command, env=dict(os.environ, DISPLAY=display), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False
