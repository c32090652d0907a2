"""The whole run of the e2e launcher without a window, against the test server on port 443.

All cases of one target share one session (one HOME or Wine prefix); the applications
root is emptied before each case, so every run starts from a profile without installs
unless the case seeds one. The cases themselves are declared in e2e_cases.py.
"""

import json
import pathlib
import re
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import e2e_cases  # noqa: E402
import harness  # noqa: E402
import launcher  # noqa: E402
import matrix  # noqa: E402
import release  # noqa: E402

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


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
