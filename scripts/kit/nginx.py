"""The nginx site of a deployment, from the templates in deploy/nginx/ (see
scripts/publish nginx-config)."""

import os
import pathlib
import stat
import sys
import urllib.parse

from kit.deployment import read_deployment
from kit.names import CHANNELS, EDITIONS, PLATFORMS, Refused
from kit.site import Site, read_manifest, write_atomically

TEMPLATES = pathlib.Path(__file__).resolve().parents[2] / 'deploy' / 'nginx'
NGINX_MISREADS = ' \t\n;{}"\'#$'


def verify_script_path(output):
    """The verify script sits beside the configuration that imports it, named after it, so
    that the site keeps working when the checkout it was written from moves or goes."""
    return output.with_name(output.stem + '_ota.js')


def write_verify_script(path):
    """Writes the verify endpoint's script (the one nginx imports) to path."""
    write_atomically(path, (TEMPLATES / 'quenza_ota.js').read_bytes())


def nginx_config(args):
    site = Site(pathlib.Path(args.site).resolve())
    output = pathlib.Path(args.output).resolve()
    script = verify_script_path(output)
    if output.suffix == '.js' or script == output:
        raise Refused(f'--output {output}: give the configuration file (e.g. /etc/nginx/conf.d/quenza.conf); the '
                      f'verify script is written beside it')
    deployment = read_deployment(args.deployment)
    hosts = {channel: deployment[f'OTA_HOST_{channel}'] for channel in CHANNELS}
    served = {host.lower() for host in hosts.values()} | ({args.content_host.lower()} if args.content_host else set())
    addresses = args.listen or ['443']
    problems = [f'--listen {address!r} holds a character nginx would misread' for address in addresses
                if any(c in address for c in NGINX_MISREADS) or not address]
    problems += cdn_host_problems(site, served)
    if problems:
        raise Refused('the nginx site cannot be written:\n  ' + '\n  '.join(problems))
    values = {'SITE': str(site.root), 'JS': str(script),
              'CERTIFICATE': str(pathlib.Path(args.certificate).resolve()),
              'KEY': str(pathlib.Path(args.key).resolve())}
    # The verify script answers only for the names of the identity table.
    values['EDITIONS'] = ','.join(EDITIONS)
    values['PLATFORMS'] = ','.join(PLATFORMS)
    listen = ''.join(f'    listen {address} ssl;\n' for address in addresses)

    def fill(text, extra):
        text = text.replace('    listen @LISTEN@ ssl;\n', listen)
        for key, value in {**values, **extra}.items():
            if any(c in value for c in NGINX_MISREADS):
                raise Refused(f'{key.lower()} "{value}" holds a character nginx would misread')
            text = text.replace(f'@{key}@', value)
        return text

    def read(name):
        text = (TEMPLATES / name).read_text(encoding='utf-8')
        location = (TEMPLATES / 'content-location.conf.in').read_text(encoding='utf-8')
        return text.replace('@CONTENT_LOCATION@\n', location)

    parts = [fill(read('site.conf.in'), {})]
    for channel, host in hosts.items():
        parts.append(fill(read('ota-server.conf.in'), {'HOST': host, 'CHANNEL': channel}))
    if args.content_host and args.content_host.lower() not in {h.lower() for h in hosts.values()}:
        parts.append(fill(read('content-server.conf.in'), {'HOST': args.content_host}))
    write_verify_script(script)
    write_atomically(output, '\n'.join(parts).encode('utf-8'))
    print(f'publish: nginx site {output}, importing {script}')
    for warning in unsearchable(site.root):
        print(f'publish: warning: {warning}', file=sys.stderr)
    return 0


def cdn_host_problems(site, served):
    """A manifest whose "cdn" names a host this nginx does not serve sends every launcher of
    it to a server that does not have its files."""
    problems = []
    for release in site.release_names():
        for _, _, path in site.manifests(release):
            try:
                manifest, _ = read_manifest(path)
                host = (urllib.parse.urlsplit(manifest['cdn']).hostname or '').lower()
            except (OSError, ValueError, KeyError, TypeError, AttributeError):
                continue  # scripts/publish verify reports it
            if host not in served:
                problems.append(f'{path}: its cdn host "{host}" is not served here (served: '
                                f'{", ".join(sorted(served))}; give it as --content-host)')
    return problems


def unsearchable(site):
    """Directories on the way to the site's files that nginx's user, if it is neither their
    owner nor in their group, cannot enter."""
    out = []
    paths = [*reversed(site.parents), site] + [site / name for name in ('content', 'releases', 'channels')]
    for path in paths:
        try:
            mode = os.stat(path).st_mode
        except FileNotFoundError:
            continue
        if stat.S_ISDIR(mode) and not mode & stat.S_IXOTH:
            out.append(f'{path} is mode {stat.S_IMODE(mode):o}: nginx\'s user cannot reach the site through it '
                       'unless it owns it or is in its group (chmod o+x)')
    return out
