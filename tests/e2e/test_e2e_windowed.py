"""The whole run of the e2e launcher with its window on an X display (Xvfb, no window
manager), against the test server on port 443: the error display until the user closes
it, a close while a payload is on its way, a close while a large payload is being
written, and a complete run that closes its window.

The window is closed as a window manager closes it (WM_DELETE_WINDOW). A screenshot of
the progress window during a download is kept in <build dir>/screenshots/.
"""

import os
import pathlib
import select
import sys
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import e2e_cases  # noqa: E402
import harness  # noqa: E402
import launcher  # noqa: E402
import matrix  # noqa: E402
import planted_dlls  # noqa: E402
import release  # noqa: E402
import xdisplay  # noqa: E402
from matrix import ABSENT, EMPTY_DIR, START, Case, downloading, succeeded  # noqa: E402

TARGET = None
ERROR_PREFIX = "Erreur d'installation de Quenza ("
PROGRESS_TITLE = 'Installation de Quenza, veuillez patienter...'


class Windowed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xserver = xdisplay.XServer(xdisplay.display_candidates())
        cls.display = cls.xserver.display
        cls.x11 = xdisplay.X11(cls.display)
        cls.session = harness.Session(TARGET)
        cls.release = release.make(TARGET, TARGET.build_dir / 'sample-release' / 'windowed')
        cls.shots = TARGET.build_dir / 'screenshots'
        cls.shots.mkdir(parents=True, exist_ok=True)
        # A fresh Wine prefix makes its first window slowly.
        cls.window_timeout = 90 if TARGET.windows else 30

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)
        cls.x11.close()
        cls.xserver.stop()

    def setUp(self):
        self.runner = matrix.Runner(self, self.session)

    def wait_for_window(self, handle, accept, what):
        window = xdisplay.wait_for_window(self.display, accept, self.window_timeout, alive=handle.running)
        if window is None:
            self.fail(f'no {what} window; windows: {xdisplay.top_windows(self.display)}')
        self.assertEqual(window[2:4], (640, 320), 'client area')
        return window

    def no_window_left(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if not [w for w in xdisplay.top_windows(self.display) if 'Quenza' in w[1]]:
                return
            time.sleep(0.1)
        self.fail(f'a window stayed: {xdisplay.top_windows(self.display)}')

    def play(self, case):
        case.display = self.display
        result, ctx = self.runner.play(case)
        self.no_window_left()
        return result, ctx

    def test_error_display_until_closed(self):
        def close_error_window(ctx, handle):
            window_id, title = self.wait_for_window(handle, lambda t: t.startswith(ERROR_PREFIX), 'error')[:2]
            self.assertRegex(title, r"^Erreur d'installation de Quenza \((Windows|Linux) x86_64 [0-9.]*\)$")
            time.sleep(0.5)
            self.assertTrue(handle.running(), 'the error display waits for the user')
            self.x11.send_delete_window(window_id)

        result, _ = self.play(Case(
            'error display', e2e_cases.verify_reply({'status': 500, 'text': 'OTA backend down'}),
            interact=close_error_window, exit_code=255, states=(*START, 'Error', 'Waiting'),
            stderr=('POST failed: status=500 body=OTA backend down',), files=e2e_cases.NOTHING_WRITTEN))
        self.assertEqual(result.stdout[-3:], ['Changing state: Error', 'Changing state: Waiting',
                                              'Closing from user action'])

    def test_close_during_a_download(self):
        held = e2e_cases.payload(*e2e_cases.ONE[:3], delay=60)

        def close_while_held(ctx, handle):
            self.runner.wait_for_request(handle, '/cdn/deps/one')
            window_id = self.wait_for_window(handle, lambda t: t == PROGRESS_TITLE, 'progress')[0]
            xdisplay.screenshot(self.display, window_id, self.shots / f'{TARGET.name}-e2e-downloading.png')
            self.x11.send_delete_window(window_id)

        started = time.monotonic()
        result, _ = self.play(Case(
            'close during a download', e2e_cases.scenario(dependencies=(held, e2e_cases.TWO)),
            interact=close_while_held, exit_code=255, states=downloading(1, 'Waiting'),
            stdout=('DL request: remoteUrl=%s/deps/one localPath={new:data/one.txt}' % e2e_cases.CDN,),
            stderr=(), requests=e2e_cases.fetched('app/quenza-app', 'deps/one'),
            files={'{new:{app}}': e2e_cases.APP_BODY, '{new:data}': ABSENT, '{dir}': EMPTY_DIR}))
        self.assertLess(time.monotonic() - started, 50, 'the run ended with the close, not with the reply')
        self.assertTrue(result.stdout[-2].startswith('DL request: '), result.stdout[-3:])

    def test_close_while_a_large_payload_is_written(self):
        """The window keeps reading its messages while a payload is written: a close sent
        then takes the window away before the write has ended, and the run ends at the
        loop's own check once the payload is stored, with nothing further. The payload's
        file is a FIFO that this test reads at its own pace, so the write lasts as long as
        the test wants, whatever the machine's speed."""
        size = 12 * 1024 * 1024
        body = harness.generated_bytes(size, 17)
        scenario = e2e_cases.scenario(application=e2e_cases.payload('app/quenza-app', '', b''))
        # Held back so that the FIFO is in place before the reply arrives.
        scenario['routes']['/cdn/app/quenza-app'] = {'generate': {'size': size, 'seed': 17}, 'delay': 3}
        scenario['routes']['/ota/verify']['json']['app'].update(hash=harness.digest_text(body), size=size)
        received = bytearray()
        left_when_gone = []

        def close_during_the_write(ctx, handle):
            window_id = self.wait_for_window(handle, lambda t: t == PROGRESS_TITLE, 'progress')[0]
            self.runner.wait_for_request(handle, '/cdn/app/quenza-app')
            fifo = ctx.new / ctx.app
            os.mkfifo(fifo)
            fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            try:
                def read(limit):
                    """Up to limit bytes; None at the end, once the writer has come and gone."""
                    select.select([fd], [], [], 0.02)
                    try:
                        data = os.read(fd, limit)
                    except BlockingIOError:
                        return b''
                    return data if data or not received else None

                deadline = time.monotonic() + 90
                # Past the first piece, so the launcher is inside its write.
                while len(received) <= 1024 * 1024 and time.monotonic() < deadline:
                    received.extend(read(65536) or b'')
                self.x11.send_delete_window(window_id)
                while time.monotonic() < deadline:
                    if not [w for w in xdisplay.top_windows(self.display) if w[0] == window_id]:
                        left_when_gone.append(size - len(received))
                        break
                    data = read(16384)
                    if data is None:
                        break
                    received.extend(data)
                while time.monotonic() < deadline:
                    data = read(1024 * 1024)
                    if data is None:
                        break
                    received.extend(data)
            finally:
                os.close(fd)

        result, _ = self.play(Case(
            'close while a large payload is written', scenario, interact=close_during_the_write, exit_code=255,
            states=downloading(1), stdout=('DL control: DONE hash=%s | %s' % ((harness.digest_text(body),) * 2),),
            stderr=(), requests=e2e_cases.fetched('app/quenza-app'), files={'{new:data}': ABSENT}))
        # Without the beats the window would go only once the last piece is in the pipe.
        self.assertTrue(left_when_gone and left_when_gone[0] > size // 2,
                        f'the window went with {left_when_gone} of {size} bytes still to write')
        self.assertTrue(bytes(received) == body, f'{len(received)} of {size} bytes written, or other bytes')
        self.assertEqual(result.stdout[-2:], ['Changing state: Downloading', 'Closing from user action'])

    def test_complete_run_closes_its_window(self):
        rel = self.release
        seen = []

        def watch_window(ctx, handle):
            seen.append(self.wait_for_window(handle, lambda t: t == PROGRESS_TITLE, 'progress'))

        scenario = {'routes': rel.routes(e2e_cases.SAMPLE_CDN, first_delay=2.0)}
        self.play(Case('complete run', scenario, interact=watch_window, exit_code=0,
                       states=succeeded(1 + len(rel.deps)), stderr=(), requests=e2e_cases.sample_requests(rel),
                       files=e2e_cases.installed(rel), record=True))
        self.assertTrue(seen)

    def test_complete_run_beside_planted_dlls(self):
        """DLLs dropped beside the launcher under the names of system DLLs it or the
        system load while it runs are never loaded, even with Wine preferring them (as
        Windows prefers the executable's folder), and the install succeeds: the launcher
        imports only known DLLs and takes every other from the system directory. A
        session of its own, since the planted files stay beside the launcher."""
        if not TARGET.windows:
            self.skipTest('the Windows loader')
        rel = self.release
        with harness.Session(TARGET) as session:
            planted_dlls.plant(session.bin_dir)
            self.runner = matrix.Runner(self, session)
            scenario = {'routes': rel.routes(e2e_cases.SAMPLE_CDN, first_delay=2.0)}

            def window_made(ctx, handle):
                self.wait_for_window(handle, lambda t: t == PROGRESS_TITLE, 'progress')

            try:
                self.play(Case('complete run beside planted DLLs', scenario, interact=window_made,
                               env={'WINEDLLOVERRIDES': planted_dlls.OVERRIDES}, exit_code=0,
                               states=succeeded(1 + len(rel.deps)), stderr=(),
                               requests=e2e_cases.sample_requests(rel), files=e2e_cases.installed(rel), record=True))
            finally:
                # Even when the run failed: a planted DLL that got loaded may well be why.
                self.assertEqual(planted_dlls.loaded(session.bin_dir), [], 'planted DLLs were loaded')

    def test_a_second_launcher_of_the_same_edition_gives_way(self):
        """While a run of an edition and channel is under way, a second launcher of them
        (a double click too many) shows no window, changes nothing on the disk and ends
        with 1 and its one line; the first run goes on undisturbed. Both launchers share a
        session of their own (the lock must be seen across them), so whatever two Wine
        processes on two displays leave in it stays out of the other tests."""
        with harness.Session(TARGET) as session:
            self.runner = matrix.Runner(self, session)
            self.second_launcher_beside_a_run(session)

    def second_launcher_beside_a_run(self, session):
        rel = self.release
        seconds = []

        def start_a_second_one(ctx, handle):
            self.runner.wait_for_request(handle, '/releases/1.4.2/' + rel.app.uri)
            before = snapshot(ctx.session.profile_dir)
            # A display of its own: a window there is the second launcher's for sure.
            display = xdisplay.XServer(xdisplay.display_candidates())
            try:
                second = handle.run_beside(session, 'quenza-installer' + TARGET.exe_suffix,
                                           display=display.display, timeout=60)
                windows = xdisplay.top_windows(display.display)
            finally:
                display.stop()
            seconds.append((second, before, snapshot(ctx.session.profile_dir), windows))

        # Long enough for the second one to come and go while the first waits (Wine is slow to start).
        scenario = {'routes': rel.routes(e2e_cases.SAMPLE_CDN, first_delay=20.0 if TARGET.windows else 6.0)}
        self.play(Case('complete run beside a second launcher', scenario, interact=start_a_second_one, exit_code=0,
                       states=succeeded(1 + len(rel.deps)), stderr=(), requests=e2e_cases.sample_requests(rel),
                       files=e2e_cases.installed(rel), record=True))
        second, before, after, windows = seconds[0]
        where = f'\nstdout: {second.stdout}\nstderr: {second.stderr}'
        self.assertFalse(second.timed_out, 'the second launcher waited (a window?)' + where)
        self.assertEqual([w for w in windows if 'Quenza' in w[1]], [], where)
        self.assertEqual(second.exit_code, 1, where)
        self.assertEqual(second.stderr, ['An installation of this edition is already running: edition=QUENZA_PMS '
                                         'channel=PROD'], where)
        # The busy lock is the work of environment detection itself: no state in between.
        self.assertEqual(second.stdout[-2:], ['OTA hostname: ota-prod.localhost', 'Changing state: Error'], where)
        self.assertEqual(after, before, 'the second launcher changed the profile')


def snapshot(root):
    """Every path under root with its kind and content."""
    out = {}
    for path in sorted(pathlib.Path(root).rglob('*')):
        if path.is_symlink():
            out[str(path)] = ('link', str(path.readlink()))
        elif path.is_file():
            out[str(path)] = ('file', path.read_bytes())
        else:
            out[str(path)] = ('dir',)
    return out


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
