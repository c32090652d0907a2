"""nginx serving a site made with scripts/publish, for the demo and the tests.

    server = nginx_site.Nginx(directory, site, deployment_file, listen='127.0.0.1:443')
    server.command          # runs nginx in the foreground (for a private network namespace)
    with server:            # or: started here, in this namespace, until the block ends
        ...

The site configuration is the kit's own (scripts/publish nginx-config, with the loopback
test certificate for *.localhost); around it goes a minimal main configuration that keeps
every file nginx writes under directory. Extra http-level directives (http_extra) let
the demo slow the transfers down so that its window can be seen.
"""

import pathlib
import signal
import socket
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import harness  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
PUBLISH = ROOT / 'scripts' / 'publish'
JS_MODULE = '/usr/lib/nginx/modules/ngx_http_js_module.so'

MAIN_CONF = """\
load_module {js_module};
# Private server of a test: its workers read the site as the user who made it.
user root;
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log {dir}/access.log;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
{http_extra}
    include {dir}/quenza-site.conf;
}}
"""


class Nginx:
    def __init__(self, directory, site, deployment, *, listen='127.0.0.1:443', content_host=None, http_extra=''):
        self.dir = pathlib.Path(directory).resolve()
        self.dir.mkdir(parents=True, exist_ok=True)
        self.listen = listen
        cert_dir = ROOT / 'build' / 'e2e-ca'
        command = ['/usr/bin/python3', str(PUBLISH), 'nginx-config', '--site', str(site), '--deployment',
                   str(deployment), '--certificate', str(cert_dir / 'server.pem'), '--key',
                   str(cert_dir / 'server.key'), '--listen', listen, '--output', str(self.dir / 'quenza-site.conf')]
        if content_host:
            command += ['--content-host', content_host]
        subprocess.run(command, check=True)
        conf = self.dir / 'nginx.conf'
        conf.write_text(MAIN_CONF.format(js_module=JS_MODULE, dir=self.dir, http_extra=http_extra), encoding='utf-8')
        self.command = ['nginx', '-p', str(self.dir), '-c', str(conf), '-e', str(self.dir / 'error.log')]
        self._process = None

    def __enter__(self):
        self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE)
        host, _, port = self.listen.rpartition(':')
        harness.wait_for_port(self._process, int(port), host or '127.0.0.1')
        return self

    def __exit__(self, *exc):
        stop(self._process)

    def error_log(self):
        path = self.dir / 'error.log'
        return path.read_text(encoding='utf-8', errors='replace') if path.exists() else ''


def stop(process):
    """Fast shutdown (SIGTERM) of the master, which ends its workers."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    if process.stderr:
        process.stderr.close()


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]

