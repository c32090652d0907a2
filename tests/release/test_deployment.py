"""Deployment values are checked when a build is configured: host names that are not
bare host names, and OTA hosts that would let one channel's clean-up reach another
channel's installs, stop the configure with a message that names every problem; a
release build without a deployment file is refused. The configure and the operator's
kit read a deployment file alike. An identity table (env/identity.json) with a missing or
doubtful entry stops the configure too.

    test_deployment.py --source-dir <root>
"""

import argparse
import copy
import json
import pathlib
import subprocess
import sys
import tempfile
import unittest

ROOT = None  # set from --source-dir
GOOD = ['ota.quenza-prod.example', 'ota.quenza-demo.example', 'ota.quenza-dev.example',
        'app.quenza-prod.example', 'app.quenza-demo.example', 'app.quenza-dev.example']


def deployment_text(hosts, bundle):
    keys = ['OTA_HOST_PROD', 'OTA_HOST_DEMO', 'OTA_HOST_DEV', 'APP_HOST_PROD', 'APP_HOST_DEMO', 'APP_HOST_DEV']
    return ''.join(f'{k} = {v}\n' for k, v in zip(keys, hosts)) + f'CA_BUNDLE = {bundle}\n'


class DeploymentTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix='quenza-deployment-')
        self.tmp = pathlib.Path(self._tmp.name)

    def tearDown(self):
        self._tmp.cleanup()

    def check_hosts(self, hosts):
        """Runs the configure-time host check in script mode; (exit code, output)."""
        script = self.tmp / 'check.cmake'
        quoted = ' '.join('"%s"' % h for h in hosts)
        script.write_text('cmake_minimum_required(VERSION 3.25)\n'
                          f'include("{ROOT}/cmake/deployment_check.cmake")\n'
                          f'quenza_check_deployment_hosts({quoted})\n', encoding='utf-8')
        result = subprocess.run(['cmake', '-P', str(script)], capture_output=True, text=True)
        return result.returncode, ' '.join((result.stdout + result.stderr).split())

    def test_host_names(self):
        def with_host(index, value):
            hosts = list(GOOD)
            hosts[index] = value
            return hosts

        cases = [
            ('valid', GOOD, None),
            ('empty', with_host(4, ''), 'APP_HOST_DEMO is empty'),
            ('scheme', with_host(0, 'https://ota.quenza.example'), 'names a scheme'),
            ('port', with_host(1, 'ota.quenza-demo.example:8443'), 'names a port'),
            ('path', with_host(2, 'ota.quenza.example/dev'), 'names a path'),
            ('blank', with_host(3, 'app quenza.example'), 'contains a blank'),
            ('trailing dot', with_host(5, 'app.quenza-dev.example.'), 'is not a host name'),
            ('underscore', with_host(0, 'ota_prod.example'), 'is not a host name'),
            ('prefix of another channel', with_host(2, 'ota.quenza-prod.example.dev'),
             'the OTA host of PROD ("ota.quenza-prod.example") is the beginning of the OTA host of DEV'),
            ('prefix in another letter case', with_host(1, 'OTA.quenza-prod.example-demo'),
             'the OTA host of PROD ("ota.quenza-prod.example") is the beginning of the OTA host of DEMO'),
            ('same host twice', with_host(1, 'ota.quenza-dev.example'), 'the OTA host of DEMO'),
            ('application hosts may share', with_host(4, 'app.quenza-prod.example'), None),
        ]
        for name, hosts, words in cases:
            with self.subTest(name):
                code, output = self.check_hosts(hosts)
                if words is None:
                    self.assertEqual(code, 0, output)
                else:
                    self.assertNotEqual(code, 0, output)
                    self.assertIn(words, output)

    def test_deployment_files(self):
        # (case, file text, the values read or the words of every problem reported)
        readme_block = (
            'OTA_HOST_PROD = ota.quenza-prod.example     # POST https://<host>/ota/verify, per channel\n'
            'OTA_HOST_DEMO = ota.quenza-demo.example\nOTA_HOST_DEV  = ota.quenza-dev.example\n'
            'APP_HOST_PROD = app.quenza-prod.example     # written to quenza_hostname.cfg\n'
            'APP_HOST_DEMO = app.quenza-demo.example\nAPP_HOST_DEV  = app.quenza-dev.example\n'
            'CA_BUNDLE = roots#1.pem       # roots the launcher trusts (relative to this file)\n')
        cases = [
            ('notes after the values', readme_block,
             {'OTA_HOST_PROD': 'ota.quenza-prod.example', 'APP_HOST_PROD': 'app.quenza-prod.example'}),
            ('every problem at once', readme_block.replace('app.quenza-demo.example', 'app quenza-demo')
             .replace('OTA_HOST_DEV  = ota.quenza-dev.example', 'OTA_HOST_DEV = ota.quenza-prod.example.dev')
             .replace('CA_BUNDLE = roots#1.pem', 'CA_BUNDLE = missing.pem') + 'PORT = 8443\nnonsense\n',
             ['line 8: unknown key PORT', 'line 9: expected KEY = value', 'CA_BUNDLE', 'missing.pem" not found',
              'APP_HOST_DEMO "app quenza-demo" contains a blank',
              'the OTA host of PROD ("ota.quenza-prod.example") is the beginning of the OTA host of DEV']),
            ('a key twice, a key missing', readme_block.replace('OTA_HOST_DEMO', 'OTA_HOST_DEV'),
             ['line 3: OTA_HOST_DEV is given twice', 'OTA_HOST_DEMO is missing']),
        ]
        sys.path.insert(0, str(ROOT / 'scripts'))
        from kit.deployment import read_deployment
        from kit.names import Refused
        (self.tmp / 'roots#1.pem').write_text('roots\n', encoding='utf-8')
        script = self.tmp / 'read.cmake'
        script.write_text('cmake_minimum_required(VERSION 3.25)\n'
                          f'include("{ROOT}/cmake/deployment_check.cmake")\n'
                          'quenza_read_deployment_file("${FILE}" d)\n'
                          'message("OTA_HOST_PROD=${d_OTA_HOST_PROD}|APP_HOST_PROD=${d_APP_HOST_PROD}|")\n',
                          encoding='utf-8')
        for name, text, expected in cases:
            with self.subTest(name):
                path = self.tmp / 'site.deployment'
                path.write_text(text, encoding='utf-8')
                configure = subprocess.run(['cmake', f'-DFILE={path}', '-P', str(script)], capture_output=True,
                                           text=True)
                configure_output = ' '.join((configure.stdout + configure.stderr).split())
                try:
                    kit_values, kit_output = read_deployment(path), ''
                except Refused as e:
                    kit_values, kit_output = None, str(e)
                if isinstance(expected, dict):
                    self.assertEqual(configure.returncode, 0, configure_output)
                    for key, value in expected.items():
                        self.assertIn(f'{key}={value}|', configure_output)
                        self.assertEqual(kit_values[key], value)
                    self.assertEqual(kit_values['CA_BUNDLE'], str(self.tmp / 'roots#1.pem'))
                else:
                    self.assertNotEqual(configure.returncode, 0)
                    self.assertIsNone(kit_values)
                    for words in expected:
                        self.assertIn(words, configure_output)
                        if 'OTA host' not in words and 'blank' not in words:  # the kit leaves hosts to the build
                            self.assertIn(words, ' '.join(kit_output.split()))

    def test_identity_table(self):
        table = json.loads((ROOT / 'env' / 'identity.json').read_text(encoding='utf-8'))

        def changed(change):
            changed_table = copy.deepcopy(table)
            change(changed_table)
            return changed_table

        edition = lambda t, raw: next(e for e in t['editions'] if e['raw'] == raw)  # noqa: E731
        cases = [
            ('valid', table, None),
            ('application file name missing', changed(lambda t: edition(t, 'QUENZA_BO')['app'].pop('GNU_LINUX')),
             '"app" of edition QUENZA_BO names 2 platforms, not the table\'s 3'),
            ('application file name under another platform', changed(lambda t: edition(t, 'QUENZA_BO')['app'].update(
                GNU_HURD=edition(t, 'QUENZA_BO')['app'].pop('GNU_LINUX'))),
             'edition QUENZA_BO has no application file name for GNU_LINUX'),
            ('application file name with a path', changed(lambda t: edition(t, 'QUENZA_MAN')['app'].update(
                MS_WINDOWS='bin\\quenzaman.exe')), 'file name "bin\\quenzaman.exe" of edition QUENZA_MAN'),
            ('copy stem missing', changed(lambda t: edition(t, 'QUENZA_MAN').pop('copy_stem')),
             'edition QUENZA_MAN has no "copy_stem"'),
            ('copy stem of another edition', changed(lambda t: edition(t, 'QUENZA_APP').update(
                copy_stem='QUENZA-manager')), 'the copy_stem of edition QUENZA_APP is another edition\'s too'),
            ('two editions without keywords', changed(lambda t: edition(t, 'QUENZA_APP').update(keywords=[]) or
                                                      edition(t, 'QUENZA_APP').pop('match')),
             'editions QUENZA_PMS and QUENZA_APP both have no keywords'),
            ('every channel with keywords', changed(lambda t: t['channels'][0].update(keywords=['prod'], match=3)),
             'every channels entry has keywords'),
            ('place of matching given twice', changed(lambda t: edition(t, 'QUENZA_BO').update(match=1)),
             'editions entry QUENZA_BO has the "match" place 1 of another entry'),
            ('keywords without a place', changed(lambda t: edition(t, 'QUENZA_BO').pop('match')),
             'editions entry QUENZA_BO has no "match"'),
            ('keyword of two editions', changed(lambda t: edition(t, 'QUENZA_BO')['keywords'].append('app')),
             'keyword "app" of editions entry QUENZA_BO is another entry\'s too'),
            ('keyword in upper case', changed(lambda t: t['channels'][1].update(keywords=['Demo'])),
             'keyword "Demo" of channels entry DEMO is not lower-case'),
            ('raw name in two sections', changed(lambda t: t['processors'][0].update(raw='DEV')),
             'the raw name DEV is given twice'),
            ('raw name no identifier', changed(lambda t: t['platforms'][0].update(raw='MS-WINDOWS')),
             'raw name "MS-WINDOWS" of platforms entry 0'),
            ('pretty name missing', changed(lambda t: t['processors'][1].pop('pretty')),
             'processors entry X86_64 has no "pretty"'),
            ('control character in a pretty name', changed(lambda t: t['channels'][2].update(pretty='d\u00e9v\n')),
             'the pretty name of channels entry DEV holds a control character'),
            ('copy suffix of another channel', changed(lambda t: t['channels'][2].update(copy_suffix='-DEMO')),
             'the copy_suffix of channel DEV is another channel\'s too'),
        ]
        for name, cases_table, words in cases:
            with self.subTest(name):
                path = self.tmp / 'identity.json'
                path.write_text(json.dumps(cases_table, ensure_ascii=False), encoding='utf-8')
                script = self.tmp / 'read.cmake'
                script.write_text('cmake_minimum_required(VERSION 3.25)\n'
                                  f'include("{ROOT}/cmake/identity.cmake")\n'
                                  f'quenza_read_identity("{path}")\n', encoding='utf-8')
                result = subprocess.run(['cmake', '-P', str(script)], capture_output=True, text=True)
                output = ' '.join((result.stdout + result.stderr).split())
                if words is None:
                    self.assertEqual(result.returncode, 0, output)
                else:
                    self.assertNotEqual(result.returncode, 0, output)
                    self.assertIn(words, output)

    def configure(self, *definitions):
        result = subprocess.run(['cmake', '-S', str(ROOT), '-B', str(self.tmp / 'build'), '-G', 'Ninja',
                                 '-DQUENZA_BUILD_TESTS=OFF', *definitions], capture_output=True, text=True)
        return result.returncode, ' '.join((result.stdout + result.stderr).split())

    def test_configure_refuses(self):
        bundle = ROOT / 'resources' / 'ca-roots.pem'
        overlapping = self.tmp / 'overlapping.deployment'
        overlapping.write_text(deployment_text(GOOD[:2] + ['ota.quenza-demo.example.internal'] + GOOD[3:], bundle),
                               encoding='utf-8')
        code, output = self.configure(f'-DQUENZA_DEPLOYMENT_FILE={overlapping}')
        self.assertNotEqual(code, 0, output)
        self.assertIn('the OTA host of DEMO ("ota.quenza-demo.example") is the beginning of the OTA host of DEV',
                      output)

        no_bundle = self.tmp / 'no-bundle.deployment'
        no_bundle.write_text(deployment_text(GOOD, 'missing.pem'), encoding='utf-8')
        code, output = self.configure(f'-DQUENZA_DEPLOYMENT_FILE={no_bundle}')
        self.assertNotEqual(code, 0, output)
        self.assertIn('CA_BUNDLE', output)

        code, output = self.configure('-DQUENZA_RELEASE=ON', '-DQUENZA_DEPLOYMENT_FILE=')
        self.assertNotEqual(code, 0, output)
        self.assertIn('A release build needs a deployment file', output)


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--source-dir', required=True)
    known, rest = parser.parse_known_args()
    ROOT = pathlib.Path(known.source_dir).resolve()
    sys.argv[1:] = rest
    unittest.main()
