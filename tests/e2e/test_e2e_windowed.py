"""The whole run of the e2e launcher with its window on an X display (Xvfb, no window
manager), against the test server on port 443: the error display until the user closes
it, a close while a payload is on its way, and a complete run that closes its window.

The window is closed as a window manager closes it (WM_DELETE_WINDOW). A screenshot of
the progress window during a download is kept in <build dir>/screenshots/.
"""

import pathlib
import sys
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import e2e_cases  # noqa: E402
import harness  # noqa: E402
import launcher  # noqa: E402
import matrix  # noqa: E402
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


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
