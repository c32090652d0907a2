"""The whole run of the e2e launcher without a window, against the test server on port 443.

All cases of one target share one session (one HOME or Wine prefix); the applications
root is emptied before each case, so every run starts from a profile without installs
unless the case seeds one. The cases themselves are declared in e2e_cases.py.
"""

import dataclasses
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import e2e_cases  # noqa: E402
import harness  # noqa: E402
import launcher  # noqa: E402
import matrix  # noqa: E402
import release  # noqa: E402
from matrix import ABSENT, FILE  # noqa: E402

TARGET = None
GOLDEN_DIR = pathlib.Path(__file__).resolve().parent / 'golden'


def library_groups_sorted(lines):
    """The log with the shared-library lines of the preparation put in name order: each
    library's "SO file found" line with the link lines after it stays one group, but the
    groups come in the order the file system lists the libraries, which is its own."""
    out, groups = [], []
    for line in lines:
        if line.startswith('SO file found : '):
            groups.append([line])
        elif line.startswith('FS recreating relative symlink: ') and groups:
            groups[-1].append(line)
        else:
            if groups:
                out += [line for group in sorted(groups) for line in group]
                groups = []
            out.append(line)
    return out + [line for group in sorted(groups) for line in group]


# Golden log placeholders that stand for values of this machine, as patterns.
FREE_VALUES = {'VERSION': r'[0-9.]*', 'NUMBER': r'-?\d+'}


def golden_pattern(template, values):
    """A golden line as a regular expression: {NAME} is a known value of this run or one
    of FREE_VALUES; everything else is literal."""
    pattern = ''
    for literal, name in re.findall(r'([^{]*)(?:\{([A-Z_]+)\})?', template):
        pattern += re.escape(literal)
        if name:
            pattern += FREE_VALUES[name] if name in FREE_VALUES else re.escape(values[name])
    return pattern


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = harness.Session(TARGET)
        cls.release = release.make(TARGET, TARGET.build_dir / 'sample-release' / 'matrix')

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)

    def setUp(self):
        self.runner = matrix.Runner(self, self.session)

    def play_all(self, cases):
        for case in cases:
            if self.runner.applies(case):
                with self.subTest(case.name):
                    self.runner.play(case)

    def test_every_failure_without_a_window(self):
        self.play_all(e2e_cases.failure_cases())

    def test_every_edition_and_channel(self):
        self.play_all(e2e_cases.edition_cases(self.release))

    def test_hostname_file_blocked(self):
        self.play_all([e2e_cases.hostname_blocked_case(self.release)])

    def test_an_install_in_use_is_left_whole(self):
        self.play_all([e2e_cases.running_install_case(self.release)])

    def test_golden_log_of_a_complete_run(self):
        rel = self.release
        case = e2e_cases.edition_cases(rel)[0]
        result, ctx = self.runner.play(case)
        manifest_text = json.dumps(rel.manifest(e2e_cases.SAMPLE_CDN), separators=(',', ':'), ensure_ascii=False)
        values = {'APPS': ctx.launcher_apps_root(), 'APP_HASH': rel.app.hash, 'APP_SIZE': str(rel.app.size),
                  'VERIFY_SIZE': str(len(manifest_text.encode('utf-8'))), 'DEPS_HASH': rel.deps_hash}
        if not TARGET.windows:
            values.update(CORE_HASH=rel.deps[0].hash, CORE_SIZE=str(rel.deps[0].size))
        golden_file = GOLDEN_DIR / f'complete-run-{TARGET.name}.log'
        golden = golden_file.read_text(encoding='utf-8').splitlines()
        actual = library_groups_sorted(result.stdout)
        for number, (template, line) in enumerate(zip(golden, actual), 1):
            self.assertRegex(line, '^' + golden_pattern(template, values) + '$', f'line {number} of {golden_file}')
        self.assertEqual(len(actual), len(golden), f'lines in the log, against {golden_file}')
        self.assertEqual(actual[-1], 'Changing state: Closing window')

    def test_a_second_run_reinstalls_and_removes_earlier_installs(self):
        rel = self.release
        first = e2e_cases.edition_cases(rel)[0]
        _, ctx = self.runner.play(first)
        apps = ctx.apps
        # Earlier installs of this edition and channel, in every layout that is removed...
        removed = ['QUENZA_PMS_PROD', 'QuenzaPMS_PROD.new', 'http__ota-prod.localhost/QUENZA_PMS.old',
                   'https__ota-prod.localhost-mirror/QUENZA_PMS']
        # ...and look-alikes that are not.
        kept = ['quenza_pms_prod', 'https__ota-prod.localhost/QUENZA_BO', 'https__ota-demo.localhost/QUENZA_PMS',
                'QUENZA_PMS']
        for relative in removed + kept:
            (apps / relative).mkdir(parents=True)
            (apps / relative / 'marker').write_bytes(b'earlier')
        (apps / 'QuenzaPMS_PROD').write_bytes(b'a file, not an install')
        (ctx.new / 'left-by-the-last-run').write_bytes(b'x')
        (ctx.new / release.RECORD_NAME).unlink()

        second = e2e_cases.edition_cases(rel)[0]
        result, _ = self.runner.play(second, keep=True)
        deleted = sorted(line for line in result.stdout if line.startswith('FS deleting conflicting install dir :'))
        expected = sorted(ctx.expand('FS deleting conflicting install dir :{apps:%s}' % p)
                          for p in removed + ['https__ota-prod.localhost/QUENZA_PMS',
                                              'https__ota-prod.localhost/QUENZA_PMS.new'])
        self.assertEqual(deleted, expected)
        for relative in removed:
            self.assertFalse((apps / relative).exists(), relative)
        for relative in kept:
            self.assertEqual((apps / relative / 'marker').read_bytes(), b'earlier', relative)
        self.assertEqual((apps / 'QuenzaPMS_PROD').read_bytes(), b'a file, not an install')
        self.assertFalse((ctx.new / 'left-by-the-last-run').exists())

    def test_install_dirs_behind_a_linked_environment_dir_are_made_new(self):
        """The listings never enter a link, so an environment directory reached through
        one hides the old install from them: the install directories are still made new,
        through the link, and whatever else lies behind it stays."""
        case = e2e_cases.edition_cases(self.release)[0]

        def seed(ctx):
            elsewhere = ctx.apps / 'elsewhere'
            (elsewhere / ctx.edition / 'bin').mkdir(parents=True)
            (elsewhere / ctx.edition / 'bin' / 'old-build').write_bytes(b'old')
            (elsewhere / (ctx.edition + '.new')).mkdir()
            (elsewhere / (ctx.edition + '.new') / 'stale').write_bytes(b'stale')
            (elsewhere / 'QUENZA_BO').mkdir()
            (elsewhere / 'QUENZA_BO' / 'keep').write_bytes(b'other edition')
            ctx.env_dir.symlink_to(elsewhere, target_is_directory=True)

        files = dict(case.files, **{'elsewhere/QUENZA_PMS/bin': ABSENT, 'elsewhere/QUENZA_PMS.new/stale': ABSENT,
                                    'elsewhere/QUENZA_BO/keep': b'other edition'})
        stdout = (*case.stdout[:3], 'FS deleting conflicting install dir :{dir}',
                  'FS deleting conflicting install dir :{new}', *case.stdout[3:])
        # The sample application records its path with the link resolved, so its record is
        # not compared here.
        _, ctx = self.runner.play(dataclasses.replace(case, seed=seed, files=files, stdout=stdout, record=False))
        self.assertTrue(ctx.env_dir.is_symlink())

    def test_a_tree_that_cannot_be_deleted_is_left_aside_and_removed_later(self):
        """Moved aside, a tree holding a file that cannot be deleted no longer stands in
        the way of the install; a later run deletes it."""
        first = e2e_cases.edition_cases(self.release)[0]
        self.runner.play(first)
        leftover = '{env:.QUENZA_PMS_PROD.discarded-1}'
        held = dataclasses.replace(first, seed=lambda ctx: ctx.lock(ctx.new / ctx.app),
                                   files=dict(first.files, **{leftover + '/{app}': FILE}))
        try:
            self.runner.play(held, keep=True)
        finally:
            # The held file has moved away from the name its lock was taken by.
            subprocess.run(['chattr', '-R', '-i', str(self.session.profile_dir / '.QuenzaQtApps')],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        self.runner.play(dataclasses.replace(first, files=dict(first.files, **{leftover: ABSENT})), keep=True)

    def test_names_that_would_climb_out_on_windows_stay_inside(self):
        """On Linux a backslash is a byte of a name and a name need not be UTF-8: such
        names in earlier installs are removed as themselves, a directory named like an
        environment directory followed by "\\..\\..\\elsewhere" is searched as itself, and
        nothing outside the installs changes."""
        if TARGET.windows:
            self.skipTest('Windows names hold no backslash and are always UTF-16')
        case = e2e_cases.edition_cases(self.release)[0]
        odd = 'https__ota-prod.localhost\\..\\..\\elsewhere'

        def seed(ctx):
            (ctx.dir / 'a\\b').mkdir(parents=True)
            (ctx.dir / 'a\\b' / 'f').write_bytes(b'f')
            (ctx.dir / '..\\..\\..').write_bytes(b'climbs on Windows')
            os.mkdir(os.fsencode(ctx.dir) + b'/caf\xe9')
            for relative in (f'{odd}/QUENZA_PMS.old', f'{odd}/keep'):
                (ctx.apps / relative).mkdir(parents=True)
                (ctx.apps / relative / 'x').write_bytes(b'x')
            latin1_env = os.fsencode(ctx.apps) + b'/https__ota-prod.localhost\xe9'
            os.makedirs(latin1_env + b'/QUENZA_PMS/\xff')
            home = ctx.session.profile_dir
            (home / 'elsewhere' / 'QUENZA_PMS.old').mkdir(parents=True, exist_ok=True)
            (home / 'elsewhere' / 'QUENZA_PMS.old' / 'precious').write_bytes(b'precious')
            (home / 'precious').write_bytes(b'precious')

        _, ctx = self.runner.play(dataclasses.replace(case, seed=seed))
        home = ctx.session.profile_dir
        self.assertEqual((home / 'precious').read_bytes(), b'precious')
        self.assertEqual((home / 'elsewhere' / 'QUENZA_PMS.old' / 'precious').read_bytes(), b'precious')
        self.assertFalse((ctx.apps / odd / 'QUENZA_PMS.old').exists())
        self.assertEqual((ctx.apps / odd / 'keep' / 'x').read_bytes(), b'x')
        self.assertFalse(os.path.exists(os.fsencode(ctx.apps) + b'/https__ota-prod.localhost\xe9/QUENZA_PMS'))
        shutil.rmtree(home / 'elsewhere')
        (home / 'precious').unlink()


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
