"""Reading the directory to publish: every file with its path, and every problem that
keeps it from being installed by the launcher (see scripts/publish)."""

import os
import stat
import sys
import unicodedata

from kit.names import (LAUNCHER_FILES, WINDOWS_FORBIDDEN, WINDOWS_RESERVED, Refused, app_file_name,
                       library_link_paths)


def name_problem(name, platform):
    """Why a single path component cannot be published, or None."""
    try:
        name.encode('utf-8')
    except UnicodeEncodeError:
        return 'the name is not valid UTF-8'
    if any(unicodedata.category(c) == 'Cc' for c in name):
        return 'the name holds a control character'
    if '\\' in name:
        return 'the name holds a backslash, which the launcher reads as a path separator'
    if platform == 'MS_WINDOWS':
        if WINDOWS_FORBIDDEN & set(name):
            return 'the name holds one of <>:"|?*, which Windows does not allow'
        if name.endswith(('.', ' ')):
            return 'the name ends in a dot or a blank, which Windows drops'
        if WINDOWS_RESERVED.match(name):
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
    problems): files maps a relative path ('/'-separated) to its absolute path, links
    maps a relative path to its absolute path."""
    files, links, empty, problems = {}, {}, [], []

    def walk(directory, prefix):
        entries = sorted(os.scandir(directory), key=lambda e: e.name)
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
            mode = entry.stat(follow_symlinks=False).st_mode
            if stat.S_ISLNK(mode):
                links[rel] = entry.path
            elif stat.S_ISDIR(mode):
                walk(entry.path, rel + '/')
            elif stat.S_ISREG(mode):
                files[rel] = entry.path
            else:
                problems.append(f'{show(rel)}: not a regular file, directory or link')

    walk(root, '')
    return files, links, empty, problems


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


def read_input(root, edition, platform, app_rel):
    """(app path, app relative path, deps {rel: abs}) or raises Refused with every
    problem found."""
    if not os.path.isdir(root):
        raise Refused(f'{root} is not a directory')
    install_name = app_file_name(edition, platform)
    app_rel = app_rel or install_name
    problems = []
    if os.path.isabs(app_rel) or app_rel.startswith(('/', '\\')):
        raise Refused(f'--app {app_rel}: an absolute path; give the application\'s path inside {root}')
    if '..' in app_rel:
        raise Refused(f'--app {app_rel}: the path holds ".."; give the application\'s path inside {root}')
    files, links, empty, problems = scan(root, platform)
    problems += check_links(root, files, links, platform)
    if app_rel not in files:
        problems.append(f'{app_rel}: the application is missing (a regular file at this path is expected)')
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
        for rel, full in sorted(deps.items()):
            if os.stat(full).st_mode & 0o111 and not rel.startswith('lib/'):
                print(f'publish: note: {show(rel)} is executable here but is installed without its '
                      'executable bit (the launcher makes only the application executable)', file=sys.stderr)
    return files[app_rel], deps
