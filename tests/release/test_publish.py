"""The operator's kit: scripts/publish turns a directory into a release (content store,
manifest), refuses what the launcher could not install, never changes what an older
manifest points to, switches channels, and its nginx site serves each channel's
manifest and the content store.

    test_publish.py --source-dir <root>
"""

import argparse
import base64
import contextlib
import fcntl
import hashlib
import http.client
import io
import json
import os
import pathlib
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = None  # set from --source-dir
PYTHON = '/usr/bin/python3'
CDN = 'https://cdn.localhost/content'


def digest_text(data):
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).decode('ascii').rstrip('=')


def write_tree(root, layout):
    """layout: relative path -> bytes (a file), ('link', target), 'dir' (an empty
    directory), 'fifo', 'noread' (a file no one may read) or 'noread-dir' (such a
    directory)."""
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
        elif what in ('noread', 'noread-dir'):
            if what == 'noread':
                path.write_bytes(b'secret')
            else:
                path.mkdir()
                (path / 'inside').write_bytes(b'x')
            path.chmod(0)
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


@contextlib.contextmanager
def held_lock(path, kind=fcntl.LOCK_EX):
    """Holds one of the site's locks, as a command of the kit running meanwhile would."""
    with open(path, 'a') as f:
        fcntl.flock(f, kind)
        yield


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

    def publish(self, *args, umask=None, as_nobody=False):
        # Permissions mean nothing to root: the unreadable inputs are read as nobody.
        user = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] if as_nobody and os.geteuid() == 0 \
            else []
        return subprocess.run([*user, PYTHON, str(ROOT / 'scripts' / 'publish'), *map(str, args)],
                              capture_output=True, text=True, preexec_fn=umask and (lambda: os.umask(umask)))

    def add(self, tree, release='r1', edition='QUENZA_BO', platform='GNU_LINUX', *extra, **options):
        return self.publish('add', '--site', self.site, '--cdn', CDN, '--edition', edition, '--platform', platform,
                            '--code', 'build-7', '--tag', 'v7', '--release', release, *extra, tree, **options)

    def start(self, *args):
        """A publish command running in the background: (process, its stdout file, its stderr file)."""
        out, err = tempfile.mktemp(dir=self.tmp), tempfile.mktemp(dir=self.tmp)
        with open(out, 'w') as o, open(err, 'w') as e:
            process = subprocess.Popen([PYTHON, str(ROOT / 'scripts' / 'publish'), *map(str, args)], stdout=o,
                                       stderr=e)
        return process, pathlib.Path(out), pathlib.Path(err)

    def wait_until_blocked(self, started):
        """Waits until a background command says it waits for a lock."""
        deadline = time.monotonic() + 60
        while 'waiting for another command' not in started[2].read_text():
            self.assertIsNone(started[0].poll(), started[2].read_text())
            self.assertLess(time.monotonic(), deadline, 'the command never reached the lock')
            time.sleep(0.05)

    def finish(self, started):
        code = started[0].wait(timeout=60)
        return subprocess.CompletedProcess(started[0].args, code, started[1].read_text(), started[2].read_text())

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
        result = self.add(self.linux_tree(), umask=0o077)
        self.assertEqual(result.returncode, 0, result.stderr)
        # nginx's user reads the site, whatever the publisher's umask.
        for path in [self.site, *self.site.rglob('*')]:
            if not path.name.startswith('.') and not path.is_symlink():
                self.assertEqual(path.stat().st_mode & 0o777, 0o755 if path.is_dir() else 0o644, path)
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

        # Two adds of different trees under one new name at the same moment: both have
        # read their trees and wait at their last step (the test holds its lock); one
        # writes the manifest, the other finds it and is refused.
        other = write_tree(self.tmp / 'other', {'quenza-bo': b'\x7fELF another application'})
        with held_lock(self.site / '.switch.lock'):
            racers = [self.start('add', '--site', self.site, '--cdn', CDN, '--edition', 'QUENZA_BO', '--platform',
                                 'GNU_LINUX', '--code', 'c', '--tag', 't', '--release', 'r3', source)
                      for source in (tree, other)]
            for racer in racers:
                self.wait_until_blocked(racer)
        results = [self.finish(racer) for racer in racers]
        self.assertEqual(sorted(r.returncode for r in results), [0, 1], [r.stderr for r in results])
        winner = [source for source, r in zip((tree, other), results) if r.returncode == 0][0]
        self.assertIn('already holds a different manifest', [r for r in results if r.returncode][0].stderr)
        self.assertEqual(self.stored(self.manifest('r3')['app']['uri']), (winner / 'quenza-bo').read_bytes())

    def test_a_file_swapped_after_the_scan_is_never_read(self):
        sys.path.insert(0, str(ROOT / 'scripts'))
        from kit.input_tree import copy_input, read_input
        from kit.names import Refused
        rel = 'share/quenza/translations/quenza_fr.qm'
        outside = write_tree(self.tmp / 'outside', {'passwd': b'root:x:0:0', 'translations/quenza_fr.qm': b'fr'})

        def to_link(path):
            path.unlink()
            path.symlink_to(outside / 'passwd')

        def to_other_file(path):
            path.with_name('new').write_bytes(path.read_bytes())
            os.replace(path.with_name('new'), path)

        def to_fifo(path):
            path.unlink()
            os.mkfifo(path)

        def parent_to_link(path):
            shutil.rmtree(path.parent)
            path.parent.symlink_to(outside / 'translations')

        cases = [('a link', to_link, 'cannot be opened'), ('another file', to_other_file, 'no longer the regular file'),
                 ('a fifo', to_fifo, 'no longer the regular file'),
                 ('its directory a link', parent_to_link, 'no longer the regular file')]
        for name, swap, words in cases:
            with self.subTest(name):
                tree = self.linux_tree(name.replace(' ', '-'))
                with contextlib.redirect_stderr(io.StringIO()):  # the tree's notes
                    _, deps = read_input(str(tree), 'QUENZA_BO', 'GNU_LINUX', None)
                full, scanned = deps[rel]
                swap(pathlib.Path(full))
                out = io.BytesIO()
                with self.assertRaises(Refused) as refused:
                    copy_input(rel, full, scanned, out)
                self.assertIn(words, str(refused.exception))
                self.assertEqual(out.getvalue(), b'')

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
            ('line separator', 'GNU_LINUX', {'share/a\u2028b': b'x'}, [],
             'share/a\\u2028b: the name holds a control character or a line separator'),
            ('C1 control', 'GNU_LINUX', {'share/a\x9bb': b'x'}, [], 'share/a\\x9bb: the name holds a control'),
            ('Windows device name with a superscript digit', 'MS_WINDOWS', {'lib/COM\u00b9.dll': b'x'}, [],
             'lib/COM\u00b9.dll: the name is a Windows device name'),
            ('Windows console name', 'MS_WINDOWS', {'conout$': b'x'}, [], 'conout$: the name is a Windows device name'),
            ('release name ending in a line feed', 'GNU_LINUX', {}, ['--release', 'r1\n'], "release name 'r1\\n'"),
            ('cdn in clear text', 'GNU_LINUX', {}, ['--cdn', 'http://cdn.localhost/content'], 'give an https:// URL'),
            ('cdn not the content store', 'GNU_LINUX', {}, ['--cdn', 'https://cdn.localhost/content/'],
             'ends in /content'),
            ('unreadable file', 'GNU_LINUX', {'share/secret': 'noread'}, [],
             'share/secret: the file cannot be read'),
            ('unreadable directory', 'GNU_LINUX', {'share/locked': 'noread-dir'}, [],
             'share/locked: the directory cannot be read'),
            ('every problem in one run', 'GNU_LINUX', {'share/a\nb': b'x', 'share/pipe': 'fifo'},
             ['--release', '../r1', '--cdn', 'https://cdn.localhost/'],
             ("release name '../r1'", "--cdn 'https://cdn.localhost/'", 'share/a\\nb', 'share/pipe')),
        ]
        base_linux = {rel: data for rel, data in LINUX_TREE.items() if rel != 'cache'}
        base_windows = {'quenza-bo.exe': b'MZ app', 'quenza-core.dll': b'core'}
        self.tmp.chmod(0o755)  # for the cases read as another user
        for name, platform, extra, args, words in cases:
            with self.subTest(name):
                tree = self.tmp / name.replace(' ', '-')
                write_tree(tree, {**(base_linux if platform == 'GNU_LINUX' else base_windows), **extra})
                result = self.add(tree, 'r1', 'QUENZA_BO', platform, *args, as_nobody='unreadable' in name)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                for text in (words,) if isinstance(words, str) else words:
                    self.assertIn(text, result.stderr)
                self.assertNotIn('Traceback', result.stderr)
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
        # Adding to a served release changes what launchers get at once: only on purpose.
        windows = write_tree(self.tmp / 'windows', {'quenza-bo.exe': b'MZ app'})
        refused = self.add(windows, 'r2', 'QUENZA_BO', 'MS_WINDOWS')
        self.assertEqual(refused.returncode, 1)
        self.assertIn('release r2 is served by PROD', refused.stderr)
        self.assertFalse((self.site / 'releases' / 'r2' / 'QUENZA_BO' / 'MS_WINDOWS.json').exists())
        live = self.add(windows, 'r2', 'QUENZA_BO', 'MS_WINDOWS', '--live')
        self.assertEqual(live.returncode, 0, live.stderr)
        self.assertIn('served at once (--live)', live.stdout)
        (tree / 'quenza-bo').write_bytes(b'\x7fELF a release whose file got lost')
        self.assertEqual(self.add(tree, 'r3').returncode, 0)
        os.unlink(self.site / 'content' / self.manifest('r3')['app']['uri'])
        lost = self.publish('switch', '--site', self.site, 'PROD', 'r3')
        self.assertEqual(lost.returncode, 1)
        self.assertIn('which is not in the content store', lost.stderr)
        self.assertEqual(os.readlink(link), '../releases/r2')

    def small_site(self, releases=('r1', 'r2', 'r3')):
        """Releases of the Linux tree, each with its own application and the other files
        shared; PROD switched to the first, then to the second."""
        tree = self.linux_tree()
        for release in releases:
            (tree / 'quenza-bo').write_bytes(b'\x7fELF application of ' + release.encode())
            self.assertEqual(self.add(tree, release).returncode, 0)
        for release in releases[:2]:
            self.assertEqual(self.publish('switch', '--site', self.site, 'PROD', release).returncode, 0)

    def app_file(self, release):
        return self.site / 'content' / self.manifest(release)['app']['uri']

    def test_status(self):
        self.small_site()
        shared = self.site / 'content' / self.manifest('r1')['deps']['entries'][0]['uri']
        self.app_file('r1').unlink()
        orphan = b'named by no manifest'
        write_tree(self.site / 'content' / 'sha256' / hashlib.sha256(orphan).hexdigest()[:2],
                   {hashlib.sha256(orphan).hexdigest(): orphan})

        result = self.publish('status', '--site', self.site, '--json')
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        self.assertEqual({c: v['release'] for c, v in report['channels'].items()}, {'PROD': 'r2', 'DEMO': None,
                                                                                    'DEV': None})
        self.assertEqual(report['channels']['PROD']['switched_from'], 'history')
        releases = {r['name']: r for r in report['releases']}
        self.assertEqual([r['name'] for r in report['releases']], ['r3', 'r2', 'r1'])
        self.assertEqual((releases['r2']['served_by'], releases['r2']['complete']), (['PROD'], True))
        self.assertEqual((releases['r1']['served_by'], releases['r1']['complete']), ([], False))
        self.assertIsNotNone(releases['r1']['last_served'])
        self.assertIsNone(releases['r3']['last_served'])
        r2 = releases['r2']['manifests'][0]
        m = self.manifest('r2')
        self.assertEqual((r2['edition'], r2['platform'], r2['files'], r2['bytes'], r2['missing']),
                         ('QUENZA_BO', 'GNU_LINUX', 1 + len(m['deps']['entries']),
                          m['app']['size'] + sum(e['size'] for e in m['deps']['entries']), 0))
        self.assertEqual(releases['r1']['manifests'][0]['missing'], 1)
        stored = [p for p in (self.site / 'content').rglob('*') if p.is_file()]
        self.assertIn(shared, stored)
        self.assertEqual(report['store'], {'files': len(stored), 'bytes': sum(p.stat().st_size for p in stored),
                                           'unreferenced_files': 1, 'unreferenced_bytes': len(orphan)})

        text = self.publish('status', '--site', self.site).stdout
        for words in ('PROD  r2, switched ', 'DEV   nothing (its verify requests answer 404',
                      'r1: published ', 'not served (last served until ', 'INCOMPLETE', '1 MISSING from the store',
                      'named by no manifest: 1 files, 20 bytes'):
            self.assertIn(words, text)

    def test_verify(self):
        self.small_site()
        clean = self.publish('verify', '--site', self.site)
        self.assertEqual(clean.returncode, 0, clean.stdout + clean.stderr)
        self.assertIn('verify: no problem in ', clean.stdout)

        damaged = self.app_file('r2')
        damaged.write_bytes(damaged.read_bytes()[:-1] + b'!')
        self.app_file('r3').unlink()
        os.symlink('../releases/gone', self.site / 'channels' / 'DEV')
        (self.site / 'releases' / 'r1' / 'QUENZA_BO' / 'MS_WINDOWS.json').write_text('{"code": ')
        result = self.publish('verify', '--site', self.site)
        self.assertEqual(result.returncode, 1, result.stdout)
        for words in (f'content/{damaged.relative_to(self.site / "content")}: DAMAGED',
                      f'{self.manifest("r3")["app"]["uri"]} is not in the content store',
                      'channel DEV: ', 'points at release gone, which does not exist',
                      'MS_WINDOWS.json: not JSON', 'verify: 4 problems in '):
            self.assertIn(words, result.stdout)

    def test_prune(self):
        self.small_site(('r1', 'r2', 'r3', 'r4'))
        shared = self.site / 'content' / self.manifest('r1')['deps']['entries'][0]['uri']
        apps = {release: self.app_file(release) for release in ('r1', 'r2', 'r3', 'r4')}
        (self.site / '.incoming-interrupted').mkdir()
        before = snapshot(self.site)

        dry = self.publish('prune', '--site', self.site, '--keep', '1', '--dry-run')
        self.assertEqual(dry.returncode, 0, dry.stderr)
        for words in ('keep r2: served by PROD', 'keep r4: one of the 1 most recent releases no channel serves',
                      'keep r1: served until ', 'within the grace period of 24 h', 'would remove release r3',
                      f'would remove content/{apps["r3"].relative_to(self.site / "content")}',
                      'would remove 1 release and 1 content file'):
            self.assertIn(words, dry.stdout)
        self.assertEqual(snapshot(self.site), before)

        # During the grace period the release PROD served until its switch stays.
        grace = self.publish('prune', '--site', self.site, '--keep', '0')
        self.assertEqual(grace.returncode, 0, grace.stderr)
        self.assertEqual(sorted(p.name for p in (self.site / 'releases').iterdir()), ['r1', 'r2'])
        self.assertEqual([p.exists() for p in apps.values()], [True, True, False, False])
        self.assertTrue(shared.exists())
        self.assertFalse((self.site / '.incoming-interrupted').exists())

        # A prune that would remove r1 while a switch to r1 runs: the switch holds the
        # site's lock, prune waits for it and then sees PROD on r1.
        with held_lock(self.site / '.switch.lock'):
            switching = self.start('switch', '--site', self.site, 'PROD', 'r1')
            self.wait_until_blocked(switching)
            pruning = self.start('prune', '--site', self.site, '--keep', '0', '--grace', '0')
            self.wait_until_blocked(pruning)
        self.assertEqual(self.finish(switching).returncode, 0)
        pruned = self.finish(pruning)
        self.assertEqual(pruned.returncode, 0, pruned.stderr)
        self.assertIn('keep r1: served by PROD', pruned.stdout)
        self.assertEqual(sorted(p.name for p in (self.site / 'releases').iterdir()), ['r1'])
        self.assertEqual([p.exists() for p in apps.values()], [True, False, False, False])
        self.assertEqual(self.publish('verify', '--site', self.site).returncode, 0)

        # Without a record of its switches, a channel's link tells when it last changed,
        # and any release may have been served until then.
        (self.site / 'switches.log').unlink()
        (self.tmp / 'in' / 'quenza-bo').write_bytes(b'\x7fELF application of r5')
        self.assertEqual(self.add(self.tmp / 'in', 'r5').returncode, 0)
        kept = self.publish('prune', '--site', self.site, '--keep', '0')
        self.assertIn('keep r5: a channel was switched at ', kept.stdout)
        day_ago = time.time() - 25 * 3600
        os.utime(self.site / 'channels' / 'PROD', (day_ago, day_ago), follow_symlinks=False)
        gone = self.publish('prune', '--site', self.site, '--keep', '0')
        self.assertIn('remove release r5', gone.stdout)
        self.assertEqual(sorted(p.name for p in (self.site / 'releases').iterdir()), ['r1'])

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

        # Every manifest's cdn host must be one this nginx serves.
        unserved = self.publish('nginx-config', '--site', self.site, '--deployment',
                                ROOT / 'deploy' / 'loopback.deployment', '--certificate', 'c.pem', '--key', 'k.pem',
                                '--output', self.tmp / 'refused.conf')
        self.assertEqual(unserved.returncode, 1)
        self.assertIn('its cdn host "cdn.localhost" is not served here', unserved.stderr)
        both = self.publish('nginx-config', '--site', self.site, '--deployment',
                            ROOT / 'deploy' / 'loopback.deployment', '--certificate', 'c.pem', '--key', 'k.pem',
                            '--content-host', 'cdn.localhost', '--listen', '443', '--listen', '[::]:443',
                            '--output', self.tmp / 'both.conf')
        self.assertEqual(both.returncode, 0, both.stderr)
        listen = '    listen 443 ssl;\n    listen [::]:443 ssl;\n'
        self.assertEqual((self.tmp / 'both.conf').read_text().count(listen), 4)  # 3 OTA hosts, 1 content host

        port = nginx_site.free_port()
        server = nginx_site.Nginx(self.tmp / 'nginx', self.site, ROOT / 'deploy' / 'loopback.deployment',
                                  listen=f'127.0.0.1:{port}', content_host='cdn.localhost')
        # The verify script is imported from beside the configuration, not from the checkout.
        script = server.dir / 'quenza-site_ota.js'
        self.assertIn(f'js_import quenza_ota from {script};', (server.dir / 'quenza-site.conf').read_text())
        self.assertEqual(script.read_bytes(), (ROOT / 'deploy' / 'nginx' / 'quenza_ota.js').read_bytes())
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
                # The server's order of ciphers decides: a client offering ChaCha20 first, as
                # the launcher's TLS library does, gets AES-GCM, which it decrypts faster.
                chacha_first = ssl.create_default_context(cafile=str(ROOT / 'build' / 'e2e-ca' / 'ca.pem'))
                chacha_first.check_hostname = False
                chacha_first.maximum_version = ssl.TLSVersion.TLSv1_2
                chacha_first.set_ciphers('ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384')
                with chacha_first.wrap_socket(socket.create_connection(('127.0.0.1', port)),
                                              server_hostname='cdn.localhost') as tls:
                    self.assertEqual(tls.cipher()[0], 'ECDHE-RSA-AES256-GCM-SHA384')
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
