"""Runs a launcher of the build under test and captures what it did.

The test scripts get --build-dir (a preset's binary directory) and --source-dir from
ctest. The build directory decides the target: a Windows build's executables run under
Wine, in the build's own prefix; a Linux build's run natively. Either way a launcher is
copied under the file name the test asks for, since that name picks edition and channel.
"""

import argparse
import dataclasses
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile


@dataclasses.dataclass
class Result:
    exit_code: int  # as a POSIX status: -1 reads 255
    stdout: list    # lines without line ends ("\r\n" from the Windows C runtime stripped)
    stderr: list


class Target:
    def __init__(self, build_dir, source_dir):
        self.build_dir = pathlib.Path(build_dir).resolve()
        self.source_dir = pathlib.Path(source_dir).resolve()
        self.windows = (self.build_dir / 'quenza-installer.exe').exists()
        self.name = 'windows' if self.windows else 'linux'
        self.exe_suffix = '.exe' if self.windows else ''
        self.wine_prefix = self.build_dir / 'wine'

    def executable(self, name):
        """Path of an executable of the build, by its name without suffix."""
        return self.build_dir / (name + self.exe_suffix)

    def command(self, program, args=()):
        if self.windows:
            return [str(self.source_dir / 'scripts' / 'wine-run'), str(program), *args]
        return [str(program), *args]

    def environment(self, home=None, extra=None):
        env = dict(os.environ)
        if self.windows:
            env['QUENZA_WINEPREFIX'] = str(self.wine_prefix)
            env.setdefault('WINEDEBUG', '-all')
        if home is not None:
            env['HOME'] = str(home)
        env.update(extra or {})
        return env

    def stop_wine(self):
        """Ends the prefix's wineserver. A Wine session keeps the display it was started
        with (or none), so windowed and windowless runs must not share one."""
        if self.windows:
            env = self.environment()
            env['WINEPREFIX'] = str(self.wine_prefix)
            subprocess.run(['wineserver', '-k'], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            subprocess.run(['wineserver', '-w'], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)

    def profile_dir(self, home):
        """Where the launcher's profile folder is for a run given this home."""
        if self.windows:
            user = os.environ.get('USER') or 'root'
            return self.wine_prefix / 'drive_c' / 'users' / user
        return pathlib.Path(home)

    def run(self, program, args=(), *, home=None, env=None, cwd=None, timeout=120, display=None):
        full_env = self.environment(home, env)
        if display is None:
            full_env.pop('DISPLAY', None)
        else:
            full_env['DISPLAY'] = display
        # Files rather than pipes: Wine's service processes inherit the standard handles
        # and would hold a pipe open until the wineserver exits, seconds after the run.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.command(program, args), env=full_env, cwd=cwd,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return Result(proc.returncode, split_lines(out.read()), split_lines(err.read()))


def split_lines(data):
    text = data.decode('utf-8', errors='surrogateescape')
    return [line.rstrip('\r') for line in text.split('\n')][:-1] if text else []


def copy_launcher(target, directory, file_name, which='quenza-installer-e2e'):
    """Copies a launcher of the build into directory under file_name; returns its path."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    dest = directory / file_name
    shutil.copy2(target.executable(which), dest)
    return dest


def parse_target():
    """Reads --build-dir/--source-dir and leaves the other arguments for unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--build-dir', required=True)
    parser.add_argument('--source-dir', required=True)
    known, rest = parser.parse_known_args()
    sys.argv[1:] = rest
    return Target(known.build_dir, known.source_dir)


def temp_dir(prefix='quenza-e2e-'):
    return tempfile.TemporaryDirectory(prefix=prefix)
