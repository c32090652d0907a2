"""publish status: what a site serves now, what it holds, and how much of its store no
manifest names (see scripts/publish)."""

import json
import math
import sys

from kit.site import Site, size_text, time_text
from kit.survey import survey


def status(args):
    site = Site(args.site)
    site.require()
    with site.lock(exclusive=False, read_only=True):
        found = survey(site)
    report = status_report(site, found)
    if args.json:
        json.dump(report, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write('\n')
    else:
        print_status(report)
    return 0


def status_report(site, found):
    channels = {}
    for channel in found.channels.values():
        channels[channel.name] = {
            'release': channel.release, 'problem': channel.problem,
            'switched': time_text(channel.switched) if channel.switched is not None else None,
            'switched_from': 'history' if channel.from_history else ('link' if channel.switched else None)}
    releases = []
    for release in reversed(found.releases.values()):
        manifests = []
        for m in release.manifests:
            entry = {'edition': m.edition, 'platform': m.platform, 'manifest': m.path, 'problem': m.problem}
            if m.items is not None:
                entry.update(files=len(m.items), bytes=sum(size for _, _, size, _ in m.items),
                             missing=len({uri for uri, _, _, _ in m.items if uri not in found.content}))
            manifests.append(entry)
        until = release.served_until
        releases.append({
            'name': release.name, 'published': time_text(release.published), 'served_by': release.served_by,
            'last_served': None if until is None or until == math.inf else time_text(until),
            'complete': all(m['problem'] is None and m['missing'] == 0 for m in manifests) and bool(manifests),
            'manifests': manifests})
    named = found.named()
    unnamed = [size for rel, (_, size) in found.content.items() if rel not in named]
    return {'site': str(site.root.resolve()), 'channels': channels, 'releases': releases,
            'store': {'files': len(found.content), 'bytes': sum(size for _, size in found.content.values()),
                      'unreferenced_files': len(unnamed), 'unreferenced_bytes': sum(unnamed)}}


def print_status(report):
    print(f'Site {report["site"]}')
    print('\nChannels')
    for name, channel in report['channels'].items():
        if channel['problem']:
            print(f'  {name:<5} BROKEN: {channel["problem"]}')
        elif channel['release'] is None:
            print(f'  {name:<5} nothing (its verify requests answer 404 until its first switch)')
        else:
            how = '' if channel['switched_from'] == 'history' else ' (time of its link: no switch record)'
            print(f'  {name:<5} {channel["release"]}, switched {channel["switched"]}{how}')
    print('\nReleases, newest first')
    if not report['releases']:
        print('  none')
    for release in report['releases']:
        if release['served_by']:
            served = 'served by ' + ', '.join(release['served_by'])
        elif release['last_served']:
            served = f'not served (last served until {release["last_served"]})'
        else:
            served = 'not served'
        whole = 'every file in the store' if release['complete'] else 'INCOMPLETE'
        print(f'  {release["name"]}: published {release["published"]}, {served}, {whole}')
        for m in release['manifests']:
            if m['problem']:
                print(f'    {m["edition"]:<11} {m["platform"]:<11} UNREADABLE: {m["problem"]}')
                continue
            missing = f', {m["missing"]} MISSING from the store' if m['missing'] else ''
            print(f'    {m["edition"]:<11} {m["platform"]:<11} {m["files"]} files, {size_text(m["bytes"])}{missing}')
    store = report['store']
    print(f'\nContent store: {store["files"]} files, {size_text(store["bytes"])}; named by no manifest: '
          f'{store["unreferenced_files"]} files, {size_text(store["unreferenced_bytes"])}')
