"""The operator's kit: scripts/publish turns a directory into a release (content store,
manifest), refuses what the launcher could not install, never changes what an older
manifest points to, switches channels, and its nginx site serves each channel's
manifest and the content store.

    test_publish.py --source-dir <root>
"""

import argparse
import base64
import hashlib
import http.client
import json
import os
import pathlib
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

ROOT = None  # set from --source-dir
PYTHON = '/usr/bin/python3'
CDN = 'https://cdn.localhost/content'


def digest_text(data):
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).decode('ascii').rstrip('=')


def write_tree(root, layout):
    """layout: relative path -> bytes (a file), ('link', target), 'dir' (an empty
    directory) or 'fifo'."""
    root = pathlib.Path(root)
    root.mkdir(parents=True, exist_ok=True)
    for rel, what in layout.items():
        path = root / os.fsdecode(rel) if isinstance(rel, bytes) else root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(what, bytes):
            path.write_bytes(what)
        elif what == 'dir':
            path.mkdir()
        elif what == 'fifo':
            os.mkfifo(path)
        else:
            path.symlink_to(what[1])
    return root


def snapshot(directory):
    """Every file and link below directory: relative path -> bytes or link target."""
    out = {}
    for path in sorted(pathlib.Path(directory).rglob('*')):
        rel = path.relative_to(directory).as_posix()
        if path.is_symlink():
            out[rel] = ('link', os.readlink(path))
        elif path.is_file():
            out[rel] = path.read_bytes()
    return out


# A Linux application as a build leaves it: the application, a library under its
# versioned name with the links a build makes beside it, nested data, a helper program
# and an empty directory.
LINUX_TREE = {
    'quenza-bo': b'\x7fELF the application',
    'lib/libquenza-core.so.1.2.3': b'core library',
    'lib/libquenza-core.so.1': ('link', 'libquenza-core.so.1.2.3'),
    'lib/libquenza-core.so': ('link', 'libquenza-core.so.1'),
    'lib/plugins/libqxcb.so': b'plugin without version',
    'share/quenza/translations/quenza_fr.qm': b'fr',
    'share/quenza/\u00e9t\u00e9.txt': 'accents in names are fine'.encode(),
    'bin/helper': b'#!/bin/sh\n',
    'cache': 'dir',
}


class PublishTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix='quenza-publish-')
        self.tmp = pathlib.Path(self._tmp.name)
        self.site = self.tmp / 'site'

    def tearDown(self):
        self._tmp.cleanup()

    def publish(self, *args):
        return subprocess.run([PYTHON, str(ROOT / 'scripts' / 'publish'), *map(str, args)], capture_output=True,
                              text=True)

    def add(self, tree, release='r1', edition='QUENZA_BO', platform='GNU_LINUX', *extra):
        return self.publish('add', '--site', self.site, '--cdn', CDN, '--edition', edition, '--platform', platform,
                            '--code', 'build-7', '--tag', 'v7', '--release', release, *extra, tree)

    def manifest(self, release='r1', edition='QUENZA_BO', platform='GNU_LINUX'):
        path = self.site / 'releases' / release / edition / f'{platform}.json'
        return json.loads(path.read_text(encoding='utf-8'))

    def stored(self, uri):
        return (self.site / 'content' / uri).read_bytes()

    def linux_tree(self, name='in'):
        tree = write_tree(self.tmp / name, LINUX_TREE)
        os.chmod(tree / 'bin' / 'helper', 0o755)
        return tree

    def test_release_holds_every_file_with_its_digest(self):
        result = self.add(self.linux_tree())
        self.assertEqual(result.returncode, 0, result.stderr)
        # What a build leaves that the launcher makes or cannot install is said, not published.
        self.assertIn('cache/ is empty and left out', result.stderr)
        self.assertIn('bin/helper is executable here but is installed without its executable bit', result.stderr)

        m = self.manifest()
        self.assertEqual((m['code'], m['tag'], m['cdn']), ('build-7', 'v7', CDN))
        app = LINUX_TREE['quenza-bo']
        self.assertEqual(m['app']['hash'], digest_text(app))
        self.assertEqual(m['app']['size'], len(app))
        self.assertEqual(self.stored(m['app']['uri']), app)

        files = {rel: data for rel, data in LINUX_TREE.items() if isinstance(data, bytes) and rel != 'quenza-bo'}
        entries = m['deps']['entries']
        self.assertEqual([e['path'] for e in entries], sorted(files, key=lambda p: p.encode()))
        for entry in entries:
            data = files[entry['path']]
            self.assertEqual((entry['hash'], entry['size']), (digest_text(data), len(data)), entry['path'])
            self.assertEqual(self.stored(entry['uri']), data, entry['path'])
        # The documented definition: one "path<TAB>digest<LF>" line per entry, in order.
        lines = ''.join(f'{e["path"]}\t{digest_text(files[e["path"]])}\n' for e in entries)
        self.assertEqual(m['deps']['hash'], digest_text(lines.encode('utf-8')))

    def test_published_files_are_never_changed(self):
        tree = self.linux_tree()
        self.assertEqual(self.add(tree).returncode, 0)
        first = snapshot(self.site)

        again = self.add(tree)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn('already published, unchanged', again.stdout)
        self.assertEqual(snapshot(self.site), first)

        (tree / 'share' / 'quenza' / 'translations' / 'quenza_fr.qm').write_bytes(b'fr, corrected')
        changed = self.add(tree)
        self.assertEqual(changed.returncode, 1)
        self.assertIn('a release never changes once published', changed.stderr)
        self.assertEqual(snapshot(self.site), first)

        self.assertEqual(self.add(tree, 'r2').returncode, 0)
        after = snapshot(self.site)
        for rel, data in first.items():
            self.assertEqual(after.get(rel), data, rel)
        old = {e['path']: e['uri'] for e in self.manifest('r1')['deps']['entries']}
        new = {e['path']: e['uri'] for e in self.manifest('r2')['deps']['entries']}
        changed_path = 'share/quenza/translations/quenza_fr.qm'
        self.assertNotEqual(old[changed_path], new[changed_path])
        self.assertEqual({p: u for p, u in old.items() if p != changed_path},
                         {p: u for p, u in new.items() if p != changed_path})
        self.assertEqual(self.stored(new[changed_path]), b'fr, corrected')

    def test_refused_inputs(self):
        # (case, platform, extra files, extra arguments, expected words)
        cases = [
            ('dots inside a name', 'GNU_LINUX', {'share/notes..txt': b'x'}, [], 'share/notes..txt: the path holds ".."'),
            ('control character', 'GNU_LINUX', {'share/a\nb': b'x'}, [], 'share/a\\nb: the name holds a control'),
            ('backslash', 'GNU_LINUX', {'a\\b': b'x'}, [], 'a\\b: the name holds a backslash'),
            ('not UTF-8', 'GNU_LINUX', {b'share/caf\xe9': b'x'}, [], 'the name is not valid UTF-8'),
            ('fifo', 'GNU_LINUX', {'share/pipe': 'fifo'}, [], 'share/pipe: not a regular file'),
            ('link outside lib', 'GNU_LINUX', {'share/alias.txt': ('link', 'quenza/translations/quenza_fr.qm')}, [],
             'share/alias.txt: a link; the launcher installs regular files only'),
            ('link the launcher points elsewhere', 'GNU_LINUX',
             {'lib/libother.so.2': b'other', 'lib/libquenza-core.so.1.2': ('link', '../lib/libother.so.2')}, [],
             'lib/libquenza-core.so.1.2: the launcher makes this link itself, pointing at lib/libquenza-core.so.1.2.3'),
            ('two libraries claim a link', 'GNU_LINUX',
             {'lib/libquenza-core.so.1.3.0': b'newer', 'lib/libquenza-core.so.1': ('link', 'libquenza-core.so.1.3.0')},
             [], 'the launcher would make this link for each of'),
            ('file the launcher writes', 'GNU_LINUX', {'quenza_hostname.cfg': b'x'}, [],
             'quenza_hostname.cfg: the launcher writes this file itself'),
            ('absolute application path', 'GNU_LINUX', {}, ['--app', '/bin/sh'], 'an absolute path'),
            ('application outside the directory', 'GNU_LINUX', {}, ['--app', '../quenza-bo'], 'the path holds ".."'),
            ('application missing', 'GNU_LINUX', {}, ['--app', 'bin/quenza'], 'bin/quenza: the application is missing'),
            ('Windows device name', 'MS_WINDOWS', {'aux.txt': b'x'}, [], 'aux.txt: the name is a Windows device name'),
            ('Windows forbidden character', 'MS_WINDOWS', {'a:b.txt': b'x'}, [], 'a:b.txt: the name holds one of'),
            ('Windows trailing dot', 'MS_WINDOWS', {'notes.': b'x'}, [], 'notes.: the name ends in a dot'),
            ('Windows letter case', 'MS_WINDOWS', {'Data/A.txt': b'1', 'data/a.txt': b'2'}, [],
             'differs from Data/A.txt only in letter case'),
            ('Windows application name taken', 'MS_WINDOWS', {'Quenza-BO.EXE': b'x'}, [],
             'Quenza-BO.EXE: the application is installed under this name'),
            ('Windows link', 'MS_WINDOWS', {'lib/x.dll': ('link', 'y.dll'), 'lib/y.dll': b'y'}, [],
             'lib/x.dll: a link'),
        ]
        base_linux = {rel: data for rel, data in LINUX_TREE.items() if rel != 'cache'}
        base_windows = {'quenza-bo.exe': b'MZ app', 'quenza-core.dll': b'core'}
        for name, platform, extra, args, words in cases:
            with self.subTest(name):
                tree = self.tmp / name.replace(' ', '-')
                write_tree(tree, {**(base_linux if platform == 'GNU_LINUX' else base_windows), **extra})
                result = self.add(tree, 'r1', 'QUENZA_BO', platform, *args)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(words, result.stderr)
                self.assertFalse(self.site.exists(), 'a refused input changed the site')

    def test_switch(self):
        tree = self.linux_tree()
        self.assertEqual(self.add(tree, 'r1').returncode, 0)
        (tree / 'quenza-bo').write_bytes(b'\x7fELF the next application')
        self.assertEqual(self.add(tree, 'r2').returncode, 0)
        link = self.site / 'channels' / 'PROD'
        for release in ('r1', 'r2'):
            result = self.publish('switch', '--site', self.site, 'PROD', release)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(os.readlink(link), f'../releases/{release}')

        self.assertEqual(self.publish('switch', '--site', self.site, 'PROD', 'r9').returncode, 1)
        (tree / 'quenza-bo').write_bytes(b'\x7fELF a release whose file got lost')
        self.assertEqual(self.add(tree, 'r3').returncode, 0)
        os.unlink(self.site / 'content' / self.manifest('r3')['app']['uri'])
        lost = self.publish('switch', '--site', self.site, 'PROD', 'r3')
        self.assertEqual(lost.returncode, 1)
        self.assertIn('which is not in the content store', lost.stderr)
        self.assertEqual(os.readlink(link), '../releases/r2')

    def test_nginx_serves_each_channel_its_release(self):
        sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))
        import nginx_site

        linux = self.linux_tree('linux')
        windows = write_tree(self.tmp / 'windows', {'quenza-bo.exe': b'MZ app', 'plugins/q.dll': b'plugin'})
        for release, tree, platform in [('r1', linux, 'GNU_LINUX'), ('r1', windows, 'MS_WINDOWS'),
                                        ('r2', windows, 'MS_WINDOWS')]:
            if release == 'r2':
                (tree / 'quenza-bo.exe').write_bytes(b'MZ next app')
            self.assertEqual(self.add(tree, release, 'QUENZA_BO', platform).returncode, 0)
        self.publish('switch', '--site', self.site, 'DEMO', 'r1')
        self.publish('switch', '--site', self.site, 'PROD', 'r2')

        port = nginx_site.free_port()
        server = nginx_site.Nginx(self.tmp / 'nginx', self.site, ROOT / 'deploy' / 'loopback.deployment',
                                  listen=f'127.0.0.1:{port}', content_host='cdn.localhost')
        context = ssl.create_default_context(cafile=str(ROOT / 'build' / 'e2e-ca' / 'ca.pem'))
        context.check_hostname = False  # OpenSSL does not match *.localhost; the launcher does

        connections = []

        def connect(host):
            connection = http.client.HTTPSConnection(host, port, context=context)
            connection.sock = context.wrap_socket(socket.create_connection(('127.0.0.1', port)),
                                                  server_hostname=host)
            connections.append(connection)
            return connection

        def verify(connection, edition='QUENZA_BO', platform='GNU_LINUX', body=None):
            if body is None:
                body = json.dumps({'channel_host': connection.host, 'cpu_arch': 'X86_64', 'platform': platform,
                                   'product_slug': edition, 'stack_major': 6, 'stack_minor': 1, 'stack_patch': 0,
                                   'want_bundled': False}, separators=(',', ':'))
            connection.request('POST', '/ota/verify', body=body, headers={'Content-Type': 'application/json'})
            reply = connection.getresponse()
            return reply.status, reply.read(), reply

        def manifest_bytes(release, platform):
            return (self.site / 'releases' / release / 'QUENZA_BO' / f'{platform}.json').read_bytes()

        try:
            with server:
                demo = connect('ota-demo.localhost')
                status, body, reply = verify(demo)
                self.assertEqual((status, body), (200, manifest_bytes('r1', 'GNU_LINUX')))
                self.assertEqual(reply.getheader('Content-Type'), 'application/json')
                self.assertEqual(verify(demo, platform='MS_WINDOWS')[:2], (200, manifest_bytes('r1', 'MS_WINDOWS')))
                prod = connect('ota-prod.localhost')
                self.assertEqual(verify(prod, platform='MS_WINDOWS')[:2], (200, manifest_bytes('r2', 'MS_WINDOWS')))
                self.assertEqual(verify(prod)[0], 404)  # r2 has no Linux build
                self.assertEqual(verify(connect('ota-dev.localhost'), platform='MS_WINDOWS')[0], 404)  # no release
                # The verify script knows every edition and platform of the identity table.
                table = json.loads((ROOT / 'env' / 'identity.json').read_text(encoding='utf-8'))
                dev = connect('ota-dev.localhost')
                for edition in (e['raw'] for e in table['editions']):
                    for platform in (p['raw'] for p in table['platforms']):
                        self.assertEqual(verify(dev, edition, platform)[:2], (404, (
                            f'channel DEV serves no release of {edition} for {platform}\n').encode()))
                self.assertEqual(verify(demo, edition='QUENZA_MAN')[0], 404)
                self.assertEqual(verify(demo, edition='../../releases/r2/QUENZA_BO')[0], 400)
                self.assertEqual(verify(demo, body='{"product_slug": ')[0], 400)
                demo.request('GET', '/ota/verify')
                reply = demo.getresponse()
                reply.read()
                self.assertEqual(reply.status, 405)

                # Every file of the release over one kept-alive connection to the content host.
                cdn = connect('cdn.localhost')
                sock = cdn.sock
                manifest = json.loads(manifest_bytes('r1', 'GNU_LINUX'))
                for item in [manifest['app']] + manifest['deps']['entries']:
                    cdn.request('GET', f'/content/{item["uri"]}')
                    reply = cdn.getresponse()
                    self.assertEqual((reply.status, digest_text(reply.read())), (200, item['hash']))
                    self.assertEqual(reply.getheader('Keep-Alive'), 'timeout=300')
                self.assertIs(cdn.sock, sock)

                # The next request after a switch sees the new release, on the same connection.
                self.publish('switch', '--site', self.site, 'DEMO', 'r2')
                self.assertEqual(verify(demo, platform='MS_WINDOWS')[:2], (200, manifest_bytes('r2', 'MS_WINDOWS')))
        finally:
            for connection in connections:
                connection.close()
            log = server.error_log()
            self.assertNotIn('[emerg]', log)
            self.assertNotIn('[error]', log)


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--source-dir', required=True)
    known, rest = parser.parse_known_args()
    ROOT = pathlib.Path(known.source_dir).resolve()
    sys.argv[1:] = rest
    unittest.main()
