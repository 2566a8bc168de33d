#!/usr/bin/env python3
"""A local HTTP server for the language-level HTTP tests: fixed replies, redirects, slow and
broken replies and large bodies, on 127.0.0.1 and a free port.

    http_server.py PORT-FILE     writes the port to PORT-FILE once listening; runs until killed
    (or for at most ten minutes)."""
import http.server
import socketserver
import sys
import threading
import time

LARGE = b"0123456789abcdef" * (5 * 1024 * 1024 // 16)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=(), content_type="text/plain; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def echo(self):
        # The method, the headers a test looks at, then the body.
        lines = [self.command]
        for name in ("Content-Type", "Accept-Charset", "User-Agent", "Accept", "X-Test"):
            if name in self.headers:
                lines.append("%s: %s" % (name, self.headers[name]))
        text = "\n".join(lines).encode() + b"\n\n" + self.body()
        self.reply(200, text)

    def route(self):
        path = self.path
        if path == "/text":
            self.reply(200, "héllo wörld".encode(),
                       [("Set-Cookie", "a=1"), ("Set-Cookie", "b=2"), ("X-Single", "one")])
        elif path == "/lines":
            self.reply(200, b"one\r\ntwo\nthree")
        elif path == "/binary":
            self.reply(200, bytes([0, 255, 16, 128]), content_type="application/octet-stream")
        elif path == "/echo":
            self.echo()
        elif path == "/redirect":
            self.reply(302, b"moved", [("Location", "/redirect2"), ("X-First", "1")])
        elif path == "/redirect2":
            self.reply(301, b"moved", [("Location", "/text")])
        elif path == "/loop":
            self.reply(302, b"again", [("Location", "/loop")])
        elif path == "/missing":
            self.reply(404, b"not here")
        elif path == "/slow":
            time.sleep(1.5)
            self.reply(200, b"finally")
        elif path == "/large":
            self.reply(200, LARGE)
        elif path == "/broken":
            # Promises more than it sends, then hangs up.
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"only a part")
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
        elif path == "/garbage":
            self.wfile.write(b"this is no HTTP reply\r\n\r\n")
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
        elif path == "/not-utf8":
            self.reply(200, b"\xff\xfe\xfa")
        else:
            self.reply(404, b"no route")

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = route


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    timer = threading.Timer(600, server.shutdown)
    timer.daemon = True
    timer.start()
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
