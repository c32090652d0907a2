"""The splash window on a real X display (Xvfb, no window manager).

The launcher is run where its first request cannot succeed (a private network namespace
with no interface up), so it goes to the error display: the window must carry the error
title and show the error artwork pixel for pixel, stay up, and end the run with exit code
-1 (255) when closed the way a window manager closes it. The helper splash_probe shows
the progress artwork the same way. A Windows build runs under Wine on the same display,
and once more in a prefix set to 150 % (144 DPI), where the client area and the picture
must be scaled. Screenshots are kept in <build dir>/screenshots/.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import harness  # noqa: E402
import launcher  # noqa: E402
from xdisplay import X11, XServer, display_candidates, top_windows, wait_for_window  # noqa: E402

TARGET = launcher.parse_target()
WIDTH, HEIGHT = 640, 320
ERROR_PREFIX = "Erreur d'installation de Quenza ("
PROGRESS_TITLE = 'Installation de Quenza, veuillez patienter...'
# Wine's first start in a fresh prefix takes a while.
WINDOW_TIMEOUT = 180 if TARGET.windows else 30


def expected_rgb(rgba_file):
    data = pathlib.Path(rgba_file).read_bytes()
    rgb = bytearray(len(data) // 4 * 3)
    for channel in range(3):
        rgb[channel::3] = data[channel::4]
    return bytes(rgb)


def differing_pixels(actual, expected):
    return sum(1 for i in range(0, len(expected), 3) if actual[i:i + 3] != expected[i:i + 3])


class SplashWindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        TARGET.stop_wine()
        cls.xserver = XServer(display_candidates())
        cls.display = cls.xserver.display
        cls.x11 = X11(cls.display)
        cls.shots = TARGET.build_dir / 'screenshots'
        cls.shots.mkdir(parents=True, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.x11.close()
        cls.xserver.stop()
        TARGET.stop_wine()

    def setUp(self):
        # Each case in a Wine session of its own: a program started while the last case's
        # session winds down cannot join it and waits, a bounded while, for its end.
        TARGET.stop_wine()
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix='quenza-splash-'))
        self.processes = []

    def tearDown(self):
        for proc in self.processes:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, program, *, isolated_network=True, display=True, wrap=(), extra_env=None):
        """Starts a program of the build with its output going to files of the test."""
        env = TARGET.environment(home=self.tmp / 'home', extra=extra_env)
        (self.tmp / 'home').mkdir(exist_ok=True)
        if display:
            env['DISPLAY'] = self.display
        else:
            env.pop('DISPLAY', None)
        command = list(wrap) + TARGET.command(program)
        if isolated_network:
            command = ['unshare', '-n', '--'] + command
        out = open(self.tmp / 'stdout', 'wb')
        err = open(self.tmp / 'stderr', 'wb')
        proc = subprocess.Popen(command, env=env, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        out.close()
        err.close()
        self.processes.append(proc)
        return proc

    def output(self):
        return (launcher.split_lines((self.tmp / 'stdout').read_bytes()),
                launcher.split_lines((self.tmp / 'stderr').read_bytes()))

    def wait_for_window(self, proc, accept, timeout=WINDOW_TIMEOUT):
        """The program's window once it is on the screen, as it is then."""
        window = wait_for_window(self.display, accept, timeout, alive=lambda: proc.poll() is None)
        if window is not None:
            return window
        if proc.poll() is not None:
            self.fail(f'exited with {proc.returncode} before its window appeared: {self.output()}')
        self.fail(f'no window appeared within {timeout} s; windows: {top_windows(self.display)}')

    def assert_shows(self, window_id, rgba_file, name):
        """The window's content equals the artwork, allowing a moment for painting."""
        expected = expected_rgb(rgba_file)
        raw = self.tmp / f'{name}.rgb'
        png = self.shots / f'{TARGET.name}-{name}.png'
        env = dict(os.environ, DISPLAY=self.display)
        deadline = time.monotonic() + 20
        while True:
            subprocess.run(['/usr/bin/import', '-silent', '-window', hex(window_id), '-depth', '8', f'rgb:{raw}'],
                           env=env, check=True, capture_output=True, timeout=60)
            actual = raw.read_bytes()
            if actual == expected or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        subprocess.run(['/usr/bin/convert', '-size', f'{WIDTH}x{HEIGHT}', '-depth', '8', f'rgb:{raw}',
                        f'png:{png}'], check=True, capture_output=True, timeout=60)
        self.assertEqual(len(actual), len(expected), f'screenshot size; see {png}')
        if actual != expected:
            self.fail(f'{differing_pixels(actual, expected)} of {WIDTH * HEIGHT} pixels differ '
                      f'from {rgba_file}; see {png}')

    def close_and_wait(self, proc, window_id):
        self.x11.send_delete_window(window_id)
        try:
            return proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.fail('still running 60 s after the close request')

    def expected_error_title(self, stdout):
        """The error title from the values the run logged (None when it logged none)."""
        values = {}
        for line in stdout:
            for key, pattern in (('os', r'^OS Type: raw=\S* pretty=(.*)$'),
                                 ('cpu', r'^CPU Arch: raw=\S* pretty=(.*)$'),
                                 ('version', r'^Stack Version: raw=(.*) major=')):
                m = re.match(pattern, line)
                if m:
                    values[key] = m.group(1)
        if len(values) < 3:
            return None
        self.assertEqual(values['os'], 'Windows' if TARGET.windows else 'Linux')
        self.assertEqual(values['cpu'], 'x86_64')
        return f"{ERROR_PREFIX}{values['os']} {values['cpu']} {values['version']})"

    def test_error_display_stays_until_closed(self):
        exe = launcher.copy_launcher(TARGET, self.tmp / 'bin', 'quenza-installer' + TARGET.exe_suffix)
        proc = self.start(exe)
        window_id, title, width, height, x, y = self.wait_for_window(proc, lambda t: t.startswith(ERROR_PREFIX))
        self.assertEqual((width, height), (WIDTH, HEIGHT), 'client area')
        self.assert_shows(window_id, TARGET.source_dir / 'resources' / 'error.rgba', 'error')
        time.sleep(1)
        self.assertIsNone(proc.poll(), 'the error display waits for the user')

        code = self.close_and_wait(proc, window_id)
        stdout, stderr = self.output()
        self.assertEqual(code, 255, (stdout, stderr))
        self.assertEqual(stdout[-1:], ['Closing from user action'], stdout)
        self.assertIn('Changing state: Error', stdout)
        self.assertTrue(stderr, 'the failing step wrote its line')
        expected = self.expected_error_title(stdout)
        if expected is not None:
            self.assertEqual(title, expected)
        else:
            # The run logged no environment values to build the title from.
            self.assertRegex(title, r"^Erreur d'installation de Quenza \((Windows|Linux) x86_64 [^()]*\)$")

    def test_progress_artwork_until_closed(self):
        proc = self.start(TARGET.executable('splash_probe'), isolated_network=False)
        window_id, _, width, height, x, y = self.wait_for_window(proc, lambda t: t == PROGRESS_TITLE)
        self.assertEqual((width, height), (WIDTH, HEIGHT), 'client area')
        self.assert_shows(window_id, TARGET.source_dir / 'resources' / 'progress.rgba', 'progress')
        self.assertIsNone(proc.poll())
        code = self.close_and_wait(proc, window_id)
        stdout, stderr = self.output()
        self.assertEqual(code, 0, (stdout, stderr))
        self.assertEqual(stdout, ['Window shown', 'Closed by user'])

    def assert_scaled(self, window_id, name):
        """The 960 x 480 at the top left of the client area show the picture: brought back
        to 640 x 320 it is the artwork within the blur of two resamplings, while a picture
        drawn unscaled (with the background around it) or not at all is far from it.
        Allows a moment for the window to be mapped and painted."""
        shot = self.shots / f'{TARGET.name}-{name}.png'
        raw = self.tmp / f'{name}-scaled-back.rgb'
        env = dict(os.environ, DISPLAY=self.display)
        expected = expected_rgb(TARGET.source_dir / 'resources' / 'progress.rgba')
        deadline = time.monotonic() + 20
        while True:
            taken = subprocess.run(['/usr/bin/import', '-silent', '-window', hex(window_id), f'png:{shot}'],
                                   env=env, capture_output=True, timeout=60).returncode == 0
            mean = None
            if taken:
                subprocess.run(['/usr/bin/convert', str(shot), '-crop', '960x480+0+0', '+repage', '-resize',
                                f'{WIDTH}x{HEIGHT}!', '-depth', '8', f'rgb:{raw}'],
                               check=True, capture_output=True, timeout=60)
                actual = raw.read_bytes()
                self.assertEqual(len(actual), len(expected))
                mean = sum(abs(a - b) for a, b in zip(actual, expected)) / len(expected)
                if mean < 4:
                    return
            if time.monotonic() > deadline:
                self.fail(f'mean difference per channel {mean}; see {shot}')
            time.sleep(0.5)

    @unittest.skipUnless(TARGET.windows, 'the scale a Windows session sets')
    def test_windows_window_at_150_percent(self):
        # A prefix of its own, since the other tests must keep the default 96. Wine reads
        # the scale as each program starts, from its session's registry: the session
        # that set it has ended (and written it out) before the probe starts its own.
        prefix = self.tmp / 'wine-144dpi'
        harness.copy_prefix(TARGET.wine_prefix, prefix)
        wine_env = dict(TARGET.environment(), WINEPREFIX=str(prefix))
        subprocess.run(['wine', 'reg', 'add', r'HKCU\Control Panel\Desktop', '/v', 'LogPixels', '/t', 'REG_DWORD',
                        '/d', '144', '/f'], env=wine_env, check=True, capture_output=True, timeout=120)
        harness.wait_for_wine_end(prefix)
        try:
            proc = self.start(TARGET.executable('splash_probe'), isolated_network=False,
                              extra_env={'QUENZA_WINEPREFIX': str(prefix)})
            window_id, _, width, height, x, y = self.wait_for_window(proc, lambda t: t == PROGRESS_TITLE)
            self.assertEqual((width, height), (960, 480), 'client area at 150 %')
            self.assertEqual(x, (1280 - 960) // 2, 'centred at its scaled size')
            self.assert_scaled(window_id, 'progress-144dpi')
            self.assertEqual(self.close_and_wait(proc, window_id), 0)
        finally:
            subprocess.run(['wineserver', '-k'], env=wine_env, check=False, capture_output=True)
            subprocess.run(['wineserver', '-w'], env=wine_env, check=False, capture_output=True)

    @unittest.skipUnless(TARGET.windows, 'the messages Windows sends on a move to a monitor of another scale')
    def test_windows_window_follows_a_move_to_150_percent(self):
        proc = self.start(TARGET.executable('splash_dpi_probe_win32'), isolated_network=False)
        # Once the probe has said the move is done: the window is on the screen before.
        window_id, _, width, height, x, y = self.wait_for_window(
            proc, lambda t: t == PROGRESS_TITLE and (self.tmp / 'stdout').read_bytes().strip() != b'')
        # Wine keeps drawing the frame at its own 96 DPI, so the rectangle sized for a
        # frame at 144 leaves the client area a few rows taller than on Windows.
        self.assertEqual(width, 960, 'client width after the move')
        self.assertGreaterEqual(height, 480, 'client height after the move')
        self.assert_scaled(window_id, 'progress-moved-to-144dpi')
        self.assertEqual(self.close_and_wait(proc, window_id), 0, self.output())

    @unittest.skipIf(TARGET.windows, 'the X11 window of the Linux build')
    def test_linux_window_properties(self):
        proc = self.start(TARGET.executable('splash_probe'), isolated_network=False)
        window_id, _, width, height, x, y = self.wait_for_window(proc, lambda t: t == PROGRESS_TITLE)
        self.assertEqual((x, y), ((1280 - WIDTH) // 2, (1024 - HEIGHT) // 2), 'centred on the screen')
        hints = subprocess.run(['xprop', '-id', hex(window_id)], env=dict(os.environ, DISPLAY=self.display),
                               capture_output=True, text=True, timeout=30).stdout
        self.assertIn('program specified minimum size: 640 by 320', hints)
        self.assertIn('program specified maximum size: 640 by 320', hints)
        self.assertIn('WM_PROTOCOLS(ATOM): protocols  WM_DELETE_WINDOW', hints)
        self.assertIn(f'_NET_WM_NAME(UTF8_STRING) = "{PROGRESS_TITLE}"', hints)
        self.assertIn(f'WM_NAME(STRING) = "{PROGRESS_TITLE}"', hints)
        icon, remaining = self.x11.cardinals(window_id, '_NET_WM_ICON', 2)
        self.assertEqual(icon, [256, 256])
        self.assertEqual(remaining, 256 * 256 * 4, 'one ARGB value per pixel of the logo tile')
        self.assertEqual(self.close_and_wait(proc, window_id), 0)

    @unittest.skipIf(TARGET.windows, 'how the Linux build runs without a display')
    def test_linux_without_display_runs_without_window(self):
        exe = launcher.copy_launcher(TARGET, self.tmp / 'bin', 'quenza-installer')
        proc = self.start(exe, display=False)
        self.assertEqual(proc.wait(timeout=60), 1)
        stdout, _ = self.output()
        self.assertEqual(stdout[-1:], ['Changing state: Error'])

    @unittest.skipIf(TARGET.windows, 'how the Linux build runs without libX11')
    def test_linux_without_libx11_runs_without_window(self):
        needed = subprocess.run(['readelf', '-d', str(TARGET.executable('quenza-installer'))],
                                capture_output=True, text=True, check=True).stdout
        self.assertNotIn('libX11', needed, 'libX11 is loaded at run time, never linked')

        # Hide every copy of the library from the launcher in a private mount namespace.
        copies = sorted({line.split('=>')[-1].strip() for line in
                         subprocess.run(['ldconfig', '-p'], capture_output=True, text=True).stdout.splitlines()
                         if 'libX11.so.6 ' in line})
        self.assertTrue(copies)
        empty = self.tmp / 'empty'
        empty.write_bytes(b'')
        mounts = '; '.join(f'mount --bind {empty} {c}' for c in copies)
        exe = launcher.copy_launcher(TARGET, self.tmp / 'bin', 'quenza-installer')
        proc = self.start(exe, wrap=['unshare', '-m', '--', 'sh', '-c', mounts + '; exec "$@"', 'hide-x11'])
        self.assertEqual(proc.wait(timeout=60), 1, self.output())
        stdout, _ = self.output()
        self.assertEqual(stdout[-1:], ['Changing state: Error'])
        self.assertFalse([w for w in top_windows(self.display) if 'Quenza' in w[1]])


if __name__ == '__main__':
    unittest.main()
