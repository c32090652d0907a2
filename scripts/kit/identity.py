"""The product's names from env/identity.json, the table the launcher's build also reads
(cmake/identity.cmake checks it whole): editions, channels and platforms with their raw
names, the installed application's file names and the names of a release's copies.
Standard library only."""

import json
import pathlib

TABLE_FILE = pathlib.Path(__file__).resolve().parents[2] / 'env' / 'identity.json'
TABLE = json.loads(TABLE_FILE.read_text(encoding='utf-8'))

# Raw names, in the order of the launcher's values.
EDITIONS = tuple(e['raw'] for e in TABLE['editions'])
CHANNELS = tuple(c['raw'] for c in TABLE['channels'])
PLATFORMS = tuple(p['raw'] for p in TABLE['platforms'])
PRETTY = {entry['raw']: entry['pretty'] for section in ('editions', 'channels', 'platforms', 'processors')
          for entry in TABLE[section]}
# Edition -> platform -> the installed application's file name.
APP_FILE_NAMES = {e['raw']: dict(e['app']) for e in TABLE['editions']}
# A release's named copies: the edition's stem and the channel's suffix.
COPY_STEMS = {e['raw']: e['copy_stem'] for e in TABLE['editions']}
COPY_SUFFIXES = {c['raw']: c['copy_suffix'] for c in TABLE['channels']}
