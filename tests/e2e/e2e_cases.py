"""The end-to-end cases: every way a run fails without a window, with the one line it
writes and what it leaves on disk, and the run under every edition and channel name.

Failure cases use a small synthetic release (an application payload and two data files)
served below https://app-prod.localhost/cdn; each changes one thing of it. The names
select the front office on the production channel unless a case says otherwise.
"""

import base64
import os
import subprocess
import time

import harness
import release
from matrix import (ABSENT, DIR, EMPTY_DIR, FILE, NO_INSTALL, Case, Link, Text, START, downloading, succeeded,
                    verified)

CDN = 'https://app-prod.localhost/cdn'
APP_BODY = harness.generated_bytes(4096, 1)
ONE_BODY = b'payload one: a data file of the application\n'
TWO_BODY = b'payload two\n'


def payload(uri, path, body, **reply):
    """A dependency: served at /cdn/<uri> with the reply options given (e.g. status,
    delay, truncate, corrupt; drop=True serves nothing), stored at path."""
    return (uri, path, body, reply)


APP = payload('app/quenza-app', '', APP_BODY)
ONE = payload('deps/one', 'data/one.txt', ONE_BODY)
TWO = payload('deps/two', 'data/two.txt', TWO_BODY)


def corrupted(body):
    """What the server sends for a reply marked corrupt."""
    return body[:-1] + bytes([body[-1] ^ 0xFF]) if body else b'\0'


def scenario(application=APP, dependencies=(ONE, TWO), *, deps_hash='DEPS-DIGEST-1402', **members):
    """A verify reply naming the application and its dependencies, with the routes
    serving them.
    members change the manifest's top-level members (None removes one)."""
    routes = {}

    def serve(uri, body, reply):
        reply = dict(reply)
        if not reply.pop('drop', False):
            routes[f'/cdn/{uri}'] = {'base64': base64.b64encode(body).decode('ascii'), **reply}

    app_uri, _, app_body, app_reply = application
    serve(app_uri, app_body, app_reply)
    for uri, _, body, reply in dependencies:
        serve(uri, body, reply)
    manifest = {'code': 'build-7', 'tag': 'v7.0.0', 'cdn': CDN,
                'app': {'uri': app_uri, 'hash': harness.digest_text(app_body), 'size': len(app_body)},
                'deps': {'hash': deps_hash, 'entries': [entry(d) for d in dependencies]}}
    for key, value in members.items():
        if value is None:
            manifest.pop(key, None)
        else:
            manifest[key] = value
    routes['/ota/verify'] = {'json': manifest}
    return {'routes': routes}


def entry(dependency):
    uri, path, body, _ = dependency
    return {'uri': uri, 'hash': harness.digest_text(body), 'path': path, 'size': len(body)}


def verify_reply(reply):
    return {'routes': {'/ota/verify': reply}}


JSON_MAX_DEPTH = 100  # arrays and objects together (json/json.h)
BODY_BYTES_KEPT = 4096  # of a body or parser quote in a log line (base/log_text.h)


def clipped(text):
    """A body or a parser's quote as a log line holds it: its first 4 KiB, then the
    number of bytes left out."""
    data = text.encode('utf-8', errors='surrogateescape')
    if len(data) <= BODY_BYTES_KEPT:
        return text
    kept = data[:BODY_BYTES_KEPT].decode('utf-8', errors='surrogateescape')
    return kept + f'[... {len(data) - BODY_BYTES_KEPT} bytes left out]'


def nested(levels, kinds):
    """An object nested `levels` deep, the root included; `kinds` picks the levels below
    it in turn: 'o' an object holding the next level under "a", 'a' an array."""
    text, closers, parent_is_object = '{', '}', True
    for i in range(1, levels):
        is_object = kinds[(i - 1) % len(kinds)] == 'o'
        text += ('"a":' if parent_is_object else '') + ('{' if is_object else '[')
        closers += '}' if is_object else ']'
        parent_is_object = is_object
    return text + closers[::-1]


def depth_refusal(body):
    """The line for a body nested past the bound: the parser quotes the rest of the line
    after the opening bracket it refused."""
    opened = 0
    for i, c in enumerate(body):
        opened += c in '{['
        if opened == JSON_MAX_DEPTH + 1:
            return 'Invalid JSON response: ' + clipped('syntax error at line 1 near: ' + body[i + 1:])
    raise ValueError('not nested past the bound')


def not_found(key):
    return f"JSON: Field not found '{key}', using fallback value"


def fetched(*uris):
    return ('/ota/verify', *(f'/cdn/{uri}' for uri in uris))


# What a run leaves when it fails before the install directories exist: at most the run
# lock's file, taken before the window shows.
NOTHING_WRITTEN = {'': NO_INSTALL}
# What the staging directory holds after the application payload and data file one.
STORED_TWO = {'{new:{app}}': APP_BODY, '{new:data/one.txt}': ONE_BODY}


def seed_locked_install(ctx):
    """An earlier install that cannot be moved aside (as a directory an application runs
    from on Windows), after an older install of the legacy layout (removed first)."""
    (ctx.apps / 'QuenzaPMS_PROD.old').mkdir(parents=True)
    (ctx.apps / 'QuenzaPMS_PROD.old' / 'quenza-pms').write_bytes(b'old build')
    (ctx.dir / 'bin').mkdir(parents=True)
    (ctx.dir / 'bin' / 'quenza-pms').write_bytes(b'in use')
    ctx.lock(ctx.dir)


def seed_link_at_install_dir(ctx):
    """A link standing where the install directory goes, to a directory with a file."""
    ctx.env_dir.mkdir(parents=True)
    (ctx.apps / 'link-target').mkdir()
    (ctx.apps / 'link-target' / 'precious.txt').write_bytes(b'precious')
    ctx.dir.symlink_to(ctx.apps / 'link-target', target_is_directory=True)


def seed_file_as_environment_dir(ctx):
    ctx.apps.mkdir(parents=True)
    ctx.env_dir.write_bytes(b'not a directory')


def seed_file_as_staging_dir(ctx):
    """Only directories count as earlier installs: a file of the staging directory's
    name stays, and stands in the way."""
    ctx.env_dir.mkdir(parents=True)
    ctx.new.write_bytes(b'a file where the staging directory goes')


def seed_at_lock(make):
    """Something at the run lock's file name (Linux), made by make(path)."""
    return lambda ctx: (ctx.apps.mkdir(parents=True), make(ctx.apps / ctx.lock_file_name()))


def failure_cases():
    """Every failure row that a run without a window ends on with exit code 1."""
    two_dots_in_name = payload('deps/notes', 'data/notes..txt', b'notes')
    library = payload('deps/lib', 'lib/libquenza-core.so.1.2.3', b'\x7fELF not really')
    # About 1 MB each: far past what the Windows build's 2 MiB stack would survive if
    # every level were parsed.
    deep_objects = nested(200000, 'o')
    deep_mixed = nested(200000, 'oa')
    line_break = payload('deps/x', 'data/evil\nOTA entry_9.path = forged', b'x')
    control_uri = payload('deps/two\r', 'data/two.txt', TWO_BODY)
    app_not_program = payload('app/quenza-app', '', b'this is no program\n')
    return [
        # The run lock (a mutex on Windows): what stands at its file's name is taken back
        # as itself; what cannot be ends the run before anything else.
        Case('lock: a dangling link at its name', None, seed=seed_at_lock(lambda p: p.symlink_to('nowhere')),
             states=(*START, 'Error'), stderr=('POST failed: status=0 body=',), files=NOTHING_WRITTEN,
             platforms=('linux',)),
        Case('lock: a directory holding a file at its name', scenario(), states=('Error',),
             seed=seed_at_lock(lambda p: (p.mkdir(), (p / 'kept').write_bytes(b'kept'))),
             stderr=('Run lock unavailable: lock={apps:.QUENZA_PMS_PROD.lock} error=39 (Directory not empty)',),
             requests=(), files={'.QUENZA_PMS_PROD.lock/kept': b'kept', '{env}': ABSENT}, platforms=('linux',)),
        # The verify exchange.
        Case('verify: nothing listens', None, states=(*START, 'Error'),
             stderr=('POST failed: status=0 body=',), files=NOTHING_WRITTEN),
        Case('verify: server certificate of an unknown authority', scenario(), cert='other-server',
             states=(*START, 'Error'), stderr=('POST failed: status=0 body=',), requests=(), files=NOTHING_WRITTEN),
        Case('verify: status 500', verify_reply({'status': 500, 'text': 'OTA backend down'}),
             states=(*START, 'Error'), stderr=('POST failed: status=500 body=OTA backend down',),
             requests=fetched(), files=NOTHING_WRITTEN),
        Case('verify: invalid JSON', verify_reply({'text': '{"code": oops}'}), states=(*START, 'Error'),
             stdout=('Verify OTA...', 'POST success: status=200 size=14'),
             stderr=('Invalid JSON response: syntax error at line 1 near: oops}',), files=NOTHING_WRITTEN),
        Case('verify: objects nested 200,000 deep', verify_reply({'text': deep_objects}), states=(*START, 'Error'),
             stderr=(depth_refusal(deep_objects),), files=NOTHING_WRITTEN),
        Case('verify: arrays and objects nested 200,000 deep', verify_reply({'text': deep_mixed}),
             states=(*START, 'Error'), stderr=(depth_refusal(deep_mixed),), files=NOTHING_WRITTEN),
        Case('verify: root not an object', verify_reply({'json': ['build-7']}), states=(*START, 'Error'),
             stderr=('Invalid JSON response: JSON root is not an object',), files=NOTHING_WRITTEN),
        Case('verify: members missing', scenario(code=None, app=None), states=(*START, 'Error'),
             stdout=('OTA code = ', 'OTA tag = v7.0.0', f'OTA cdn = {CDN}', 'OTA app.uri = ', 'OTA app.hash = ',
                     'OTA app.size = 0', 'OTA deps.hash = DEPS-DIGEST-1402'),
             stderr=(not_found('code'), not_found('app'), not_found('uri'), not_found('hash'), not_found('size')),
             requests=fetched(), files=NOTHING_WRITTEN),
        Case('verify: an entry that is not an object',
             scenario(deps={'hash': 'D1', 'entries': [entry(ONE), 'deps/two']}), states=(*START, 'Error'),
             stdout=('OTA deps.hash = D1', 'OTA entry_1.uri = deps/one', 'OTA entry_1.path = data/one.txt'),
             not_stdout=('OTA entry_2',), stderr=(), requests=fetched(), files=NOTHING_WRITTEN),
        # Cleaning before download.
        Case('cleaning: an earlier install cannot be removed', scenario(), seed=seed_locked_install,
             states=verified('Error'),
             stdout=('FS env dir found:  path={env}', 'FS conflicting install dir found : path={dir}',
                     'New install dir: {dir}', 'FS deleting conflicting install dir :{apps:QuenzaPMS_PROD.old}',
                     'FS deleting conflicting install dir :{dir}'),
             stderr=("FS couldn't remove conflicting install dir: {dir}",), requests=fetched(),
             files={'QuenzaPMS_PROD.old': ABSENT, '.QUENZA_PMS_PROD.discarded-1': ABSENT,
                    '{dir:bin/quenza-pms}': b'in use', '{env:.QUENZA_PMS_PROD.discarded-1}': ABSENT, '{new}': ABSENT}),
        Case('cleaning: a link stands at the install directory', scenario(), seed=seed_link_at_install_dir,
             states=verified('Error'), stdout=('New install dir: {dir}',),
             stderr=("FS couldn't create install dir: {dir}",), requests=fetched(),
             files={'link-target/precious.txt': b'precious', '{new}': ABSENT}),
        Case('cleaning: the install directory cannot be created', scenario(), seed=seed_file_as_environment_dir,
             states=verified('Error'), stdout=('New install dir: {dir}',),
             stderr=("FS couldn't create install dir: {dir}",), requests=fetched(),
             files={'{env}': b'not a directory'}),
        Case('cleaning: the staging directory cannot be created', scenario(), seed=seed_file_as_staging_dir,
             states=verified('Error'), stderr=("FS couldn't create install dir: {new}",), requests=fetched(),
             files={'{dir}': EMPTY_DIR, '{new}': b'a file where the staging directory goes'}),
        # Constructing the queue: nothing is fetched.
        Case('queue: an entry path climbing out', scenario(dependencies=(ONE, payload('deps/x', '../escape.txt', b'x'))),
             states=verified('Constructing queue', 'Error'), stderr=('Corrupted dist pack entry path: ../escape.txt',),
             requests=fetched(), files={'{new}': EMPTY_DIR, '{dir}': EMPTY_DIR, '{env:escape.txt}': ABSENT}),
        Case('queue: two dots inside a file name', scenario(dependencies=(ONE, two_dots_in_name)),
             states=verified('Constructing queue', 'Error'),
             stderr=('Corrupted dist pack entry path: data/notes..txt',), requests=fetched(),
             files={'{new}': EMPTY_DIR}),
        # Server values with control bytes: the value lines stay one line each, and nothing
        # is fetched.
        Case('queue: an entry path with a line break', scenario(dependencies=(ONE, line_break)),
             states=verified('Constructing queue', 'Error'),
             stdout=('OTA entry_2.path = data/evil\\x0aOTA entry_9.path = forged',), not_stdout=('OTA entry_9',),
             stderr=('Corrupted dist pack entry path: data/evil\\x0aOTA entry_9.path = forged',), requests=fetched(),
             files={'{new}': EMPTY_DIR}),
        Case('queue: a URI with a control byte', scenario(dependencies=(ONE, control_uri)),
             states=verified('Constructing queue', 'Error'), stdout=('OTA entry_2.uri = deps/two\\x0d',),
             stderr=(f'Corrupted download URL: {CDN}/deps/two\\x0d',), requests=fetched(),
             files={'{new}': EMPTY_DIR}),
        # Payloads travel over HTTPS only: nothing reaches the server's clear-text port.
        Case('download: cdn over plain http', scenario(cdn='http://app-prod.localhost/cdn'),
             states=downloading(0, 'Waiting', 'Error'),
             stdout=('DL request: remoteUrl=http://app-prod.localhost/cdn/app/quenza-app localPath={new:{app}}',
                     'DL reply: status=0'),
             stderr=('GET failed: status=0 body=',), requests=fetched(), files={'{new}': EMPTY_DIR}),
        Case('download: cdn without a scheme', scenario(cdn='app-prod.localhost/cdn'),
             states=downloading(0, 'Waiting', 'Error'), stdout=('DL reply: status=0',),
             stderr=('GET failed: status=0 body=',), requests=fetched(), files={'{new}': EMPTY_DIR}),
        # Downloading: the first failure ends the run; what was stored stays.
        Case('download: application payload not found', scenario(application=(*APP[:3], {'drop': True})),
             states=downloading(0, 'Waiting', 'Error'), stdout=('DL reply: status=404',),
             stderr=('GET failed: status=404 body=no route',), requests=fetched('app/quenza-app'),
             files={'{new}': EMPTY_DIR}),
        Case('download: body cut short', scenario(dependencies=(payload(*ONE[:3], truncate=20), TWO)),
             states=downloading(1, 'Waiting', 'Error'), stdout=('DL reply: status=0',),
             stderr=('GET failed: status=0 body=' + ONE_BODY[:20].decode(),),
             requests=fetched('app/quenza-app', 'deps/one'),
             files={'{new:{app}}': APP_BODY, '{new:data/one.txt}': ABSENT, '{new:data}': ABSENT}),
        Case('download: status 304', scenario(dependencies=(ONE, payload(*TWO[:3], status=304))),
             states=downloading(2, 'Waiting', 'Error'), stdout=('DL reply: status=304',),
             stderr=('GET failed: status=304 body=',), files=dict(STORED_TWO, **{'{new:data/two.txt}': ABSENT})),
        Case('download: digest mismatch', scenario(dependencies=(ONE, payload(*TWO[:3], corrupt=True))),
             states=downloading(2, 'Waiting', 'Error'),
             stdout=('DL reply: status=200', 'DL control: FAIL hash=%s | %s' % (
                 harness.digest_text(corrupted(TWO_BODY)), harness.digest_text(TWO_BODY))),
             not_stdout=('DL ended:',), stderr=(),
             files=dict(STORED_TWO, **{'{new:data/two.txt}': ABSENT, '{new:quenza_deps_dist.sha256}': ABSENT})),
        Case('download: parent directory cannot be made',
             scenario(dependencies=(ONE, payload('deps/two', 'data/one.txt/two.txt', TWO_BODY))),
             states=downloading(2, 'Waiting', 'Error'), stdout=('DL control: DONE hash=%s | %s' % (
                 (harness.digest_text(TWO_BODY),) * 2),),
             stderr=("FS couldn't make file parent dir: {new:data/one.txt}",), files=STORED_TWO),
        Case('download: file cannot be written',
             scenario(dependencies=(payload('deps/one', 'data/one.txt/inner.txt', ONE_BODY),
                            payload('deps/two', 'data/one.txt', TWO_BODY))),
             states=downloading(2, 'Waiting', 'Error'),
             stderr=("FS couldn't write local file: {new:data/one.txt}",),
             files={'{new:data/one.txt}': DIR, '{new:data/one.txt/inner.txt}': ONE_BODY}),
        # Writing the hash file once everything is stored.
        Case('hash file cannot be written',
             scenario(dependencies=(ONE, payload('deps/two', 'quenza_deps_dist.sha256/two.txt', TWO_BODY))),
             states=downloading(3, 'Error'), not_stdout=('DL ended:',),
             stderr=("FS couldn't write dist pack hash file: {new:quenza_deps_dist.sha256}",),
             files=dict(STORED_TWO, **{'{new:quenza_deps_dist.sha256}': DIR, '{new:quenza_hostname.cfg}': ABSENT})),
        # Preparation on Linux: the tools and links of the staged tree.
        Case('prepare: chmod cannot be started', scenario(), env={'PATH': '/nonexistent-quenza-bin'},
             states=downloading(3, 'Preparing execution', 'Error'),
             stdout=('DL ended: done=3 failed=0', 'chmod output: '),
             stderr=('chmod failed:  started=0 exitCode=-1',),
             files={'{new:{app}}': APP_BODY, '{new:quenza_hostname.cfg}': ABSENT,
                    '{new:quenza_deps_dist.sha256}': b'DEPS-DIGEST-1402'},
             platforms=('linux',)),
        Case('prepare: chmod fails', scenario(dependencies=(payload(*ONE[:3], delay=2.0), TWO)),
             during=('/cdn/deps/one', lambda ctx: ctx.lock(ctx.new / ctx.app)), env={'LC_ALL': 'C'},
             states=downloading(3, 'Preparing execution', 'Error'),
             stdout=("chmod output: chmod: changing permissions of '{new:{app}}': Operation not permitted",),
             stderr=('chmod failed:  started=1 exitCode=1',), files={'{new:quenza_hostname.cfg}': ABSENT},
             platforms=('linux',)),
        Case('prepare: a library link cannot be made', scenario(dependencies=(library, payload(*ONE[:3], delay=2.0))),
             during=('/cdn/deps/one', lambda ctx: ctx.lock(ctx.new / 'lib')),
             states=downloading(3, 'Preparing execution', 'Error'),
             stdout=('SO file found : path={new:lib/libquenza-core.so.1.2.3}',
                     'FS recreating relative symlink: {new:lib/libquenza-core.so.1.2}'),
             not_stdout=('chmod output:',),
             stderr=("FS couldn't symlink SO file: libquenza-core.so.1.2.3{new:lib/libquenza-core.so.1.2}",),
             files={'{new:lib/libquenza-core.so.1.2}': ABSENT, '{new:quenza_hostname.cfg}': ABSENT},
             platforms=('linux',)),
        # Starting the application: nothing is written to standard error.
        Case('start: the application payload is no program', scenario(application=app_not_program),
             states=downloading(3, 'Preparing execution', 'Executing app', 'Error'), stderr=(),
             files={'{new:{app}}': b'this is no program\n', '{new:quenza_hostname.cfg}': Text('{host}')}),
    ]


# Names and what they select. Letter case does not matter; ".exe" is added for Windows.
NAMES = [
    ('quenza-installer', 'QUENZA_PMS', 'PROD'),
    ('Quenza-Demo-Setup', 'QUENZA_PMS', 'DEMO'),
    ('quenza-dev', 'QUENZA_PMS', 'DEV'),
    ('QuenzaManager', 'QUENZA_MAN', 'PROD'),
    ('Quenza-Manager-Demo', 'QUENZA_MAN', 'DEMO'),
    ('quenza-manager-dev', 'QUENZA_MAN', 'DEV'),
    ('myQuenza', 'QUENZA_APP', 'PROD'),
    ('MyQuenza-demo', 'QUENZA_APP', 'DEMO'),
    ('MYQUENZA_DEV', 'QUENZA_APP', 'DEV'),
    ('Quenza-BackOffice', 'QUENZA_BO', 'PROD'),
    ('quenza-bo-demo', 'QUENZA_BO', 'DEMO'),
    ('Quenza-BackOffice-Dev', 'QUENZA_BO', 'DEV'),
]
SAMPLE_CDN = 'https://app-prod.localhost/releases/1.4.2'


def installed(rel):
    """The staged install of the sample release after a complete run."""
    files = {'{dir}': EMPTY_DIR, '{new:{app}}': rel.app.data, '{new:quenza_hostname.cfg}': Text('{host}'),
             '{new:quenza_deps_dist.sha256}': rel.deps_hash.encode('ascii')}
    for dep in rel.deps:
        files['{new:%s}' % dep.path] = dep.data
    for path, target in rel.links.items():
        files['{new:%s}' % path] = Link(target)
    return files


def sample_requests(rel):
    return ('/ota/verify', *('/releases/1.4.2/' + p.uri for p in [rel.app, *rel.deps]))


def edition_cases(rel):
    """The sample release installed and started under every edition and channel name."""
    return [Case(f'{edition} {channel} as {name}', {'routes': rel.routes(SAMPLE_CDN)}, file_name=name,
                 edition=edition, channel=channel, exit_code=0, states=succeeded(1 + len(rel.deps)),
                 stdout=('App filename: {app}', f'OTA hostname: ota-{channel.lower()}.localhost',
                         'New install dir: {dir}', 'DL ended: done=%d failed=0' % (1 + len(rel.deps))),
                 stderr=(), requests=sample_requests(rel), files=installed(rel), record=True)
            for name, edition, channel in NAMES]


def hostname_blocked_case(rel):
    """A directory where the host-name file goes does not stop the application's start."""
    s = {'routes': rel.routes(SAMPLE_CDN)}
    s['routes']['/releases/1.4.2/deps/blocker'] = {'text': 'x'}
    s['routes']['/ota/verify']['json']['deps']['entries'].append(
        {'uri': 'deps/blocker', 'hash': harness.digest_text(b'x'), 'path': 'quenza_hostname.cfg/blocker', 'size': 1})
    return Case('the host-name file cannot be written', s, exit_code=0, states=succeeded(2 + len(rel.deps)),
                stderr=(), files={'{new:quenza_hostname.cfg}': DIR, '{new:{app}}': rel.app.data})


def running_install_case(rel):
    """The application runs from the install, started as a launcher starts it and holding
    no file open, when a second launcher starts: the launcher waits for it to end, then
    fails naming it, and not one file of the install is touched."""
    files = installed(rel)

    def seed(ctx):
        for key, expected in files.items():
            path = ctx.host_path(ctx.expand(key, absolute=False))
            path.parent.mkdir(parents=True, exist_ok=True)
            if expected == EMPTY_DIR:
                path.mkdir()
            elif isinstance(expected, Link):
                path.symlink_to(expected.target)
            else:
                path.write_bytes(ctx.expand(expected.template).encode() if isinstance(expected, Text) else expected)
        program = ctx.new / ctx.app
        program.chmod(0o755)
        app = subprocess.Popen([str(program), '--installer=first'], env=dict(os.environ, QUENZA_SAMPLE_APP_HOLD='120'),
                               cwd='/', stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
        ctx.keep_running(app)
        deadline = time.monotonic() + 20
        while not (ctx.new / release.RECORD_NAME).exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        ctx.values.update(pid=str(app.pid), program=os.path.realpath(program))

    return Case('cleaning: the application runs from the install', {'routes': rel.routes(SAMPLE_CDN)}, seed=seed,
                states=verified('Error'), stdout=('New install dir: {dir}',), not_stdout=('FS deleting',),
                stderr=('FS install in use: pid={pid} program={program}',
                        "FS couldn't remove conflicting install dir: {new}"),
                requests=('/ota/verify',),
                files=dict(files, **{'{new:%s}' % release.RECORD_NAME: FILE, '{env:.QUENZA_PMS_PROD.discarded-1}': ABSENT}),
                platforms=('linux',))
