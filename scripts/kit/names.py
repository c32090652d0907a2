"""Names and rules the launcher and the kit share: editions, platforms, channels, the
installed application's file names, the files the launcher writes itself, the library
links the Linux launcher makes, and the digest text form."""

import base64
import hashlib
import pathlib
import re

from kit.identity import APP_FILE_NAMES, CHANNELS, EDITIONS, PLATFORMS  # noqa: F401 (the kit's names)

# The macOS payload is a zipped bundle under one fixed name; on the other platforms the
# application has its file name of the identity table.
MAC_PAYLOAD = 'quenza-launcher.zip'
# Files the launcher writes into the install directory after the download.
LAUNCHER_FILES = ('quenza_hostname.cfg', 'quenza_deps_dist.sha256', 'quenza-launcher.sha256')
WINDOWS_FORBIDDEN = set('<>:"|?*')
# Release names: they become directory names and appear in link targets (matched whole,
# with fullmatch, so that no trailing line feed slips through).
NAME = re.compile(r'[A-Za-z0-9][A-Za-z0-9._-]*')
# The device names Windows reserves: the launcher reads the same file, so the kit never
# publishes a name the launcher would refuse, nor refuses one it would take.
RESERVED_NAMES_FILE = pathlib.Path(__file__).resolve().parents[2] / 'fs' / 'windows_reserved_names.txt'


def read_reserved_names(path=RESERVED_NAMES_FILE):
    """The reserved device names of the list file, in upper case."""
    names = set()
    for line in path.read_text(encoding='utf-8').splitlines():
        name = line.split('#', 1)[0].strip()
        if name:
            names.add(name.upper())
    return frozenset(names)


WINDOWS_RESERVED = read_reserved_names()


def is_windows_device_name(name):
    """Windows takes a device name before any extension ("nul.txt") and ignores letter case
    and the blanks before the dot ("NUL .txt")."""
    return name.split('.', 1)[0].rstrip(' ').upper() in WINDOWS_RESERVED


class Refused(Exception):
    """Input the kit will not publish; the message says why."""


def digest_text(sha256_digest):
    return base64.urlsafe_b64encode(sha256_digest).decode('ascii').rstrip('=')


def deps_hash(entries):
    text = ''.join(f'{e["path"]}\t{e["hash"]}\n' for e in entries)
    return digest_text(hashlib.sha256(text.encode('utf-8')).digest())


def app_file_name(edition, platform):
    if platform == 'APPLE_OSX':
        return MAC_PAYLOAD
    return APP_FILE_NAMES[edition][platform]


def library_link_paths(path):
    """The links the Linux launcher makes for a library file below lib/: for
    lib/libx.so.1.2.3 the paths lib/libx.so.1.2, lib/libx.so.1 and lib/libx.so."""
    found = path.rfind('.so')
    if found < 0:
        return []
    stem_end = found + 3
    if stem_end != len(path) and path[stem_end] != '.':
        return []
    links = []
    link = path
    while len(link) > stem_end:
        dot = link.rfind('.')
        if dot < stem_end:
            break
        link = link[:dot]
        links.append(link)
    return links


def file_digest(path):
    """(SHA-256 digest, size) of a file, read in pieces."""
    h = hashlib.sha256()
    size = 0
    with open(path, 'rb') as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return h.digest(), size
