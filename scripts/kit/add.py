"""publish add: a directory of application files becomes one edition and platform of a
release (see scripts/publish)."""

import os
import re
import shutil
import tempfile
import urllib.parse

from kit.input_tree import copy_input, read_input
from kit.names import CHANNELS, NAME, Refused, deps_hash, digest_text, file_digest
from kit.site import (FILE_MODE, STAGING_PREFIX, Site, content_uri, fsync_dir, make_dirs, manifest_text)

_HOST = re.compile(r'[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*')


def cdn_problem(cdn):
    """Why a manifest's "cdn" is not a URL the launcher can fetch the content store from,
    or None. The launcher fetches cdn + "/" + uri over HTTPS only, and the kit's nginx
    serves the store below /content."""
    if any(c.isspace() or not c.isprintable() for c in cdn):
        return 'holds a blank or a control character'
    parts = urllib.parse.urlsplit(cdn)
    if parts.scheme != 'https':
        return 'give an https:// URL (the launcher fetches nothing in clear text)'
    try:
        parts.port
    except ValueError:
        return 'the port is not a number'
    if parts.username is not None or not parts.hostname or not _HOST.fullmatch(parts.hostname):
        return 'give a host name after https:// (no user name)'
    if parts.query or parts.fragment or cdn.endswith(('?', '#')):
        return 'no query or fragment (the launcher appends "/" and each file\'s uri)'
    if not parts.path.endswith('/content'):
        return ('the URL of the content store ends in /content, as the kit\'s nginx serves it '
                '(https://<host>/content, no trailing slash)')
    return None


def add(args):
    site = Site(args.site)
    release = args.release or args.tag
    problems = []
    if not NAME.fullmatch(release):
        problems.append(f'release name {release!r}: use letters, digits, ".", "_" and "-", starting with a letter '
                        'or digit (give --release)')
    why = cdn_problem(args.cdn)
    if why:
        problems.append(f'--cdn {args.cdn!r}: {why}')
    app, deps = read_input(args.directory, args.edition, args.platform, args.app, problems)
    manifest_path = site.manifest_path(release, args.edition, args.platform)
    make_dirs(site.root)
    with site.lock(exclusive=False):
        live = serving(site, release)
        if live and not manifest_path.exists() and not args.live:
            raise Refused(f'release {release} is served by {", ".join(live)}: adding {args.edition} on '
                          f'{args.platform} to it would make it live at once; publish a new release and switch '
                          'to it, or give --live to add it to the served release on purpose')
        staging = make_staging(site)
        try:
            return publish(site, args, release, app, deps, manifest_path, staging)
        finally:
            shutil.rmtree(staging, ignore_errors=True)


def make_staging(site):
    """A private directory in the site (same file system as the store, so that its files
    can be linked into place); prune removes one left by an interrupted add."""
    return tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=site.root)


def serving(site, release):
    return [c for c in CHANNELS if site.channel(c)[0] == release]


def publish(site, args, release, app, deps, manifest_path, staging):
    # Every input is read once, from one descriptor, into the staging directory; the
    # store and the releases change only once every file has been read whole.
    sources = [(None, app)] + [(rel, deps[rel]) for rel in sorted(deps, key=lambda p: p.encode('utf-8'))]
    staged = []
    for number, (rel, (full, scanned)) in enumerate(sources):
        path = os.path.join(staging, str(number))
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, FILE_MODE), 'wb') as out:
            digest, size = copy_input(rel or os.path.basename(full), full, scanned, out)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(path, FILE_MODE)
        staged.append((rel, path, digest, size))

    (_, _, app_digest, app_size), entries = staged[0], []
    for rel, _, digest, size in staged[1:]:
        entries.append({'uri': content_uri(digest), 'hash': digest_text(digest), 'path': rel, 'size': size})
    manifest = {'code': args.code, 'tag': args.tag, 'cdn': args.cdn,
                'app': {'uri': content_uri(app_digest), 'hash': digest_text(app_digest), 'size': app_size},
                'deps': {'hash': deps_hash(entries), 'entries': entries}}
    text = manifest_text(manifest)
    refuse_if_different(manifest_path, text, release, args)

    new = sum(store(site, path, digest, size) for _, path, digest, size in staged)
    tmp_manifest = os.path.join(staging, 'manifest')
    with open(os.open(tmp_manifest, os.O_WRONLY | os.O_CREAT | os.O_EXCL, FILE_MODE), 'wb') as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    os.chmod(tmp_manifest, FILE_MODE)
    make_dirs(manifest_path.parent)
    # Written last: a manifest is never there before its files. A link fails where a
    # manifest exists, so of two adds under one name only one writes it; the other
    # compares bytes.
    with site.lock(exclusive=True, name='.switch.lock'):
        live = serving(site, release)
        if live and not args.live and not manifest_path.exists():
            raise Refused(f'release {release} became served by {", ".join(live)} during this add; give --live '
                          'to add to a served release')
        try:
            os.link(tmp_manifest, manifest_path)
            fsync_dir(manifest_path.parent)
        except FileExistsError:
            refuse_if_different(manifest_path, text, release, args)
            print(f'publish: {args.edition} on {args.platform} in release {release}: already published, unchanged')
            return 0
    total = sum(size for _, _, _, size in staged)
    print(f'publish: {args.edition} on {args.platform} in release {release}: {len(staged)} files, '
          f'{total} bytes, {new} new in the content store')
    print(f'publish: manifest {manifest_path}')
    if live:
        print(f'publish: served at once (--live): release {release} is current on {", ".join(live)}')
    else:
        print(f'publish: serve it with: scripts/publish switch --site {site.root} <CHANNEL> {release}')
    return 0


def refuse_if_different(manifest_path, text, release, args):
    try:
        existing = manifest_path.read_bytes()
    except FileNotFoundError:
        return
    if existing != text:
        raise Refused(f'release {release} already holds a different manifest for {args.edition} on '
                      f'{args.platform} ({manifest_path}); a release never changes once published: '
                      'publish under a new release name')


def store(site, staged, digest, size):
    """Links a staged file into the content store unless it is there; True when it was
    new. A stored file is never replaced: its name says what it holds."""
    target = site.content_file(content_uri(digest))
    make_dirs(target.parent)
    try:
        os.link(staged, target)
    except FileExistsError:
        if file_digest(target) != (digest, size):
            raise Refused(f'the content store is damaged: {target} does not hold what its name says '
                          '(scripts/publish verify lists every such file)') from None
        return False
    return True
