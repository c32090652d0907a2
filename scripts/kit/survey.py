"""What a site holds, read without changing it: its releases with their manifests, what
each channel serves and since when, what each release was served until, and the content
store. status, verify and prune read the site through this."""

import dataclasses
import math
import os

from kit.names import CHANNELS
from kit.site import CONTENT_NAME, content_files, read_manifest


@dataclasses.dataclass
class Manifest:
    edition: str
    platform: str
    path: str
    manifest: dict = None
    items: list = None  # [(uri, hash, size, path)], the application first
    problem: str = None  # why the manifest cannot be read


@dataclasses.dataclass
class Release:
    name: str
    published: float  # when its first manifest was written
    manifests: list
    served_by: list  # channels serving it now
    served_until: float = None  # when a channel last stopped serving it (math.inf: now)


@dataclasses.dataclass
class Channel:
    name: str
    release: str = None
    problem: str = None
    switched: float = None
    # The history records every switch made by this kit; a link it does not explain was
    # switched before the history was kept (or by hand): its own time is all there is.
    from_history: bool = False


@dataclasses.dataclass
class Survey:
    releases: dict  # name -> Release, oldest first
    channels: dict  # name -> Channel
    content: dict  # relative name -> (absolute path, size)
    # The last switch of a channel that the history cannot explain: before it, any release
    # may have been served.
    unexplained_until: float = -math.inf

    def named(self, releases=None):
        """The content names that the readable manifests of the given releases name."""
        names = set()
        for release in (self.releases.values() if releases is None else releases):
            for manifest in release.manifests:
                names.update(uri for uri, _, _, _ in manifest.items or ())
        return names

    def stray(self):
        """Files in the content store whose names are no digest names."""
        return sorted(rel for rel in self.content if not CONTENT_NAME.fullmatch(rel))


def survey(site):
    channels = {}
    for name in CHANNELS:
        release, problem = site.channel(name)
        channels[name] = Channel(name, release, problem, site.switched_at(name))
    history = site.read_history()

    releases = {}
    for name in site.release_names():
        manifests = []
        for edition, platform, path in site.manifests(name):
            entry = Manifest(edition, platform, str(path))
            try:
                entry.manifest, entry.items = read_manifest(path)
            except (OSError, ValueError) as e:
                entry.problem = str(e)
            manifests.append(entry)
        times = [os.stat(m.path).st_mtime for m in manifests] or [os.stat(site.releases / name).st_mtime]
        served_by = [c.name for c in channels.values() if c.release == name and not c.problem]
        releases[name] = Release(name, min(times), manifests, served_by, math.inf if served_by else None)
    releases = dict(sorted(releases.items(), key=lambda item: (item[1].published, item[0])))

    for record in history:
        before = releases.get(record.get('from'))
        if before and before.served_until != math.inf:
            before.served_until = max(before.served_until or -math.inf, record['at'])
    result = Survey(releases, channels, {rel: (full, size) for rel, full, size in content_files(site)})
    for channel in channels.values():
        records = [r for r in history if r['channel'] == channel.name]
        if records and records[0].get('from') is not None:
            # What the channel served before its first recorded switch was switched to
            # before that moment, and whatever it served earlier was replaced before it.
            result.unexplained_until = max(result.unexplained_until, records[0]['at'])
        if channel.release is None and channel.problem is None:
            continue
        if records and records[-1].get('to') == channel.release:
            channel.switched, channel.from_history = records[-1]['at'], True
        elif channel.switched is not None:
            result.unexplained_until = max(result.unexplained_until, channel.switched)
    return result
