"""The nginx site of a deployment, from the templates in deploy/nginx/ (see
scripts/publish nginx-config)."""

import pathlib
import sys

from kit.names import CHANNELS, EDITIONS, PLATFORMS, Refused
from kit.site import write_atomically


def read_deployment(path):
    """The OTA hosts of a deployment file (KEY=value lines, see deploy/example.deployment)."""
    values = {}
    for line in pathlib.Path(path).read_text(encoding='utf-8').splitlines():
        line = line.strip()
        if not line or line.startswith('#'):
            continue
        key, sep, value = line.partition('=')
        if not sep:
            raise Refused(f'{path}: expected KEY=value, got "{line}"')
        values[key.strip()] = value.strip()
    hosts = {}
    for channel in CHANNELS:
        host = values.get(f'OTA_HOST_{channel}')
        if not host:
            raise Refused(f'{path}: OTA_HOST_{channel} is missing')
        hosts[channel] = host
    return hosts


def nginx_config(args):
    template = pathlib.Path(__file__).resolve().parents[2] / 'deploy' / 'nginx'
    site = pathlib.Path(args.site).resolve()
    hosts = read_deployment(args.deployment)
    values = {
        'SITE': str(site), 'LISTEN': args.listen, 'JS': str(template / 'quenza_ota.js'),
        'CERTIFICATE': str(pathlib.Path(args.certificate).resolve()),
        'KEY': str(pathlib.Path(args.key).resolve()),
    }
    # The verify script answers only for the names of the identity table.
    values['EDITIONS'] = ','.join(EDITIONS)
    values['PLATFORMS'] = ','.join(PLATFORMS)

    def fill(text, extra):
        for key, value in {**values, **extra}.items():
            if any(c in value for c in ' \t\n;{}"\''):
                raise Refused(f'{key.lower()} "{value}" holds a character nginx would misread')
            text = text.replace(f'@{key}@', value)
        return text

    def read(name):
        text = (template / name).read_text(encoding='utf-8')
        return text.replace('@CONTENT_LOCATION@\n', (template / 'content-location.conf.in').read_text(encoding='utf-8'))

    parts = [fill(read('site.conf.in'), {})]
    for channel, host in hosts.items():
        parts.append(fill(read('ota-server.conf.in'), {'HOST': host, 'CHANNEL': channel}))
    if args.content_host and args.content_host not in hosts.values():
        parts.append(fill(read('content-server.conf.in'), {'HOST': args.content_host}))
    text = '\n'.join(parts)
    if args.output:
        write_atomically(pathlib.Path(args.output), text.encode('utf-8'))
    else:
        sys.stdout.write(text)
    return 0
