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
  endless     true: no Content-Length; after the body, bytes without end
  headers     extra response headers {name: value}
  throttle    send the body at this many bytes per second
  content_type  the Content-Type (default application/octet-stream)
Every request is appended to --log as one JSON line (method, path, selected
request headers), so tests can count and inspect requests.
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
            self.send_response(404)
            body = b"<html><body><h1>404 Not Found</h1></body></html>"
            route = {}
        else:
            self.send_response(route.get("status", 200))
        self.send_header("Content-Type", route.get("content_type", "application/octet-stream"))
        if not route.get("no_length") and not route.get("endless"):
            self.send_header("Content-Length", str(route.get("length", len(body) if isinstance(body, bytes) else os.path.getsize(body))))
        for k, v in route.get("headers", {}).items():
            self.send_header(k, v)
        self.send_header("Connection", "close")
        self.end_headers()
        self.send_body(body, route)

    def body_for(self, route):
        """bytes, or a file name to stream, or None when nothing is there."""
        if "body" in route:
            return route["body"].encode("latin-1")
        if "file" in route:
            return route["file"]
        rel = self.path.split("?")[0].lstrip("/")
        path = os.path.realpath(os.path.join(ARGS.root, rel))
        if not path.startswith(os.path.realpath(ARGS.root) + os.sep) or not os.path.isfile(path):
            return None
        return path

    def send_body(self, body, route):
        limit = route.get("cut_after", route.get("stall_after"))
        try:
            if "throttle" in route:
                self.send_slowly(body, route["throttle"], limit)
            elif isinstance(body, bytes):
                self.wfile.write(body if limit is None else body[:limit])
            else:
                with open(body, "rb") as f:
                    if limit is None:
                        self.wfile.flush()
                        self.connection.sendfile(f)
                    else:
                        self.wfile.write(f.read(limit))
            self.wfile.flush()
            while route.get("endless"):
                self.wfile.write(b"\x5a" * 65536)
            if "stall_after" in route:
                time.sleep(route.get("stall_seconds", 3600))
            elif "cut_after" in route:
                self.connection.shutdown(socket.SHUT_RDWR)
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True


    def send_slowly(self, body, rate, limit):
        """The body in tenths of a second, rate / 10 bytes each."""
        data = body if isinstance(body, bytes) else open(body, "rb").read()
        if limit is not None:
            data = data[:limit]
        chunk = max(1, rate // 10)
        for at in range(0, len(data), chunk):
            self.wfile.write(data[at:at + chunk])
            self.wfile.flush()
            time.sleep(0.1)


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
