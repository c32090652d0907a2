#!/usr/bin/env python3
"""Fault soak: many runs of the Linux e2e launcher, each against the test server with one
random fault (or none), every outcome checked.

    tests/soak/soak.py [--build-dir build/linux-x64] [--runs 200] [--seed N] [--jobs 2]
                       [--only I[,J...]] [--keep]

Each run gets a fresh HOME (harness.Session) seeded with files that must survive, a
random launcher name (edition and channel), a release of an application and 0-3
dependency files of random sizes, and one fault drawn from FAULTS: connection drops,
truncated or stalled bodies, delays, wrong digests, corrupt bodies, bad or odd JSON,
redirects (good, looping, to plain HTTP, to nowhere), statuses. A run passes when:
  - it ends by itself (no time-out past the launcher's own transfer time-outs) with the
    exit code its fault dictates: 0 without a fault or with a harmless one, 1 otherwise
    (no window, so a failure never waits for a close); never a signal or a sanitizer
    report (exit code 86 when built with the sanitizers);
  - the log shows the failure the fault should cause (a marker line);
  - nothing in HOME changed outside the edition's install directories, and the
    directories leading to them, with files, directories and links compared by type,
    content and target;
  - every payload file the run wrote has the digest the manifest announced for it, the
    hash file and host-name file hold what they should, and a run that ends with 0 has
    every payload in place;
  - the payloads were asked for in queue order, each at most once, and none after the
    first that failed (libcurl's own single retry of a request whose reused connection
    died, and redirects, are allowed for).

Randomness is seeded: the seed is printed first, and each run's draw depends only on the
seed and the run's number, so `--seed S --only 17` repeats run 17 of a soak exactly. A
failure prints its run number, fault, plan and the launcher's log.
"""

import argparse
import base64
import concurrent.futures
import dataclasses
import hashlib
import json
import os
import pathlib
import random
import shutil
import sys
import time
import urllib.parse

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / 'e2e'))
sys.path.append(str(HERE.parents[1] / 'scripts'))
import harness  # noqa: E402
import launcher  # noqa: E402
from kit import identity  # noqa: E402

# Longest a run may take: the launcher's handshake time-out (15 s) and whole-transfer
# time-out (300 s), with room to spare. No fault here should come near it.
RUN_TIMEOUT = 15 + 300 + 30
SANITIZER_EXIT = 86

# Launcher file name -> (edition raw name, channel): a few names as users make them, and
# the Linux copies of a release, one per edition and channel of the identity table.
LAUNCHERS = {
    'Quenza-Demo-BackOffice': ('QUENZA_BO', 'demo'),
    'quenza-bo': ('QUENZA_BO', 'prod'),
    'QuenzaManager-dev': ('QUENZA_MAN', 'dev'),
    'MYQUENZA_DEMO': ('QUENZA_APP', 'demo'),
    'setup': ('QUENZA_PMS', 'prod'),
}
LAUNCHERS.update({(stem + suffix).lower(): (edition, channel.lower())
                  for edition, stem in identity.COPY_STEMS.items()
                  for channel, suffix in identity.COPY_SUFFIXES.items()})
CHANNELS = tuple(channel.lower() for channel in identity.CHANNELS)
EDITIONS = identity.EDITIONS
DEP_PATHS = ('bin/q.dll', 'lib/libq.so.1.2', 'data/sub/dir/table.dat', 'readme.txt', 'lib/libr.so',
             'd\u00e9p\u00f4t/fichier \u00e9t\u00e9.bin')

ERROR_LINE = 'Changing state: Error'
DONE_LINE = 'Changing state: Closing window'


def digest(data):
    return harness.digest_text(data)


@dataclasses.dataclass
class Payload:
    uri: str
    local: str       # path relative to the install directory
    data: bytes      # the bytes that should be stored
    route: dict      # the server's reply for its URI
    announced: str   # the digest text the manifest gives


@dataclasses.dataclass
class Plan:
    index: int
    file_name: str
    edition: str
    channel: str
    app_file: str
    cdn_host: str
    cdn_base: str
    payloads: list
    manifest: dict
    deps_hash: str
    routes: dict = dataclasses.field(default_factory=dict)
    fault: str = 'none'
    detail: str = ''
    exit_code: int = 0
    marker: tuple = ('stdout', DONE_LINE)  # (stream, line start) the log must hold
    failing_payload: int = None  # index in payloads of the one the fault breaks
    retries_allowed: bool = False
    has_deps: bool = True

    @property
    def ota_host(self):
        return f'ota-{self.channel}.localhost'

    def cdn(self):
        return f'https://{self.cdn_host}/{self.cdn_base}'

    def route_path(self, payload):
        return f'/{self.cdn_base}/{payload.uri}'

    def build_routes(self, verify_reply=None):
        routes = {self.route_path(p): p.route for p in self.payloads}
        if verify_reply is None:
            verify_reply = {'text': json.dumps(self.manifest, separators=(',', ':'), ensure_ascii=False)}
        routes['/ota/verify'] = verify_reply
        self.routes = routes


def random_bytes(rng, size):
    return rng.getrandbits(8 * size).to_bytes(size, 'little') if size else b''


def make_plan(seed, index):
    rng = random.Random(f'{seed}:{index}')
    file_name = rng.choice(sorted(LAUNCHERS))
    edition, channel = LAUNCHERS[file_name]
    app_file = identity.APP_FILE_NAMES[edition]['GNU_LINUX']
    cdn_host = rng.choice([f'app-{channel}.localhost', 'app-prod.localhost', 'cdn.localhost'])
    cdn_base = rng.choice(['cdn', 'files/v2', 'dist-2'])

    # The application: a script that ends at once, padded with random bytes it never reads.
    pad = random_bytes(rng, rng.choice([0, 10, 1000, 70000, 250000]))
    app_data = b'#!/bin/sh\nexit 0\n' + pad
    payloads = [Payload(f'apps/{app_file}-{rng.randrange(1000)}', app_file, app_data,
                        {'base64': base64.b64encode(app_data).decode()}, digest(app_data))]
    for k, local in enumerate(rng.sample(DEP_PATHS, rng.randrange(4))):
        size = rng.choice([0, 1, 3000, 40000, 300000])
        seed_k = rng.randrange(1 << 30)
        data = harness.generated_bytes(size, seed_k)
        # URIs go into the URL as they are, so they come percent-encoded, as a server gives them.
        uri = f'deps/{k}/' + urllib.parse.quote(os.path.basename(local))
        payloads.append(Payload(uri, local, data,
                                {'generate': {'size': size, 'seed': seed_k}}, digest(data)))

    deps_hash = digest(random_bytes(rng, 16))
    plan = Plan(index, file_name, edition, channel, app_file, cdn_host, cdn_base, payloads, {}, deps_hash)
    plan.manifest = manifest_of(plan)
    plan.build_routes()
    fault = rng.choices([f for f, _, _ in FAULTS], weights=[w for _, w, _ in FAULTS])[0]
    plan.fault = fault
    dict((f, fn) for f, _, fn in FAULTS)[fault](rng, plan)
    return plan, rng


def manifest_of(plan):
    app = plan.payloads[0]
    body = {'code': f'build-{plan.index}', 'tag': 'v1.2.3', 'cdn': plan.cdn(),
            'app': {'uri': app.uri, 'hash': app.announced, 'size': len(app.data)}}
    body['deps'] = {'hash': plan.deps_hash,
                    'entries': [{'uri': p.uri, 'hash': p.announced, 'path': p.local, 'size': len(p.data)}
                                for p in plan.payloads[1:]]}
    return body


# ---- Faults: each changes the plan and says what the run must end with. ----

def fails(plan, stream, line, payload=None):
    plan.exit_code = 1
    plan.marker = (stream, line)
    plan.failing_payload = payload


def no_fault(rng, plan):
    pass


def verify_status(rng, plan):
    status = rng.choice([400, 403, 404, 410, 500, 502, 503, 300, 301, 302, 307])
    plan.routes['/ota/verify']['status'] = status  # 3xx without a Location is not followed
    plan.detail = f'status {status}'
    fails(plan, 'stderr', f'POST failed: status={status} body=')


def verify_success_status(rng, plan):
    status = rng.choice([201, 203, 299])
    plan.routes['/ota/verify']['status'] = status
    plan.detail = f'status {status}'


def verify_truncate(rng, plan):
    size = len(plan.routes['/ota/verify']['text'].encode())
    keep = rng.randrange(size)
    plan.routes['/ota/verify']['truncate'] = keep
    plan.detail = f'{keep} of {size} bytes'
    fails(plan, 'stderr', 'POST failed: status=0 body=')


def verify_drop(rng, plan):
    how = rng.choice(['close', 'reset'])
    plan.routes['/ota/verify']['drop'] = how
    plan.detail = how
    fails(plan, 'stderr', 'POST failed: status=0 body=')


def verify_delay(rng, plan):
    seconds = round(rng.uniform(0.05, 1.5), 2)
    plan.routes['/ota/verify']['delay'] = seconds
    plan.detail = f'{seconds} s'


def verify_pause(rng, plan):
    size = len(plan.routes['/ota/verify']['text'].encode())
    after, seconds = rng.randrange(size), round(rng.uniform(0.05, 1.0), 2)
    plan.routes['/ota/verify']['pause'] = {'after': after, 'seconds': seconds}
    plan.detail = f'{seconds} s after {after} of {size} bytes'


def verify_bad_json(rng, plan):
    text = plan.routes['/ota/verify']['text']
    variants = {
        'cut': text[:rng.randrange(len(text))],
        'array root': json.dumps([plan.manifest]),
        'string root': json.dumps('manifest'),
        'null root': 'null',
        'byte-order mark': '\ufeff' + text,
        'html': '<html><body>Bad gateway</body></html>',
        'empty': '',
        'trailing comma': text[:-1] + ',}',
        'number out of range': text[:-1] + ',"x":1e999}',
    }
    kind = rng.choice(sorted(variants))
    plan.routes['/ota/verify'] = {'text': variants[kind]}
    plan.detail = kind
    fails(plan, 'stderr', 'Invalid JSON response: ')


def verify_unusable_manifest(rng, plan):
    m = json.loads(json.dumps(plan.manifest))
    changes = [
        ('no code', lambda: m.pop('code')),
        ('numeric tag', lambda: m.update(tag=7)),
        ('no cdn', lambda: m.pop('cdn')),
        ('app not an object', lambda: m.update(app='quenza')),
        ('no app', lambda: m.pop('app')),
        ('app.uri missing', lambda: m['app'].pop('uri')),
        ('app.hash null', lambda: m['app'].update(hash=None)),
        ('app.size fractional', lambda: m['app'].update(size=1024.0)),
        ('app.size as text', lambda: m['app'].update(size='1024')),
        ('deps.hash missing', lambda: m['deps'].pop('hash')),
        ('entries not an array', lambda: m['deps'].update(entries={'uri': 'x'})),
        ('an entry that is a string', lambda: m['deps']['entries'].append('deps/x')),
        ('an entry without path', lambda: m['deps']['entries'].append({'uri': 'u', 'hash': 'h'})),
    ]
    name, change = rng.choice(changes)
    change()
    plan.manifest = m
    plan.build_routes()
    plan.detail = name
    fails(plan, 'stdout', ERROR_LINE)


def verify_odd_but_usable(rng, plan):
    m = plan.manifest
    changes = [
        ('extra members', lambda: m.update(extra={'nested': [1, 2.5, None]}, note='x')),
        ('no deps', lambda: m.pop('deps')),
        ('deps not an object', lambda: m.update(deps=['a'])),
        ('entry sizes fractional or missing', lambda: [e.update(size=1.5) if i % 2 else e.pop('size')
                                                       for i, e in enumerate(m['deps']['entries'])]),
        ('negative app size', lambda: m['app'].update(size=-5)),
    ]
    name, change = rng.choice(changes)
    change()
    if 'deps' not in m or not isinstance(m['deps'], dict):
        # The run goes on with the application alone and an empty dependency hash.
        plan.payloads = plan.payloads[:1]
        plan.deps_hash = ''
        plan.has_deps = False
    text = json.dumps(m, separators=(',', ':'))
    if rng.random() < 0.3:
        text += ' trailing words the parser never reads'
    plan.build_routes({'text': text})
    plan.detail = name


def redirect_to(rng, plan, path, kind):
    """Makes path a redirect; returns what the run must end with (None: harmless)."""
    original = plan.routes[path]
    code = rng.choice([301, 302, 303, 307, 308])
    if kind == 'ok':
        moved = '/moved' + path
        host = rng.choice(['', f'https://{plan.cdn_host}', 'https://app-dev.localhost'])
        plan.routes[moved] = original
        plan.routes[path] = {'redirect': host + moved, 'status': code}
        return None
    plan.retries_allowed = True
    if kind == 'loop':
        plan.routes[path] = {'redirect': path, 'status': code}
    elif kind == 'plain http':
        plan.routes[path] = {'redirect': f'http://{plan.cdn_host}{path}', 'status': code}
    elif kind == 'nowhere':
        plan.routes[path] = {'redirect': '/nowhere' + path, 'status': code}
    elif kind == 'other body':
        plan.routes['/other' + path] = {'text': 'not the payload'}
        plan.routes[path] = {'redirect': '/other' + path, 'status': code}
    plan.detail = f'{kind} ({code})'
    return kind


def verify_redirect(rng, plan):
    kind = rng.choice(['ok', 'loop', 'plain http', 'nowhere'])
    redirect_to(rng, plan, '/ota/verify', kind)
    plan.detail = f'{kind}'
    if kind in ('loop', 'plain http'):
        fails(plan, 'stderr', 'POST failed: status=0 body=')
    elif kind == 'nowhere':
        fails(plan, 'stderr', 'POST failed: status=404 body=')


def pick_payload(rng, plan, non_empty=False):
    choices = [i for i, p in enumerate(plan.payloads) if p.data or not non_empty]
    return rng.choice(choices)


def payload_corrupt(rng, plan):
    i = pick_payload(rng, plan)
    plan.routes[plan.route_path(plan.payloads[i])]['corrupt'] = True
    plan.detail = plan.payloads[i].uri
    fails(plan, 'stdout', 'DL control: FAIL', i)


def payload_wrong_digest(rng, plan):
    i = pick_payload(rng, plan)
    p = plan.payloads[i]
    raw = hashlib.sha256(p.data).digest()
    variants = {
        'standard alphabet, padded': base64.b64encode(raw).decode(),
        'letter case swapped': p.announced.swapcase(),
        'one character short': p.announced[:-1],
        'empty': '',
        'digest of other bytes': digest(p.data + b'\0'),
        'hexadecimal': raw.hex(),
    }
    kind = rng.choice(sorted(variants))
    p.announced = variants[kind]
    plan.manifest = manifest_of(plan)
    plan.build_routes()
    plan.detail = f'{p.uri}: {kind}'
    fails(plan, 'stdout', 'DL control: FAIL', i)


def payload_status(rng, plan):
    i = pick_payload(rng, plan)
    status = rng.choice([403, 404, 410, 500, 503, 304])
    plan.routes[plan.route_path(plan.payloads[i])]['status'] = status
    plan.detail = f'{plan.payloads[i].uri}: {status}'
    fails(plan, 'stderr', f'GET failed: status={status} body=', i)


def payload_success_status(rng, plan):
    i = pick_payload(rng, plan)
    status = rng.choice([201, 203, 299])
    plan.routes[plan.route_path(plan.payloads[i])]['status'] = status
    plan.detail = f'{plan.payloads[i].uri}: {status}'


def payload_truncate(rng, plan):
    i = pick_payload(rng, plan, non_empty=True)
    size = len(plan.payloads[i].data)
    keep = rng.choice([0, rng.randrange(size), size - 1])
    plan.routes[plan.route_path(plan.payloads[i])]['truncate'] = keep
    plan.detail = f'{plan.payloads[i].uri}: {keep} of {size} bytes'
    fails(plan, 'stderr', 'GET failed: status=0 body=', i)


def payload_drop(rng, plan):
    i = pick_payload(rng, plan)
    how = rng.choice(['close', 'reset'])
    plan.routes[plan.route_path(plan.payloads[i])]['drop'] = how
    plan.detail = f'{plan.payloads[i].uri}: {how}'
    # A request on a reused connection that dies unanswered is sent once more by libcurl.
    plan.retries_allowed = True
    fails(plan, 'stderr', 'GET failed: status=0 body=', i)


def payload_delay(rng, plan):
    i = pick_payload(rng, plan)
    seconds = round(rng.uniform(0.05, 1.5), 2)
    plan.routes[plan.route_path(plan.payloads[i])]['delay'] = seconds
    plan.detail = f'{plan.payloads[i].uri}: {seconds} s'


def payload_pause(rng, plan):
    i = pick_payload(rng, plan, non_empty=True)
    size = len(plan.payloads[i].data)
    after, seconds = rng.randrange(size), round(rng.uniform(0.05, 1.0), 2)
    plan.routes[plan.route_path(plan.payloads[i])]['pause'] = {'after': after, 'seconds': seconds}
    plan.detail = f'{plan.payloads[i].uri}: {seconds} s after {after} of {size} bytes'


def payload_redirect(rng, plan):
    i = pick_payload(rng, plan)
    kind = rng.choice(['ok', 'ok', 'loop', 'plain http', 'nowhere', 'other body'])
    redirect_to(rng, plan, plan.route_path(plan.payloads[i]), kind)
    plan.detail = f'{plan.payloads[i].uri}: {kind}'
    if kind in ('loop', 'plain http'):
        fails(plan, 'stderr', 'GET failed: status=0 body=', i)
    elif kind == 'nowhere':
        fails(plan, 'stderr', 'GET failed: status=404 body=', i)
    elif kind == 'other body':
        fails(plan, 'stdout', 'DL control: FAIL', i)


def entry_path_escape(rng, plan):
    bad = rng.choice(['../escape.dll', 'lib/../../x', '..\\x', 'a/..', '..'])
    data = b'never fetched'
    plan.payloads.append(Payload('deps/escape', bad, data, {'text': data.decode()}, digest(data)))
    plan.manifest = manifest_of(plan)
    plan.build_routes()
    plan.detail = bad
    # Refused while the queue is built, before anything is fetched.
    plan.exit_code = 1
    plan.marker = ('stderr', f'Corrupted dist pack entry path: {bad}')
    plan.failing_payload = -1


FAULTS = [  # name, weight, change
    ('none', 12, no_fault),
    ('verify status', 5, verify_status),
    ('verify 2xx status', 3, verify_success_status),
    ('verify truncated', 4, verify_truncate),
    ('verify dropped', 4, verify_drop),
    ('verify delayed', 3, verify_delay),
    ('verify stalled mid-body', 3, verify_pause),
    ('verify bad JSON', 6, verify_bad_json),
    ('verify unusable manifest', 6, verify_unusable_manifest),
    ('verify odd but usable', 5, verify_odd_but_usable),
    ('verify redirect', 5, verify_redirect),
    ('payload corrupt', 6, payload_corrupt),
    ('payload wrong digest', 6, payload_wrong_digest),
    ('payload status', 5, payload_status),
    ('payload 2xx status', 3, payload_success_status),
    ('payload truncated', 6, payload_truncate),
    ('payload dropped', 5, payload_drop),
    ('payload delayed', 3, payload_delay),
    ('payload stalled mid-body', 4, payload_pause),
    ('payload redirect', 6, payload_redirect),
    ('entry path escapes', 3, entry_path_escape),
]


# ---- HOME before and after ----

def seed_home(rng, plan, home):
    """Files that must survive the run, and sometimes an earlier install of this edition."""
    files = {'Documents/notes.txt': b'keep me', '.config/other-app/settings.ini': b'[a]\nb=1\n'}
    apps = '.QuenzaQtApps'
    other_channel = rng.choice([c for c in CHANNELS if c != plan.channel])
    other_edition = rng.choice([e for e in EDITIONS if e != plan.edition])
    files[f'{apps}/https__ota-{other_channel}.localhost/{plan.edition}/{plan.app_file}'] = b'other channel'
    files[f'{apps}/https__{plan.ota_host}/{other_edition}/app'] = b'other edition'
    files[f'{apps}/https__{plan.ota_host}/{plan.edition}-notes/keep.txt'] = b'similar name'
    earlier = rng.random() < 0.5
    if earlier:
        files[f'{apps}/https__{plan.ota_host}/{plan.edition}.new/{plan.app_file}'] = b'earlier build'
        files[f'{apps}/https__{plan.ota_host}/{plan.edition}/lib/old.so'] = b'earlier build'
    for rel, data in files.items():
        path = home / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    if earlier:
        # A link in the earlier install pointing out of it: removal must not follow it.
        link = home / apps / f'https__{plan.ota_host}' / f'{plan.edition}.new' / 'documents'
        os.symlink('../../../Documents', link)
    if rng.random() < 0.5:
        seed_hostile_names(plan, home)


def seed_hostile_names(plan, home):
    """Names that reach out of the installs if a backslash is taken for a separator, or
    that a listing refusing non-UTF-8 names stops at: inside an earlier install (removed
    with it), an environment directory of this host whose name climbs out on Windows
    (searched as itself: its edition directories go, the rest stays), and, where those
    names would lead, files that must stay."""
    apps = home / '.QuenzaQtApps'
    install = apps / f'https__{plan.ota_host}' / plan.edition
    (install / 'a\\b').mkdir(parents=True, exist_ok=True)
    (install / 'a\\b' / 'f').write_bytes(b'f')
    (install / '..\\..\\..').write_bytes(b'climbs on Windows')
    os.makedirs(os.fsencode(install) + b'/caf\xe9/\xff', exist_ok=True)
    odd = apps / f'https__{plan.ota_host}\\..\\..\\elsewhere'
    for name in (plan.edition + '.old', 'keep'):
        (odd / name).mkdir(parents=True, exist_ok=True)
        (odd / name / 'x').write_bytes(b'x')
    os.makedirs(os.fsencode(apps) + f'/https__{plan.ota_host}'.encode() + b'\xe9/' + plan.edition.encode() + b'/x',
                exist_ok=True)
    (home / 'elsewhere' / (plan.edition + '.old')).mkdir(parents=True, exist_ok=True)
    (home / 'elsewhere' / (plan.edition + '.old') / 'precious').write_bytes(b'precious')


def snapshot(root):
    """Every path under root: ('dir',), ('file', sha256), ('link', target). Names are
    bytes decoded with surrogate escapes, so any name on the disk has its own key."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        for name in dirnames + filenames:
            path = pathlib.Path(dirpath) / name
            rel = path.relative_to(root).as_posix()
            if path.is_symlink():
                out[rel] = ('link', os.readlink(path))
            elif path.is_dir():
                out[rel] = ('dir',)
            elif path.is_file():
                out[rel] = ('file', hashlib.sha256(path.read_bytes()).hexdigest())
            else:
                out[rel] = ('other',)
    return out


# ---- One run ----

def check_run(plan, result, before, after, home):
    problems = []
    if result.timed_out:
        problems.append(f'no end within {RUN_TIMEOUT} s')
    if result.exit_code < 0:
        problems.append(f'ended by signal {-result.exit_code}')
    elif result.exit_code == SANITIZER_EXIT:
        problems.append('sanitizer report')
    elif result.exit_code != plan.exit_code:
        problems.append(f'exit code {result.exit_code}, expected {plan.exit_code}')
    stream, start = plan.marker
    lines = result.stdout if stream == 'stdout' else result.stderr
    if not any(line.startswith(start) for line in lines):
        problems.append(f'no {stream} line starting {start!r}')

    apps = '.QuenzaQtApps'
    env_dir = f'{apps}/https__{plan.ota_host}'
    install_roots = [f'{env_dir}/{plan.edition}', f'{env_dir}/{plan.edition}.new', f'{env_dir}/{plan.edition}.old']
    # Every directory directly under the root whose name starts like this host's
    # environment directories is one, whatever follows (a backslash included).
    for rel in before:
        parent, _, name = rel.rpartition('/')
        if parent == apps and name.startswith(f'https__{plan.ota_host}') and before[rel] == ('dir',):
            install_roots += [f'{rel}/{plan.edition}{suffix}' for suffix in ('', '.new', '.old')]
    created_parents = {apps, env_dir}
    lock_file = f'{apps}/.{plan.edition}_{plan.channel.upper()}.lock'
    empty_file = ('file', hashlib.sha256(b'').hexdigest())

    def inside_install(rel):
        return any(rel == r or rel.startswith(r + '/') for r in install_roots)

    changed = {rel for rel in before.keys() | after.keys() if before.get(rel) != after.get(rel)}
    for rel in sorted(changed):
        if inside_install(rel):
            continue
        if rel in created_parents and rel not in before and after.get(rel) == ('dir',):
            continue
        if rel == lock_file and rel not in before and after.get(rel) == empty_file:
            continue  # the run lock's file, made once and kept
        problems.append(f'changed outside the install directory: {rel} {before.get(rel)} -> {after.get(rel)}')

    # What the run wrote into the staging directory.
    new_dir = f'{env_dir}/{plan.edition}.new'
    expected = {f'{new_dir}/{p.local}': p for p in plan.payloads}
    for rel in sorted(changed):
        state = after.get(rel)
        if not rel.startswith(new_dir + '/') or state is None or state[0] == 'dir':
            continue
        name = rel[len(new_dir) + 1:]
        data = (home / rel).read_bytes() if state[0] == 'file' else None
        if rel in expected:
            payload = expected[rel]
            if state[0] != 'file' or digest(data) != payload.announced:
                problems.append(f'stored {name} does not have the announced digest {payload.announced!r}')
        elif name == 'quenza_deps_dist.sha256':
            if data != plan.deps_hash.encode():
                problems.append(f'hash file holds {data!r}, expected {plan.deps_hash!r}')
        elif name == 'quenza_hostname.cfg':
            if data != f'app-{plan.channel}.localhost'.encode():
                problems.append(f'host-name file holds {data!r}')
        elif state[0] == 'link' and '.so' in name and '/' not in state[1]:
            pass  # a shared-library version link beside its library
        else:
            problems.append(f'unexpected file in the install directory: {name} {state}')

    if plan.exit_code == 0 and result.exit_code == 0:
        for rel, payload in expected.items():
            if after.get(rel) is None:
                problems.append(f'payload {payload.local} missing after a successful run')
        for name in ('quenza_deps_dist.sha256', 'quenza_hostname.cfg'):
            if f'{new_dir}/{name}' not in after:
                problems.append(f'{name} missing after a successful run')

    # Payload requests: in queue order, each once, none after the failing one.
    order = [plan.route_path(p) for p in plan.payloads]
    asked = [r.path for r in result.requests if r.path in order]
    if plan.retries_allowed:
        asked = [path for k, path in enumerate(asked) if k == 0 or asked[k - 1] != path]
    if plan.failing_payload == -1:
        last = -1
    elif plan.failing_payload is not None:
        last = plan.failing_payload
    elif plan.exit_code == 0:
        last = len(order) - 1
    else:
        last = -1  # failed before the downloads
    if asked != order[:last + 1]:
        problems.append(f'payload requests {asked}, expected {order[:last + 1]}')
    return problems


def run_one(target, seed, index, keep):
    plan, rng = make_plan(seed, index)
    with harness.Session(target) as session:
        seed_home(rng, plan, session.home)
        before = snapshot(session.home)
        env = {'ASAN_OPTIONS': os.environ.get('ASAN_OPTIONS', f'exitcode={SANITIZER_EXIT}'),
               'UBSAN_OPTIONS': os.environ.get('UBSAN_OPTIONS', f'print_stacktrace=1:exitcode={SANITIZER_EXIT}')}
        started = time.monotonic()
        result = session.run({'routes': plan.routes}, plan.file_name, timeout=RUN_TIMEOUT, env=env)
        seconds = time.monotonic() - started
        # The application the launcher started is a script that exits at once.
        after = snapshot(session.home)
        problems = check_run(plan, result, before, after, session.home)
        report = None
        if problems:
            report = describe(plan, result, problems, seed)
            if keep:
                keep_dir = target.build_dir / 'soak-failures' / f'run{index}'
                keep_dir.mkdir(parents=True, exist_ok=True)
                (keep_dir / 'report.txt').write_text(report, encoding='utf-8')
                shutil.copytree(session.dir, keep_dir / 'session', symlinks=True, dirs_exist_ok=True)
    return plan, seconds, report


def describe(plan, result, problems, seed):
    lines = [f'run {plan.index} (reproduce: --seed {seed} --only {plan.index}): {plan.fault}: {plan.detail}',
             *[f'  problem: {p}' for p in problems],
             f'  launcher {plan.file_name}, exit {result.exit_code}, expected {plan.exit_code}',
             f'  payloads: ' + ', '.join(f'{p.uri} -> {p.local} ({len(p.data)} bytes)' for p in plan.payloads),
             '  routes: ' + json.dumps({k: {a: b for a, b in v.items() if a not in ('base64', 'text')}
                                       for k, v in plan.routes.items()}),
             '  requests: ' + ' '.join(f'{r.method} {r.path}' for r in result.requests),
             '  stdout:', *[f'    {line}' for line in result.stdout],
             '  stderr:', *[f'    {line}' for line in result.stderr]]
    return '\n'.join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    root = HERE.parents[1]
    parser.add_argument('--build-dir', default=str(root / 'build' / 'linux-x64'))
    parser.add_argument('--source-dir', default=str(root))
    parser.add_argument('--runs', type=int, default=200)
    parser.add_argument('--seed', type=int)
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--only', help='comma-separated run numbers to repeat')
    parser.add_argument('--keep', action='store_true', help='keep failing runs under <build>/soak-failures')
    args = parser.parse_args()

    target = launcher.Target(args.build_dir, args.source_dir)
    if target.windows:
        parser.error('the soak drives the Linux launcher; give a Linux build directory')
    if not target.executable('quenza-installer-e2e').exists():
        parser.error(f'no quenza-installer-e2e in {target.build_dir}')
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    indices = [int(i) for i in args.only.split(',')] if args.only else list(range(args.runs))
    print(f'soak: seed {seed}, {len(indices)} runs, {args.jobs} at a time, launcher {target.build_dir}', flush=True)

    started = time.monotonic()
    failures = []
    counts = {}
    slowest = (0.0, None)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        futures = [pool.submit(run_one, target, seed, i, args.keep) for i in indices]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            plan, seconds, report = future.result()
            counts[plan.fault] = counts.get(plan.fault, 0) + 1
            slowest = max(slowest, (seconds, plan.index))
            if report:
                failures.append(report)
                print(report, flush=True)
            if done % 25 == 0 or done == len(futures):
                print(f'soak: {done}/{len(futures)} runs, {len(failures)} failed, '
                      f'{time.monotonic() - started:.0f} s', flush=True)

    print('soak: faults drawn: ' + ', '.join(f'{k} {v}' for k, v in sorted(counts.items())))
    print(f'soak: slowest run {slowest[1]} took {slowest[0]:.1f} s; total {time.monotonic() - started:.0f} s')
    if failures:
        print(f'soak: {len(failures)} of {len(indices)} runs FAILED (seed {seed})')
        return 1
    print(f'soak: all {len(indices)} runs passed (seed {seed})')
    return 0


if __name__ == '__main__':
    sys.exit(main())
