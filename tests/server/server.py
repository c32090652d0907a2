#!/usr/bin/env python3
"""Local HTTPS server for the tests, driven by a declarative scenario file.

    server.py --scenario FILE [--record FILE] [--port 443] [--http-port N]
              [--cert-dir DIR] [--cert server|other-server] [--bind 127.0.0.1]
              [--ready-file FILE] [--exit-with-stdin]

It answers every host name alike (the certificate covers localhost and *.localhost and
is served whatever name the client asks for), so one server stands for the OTA server
and the content server of any channel. Port 0 picks a free port. --http-port adds a
plain-text listener serving the same routes (for redirects that leave HTTPS).

When both listeners are bound, one line of JSON goes to standard output (and to
--ready-file, written whole and renamed into place):
    {"ready": true, "https_port": 44321, "http_port": 44322}
(http_port is null without --http-port). The server then runs until SIGTERM or SIGINT,
or with --exit-with-stdin until its standard input reaches its end, so that a server
started by a test never outlives the test, even one that is killed.

Every request is appended to the --record file as one JSON object per line, flushed:
    {"method": "POST", "path": "/ota/verify", "target": "/ota/verify?x=1", "scheme": "https",
     "time": 1765300000.25,                                  # when it arrived (Unix time)
     "headers": [["Host", "ota-demo.localhost"], ...],      # as received, in order
     "body": "...",                                          # UTF-8, undecodable bytes replaced
     "body_base64": "..."}                                   # the exact bytes

Scenario file: one JSON object.
    {"routes": {"<path>": <reply>, ...}}
A request whose path (query removed) is not listed gets 404 with the body "no route".
A <reply> is an object; every member is optional:
    "status": 200               any status code (default 200, or 302 with "redirect")
    "headers": {"Name": "v"}    extra response header fields, sent as given
    "raw_header_lines": ["x"]   lines sent verbatim in the header block (no colon needed)
    body, at most one of:
      "json": <any JSON value>  sent as compact JSON; "@hash:<path>" and "@size:<path>"
                                strings inside it become the digest text (URL-safe base64
                                of SHA-256, no padding) and the size of that route's body
      "text": "..."             sent as UTF-8 (may be invalid JSON on purpose)
      "base64": "..."           the exact bytes
      "generate": {"size": N, "seed": S}   N bytes of a fixed pattern for seed S
      "file": "/abs/path"       the bytes of that file, read when the server starts
    "redirect": "<location>"    sends a Location field (relative or absolute)
    "delay": 1.5                seconds to wait before answering
    "truncate": N               announce the full Content-Length, send only the first N
                                body bytes, then close the connection
    "corrupt": true             serve a body that differs from the declared one (last byte
                                flipped, or one byte added to an empty body); "@hash:"
                                still gives the declared body's digest
    "drop": "close" | "reset"   read the request, then end the connection without any
                                answer: closed plainly, or reset (the client sees ECONNRESET)
    "pause": {"after": N, "seconds": S}   send the first N body bytes, wait S seconds, then
                                send the rest (a transfer that stalls mid-body and resumes;
                                a long S is a stalled server)
    "framing": "length" | "close" | "chunked"   how the body's end is told: a Content-Length
                                (the default), none at all (the body ends when the server
                                closes the connection), or chunked transfer encoding
    "endless": true             the body never ends: its bytes are sent again and again
                                until the client goes away (with "close" or "chunked")
    "announce": N               send N as the Content-Length whatever the body's size, then
                                close the connection after the body
    "rate": B                   send the body (or the endless stream) at B bytes per second,
                                in pieces of a tenth of a second: slow, but steady
In every string of "json", "text", "headers" and "redirect", "@https_origin" and
"@http_origin" become "https://localhost:<port>" and "http://localhost:<port>" of the
running listeners, for scenarios on ephemeral ports.
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import pathlib
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

DEFAULT_CERT_DIR = pathlib.Path(__file__).resolve().parents[2] / 'build' / 'e2e-ca'


def digest_text(data):
    """The digest text form: URL-safe base64 of SHA-256, without padding."""
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).decode('ascii').rstrip('=')


def generated_bytes(size, seed):
    """size bytes of SHA-256(seed:counter) blocks: fixed for a seed, cheap to check."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f'{seed}:{counter}'.encode()).digest()
        counter += 1
    return bytes(out[:size])


class Scenario:
    def __init__(self, data, https_origin, http_origin):
        self.https_origin = https_origin
        self.http_origin = http_origin
        self.routes = data.get('routes', {})
        # Declared bodies of the routes that declare bytes directly; "json" bodies may
        # refer to these, so they are made first.
        self.declared = {}
        for path, reply in self.routes.items():
            body = self._plain_body(reply)
            if body is not None:
                self.declared[path] = body
        for path, reply in self.routes.items():
            if 'json' in reply:
                text = json.dumps(self._expand(reply['json']), separators=(',', ':'), ensure_ascii=False)
                self.declared[path] = text.encode('utf-8')

    def _origins(self, text):
        return text.replace('@https_origin', self.https_origin).replace('@http_origin', self.http_origin)

    def _plain_body(self, reply):
        if 'text' in reply:
            return self._origins(reply['text']).encode('utf-8')
        if 'base64' in reply:
            return base64.b64decode(reply['base64'])
        if 'generate' in reply:
            return generated_bytes(int(reply['generate']['size']), reply['generate'].get('seed', 0))
        if 'file' in reply:
            return pathlib.Path(reply['file']).read_bytes()
        if 'json' in reply:
            return None
        return b''

    def _expand(self, value):
        if isinstance(value, dict):
            return {k: self._expand(v) for k, v in value.items()}
        if isinstance(value, list):
            return [self._expand(v) for v in value]
        if isinstance(value, str):
            for prefix, make in (('@hash:', digest_text), ('@size:', len)):
                if value.startswith(prefix):
                    path = value[len(prefix):]
                    if path not in self.declared:
                        raise ValueError(f'{value}: no route {path} with bytes declared before it')
                    return make(self.declared[path])
            return self._origins(value)
        return value

    def reply_for(self, path):
        """(reply options, body bytes as served) for a path; None when no route."""
        reply = self.routes.get(path)
        if reply is None:
            return None
        body = self.declared[path]
        if reply.get('corrupt'):
            body = body[:-1] + bytes([body[-1] ^ 0xFF]) if body else b'\0'
        return reply, body


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def record(self, entry):
        if not self.path:
            return
        line = json.dumps(entry, ensure_ascii=False) + '\n'
        with self.lock, open(self.path, 'a', encoding='utf-8') as f:
            f.write(line)
            f.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'  # keep-alive, so clients may reuse connections
    server_version = 'QuenzaTestServer'
    sys_version = ''

    def log_message(self, *args):
        pass

    def _read_body(self):
        length = int(self.headers.get('Content-Length') or 0)
        return self.rfile.read(length) if length > 0 else b''

    def _serve(self):
        body_in = self._read_body()
        path = self.path.split('?', 1)[0]
        self.server.recorder.record({
            'method': self.command,
            'path': path,
            'target': self.path,
            'scheme': self.server.scheme,
            'time': time.time(),
            'headers': [[k, v] for k, v in self.headers.items()],
            'body': body_in.decode('utf-8', errors='replace'),
            'body_base64': base64.b64encode(body_in).decode('ascii'),
        })
        scenario = self.server.scenario
        found = scenario.reply_for(path)
        if found is None:
            self._answer(404, {}, [], b'no route')
            return
        reply, body = found
        if reply.get('drop'):
            self._drop(reply['drop'])
            return
        if reply.get('delay'):
            time.sleep(float(reply['delay']))
        headers = {k: scenario._origins(v) for k, v in reply.get('headers', {}).items()}
        status = int(reply.get('status', 302 if 'redirect' in reply else 200))
        if 'redirect' in reply:
            headers['Location'] = scenario._origins(reply['redirect'])
        if 'json' in reply and not any(k.lower() == 'content-type' for k in headers):
            headers['Content-Type'] = 'application/json'
        truncate = reply.get('truncate')
        if truncate is not None:
            self._answer(status, headers, reply.get('raw_header_lines', []), body, int(truncate))
            self.close_connection = True
            return
        framing = reply.get('framing', 'length')
        if 'announce' in reply or framing != 'length':
            self.close_connection = True
        self._answer(status, headers, reply.get('raw_header_lines', []), body, pause=reply.get('pause'),
                     framing=framing, endless=bool(reply.get('endless')), rate=reply.get('rate'),
                     announce=reply.get('announce'))

    def _answer(self, status, headers, raw_lines, body, send_only=None, pause=None, framing='length',
                endless=False, rate=None, announce=None):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        for line in raw_lines:
            self._headers_buffer.append(line.encode('latin-1') + b'\r\n')
        if framing == 'chunked':
            self.send_header('Transfer-Encoding', 'chunked')
        elif framing == 'length':
            self.send_header('Content-Length', str(len(body) if announce is None else int(announce)))
        self.end_headers()
        if self.command != 'HEAD':
            if send_only is not None:
                body = body[:send_only]
            try:
                self._send_body(body, chunked=framing == 'chunked', endless=endless and bool(body),
                                rate=float(rate) if rate else None, pause=pause)
            except (OSError, ValueError):
                # The client went away (an endless body is only ever ended that way).
                self.close_connection = True
                return
        self.wfile.flush()

    def _send_body(self, body, *, chunked, endless, rate, pause):
        """Writes the body in pieces: paced at rate bytes per second when given, stopping
        once for the pause, repeated forever when endless."""
        after = int(pause.get('after', 0)) if pause else None
        piece = max(1, int(rate / 10)) if rate else 256 * 1024
        sent = 0
        started = time.monotonic()

        def write(data):
            if not data:
                return
            if chunked:
                self.wfile.write(b'%x\r\n' % len(data) + data + b'\r\n')
            else:
                self.wfile.write(data)
            self.wfile.flush()

        while True:
            for offset in range(0, len(body), piece):
                data = body[offset:offset + piece]
                if after is not None and sent <= after < sent + len(data):
                    write(data[:after - sent])
                    time.sleep(float(pause.get('seconds', 0)))
                    started += float(pause.get('seconds', 0))
                    data = data[after - sent:]
                    sent = after
                    after = None
                write(data)
                sent += len(data)
                if rate:
                    delay = started + sent / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
            if after is not None and sent <= after:
                # A pause at the very end of the body (or of an empty one).
                time.sleep(float(pause.get('seconds', 0)))
                after = None
            if not endless:
                break
        if chunked:
            self.wfile.write(b'0\r\n\r\n')

    def _drop(self, how):
        """Ends the connection with no answer; "reset" makes the close send a reset."""
        self.close_connection = True
        if how == 'reset':
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            # Closed here: the server's own clean-up would first end the stream in order.
            self.wfile.close()
            self.rfile.close()
            self.connection.close()

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _serve


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, scheme, tls_context, scenario_box, recorder):
        super().__init__(address, Handler)
        self.scheme = scheme
        self.tls_context = tls_context
        self.scenario_box = scenario_box
        self.recorder = recorder

    @property
    def scenario(self):
        return self.scenario_box[0]

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread, so a client that stalls or
        # rejects the certificate holds up nobody else.
        if self.tls_context is not None:
            request.settimeout(30)
            request = self.tls_context.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # refused handshakes and dropped connections are part of the tests


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--scenario', required=True)
    parser.add_argument('--record')
    parser.add_argument('--port', type=int, default=443)
    parser.add_argument('--http-port', type=int)
    parser.add_argument('--bind', default='127.0.0.1')
    parser.add_argument('--cert-dir', default=str(DEFAULT_CERT_DIR))
    parser.add_argument('--cert', default='server', choices=['server', 'other-server'])
    parser.add_argument('--ready-file')
    parser.add_argument('--exit-with-stdin', action='store_true')
    parser.add_argument('--max-tls', choices=['1.2', '1.3'], default='1.3',
                        help='highest TLS version offered (1.2: as an older content server)')
    args = parser.parse_args()

    cert_dir = pathlib.Path(args.cert_dir)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_dir / f'{args.cert}.pem', cert_dir / f'{args.cert}.key')
    if args.max_tls == '1.2':
        context.maximum_version = ssl.TLSVersion.TLSv1_2

    recorder = Recorder(args.record)
    box = [None]
    https = Server((args.bind, args.port), 'https', context, box, recorder)
    plain = Server((args.bind, args.http_port), 'http', None, box, recorder) if args.http_port is not None else None

    https_port = https.server_address[1]
    http_port = plain.server_address[1] if plain else None
    with open(args.scenario, encoding='utf-8') as f:
        box[0] = Scenario(json.load(f), f'https://localhost:{https_port}',
                          f'http://localhost:{http_port}' if plain else '')

    for server in (https, plain):
        if server:
            threading.Thread(target=server.serve_forever, daemon=True).start()

    ready = json.dumps({'ready': True, 'https_port': https_port, 'http_port': http_port})
    if args.ready_file:
        tmp = args.ready_file + '.tmp'
        with open(tmp, 'w', encoding='utf-8') as f:
            f.write(ready + '\n')
        os.replace(tmp, args.ready_file)
    print(ready, flush=True)

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    if args.exit_with_stdin:
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            stop.set()
        threading.Thread(target=watch_stdin, daemon=True).start()
    while not stop.wait(0.2):
        pass
    # Ends at once: the watcher thread may sit in a read of standard input, whose lock
    # the interpreter's shutdown would wait a second for. Records are flushed line by line.
    sys.stdout.flush()
    os._exit(0)


if __name__ == '__main__':
    sys.exit(main())
