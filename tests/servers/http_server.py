#!/usr/bin/python3
"""Scriptable HTTP(S) server for the transfer tests, on 127.0.0.1 only.

Files below --root are served as they are. The behaviour of single paths is
scripted by the test through a JSON routes file (--routes), re-read whenever
it changes: {"/path": {behaviour}}. Behaviour keys, all optional:
  status      status code to answer (default 200)
  body        text of the body (default: the file below --root)
  file        absolute path of the file to send as the body
  no_length   true: no Content-Length; the body ends when the connection closes
  length      announce this Content-Length whatever the body's size
  cut_after   send this many body bytes, then close the connection
  cut_first   apply cut_after only to the first N requests for the path
  stall_after send this many body bytes, then stop sending (connection kept)
  redirect    answer 302 with this Location
  fail_first  answer 500 to the first N requests for the path
  headers     extra response headers {name: value}
  etag        the ETag sent (default for files: from size and time, as
              common servers make it); "" sends none
  last_modified  the Last-Modified sent (default for files: their time)
  ranges      false: "Range" is ignored and the whole body sent (default
              true: "Range: bytes=N-" gives 206 from N, or 416 past the end,
              unless an "If-Range" does not match the ETag/Last-Modified)
  throttle    send the body at this many bytes per second
  content_type  the Content-Type (default application/octet-stream)
  never_answer  read the request and send nothing, keeping the connection
  endless     true: after the body (none unless "body" or "file" is given),
              bytes of a fixed pattern without end; no Content-Length unless
              "length" is given
  later_from, later  from the later_from-th request for the path on, the
              keys of "later" replace those of the route
Every request is appended to --log as one JSON line (method, path, selected
request headers), so tests can count and inspect requests; when the answer
is over, a line {"done": path, "status": s, "sent": body bytes} follows.
With --tls-cert/--tls-key the server speaks HTTPS.
"""
import argparse
import json
import os
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ARGS = None
ROUTES = {}
ROUTES_MTIME = None
LOCK = threading.Lock()
COUNTS = {}


def load_routes():
    global ROUTES, ROUTES_MTIME
    if not ARGS.routes:
        return {}
    try:
        mtime = os.stat(ARGS.routes).st_mtime_ns
    except FileNotFoundError:
        return {}
    if mtime != ROUTES_MTIME:
        with open(ARGS.routes, "rb") as f:
            ROUTES = json.load(f)
        ROUTES_MTIME = mtime
    return ROUTES


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TarvTestHTTP/1"

    def log_message(self, fmt, *args):
        pass

    def record(self):
        entry = {
            "method": self.command,
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
        }
        with LOCK:
            COUNTS[self.path] = COUNTS.get(self.path, 0) + 1
            count = COUNTS[self.path]
            if ARGS.log:
                with open(ARGS.log, "a") as f:
                    f.write(json.dumps(entry) + "\n")
        return count

    def do_GET(self):
        count = self.record()
        with LOCK:
            route = dict(load_routes().get(self.path.split("?")[0], {}))
        if "later_from" in route and count >= route["later_from"]:
            route.update(route.pop("later", {}))
        if route.get("never_answer"):
            self.hold()
            return
        if "cut_first" in route and count > route["cut_first"]:
            route.pop("cut_after", None)
        if route.get("fail_first", 0) >= count:
            route = {"status": 500, "body": "<html><body>try again</body></html>"}
        if "redirect" in route:
            self.send_response(302)
            self.send_header("Location", route["redirect"])
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
        body = self.body_for(route)
        if body is None:
            body = b"<html><body><h1>404 Not Found</h1></body></html>"
            route = {}
            status = 404
        else:
            status = route.get("status", 200)
        size = None if route.get("endless") else (
            len(body) if isinstance(body, bytes) else os.path.getsize(body))
        start = 0
        if status == 200 and size is not None:
            start, status = self.range_start(route, body, size)
        self.send_response(status)
        self.send_header("Content-Type", route.get("content_type", "application/octet-stream"))
        if status == 206:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        if status == 416:
            self.send_header("Content-Range", f"bytes */{size}")
            self.send_header("Content-Length", "0")
        elif not route.get("no_length") and (size is not None or "length" in route):
            self.send_header("Content-Length", str(route.get("length", (size or 0) - start)))
        for k, v in self.validators(route, body).items():
            self.send_header(k, v)
        for k, v in route.get("headers", {}).items():
            self.send_header(k, v)
        self.send_header("Connection", "close")
        self.end_headers()
        sent = 0 if status == 416 else self.send_body(body, route, start)
        self.record_done(status, sent)

    def hold(self):
        """Keeps the connection without answering until the client leaves."""
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass
        self.close_connection = True
        self.record_done(0, 0)

    def record_done(self, status, sent):
        if ARGS.log:
            with LOCK, open(ARGS.log, "a") as f:
                f.write(json.dumps({"done": self.path, "status": status, "sent": sent}) + "\n")

    def validators(self, route, body):
        """ETag and Last-Modified of the answer, as the route or the file gives them."""
        out = {}
        etag = route.get("etag")
        modified = route.get("last_modified")
        if isinstance(body, str):
            st = os.stat(body)
            if etag is None:
                etag = '"%x-%x"' % (int(st.st_mtime), st.st_size)
            if modified is None:
                modified = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(st.st_mtime))
        if etag:
            out["ETag"] = etag
        if modified:
            out["Last-Modified"] = modified
        return out

    def range_start(self, route, body, size):
        """(first byte, status) for a request that may carry Range and If-Range."""
        wanted = self.headers.get("Range")
        if not wanted or route.get("ranges") is False:
            return 0, 200
        condition = self.headers.get("If-Range")
        if condition is not None and condition not in self.validators(route, body).values():
            return 0, 200
        if not wanted.startswith("bytes=") or not wanted.endswith("-"):
            return 0, 200
        try:
            start = int(wanted[6:-1])
        except ValueError:
            return 0, 200
        if start >= size:
            return 0, 416
        return start, 206

    def body_for(self, route):
        """bytes, or a file name to stream, or None when nothing is there."""
        if route.get("endless") and "body" not in route and "file" not in route:
            return b""
        if "body" in route:
            return route["body"].encode("latin-1")
        if "file" in route:
            return route["file"]
        rel = self.path.split("?")[0].lstrip("/")
        path = os.path.realpath(os.path.join(ARGS.root, rel))
        if not path.startswith(os.path.realpath(ARGS.root) + os.sep) or not os.path.isfile(path):
            return None
        return path

    def chunks(self, body, route, start):
        """The body from `start` on, in pieces."""
        if isinstance(body, bytes):
            yield body[start:]
        else:
            with open(body, "rb") as f:
                f.seek(start)
                while True:
                    data = f.read(65536)
                    if not data:
                        break
                    yield data
        if route.get("endless"):
            piece = bytes(range(256)) * 64
            while True:
                yield piece

    def send_body(self, body, route, start=0):
        """Sends the body as the route asks; returns the body bytes sent."""
        limit = route.get("cut_after", route.get("stall_after"))
        rate = route.get("throttle")
        sent = 0
        began = time.monotonic()
        try:
            for data in self.chunks(body, route, start):
                while data:
                    piece = data
                    if limit is not None:
                        piece = piece[:max(0, limit - sent)]
                    if rate:
                        piece = piece[:max(1, rate // 20)]
                    if not piece:
                        break
                    self.wfile.write(piece)
                    sent += len(piece)
                    data = data[len(piece):]
                    if rate:
                        self.wfile.flush()
                        ahead = sent / rate - (time.monotonic() - began)
                        if ahead > 0:
                            time.sleep(ahead)
                if limit is not None and sent >= limit:
                    break
            self.wfile.flush()
            if "stall_after" in route:
                time.sleep(route.get("stall_seconds", 3600))
            elif "cut_after" in route:
                self.connection.shutdown(socket.SHUT_RDWR)
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True
        return sent


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--routes")
    p.add_argument("--log")
    p.add_argument("--tls-cert")
    p.add_argument("--tls-key")
    ARGS = p.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    if ARGS.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(ARGS.tls_cert, ARGS.tls_key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
    tmp = ARGS.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, ARGS.port_file)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
