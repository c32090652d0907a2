"""The site directory: the content store, the releases' manifests, the channels' links and
their history (see scripts/publish). What every command reads and the rules every
command that writes keeps: explicit modes, files renamed or linked into place, and the
site's locks."""

import contextlib
import datetime
import errno
import fcntl
import json
import os
import pathlib
import re
import sys
import tempfile

from kit.names import CHANNELS, NAME, Refused

# nginx reads the site as its own user: whatever the operator's umask, files are readable
# and directories searchable by everyone.
DIR_MODE = 0o755
FILE_MODE = 0o644
CONTENT_NAME = re.compile(r'sha256/([0-9a-f]{2})/(\1[0-9a-f]{62})')
# Leftovers of an interrupted add (its private staging directory) and of an interrupted
# prune (a release renamed aside before its removal).
STAGING_PREFIX = '.incoming-'
PRUNING_PREFIX = '.pruning-'


class Site:
    def __init__(self, root):
        self.root = pathlib.Path(root)
        self.content = self.root / 'content'
        self.releases = self.root / 'releases'
        self.channels = self.root / 'channels'
        # One line per switch (JSON): what a channel served until when, for prune.
        self.history = self.root / 'switches.log'

    def require(self):
        """Refuses a site root that is not there: every command but add works on an existing site."""
        if not self.root.is_dir():
            raise Refused(f'no site at {self.root}')

    def manifest_path(self, release, edition, platform):
        return self.releases / release / edition / f'{platform}.json'

    def content_file(self, uri):
        return self.content / uri

    @contextlib.contextmanager
    def lock(self, exclusive, name='.publish.lock', read_only=False):
        """Holds one of the site's locks (flock on a file in the site root) for the block.

        Two locks: ".publish.lock", shared by add, switch, status and verify and taken
        exclusively by prune, so that prune never decides while a release is being added
        or a channel switched; ".switch.lock", exclusive, held by a switch and by the last
        step of an add (whether a channel serves the release, and the manifest's link),
        so that a release never gains a manifest unseen while a channel is switched to
        it. Both are local to this machine: publish on one machine (see the README's
        scale-out). A read-only command on a site it cannot write goes on unlocked."""
        path = self.root / name
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, 'O_CLOEXEC', 0), FILE_MODE)
        except OSError as e:
            if read_only and e.errno in (errno.EACCES, errno.EROFS, errno.EPERM):
                yield
                return
            raise Refused(f'cannot open the lock {path}: {e.strerror}') from None
        try:
            if os.fstat(fd).st_uid == os.geteuid():
                os.fchmod(fd, FILE_MODE)
            kind = fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH
            try:
                fcntl.flock(fd, kind | fcntl.LOCK_NB)
            except BlockingIOError:
                print(f'publish: waiting for another command on {self.root} to finish ({path} is locked)',
                      file=sys.stderr, flush=True)
                fcntl.flock(fd, kind)
            yield
        finally:
            os.close(fd)

    def release_names(self):
        """Every published release's name (a directory below releases/ with a release
        name), sorted."""
        if not self.releases.is_dir():
            return []
        return sorted(entry.name for entry in os.scandir(self.releases)
                      if NAME.fullmatch(entry.name) and entry.is_dir(follow_symlinks=False))

    def manifests(self, release):
        """[(edition, platform, path)] of a release, sorted."""
        return [(path.parent.name, path.stem, path)
                for path in sorted((self.releases / release).glob('*/*.json'))]

    def channel(self, channel):
        """(release, problem) for what a channel's link names: (None, None) for a channel
        that serves nothing yet."""
        link = self.channels / channel
        if not os.path.lexists(link):
            return None, None
        if not link.is_symlink():
            return None, f'{link} is not a link'
        target = os.readlink(link)
        name = target.rsplit('/', 1)[-1]
        if target != f'../releases/{name}' or not NAME.fullmatch(name):
            return None, f'{link} points at {target}, which is not a release of this site'
        if not (self.releases / name).is_dir():
            return name, f'{link} points at release {name}, which does not exist'
        return name, None

    def switched_at(self, channel):
        """When a channel's link was made (its switch), or None."""
        try:
            return os.lstat(self.channels / channel).st_mtime
        except FileNotFoundError:
            return None

    def read_history(self):
        """The switch records, oldest first; lines that do not parse are skipped."""
        records = []
        try:
            text = self.history.read_text(encoding='utf-8')
        except FileNotFoundError:
            return records
        for line in text.splitlines():
            try:
                record = json.loads(line)
                record['at'] = parse_time(record['time'])
            except (ValueError, KeyError, TypeError):
                continue
            if record.get('channel') in CHANNELS:
                records.append(record)
        return records

    def append_history(self, record):
        """Appends a switch record and flushes it to the disk before the switch happens."""
        make_dirs(self.root)
        fd = os.open(self.history, os.O_WRONLY | os.O_APPEND | os.O_CREAT, FILE_MODE)
        try:
            os.fchmod(fd, FILE_MODE)
            os.write(fd, (json.dumps(record, separators=(',', ':')) + '\n').encode('utf-8'))
            os.fsync(fd)
        finally:
            os.close(fd)


def make_dirs(path):
    """Creates a directory and its missing parents, each with DIR_MODE whatever the umask."""
    path = pathlib.Path(path)
    missing = []
    while not path.is_dir():
        missing.append(path)
        path = path.parent
    for directory in reversed(missing):
        try:
            directory.mkdir()
        except FileExistsError:
            if not directory.is_dir():
                raise
            continue
        os.chmod(directory, DIR_MODE)


def write_atomically(path, data, mode=FILE_MODE):
    """Writes bytes to path through a temporary file renamed into place."""
    path = pathlib.Path(path)
    make_dirs(path.parent)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix='.tmp-')
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def fsync_dir(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def content_uri(digest):
    hexname = digest.hex()
    return f'sha256/{hexname[:2]}/{hexname}'


def manifest_text(manifest):
    return (json.dumps(manifest, ensure_ascii=False, separators=(',', ':')) + '\n').encode('utf-8')


def manifest_items(manifest):
    """[(uri, hash, size, path)] of a manifest, the application first (path None); raises
    ValueError when the manifest does not have the form the kit writes."""
    try:
        items = [(manifest['app']['uri'], manifest['app']['hash'], manifest['app']['size'], None)]
        items += [(e['uri'], e['hash'], e['size'], e['path']) for e in manifest['deps']['entries']]
    except (KeyError, TypeError) as e:
        raise ValueError(f'not a manifest (no {e})') from None
    for uri, _, size, _ in items:
        if not isinstance(uri, str) or not CONTENT_NAME.fullmatch(uri) or not isinstance(size, int):
            raise ValueError(f'names {uri!r}, which is not a content file name')
    return items


def read_manifest(path):
    """(manifest, items) of a manifest file; raises ValueError (or OSError) saying why not."""
    try:
        manifest = json.loads(pathlib.Path(path).read_bytes())
    except UnicodeDecodeError as e:
        raise ValueError(f'not UTF-8 ({e})') from None
    except json.JSONDecodeError as e:
        raise ValueError(f'not JSON ({e})') from None
    if not isinstance(manifest, dict):
        raise ValueError('not a JSON object')
    return manifest, manifest_items(manifest)


def time_text(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ')


def parse_time(text):
    return datetime.datetime.strptime(text, '%Y-%m-%dT%H:%M:%SZ').replace(tzinfo=datetime.timezone.utc).timestamp()


def count(number, thing):
    return f'{number} {thing}' + ('' if number == 1 else 's')


def size_text(size):
    if size < 1024:
        return f'{size} bytes'
    for unit in ('KiB', 'MiB', 'GiB', 'TiB'):
        size /= 1024
        if size < 1024 or unit == 'TiB':
            return f'{size:.1f} {unit}'


def content_files(site):
    """Every file of the content store: [(relative name, absolute path, size)], with the
    names that are not digest names too (the callers say what to do with them)."""
    out = []
    if not site.content.is_dir():
        return out
    for top, dirs, files in os.walk(site.content):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(top, name)
            rel = os.path.relpath(full, site.content).replace(os.sep, '/')
            try:
                size = os.lstat(full).st_size
            except FileNotFoundError:
                continue
            out.append((rel, full, size))
    return out
