"""The launcher's file name picks edition and channel: run the real loopback launcher
under several names and compare the detection lines it writes before anything else.

The run goes on past detection and fails later (no server answers, no window); only
the detection lines and the first state change are checked here.
"""

import importlib.machinery
import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys
import unittest

import launcher

TARGET = None

# File name -> (edition raw, edition pretty, channel raw, channel pretty, application
# base name, OTA host). The same names are used on both targets: ".exe" stays part of
# the executable name and matches no keyword.
CASES = {
    'Quenza-Demo-BackOffice.exe': ('QUENZA_BO', 'Quenza Back-Office', 'DEMO', 'démonstration',
                                   'quenza-bo', 'ota-demo.localhost'),
    'quenza-bo.exe': ('QUENZA_BO', 'Quenza Back-Office', 'PROD', 'production',
                      'quenza-bo', 'ota-prod.localhost'),
    'QuenzaManager-dev.exe': ('QUENZA_MAN', 'Quenza Manager', 'DEV', 'développement',
                              'quenzaman', 'ota-dev.localhost'),
    'MYQUENZA_DEMO.EXE': ('QUENZA_APP', 'myQuenza', 'DEMO', 'démonstration',
                          'quenza', 'ota-demo.localhost'),
    'setup.exe': ('QUENZA_PMS', 'Quenza Front-Office', 'PROD', 'production',
                  'quenza-pms', 'ota-prod.localhost'),
    'ebook-demo-dev.exe': ('QUENZA_BO', 'Quenza Back-Office', 'DEMO', 'démonstration',
                           'quenza-bo', 'ota-demo.localhost'),
}

STACK_LINE = re.compile(r'Stack Version: raw=(\d+)\.(\d+)\.(\d+) major=(\d+) minor=(\d+) patch=(\d+)')


def linux_stack_version():
    """major.minor.patch from the kernel release, missing numbers as 0."""
    match = re.match(r'(\d+)(?:\.(\d+))?(?:\.(\d+))?', os.uname().release)
    if not match:
        return ''
    return '.'.join(str(int(part or 0)) for part in match.groups())


def wine_stack_version(prefix):
    """The version the Wine prefix reports, read from its registry; None if not found."""
    try:
        text = (prefix / 'system.reg').read_text(encoding='utf-8', errors='replace')
    except OSError:
        return None
    start = text.find('[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion]')
    if start < 0:
        return None
    end = text.find('\n[', start + 1)
    section = text[start:end if end >= 0 else len(text)]

    def value(name):
        found = re.search(r'^"%s"=(?:"([^"]*)"|dword:([0-9a-fA-F]{8}))' % name, section, re.M)
        if not found:
            return None
        return found.group(1) if found.group(1) is not None else str(int(found.group(2), 16))

    build = value('CurrentBuildNumber')
    major, minor = value('CurrentMajorVersionNumber'), value('CurrentMinorVersionNumber')
    if major is None or minor is None:
        current = value('CurrentVersion')
        if current is None or '.' not in current:
            return None
        major, minor = current.split('.', 1)
    if build is None:
        return None
    return '%d.%d.%d' % (int(major), int(minor), int(build))


class IdentityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = launcher.temp_dir('quenza-identity-')
        cls.root = pathlib.Path(cls.work.name)
        if TARGET.windows:
            cls.expected_stack = None  # known only after the first run created the prefix
            cls.os_line = 'OS Type: raw=MS_WINDOWS pretty=Windows'
        else:
            cls.expected_stack = linux_stack_version()
            cls.os_line = 'OS Type: raw=GNU_LINUX pretty=Linux'

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def run_as(self, file_name, relative=False):
        directory = self.root / 'bin' / file_name.replace('.', '_')
        program = launcher.copy_launcher(TARGET, directory, file_name)
        home = self.root / 'home'
        home.mkdir(exist_ok=True)
        if relative:
            return TARGET.run('./' + file_name, home=home, cwd=directory)
        return TARGET.run(program, home=home)

    def expected_stack_version(self):
        if TARGET.windows:
            return wine_stack_version(TARGET.wine_prefix)
        return self.expected_stack

    def check_detection(self, file_name, result):
        slug_raw, slug_pretty, channel_raw, channel_pretty, app_base, ota = CASES[file_name]
        app = app_base + TARGET.exe_suffix
        out = result.stdout
        self.assertGreaterEqual(len(out), 9, 'stdout: %r\nstderr: %r' % (out, result.stderr))
        expected = [
            'Executable name: ' + file_name,
            'App Slug: raw=%s pretty=%s' % (slug_raw, slug_pretty),
            'Env Channel: raw=%s pretty=%s' % (channel_raw, channel_pretty),
            self.os_line,
            'CPU Arch: raw=X86_64 pretty=x86_64',
            None,
            'App filename: ' + app,
            'OTA hostname: ' + ota,
        ]
        for index, line in enumerate(expected):
            if line is not None:
                self.assertEqual(out[index], line, 'line %d of %r' % (index, out))

        stack = STACK_LINE.fullmatch(out[5])
        self.assertIsNotNone(stack, out[5])
        raw = stack.group(1, 2, 3)
        self.assertEqual(stack.group(4, 5, 6), tuple(str(int(n)) for n in raw))
        self.assertEqual(raw, tuple(str(int(n)) for n in raw), 'leading zeros in ' + out[5])
        expected_stack = self.expected_stack_version()
        if expected_stack is not None:
            self.assertEqual('.'.join(raw), expected_stack)

        states = [line for line in out if line.startswith('Changing state: ')]
        self.assertTrue(states, out)
        self.assertEqual(states[0], 'Changing state: Showing window')
        self.assertEqual(out[8], 'Changing state: Showing window')

    def test_names(self):
        for file_name in CASES:
            with self.subTest(name=file_name):
                self.check_detection(file_name, self.run_as(file_name))

    def test_every_reader_follows_the_table(self):
        """The kit, the release, the verify endpoint and the test harnesses take their names
        from env/identity.json (the launcher's own tables are checked by the unit tests): a
        list of their own that lost or gained a name fails here."""
        if TARGET.windows:
            self.skipTest('the readers are the same for both builds')
        root = TARGET.source_dir
        table = json.loads((root / 'env' / 'identity.json').read_text(encoding='utf-8'))
        editions, channels, platforms = ([entry['raw'] for entry in table[section]]
                                         for section in ('editions', 'channels', 'platforms'))
        every_pair = sorted((edition, channel) for edition in editions for channel in channels)
        sys.path.append(str(root / 'scripts'))
        sys.path.append(str(root / 'tests' / 'soak'))
        import e2e_cases
        import matrix
        import soak
        from kit import names

        self.assertEqual((list(names.EDITIONS), list(names.CHANNELS), list(names.PLATFORMS)),
                         (editions, channels, platforms))
        for edition in table['editions']:
            for platform in ('MS_WINDOWS', 'GNU_LINUX'):
                self.assertEqual(names.app_file_name(edition['raw'], platform), edition['app'][platform])
                self.assertEqual(matrix.app_file(edition['raw'], platform == 'MS_WINDOWS'), edition['app'][platform])

        loader = importlib.machinery.SourceFileLoader('release_script', str(root / 'scripts' / 'release'))
        release_script = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(release_script)
        stems = {e['raw']: e['copy_stem'] for e in table['editions']}
        suffixes = {c['raw']: c['copy_suffix'] for c in table['channels']}
        self.assertEqual(sorted(release_script.COPIES),
                         sorted((e, c, stems[e] + suffixes[c]) for e, c in every_pair))
        # The README's table of named copies, which is what an operator hands out from.
        readme = (root / 'README.md').read_text(encoding='utf-8')
        rows = re.findall(r'^\|[^|\n]*\|((?: `[^`|]+\.exe` \|){%d})$' % len(channels), readme, re.M)
        self.assertEqual(sorted(re.findall(r'`([^`]+)\.exe`', ''.join(rows))),
                         sorted(stems[e] + suffixes[c] for e, c in every_pair))

        output = self.root / 'nginx' / 'quenza.conf'
        output.parent.mkdir()
        subprocess.run([sys.executable, str(root / 'scripts' / 'publish'), 'nginx-config', '--site', str(self.root),
                        '--deployment', str(root / 'deploy' / 'loopback.deployment'), '--certificate', '/etc/q.pem',
                        '--key', '/etc/q.key', '--output', str(output)], check=True, capture_output=True)
        config = output.read_text(encoding='utf-8')
        self.assertEqual(re.findall(r'set \$quenza_editions (\S+);', config), [','.join(editions)] * len(channels))
        self.assertEqual(re.findall(r'set \$quenza_platforms (\S+);', config), [','.join(platforms)] * len(channels))

        # Every edition and channel is played end to end and soaked.
        self.assertEqual(sorted({(e, c) for _, e, c in e2e_cases.NAMES}), every_pair)
        self.assertEqual(sorted({(e, c.upper()) for e, c in soak.LAUNCHERS.values()}), every_pair)
        self.assertEqual((list(soak.EDITIONS), [c.upper() for c in soak.CHANNELS]), (editions, channels))

    def test_relative_start(self):
        if TARGET.windows:
            self.skipTest('Wine always hands over a full path')
        self.check_detection('quenza-bo.exe', self.run_as('quenza-bo.exe', relative=True))


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
