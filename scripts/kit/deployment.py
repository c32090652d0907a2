"""Reading a deployment file (see deploy/example.deployment), as the configure of a build
reads it: KEY = value lines; "#" at the start of a line or after a blank begins a
comment, so a note may follow a value. Every problem is listed in one go."""

import pathlib
import re

from kit.names import CHANNELS, Refused

KEYS = tuple(f'{kind}_HOST_{channel}' for kind in ('OTA', 'APP') for channel in CHANNELS) + ('CA_BUNDLE',)
_COMMENT = re.compile(r'(^|[ \t])#.*$')
_LINE = re.compile(r'([A-Z_]+)[ \t]*=[ \t]*(.*)')


def read_deployment(path):
    """{key: value} of every key, CA_BUNDLE made absolute (a relative one is read from the
    file's own directory); raises Refused listing every problem."""
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding='utf-8')
    except (OSError, UnicodeDecodeError) as e:
        raise Refused(f'deployment file {path}: {e}') from None
    values, problems = {}, []
    for number, line in enumerate(text.splitlines(), 1):
        line = _COMMENT.sub('', line).strip()
        if not line:
            continue
        match = _LINE.fullmatch(line)
        if not match:
            problems.append(f'line {number}: expected KEY = value, got "{line}"')
        elif match[1] not in KEYS:
            problems.append(f'line {number}: unknown key {match[1]} (known: {", ".join(KEYS)})')
        elif match[1] in values:
            problems.append(f'line {number}: {match[1]} is given twice')
        else:
            values[match[1]] = match[2]
    problems += [f'{key} is missing' for key in KEYS if key not in values]
    if 'CA_BUNDLE' in values:
        bundle = (path.parent / values['CA_BUNDLE']).resolve()
        if not bundle.is_file():
            problems.append(f'CA_BUNDLE "{bundle}" not found (a relative path is read from the deployment '
                            'file\'s own directory: keep the bundle beside the file)')
        values['CA_BUNDLE'] = str(bundle)
    if problems:
        raise Refused(f'deployment file {path}:\n  ' + '\n  '.join(problems))
    return values
