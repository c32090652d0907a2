"""The HTTP engine against the local test server, on the build's own target.

Each case runs the http_probe tool (natively, or under Wine for the Windows build) with a
script of engine calls and checks the replies it prints and the requests the server saw.
"""

import hashlib
import json
import pathlib
import subprocess
import tempfile
import unittest

import harness
import launcher
import nginx_site

TARGET = None

ROUTES = {
    '/page': {'text': 'plain page', 'headers': {'X-Page': 'yes'}},
    '/missing': {'status': 404, 'text': '<h1>No such page</h1>', 'headers': {'X-Reason': 'gone'}},
    '/empty': {'status': 204},
    '/moved': {'status': 301, 'redirect': '/final', 'headers': {'X-First-Hop': 'one'}},
    '/hop1': {'redirect': '/hop2', 'headers': {'X-Hop': '1'}},
    '/hop2': {'status': 307, 'redirect': '/final', 'headers': {'X-Hop': '2'}},
    '/final': {'text': 'arrived', 'headers': {'X-Final': 'two'}},
    '/to-plain': {'redirect': '@http_origin/final'},
    '/headers': {'text': 'h', 'headers': {'X-Mixed-CASE': '  padded value \t', 'X-Twice': 'first'},
                 'raw_header_lines': ['X-Twice: second', 'X-Folded: start', ' continued without colon']},
    '/echo': {'text': 'ok'},
    '/slow': {'delay': 3, 'text': 'late'},
    '/cut': {'text': '0123456789abcdef', 'truncate': 5},
    '/big': {'generate': {'size': 3 * 1024 * 1024 + 7, 'seed': 5}},
    # Bodies against a bound of BOUND bytes: endless without a length and chunked, one
    # announced past the bound, and bodies of exactly the bound with and without a length.
    '/endless-close': {'generate': {'size': 65536, 'seed': 6}, 'framing': 'close', 'endless': True},
    '/endless-chunked': {'generate': {'size': 65536, 'seed': 6}, 'framing': 'chunked', 'endless': True},
    '/announced-past': {'text': 'small', 'announce': 1 << 40},
    '/at-bound': {'generate': {'size': 1 << 20, 'seed': 7}},
    '/chunked-at-bound': {'generate': {'size': 1 << 20, 'seed': 7}, 'framing': 'chunked'},
}
BOUND = 1 << 20


def probe(*steps, which='http_probe', stdin_data=b'', timeout=120):
    """Runs the probe; returns (its events in order, its stderr lines)."""
    cmd = TARGET.command(TARGET.executable(which), [str(s) for s in steps])
    # Files rather than pipes: Wine's service processes would hold a pipe open.
    with tempfile.TemporaryFile() as stdin, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        stdin.write(stdin_data)
        stdin.seek(0)
        proc = subprocess.run(cmd, env=TARGET.environment(), stdin=stdin, stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if proc.returncode != 0:
        raise AssertionError(f'probe failed ({proc.returncode}): {stderr!r}')
    events = [json.loads(line) for line in launcher.split_lines(stdout) if line.startswith('{')]
    return events, launcher.split_lines(stderr)


def replies(events):
    out = {e['id']: e for e in events if e['event'] == 'reply'}
    for e in out.values():
        e['body'] = bytes.fromhex(e['body_hex'])
    return out


class EngineAgainstServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = harness.TestServer(TARGET, {'routes': ROUTES}, http_port=0).__enter__()
        cls.origin = cls.server.https_origin

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def url(self, path):
        return self.origin + path

    def requests_to(self, path):
        return [r for r in self.server.requests() if r.path == path]

    def test_statuses_bodies_and_header_fields(self):
        events, stderr = probe('startup', 'get', self.url('/page'), 'get', self.url('/missing'),
                               'get', self.url('/empty'), 'get', self.url('/headers'), 'wait', 'shutdown')
        got = replies(events)
        self.assertEqual(stderr, [])
        cases = [
            # id, status, success, body, fields that must be there
            (1, 200, True, b'plain page', {'x-page': 'yes', 'content-length': '10'}),
            (2, 404, False, b'<h1>No such page</h1>', {'x-reason': 'gone'}),
            (3, 204, True, b'', {}),
            # names lowered, values trimmed of blanks and tabs, the last of a repeated name
            # kept, a folded continuation line (no colon) adding nothing
            (4, 200, True, b'h', {'x-mixed-case': 'padded value', 'x-twice': 'second', 'x-folded': 'start'}),
        ]
        for rid, status, success, body, fields in cases:
            with self.subTest(id=rid):
                self.assertEqual(got[rid]['status'], status)
                self.assertEqual(got[rid]['success'], success)
                self.assertEqual(got[rid]['body'], body)
                for name, value in fields.items():
                    self.assertEqual(got[rid]['headers'].get(name), value)
                for name in got[rid]['headers']:
                    self.assertEqual(name, name.lower())
        self.assertNotIn(' continued without colon', json.dumps(got[4]['headers']))

    def test_redirects_keep_only_the_final_response_fields(self):
        events, _ = probe('startup', 'get', self.url('/moved'), 'get', self.url('/hop1'), 'wait')
        got = replies(events)
        for rid in (1, 2):
            with self.subTest(id=rid):
                self.assertEqual(got[rid]['status'], 200)
                self.assertEqual(got[rid]['body'], b'arrived')
                self.assertEqual(got[rid]['headers'].get('x-final'), 'two')
                self.assertNotIn('x-first-hop', got[rid]['headers'])
                self.assertNotIn('x-hop', got[rid]['headers'])
                self.assertNotIn('location', got[rid]['headers'])

    def test_redirect_to_plain_http_is_refused(self):
        before = len([r for r in self.server.requests() if r.scheme == 'http'])
        events, _ = probe('startup', 'get', self.url('/to-plain'), 'wait')
        got = replies(events)
        self.assertEqual(got[1]['status'], 0)
        self.assertFalse(got[1]['success'])
        self.assertEqual(len([r for r in self.server.requests() if r.scheme == 'http']), before)

    def test_plain_or_missing_scheme_is_refused_before_sending(self):
        before = len(self.server.requests())
        host_and_port = self.origin[len('https://'):]
        events, stderr = probe('startup', 'get', self.server.http_origin + '/page', 'get', host_and_port + '/page',
                               'post', self.server.http_origin + '/echo', 'x', 'wait')
        got = replies(events)
        self.assertEqual([got[i]['status'] for i in (1, 2, 3)], [0, 0, 0])
        self.assertEqual(stderr, [])
        self.assertEqual(len(self.server.requests()), before, 'nothing may leave in clear text')

    def test_bodies_past_the_bound_fail_with_or_without_a_length(self):
        events, _ = probe('startup', 'limit', BOUND, 'get', self.url('/endless-close'),
                          'limit', BOUND, 'get', self.url('/endless-chunked'),
                          'limit', BOUND, 'get', self.url('/announced-past'),
                          'limit', BOUND, 'get', self.url('/at-bound'),
                          'limit', BOUND, 'get', self.url('/chunked-at-bound'), 'wait')
        got = replies(events)
        pattern = harness.generated_bytes(65536, 6) * (BOUND // 65536)
        # Stopped exactly at the bound, keeping what had arrived.
        for rid in (1, 2):
            with self.subTest(id=rid):
                self.assertEqual(got[rid]['status'], 0)
                self.assertEqual(got[rid]['body'], pattern)
        # Refused on the announcement, before any body byte.
        self.assertEqual((got[3]['status'], got[3]['body']), (0, b''))
        # The bound itself is no failure.
        for rid in (4, 5):
            with self.subTest(id=rid):
                self.assertEqual((got[rid]['status'], got[rid]['body']), (200, harness.generated_bytes(BOUND, 7)))

    def test_request_fields_and_bodies_as_sent(self):
        body = '{"a":1,"b":"x/y"}'
        events, _ = probe('startup',
                          'header', 'X-Custom-NAME', 'Some Value', 'header', 'content-TYPE', 'application/json',
                          'post', self.url('/echo') + '?with-body', body,
                          'post', self.url('/echo') + '?empty', '',
                          'get', self.url('/echo') + '?get', 'wait',
                          stdin_data=b'STANDARD INPUT MUST NOT BE SENT')
        got = replies(events)
        self.assertEqual([got[i]['status'] for i in (1, 2, 3)], [200, 200, 200])
        seen = {r.target.split('?')[1]: r for r in self.requests_to('/echo')}

        with_body = seen['with-body']
        self.assertEqual(with_body.method, 'POST')
        self.assertEqual(with_body.body, body.encode())
        self.assertEqual(with_body.header('Content-Length'), str(len(body)))
        names = [name for name, _ in with_body.headers]
        self.assertIn('x-custom-name', names)
        self.assertIn('content-type', names)
        self.assertNotIn('X-Custom-NAME', names)
        self.assertEqual(with_body.header('x-custom-name'), 'Some Value')
        self.assertEqual(with_body.header('content-type'), 'application/json')

        empty = seen['empty']
        self.assertEqual(empty.method, 'POST')
        self.assertEqual(empty.header('Content-Length'), '0')
        self.assertEqual(empty.body, b'')

        self.assertEqual(seen['get'].method, 'GET')
        self.assertEqual(seen['get'].body, b'')

    def test_failed_transfers_give_status_zero(self):
        events, _ = probe('startup', 'get', 'https://127.0.0.1:1/nothing-listens',
                          'get', self.url('/cut'), 'get', 'not a url at all', 'wait')
        got = replies(events)
        for rid in (1, 2, 3):
            with self.subTest(id=rid):
                self.assertEqual(got[rid]['status'], 0)
                self.assertFalse(got[rid]['success'])
        # A cut-off body keeps what had arrived.
        self.assertEqual(got[2]['body'], b'01234')

    def test_large_body_arrives_whole(self):
        events, _ = probe('startup', 'get', self.url('/big'), 'wait')
        got = replies(events)
        expected = harness.generated_bytes(3 * 1024 * 1024 + 7, 5)
        self.assertEqual(got[1]['status'], 200)
        self.assertEqual(len(got[1]['body']), len(expected))
        self.assertEqual(hashlib.sha256(got[1]['body']).hexdigest(), hashlib.sha256(expected).hexdigest())

    def test_send_before_startup_answers_at_once(self):
        events, stderr = probe('get', self.url('/page'), 'startup', 'shutdown', 'get', self.url('/page'))
        kinds = [(e['event'], e.get('id')) for e in events]
        # The reply comes from inside send, before it returns; after shutdown likewise.
        self.assertEqual(kinds, [('reply', 1), ('sent', 1), ('startup', None), ('shutdown', None),
                                 ('reply', 2), ('sent', 2)])
        for e in replies(events).values():
            self.assertEqual((e['status'], e['body'], e['headers']), (0, b'', {}))
        self.assertEqual(stderr, [])

    def test_startup_twice_keeps_transfers_in_flight(self):
        events, _ = probe('startup', 'get', self.url('/page'), 'startup', 'wait')
        self.assertEqual([e['ok'] for e in events if e['event'] == 'startup'], [True, True])
        self.assertEqual(replies(events)[1]['status'], 200)

    def test_shutdown_drops_transfers_in_flight_without_callback(self):
        events, _ = probe('startup', 'get', self.url('/slow'), 'pump-ms', '500', 'shutdown', 'pump-ms', '200')
        self.assertEqual([e['event'] for e in events], ['startup', 'sent', 'shutdown'])


class OlderServers(unittest.TestCase):
    def test_tls12_server_signing_with_rsa_pss(self):
        # A server limited to TLS 1.2 with an RSA key signs its key exchange with RSA-PSS
        # when the client offers it, as the engine's TLS library does.
        with harness.TestServer(TARGET, {'routes': ROUTES}, max_tls='1.2') as server:
            events, _ = probe('startup', 'get', server.https_origin + '/page', 'get',
                              server.https_origin + '/big', 'wait')
            got = replies(events)
            self.assertEqual((got[1]['status'], got[1]['body']), (200, b'plain page'))
            self.assertEqual(got[2]['status'], 200)
            self.assertEqual(hashlib.sha256(got[2]['body']).hexdigest(),
                             hashlib.sha256(harness.generated_bytes(3 * 1024 * 1024 + 7, 5)).hexdigest())


# nginx with one TLS version, AES-128-GCM for TLS 1.2 and AES-256-GCM for TLS 1.3, serving
# the files of a directory; its log line of each request names the protocol and cipher.
STATIC_NGINX_CONF = """\
user root;
daemon off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 16; }}
http {{
    log_format tls '$ssl_protocol $ssl_cipher';
    access_log {dir}/access.log tls;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {ca}/server.pem;
        ssl_certificate_key {ca}/server.key;
        ssl_protocols {protocol};
        ssl_ciphers ECDHE-RSA-AES128-GCM-SHA256;
        ssl_conf_command Ciphersuites TLS_AES_256_GCM_SHA384;
        root {dir}/files;
    }}
}}
"""


class ContentServerOfAnotherMaker(unittest.TestCase):
    def test_large_bodies_decrypted_with_aes_gcm_from_nginx(self):
        # The TLS library's AES-GCM against another implementation's, with each key size
        # and TLS version: a body of many TLS records, its last one short.
        body = harness.generated_bytes(3 * 1024 * 1024 + 7, 8)
        for protocol, cipher in (('TLSv1.2', 'ECDHE-RSA-AES128-GCM-SHA256'), ('TLSv1.3', 'TLS_AES_256_GCM_SHA384')):
            with self.subTest(protocol), tempfile.TemporaryDirectory(prefix='quenza-nginx-') as tmp:
                tmp = pathlib.Path(tmp)
                (tmp / 'files').mkdir()
                (tmp / 'files' / 'big').write_bytes(body)
                port = nginx_site.free_port()
                conf = tmp / 'nginx.conf'
                conf.write_text(STATIC_NGINX_CONF.format(dir=tmp, port=port, ca=harness.cert_dir(TARGET),
                                                         protocol=protocol), encoding='utf-8')
                server = subprocess.Popen(['nginx', '-p', str(tmp), '-c', str(conf), '-e', str(tmp / 'error.log')],
                                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                try:
                    harness.wait_for_port(server, port)
                    events, _ = probe('startup', 'get', f'https://localhost:{port}/big', 'wait')
                finally:
                    nginx_site.stop(server)
                got = replies(events)[1]
                self.assertEqual(got['status'], 200)
                self.assertEqual(hashlib.sha256(got['body']).hexdigest(), hashlib.sha256(body).hexdigest())
                self.assertEqual((tmp / 'access.log').read_text().split(), [protocol, cipher])


class UntrustedServers(unittest.TestCase):
    def test_certificate_from_another_ca_fails(self):
        with harness.TestServer(TARGET, {'routes': ROUTES}, cert='other-server') as other:
            events, _ = probe('startup', 'get', other.https_origin + '/page', 'wait')
            self.assertEqual(replies(events)[1]['status'], 0)
            self.assertEqual(other.requests(), [])

    def test_empty_root_bundle_fails_every_https_transfer(self):
        with harness.TestServer(TARGET, {'routes': ROUTES}) as server:
            events, _ = probe('startup', 'get', server.https_origin + '/page', 'wait', which='http_probe_no_ca')
            self.assertEqual(replies(events)[1]['status'], 0)
            self.assertEqual(server.requests(), [])


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
