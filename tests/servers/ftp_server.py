#!/usr/bin/python3
"""A real FTP server (pyftpdlib) for the transfer tests, on 127.0.0.1 only,
able to misbehave on purpose:
  --refuse-rest        answer REST with 502
  --cut-after N        close the data connection of a RETR after N bytes
                       (with a 426 reply), for the first --cut-times transfers
  --drop-on-retr K     close the control connection on the first K RETR commands
  --no-epsv            answer EPSV with 502, so that clients fall back to PASV
  --masquerade ADDR    announce ADDR in PASV replies instead of 127.0.0.1
  --size-reply N       answer every SIZE with "213 N", whatever the file
  --throttle B         send file data at B bytes per second
Every command received is appended to --log, one line each, so that tests can
count and inspect commands. Login: --user/--password, or anonymous.
"""
import argparse
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

ARGS = None
STATE = {"cuts": 0, "drops": 0}


def log_line(text):
    if ARGS.log:
        with open(ARGS.log, "a") as f:
            f.write(text + "\n")


class TestDTPHandler(ThrottledDTPHandler):
    def send(self, data):
        limit = getattr(self, "_cut_limit", None)
        if limit is None:
            return ThrottledDTPHandler.send(self, data)
        room = limit - self.tot_bytes_sent
        if room <= 0:
            self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
            self.close()
            return 0
        return ThrottledDTPHandler.send(self, data[:room])


class TestFTPHandler(FTPHandler):
    dtp_handler = TestDTPHandler

    def pre_process_command(self, line, cmd, arg):
        log_line(line)
        return FTPHandler.pre_process_command(self, line, cmd, arg)

    def ftp_REST(self, line):
        if ARGS.refuse_rest:
            self.respond("502 Command not implemented.")
            return
        return FTPHandler.ftp_REST(self, line)

    def ftp_EPSV(self, line):
        if ARGS.no_epsv:
            self.respond("502 Command not implemented.")
            return
        return FTPHandler.ftp_EPSV(self, line)

    def ftp_SIZE(self, path):
        if ARGS.size_reply is not None:
            self.respond("213 %s" % ARGS.size_reply)
            return None
        return FTPHandler.ftp_SIZE(self, path)

    def ftp_RETR(self, file):
        if STATE["drops"] < ARGS.drop_on_retr:
            STATE["drops"] += 1
            self._restart_position = 0
            self.close()
            return None
        return FTPHandler.ftp_RETR(self, file)

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        # The limit goes on the data channel before anything is sent; the
        # channel may already be open (passive) or come later.
        if cmd == "RETR" and ARGS.cut_after is not None and STATE["cuts"] < ARGS.cut_times:
            STATE["cuts"] += 1
            self._pending_cut = ARGS.cut_after
        else:
            self._pending_cut = None
        if self.data_channel is not None:
            self.data_channel._cut_limit = self._pending_cut
        return FTPHandler.push_dtp_data(self, data, isproducer, file, cmd)

    def _on_dtp_connection(self):
        if self.data_channel is not None:
            self.data_channel._cut_limit = getattr(self, "_pending_cut", None)
        return FTPHandler._on_dtp_connection(self)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--log")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--refuse-rest", action="store_true")
    p.add_argument("--cut-after", type=int)
    p.add_argument("--cut-times", type=int, default=1)
    p.add_argument("--drop-on-retr", type=int, default=0)
    p.add_argument("--no-epsv", action="store_true")
    p.add_argument("--masquerade")
    p.add_argument("--size-reply")
    p.add_argument("--throttle", type=int, default=0)
    ARGS = p.parse_args()

    authorizer = DummyAuthorizer()
    if ARGS.user:
        authorizer.add_user(ARGS.user, ARGS.password, ARGS.root, perm="elr")
    else:
        authorizer.add_anonymous(ARGS.root, perm="elr")
    TestFTPHandler.authorizer = authorizer
    TestFTPHandler.banner = "Tarv test FTP server ready."
    TestFTPHandler.permit_foreign_addresses = False
    TestFTPHandler.auth_failed_timeout = 0  # refused logins answer at once
    if ARGS.cut_after is not None or ARGS.throttle:
        TestFTPHandler.use_sendfile = False
    TestDTPHandler.write_limit = ARGS.throttle
    if ARGS.masquerade:
        TestFTPHandler.masquerade_address = ARGS.masquerade
    server = FTPServer(("127.0.0.1", 0), TestFTPHandler)
    tmp = ARGS.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.address[1]))
    os.rename(tmp, ARGS.port_file)
    try:
        server.serve_forever(timeout=0.1, handle_exit=True)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    import logging
    logging.basicConfig(level=logging.CRITICAL)
    sys.exit(main())
