"""publish switch: a channel serves another release, in one step (see scripts/publish)."""

import os
import time

from kit.names import CHANNELS, NAME, Refused
from kit.site import Site, fsync_dir, make_dirs, read_manifest, time_text


def switch(args):
    site = Site(args.site)
    if args.channel not in CHANNELS:
        raise Refused(f'channel {args.channel!r}: one of {", ".join(CHANNELS)}')
    if not NAME.fullmatch(args.release):
        raise Refused(f'release name {args.release!r} is not a release name')
    site.require()
    with site.lock(exclusive=False), site.lock(exclusive=True, name='.switch.lock'):
        return switch_locked(site, args.channel, args.release)


def switch_locked(site, channel, release):
    if not (site.releases / release).is_dir():
        raise Refused(f'release {release} is not published in {site.root}')
    manifests = site.manifests(release)
    if not manifests:
        raise Refused(f'release {release} holds no manifest')
    problems = []
    for _, _, path in manifests:
        try:
            _, items = read_manifest(path)
        except (OSError, ValueError) as e:
            problems.append(f'{path}: {e}')
            continue
        problems += [f'{path} names {uri}, which is not in the content store'
                     for uri, _, _, _ in items if not site.content_file(uri).is_file()]
    if problems:
        raise Refused(f'release {release} cannot be served:\n  ' + '\n  '.join(problems))
    before, _ = site.channel(channel)
    if before == release:
        print(f'publish: channel {channel} already serves {release}')
        return 0
    make_dirs(site.channels)
    # The record goes first: were the switch to stop after it, prune would only keep the
    # old release longer than needed; the other way round it could remove one that
    # launchers are still downloading.
    site.append_history({'time': time_text(time.time()), 'channel': channel, 'from': before, 'to': release})
    link = site.channels / channel
    tmp = site.channels / f'.{channel}.new'
    if os.path.lexists(tmp):
        tmp.unlink()
    os.symlink(f'../releases/{release}', tmp)
    # rename(2) replaces the old link in one step: a request sees the old release or
    # the new one, never none.
    os.replace(tmp, link)
    fsync_dir(site.channels)
    print(f'publish: channel {channel}: {before or "nothing"} -> {release}')
    return 0
