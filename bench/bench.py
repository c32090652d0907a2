"""Benchmark of the launcher's downloads against a real content server.

Started by bench/run, which prepares the machine and the builds; this script re-runs
itself inside a private network namespace (the loopback launcher's hosts carry no port,
so the server listens on 127.0.0.1:443) and there:

- makes the release of each profile once, under build/bench/data (kept between runs);
- serves it with nginx over TLS (the loopback test certificate), the verify endpoint
  answering the profile's fixed manifest;
- runs, for each repetition, the benchmark launcher (the loopback launcher with the
  release's payload bound, which also reports its loop passes at exit: wall time to the
  "Executing app" line, peak RSS, CPU time, passes) and the curl command-line tool fetching
  the same files over one connection followed by sha256sum;
- measures the AES-GCM decryption speed of the target's mbedTLS alone (gcm_speed);
- writes the medians and the best runs as JSON (build/bench/results-<target>.json), with
  the load average before and after, and prints a summary.

Standard library only.
"""

import argparse
import base64
import hashlib
import json
import os
import pathlib
import platform
import random
import select
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))
import harness  # noqa: E402  (the Wine prefix copy)
import matrix  # noqa: E402  (the application's file names)

BENCH_DIR = ROOT / 'build' / 'bench'
CA_DIR = ROOT / 'build' / 'e2e-ca'
MIB = 1024 * 1024
KIB = 1024

# The launcher's name picks the demonstration channel and the back-office edition: the
# verify request goes to ota-demo.localhost, the payloads come from app-demo.localhost.
LAUNCHER_NAME = 'Quenza-Demo-BackOffice'
APP_FILE = {'linux': matrix.app_file('QUENZA_BO', False), 'windows': matrix.app_file('QUENZA_BO', True)}
OTA_HOST = 'ota-demo.localhost'
CDN_HOST = 'app-demo.localhost'
EXECUTING_LINE = b'Changing state: Executing app'
PASSES_PREFIX = b'bench: loop passes='


def typical_sizes():
    """250 payload sizes from 1 KiB to 20 MiB, about 150 MiB together, most of them small."""
    rng = random.Random(250)
    draws = sorted(rng.random() for _ in range(248))
    low, high = KIB, 20 * MIB

    def sizes_for(k):
        return [int(low * (high / low) ** (u ** k)) for u in draws]

    # The exponent that brings the total (with the two end points) near 150 MiB.
    a, b = 1.0, 20.0
    for _ in range(60):
        k = (a + b) / 2
        if sum(sizes_for(k)) + low + high > 150 * MIB:
            a = k
        else:
            b = k
    return [high] + sizes_for(b) + [low]


PROFILES = {
    # name: (application payload size, dependency sizes)
    'big': (200 * MIB, [MIB] * 20),
    'small': (5 * MIB, [8 * KIB] * 1000),
    'typical': None,  # filled below: the largest size is the application payload
}
_typical = typical_sizes()
PROFILES['typical'] = (_typical[0], _typical[1:])
PROFILE_TITLES = {'big': 'big', 'small': 'many small', 'typical': 'typical'}


def digest_text(data):
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).decode('ascii').rstrip('=')


def dep_path(index):
    # Spread over a few directories, as a real release is.
    return f'd{index % 8}/f{index:04d}.bin'


# ---------------------------------------------------------------- the release on disk

def make_release(profile, target, app_base):
    """Writes the profile's files (once) and the target's manifest; returns its description."""
    app_size, dep_sizes = PROFILES[profile]
    pdir = BENCH_DIR / 'data' / profile
    stamp = pdir / 'release.json'
    described = json.loads(stamp.read_text()) if stamp.exists() else {}
    expected_sizes = [app_size, dep_sizes]
    if described.get('sizes') != expected_sizes:
        shutil.rmtree(pdir, ignore_errors=True)
        pdir.mkdir(parents=True)
        entries = []
        for i, size in enumerate(dep_sizes, 1):
            data = os.urandom(size)
            path = pdir / 'files' / dep_path(i)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            entries.append({'uri': 'files/' + dep_path(i), 'hash': digest_text(data), 'path': dep_path(i),
                            'size': size, 'sha256': hashlib.sha256(data).hexdigest()})
        described = {'sizes': expected_sizes, 'entries': entries, 'apps': {}}
    app_name = 'app-' + target + ('.exe' if target == 'windows' else '')
    app_path = pdir / app_name
    base = app_base.read_bytes()
    app_info = described['apps'].get(target)
    if app_info is None or app_info.get('base') != hashlib.sha256(base).hexdigest() or not app_path.exists():
        # A real program of the target, grown to the payload size: bytes after the end of
        # an executable image are never loaded, so the application still starts.
        data = base + os.urandom(app_size - len(base))
        app_path.write_bytes(data)
        app_info = {'uri': app_name, 'hash': digest_text(data), 'size': app_size,
                    'sha256': hashlib.sha256(data).hexdigest(), 'base': hashlib.sha256(base).hexdigest()}
        described['apps'][target] = app_info
    stamp.write_text(json.dumps(described))

    manifest = {
        'code': 'bench', 'tag': profile, 'cdn': f'https://{CDN_HOST}/cdn/{profile}',
        'app': {'uri': app_info['uri'], 'hash': app_info['hash'], 'size': app_info['size']},
        'deps': {'hash': 'bench-' + profile,
                 'entries': [{k: e[k] for k in ('uri', 'hash', 'path', 'size')} for e in described['entries']]},
    }
    manifest_file = BENCH_DIR / 'manifests' / f'{target}-{profile}.json'
    manifest_file.parent.mkdir(parents=True, exist_ok=True)
    manifest_file.write_text(json.dumps(manifest, separators=(',', ':')))

    files = [(app_info['uri'], app_info['size'], app_info['sha256'])]
    files += [(e['uri'], e['size'], e['sha256']) for e in described['entries']]
    return {'profile': profile, 'manifest': manifest_file, 'files': files,
            'largest': max(size for _, size, _ in files), 'total': sum(size for _, size, _ in files)}


# ---------------------------------------------------------------- nginx

NGINX_CONF = """\
worker_processes 1;
pid {run}/nginx.pid;
error_log {run}/error.log warn;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {run}/body;
  proxy_temp_path {run}/proxy;
  fastcgi_temp_path {run}/fastcgi;
  uwsgi_temp_path {run}/uwsgi;
  scgi_temp_path {run}/scgi;
  types {{ application/json json; }}
  default_type application/octet-stream;
  # One connection serves a whole run, however many files it holds.
  keepalive_requests 1000000;
  keepalive_timeout 300s;
  log_format tls '$ssl_protocol $ssl_cipher';
  server {{
    listen 127.0.0.1:443 ssl;
    server_name {ota} {cdn} localhost;
    # The default of current nginx releases (older ones stop at TLS 1.2).
    ssl_protocols TLSv1.2 TLSv1.3;
    # The server's order, AES-GCM first, as content servers commonly choose it: by the
    # client's, the launcher's mbedTLS would get ChaCha20-Poly1305, the curl tool AES-GCM.
    ssl_prefer_server_ciphers on;
    ssl_certificate {ca}/server.pem;
    ssl_certificate_key {ca}/server.key;
    # The static module refuses a POST (405); the refusal is turned into the current
    # manifest, fetched by an internal GET, with the status 200, whose log line says
    # which protocol and cipher the launcher got.
    location = /ota/verify {{
      error_page 405 =200 /manifest/current.json;
      return 405;
    }}
    location /manifest/ {{
      access_log {run}/tls.log tls;
      internal;
      alias {bench}/manifests/;
    }}
    location /cdn/ {{
      alias {bench}/data/;
    }}
  }}
}}
"""


class Nginx:
    def __init__(self):
        self.dir = BENCH_DIR / 'nginx'

    def __enter__(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        conf = self.dir / 'nginx.conf'
        conf.write_text(NGINX_CONF.format(run=self.dir, ota=OTA_HOST, cdn=CDN_HOST, ca=CA_DIR, bench=BENCH_DIR))
        # Workers run as root here: the namespace is private and the files are ours.
        conf.write_text('user root;\n' + conf.read_text())
        subprocess.run(['nginx', '-p', str(self.dir), '-c', str(conf), '-e', str(self.dir / 'error.log'), '-t', '-q'],
                       check=True)
        subprocess.run(['nginx', '-p', str(self.dir), '-c', str(conf), '-e', str(self.dir / 'error.log')], check=True)
        return self

    def launcher_tls(self):
        """Protocol and cipher of the launcher's last verify request."""
        lines = (self.dir / 'tls.log').read_text().splitlines() if (self.dir / 'tls.log').exists() else []
        return lines[-1] if lines else 'unknown'

    def serve(self, release):
        current = BENCH_DIR / 'manifests' / 'current.json'
        tmp = current.with_suffix('.tmp')
        shutil.copyfile(release['manifest'], tmp)
        os.replace(tmp, current)

    def __exit__(self, *exc):
        pid_file = self.dir / 'nginx.pid'
        if pid_file.exists():
            pid = int(pid_file.read_text().strip())
            os.kill(pid, signal.SIGQUIT)
            for _ in range(100):
                try:
                    os.kill(pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)


# ---------------------------------------------------------------- one measured process

TIME_FILE = BENCH_DIR / 'time.txt'


def run_measured(command, env, cwd, marker=None, timeout=600):
    """Runs a command; returns wall time to the marker line (or to the exit), the exit
    status, the output and the resource use of the process (and its waited-for children).

    GNU time starts the command and reports its peak RSS and CPU time: a process forked
    from this one would count this interpreter's own peak (it inherits the peak of the
    memory it was forked with) and so overstate a small program's."""
    TIME_FILE.unlink(missing_ok=True)
    command = ['/usr/bin/time', '-o', str(TIME_FILE), '-f', '%M %U %S'] + list(command)
    start = time.monotonic()
    proc = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    out_fd, err_fd = proc.stdout.fileno(), proc.stderr.fileno()
    fds = {out_fd: bytearray(), err_fd: bytearray()}
    open_fds = set(fds)
    marked = None
    status = None
    deadline = start + timeout
    while True:
        if status is None:
            pid, st = os.waitpid(proc.pid, os.WNOHANG)
            if pid:
                status = os.waitstatus_to_exitcode(st)
                ended = time.monotonic()
        # Once the process is gone, stop as soon as nothing more is waiting: Wine's
        # services inherit the output and may hold it open long after.
        if status is not None and (not open_fds or not select.select(list(open_fds), [], [], 0.05)[0]):
            break
        if time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError(f'{command[0]} did not finish in {timeout} s')
        ready = select.select(list(open_fds), [], [], 0.002)[0] if open_fds else (time.sleep(0.002) or [])
        for fd in ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                open_fds.discard(fd)
                continue
            fds[fd] += chunk
            tail = fds[fd][-(len(chunk) + len(marker or b'')):]
            if marked is None and marker is not None and fd == out_fd and marker in tail:
                marked = time.monotonic()
    proc.stdout.close()
    proc.stderr.close()
    proc.returncode = status
    # The last line: a killed command makes GNU time write a line before it.
    maxrss_kib, user, system = TIME_FILE.read_text().strip().splitlines()[-1].split()
    return {
        'wall': (marked if marked is not None else ended) - start,
        'marker_seen': marked is not None,
        'exit': status,
        'stdout': bytes(fds[out_fd]),
        'stderr': bytes(fds[err_fd]),
        'cpu': float(user) + float(system),
        'maxrss': int(maxrss_kib) * 1024,
    }


# ---------------------------------------------------------------- the launcher

class LauncherTarget:
    def __init__(self, name, build_dir):
        self.name = name
        self.build_dir = build_dir
        self.windows = name == 'windows'
        self.suffix = '.exe' if self.windows else ''
        self.run_dir = BENCH_DIR / ('run-' + name)
        shutil.rmtree(self.run_dir, ignore_errors=True)
        self.bin_dir = self.run_dir / 'bin'
        self.bin_dir.mkdir(parents=True)
        self.home = self.run_dir / 'home'
        self.env = {k: v for k, v in os.environ.items() if k != 'DISPLAY'}
        self.env['HOME'] = str(self.home)
        self.programs = {}
        # The loopback launcher with the release's payload bound (the test one stops at
        # 96 MiB), which also reports its loop passes at exit.
        for which in ('quenza-installer-bench',):
            d = self.bin_dir / which
            d.mkdir()
            dest = d / (LAUNCHER_NAME + self.suffix)
            shutil.copy2(build_dir / (which + self.suffix), dest)
            self.programs[which] = dest
        if self.windows:
            if not (build_dir / 'wine' / 'system.reg').exists():
                # wine-run makes the build's prefix on first use.
                subprocess.run([str(ROOT / 'scripts' / 'wine-run'), 'cmd', '/c', 'exit'], check=True,
                               env=dict(self.env, QUENZA_WINEPREFIX=str(build_dir / 'wine')),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.prefix = self.run_dir / 'wine'
            harness.copy_prefix(build_dir / 'wine', self.prefix)
            self.env.update(WINEPREFIX=str(self.prefix), QUENZA_WINEPREFIX=str(self.prefix), WINEDEBUG='-all')
            user = os.environ.get('USER') or 'root'
            self.profile_dir = self.prefix / 'drive_c' / 'users' / user
            # A Wine server of this namespace for the whole bench, so its services are up
            # before the first measured run, as on a running Windows machine.
            subprocess.run(['wineserver', '-p'], env=self.env, check=True)
            subprocess.run([str(ROOT / 'scripts' / 'wine-run'), 'cmd', '/c', 'exit'], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        else:
            self.profile_dir = self.home

    def app_base(self):
        """The recording test program, the start of every application payload."""
        return self.build_dir / ('record_args' + self.suffix)

    def command(self, program):
        if self.windows:
            return [str(ROOT / 'scripts' / 'wine-run'), str(program)]
        return [str(program)]

    def clean(self):
        shutil.rmtree(self.profile_dir / '.QuenzaQtApps', ignore_errors=True)
        self.home.mkdir(parents=True, exist_ok=True)

    def run(self, which):
        self.clean()
        program = self.programs[which]
        result = run_measured(self.command(program), self.env, str(program.parent), EXECUTING_LINE)
        if not result['marker_seen'] or result['exit'] != 0:
            sys.stderr.write(result['stdout'].decode(errors='replace')[-3000:])
            sys.stderr.write(result['stderr'].decode(errors='replace')[-3000:])
            raise RuntimeError(f'{which} run failed: exit {result["exit"]}')
        for line in result['stderr'].splitlines():
            if line.startswith(PASSES_PREFIX):
                result['passes'] = int(line[len(PASSES_PREFIX):].strip())
        return result

    def close(self):
        if self.windows:
            subprocess.run(['wineserver', '-k'], env=self.env, check=False)
            subprocess.run(['wineserver', '-w'], env=self.env, check=False)


# ---------------------------------------------------------------- the curl tool

def run_curl(release):
    """All files of the release over one connection, then their SHA-256 checked."""
    out = BENCH_DIR / 'curl-out'
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    config = BENCH_DIR / 'curl-config.txt'
    sums = BENCH_DIR / 'curl-sums.txt'
    lines, sum_lines = [], []
    for i, (uri, _, sha) in enumerate(release['files']):
        name = f'{i:04d}.bin'
        lines.append(f'url = "https://localhost/cdn/{release["profile"]}/{uri}"\noutput = "{name}"\n')
        sum_lines.append(f'{sha}  {name}\n')
    config.write_text(''.join(lines))
    sums.write_text(''.join(sum_lines))
    env = dict(os.environ)
    # The tool checks names by its own rules, which take no wildcard of one label
    # ("*.localhost"), so it asks for "localhost", which the certificate also names.
    fetch = run_measured(['curl', '--silent', '--show-error', '--fail', '--cacert', str(CA_DIR / 'ca.pem'),
                          '--resolve', 'localhost:443:127.0.0.1', '--config', str(config)], env, str(out))
    if fetch['exit'] != 0:
        raise RuntimeError('curl failed: ' + fetch['stderr'].decode(errors='replace'))
    check = run_measured(['sha256sum', '--check', '--quiet', str(sums)], env, str(out))
    if check['exit'] != 0:
        raise RuntimeError('sha256sum failed: ' + check['stdout'].decode(errors='replace'))
    return {'wall': fetch['wall'] + check['wall'], 'fetch': fetch['wall'], 'check': check['wall'],
            'cpu': fetch['cpu'] + check['cpu'], 'maxrss': max(fetch['maxrss'], check['maxrss'])}


# ---------------------------------------------------------------- the library alone

GCM_SPEED_PREFIX = 'gcm: '


def gcm_speed(target):
    """AES-GCM decryption speed of the target's mbedTLS alone, in MB/s by key size."""
    program = target.build_dir / ('gcm_speed' + target.suffix)
    result = subprocess.run(target.command(program), env=target.env, capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise RuntimeError('gcm_speed failed: ' + result.stderr)
    speeds = {}
    for line in result.stdout.splitlines():
        if line.startswith(GCM_SPEED_PREFIX):
            words = line.split()
            speeds[words[1]] = float(words[3])
    return speeds


# ---------------------------------------------------------------- the bench

def median(values):
    return statistics.median(values)


def bench_target(target, profiles, reps, nginx):
    results = {}
    for profile in profiles:
        release = make_release(profile, target.name, target.app_base())
        nginx.serve(release)
        # One unmeasured run of each, so that the files are in the page cache for all.
        target.run('quenza-installer-bench')
        run_curl(release)
        runs = {'launcher': [], 'curl': []}
        for rep in range(reps):
            runs['launcher'].append(target.run('quenza-installer-bench'))
            runs['curl'].append(run_curl(release))
            print(f'  {target.name} {profile} #{rep + 1}: launcher {runs["launcher"][-1]["wall"]:.3f} s '
                  f'({runs["launcher"][-1].get("passes")} passes), '
                  f'curl {runs["curl"][-1]["wall"]:.3f} s', flush=True)
        files = len(release['files'])
        launcher_wall = median([r['wall'] for r in runs['launcher']])
        curl_wall = median([r['wall'] for r in runs['curl']])
        launcher_best = min(r['wall'] for r in runs['launcher'])
        curl_best = min(r['wall'] for r in runs['curl'])
        passes = median([r['passes'] for r in runs['launcher']])
        maxrss = median([r['maxrss'] for r in runs['launcher']])
        results[profile] = {
            'files': files,
            'bytes': release['total'],
            'largest': release['largest'],
            'launcher_wall': launcher_wall,
            'launcher_walls': [r['wall'] for r in runs['launcher']],
            'launcher_cpu': median([r['cpu'] for r in runs['launcher']]),
            'launcher_maxrss': maxrss,
            'passes': passes,
            'passes_all': [r['passes'] for r in runs['launcher']],
            'curl_wall': curl_wall,
            'curl_walls': [r['wall'] for r in runs['curl']],
            'curl_fetch': median([r['fetch'] for r in runs['curl']]),
            'curl_check': median([r['check'] for r in runs['curl']]),
            'curl_cpu': median([r['cpu'] for r in runs['curl']]),
            'curl_maxrss': median([r['maxrss'] for r in runs['curl']]),
            'ratio': launcher_wall / curl_wall,
            'launcher_best': launcher_best,
            'curl_best': curl_best,
            'ratio_best': launcher_best / curl_best,
            'launcher_tls': nginx.launcher_tls(),
            'ms_per_file': launcher_wall / files * 1000,
            'bytes_per_pass': release['total'] / passes,
            'passes_per_file': passes / files,
            'rss_limit': 1.25 * release['largest'] + 16 * MIB,
        }
    return results


def describe_machine():
    cpu = ''
    for line in pathlib.Path('/proc/cpuinfo').read_text().splitlines():
        if line.startswith('model name'):
            cpu = line.split(':', 1)[1].strip()
            break
    mem = pathlib.Path('/proc/meminfo').read_text().splitlines()[0].split()[1]
    return {'cpu': cpu, 'cores': os.cpu_count(), 'memory_mib': int(mem) // 1024, 'kernel': platform.release(),
            'date': time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime()), 'load': os.getloadavg()}


def table(name, results, gcm):
    """The results of one target as Markdown rows, as bench/RESULTS.md shows them."""
    rows = [f'### {name}', '',
            '| profile | files | MiB | launcher s | curl s | ratio | ms/file | passes | passes/file | '
            'KiB/pass | CPU s (curl) | peak RSS MiB (limit) |',
            '|---|---|---|---|---|---|---|---|---|---|---|---|']
    for profile, r in results.items():
        rows.append(
            f'| {PROFILE_TITLES[profile]} | {r["files"]} | {r["bytes"] / MIB:.0f} | {r["launcher_wall"]:.2f} | '
            f'{r["curl_wall"]:.2f} | {r["ratio"]:.2f} | {r["ms_per_file"]:.1f} | {r["passes"]:.0f} | '
            f'{r["passes_per_file"]:.2f} | {r["bytes_per_pass"] / KIB:.0f} | '
            f'{r["launcher_cpu"]:.2f} ({r["curl_cpu"]:.2f}) | '
            f'{r["launcher_maxrss"] / MIB:.0f} ({r["rss_limit"] / MIB:.0f}) |')
    rows.append('')
    for profile, r in results.items():
        rows.append(f'{PROFILE_TITLES[profile]}: best of {len(r["launcher_walls"])}, launcher '
                    f'{r["launcher_best"]:.2f} s, curl {r["curl_best"]:.2f} s, ratio {r["ratio_best"]:.2f}; '
                    f'launcher negotiated {r["launcher_tls"]}')
    rows.append('mbedTLS alone, decryption of 16 KiB records: ' +
                ', '.join(f'{cipher} {speed:.0f} MB/s' for cipher, speed in gcm.items()))
    return '\n'.join(rows)


def inside(args):
    subprocess.run(['ip', 'link', 'set', 'lo', 'up'], check=True)
    profiles = args.profiles.split(',')
    with Nginx() as nginx:
        for name in args.targets.split(','):
            build_dir = ROOT / 'build' / (name + '-x64')
            target = LauncherTarget(name, build_dir)
            try:
                print(f'== {name}', flush=True)
                load_before = os.getloadavg()
                results = bench_target(target, profiles, args.reps, nginx)
                gcm = gcm_speed(target)
            finally:
                target.close()
            out = BENCH_DIR / f'results-{name}.json'
            machine = dict(describe_machine(), load_before=load_before)
            print('load average (1, 5, 15 min) before: {:.2f} {:.2f} {:.2f}, after: {:.2f} {:.2f} {:.2f}'.format(
                *load_before, *machine['load']), flush=True)
            out.write_text(json.dumps({'machine': machine, 'reps': args.reps, 'profiles': results, 'gcm': gcm},
                                      indent=1))
            print(f'wrote {out}', flush=True)
            print(table(name, results, gcm), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--targets', default='linux,windows')
    parser.add_argument('--profiles', default='big,small,typical')
    parser.add_argument('--reps', type=int, default=5)
    parser.add_argument('--inside', action='store_true', help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inside:
        inside(args)
        return
    BENCH_DIR.mkdir(parents=True, exist_ok=True)
    cmd = ['unshare', '-n', sys.executable, str(pathlib.Path(__file__).resolve()), '--inside',
           '--targets', args.targets, '--profiles', args.profiles, '--reps', str(args.reps)]
    sys.exit(subprocess.run(cmd).returncode)


if __name__ == '__main__':
    main()
