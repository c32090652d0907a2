#!/usr/bin/env python3
"""The demo's run, once scripts/demo has built the chosen preset: the sample application
published with the operator's kit (scripts/publish) and served by nginx over TLS, and the
e2e launcher installing and starting it with its window on a display.

    scripts/demo.py --build-dir build/<preset> [--source-dir <root>]

Everything the run writes stays under <root>/build/demo/<linux|windows>/: the
application's files, the published site, nginx's configuration and logs, the launcher's
profile (HOME, or the Wine prefix), the log and the screenshot. A second run finds the
install of the first, which the launcher itself removes before it installs again.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))
import harness  # noqa: E402
import launcher  # noqa: E402
import matrix  # noqa: E402
import nginx_site  # noqa: E402
import release  # noqa: E402
import xdisplay  # noqa: E402

CONTENT_HOST = 'cdn.localhost'
CDN = f'https://{CONTENT_HOST}/content'
PROGRESS_TITLE = 'Installation de Quenza, veuillez patienter...'
ERROR_PREFIX = "Erreur d'installation de Quenza ("
# nginx sends each file at a rate that makes the whole download last about this long, so
# that the progress window stays up long enough to be seen and photographed.
DOWNLOAD_SECONDS = 3.0


def step(text):
    print(f'== {text}', flush=True)


def note(text):
    print(f'   {text}', flush=True)


def choose_display():
    """(display, Xvfb or None): the current display when a client in a private network
    namespace can open it, else an Xvfb of our own."""
    current = os.environ.get('DISPLAY')
    if current and xdisplay.display_usable(current, isolated_network=True):
        note(f'window on the current display {current}')
        return current, None
    if current:
        note(f'the display {current} cannot be opened from a private network namespace')
    server = xdisplay.XServer(xdisplay.display_candidates())
    note(f'no usable display: started Xvfb on {server.display}')
    return server.display, server


def shown(command):
    """Runs a command of the kit, showing it and what it printed; stops the demo when it
    fails."""
    print('   $ ' + ' '.join(str(c) for c in command[1:]), flush=True)
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in result.stdout.splitlines():
        print('   | ' + line)
    if result.returncode != 0:
        sys.exit(f'demo: {command[1]} failed')


def show_block(title, lines):
    step(title)
    for line in lines:
        print('   | ' + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build-dir', required=True)
    parser.add_argument('--source-dir', default=str(ROOT))
    args = parser.parse_args()

    target = launcher.Target(args.build_dir, args.source_dir)
    demo_dir = target.source_dir / 'build' / 'demo' / target.name
    demo_dir.mkdir(parents=True, exist_ok=True)
    # A name without edition or channel words: the front office on the production channel.
    file_name = 'quenza-installer' + target.exe_suffix

    edition, channel = 'QUENZA_PMS', 'PROD'
    platform = 'MS_WINDOWS' if target.windows else 'GNU_LINUX'
    step(f'the sample application\'s files for {target.name} in {demo_dir / "app-files"}')
    rel = release.make(target, demo_dir / 'sample')
    files = demo_dir / 'app-files'
    app_name = matrix.app_file(edition, target.windows)
    rel.write_tree(files, app_name)
    note(f'application {app_name} ({rel.app.size} bytes) and {len(rel.deps)} other files')
    if rel.links:
        note('lib/ also holds the library version links of a build: ' + ', '.join(sorted(rel.links)))

    site = demo_dir / 'site'
    shutil.rmtree(site, ignore_errors=True)
    step(f'published with scripts/publish into {site}')
    publish = [sys.executable, str(target.source_dir / 'scripts' / 'publish')]
    shown(publish + ['add', '--site', str(site), '--cdn', CDN, '--edition', edition, '--platform', platform,
                     '--code', release.CODE, '--tag', release.TAG, str(files)])
    shown(publish + ['switch', '--site', str(site), channel, release.TAG])

    total = rel.app.size + sum(d.size for d in rel.deps)
    rate = max(1024, int(total / DOWNLOAD_SECONDS))
    server = nginx_site.Nginx(demo_dir / 'nginx', site, target.source_dir / 'deploy' / 'loopback.deployment',
                              content_host=CONTENT_HOST, http_extra=f'    limit_rate {rate};')
    note(f'nginx site configuration (scripts/publish nginx-config): {server.dir / "quenza-site.conf"}')

    step('profile for the launcher (kept between demo runs)')
    session = harness.Session(target, directory=demo_dir / 'session')
    note(f'profile folder: {session.profile_dir}')
    ctx = matrix.Context(target, session, edition, channel)
    if ctx.new.exists() or ctx.dir.exists():
        note(f'an earlier install is there ({ctx.env_dir}): the launcher will remove it')

    step('display')
    display, xvfb = choose_display()
    handle = None
    try:
        step('nginx: TLS with the test CA, 127.0.0.1:443 in a private network namespace')
        note(f'the verify reply at https://ota-prod.localhost/ota/verify, the files below {CDN}, '
             f'at {rate} bytes/s in the demo')
        step(f'running the {target.name} e2e launcher as {file_name}' +
             (' under Wine' if target.windows else ''))
        handle = session.start(None, file_name, display=display, wait_children=True, timeout=300,
                               service=server.command)
        shot = demo_dir.parent / f'{target.name}-window.png'
        window = xdisplay.wait_for_window(display, lambda t: t == PROGRESS_TITLE or t.startswith(ERROR_PREFIX),
                                          120, alive=handle.running)
        if window:
            time.sleep(0.5)  # let it paint
            xdisplay.screenshot(display, window[0], shot)
            note(f'window "{window[1]}" {window[2]}x{window[3]}: screenshot {shot}')
        else:
            note('the window did not show up while the launcher ran')
        result = handle.wait()
        handle = None
        step(f'the launcher exited with {result.exit_code}; nginx has stopped')
    finally:
        if handle:
            handle.stop()
        if xvfb:
            xvfb.stop()
            note(f'Xvfb on {display} stopped')

    (demo_dir / 'launcher.log').write_text('\n'.join(result.stdout) + '\n', encoding='utf-8')
    show_block(f'log of the run (standard output, also in {demo_dir / "launcher.log"})', result.stdout)
    show_block('standard error', result.stderr or ['(empty)'])

    step('installed')
    note(f'application directory: {ctx.new}')
    if target.windows:
        note(f'  (in Wine: {ctx.expand("{new}")})')
    note(f'application: {ctx.new / ctx.app}')
    for name in ('quenza_hostname.cfg', 'quenza_deps_dist.sha256'):
        path = ctx.new / name
        note(f'{name}: {path.read_text(encoding="utf-8") if path.is_file() else "(missing)"}')

    record_file = ctx.new / release.RECORD_NAME
    deadline = time.monotonic() + 15
    while result.exit_code == 0 and not record_file.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    record = record_file.read_text(encoding='utf-8').splitlines() if record_file.exists() else None
    show_block(f'the sample application\'s record ({record_file})',
               record or ['(none: the application did not run)'])
    return 0 if result.exit_code == 0 and record else 1


if __name__ == '__main__':
    sys.exit(main())
