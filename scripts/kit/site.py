"""The site directory: the content store, the releases' manifests and the channels'
links (see scripts/publish)."""

import json
import os
import pathlib
import shutil
import tempfile

from kit.input_tree import read_input
from kit.names import CHANNELS, NAME, Refused, deps_hash, digest_text, file_digest


def write_atomically(path, data):
    """Writes bytes to path through a temporary file renamed into place."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix='.tmp-')
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def content_uri(digest):
    hexname = digest.hex()
    return f'sha256/{hexname[:2]}/{hexname}'


def store(site, source, digest, size):
    """Puts a file into the content store unless it is there; True when it was new."""
    target = site / 'content' / content_uri(digest)
    if target.exists():
        # Never rewritten: the name says what the file holds, so it must already hold it.
        if file_digest(target) != (digest, size):
            raise Refused(f'the content store is damaged: {target} does not hold what its name says')
        return False
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix='.tmp-')
    try:
        with os.fdopen(fd, 'wb') as out, open(source, 'rb') as src:
            shutil.copyfileobj(src, out, 1 << 20)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, 0o644)
        # The copy is checked, so that a file changed since it was read is not published
        # under a digest it does not have.
        if file_digest(tmp) != (digest, size):
            raise Refused(f'{source} changed while it was published; publish again')
        os.replace(tmp, target)
    except BaseException:
        os.unlink(tmp)
        raise
    return True


def manifest_text(manifest):
    return (json.dumps(manifest, ensure_ascii=False, separators=(',', ':')) + '\n').encode('utf-8')


def add(args):
    site = pathlib.Path(args.site)
    release = args.release or args.tag
    if not NAME.match(release):
        raise Refused(f'release name "{release}": use letters, digits, ".", "_" and "-" (give --release)')
    if not args.cdn.startswith('https://') or args.cdn.endswith('/') or len(args.cdn) <= len('https://'):
        raise Refused(f'--cdn {args.cdn}: give the https:// URL of the content store, without a trailing slash '
                      '(the launcher adds "/" and each file\'s uri)')
    app_path, deps = read_input(args.directory, args.edition, args.platform, args.app)
    manifest_path = site / 'releases' / release / args.edition / f'{args.platform}.json'

    # Everything is read and checked before the site changes at all.
    sources = [(None, app_path)] + [(rel, deps[rel]) for rel in sorted(deps, key=lambda p: p.encode('utf-8'))]
    digests = [file_digest(full) for _, full in sources]
    (app_digest, app_size), entries = digests[0], []
    for (rel, _), (digest, size) in zip(sources[1:], digests[1:]):
        entries.append({'uri': content_uri(digest), 'hash': digest_text(digest), 'path': rel, 'size': size})
    manifest = {'code': args.code, 'tag': args.tag, 'cdn': args.cdn,
                'app': {'uri': content_uri(app_digest), 'hash': digest_text(app_digest), 'size': app_size},
                'deps': {'hash': deps_hash(entries), 'entries': entries}}
    text = manifest_text(manifest)
    if manifest_path.exists():
        if manifest_path.read_bytes() != text:
            raise Refused(f'release {release} already holds a different manifest for {args.edition} on '
                          f'{args.platform} ({manifest_path}); a release never changes once published: '
                          'publish under a new release name')
    new = sum(store(site, full, digest, size) for (_, full), (digest, size) in zip(sources, digests))
    if manifest_path.exists():
        print(f'publish: {args.edition} on {args.platform} in release {release}: already published, unchanged')
        return 0
    # Written last: a manifest is never there before its files.
    write_atomically(manifest_path, text)
    total = sum(size for _, size in digests)
    print(f'publish: {args.edition} on {args.platform} in release {release}: {len(sources)} files, '
          f'{total} bytes, {new} new in the content store')
    print(f'publish: manifest {manifest_path}')
    release_dir = os.path.realpath(site / 'releases' / release)
    live = [c for c in CHANNELS if os.path.realpath(site / 'channels' / c) == release_dir]
    if live:
        print(f'publish: served at once: release {release} is current on {", ".join(live)}')
    else:
        print(f'publish: serve it with: scripts/publish switch --site {site} <CHANNEL> {release}')
    return 0


def release_files(release_dir):
    """Every (manifest, uri) of a release."""
    for manifest_path in sorted(release_dir.glob('*/*.json')):
        manifest = json.loads(manifest_path.read_text(encoding='utf-8'))
        yield manifest_path, manifest['app']['uri']
        for entry in manifest['deps']['entries']:
            yield manifest_path, entry['uri']


def switch(args):
    site = pathlib.Path(args.site)
    if args.channel not in CHANNELS:
        raise Refused(f'channel {args.channel}: one of {", ".join(CHANNELS)}')
    if not NAME.match(args.release):
        raise Refused(f'release name "{args.release}" is not a release name')
    release_dir = site / 'releases' / args.release
    if not release_dir.is_dir():
        raise Refused(f'release {args.release} is not published in {site}')
    manifests = 0
    for manifest_path, uri in release_files(release_dir):
        manifests += 1
        if not (site / 'content' / uri).is_file():
            raise Refused(f'{manifest_path} names {uri}, which is not in the content store')
    if not manifests:
        raise Refused(f'release {args.release} holds no manifest')
    channels = site / 'channels'
    channels.mkdir(parents=True, exist_ok=True)
    link = channels / args.channel
    before = os.readlink(link) if link.is_symlink() else None
    target = f'../releases/{args.release}'
    tmp = channels / f'.{args.channel}.new'
    if tmp.is_symlink() or tmp.exists():
        tmp.unlink()
    os.symlink(target, tmp)
    # rename(2) replaces the old link in one step: a request sees the old release or
    # the new one, never none.
    os.replace(tmp, link)
    was = before.rsplit('/', 1)[-1] if before else 'nothing'
    print(f'publish: channel {args.channel}: {was} -> {args.release}')
    return 0
