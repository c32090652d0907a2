"""The e2e launcher against a server that sends too much or too slowly, and through a
corporate proxy: what the run writes, what it costs in memory and time, and what reached
the server. Memory and times are measured and printed (to standard error), and checked
only against bounds that a real fault would cross.

- Reply bodies: a verify reply and a payload that never end, and a payload announced
  past the launcher's bound, fail like a lost connection; the peak memory of such a run
  stays within the bound (plus the memory of an ordinary run, measured first). A verify
  reply within its bound made of millions of empty entries is refused with one line,
  its memory a bounded multiple of the reply; so is one of values the log must escape,
  whose log stays within four times the reply.
- Stalls: a payload sent slowly and steadily, with a pause shorter than a minute,
  arrives; one that stops for good fails about a minute after it stopped. The two runs
  take over a minute each, so they run side by side, once per build.
- Proxy (tinyproxy, in the run's namespace): with https_proxy set the verify request and
  the downloads go through it; a proxy that refuses the tunnel, no_proxy and a plain
  http content server behave as the README tells IT. The server then listens on
  127.0.0.2 and only the proxy knows the names there, so a run that bypassed the proxy
  would find nothing.
"""

import json
import os
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import e2e_cases  # noqa: E402
import harness  # noqa: E402
import launcher  # noqa: E402
import matrix  # noqa: E402
from e2e_cases import APP, CDN, ONE, TWO, clipped, fetched, payload, scenario  # noqa: E402
from matrix import EMPTY_DIR, START, Case, downloading, verified  # noqa: E402

TARGET = None
MIB = 1024 * 1024
VERIFY_BOUND = 16 * MIB
# A run that downloads the synthetic release and then fails to start it (the
# application payload is no program): everything went well up to the end.
STORED = downloading(3, 'Preparing execution', 'Executing app', 'Error')


def report(text):
    print(f'[{TARGET.name}] {text}', file=sys.stderr, flush=True)


def payload_bound():
    data = json.loads((TARGET.build_dir / 'e2e-deployment.json').read_text(encoding='utf-8'))
    return data['max_payload_bytes']


def memory_env():
    """Under AddressSanitizer a freed block stays resident in its quarantine, which would
    count every block a body ever grew through; without the quarantine the figures are
    comparable with the plain builds."""
    if 'ASAN_OPTIONS' not in os.environ:
        return None
    return {'ASAN_OPTIONS': os.environ['ASAN_OPTIONS'] + ':quarantine_size_mb=0'}


def endless_shown(unit, received):
    """How a failure line shows `received` bytes of `unit` sent again and again (without
    building them: the bound may be a gigabyte)."""
    kept = e2e_cases.BODY_BYTES_KEPT
    head = (unit * (kept // len(unit) + 1))[:min(received, kept)].decode()
    return head if received <= kept else head + f'[... {received - kept} bytes left out]'


def text_of(size, words):
    """size bytes of printable text (so that a log line quoting it stays one line)."""
    return (words * (size // len(words) + 1))[:size].encode('ascii')


class ReplyBounds(unittest.TestCase):
    def test_bodies_past_their_bound_fail_with_memory_near_the_bound(self):
        bound = payload_bound()
        endless = text_of(65536, 'a verify reply that never ends; ')
        head = ('{"code":"c","tag":"t","cdn":"%s","app":{"uri":"a","hash":"h","size":1},'
                '"deps":{"hash":"d","entries":[' % CDN)
        empty_entries = head + ','.join(['{}'] * ((VERIFY_BOUND - len(head) - 3) // 3)) + ']}}'
        # Every byte a DEL, which the log writes as four: each entry would log four times its size.
        dels = '\x7f' * 100
        escaped = '{"uri":"%s","hash":"%s","path":"%s","size":1}' % (dels, dels, dels)
        escaped_entries = head + ','.join([escaped] * ((VERIFY_BOUND - len(head) - 3) // (len(escaped) + 1))) + ']}}'
        cases = [
            # name, case, bytes of body the run may hold beyond an ordinary one
            ('an ordinary run', Case('an ordinary run', scenario(), states=STORED, stderr=()), 0),
            ('a verify reply without end (chunked)',
             Case('verify: endless', e2e_cases.verify_reply({'text': endless.decode(), 'framing': 'chunked',
                                                             'endless': True}),
                  states=(*START, 'Error'),
                  stderr=('POST failed: status=0 body=' + endless_shown(endless, VERIFY_BOUND),)),
             VERIFY_BOUND),
            ('a payload without end (no length)',
             Case('download: endless', scenario(application=payload(*APP[:2], endless, framing='close',
                                                                   endless=True)),
                  states=downloading(0, 'Waiting', 'Error'), stdout=('DL reply: status=0',),
                  stderr=('GET failed: status=0 body=' + endless_shown(endless, bound),),
                  requests=fetched(APP[0]), files={'{new}': EMPTY_DIR}),
             bound),
            # Parsed values cost many times their text: the parser stops at its bound.
            ('a verify reply of 16 MiB of empty entries',
             Case('verify: 16 MiB of empty entries', e2e_cases.verify_reply({'text': empty_entries}),
                  states=(*START, 'Error'),
                  stdout=('POST success: status=200 size=%d' % len(empty_entries),),
                  stderr=('Invalid JSON response: JSON document has more than 1000000 values',)),
             8 * VERIFY_BOUND),
            ('a verify reply of 16 MiB of values the log escapes',
             Case('verify: 16 MiB of escaped values', e2e_cases.verify_reply({'text': escaped_entries}),
                  states=verified('Constructing queue', 'Error'),
                  stderr=('Corrupted dist pack entry path: ' + '\\x7f' * 100,), files={'{new}': EMPTY_DIR}),
             8 * VERIFY_BOUND),
            ('a payload announced past the bound',
             Case('download: announced past', scenario(application=payload(*APP[:3], announce=bound + 1)),
                  states=downloading(0, 'Waiting', 'Error'), stderr=('GET failed: status=0 body=',),
                  files={'{new}': EMPTY_DIR}),
             0),
        ]
        with harness.Session(TARGET) as session:
            runner = matrix.Runner(self, session)
            baseline = None
            for name, case, allowed in cases:
                case.env = memory_env()
                with self.subTest(name):
                    result, _ = runner.play(case)
                    peak = result.peak_rss_kib * 1024
                    # None of these replies holds anything worth echoing at length: the
                    # log stays below the reply's own bound (a real manifest's may not).
                    logged = sum(len(line) + 1 for line in result.stdout + result.stderr)
                    self.assertLessEqual(logged, VERIFY_BOUND, f'{name}: {logged} bytes of log')
                    if baseline is None:
                        baseline = peak
                    report(f'peak RSS, {name}: {peak / MIB:.1f} MiB in {result.seconds:.1f} s '
                           f'({(peak - baseline) / MIB:+.1f} MiB against an ordinary run; bound {allowed / MIB:.0f} MiB)')
                    # Growth by plain doubling would overshoot a bound that is no power of
                    # two by a third of it; a quarter of it is the margin here.
                    self.assertLessEqual(peak - baseline, allowed + max(allowed // 4, 8 * MIB), name)


class Stalls(unittest.TestCase):
    def test_a_slow_steady_payload_arrives_and_a_stalled_one_fails_a_minute_later(self):
        slow_body = text_of(5000, 'slow but steady; ')
        stalled_body = text_of(65536, 'stalled for good; ')
        # 200 bytes a second (far below 1 KiB a second, far above 1 KiB a minute) for
        # 10 s, a pause of 50 s, then 15 s more: 75 s in all.
        slow = Case('slow but steady, with a pause under a minute',
                    scenario(application=payload(*APP[:2], slow_body, rate=200, pause={'after': 2000, 'seconds': 50}),
                             dependencies=()),
                    states=downloading(1, 'Preparing execution', 'Executing app', 'Error'), stderr=(),
                    files={'{new:{app}}': slow_body})
        # Half the body, then nothing for longer than any run may wait.
        stalled = Case('stalled', scenario(application=payload(*APP[:2], stalled_body,
                                                               pause={'after': 32768, 'seconds': 600}),
                                           dependencies=()),
                       file_name='quenza-installer-dev', channel='DEV',
                       states=downloading(0, 'Waiting', 'Error'), stdout=('DL reply: status=0',),
                       stderr=('GET failed: status=0 body=' + clipped(stalled_body[:32768].decode()),))
        # Side by side: two sessions, so that each run has its own profile and Wine prefix.
        with harness.Session(TARGET) as first, harness.Session(TARGET) as second:
            runs = []
            for session, case in ((first, slow), (second, stalled)):
                runner = matrix.Runner(self, session)
                ctx = matrix.Context(TARGET, session, case.edition, case.channel)
                handle = session.start(case.scenario, case.file_name + TARGET.exe_suffix, timeout=400)
                runs.append((runner, case, ctx, handle))
            for runner, case, ctx, handle in runs:
                with self.subTest(case.name):
                    try:
                        result = handle.wait()
                    finally:
                        handle.stop()
                    report(f'{case.name}: ended after {result.seconds:.1f} s')
                    runner.check(case, ctx, handle, result)
                    if case is stalled:
                        request = [r for r in result.requests if r.path.startswith('/cdn/')][-1]
                        waited = result.ended_at - request.time
                        report(f'stalled: failed {waited:.1f} s after the payload was asked for')
                        # The stall limit is a minute; without it the run would wait for
                        # the whole pause, or be cut only by a limit on whole transfers.
                        self.assertGreater(waited, 55)
                        self.assertLess(waited, 150)


def proxied(**options):
    """A proxy that knows the hosts at the server's address, 127.0.0.2."""
    return harness.Proxy(hosts={name: '127.0.0.2' for name in ('ota-prod.localhost', 'app-prod.localhost')},
                         **options)


class CorporateProxy(unittest.TestCase):
    PROXY = 'http://127.0.0.1:3128'

    def test_through_a_proxy_and_around_it(self):
        all_stored = fetched(APP[0], ONE[0], TWO[0])
        cases = [
            # case, the tunnels the proxy was asked for
            (Case('through the proxy', scenario(), env={'HTTPS_PROXY': self.PROXY}, proxy=proxied(),
                  server_bind='127.0.0.2', states=STORED, stderr=(), requests=all_stored),
             {'ota-prod.localhost:443', 'app-prod.localhost:443'}),
            (Case('a proxy that refuses the tunnel', scenario(), env={'https_proxy': self.PROXY},
                  proxy=proxied(config=('ConnectPort 8443',)), server_bind='127.0.0.2', states=(*START, 'Error'),
                  stderr=('POST failed: status=0 body=',), requests=()),
             {'ota-prod.localhost:443'}),
            # A proxy spoken to over TLS: the launcher trusts no certificate for a proxy, not
            # even one from its own bundle, such as the test server's here; the server
            # also stands where a run that ignored the proxy would find it.
            (Case('an https:// proxy URL', scenario(), env={'https_proxy': 'https://localhost:443'},
                  states=(*START, 'Error'), stderr=('POST failed: status=0 body=',), requests=()),
             set()),
            # "localhost" in no_proxy covers every name under it; the server is then on
            # 127.0.0.1, where only a direct connection finds it.
            (Case('no_proxy naming the hosts', scenario(), env={'https_proxy': self.PROXY, 'no_proxy': 'localhost'},
                  proxy=proxied(), states=STORED, stderr=(), requests=all_stored),
             set()),
            # HTTPS only holds with a proxy too: no plain request goes to it either.
            (Case('a plain http content server, with both proxies set', scenario(cdn='http://app-prod.localhost/cdn'),
                  env={'https_proxy': self.PROXY, 'http_proxy': self.PROXY}, proxy=proxied(),
                  server_bind='127.0.0.2', states=downloading(0, 'Waiting', 'Error'),
                  stderr=('GET failed: status=0 body=',), requests=fetched(), files={'{new}': EMPTY_DIR}),
             {'ota-prod.localhost:443'}),
        ]
        with harness.Session(TARGET) as session:
            runner = matrix.Runner(self, session)
            for case, tunnels in cases:
                with self.subTest(case.name):
                    result, _ = runner.play(case)
                    # tinyproxy logs each request it reads: "... Request (file descriptor 5): CONNECT h:443 HTTP/1.1"
                    asked = [line.split('): ', 1)[1] for line in result.proxy_log if 'Request (file descriptor' in line]
                    self.assertEqual({r.split(' ')[1] for r in asked}, tunnels, asked)
                    self.assertTrue(all(r.startswith('CONNECT ') for r in asked), asked)
                    self.assertEqual(result.proxy_log != [], case.proxy is not None)


if __name__ == '__main__':
    TARGET = launcher.parse_target()
    unittest.main()
