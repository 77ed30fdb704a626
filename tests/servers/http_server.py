"""Loopback HTTP server for the transfer tests and the download benchmark.

usage: http_server.py ROOT LOG [--port N] [--tls CERT KEY]

Binds 127.0.0.1 on port N (0, the default, lets the system choose) and prints
the port it got as the first line of standard output. Every request is
appended to LOG as one line of tab-separated fields: method, path (with its
query), the client's port (equal ports: one connection), the length of the
body, then one "name: value" field per header.

What a path asks for (the query is ignored):
  /NAME                       the file ROOT/NAME with its Content-Length, an
                              ETag and a Last-Modified; a request with
                              "Range: bytes=N-" (and an If-Range that still
                              matches, when it has one) gets 206 and the
                              rest from byte N
  /norange/NAME               the file whole, whatever Range asks
  /cut/PERCENT/NAME           a request without Range gets that share of the
                              file and the connection drops; one with a
                              Range is answered as /NAME answers it (the two
                              combine: /norange/cut/60/NAME)
  /nolength/NAME              the file without Content-Length; the connection
                              closes at its end
  /auth/USER/PASSWORD/NAME    401 with a Basic challenge unless the request
                              carries those credentials
  /status/CODE                that status with a short body
  /redirect/PATH              302 to /PATH
  /drop/BYTES/NAME            announces the whole file, sends BYTES of it
                              and drops the connection
  /slow/MS/NAME               the file in 4096-byte pieces, MS milliseconds
                              apart
  /stall/MS/NAME              the headers, then nothing for MS milliseconds,
                              then the file
  POST (any path)             200 with "PATH|BODY" as its body (the bytes
                              of the request body unchanged)
"""

import argparse
import base64
import email.utils
import http.server
import os
import socket
import ssl
import sys
import threading
import time

from lifetime import exit_with_parent

LOG_LOCK = threading.Lock()


def etag_of(stat):
    return '"%x-%x"' % (stat.st_size, stat.st_mtime_ns)


def date_of(stat):
    return email.utils.formatdate(stat.st_mtime, usegmt=True)


def make_handler(root, log_path):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "KestrelTest/1.0"

        def log_message(self, format, *args):
            pass

        def log_request_line(self, body_length):
            fields = [self.command, self.path, str(self.client_address[1]), str(body_length)]
            fields += ["%s: %s" % (k, v) for k, v in self.headers.items()]
            with LOG_LOCK, open(log_path, "a", encoding="utf-8") as log:
                log.write("\t".join(f.replace("\t", " ") for f in fields) + "\n")

        def send_text(self, code, text, extra=()):
            body = text if isinstance(text, bytes) else text.encode()
            self.send_response(code)
            for name, value in extra:
                self.send_header(name, value)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def file_path(self, name):
            path = os.path.realpath(os.path.join(root, name))
            if not path.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(path):
                return None
            return path

        def wanted_range(self, stat):
            """The first byte a valid "Range: bytes=N-" asks for, else None."""
            ranges = self.headers.get("Range", "")
            if not ranges.startswith("bytes=") or not ranges.endswith("-"):
                return None
            first = ranges[len("bytes="):-1]
            if not first.isdigit() or int(first) >= stat.st_size:
                return None
            condition = self.headers.get("If-Range")
            if condition is not None and condition not in (etag_of(stat), date_of(stat)):
                return None
            return int(first)

        def send_file(self, name, with_length=True, piece_delay=0.0, limit=None, stall=0.0,
                      ranges=True, cut_percent=None):
            path = self.file_path(name)
            if path is None:
                self.send_text(404, "not found: %s\n" % name)
                return
            stat = os.stat(path)
            size = stat.st_size
            first = self.wanted_range(stat) if ranges else None
            if cut_percent is not None and "Range" not in self.headers:
                limit = size * cut_percent // 100
            if first is None:
                self.send_response(200)
                first = 0
            else:
                self.send_response(206)
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, size - 1, size))
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("ETag", etag_of(stat))
            self.send_header("Last-Modified", date_of(stat))
            if with_length:
                self.send_header("Content-Length", str(size - first))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            if self.command == "HEAD":
                return
            self.wfile.flush()
            if stall:
                time.sleep(stall)
            with open(path, "rb") as f:
                f.seek(first)
                if piece_delay == 0.0 and limit is None and not isinstance(self.connection, ssl.SSLSocket):
                    self.connection.sendfile(f, first)
                    return
                sent = 0
                while True:
                    want = 4096 if piece_delay else 1 << 16
                    if limit is not None:
                        want = min(want, limit - sent)
                        if want <= 0:
                            break
                    piece = f.read(want)
                    if not piece:
                        break
                    self.wfile.write(piece)
                    sent += len(piece)
                    if piece_delay:
                        time.sleep(piece_delay)
            if limit is not None:
                # Cut the connection without a proper close of the body.
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
                self.close_connection = True

        def do_GET(self):
            self.log_request_line(0)
            path = self.path.split("?", 1)[0]
            parts = path.lstrip("/").split("/")
            kind = parts[0]
            if kind == "nolength" and len(parts) >= 2:
                self.send_file("/".join(parts[1:]), with_length=False)
            elif kind == "auth" and len(parts) >= 4:
                expected = "Basic " + base64.b64encode(("%s:%s" % (parts[1], parts[2])).encode()).decode()
                if self.headers.get("Authorization") != expected:
                    self.send_text(401, "authorisation required\n",
                                   [("WWW-Authenticate", 'Basic realm="kestrel"')])
                else:
                    self.send_file("/".join(parts[3:]))
            elif kind == "status" and len(parts) == 2 and parts[1].isdigit():
                self.send_text(int(parts[1]), "status %s\n" % parts[1])
            elif kind == "redirect" and len(parts) >= 2:
                self.send_text(302, "moved\n", [("Location", "/" + "/".join(parts[1:]))])
            elif kind == "drop" and len(parts) >= 3 and parts[1].isdigit():
                self.send_file("/".join(parts[2:]), limit=int(parts[1]))
            elif kind in ("norange", "cut"):
                options = {}
                while parts and (parts[0] == "norange" or
                                 (parts[0] == "cut" and len(parts) > 1 and parts[1].isdigit())):
                    if parts[0] == "norange":
                        options["ranges"] = False
                        parts = parts[1:]
                    else:
                        options["cut_percent"] = int(parts[1])
                        parts = parts[2:]
                self.send_file("/".join(parts), **options)
            elif kind == "slow" and len(parts) >= 3 and parts[1].isdigit():
                self.send_file("/".join(parts[2:]), piece_delay=int(parts[1]) / 1000.0)
            elif kind == "stall" and len(parts) >= 3 and parts[1].isdigit():
                self.send_file("/".join(parts[2:]), stall=int(parts[1]) / 1000.0)
            else:
                self.send_file(path.lstrip("/"))

        do_HEAD = do_GET

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length) if length else b""
            self.log_request_line(len(body))
            self.send_text(200, self.path.encode() + b"|" + body)

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("log")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = parser.parse_args()
    exit_with_parent()

    server = Server(("127.0.0.1", args.port), make_handler(args.root, args.log))
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
