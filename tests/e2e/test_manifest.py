"""The application manifest inside the Windows launcher. Windows reads each setting only
under its own element and namespace and silently ignores one that is misplaced, and Wine
honours none of them the way Windows does, so no run here would show a mistake: the
manifest is taken out of the built executable and checked where Windows looks.
"""

import re
import unittest
import xml.etree.ElementTree as ET

import launcher

TARGET = None
ASM_V1 = '{urn:schemas-microsoft-com:asm.v1}'
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
SETTINGS_2005 = '{http://schemas.microsoft.com/SMI/2005/WindowsSettings}'
SETTINGS_2016 = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'


class Manifest(unittest.TestCase):
    def setUp(self):
        if not TARGET.windows:
            self.skipTest('only the Windows launcher carries a manifest')

    def embedded(self, name):
        # Resources are stored as they are: the manifest is the one XML document inside.
        data = TARGET.executable(name).read_bytes()
        found = re.findall(rb'<\?xml[^>]*\?>\s*<assembly\b.*?</assembly>', data, re.S)
        self.assertEqual(len(found), 1, 'one manifest in ' + name)
        return ET.fromstring(found[0])

    def test_rights_dpi_and_long_paths_are_declared_where_windows_reads_them(self):
        for name in ('quenza-installer', 'quenza-installer-e2e'):
            with self.subTest(name):
                root = self.embedded(name)
                self.assertEqual(root.tag, ASM_V1 + 'assembly')
                level = root.find(f'{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/'
                                  f'{ASM_V3}requestedExecutionLevel')
                self.assertEqual((level.get('level'), level.get('uiAccess')), ('asInvoker', 'false'))

                settings = root.find(f'{ASM_V3}application/{ASM_V3}windowsSettings')
                self.assertIsNotNone(settings)
                # Windows 10 1703 and later take the first value they know: per-monitor
                # awareness of the second version (the frame scales with the monitor).
                awareness = settings.find(SETTINGS_2016 + 'dpiAwareness').text
                self.assertEqual([v.strip() for v in awareness.split(',')], ['PerMonitorV2', 'PerMonitor'])
                # Earlier systems read only this one: per monitor on 8.1, system-aware before.
                self.assertEqual(settings.find(SETTINGS_2005 + 'dpiAware').text.strip().lower(), 'true/pm')
                self.assertEqual(settings.find(SETTINGS_2016 + 'longPathAware').text.strip(), 'true')


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
