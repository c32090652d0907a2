"""Scripted runs of a launcher against the local test server (tests/server/server.py).

Two tools, both standard library only:

TestServer: the server as a child process on ephemeral ports, for tests of a program that
is told the port (the HTTP engine's probe):

    with harness.TestServer(target, scenario, http_port=0) as server:
        url = server.https_origin + '/file'          # https://localhost:<port>
        ...
        requests = server.requests()                  # what the server received so far

Session: one isolated place to run the e2e launcher, whose hosts (ota-*.localhost,
app-*.localhost) carry no port, so the server must listen on 127.0.0.1:443 (and listens
on port 80 too, serving the same routes in clear text, so that a request that left
without TLS would show among the recorded requests, with the scheme "http"). Every run
therefore happens in a private network namespace (`unshare -n`, loopback brought up)
holding the server and the launcher, so parallel runs never meet. The session has a fresh
HOME, and for the Windows build a private Wine prefix (a copy of the build's prefix with
the program files hard-linked), so the profile folder starts clean and the Wine server,
which owns Wine's sockets, is started inside the namespace.

    with harness.Session(target) as session:
        result = session.run(scenario, 'Quenza-Demo-BackOffice' + target.exe_suffix)
        result.exit_code, result.stdout, result.stderr    # lines, '\r' removed
        result.requests                                    # list of RecordedRequest
        result.seconds, result.ended_at, result.peak_rss_kib  # how long, when, how much memory
        session.profile_dir                                # the launcher's profile folder

run() takes cert='other-server' for a server the launcher must not trust, None as the
scenario for no server at all, display=':N' for a windowed run (without one, a failing
run ends with exit code 1 instead of waiting for the window to be closed), timeout=
seconds (the result then has timed_out set), wait_children=True to let the processes
the launcher started finish under Wine, server_bind= another loopback address for the
server (so that a direct connection to 127.0.0.1 finds nothing), and proxy= a Proxy to
run in the namespace beside the server (result.proxy_log then holds its log). Several runs of one session share HOME / the
prefix, so a test can run twice in a row or seed files under session.profile_dir first.
start() takes the same options and returns at once with a RunningLauncher (running(),
requests() so far, wait() for the RunResult, run_beside() for a second launcher started
while it runs), for tests that act during a run.
Session(target, directory=...) keeps its place (HOME, prefix) for a later session.

A scenario is the dict form of the server's scenario file (see tests/server/server.py):
    {"routes": {"/ota/verify": {"json": {...}}, "/cdn/app.exe": {"generate": {...}}}}
manifest_routes() builds the routes of a valid verify reply with its payloads, their
digests filled in by the server; digest_text() and generated_bytes() give what the
server computes and serves.
"""

import base64
import dataclasses
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / 'server'))
import launcher  # noqa: E402
import server as scenario_server  # noqa: E402

# The server's own rules, so tests compute exactly what it serves.
digest_text = scenario_server.digest_text
generated_bytes = scenario_server.generated_bytes

SERVER = HERE.parent / 'server' / 'server.py'
PYTHON = os.environ.get('QUENZA_TEST_PYTHON', '/usr/bin/python3')


@dataclasses.dataclass
class RecordedRequest:
    method: str
    path: str
    target: str
    scheme: str
    headers: list  # [name, value] pairs as received, in order
    body: bytes
    time: float = 0.0  # when the server received it (Unix time)

    def header(self, name):
        """The first value of a header field, by name in any case; None when absent."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


@dataclasses.dataclass
class RunResult:
    exit_code: int  # as a POSIX status: -1 reads 255
    stdout: list
    stderr: list
    requests: list  # RecordedRequest, in the order the server received them
    timed_out: bool = False
    seconds: float = 0.0      # from the launcher's start to its end
    ended_at: float = 0.0     # Unix time of its end, to compare with RecordedRequest.time
    peak_rss_kib: int = 0     # the launcher's peak resident memory (under Wine: its Wine process)
    proxy_log: list = dataclasses.field(default_factory=list)  # the proxy's log lines, if one ran


@dataclasses.dataclass
class Proxy:
    """tinyproxy in the run's namespace, on 127.0.0.1:port.

    hosts: name -> address, the proxy's own view of host names (its /etc/hosts, in a
    private mount namespace): libcurl resolves *.localhost by itself, but a proxy asks
    the system resolver, which knows none of them. config: extra configuration lines
    (e.g. 'ConnectPort 8443' to refuse tunnels to port 443).
    """
    port: int = 3128
    hosts: dict = dataclasses.field(default_factory=dict)
    config: tuple = ()

    def config_text(self, log_file):
        lines = [f'Port {self.port}', 'Listen 127.0.0.1', 'Timeout 120', f'LogFile "{log_file}"', 'LogLevel Connect',
                 'MaxClients 20', 'Allow 127.0.0.1', *self.config]
        return '\n'.join(lines) + '\n'

    def hosts_text(self):
        return ''.join(f'{address} {name}\n' for name, address in
                       {'localhost': '127.0.0.1', **self.hosts}.items())


def read_requests(record_file):
    path = pathlib.Path(record_file)
    if not path.exists():
        return []
    out = []
    for line in path.read_text(encoding='utf-8').splitlines():
        if line.strip():
            e = json.loads(line)
            out.append(RecordedRequest(e['method'], e['path'], e['target'], e['scheme'], e['headers'],
                                       base64.b64decode(e['body_base64']), e.get('time', 0.0)))
    return out


def cert_dir(target):
    return target.source_dir / 'build' / 'e2e-ca'


def server_command(target, scenario_file, record_file, *, port, http_port=None, cert='server', ready_file=None,
                   max_tls=None, bind=None):
    cmd = [PYTHON, str(SERVER), '--scenario', str(scenario_file), '--record', str(record_file),
           '--port', str(port), '--cert-dir', str(cert_dir(target)), '--cert', cert, '--exit-with-stdin']
    if bind is not None:
        cmd += ['--bind', bind]
    if http_port is not None:
        cmd += ['--http-port', str(http_port)]
    if ready_file is not None:
        cmd += ['--ready-file', str(ready_file)]
    if max_tls is not None:
        cmd += ['--max-tls', max_tls]
    return cmd


def start_server(cmd, timeout=20):
    """Starts the server; returns (process, ready dict) once it is listening.

    The server's standard input is a pipe from this process: it ends with this process
    whatever happens to it.
    """
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = proc.stdout.readline()  # the server writes its one ready line once bound
    if not line:
        proc.wait(timeout=timeout)
        raise RuntimeError('test server did not start: ' + proc.stderr.read().decode(errors='replace'))
    return proc, json.loads(line)


def stop_server(proc):
    proc.stdin.close()
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    for stream in (proc.stdout, proc.stderr):
        stream.close()


class TestServer:
    """The test server on ephemeral ports in this network namespace (see module doc)."""

    def __init__(self, target, scenario, *, http_port=None, cert='server', max_tls=None):
        self.target = target
        self._dir = tempfile.TemporaryDirectory(prefix='quenza-server-')
        d = pathlib.Path(self._dir.name)
        self.record_file = d / 'requests.jsonl'
        scenario_file = d / 'scenario.json'
        scenario_file.write_text(json.dumps(scenario), encoding='utf-8')
        self._cmd = server_command(target, scenario_file, self.record_file, port=0, http_port=http_port, cert=cert,
                                   max_tls=max_tls)
        self._proc = None

    def __enter__(self):
        self._proc, ready = start_server(self._cmd)
        self.https_port = ready['https_port']
        self.http_port = ready['http_port']
        self.https_origin = f'https://localhost:{self.https_port}'
        self.http_origin = f'http://localhost:{self.http_port}' if self.http_port else None
        return self

    def __exit__(self, *exc):
        if self._proc:
            stop_server(self._proc)
        self._dir.cleanup()

    def requests(self):
        return read_requests(self.record_file)


# Program files Wine only reads once a prefix exists; everything else (the registry
# files, which the Wine server rewrites in place, the profile, .ini files) is copied.
_SHARED_SUFFIXES = {'.dll', '.exe', '.drv', '.sys', '.ocx', '.cpl', '.acm', '.ax', '.tlb', '.nls', '.ttf',
                    '.fon', '.mui', '.msstyles', '.com', '.ds', '.vxd', '.dll16', '.exe16', '.mod'}


# The profile's folders that Wine links to the home of whoever makes a prefix (within
# each user's profile folder). scripts/wine-run keeps the build's own prefix the same way.
SHELL_FOLDERS = ('Desktop', 'Documents', 'Downloads', 'Music', 'Pictures', 'Videos',
                 'AppData/Roaming/Microsoft/Windows/Templates')


def wait_for_wine_end(prefix, timeout=120):
    """Returns once no Wine server runs for the prefix; raises if one still does after
    timeout seconds (a program of the prefix that does not end)."""
    try:
        subprocess.run(['wineserver', '-w'], env=dict(os.environ, WINEPREFIX=str(prefix)), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f'a Wine session of {prefix} still runs after {timeout} s') from None


def copy_prefix(source, dest):
    """A private copy of a Wine prefix, hard-linking the large read-only program files.

    The copy is made once the source's Wine session, if one runs, has ended: its Wine
    server keeps registry changes in memory until it ends, and then writes each registry
    file anew beside the old one. The copy's profile keeps its shell folders as real
    folders, never links out of the prefix, so that a program writing under the
    profile never reaches the home of whoever runs the tests."""
    source = pathlib.Path(source)
    wait_for_wine_end(source)

    def copy(src, dst):
        if pathlib.Path(src).suffix.lower() in _SHARED_SUFFIXES:
            try:
                os.link(src, dst)
                return dst
            except OSError:
                pass
        return shutil.copy2(src, dst)

    shutil.copytree(source, dest, symlinks=True, copy_function=copy)
    for profile in (pathlib.Path(dest) / 'drive_c' / 'users').iterdir():
        for name in SHELL_FOLDERS:
            folder = profile / name
            if folder.is_symlink():
                folder.unlink()
                folder.mkdir(parents=True)


class Session:
    """A fresh HOME (and Wine prefix) for runs of the e2e launcher on port 443.

    directory: a lasting place for the session instead of a temporary one; it is kept,
    and a later session given the same directory finds the profile as the last run left
    it (the runs' own files are cleared).
    """

    def __init__(self, target, which='quenza-installer-e2e', directory=None):
        self.target = target
        self.which = which
        if directory is None:
            # Under the build directory so that the prefix copy can be hard-linked.
            runs = target.build_dir / 'test-runs'
            runs.mkdir(exist_ok=True)
            self._dir = tempfile.TemporaryDirectory(prefix='run-', dir=runs)
            self.dir = pathlib.Path(self._dir.name)
        else:
            self._dir = None
            self.dir = pathlib.Path(directory).resolve()
            self.dir.mkdir(parents=True, exist_ok=True)
            for old in self.dir.glob('run[0-9]*'):
                shutil.rmtree(old)
        self.home = self.dir / 'home'
        self.home.mkdir(exist_ok=True)
        self.bin_dir = self.dir / 'bin'
        self.wine_prefix = None
        if target.windows:
            self.wine_prefix = self.dir / 'wine'
            if not (self.wine_prefix / 'system.reg').exists():
                self._ensure_build_prefix()
                shutil.rmtree(self.wine_prefix, ignore_errors=True)
                copy_prefix(target.wine_prefix, self.wine_prefix)
        self._count = 0

    def _ensure_build_prefix(self):
        # wine-run creates the build's prefix on first use, under a lock.
        if not (self.target.wine_prefix / 'system.reg').exists():
            subprocess.run([str(self.target.source_dir / 'scripts' / 'wine-run'), 'cmd', '/c', 'exit'],
                           env=self.target.environment(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    @property
    def profile_dir(self):
        """The launcher's profile folder for runs of this session."""
        if self.wine_prefix:
            user = os.environ.get('USER') or 'root'
            return self.wine_prefix / 'drive_c' / 'users' / user
        return self.home

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._dir is not None:
            self._dir.cleanup()

    def run(self, scenario, file_name, **options):
        """Runs the launcher, copied under file_name, against a server with the scenario
        (None: no server at all, so nothing listens on port 443); returns its RunResult.

        cert: 'server' (signed by the launcher's test CA) or 'other-server' (unrelated CA).
        display: an X display for a windowed run; None runs without one.
        wait_children: under Wine, wait for the processes the launcher started (Wine's
        server ends them otherwise, as soon as the launcher exits).
        timeout: seconds before the launcher is killed; env: extra environment variables.
        """
        return self.start(scenario, file_name, **options).wait()

    def start(self, scenario, file_name, *, cert='server', timeout=120, display=None, env=None,
              wait_children=False, server_bind=None, proxy=None, service=None):
        """Starts a run as run() does and returns at once with its RunningLauncher, so a
        test can act while the launcher runs (close its window, change files).

        service: instead of the test server (scenario None), a server of another kind
        that serves 127.0.0.1:443 in the run's namespace: the command that runs it in the
        foreground (e.g. nginx_site.Nginx(...).command); it is ended with SIGTERM."""
        self._count += 1
        d = self.dir / f'run{self._count}'
        d.mkdir()
        (d / 'scenario.json').write_text(json.dumps(scenario or {}), encoding='utf-8')
        program = launcher.copy_launcher(self.target, self.bin_dir, file_name, self.which)
        extra = dict(env or {})
        if self.wine_prefix:
            extra['QUENZA_WINEPREFIX'] = str(self.wine_prefix)
        run_env = self.target.environment(self.home, extra)
        if display is None:
            run_env.pop('DISPLAY', None)
        else:
            run_env['DISPLAY'] = display
        job = {
            'server': None if scenario is None else server_command(self.target, d / 'scenario.json',
                                                                   d / 'requests.jsonl', port=443, http_port=80,
                                                                   cert=cert, bind=server_bind),
            'proxy': None if proxy is None else {'config': proxy.config_text(d / 'proxy.log'),
                                                 'hosts': proxy.hosts_text(), 'port': proxy.port},
            'command': self.target.command(program),
            'env': run_env,
            'cwd': str(self.bin_dir),
            'timeout': timeout,
            'wine_prefix': str(self.wine_prefix) if self.wine_prefix else None,
            'wait_children': wait_children,
            'service': service,
            'dir': str(d),
        }
        (d / 'job.json').write_text(json.dumps(job), encoding='utf-8')
        with open(d / 'inside.log', 'wb') as log:
            # A process group of its own, so that stop() reaches everything the run started.
            process = subprocess.Popen(['unshare', '-n', PYTHON, str(pathlib.Path(__file__).resolve()), '--inside',
                                        str(d / 'job.json')], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       start_new_session=True)
        return RunningLauncher(d, process, program, timeout + 60, self.wine_prefix)


class RunningLauncher:
    """A run started by Session.start."""

    def __init__(self, directory, process, program, timeout, wine_prefix=None):
        self.dir = directory
        self.program = program  # the launcher's copy, as it was started
        self._process = process
        self._timeout = timeout
        self._wine_prefix = wine_prefix

    def running(self):
        return self._process.poll() is None

    def requests(self):
        """What the server has received so far."""
        return read_requests(self.dir / 'requests.jsonl')

    def stop(self):
        """Ends the run at once, with everything it started (a test that failed midway):
        the launcher has a process group of its own, and under Wine the session's server
        and the programs it started outlive both groups. Left running, they would keep
        a window on the display and the session's Wine server for the next run."""
        if not self.running():
            return
        for group in (self._process.pid, self._launcher_group()):
            try:
                if group:
                    os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self._process.wait()
        if self._wine_prefix:
            env = dict(os.environ, WINEPREFIX=str(self._wine_prefix))
            subprocess.run(['wineserver', '-k'], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for_wine_end(self._wine_prefix)

    def _launcher_group(self):
        pid_file = self.dir / 'launcher.pid'
        return int(pid_file.read_text()) if pid_file.exists() else None

    def run_beside(self, session, file_name, *, display=None, timeout=60):
        """Runs one more launcher of the session, copied under file_name, while this run
        goes on: in this run's network namespace (so it would reach this run's server)
        and, for the Windows build, its Wine session, as a second launcher a user starts
        sees the first. Starts no server; returns its RunResult (no requests)."""
        target = session.target
        program = launcher.copy_launcher(target, session.dir / 'beside', file_name, session.which)
        env = target.environment(session.home, {'QUENZA_WINEPREFIX': str(session.wine_prefix)}
                                 if session.wine_prefix else None)
        if display is None:
            env.pop('DISPLAY', None)
        else:
            env['DISPLAY'] = display
        command = ['nsenter', f'--net=/proc/{self._process.pid}/ns/net', '--', *target.command(program)]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                proc = subprocess.run(command, env=env, cwd=str(program.parent), stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=err, timeout=timeout)
                exit_code, timed_out = proc.returncode, False
            except subprocess.TimeoutExpired:
                exit_code, timed_out = None, True
            out.seek(0)
            err.seek(0)
            return RunResult(exit_code, launcher.split_lines(out.read()), launcher.split_lines(err.read()), [],
                             timed_out)

    def wait(self):
        """Waits for the end of the run and returns its RunResult."""
        try:
            self._process.wait(timeout=self._timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        d = self.dir
        result_file = d / 'result.json'
        if self._process.returncode != 0 or not result_file.exists():
            log = (d / 'inside.log').read_bytes().decode(errors='replace')
            raise RuntimeError('network-namespace run failed: ' + log)
        outcome = json.loads(result_file.read_text(encoding='utf-8'))
        proxy_log = d / 'proxy.log'
        return RunResult(outcome['exit_code'],
                         launcher.split_lines((d / 'stdout').read_bytes()),
                         launcher.split_lines((d / 'stderr').read_bytes()),
                         read_requests(d / 'requests.jsonl'), outcome['timed_out'], outcome['seconds'],
                         outcome['ended_at'], outcome['peak_rss_kib'],
                         proxy_log.read_text(errors='replace').splitlines() if proxy_log.exists() else [])


def _start_proxy(settings, d):
    """tinyproxy in the foreground, in a mount namespace of its own whose /etc/hosts is the
    one given in settings; returns once it accepts connections."""
    (d / 'proxy.conf').write_text(settings['config'], encoding='utf-8')
    (d / 'proxy-hosts').write_text(settings['hosts'], encoding='utf-8')
    script = 'mount --bind "$1" /etc/hosts && exec tinyproxy -d -c "$2"'
    proxy = subprocess.Popen(['unshare', '-m', '--propagation', 'private', 'sh', '-c', script, 'proxy',
                              str(d / 'proxy-hosts'), str(d / 'proxy.conf')],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            socket.create_connection(('127.0.0.1', settings['port']), timeout=1).close()
            return proxy
        except OSError:
            if proxy.poll() is not None:
                raise RuntimeError('the proxy did not start: see ' + str(d / 'proxy.log'))
            time.sleep(0.05)
    proxy.kill()
    raise RuntimeError('the proxy did not listen in time')


def _run_inside(job_file):
    """Runs in the private network namespace: loopback up, server on 443, one launcher run."""
    job = json.loads(pathlib.Path(job_file).read_text(encoding='utf-8'))
    d = pathlib.Path(job['dir'])
    subprocess.run(['ip', 'link', 'set', 'lo', 'up'], check=True)
    server = start_server(job['server'])[0] if job['server'] else None
    proxy = _start_proxy(job['proxy'], d) if job.get('proxy') else None
    service = None
    if job.get('service'):
        service = subprocess.Popen(job['service'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        wait_for_port(service, 443)
    env = job['env']
    timed_out = False
    peak_rss_kib = 0
    try:
        if job['wine_prefix']:
            # A Wine server of our own, started here so that its sockets (Wine makes them in
            # the server) belong to this namespace; -p0: it ends with its last client.
            subprocess.run(['wineserver', '-p0'], env=dict(env, WINEPREFIX=job['wine_prefix']), check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started = time.monotonic()
        # Through GNU time for the peak memory: a child forked from this interpreter
        # would count the interpreter's own memory as its peak until it runs the program.
        # In a process group of its own, so that a time-out ends the launcher with it.
        measured = ['/usr/bin/time', '-f', '%M', '-o', str(d / 'time.out'), *job['command']]
        with open(d / 'stdout', 'wb') as out, open(d / 'stderr', 'wb') as err:
            proc = subprocess.Popen(measured, env=env, cwd=job['cwd'], stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, start_new_session=True)
            (d / 'launcher.pid').write_text(str(proc.pid))
            try:
                exit_code = proc.wait(timeout=job['timeout'])
            except subprocess.TimeoutExpired:
                timed_out = True
                os.killpg(proc.pid, signal.SIGKILL)
                exit_code = proc.wait()
        seconds = time.monotonic() - started
        ended_at = time.time()
        # time writes "Command terminated by signal N" before the figure when the program
        # was killed, and exits with 128 + N: given back as -N, as for a direct child.
        # The figure is the launcher's (under Wine: the process that runs the program).
        report = (d / 'time.out').read_text().split('\n') if (d / 'time.out').exists() else []
        for line in report:
            if line.startswith('Command terminated by signal '):
                exit_code = -int(line.rsplit(' ', 1)[1])
        figures = [line for line in report if line.strip().isdigit()]
        peak_rss_kib = int(figures[-1]) if figures else 0
    finally:
        if job['wine_prefix']:
            # The run is over; Wine's own services would linger seconds more, so our private
            # server is ended at once, unless the test waits for what the launcher started.
            wine_env = dict(env, WINEPREFIX=job['wine_prefix'])
            if timed_out or not job['wait_children']:
                subprocess.run(['wineserver', '-k'], env=wine_env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
            subprocess.run(['wineserver', '-w'], env=wine_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if proxy:
            proxy.terminate()
            proxy.wait()
        if server:
            stop_server(server)
        if service:
            service.terminate()
            service.wait()
            service.stderr.close()
    (d / 'result.json').write_text(json.dumps({'exit_code': exit_code, 'timed_out': timed_out, 'seconds': seconds,
                                               'ended_at': ended_at, 'peak_rss_kib': peak_rss_kib}),
                                   encoding='utf-8')


def wait_for_port(process, port, host='127.0.0.1', timeout=20):
    """Returns once something accepts connections at host:port; raises with the process's
    own words when it ended instead."""
    deadline = time.monotonic() + timeout
    while True:
        if process.poll() is not None:
            raise RuntimeError('service did not start: ' + process.stderr.read().decode(errors='replace'))
        try:
            socket.create_connection((host, port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                process.kill()
                raise RuntimeError(f'service does not listen on port {port}')
            time.sleep(0.05)


def manifest_routes(*, app=None, deps=None, code='build-1', tag='v1.0.0', cdn='https://app-demo.localhost/cdn',
                    deps_hash='deps-digest'):
    """Routes for a valid verify reply and its payloads, served below the path of cdn.

    app: (uri, route) where route is a server reply for the payload, e.g.
    ('quenza-bo.exe', {'generate': {'size': 4096, 'seed': 1}}); deps: a list of
    (uri, path, route). Returns the scenario's routes dict; add or change routes in it
    for faults (e.g. routes['/cdn/quenza-bo.exe']['corrupt'] = True).
    """
    cdn_path = urllib.parse.urlsplit(cdn).path
    routes = {}
    body = {'code': code, 'tag': tag, 'cdn': cdn}
    if app is not None:
        uri, route = app
        routes[f'{cdn_path}/{uri}'] = route
        body['app'] = {'uri': uri, 'hash': f'@hash:{cdn_path}/{uri}', 'size': f'@size:{cdn_path}/{uri}'}
    if deps is not None:
        entries = []
        for uri, path, route in deps:
            routes[f'{cdn_path}/{uri}'] = route
            entries.append({'uri': uri, 'hash': f'@hash:{cdn_path}/{uri}', 'path': path,
                            'size': f'@size:{cdn_path}/{uri}'})
        body['deps'] = {'hash': deps_hash, 'entries': entries}
    routes['/ota/verify'] = {'json': body}
    return routes


if __name__ == '__main__' and len(sys.argv) == 3 and sys.argv[1] == '--inside':
    _run_inside(sys.argv[2])
