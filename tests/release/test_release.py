"""The release of a deployment, made as an operator makes it: scripts/release on two
fresh clones of one commit, in different directories, at different times and with a
different environment, gives byte-identical executables for both targets; the Windows
one is signed with a throw-away certificate made here and verifies against its CA,
changed by the signature in nothing the launcher reads; every named copy detects the
edition and channel its name stands for; both are hardened (scripts/check-executable),
the Windows one importing known DLLs only; and the signed Windows copy and the Linux copy
each install a release published with scripts/publish and served by nginx, the Windows
one with DLLs planted beside it, which it never loads.

    test_release.py --source-dir <root>

The working tree is what gets built: when it differs from its commit, a commit of it is
made (not on any branch) and cloned.
"""

import argparse
import hashlib
import importlib.machinery
import importlib.util
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = None  # set from --source-dir
PYTHON = '/usr/bin/python3'
SECURITY_DIRECTORY = 4  # data directory index of the certificate table


def git(*args, cwd, env=None):
    return subprocess.run(['git', *args], cwd=cwd, env=env, check=True, capture_output=True,
                          text=True).stdout.strip()


def commit_under_test(source):
    """HEAD when the working tree matches it, else a commit of the working tree (tracked
    and untracked files that are not ignored)."""
    if not git('status', '--porcelain', cwd=source):
        return git('rev-parse', 'HEAD', cwd=source)
    with tempfile.TemporaryDirectory() as d:
        env = dict(os.environ, GIT_INDEX_FILE=os.path.join(d, 'index'), GIT_AUTHOR_NAME='release test',
                   GIT_AUTHOR_EMAIL='test@quenza.example', GIT_COMMITTER_NAME='release test',
                   GIT_COMMITTER_EMAIL='test@quenza.example')
        git('read-tree', 'HEAD', cwd=source, env=env)
        git('add', '-A', cwd=source, env=env)
        tree = git('write-tree', cwd=source, env=env)
        return git('commit-tree', tree, '-p', 'HEAD', '-m', 'working tree under test', cwd=source, env=env)


def clone(source, commit, dest):
    dest.parent.mkdir(parents=True)
    git('clone', '--quiet', '--no-hardlinks', str(source), str(dest), cwd=dest.parent)
    git('checkout', '--quiet', '--detach', commit, cwd=dest)


def signing_identity(directory):
    """A throw-away CA and a code-signing certificate it issued, in a PKCS#12 file with a
    password: (CA file, PKCS#12 file, password)."""
    directory.mkdir()

    def openssl(*args):
        subprocess.run(['openssl', *args], cwd=directory, check=True, capture_output=True)

    openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-sha256', '-days', '2', '-subj',
            '/CN=Quenza Throw-away Signing CA', '-addext', 'basicConstraints=critical,CA:TRUE',
            '-addext', 'keyUsage=critical,keyCertSign', '-keyout', 'ca.key', '-out', 'ca.pem')
    openssl('req', '-newkey', 'rsa:2048', '-nodes', '-sha256', '-subj', '/CN=Quenza Test Publisher',
            '-keyout', 'sign.key', '-out', 'sign.csr')
    (directory / 'sign.ext').write_text('basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n'
                                        'extendedKeyUsage=codeSigning\n')
    openssl('x509', '-req', '-in', 'sign.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial', '-days', '2',
            '-sha256', '-extfile', 'sign.ext', '-out', 'sign.pem')
    password = 'throw-away ' + os.urandom(6).hex()
    subprocess.run(['openssl', 'pkcs12', '-export', '-inkey', 'sign.key', '-in', 'sign.pem', '-certfile', 'ca.pem',
                    '-passout', 'env:QUENZA_TEST_P12_PASSWORD', '-out', 'sign.p12'], cwd=directory, check=True,
                   capture_output=True, env=dict(os.environ, QUENZA_TEST_P12_PASSWORD=password))
    return directory / 'ca.pem', directory / 'sign.p12', password


def load_script(path):
    loader = importlib.machinery.SourceFileLoader(path.name.replace('-', '_'), str(path))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def pe_fields(data):
    """(time stamp, checksum offset, security directory entry offset) of a PE file."""
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    return struct.unpack_from('<I', data, pe + 8)[0], optional + 64, directories + 8 * SECURITY_DIRECTORY


def first_differences(a, b, count=5):
    offsets = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    return f'{len(offsets)} bytes differ (sizes {len(a)}, {len(b)}), first at {[hex(o) for o in offsets[:count]]}'


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix='quenza-release-')
        tmp = pathlib.Path(cls._tmp.name)
        cls.tmp = tmp
        cls.commit = commit_under_test(ROOT)
        cls.a = tmp / 'a' / 'quenza'
        cls.b = tmp / 'second' / 'clone-of-the-same-commit' / 'q'
        clone(ROOT, cls.commit, cls.a)
        cls.signing_ca, cls.p12, cls.password = signing_identity(tmp / 'signing')
        cls.deployment = ROOT / 'deploy' / 'loopback.deployment'

        def make_release(clone_dir, extra, env):
            subprocess.run(cls.release_command(clone_dir, extra), cwd=clone_dir, env=env, check=True)
            return clone_dir / 'build' / 'release'

        env = {k: v for k, v in os.environ.items() if k != 'SOURCE_DATE_EPOCH'}
        cls.a_out = make_release(cls.a, ['--pkcs12', str(cls.p12), '--ca-file', str(cls.signing_ca)],
                                 dict(env, QUENZA_SIGN_PASSWORD=cls.password))
        # The second build: another place, later, in another time zone and locale, with
        # another file-creation mask.
        clone(ROOT, cls.commit, cls.b)
        umask = os.umask(0o027)
        try:
            cls.b_out = make_release(cls.b, [], dict(env, TZ='Pacific/Kiritimati', LC_ALL='C', LANG='C'))
        finally:
            os.umask(umask)
        for preset in ('release-linux-x64', 'release-windows-x64'):
            subprocess.run(['cmake', '--build', str(cls.a / 'build' / preset), '--target', 'quenza-sample-app'],
                           check=True, stdout=subprocess.DEVNULL)
        cls.release_script = load_script(cls.a / 'scripts' / 'release')

    @classmethod
    def release_command(cls, clone_dir, extra):
        # The default output directory, in build/: the clone stays clean for the next run.
        return [PYTHON, str(clone_dir / 'scripts' / 'release'), '--deployment', str(cls.deployment), *extra]

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_builds_of_one_commit_are_identical(self):
        epoch = int(git('log', '-1', '--format=%ct', self.commit, cwd=ROOT))
        deps_cache = os.environ.get('QUENZA_DEPS_CACHE') or os.path.join(
            os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache'), 'quenza-deps')
        for name in ('quenza-installer.exe', 'quenza-installer'):
            with self.subTest(name):
                a = (self.a_out / 'unsigned' / name).read_bytes()
                b = (self.b_out / 'unsigned' / name).read_bytes()
                self.assertTrue(a == b, first_differences(a, b))
                for path in (self.a, self.b, ROOT, deps_cache):
                    self.assertNotIn(str(path).encode(), a, f'{name} holds the build path {path}')
                if name.endswith('.exe'):
                    self.assertEqual(pe_fields(a)[0], epoch, 'the PE time stamp is not the commit\'s time')
        # Built under the umask 027, the release is still readable by everyone.
        for path in [self.b_out, *self.b_out.rglob('*')]:
            executable = path.is_dir() or path.parent.name in ('windows', 'linux', 'unsigned')
            self.assertEqual(path.stat().st_mode & 0o777, 0o755 if executable else 0o644, path)
        # The release keeps what a rebuild needs besides the commit: the deployment's
        # values and its root bundle, together.
        sys.path.insert(0, str(ROOT / 'scripts'))
        from kit.deployment import read_deployment
        kept, original = read_deployment(self.a_out / 'deployment' / self.deployment.name), \
            read_deployment(self.deployment)
        self.assertEqual({k: v for k, v in kept.items() if k != 'CA_BUNDLE'},
                         {k: v for k, v in original.items() if k != 'CA_BUNDLE'})
        self.assertEqual(pathlib.Path(kept['CA_BUNDLE']).read_bytes(), pathlib.Path(original['CA_BUNDLE']).read_bytes())

    def test_failed_release_keeps_the_previous_one(self):
        # (case, password, extra arguments, words of the signing tool's own output)
        cases = [('wrong password', 'not the password', ['--ca-file', str(self.signing_ca)], 'Wrong password?'),
                 ('private CA checked against the system roots', self.password, [],
                  'self-signed certificate in certificate chain')]
        before = {p: p.read_bytes() for p in self.a_out.rglob('*') if p.is_file()}
        for name, password, extra, words in cases:
            with self.subTest(name):
                command = self.release_command(self.a, ['--targets', 'windows', '--pkcs12', str(self.p12), *extra])
                result = subprocess.run(command, cwd=self.a, capture_output=True, text=True,
                                        env=dict(os.environ, QUENZA_SIGN_PASSWORD=password))
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(words, result.stderr)
                if not extra:
                    self.assertIn('--ca-file', result.stderr)
                self.assertEqual({p: p.read_bytes() for p in self.a_out.rglob('*') if p.is_file()}, before)
                self.assertEqual([p.name for p in self.a_out.parent.iterdir() if p.name.startswith('.release')], [])

    def test_signature_changes_nothing_the_launcher_reads(self):
        unsigned = (self.a_out / 'unsigned' / 'quenza-installer.exe').read_bytes()
        signed_file = self.a_out / 'windows' / 'Quenza-FrontOffice.exe'
        signed = signed_file.read_bytes()
        result = subprocess.run(['osslsigncode', 'verify', '-CAfile', str(self.signing_ca), '-in', str(signed_file)],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn('Signature verification: ok', result.stdout)
        self.assertIn('Message digest algorithm  : SHA256', result.stdout)
        # osslsigncode prints the stored and the computed PE checksum (one line when equal).
        for data_file in (signed_file, self.a_out / 'unsigned' / 'quenza-installer.exe'):
            check = subprocess.run(['osslsigncode', 'verify', '-in', str(data_file)], capture_output=True, text=True)
            sums = re.findall(r'PE checksum\s*:\s*([0-9A-F]{8})', check.stdout + check.stderr)
            self.assertTrue(sums and len(set(sums)) == 1, f'{data_file.name}: {sums}')

        # Only the checksum and the certificate table's entry change; the table itself
        # follows the image, padded to 8 bytes.
        _, checksum_at, security_at = pe_fields(signed)
        table_at, table_size = struct.unpack_from('<II', signed, security_at)
        self.assertGreaterEqual(table_at, len(unsigned))
        self.assertEqual(table_at + table_size, len(signed))
        masked = bytearray(signed[:len(unsigned)])
        original = bytearray(unsigned)
        for at, size in ((checksum_at, 4), (security_at, 8)):
            masked[at:at + size] = original[at:at + size] = b'\0' * size
        self.assertTrue(masked == original, first_differences(masked, original))
        self.assertEqual(signed[len(unsigned):table_at], b'\0' * (table_at - len(unsigned)))

    def test_executables_are_hardened(self):
        files = [self.a_out / 'unsigned' / 'quenza-installer.exe', self.a_out / 'windows' / 'Quenza-FrontOffice.exe',
                 self.a_out / 'unsigned' / 'quenza-installer']
        result = subprocess.run([PYTHON, str(ROOT / 'scripts' / 'check-executable'), *map(str, files)],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_named_copies(self):
        copies = self.release_script.COPIES
        self.assertEqual(sorted((e, c) for e, c, _ in copies),
                         sorted((e, c) for e in identity.EDITIONS for c in identity.CHANNELS))
        sums = {}
        for line in (self.a_out / 'SHA256SUMS').read_text(encoding='utf-8').splitlines():
            digest, name = line.split('  ', 1)
            sums[name] = digest
        for target in ('windows', 'linux'):
            directory = self.a_out / target
            names = sorted(p.name for p in directory.iterdir())
            self.assertEqual(names, sorted(self.release_script.copy_name(target, stem) for _, _, stem in copies))
            with harness.Session(self.target(directory, target == 'windows')) as session:
                for edition, channel, stem in copies:
                    name = self.release_script.copy_name(target, stem)
                    with self.subTest(target=target, name=name):
                        data = (directory / name).read_bytes()
                        self.assertEqual(sums.get(f'{target}/{name}'), hashlib.sha256(data).hexdigest())
                        # No server: the run stops at the verify request, after detection.
                        session.which = pathlib.Path(name).stem
                        result = session.run(None, name)
                        lines = ' '.join(result.stdout[:3]) + ' '
                        self.assertIn(f'App Slug: raw={edition} ', lines)
                        self.assertIn(f'Env Channel: raw={channel} ', lines)

    def test_release_copies_install_a_published_release(self):
        site = self.tmp / 'site'
        publish = [PYTHON, str(ROOT / 'scripts' / 'publish')]
        builds = {}
        for target_name, platform in (('linux', 'GNU_LINUX'), ('windows', 'MS_WINDOWS')):
            build = release.make(launcher.Target(self.a / 'build' / f'release-{target_name}-x64', ROOT),
                                 self.tmp / f'sample-{target_name}')
            app_name = matrix.app_file('QUENZA_BO', platform == 'MS_WINDOWS')
            tree = self.tmp / f'files-{target_name}'
            build.write_tree(tree, app_name)
            subprocess.run(publish + ['add', '--site', str(site), '--cdn', 'https://cdn.localhost/content',
                                      '--edition', 'QUENZA_BO', '--platform', platform, '--code', release.CODE,
                                      '--tag', release.TAG, str(tree)], check=True, stdout=subprocess.DEVNULL)
            builds[target_name] = build
        subprocess.run(publish + ['switch', '--site', str(site), 'DEMO', release.TAG], check=True,
                       stdout=subprocess.DEVNULL)
        server = nginx_site.Nginx(self.tmp / 'nginx', site, ROOT / 'deploy' / 'loopback.deployment',
                                  content_host='cdn.localhost')

        for target_name, build in builds.items():
            windows = target_name == 'windows'
            stem = 'Quenza-BackOffice-Demo'
            name = self.release_script.copy_name(target_name, stem)
            with self.subTest(target_name), harness.Session(self.target(self.a_out / target_name, windows),
                                                            which=pathlib.Path(name).stem) as s:
                env = None
                if windows:
                    planted_dlls.plant(s.bin_dir)
                    env = {'WINEDLLOVERRIDES': planted_dlls.OVERRIDES}
                result = s.run(None, name, service=server.command, wait_children=True, env=env)
                if windows:
                    self.assertEqual(planted_dlls.loaded(s.bin_dir), [], 'planted DLLs were loaded')
                self.assertEqual(result.exit_code, 0, '\n'.join(result.stdout + result.stderr))
                ctx = matrix.Context(s.target, s, 'QUENZA_BO', 'DEMO')
                self.assertEqual((ctx.new / ctx.app).read_bytes(), build.app.data)
                for dep in build.deps:
                    self.assertEqual((ctx.new / dep.path).read_bytes(), dep.data, dep.path)
                record = ctx.new / release.RECORD_NAME
                deadline = time.monotonic() + 30
                while not record.exists() and time.monotonic() < deadline:
                    time.sleep(0.1)
                pairs = release.read_record(record)
                self.assertIsNotNone(pairs, 'the application did not start')
                self.assertIn(('arg', '--installer=' + launcher_path(s, name, windows)), pairs)

    def target(self, directory, windows):
        """A launcher.Target whose executables are the release's named copies."""
        target = launcher.Target(directory, ROOT)
        target.windows = windows
        target.name = 'windows' if windows else 'linux'
        target.exe_suffix = '.exe' if windows else ''
        # The prefix of the Windows test build when there is one (copied per session),
        # else one made on first use.
        built = ROOT / 'build' / 'windows-x64' / 'wine'
        target.wine_prefix = built if (built / 'system.reg').exists() else self.tmp / 'wine'
        return target


def launcher_path(session, name, windows):
    """The launcher's own path as it sees it (Wine shows the host path on drive Z:)."""
    path = session.bin_dir / name
    return 'Z:' + str(path).replace('/', '\\') if windows else str(path)


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--source-dir', required=True)
    known, rest = parser.parse_known_args()
    ROOT = pathlib.Path(known.source_dir).resolve()
    sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))
    sys.path.append(str(ROOT / 'scripts'))
    import harness  # noqa: E402
    import launcher  # noqa: E402
    import matrix  # noqa: E402
    import nginx_site  # noqa: E402
    import planted_dlls  # noqa: E402
    import release  # noqa: E402
    from kit import identity  # noqa: E402
    sys.argv[1:] = rest
    unittest.main()
