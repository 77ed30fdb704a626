"""Loopback FTP server for the transfer tests (pyftpdlib).

usage: ftp_server.py ROOT LOG [--user NAME --password WORD]

Serves ROOT read-only on 127.0.0.1 to anonymous users and, when given, to
one named user. Binds port 0 and prints the port it got as the first line of
standard output. Every command a client sends is appended to LOG as one line
(the password of PASS is not written).
"""

import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

from lifetime import exit_with_parent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("log")
    parser.add_argument("--user")
    parser.add_argument("--password", default="")
    args = parser.parse_args()
    exit_with_parent()

    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root, perm="elr")
    if args.user:
        authorizer.add_user(args.user, args.password, args.root, perm="elr")

    log_path = args.log

    class LoggingHandler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            with open(log_path, "a", encoding="utf-8") as log:
                log.write(("PASS ****" if cmd == "PASS" else line) + "\n")
            super().pre_process_command(line, cmd, arg)

    LoggingHandler.authorizer = authorizer
    LoggingHandler.banner = "kestrel test ftp server ready."
    LoggingHandler.permit_foreign_addresses = False
    LoggingHandler.auth_failed_timeout = 0

    server = ThreadedFTPServer(("127.0.0.1", 0), LoggingHandler)
    print(server.address[1], flush=True)
    try:
        server.serve_forever(handle_exit=False)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
