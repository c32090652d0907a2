"""The test server itself: what the download and end-to-end tests rely on it to serve.

Runs the server on ephemeral ports and fetches from it with Python's own client, so a
fault here is not mistaken for a fault of the launcher.
"""

import http.client
import json
import os
import socket
import ssl
import time
import unittest

import harness
import launcher

TARGET = None


class ScenarioServer(unittest.TestCase):
    ROUTES = {
        '/cdn/app.bin': {'generate': {'size': 100000, 'seed': 3}},
        '/cdn/empty.bin': {'text': ''},
        '/cdn/raw.bin': {'base64': 'AAEC/w=='},
        '/cdn/bad.bin': {'generate': {'size': 64, 'seed': 9}, 'corrupt': True},
        '/cdn/bad-empty.bin': {'text': '', 'corrupt': True},
        '/cdn/file.bin': {'file': str(harness.SERVER)},
        '/ota/verify': {'json': {'app': {'hash': '@hash:/cdn/app.bin', 'size': '@size:/cdn/app.bin'},
                                 'bad': '@hash:/cdn/bad.bin', 'empty': '@hash:/cdn/empty.bin',
                                 'raw': '@size:/cdn/raw.bin', 'file': '@hash:/cdn/file.bin',
                                 'file_size': '@size:/cdn/file.bin', 'cdn': '@https_origin/cdn',
                                 'plain': '@http_origin/x', 'text': 'unchanged @hash'}},
        '/status': {'status': 418, 'text': 'teapot', 'headers': {'X-Kind': 'tea'}},
    }

    @classmethod
    def setUpClass(cls):
        cls.server = harness.TestServer(TARGET, {'routes': cls.ROUTES}, http_port=0).__enter__()
        cls.context = ssl.create_default_context(cafile=str(harness.cert_dir(TARGET) / 'ca.pem'))

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def fetch(self, path, method='GET', body=None, headers=None, host='ota-demo.localhost', server=None):
        port = (server or self.server).https_port
        conn = http.client.HTTPSConnection('localhost', port, context=self.context, timeout=30)
        conn.request(method, path, body=body, headers=dict(headers or {}, Host=host))
        response = conn.getresponse()
        data = response.read()
        conn.close()
        return response.status, dict(response.getheaders()), data

    def test_bodies_and_manifest_references(self):
        expected_app = harness.generated_bytes(100000, 3)
        self.assertEqual(self.fetch('/cdn/app.bin')[2], expected_app)
        self.assertEqual(self.fetch('/cdn/raw.bin')[2], b'\x00\x01\x02\xff')
        status, headers, body = self.fetch('/ota/verify', 'POST', b'{}')
        self.assertEqual((status, headers['Content-Type']), (200, 'application/json'))
        reply = json.loads(body)
        self.assertEqual(reply['app'], {'hash': harness.digest_text(expected_app), 'size': 100000})
        self.assertEqual(len(reply['app']['hash']), 43)
        self.assertEqual(reply['empty'], '47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU')
        self.assertEqual(reply['raw'], 4)
        served_file = harness.SERVER.read_bytes()
        self.assertEqual(self.fetch('/cdn/file.bin')[2], served_file)
        self.assertEqual((reply['file'], reply['file_size']), (harness.digest_text(served_file), len(served_file)))
        self.assertEqual(reply['cdn'], self.server.https_origin + '/cdn')
        self.assertEqual(reply['plain'], self.server.http_origin + '/x')
        self.assertEqual(reply['text'], 'unchanged @hash')

        # A corrupted body no longer matches the digest the manifest announces for it.
        bad = self.fetch('/cdn/bad.bin')[2]
        self.assertEqual(len(bad), 64)
        self.assertNotEqual(harness.digest_text(bad), reply['bad'])
        self.assertEqual(reply['bad'], harness.digest_text(harness.generated_bytes(64, 9)))
        self.assertEqual(self.fetch('/cdn/bad-empty.bin')[2], b'\0')

    def test_statuses_unknown_paths_and_records(self):
        status, headers, body = self.fetch('/status?q=1', 'POST', b'\x00payload', {'X-Sent': 'v'})
        self.assertEqual((status, headers['X-Kind'], body), (418, 'tea', b'teapot'))
        self.assertEqual(self.fetch('/nowhere')[:3:2], (404, b'no route'))
        recorded = [r for r in self.server.requests() if r.path == '/status'][-1]
        self.assertEqual((recorded.method, recorded.target, recorded.scheme), ('POST', '/status?q=1', 'https'))
        self.assertEqual(recorded.body, b'\x00payload')
        self.assertEqual(recorded.header('x-sent'), 'v')
        self.assertEqual(recorded.header('host'), 'ota-demo.localhost')

    def test_manifest_routes_announce_what_is_served(self):
        routes = harness.manifest_routes(app=('q.exe', {'generate': {'size': 5000, 'seed': 1}}),
                                         deps=[('d/one.dll', 'lib/one.dll', {'text': 'one'})],
                                         cdn='https://app-demo.localhost/base/cdn')
        with harness.TestServer(TARGET, {'routes': routes}) as server:
            reply = json.loads(self.fetch('/ota/verify', 'POST', b'{}', server=server)[2])
            payload = self.fetch('/base/cdn/q.exe', server=server)[2]
            dep = self.fetch('/base/cdn/d/one.dll', server=server)[2]
        self.assertEqual(reply['cdn'], 'https://app-demo.localhost/base/cdn')
        self.assertEqual(reply['app'], {'uri': 'q.exe', 'hash': harness.digest_text(payload), 'size': 5000})
        self.assertEqual(reply['deps']['entries'], [{'uri': 'd/one.dll', 'hash': harness.digest_text(dep),
                                                     'path': 'lib/one.dll', 'size': 3}])

    def ending_of(self, path, server):
        """'closed' or 'reset': how the server ends a connection after the request."""
        with socket.create_connection(('localhost', server.https_port), timeout=10) as plain:
            tls = self.context.wrap_socket(plain, server_hostname='localhost')
            tls.sendall(f'GET {path} HTTP/1.1\r\nHost: localhost\r\n\r\n'.encode())
            with socket.socket(fileno=os.dup(tls.fileno())) as raw:
                raw.settimeout(10)
                try:
                    while raw.recv(4096):
                        pass  # encrypted TLS records (session tickets); no answer comes
                except ConnectionResetError:
                    return 'reset'
            tls.close()
            return 'closed'

    def test_dropped_and_stalled_answers(self):
        body = harness.generated_bytes(3000, 2)
        routes = {'/close': {'text': 'x', 'drop': 'close'}, '/reset': {'text': 'x', 'drop': 'reset'},
                  '/pause': {'generate': {'size': 3000, 'seed': 2}, 'pause': {'after': 1000, 'seconds': 2.0}}}
        with harness.TestServer(TARGET, {'routes': routes}) as server:
            # Both end the connection without an answer: one in order, one with a reset.
            # Python's TLS layer reports a reset as a plain end, so the outcome is read
            # below TLS, from the connection itself.
            self.assertEqual(self.ending_of('/close', server), 'closed')
            self.assertEqual(self.ending_of('/reset', server), 'reset')
            self.assertEqual([r.path for r in server.requests()], ['/close', '/reset'])

            conn = http.client.HTTPSConnection('localhost', server.https_port, context=self.context, timeout=30)
            conn.request('GET', '/pause')
            response = conn.getresponse()
            started = time.monotonic()
            first = response.read(1000)
            first_at = time.monotonic() - started
            rest = response.read()
            rest_at = time.monotonic() - started
            conn.close()
        self.assertEqual(first + rest, body)
        self.assertEqual(response.getheader('Content-Length'), '3000')
        # Bounds with a second's room either way: a loaded machine is slow to read, never early.
        self.assertLess(first_at, 1.0)
        self.assertGreaterEqual(rest_at, 1.9)


    def test_framings_endless_bodies_announcements_and_rates(self):
        pattern = harness.generated_bytes(1000, 4)
        routes = {'/close': {'text': 'ends with the connection', 'framing': 'close'},
                  '/chunked': {'generate': {'size': 1000, 'seed': 4}, 'framing': 'chunked'},
                  '/endless': {'generate': {'size': 1000, 'seed': 4}, 'framing': 'close', 'endless': True},
                  '/endless-chunked': {'generate': {'size': 1000, 'seed': 4}, 'framing': 'chunked', 'endless': True},
                  '/announce': {'text': 'abc', 'announce': 10},
                  '/rate': {'generate': {'size': 3000, 'seed': 2}, 'rate': 2000}}
        with harness.TestServer(TARGET, {'routes': routes}) as server:
            def get(path):
                conn = http.client.HTTPSConnection('localhost', server.https_port, context=self.context, timeout=30)
                conn.request('GET', path)
                return conn, conn.getresponse()

            conn, response = get('/close')
            self.assertIsNone(response.getheader('Content-Length'))
            self.assertIsNone(response.getheader('Transfer-Encoding'))
            self.assertEqual(response.read(), b'ends with the connection')
            conn.close()

            conn, response = get('/chunked')
            self.assertEqual(response.getheader('Transfer-Encoding'), 'chunked')
            self.assertIsNone(response.getheader('Content-Length'))
            self.assertEqual(response.read(), pattern)
            conn.close()

            # Endless: the body's bytes again and again, as long as anyone reads.
            for path in ('/endless', '/endless-chunked'):
                conn, response = get(path)
                self.assertEqual(response.read(5500), (pattern * 6)[:5500], path)
                conn.close()

            conn, response = get('/announce')
            self.assertEqual(response.getheader('Content-Length'), '10')
            with self.assertRaises(http.client.IncompleteRead) as cut:
                response.read()
            self.assertEqual(cut.exception.partial, b'abc')
            conn.close()

            # Paced: never faster than the rate (3000 bytes at 2000 bytes a second).
            started = time.monotonic()
            conn, response = get('/rate')
            self.assertEqual(response.read(), harness.generated_bytes(3000, 2))
            self.assertGreaterEqual(time.monotonic() - started, 1.0)
            conn.close()


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
