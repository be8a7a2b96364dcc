#!/usr/bin/python3
"""A scripted HTTP server for the integration tests.

Listens on 127.0.0.1 at a free port (or --port) and writes that port into --port-file once it listens.
Every answer is chosen by the script, a JSON file (--script) that is read again at every request,
so a test can change the answers while the server runs (write a new file and rename it over the
old one). The script:

    {
      "answers": {
        "<target>": { answer },       exact request target, query included ("/a.asp?x=1")
        "<path>":   { answer },       the target without its query ("/a.asp")
        "*":        { answer }        any other target
      },
      "root_answer": { answer }       fields used for files served from --root
    }

An answer (every field optional):

    status          status code (200)
    reason          reason phrase (the usual one for the status)
    body            body text, sent as latin-1 bytes
    body_size       a body of that many pattern bytes: byte i is (i * 7 + i // 251) % 256
    file            a body read from this file under --root (path relative to it)
    headers         {"Name": "value", ...} sent after the status line
    content_length  false: no Content-Length header, the body ends when the connection closes
    delay_ms        wait before the status line
    body_delay_ms   wait between the headers and the body
    chunk_size      send the body in pieces of this many bytes (65536) ...
    chunk_delay_ms  ... with this wait before each piece (a slow server)
    close_after     send only this many body bytes, then close the connection
    stall_after     send only this many body bytes, then stall forever (never close)
    never_answer    read the request and never answer (never close)
    interim_count   send that many "HTTP/1.1 100 Continue" answers before the status line ...
    interim_delay_ms  ... with this wait before each (a server that floods interim answers)
    keep_alive      send "Connection: keep-alive" and keep the connection open for the next
                    request (the answer needs its Content-Length)
    excess          text sent past the body's end, in the same write as its last piece: more
                    than the Content-Length announced (a broken server or proxy); with
                    keep_alive the connection stays open behind it

Targets that the script does not name are served from --root when it is given (404 when the file
is missing), else answered with 404. Every request is recorded in --log before it is answered:
"R <request line>", then "H <header line>" for each header, then "E". Every accepted connection
appends one line "C" to --connections, also when it never sends a request.
The server runs until it is killed.
"""

import argparse
import http.server
import json
import os
import socketserver
import sys
import threading
import time

# The pattern repeats every 251 * 256 bytes; a byte out of place shows within any block.
PATTERN_CYCLE = 251 * 256
PATTERN = bytes(((i * 7 + i // 251) % 256) for i in range(PATTERN_CYCLE)) * 2


def pattern_bytes(offset, size):
    """The pattern body's bytes [offset, offset + size)."""
    out = bytearray()
    while size > 0:
        start = offset % PATTERN_CYCLE
        count = min(size, PATTERN_CYCLE)
        out += PATTERN[start:start + count]
        offset += count
        size -= count
    return bytes(out)


class Body:
    """A body source that yields its bytes piece by piece, never whole in memory for big ones."""

    def __init__(self, answer, root):
        self.file = None
        self.text = None
        self.pattern_size = None
        if "file" in answer:
            path = os.path.join(root or "", answer["file"])
            self.file = open(path, "rb")
            self.size = os.fstat(self.file.fileno()).st_size
        elif "body_size" in answer:
            self.pattern_size = int(answer["body_size"])
            self.size = self.pattern_size
        else:
            self.text = answer.get("body", "").encode("latin-1")
            self.size = len(self.text)

    def pieces(self, limit, chunk_size):
        sent = 0
        while sent < limit:
            count = min(chunk_size, limit - sent)
            if self.file is not None:
                data = self.file.read(count)
                if not data:
                    return
            elif self.pattern_size is not None:
                data = pattern_bytes(sent, count)
            else:
                data = self.text[sent:sent + count]
            sent += len(data)
            yield data

    def close(self):
        if self.file is not None:
            self.file.close()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "ScriptedHttpServer"

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # keeps stderr for real problems
        pass

    def parse_request(self):
        ok = super().parse_request()
        self.server.record(self.requestline, self.headers if ok else None)
        return ok

    def do_GET(self):
        self.answer(send_body=True)

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_POST(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        answer, from_root = self.server.choose(self.path)
        if answer is None:
            self.simple(404, "not scripted")
            return
        if answer.get("never_answer"):
            stall_forever()
        for _ in range(int(answer.get("interim_count", 0))):
            sleep_ms(answer.get("interim_delay_ms", 0))
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self.wfile.flush()
        sleep_ms(answer.get("delay_ms", 0))
        if from_root and "file" not in answer:
            local = self.server.root_path(self.path)
            if local is None:
                self.simple(404, "no such file")
                return
            answer = dict(answer, file=local)
        try:
            body = Body(answer, self.server.root)
        except OSError:
            self.simple(404, "no such file")
            return
        try:
            self.send_answer(answer, body, send_body)
        finally:
            body.close()

    def send_answer(self, answer, body, send_body):
        self.send_response(int(answer.get("status", 200)), answer.get("reason"))
        for name, value in answer.get("headers", {}).items():
            self.send_header(name, value)
        if answer.get("content_length", True):
            self.send_header("Content-Length", str(body.size))
        if answer.get("keep_alive"):
            self.send_header("Connection", "keep-alive")
        self.end_headers()
        self.wfile.flush()
        if not send_body:
            return
        sleep_ms(answer.get("body_delay_ms", 0))
        limit = body.size
        for cut in ("close_after", "stall_after"):
            if cut in answer:
                limit = min(limit, int(answer[cut]))
        chunk_delay = answer.get("chunk_delay_ms", 0)
        pieces = with_last(body.pieces(limit, int(answer.get("chunk_size", 65536))))
        excess = answer.get("excess", "").encode("latin-1")
        for piece, last in pieces:
            sleep_ms(chunk_delay)
            self.wfile.write(piece + excess if last else piece)
        if limit == 0:
            self.wfile.write(excess)
        self.wfile.flush()
        if "stall_after" in answer:
            stall_forever()
        # close_after and a whole body both end here: HTTP/1.0 closes the connection, unless the
        # answer keeps it.
        if answer.get("keep_alive") and "close_after" not in answer:
            self.close_connection = False

    def simple(self, status, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


def with_last(pieces):
    """The pieces, each with whether it is the last one."""
    previous = None
    for piece in pieces:
        if previous is not None:
            yield previous, False
        previous = piece
    if previous is not None:
        yield previous, True


def sleep_ms(ms):
    if ms:
        time.sleep(ms / 1000.0)


def stall_forever():
    while True:
        time.sleep(3600)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def __init__(self, args):
        super().__init__(("127.0.0.1", args.port), Handler)
        self.script_path = args.script
        self.root = args.root
        self.log_path = args.log
        self.connections_path = args.connections
        self.log_lock = threading.Lock()

    def verify_request(self, request, client_address):
        if self.connections_path:
            with self.log_lock, open(self.connections_path, "a") as log:
                log.write("C\n")
        return True

    def record(self, request_line, headers):
        if not self.log_path:
            return
        lines = ["R " + request_line]
        if headers is not None:
            for name, value in headers.items():
                lines.append("H %s: %s" % (name, value))
        lines.append("E")
        with self.log_lock, open(self.log_path, "a", encoding="latin-1") as log:
            log.write("\n".join(lines) + "\n")

    def script(self):
        if not self.script_path:
            return {}
        try:
            with open(self.script_path, encoding="utf-8") as source:
                return json.load(source)
        except (OSError, ValueError):
            return {}

    def choose(self, target):
        """The answer for target and whether it comes from the root folder; None for 404."""
        script = self.script()
        answers = script.get("answers", {})
        path = target.split("?", 1)[0]
        for key in (target, path, "*"):
            if key in answers:
                return answers[key], False
        if self.root:
            return script.get("root_answer", {}), True
        return None, False

    def root_path(self, target):
        """The file under the root folder that target names, or None."""
        path = target.split("?", 1)[0].lstrip("/")
        full = os.path.realpath(os.path.join(self.root, path))
        root = os.path.realpath(self.root)
        if not full.startswith(root + os.sep) or not os.path.isfile(full):
            return None
        return os.path.relpath(full, root)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--port", type=int, default=0, help="0: a free port")
    parser.add_argument("--script")
    parser.add_argument("--root")
    parser.add_argument("--log")
    parser.add_argument("--connections")
    args = parser.parse_args()
    server = Server(args)
    # The port file appears whole, and only once the socket listens.
    temp = args.port_file + ".tmp"
    with open(temp, "w") as out:
        out.write("%d\n" % server.server_address[1])
    os.rename(temp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
