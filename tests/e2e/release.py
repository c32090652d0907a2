"""The sample release that the demo and the end-to-end tests serve to the launcher.

    rel = release.make(target, directory)
    rel.app                      # Payload of the sample application built for the target
    rel.deps                     # a dozen dependency Payloads in nested folders
    routes = rel.routes(cdn='https://app-prod.localhost/releases/1.4.2')
    scenario = {'routes': routes}

make() writes the payloads under directory (app/ and deps/), so the test server serves
them by file. The release is the same for every edition: the launcher stores the
application payload under the edition's own file name, whatever its name on the server.
A Linux release carries lib/ with a real shared library under its full versioned name
(the sample application loads it through the major-version link the launcher makes) and
other libraries named the ways the link rules tell apart.
"""

import dataclasses
import hashlib
import pathlib
import shutil
import sys
import urllib.parse

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / 'server'))
import server as scenario_server  # noqa: E402

CODE = 'build-1402'
TAG = 'v1.4.2'
RECORD_NAME = 'sample-app-record.txt'

# Dependencies in manifest order: (install path, content). Content is text, or an int
# for that many bytes of a fixed pattern.
_DATA_FILES = [
    ('share/quenza/translations/quenza_fr.qm', 'Quenza translations: fr\n'),
    ('share/quenza/translations/quenza_en.qm', 'Quenza translations: en\n'),
    ('share/quenza/reports/invoice.xml', '<report name="invoice"><page size="A4"/></report>\n'),
    ('share/quenza/reports/folio.xml', '<report name="folio"><page size="A4"/></report>\n'),
    ('share/quenza/icons/64/quenza.png', 2048),
    ('share/quenza/config/defaults.json', '{"currency": "EUR", "locale": "fr_FR"}\n'),
    ('share/quenza/README.txt', 'Sample release of the Quenza application, for the launcher demo.\n'),
    ('docs/licenses/LICENSE.txt', 'Sample content; no licence needed.\n'),
]
LINUX_LIBRARY = 'lib/libquenza-core.so.1.2.3'  # the real library, built with the sample app
_LINUX_LIBS = [
    ('lib/libquenza-widgets.so.4.1', 40000),
    ('lib/plugins/platforms/libqxcb-sample.so', 12000),         # no version: no link
    ('lib/plugins/imageformats/libqpng-sample.so.5', 9000),
]
_WINDOWS_LIBS = [
    ('quenza-core.dll', 30000),
    ('quenza-widgets.dll', 40000),
    ('plugins/platforms/qwindows-sample.dll', 12000),
    ('plugins/imageformats/qpng-sample.dll', 9000),
]
# The links the launcher makes in a Linux install, each with its target.
LINUX_LINKS = {
    'lib/libquenza-core.so.1.2': 'libquenza-core.so.1.2.3',
    'lib/libquenza-core.so.1': 'libquenza-core.so.1.2.3',
    'lib/libquenza-core.so': 'libquenza-core.so.1.2.3',
    'lib/libquenza-widgets.so.4': 'libquenza-widgets.so.4.1',
    'lib/libquenza-widgets.so': 'libquenza-widgets.so.4.1',
    'lib/plugins/imageformats/libqpng-sample.so': 'libqpng-sample.so.5',
}


def digest_text(data):
    return scenario_server.digest_text(data)


@dataclasses.dataclass
class Payload:
    uri: str             # below the content server's base
    path: str            # in the install directory ('' for the application)
    file: pathlib.Path   # the bytes served

    @property
    def data(self):
        return self.file.read_bytes()

    @property
    def hash(self):
        return digest_text(self.data)

    @property
    def size(self):
        return self.file.stat().st_size


@dataclasses.dataclass
class Release:
    app: Payload
    deps: list
    links: dict  # the links an install of it must hold on Linux: path -> target

    @property
    def deps_hash(self):
        """The dist pack's digest: of the dependency digests in manifest order."""
        return digest_text(''.join(d.hash for d in self.deps).encode('ascii'))

    def manifest(self, cdn):
        return {
            'code': CODE, 'tag': TAG, 'cdn': cdn,
            'app': {'uri': self.app.uri, 'hash': self.app.hash, 'size': self.app.size},
            'deps': {'hash': self.deps_hash,
                     'entries': [{'uri': d.uri, 'hash': d.hash, 'path': d.path, 'size': d.size}
                                 for d in self.deps]},
        }

    def write_tree(self, directory, app_name):
        """Writes the release as the directory that scripts/publish takes: the application
        under app_name and every dependency at its path, plus, in a Linux release, the
        library version links a build leaves beside the libraries (which publish leaves
        out, since the launcher makes them)."""
        directory = pathlib.Path(directory)
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        shutil.copy2(self.app.file, directory / app_name)
        for dep in self.deps:
            (directory / dep.path).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(dep.file, directory / dep.path)
        for link, target in self.links.items():
            (directory / link).symlink_to(target)

    def routes(self, cdn, *, first_delay=None):
        """Server routes of the verify reply and of every payload below the path of cdn.
        first_delay: seconds the application payload is held back (time to look at the
        progress window)."""
        base = urllib.parse.urlsplit(cdn).path
        routes = {'/ota/verify': {'json': self.manifest(cdn)}}
        for payload in [self.app, *self.deps]:
            routes[f'{base}/{payload.uri}'] = {'file': str(payload.file)}
        if first_delay:
            routes[f'{base}/{self.app.uri}']['delay'] = first_delay
        return routes


def _content(content, path):
    if isinstance(content, int):
        return scenario_server.generated_bytes(content, int(hashlib.sha256(path.encode()).hexdigest()[:8], 16))
    return content.encode('utf-8')


def make(target, directory):
    """Writes the release of the target's sample application under directory (emptied
    first) and returns it."""
    directory = pathlib.Path(directory)
    shutil.rmtree(directory, ignore_errors=True)
    (directory / 'app').mkdir(parents=True)
    app_name = 'quenza-sample-app' + target.exe_suffix
    app_file = directory / 'app' / app_name
    shutil.copy2(target.executable('quenza-sample-app'), app_file)
    app = Payload(f'app/{app_name}', '', app_file)

    deps = []

    def add(path, data):
        file = directory / 'deps' / path
        file.parent.mkdir(parents=True, exist_ok=True)
        file.write_bytes(data)
        deps.append(Payload(f'deps/{path}', path, file))

    if target.windows:
        for path, content in _WINDOWS_LIBS:
            add(path, _content(content, path))
    else:
        add(LINUX_LIBRARY, (target.build_dir / 'sample-lib' / pathlib.Path(LINUX_LIBRARY).name).read_bytes())
        for path, content in _LINUX_LIBS:
            add(path, _content(content, path))
    for path, content in _DATA_FILES:
        add(path, _content(content, path))
    return Release(app, deps, {} if target.windows else dict(LINUX_LINKS))


def read_record(path):
    """The sample application's record as (key, value) pairs; None when there is none."""
    path = pathlib.Path(path)
    if not path.exists():
        return None
    pairs = []
    for line in path.read_text(encoding='utf-8', errors='surrogateescape').splitlines():
        key, _, value = line.partition('=')
        pairs.append((key, value))
    return pairs
