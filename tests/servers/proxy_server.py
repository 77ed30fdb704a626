"""Loopback HTTP forward proxy that demands credentials, for the transfer tests.

usage: proxy_server.py USER PASSWORD LOG

Binds port 0 on 127.0.0.1 and prints the port as the first line of standard
output. A request without the right Basic Proxy-Authorization gets 407 with
a Basic challenge. Others are forwarded (absolute-URI requests to their
origin without the Proxy-Authorization header, CONNECT as a tunnel). Every
request is appended to LOG as one line of tab-separated fields: method,
target, "auth" or "noauth", then one "name: value" field per header.
"""

import argparse
import base64
import http.client
import http.server
import select
import socket
import sys
import threading
import urllib.parse

from lifetime import exit_with_parent

LOG_LOCK = threading.Lock()
HOP_BY_HOP = {"connection", "keep-alive", "proxy-authorization", "proxy-connection",
              "te", "trailer", "transfer-encoding", "upgrade"}


def make_handler(expected, log_path):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, format, *args):
            pass

        def authorised(self):
            ok = self.headers.get("Proxy-Authorization") == expected
            fields = [self.command, self.path, "auth" if ok else "noauth"]
            fields += ["%s: %s" % (k, v) for k, v in self.headers.items()]
            with LOG_LOCK, open(log_path, "a", encoding="utf-8") as log:
                log.write("\t".join(f.replace("\t", " ") for f in fields) + "\n")
            if ok:
                return True
            length = int(self.headers.get("Content-Length", "0"))
            if length:
                self.rfile.read(length)
            body = b"proxy authentication required\n"
            self.send_response(407)
            self.send_header("Proxy-Authenticate", 'Basic realm="kestrel-proxy"')
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return False

        def forward(self):
            if not self.authorised():
                return
            url = urllib.parse.urlsplit(self.path)
            if url.scheme != "http" or not url.hostname:
                self.send_error(400, "absolute http URL expected")
                return
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length) if length else None
            headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP_BY_HOP}
            target = url.path or "/"
            if url.query:
                target += "?" + url.query
            origin = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=30)
            try:
                origin.request(self.command, target, body=body, headers=headers)
                response = origin.getresponse()
            except OSError as error:
                self.send_error(502, str(error))
                return
            self.send_response(response.status, response.reason)
            length = response.getheader("Content-Length")
            for name, value in response.getheaders():
                if name.lower() not in HOP_BY_HOP and name.lower() != "content-length":
                    self.send_header(name, value)
            if length is not None:
                self.send_header("Content-Length", length)
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            while True:
                piece = response.read(1 << 16)
                if not piece:
                    break
                self.wfile.write(piece)
            origin.close()

        do_GET = forward
        do_HEAD = forward
        do_POST = forward

        def do_CONNECT(self):
            if not self.authorised():
                return
            host, _, port = self.path.rpartition(":")
            try:
                upstream = socket.create_connection((host, int(port)), timeout=30)
            except (OSError, ValueError) as error:
                self.send_error(502, str(error))
                return
            self.send_response(200, "Connection established")
            self.end_headers()
            self.close_connection = True
            sockets = [self.connection, upstream]
            while True:
                readable, _, _ = select.select(sockets, [], [], 30)
                if not readable:
                    break
                for s in readable:
                    data = s.recv(1 << 16)
                    if not data:
                        upstream.close()
                        return
                    (upstream if s is self.connection else self.connection).sendall(data)

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("log")
    args = parser.parse_args()
    exit_with_parent()
    expected = "Basic " + base64.b64encode(("%s:%s" % (args.user, args.password)).encode()).decode()
    server = Server(("127.0.0.1", 0), make_handler(expected, args.log))
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
