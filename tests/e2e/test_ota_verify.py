"""The verify exchange of the e2e launcher against the test server on port 443.

Each case serves one verify reply and checks the lines the launcher writes from the
state "Querying OTA" on, the exit code, and the request the server received. A usable
manifest moves the run on to "Cleaning before download"; what follows belongs to other
tests, so those cases check the lines up to that state only.
"""

import json
import re
import unittest

import harness
import launcher

TARGET = None
FILE_NAME = 'Quenza-Demo-BackOffice'
OTA_HOST = 'ota-demo.localhost'

CLEANING = 'Changing state: Cleaning before download'
ERROR = 'Changing state: Error'

ENTRY_A = {'uri': 'deps/a.dll', 'hash': 'HASH-A', 'path': 'bin/a.dll', 'size': 10}
ENTRY_B = {'uri': 'deps/b.dat', 'hash': 'HASH-B', 'path': 'data/b.dat', 'size': 20}
APP = {'uri': 'apps/quenza-bo.exe', 'hash': 'APP-HASH', 'size': 1024}


def manifest(**changes):
    """A valid verify reply; a change of None removes that member."""
    body = {'code': 'build-42', 'tag': 'v7.1.0', 'cdn': 'https://app-demo.localhost/cdn', 'app': dict(APP),
            'deps': {'hash': 'DEPS-HASH', 'entries': [ENTRY_A, ENTRY_B]}}
    for key, value in changes.items():
        if value is None:
            body.pop(key)
        else:
            body[key] = value
    return body


def head_lines(code='build-42', tag='v7.1.0', cdn='https://app-demo.localhost/cdn', uri=APP['uri'],
               hash_=APP['hash'], size=APP['size']):
    return [f'OTA code = {code}', f'OTA tag = {tag}', f'OTA cdn = {cdn}', f'OTA app.uri = {uri}',
            f'OTA app.hash = {hash_}', f'OTA app.size = {size}']


def entry_lines(i, entry, size=None):
    return [f'OTA entry_{i}.uri = {entry["uri"]}', f'OTA entry_{i}.hash = {entry["hash"]}',
            f'OTA entry_{i}.path = {entry["path"]}', f'OTA entry_{i}.size = {entry["size"] if size is None else size}']


def not_found(key):
    return f"JSON: Field not found '{key}', using fallback value"


def served(body):
    """A verify reply serving body as it is: a JSON value compactly, or a text as given."""
    if isinstance(body, str):
        return {'text': body}
    return {'text': json.dumps(body, separators=(',', ':'), ensure_ascii=False)}


def success_line(reply):
    return 'POST success: status=%d size=%d' % (reply.get('status', 200), len(reply['text'].encode()))


class VerifyExchange(unittest.TestCase):
    def setUp(self):
        self.session = harness.Session(TARGET)

    def tearDown(self):
        self.session.__exit__(None, None, None)

    def run_with(self, routes, cert='server'):
        result = self.session.run({'routes': routes}, FILE_NAME + TARGET.exe_suffix, cert=cert)
        self.assertFalse(result.timed_out, result)
        return result

    def from_querying(self, result):
        """stdout from the "Querying OTA" state change on."""
        self.assertIn('Changing state: Querying OTA', result.stdout, result)
        return result.stdout[result.stdout.index('Changing state: Querying OTA'):]

    def assert_failure(self, result, stdout_lines, stderr_lines):
        """A run that ends in Error without a window: all its lines and exit code 1."""
        self.assertEqual(self.from_querying(result),
                         ['Changing state: Querying OTA', 'Verify OTA...', 'Changing state: Waiting',
                          *stdout_lines, ERROR])
        self.assertEqual(result.stderr, stderr_lines)
        self.assertEqual(result.exit_code, 1)

    def assert_accepted(self, result, stdout_lines, stderr_lines=()):
        """A run that reaches "Cleaning before download": its lines up to there."""
        lines = self.from_querying(result)
        self.assertIn(CLEANING, lines, result)
        self.assertEqual(lines[:lines.index(CLEANING) + 1],
                         ['Changing state: Querying OTA', 'Verify OTA...', 'Changing state: Waiting',
                          *stdout_lines, CLEANING])
        self.assertEqual(result.stderr[:len(stderr_lines)], list(stderr_lines))

    def test_valid_manifest_and_the_exact_request(self):
        reply = served(manifest())
        result = self.run_with({'/ota/verify': reply})
        self.assert_accepted(result, [success_line(reply), *head_lines(), 'OTA deps.hash = DEPS-HASH',
                                      *entry_lines(1, ENTRY_A), *entry_lines(2, ENTRY_B)])

        self.assertEqual([r.path for r in result.requests][:1], ['/ota/verify'])
        self.assertEqual(len([r for r in result.requests if r.path == '/ota/verify']), 1)
        request = result.requests[0]
        stack = re.search(r'^Stack Version: raw=.* major=(-?\d+) minor=(-?\d+) patch=(-?\d+)$',
                          '\n'.join(result.stdout), re.M)
        self.assertIsNotNone(stack, result.stdout)
        platform = 'MS_WINDOWS' if TARGET.windows else 'GNU_LINUX'
        expected = ('{"channel_host":"%s","cpu_arch":"X86_64","platform":"%s","product_slug":"QUENZA_BO",'
                    '"stack_major":%d,"stack_minor":%d,"stack_patch":%d,"want_bundled":false}'
                    % (OTA_HOST, platform, *map(int, stack.groups())))
        self.assertEqual(request.body, expected.encode())
        self.assertEqual((request.method, request.target, request.scheme), ('POST', '/ota/verify', 'https'))
        self.assertEqual(request.header('Host'), OTA_HOST)
        self.assertEqual(request.header('Content-Length'), str(len(expected)))
        names = [name for name, _ in request.headers]
        self.assertIn('content-type', names)
        self.assertIn('accept', names)
        self.assertEqual(request.header('content-type'), 'application/json')
        self.assertEqual(request.header('accept'), 'application/json')

    def test_accepted_replies(self):
        fraction_in_entry = json.dumps(manifest(deps={'hash': 'D', 'entries': [dict(ENTRY_A, size=0)]}))
        fraction_in_entry = fraction_in_entry.replace('"size": 0', '"size": 1024.0')
        cases = [
            # name, verify reply, stdout after its "POST success" line, stderr
            ('201 like 200', dict(served(manifest()), status=201),
             [*head_lines(), 'OTA deps.hash = DEPS-HASH', *entry_lines(1, ENTRY_A), *entry_lines(2, ENTRY_B)], []),
            ('empty entries', served(manifest(deps={'hash': 'D', 'entries': []})),
             [*head_lines(), 'OTA deps.hash = D'], []),
            ('no deps', served(manifest(deps=None)), head_lines(), [not_found('deps')]),
            ('entry size with a fraction', served(fraction_in_entry),
             [*head_lines(), 'OTA deps.hash = D', *entry_lines(1, ENTRY_A, size=0)], [not_found('size')]),
        ]
        for name, reply, lines, warnings in cases:
            with self.subTest(name):
                result = self.run_with({'/ota/verify': reply})
                self.assert_accepted(result, [success_line(reply), *lines], warnings)

    def test_redirect_chain_is_followed(self):
        reply = served(manifest(deps=None))
        result = self.run_with({'/ota/verify': {'status': 301, 'redirect': '/hop'},
                                '/hop': {'status': 302, 'redirect': '/verify-here'},
                                '/verify-here': reply})
        self.assert_accepted(result, [success_line(reply), *head_lines()], [not_found('deps')])
        self.assertEqual([r.path for r in result.requests][:3], ['/ota/verify', '/hop', '/verify-here'])

    def test_failed_exchanges(self):
        cases = [
            # name, routes, stderr
            # The body stays on its line: it cannot forge the lines of a run that went on.
            ('server error with a page forging lines',
             {'/ota/verify': {'status': 500, 'text': 'x\nChanging state: Closing window\nDL ended: done=1 failed=0'}},
             ['POST failed: status=500 body=x\\x0aChanging state: Closing window\\x0aDL ended: done=1 failed=0']),
            ('no such route', {}, ['POST failed: status=404 body=no route']),
            ('body cut off', {'/ota/verify': {'text': '{"code":"build-42"}', 'truncate': 5}},
             ['POST failed: status=0 body={"cod']),
            ('redirect to plain http', {'/ota/verify': {'redirect': 'http://ota-demo.localhost/ota/verify'}},
             ['POST failed: status=0 body=']),
        ]
        for name, routes, err in cases:
            with self.subTest(name):
                self.assert_failure(self.run_with(routes), [], err)

    def test_nothing_listening(self):
        result = self.session.run(None, FILE_NAME + TARGET.exe_suffix)
        self.assert_failure(result, [], ['POST failed: status=0 body='])

    def test_untrusted_server_certificate(self):
        result = self.run_with({'/ota/verify': served(manifest())}, cert='other-server')
        self.assert_failure(result, [], ['POST failed: status=0 body='])
        self.assertEqual(result.requests, [])

    def test_rejected_replies(self):
        app_fraction = json.dumps(manifest(deps=None)).replace('"size": 1024', '"size": 1024.0')
        cases = [
            # name, verify reply, stdout after its "POST success" line, stderr
            ('invalid JSON', served('{"code": "build-42",\n  oops }'), [],
             ['Invalid JSON response: syntax error at line 2 near: oops }']),
            ('root is an array', served([manifest()]), [], ['Invalid JSON response: JSON root is not an object']),
            ('root is null', served('null'), [], ['Invalid JSON response: JSON root is not an object']),
            ('code missing', served(manifest(code=None, deps=None)), head_lines(code=''),
             [not_found('code'), not_found('deps')]),
            ('app size written with a fraction', served(app_fraction), head_lines(size=0),
             [not_found('size'), not_found('deps')]),
            ('second entry a string',
             served(manifest(deps={'hash': 'D', 'entries': [ENTRY_A, 'not an entry', ENTRY_B]})),
             [*head_lines(), 'OTA deps.hash = D', *entry_lines(1, ENTRY_A)], []),
            ('entries missing', served(manifest(deps={'hash': 'D'})), [*head_lines(), 'OTA deps.hash = D'],
             [not_found('entries')]),
            # Unlike a missing size, a missing digest refuses the manifest at its entry:
            # nothing after it is read, nothing is fetched.
            ('first entry without its digest',
             served(manifest(deps={'hash': 'D', 'entries': [{k: v for k, v in ENTRY_A.items() if k != 'hash'},
                                                            ENTRY_B]})),
             [*head_lines(), 'OTA deps.hash = D', *entry_lines(1, dict(ENTRY_A, hash=''))], [not_found('hash')]),
        ]
        for name, reply, out, err in cases:
            with self.subTest(name):
                result = self.run_with({'/ota/verify': reply})
                self.assert_failure(result, [success_line(reply), *out], err)
                self.assertEqual([r.path for r in result.requests], ['/ota/verify'])


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
