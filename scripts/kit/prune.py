"""publish prune: removes old releases and the content files no remaining manifest names,
never what a launcher may still be installing (see scripts/publish).

Safe against add and switch by the site's lock: prune holds ".publish.lock" exclusively
from the moment it reads the site until its last removal, and add and switch hold it
shared for their whole run. So prune never decides while a file is being added (a
stored file that a new manifest is about to name) or a channel switched (to a release
it is about to remove); one that starts meanwhile waits, and then finds the removed
release gone and refuses rather than serving it."""

import math
import os
import shutil
import time

from kit.names import Refused
from kit.site import CONTENT_NAME, PRUNING_PREFIX, STAGING_PREFIX, Site, count, size_text, time_text
from kit.survey import survey


def prune(args):
    site = Site(args.site)
    if args.keep < 0 or args.grace < 0:
        raise Refused('--keep and --grace take numbers of zero or more')
    site.require()
    with site.lock(exclusive=not args.dry_run, read_only=args.dry_run):
        found = survey(site)
        keep, remove = plan_releases(found, args.keep, args.grace, time.time())
        content = plan_content(found, keep)
        leftovers = plan_leftovers(site, found)
        verb = 'would remove' if args.dry_run else 'remove'
        for release, why in keep:
            print(f'prune: keep {release.name}: {why}')
        for release in remove:
            print(f'prune: {verb} release {release.name} (published {time_text(release.published)}, '
                  f'{count(len(release.manifests), "manifest")})')
        for rel, _, size in content:
            print(f'prune: {verb} content/{rel} ({size} bytes)')
        for path, why in leftovers:
            print(f'prune: {verb} {path} ({why})')
        if not args.dry_run:
            carry_out(site, remove, content, leftovers)
    total = sum(size for _, _, size in content)
    done = 'would remove' if args.dry_run else 'removed'
    print(f'prune: {done} {count(len(remove), "release")} and {count(len(content), "content file")} '
          f'({size_text(total)})'
          + (' (dry run: nothing was removed)' if args.dry_run else ''))
    return 0


def plan_releases(found, keep_count, grace_hours, now):
    """([(release, why kept)], [release to remove]), newest first."""
    broken = [f'channel {c.name}: {c.problem}' for c in found.channels.values() if c.problem]
    if broken:
        raise Refused('prune cannot tell what every channel serves; mend this first (scripts/publish verify, '
                      'switch):\n  ' + '\n  '.join(broken))
    horizon = now - grace_hours * 3600
    keep, remove, recent = [], [], 0
    for release in reversed(found.releases.values()):
        until = max(release.served_until or -math.inf, found.unexplained_until)
        if release.served_by:
            keep.append((release, 'served by ' + ', '.join(release.served_by)))
        elif recent < keep_count:
            recent += 1
            keep.append((release, f'one of the {keep_count} most recent releases no channel serves'))
        elif until > horizon:
            if release.served_until == until:
                why = f'served until {time_text(until)}'
            else:
                why = (f'a channel was switched at {time_text(until)} with no record of what it served '
                       'before, and it may have been this')
            keep.append((release, f'{why}, within the grace period of {grace_hours:g} h: launchers that asked '
                                  'before the switch may still be downloading it'))
        else:
            remove.append(release)
    return keep, remove


def plan_content(found, keep):
    """[(name, path, size)] of the content files that no manifest of a kept release names."""
    unreadable = [f'{m.path}: {m.problem}' for release, _ in keep for m in release.manifests if m.problem]
    if unreadable:
        raise Refused('prune cannot tell which files these manifests of kept releases name; mend or remove '
                      'them first:\n  ' + '\n  '.join(unreadable))
    named = found.named(release for release, _ in keep)
    return [(rel, full, size) for rel, (full, size) in found.content.items()
            if CONTENT_NAME.fullmatch(rel) and rel not in named]


def plan_leftovers(site, found):
    """What interrupted runs left: an add's staging directory, a prune's renamed release,
    a temporary file in the store. Nothing runs meanwhile (the lock), so they are
    leftovers."""
    out = []
    for directory, prefix, why in ((site.root, STAGING_PREFIX, 'left by an interrupted add'),
                                   (site.releases, PRUNING_PREFIX, 'left by an interrupted prune')):
        if directory.is_dir():
            out += [(directory / e.name, why) for e in sorted(os.scandir(directory), key=lambda e: e.name)
                    if e.name.startswith(prefix)]
    out += [(site.content / rel, 'a temporary file left by an interrupted add') for rel in found.stray()
            if rel.rsplit('/', 1)[-1].startswith('.tmp-')]
    return out


def carry_out(site, remove, content, leftovers):
    # The leftovers first, so that a release renamed aside by an interrupted prune never
    # stands in the way of its namesake's rename below.
    for path, _ in leftovers:
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path, ignore_errors=True)
        else:
            path.unlink(missing_ok=True)
    # Then the releases: once a release is renamed aside no switch can choose it, and its
    # files are only removed after no kept manifest names them.
    for release in remove:
        aside = site.releases / (PRUNING_PREFIX + release.name)
        os.rename(site.releases / release.name, aside)
        shutil.rmtree(aside)
    for _, full, _ in content:
        try:
            os.unlink(full)
        except FileNotFoundError:
            pass
    for entry in os.scandir(site.content / 'sha256') if (site.content / 'sha256').is_dir() else ():
        try:
            os.rmdir(entry.path)  # only an emptied one goes
        except OSError:
            pass
