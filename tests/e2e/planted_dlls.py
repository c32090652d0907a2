"""DLLs planted beside a Windows launcher under the names of system DLLs, as a web page
can drop files into the Downloads folder a launcher is started from. Built at test time
with the mingw compiler from planted_dll.c; each one that gets loaded leaves a marker
file beside itself.

    planted_dlls.plant(directory)                       # before the run
    env = {'WINEDLLOVERRIDES': planted_dlls.OVERRIDES}  # Wine then prefers them, as
                                                        # Windows prefers the folder's
    planted_dlls.loaded(directory)                      # after it: [] when none was loaded
"""

import atexit
import functools
import pathlib
import shutil
import subprocess
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

# Names that are not known DLLs on Windows, so that the folder would come first: what the
# launcher imported before (winmm, bcrypt), what the system loads by name once the window
# is made (uxtheme, dwmapi) and, under Wine, for the network (iphlpapi, dnsapi). Not
# version.dll nor imm32.dll: Wine's own user32 imports the one and loads the other as the
# process starts, before any code of the launcher runs; on Windows user32, a known DLL,
# imports no version.dll, and imm32.dll is a known DLL itself.
NAMES = ('winmm', 'bcrypt', 'uxtheme', 'dwmapi', 'iphlpapi', 'dnsapi')
# Native first for the planted names; without Mono and Gecko, as scripts/wine-run runs.
OVERRIDES = ','.join(NAMES) + '=n,b;mscoree,mshtml='
MARKER = '.dll.loaded'


@functools.lru_cache(maxsize=None)
def _built():
    directory = pathlib.Path(tempfile.mkdtemp(prefix='quenza-planted-'))
    atexit.register(shutil.rmtree, directory, True)
    dll = directory / 'planted.dll'
    subprocess.run(['x86_64-w64-mingw32-gcc', '-shared', '-O2', '-nostartfiles', '-Wl,-e,DllMain',
                    str(HERE / 'planted_dll.c'), '-o', str(dll)], check=True)
    return dll


def plant(directory):
    """Puts one planted DLL under each name into directory (made if missing)."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    for name in NAMES:
        shutil.copyfile(_built(), directory / f'{name}.dll')


def loaded(directory):
    """The names of the planted DLLs that were loaded, sorted."""
    return sorted(p.name[:-len(MARKER)].lower() for p in pathlib.Path(directory).iterdir()
                  if p.name.lower().endswith(MARKER))
