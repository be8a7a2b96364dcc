#!/usr/bin/python3
"""An FTP server for the integration tests (pyftpdlib).

Listens on 127.0.0.1 at a free port (or --port) and writes that port into --port-file once it
listens. The anonymous user may read and write everything under --root, its home folder.
Every command line received is appended to --log (the password as "PASS ****"), before it is
answered; pyftpdlib's own log, with times, goes to standard error. The behaviour file
(--control, JSON, read at every command) can change the answers while the server runs:

    {"refuse_store": "<text>"}   every STOR is answered "550 <text>"
    {"refuse_login": true}       every login is answered "530 Login refused by the test server."
    {"stall_store": true}        every STOR is never answered (the connection stays open)

The server runs until it is killed.
"""

import argparse
import json
import logging
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer


class Handler(FTPHandler):
    log_path = None
    control_path = None

    def control(self):
        try:
            with open(self.control_path, encoding="utf-8") as source:
                return json.load(source)
        except (OSError, ValueError, TypeError):
            return {}

    def pre_process_command(self, line, cmd, arg):
        if self.log_path:
            shown = "PASS ****" if cmd == "PASS" else line
            with open(self.log_path, "a", encoding="latin-1") as log:
                log.write(shown + "\n")
        return super().pre_process_command(line, cmd, arg)

    def ftp_PASS(self, line):
        if self.control().get("refuse_login"):
            self.respond("530 Login refused by the test server.")
            return
        return super().ftp_PASS(line)

    def ftp_STOR(self, file, mode="w"):
        control = self.control()
        if control.get("stall_store"):
            while True:
                time.sleep(3600)
        refusal = control.get("refuse_store")
        if refusal:
            self.respond("550 " + refusal)
            return
        return super().ftp_STOR(file, mode)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--port", type=int, default=0, help="0: a free port")
    parser.add_argument("--root", required=True)
    parser.add_argument("--log")
    parser.add_argument("--control")
    args = parser.parse_args()
    # pyftpdlib's own account of every session (commands, answers, data connections), with
    # times, on the standard error that the harness keeps: a test that fails shows it.
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(threadName)s %(message)s")

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.log_path = args.log
    Handler.control_path = args.control
    Handler.banner = "test FTP server ready"
    # The data-port commands too, with the outcome of the server's connect to the client.
    Handler.log_cmds_list = FTPHandler.log_cmds_list + ["PORT", "EPRT"]
    # Active mode from the test's own address; no passive range is needed.
    Handler.permit_foreign_addresses = False

    server = ThreadedFTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 256
    port = server.socket.getsockname()[1]
    temp = args.port_file + ".tmp"
    with open(temp, "w") as out:
        out.write("%d\n" % port)
    os.rename(temp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
