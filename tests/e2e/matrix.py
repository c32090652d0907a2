"""Declarative end-to-end cases and the runner that plays them against the e2e launcher.

A Case is one run: the test server's scenario, the launcher's file name, and what must
come out of it: exit code, the sequence of states, lines of standard output, the whole of
standard error, the requests the server received, the files left under the applications
root, and, for a run that starts the application, the sample application's record of how
it was started. Expected texts may hold placeholders that stand for what differs by
target, edition and channel:

    {app}            the application file name ("quenza-bo" / "quenza-bo.exe")
    {apps:sub/path}  the applications root, joined with sub/path   (the ":sub/path" is
    {env:...}        the environment directory of the channel        optional; written
    {dir:...}        the install directory (installDir)              with "/", joined
    {new:...}        the staging directory (installDirNew)           as the launcher does)
    {host}           the application server host of the channel

In log lines they expand to full paths as the launcher writes them; in the keys of files
to paths relative to the applications root.

    runner = matrix.Runner(test_case, session)
    runner.play(case)          # runs it and asserts everything it declares
"""

import dataclasses
import pathlib
import re
import subprocess
import sys
import time

import release

sys.path.append(str(pathlib.Path(__file__).resolve().parents[2] / 'scripts'))
from kit.identity import APP_FILE_NAMES  # noqa: E402


def app_file(edition, windows):
    """The installed application's file name of the edition, on Windows or on Linux."""
    return APP_FILE_NAMES[edition]['MS_WINDOWS' if windows else 'GNU_LINUX']


# The states of a run, as the "Changing state: " lines name them.
START = ('Showing window', 'Querying OTA', 'Waiting')


def verified(*then):
    """States of a run whose verify reply was usable, followed by then."""
    return (*START, 'Cleaning before download', *then)


def downloading(stored, *then):
    """States of a run that stored `stored` payloads and is back in Downloading."""
    return verified('Constructing queue', 'Downloading', *(('Waiting', 'Downloading') * stored), *then)


def succeeded(payloads):
    """States of a complete run with that many payloads."""
    return downloading(payloads, 'Preparing execution', 'Executing app', 'Closing window')


# Expectations on the files under the applications root.
ABSENT = 'absent'
DIR = 'directory'
EMPTY_DIR = 'empty directory'
FILE = 'file'
# Nothing a run would leave of an install: absent, or (Linux) only the run lock's file.
NO_INSTALL = 'no install'


@dataclasses.dataclass(frozen=True)
class Link:
    target: str


@dataclasses.dataclass(frozen=True)
class Text:
    """A file holding exactly this text, placeholders expanded."""
    template: str


@dataclasses.dataclass
class Case:
    name: str
    scenario: dict = None             # the server's scenario; None: nothing listens
    file_name: str = 'quenza-installer'  # ".exe" is added for the Windows build
    edition: str = 'QUENZA_PMS'       # what the file name must select
    channel: str = 'PROD'
    exit_code: int = 1
    states: tuple = ()                # every "Changing state: " line, in order
    stdout: tuple = ()                # lines that must appear in this order
    not_stdout: tuple = ()            # beginnings of lines that must not appear
    stderr: tuple = ()                # the whole standard error
    requests: tuple = None            # paths the server received, in order
    files: dict = dataclasses.field(default_factory=dict)  # under the applications root
    record: bool = False              # whether the sample application must have run
    seed: object = None               # callable(Context) before the run
    during: tuple = None              # (request path, callable(Context)) while it is served
    interact: object = None           # callable(Context, RunningLauncher) once it has started
    cert: str = 'server'
    env: dict = None
    proxy: object = None              # a harness.Proxy to run beside the server
    server_bind: str = None           # the server's loopback address, if not 127.0.0.1
    platforms: tuple = ('linux', 'windows')
    display: str = None               # set by windowed runners


PLACEHOLDER = re.compile(r'\{(apps|env|dir|new)(?::([^{}]*))?\}')


def join(first, second, separator):
    """Path joining as the launcher does it: every separator of both pieces written as
    the platform's, exactly one between them."""
    a = first.replace('\\', separator).replace('/', separator)
    b = second.replace('\\', separator).replace('/', separator)
    if not a or not b:
        return a or b
    return a.rstrip(separator) + separator + b.lstrip(separator)


class Context:
    """Where a case's run puts things, for its placeholders and its seed and during steps."""

    def __init__(self, target, session, edition, channel):
        self.target = target
        self.session = session
        self.edition = edition
        self.channel = channel.lower()
        self.app = app_file(edition, target.windows)
        self.host = f'app-{self.channel}.localhost'
        self.env_name = f'https__ota-{self.channel}.localhost'
        # Host paths, for seeding and inspecting.
        self.apps = session.profile_dir / '.QuenzaQtApps'
        self.env_dir = self.apps / self.env_name
        self.dir = self.env_dir / edition
        self.new = self.env_dir / (edition + '.new')
        self.values = {}  # more placeholders, set by a seed: {name} stands for values[name]
        self._locked = []
        self._processes = []

    def lock_file_name(self):
        """The run lock's file in the applications root (Linux; Windows uses a mutex)."""
        return None if self.target.windows else f'.{self.edition}_{self.channel.upper()}.lock'

    def launcher_apps_root(self):
        """The applications root as the launcher writes it."""
        if self.target.windows:
            return 'C:\\users\\%s\\.QuenzaQtApps' % self.session.profile_dir.name
        return str(self.apps)

    def expand(self, text, absolute=True):
        """The text with its placeholders replaced; any other brace stays as it is."""
        separator = ('\\' if self.target.windows else '/') if absolute else '/'
        apps = self.launcher_apps_root() if absolute else ''
        env = join(apps, self.env_name, separator)
        bases = {'apps': apps, 'env': env, 'dir': join(env, self.edition, separator),
                 'new': join(env, self.edition + '.new', separator)}
        text = text.replace('{app}', self.app).replace('{host}', self.host)
        for name, value in self.values.items():
            text = text.replace('{%s}' % name, value)
        return PLACEHOLDER.sub(lambda m: join(bases[m.group(1)], m.group(2) or '', separator), text)

    def host_path(self, relative):
        """A path relative to the applications root ("/"-separated) on the host."""
        return self.apps.joinpath(*[p for p in relative.split('/') if p])

    def lock(self, path):
        """Makes a file or directory immutable (not even root may change or remove it)
        until the case ends."""
        subprocess.run(['chattr', '+i', str(path)], check=True)
        self._locked.append(path)

    def keep_running(self, process):
        """A process (subprocess.Popen) the case started, ended with the case."""
        self._processes.append(process)

    def release_locks(self):
        """Ends what the case holds: its immutable marks and the processes it started."""
        for path in reversed(self._locked):
            subprocess.run(['chattr', '-i', str(path)], check=False)
        self._locked.clear()
        for process in self._processes:
            process.kill()
            process.wait()
        self._processes.clear()


def element0(target, program):
    """The launcher's element 0 as it receives it: Wine hands over the DOS form of the
    path it was started with."""
    if target.windows:
        return 'Z:' + str(program).replace('/', '\\')
    return str(program)


class Runner:
    """Plays cases in one Session, emptying the applications root before each."""

    def __init__(self, test, session):
        self.test = test
        self.session = session
        self.target = session.target

    def applies(self, case):
        return self.target.name in case.platforms

    def clean(self):
        apps = self.session.profile_dir / '.QuenzaQtApps'
        if apps.exists() or apps.is_symlink():
            subprocess.run(['rm', '-rf', '--', str(apps)], check=True)

    def play(self, case, *, keep=False):
        """Runs the case and checks it; returns (RunResult, Context). keep: leave the
        applications root as it is before the run (the case builds on the last one)."""
        if not keep:
            self.clean()
        ctx = Context(self.target, self.session, case.edition, case.channel)
        handle = None
        try:
            if case.seed:
                case.seed(ctx)
            handle = self.session.start(case.scenario, case.file_name + self.target.exe_suffix, cert=case.cert,
                                        env=case.env, display=case.display, wait_children=case.record,
                                        proxy=case.proxy, server_bind=case.server_bind)
            if case.during:
                path, action = case.during
                self.wait_for_request(handle, path)
                action(ctx)
            if case.interact:
                case.interact(ctx, handle)
            result = handle.wait()
            self.check(case, ctx, handle, result)
        finally:
            if handle:
                handle.stop()
            ctx.release_locks()
        return result, ctx

    def wait_for_request(self, handle, path, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(r.path == path for r in handle.requests()):
                return
            if not handle.running():
                break
            time.sleep(0.02)
        self.test.fail(f'the server never received {path}')

    def check(self, case, ctx, handle, result):
        t = self.test
        out, err = result.stdout, result.stderr
        where = '\nstdout:\n' + '\n'.join(out) + '\nstderr:\n' + '\n'.join(err)
        t.assertFalse(result.timed_out, 'the run timed out' + where)
        t.assertEqual(result.exit_code, case.exit_code, 'exit code' + where)

        t.assertIn(f'App Slug: raw={case.edition} pretty=', '\n'.join(out[:3]), where)
        t.assertIn(f'Env Channel: raw={case.channel} pretty=', '\n'.join(out[:3]), where)
        states = tuple(line[len('Changing state: '):] for line in out if line.startswith('Changing state: '))
        if case.states:
            t.assertEqual(states, tuple(case.states), 'states' + where)
        last = {0: 'Changing state: Closing window', 1: 'Changing state: Error',
                255: 'Closing from user action'}[case.exit_code]
        t.assertEqual(out[-1:], [last], 'the last line' + where)

        expected_out = [ctx.expand(line) for line in case.stdout]
        position = 0
        for line in expected_out:
            try:
                position = out.index(line, position) + 1
            except ValueError:
                t.fail(f'missing or out of order on standard output: {line!r}' + where)
        for start in case.not_stdout:
            t.assertFalse([line for line in out if line.startswith(start)], f'unexpected {start!r}' + where)
        t.assertEqual(err, [ctx.expand(line) for line in case.stderr], 'standard error' + where)

        if case.requests is not None:
            t.assertEqual([r.path for r in result.requests], list(case.requests), 'requests' + where)

        for relative, expected in case.files.items():
            self.check_file(ctx, ctx.expand(relative, absolute=False), expected, where)

        if case.record:
            self.check_record(ctx, handle, where)

    def check_file(self, ctx, relative, expected, where):
        t = self.test
        path = ctx.host_path(relative)
        what = f'{relative} should be {expected!r}' + where
        if expected == ABSENT:
            t.assertFalse(path.exists() or path.is_symlink(), what)
        elif expected == NO_INSTALL:
            lock = ctx.lock_file_name()
            if lock is None:
                t.assertFalse(path.exists() or path.is_symlink(), what)
            else:
                t.assertTrue(path.is_dir() and not path.is_symlink(), what)
                t.assertEqual(sorted(p.name for p in path.iterdir()), [lock], what)
                t.assertTrue((path / lock).is_file() and not (path / lock).is_symlink(), what)
        elif expected in (DIR, EMPTY_DIR):
            t.assertTrue(path.is_dir() and not path.is_symlink(), what)
            if expected == EMPTY_DIR:
                t.assertEqual(sorted(p.name for p in path.iterdir()), [], what)
        elif expected == FILE:
            t.assertTrue(path.is_file() and not path.is_symlink(), what)
        elif isinstance(expected, Text):
            t.assertTrue(path.is_file() and not path.is_symlink(), what)
            t.assertEqual(path.read_bytes(), ctx.expand(expected.template).encode('utf-8'), what)
        elif isinstance(expected, Link):
            t.assertTrue(path.is_symlink(), what)
            t.assertEqual(str(path.readlink()), expected.target, what)
        else:
            t.assertTrue(path.is_file() and not path.is_symlink(), what)
            t.assertEqual(path.read_bytes(), expected, what)

    def check_record(self, ctx, handle, where):
        """The sample application ran from the staging directory with exactly the one
        argument the launcher passes, and found the host-name file beside it."""
        record_file = ctx.new / release.RECORD_NAME
        deadline = time.monotonic() + 20
        while not record_file.exists() and time.monotonic() < deadline:
            time.sleep(0.05)  # the application is detached and may still be starting
        record = release.read_record(record_file)
        self.test.assertIsNotNone(record, 'the sample application left no record' + where)
        values = dict(record)
        self.test.assertEqual(values.get('program'), ctx.expand('{new:{app}}'), record)
        self.test.assertEqual([v for k, v in record if k == 'arg'],
                              ['--installer=' + element0(self.target, handle.program)], record)
        self.test.assertEqual(values.get('hostname'), ctx.host, record)
        if not self.target.windows:
            self.test.assertEqual(values.get('library'), 'libquenza-core.so.1 1.2.3', record)
        self.test.assertEqual(record[-1], ('end', ''), record)

