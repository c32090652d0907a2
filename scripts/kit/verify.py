"""publish verify: proves a site whole, reading every byte of its content store (see
scripts/publish)."""

import hashlib
import sys
import time

from kit.add import cdn_problem
from kit.names import EDITIONS, PLATFORMS, deps_hash, digest_text
from kit.site import CONTENT_NAME, Site, count, size_text
from kit.survey import survey

# How often progress is shown: in place on a terminal, as a line of its own in a log.
TERMINAL_EVERY = 0.5
LOG_EVERY = 10.0


def verify(args):
    site = Site(args.site)
    site.require()
    with site.lock(exclusive=False, read_only=True):
        found = survey(site)
        problems = channel_problems(found) + manifest_problems(found)
        problems += content_problems(found)
    for problem in problems:
        print(f'verify: {problem}')
    manifests = sum(len(r.manifests) for r in found.releases.values())
    serving = sum(c.release is not None for c in found.channels.values())
    summary = (f'{count(len(found.content), "content file")} '
               f'({size_text(sum(s for _, s in found.content.values()))}), {count(len(found.releases), "release")}, '
               f'{count(manifests, "manifest")}, {count(serving, "channel")} serving')
    if problems:
        print(f'verify: {count(len(problems), "problem")} in {summary}')
        return 1
    print(f'verify: no problem in {summary}')
    return 0


def channel_problems(found):
    return [f'channel {c.name}: {c.problem}' for c in found.channels.values() if c.problem]


def manifest_problems(found):
    problems = []
    for release in found.releases.values():
        if not release.manifests:
            problems.append(f'release {release.name} holds no manifest')
        for m in release.manifests:
            if m.edition not in EDITIONS or m.platform not in PLATFORMS:
                problems.append(f'{m.path}: not a known edition and platform, so never served')
            if m.problem:
                problems.append(f'{m.path}: {m.problem}')
                continue
            cdn = m.manifest.get('cdn')
            why = cdn_problem(cdn) if isinstance(cdn, str) else 'missing or not a string'
            if why:
                problems.append(f'{m.path}: "cdn": {why}')
            for uri, digest, size, path in m.items:
                name = path or 'the application'
                if digest != digest_text(bytes.fromhex(uri.rsplit('/', 1)[1])):
                    problems.append(f'{m.path}: {name}: its hash does not match its uri {uri}')
                stored = found.content.get(uri)
                if stored is None:
                    problems.append(f'{m.path}: {name}: {uri} is not in the content store')
                elif stored[1] != size:
                    problems.append(f'{m.path}: {name}: size {size}, but the stored {uri} holds {stored[1]} bytes')
            entries = [{'path': path, 'hash': digest} for _, digest, _, path in m.items[1:]]
            if m.manifest['deps'].get('hash') != deps_hash(entries):
                problems.append(f'{m.path}: deps.hash does not match its entries')
    return problems


def content_problems(found):
    problems = [f'content/{rel}: not named by a digest (content/sha256/<2 hex>/<64 hex>)' for rel in found.stray()]
    files = [(rel, full, size) for rel, (full, size) in found.content.items() if CONTENT_NAME.fullmatch(rel)]
    total = sum(size for _, _, size in files)
    progress = Progress(len(files), total)
    for rel, full, size in files:
        h = hashlib.sha256()
        try:
            with open(full, 'rb') as f:
                while chunk := f.read(1 << 20):
                    h.update(chunk)
                    progress.read(len(chunk))
        except OSError as e:
            problems.append(f'content/{rel}: cannot be read ({e.strerror})')
        else:
            if h.hexdigest() != rel.rsplit('/', 1)[1]:
                problems.append(f'content/{rel}: DAMAGED, its bytes do not have the digest its name says')
        progress.file_done()
    progress.close()
    return problems


class Progress:
    """Files and bytes read so far, on standard error, at most every few seconds."""

    def __init__(self, files, total):
        self.files, self.total = files, total
        self.done_files = self.done_bytes = 0
        self.terminal = sys.stderr.isatty()
        self.every = TERMINAL_EVERY if self.terminal else LOG_EVERY
        self.next = time.monotonic() + self.every
        self.shown = False

    def read(self, count):
        self.done_bytes += count
        self.maybe_show()

    def file_done(self):
        self.done_files += 1
        self.maybe_show()

    def maybe_show(self):
        now = time.monotonic()
        if now < self.next:
            return
        self.next = now + self.every
        share = 100 * self.done_bytes // self.total if self.total else 100
        text = (f'verify: read {self.done_files} of {self.files} files, {size_text(self.done_bytes)} of '
                f'{size_text(self.total)} ({share} %)')
        sys.stderr.write(f'\r{text}\033[K' if self.terminal else text + '\n')
        sys.stderr.flush()
        self.shown = True

    def close(self):
        if self.terminal and self.shown:
            sys.stderr.write('\n')
