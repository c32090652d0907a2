"""Reading the directory to publish: every file with its path, and every problem that
keeps it from being installed by the launcher (see scripts/publish)."""

import hashlib
import os
import stat
import sys
import unicodedata

from kit.names import (LAUNCHER_FILES, WINDOWS_FORBIDDEN, Refused, app_file_name, is_windows_device_name,
                       library_link_paths)

# Unicode's control characters (C0, DEL, C1) and its line and paragraph separators: each
# can end or garble a line wherever the path is shown (a log, a terminal, this kit's own
# messages).
LINE_BREAKING = ('Cc', 'Zl', 'Zp')


def name_problem(name, platform):
    """Why a single path component cannot be published, or None."""
    try:
        name.encode('utf-8')
    except UnicodeEncodeError:
        return 'the name is not valid UTF-8'
    if any(unicodedata.category(c) in LINE_BREAKING for c in name):
        return 'the name holds a control character or a line separator'
    if '\\' in name:
        return 'the name holds a backslash, which the launcher reads as a path separator'
    if platform == 'MS_WINDOWS':
        if WINDOWS_FORBIDDEN & set(name):
            return 'the name holds one of <>:"|?*, which Windows does not allow'
        if name.endswith(('.', ' ')):
            return 'the name ends in a dot or a blank, which Windows drops'
        if is_windows_device_name(name):
            return 'the name is a Windows device name'
    return None


def show(path):
    """A path for a message: control characters and undecodable bytes made visible."""
    out = []
    for c in path:
        if 0xDC80 <= ord(c) <= 0xDCFF:  # a byte that was not UTF-8 (surrogateescape)
            out.append(f'\\x{ord(c) - 0xDC00:02x}')
        elif not c.isprintable():
            out.append(c.encode('unicode_escape').decode('ascii'))
        else:
            out.append(c)
    return ''.join(out)


def scan(root, platform):
    """Walks the input without following links. Returns (files, links, empty dirs,
    problems): files maps a relative path ('/'-separated) to (its absolute path, its
    lstat result), links maps a relative path to its absolute path."""
    files, links, empty, problems = {}, {}, [], []

    def walk(directory, prefix):
        try:
            entries = sorted(os.scandir(directory), key=lambda e: e.name)
        except OSError as e:
            problems.append(f'{show(prefix.rstrip("/") or ".")}: the directory cannot be read ({e.strerror})')
            return
        if not entries and prefix:
            empty.append(prefix.rstrip('/'))
        for entry in entries:
            rel = prefix + entry.name
            why = name_problem(entry.name, platform)
            if why:
                problems.append(f'{show(rel)}: {why}')
                continue
            if '..' in rel:
                problems.append(f'{show(rel)}: the path holds "..", and the launcher refuses any entry path that does')
                continue
            try:
                info = entry.stat(follow_symlinks=False)
            except OSError as e:
                problems.append(f'{show(rel)}: cannot be examined ({e.strerror})')
                continue
            if stat.S_ISLNK(info.st_mode):
                links[rel] = entry.path
            elif stat.S_ISDIR(info.st_mode):
                walk(entry.path, rel + '/')
            elif stat.S_ISREG(info.st_mode):
                if not os.access(entry.path, os.R_OK, effective_ids=os.access in os.supports_effective_ids):
                    problems.append(f'{show(rel)}: the file cannot be read (permission denied)')
                files[rel] = (entry.path, info)
            else:
                problems.append(f'{show(rel)}: not a regular file, directory or link')

    walk(root, '')
    return files, links, empty, problems


def copy_input(rel, full, scanned, out):
    """Hashes the input file rel while writing it to the file object out, from one
    descriptor opened without following a link and checked to be the regular file that
    the scan saw: a file swapped for a link (or anything else) since then is never
    read. Returns (SHA-256 digest, size); raises Refused when the file is not the one
    scanned or changed while it was read."""
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | getattr(os, 'O_CLOEXEC', 0)
    try:
        fd = os.open(full, flags)
    except OSError as e:
        raise Refused(f'{show(rel)}: cannot be opened ({e.strerror}); it changed after it was examined, '
                      'publish again') from None
    with os.fdopen(fd, 'rb') as f:
        before = os.fstat(fd)
        if not stat.S_ISREG(before.st_mode) or (before.st_dev, before.st_ino) != (scanned.st_dev, scanned.st_ino):
            raise Refused(f'{show(rel)}: no longer the regular file examined a moment ago; publish again')
        h, size = hashlib.sha256(), 0
        while chunk := f.read(1 << 20):
            h.update(chunk)
            out.write(chunk)
            size += len(chunk)
        after = os.fstat(fd)
    if size != after.st_size or (before.st_size, before.st_mtime_ns) != (after.st_size, after.st_mtime_ns):
        raise Refused(f'{show(rel)}: changed while it was published; publish again')
    return h.digest(), size


def check_links(root, files, links, platform):
    """Problems with the input's links: only a link the Linux launcher recreates by
    itself may stand in the input, and it is left out of the release."""
    problems = []
    made_by = {}  # link path -> library paths the launcher makes it for
    if platform == 'GNU_LINUX':
        for path in files:
            if path.startswith('lib/') and '.so' in path.rsplit('/', 1)[-1]:
                for link in library_link_paths(path):
                    made_by.setdefault(link, []).append(path)
    real_root = os.path.realpath(root)
    for rel, full in sorted(links.items()):
        owners = made_by.get(rel, [])
        if len(owners) == 1 and os.path.realpath(full) == os.path.join(real_root, owners[0]):
            continue
        if len(owners) == 1:
            problems.append(f'{show(rel)}: the launcher makes this link itself, pointing at {owners[0]}, '
                            f'but here it points elsewhere ({os.readlink(full)})')
        elif len(owners) > 1:
            problems.append(f'{show(rel)}: the launcher would make this link for each of {", ".join(owners)}; '
                            'leave only one library with this version prefix')
        else:
            problems.append(f'{show(rel)}: a link; the launcher installs regular files only '
                            '(put a copy of the file here, e.g. with cp -L, or remove the link)')
    return problems


def read_input(root, edition, platform, app_rel, problems=()):
    """(app, deps {rel: file}), each file as (absolute path, lstat result of the scan), or
    raises Refused listing every problem found, those given first."""
    problems = list(problems)
    install_name = app_file_name(edition, platform)
    app_rel = app_rel or install_name
    app_inside = not (os.path.isabs(app_rel) or app_rel.startswith(('/', '\\')) or '..' in app_rel)
    if os.path.isabs(app_rel) or app_rel.startswith(('/', '\\')):
        problems.append(f'--app {show(app_rel)}: an absolute path; give the application\'s path inside {root}')
    elif '..' in app_rel:
        problems.append(f'--app {show(app_rel)}: the path holds ".."; give the application\'s path inside {root}')
    if not os.path.isdir(root):
        raise Refused('the input cannot be published:\n  ' + '\n  '.join(problems + [f'{root} is not a directory']))
    files, links, empty, found = scan(root, platform)
    problems += found + check_links(root, files, links, platform)
    if app_inside and app_rel not in files:
        problems.append(f'{show(app_rel)}: the application is missing (a regular file at this path is expected)')
    deps = {rel: full for rel, full in files.items() if rel != app_rel}
    # Windows file names ignore letter case.
    fold = str.lower if platform == 'MS_WINDOWS' else (lambda text: text)
    taken = {fold(name): name for name in LAUNCHER_FILES + (install_name,)}
    for rel in sorted(deps):
        name = taken.get(fold(rel))
        if name:
            why = 'the application is installed under this name' if name == install_name else \
                'the launcher writes this file itself after the download'
            problems.append(f'{show(rel)}: {why}')
    if platform == 'MS_WINDOWS':
        seen = {}
        for rel in sorted(files):
            key = rel.lower()
            if key in seen:
                problems.append(f'{show(rel)}: differs from {show(seen[key])} only in letter case, '
                                'and Windows would store both as one file')
            seen.setdefault(key, rel)
    if problems:
        raise Refused('the input cannot be published:\n  ' + '\n  '.join(problems))
    for directory in empty:
        print(f'publish: note: {show(directory)}/ is empty and left out (the launcher creates directories '
              'only for the files in them)', file=sys.stderr)
    if platform == 'GNU_LINUX':
        for rel, (_, info) in sorted(deps.items()):
            if info.st_mode & 0o111 and not rel.startswith('lib/'):
                print(f'publish: note: {show(rel)} is executable here but is installed without its '
                      'executable bit (the launcher makes only the application executable)', file=sys.stderr)
    return files[app_rel], deps
