#!/usr/bin/env python3
"""A loopback NCP server of our own: answers the create, date-and-time and
destroy requests the way a NetWare server does, or misbehaves in one chosen
way so that the client's checks and time bounds can be seen at work.

As a program: ncp_server.py [--host H] [--port P] [--date now|Y,M,D,h,m,s,w]
serves until killed."""

import argparse
import contextlib
import socket
import subprocess
import struct
import threading
import time

REQUEST_SIGNATURE = b"DmdT"
REPLY_SIGNATURE = b"tNcP"
CONNECTION = 0x0203  # the number the server assigns


def local_date_time():
    """The coming second, late in this one: a desk just behind the server's
    second is set (one within it is left as it is), to within half a second
    of the present."""
    while not 0.7 <= time.time() % 1 <= 0.85:
        time.sleep((1.75 - time.time() % 1) % 1)
    return date_time(int(time.time()) + 1)


def date_time(seconds):
    t = time.localtime(seconds)  # not the C library's coarse clock, which lags
    return bytes([t.tm_year - 1900, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  (t.tm_wday + 1) % 7])


class Behaviour:
    """What the server does; the defaults make a well-behaved server."""

    def __init__(self, **changes):
        self.date = bytes([130, 12, 2, 20, 5, 0, 1])  # or None: the local time now
        self.ahead = None          # seconds: the local time that far ahead, at once
        self.create_cc = 0
        self.query_cc = 0
        self.create_status = 0
        self.query_status = 0
        self.busy = 0              # acknowledgements before each reply; -1: endless
        self.busy_sequence = None  # acknowledge another sequence than the request's
        self.silent_on = None      # 'create', 'query' or 'destroy': never answer that request
        self.close_on = None       # 'accept', 'create' or 'query': close instead of answering
        self.mangle_on = 'query'   # which reply the mangle below changes
        self.mangle = None         # a function of the reply bytes
        self.signed = False        # replies carry bit 31 and an 8-byte signature
        self.trickle = False       # one byte a second
        self.never_read = False    # accept and never read
        for name, value in changes.items():
            if not hasattr(self, name):
                raise AttributeError(name)
            setattr(self, name, value)


@contextlib.contextmanager
def dropping(*rules):
    """nftables rules on the input hook while the block runs, for example
    'ip6 daddr ::1 tcp dport 524 drop'; needs a network namespace of our own."""
    def nft(command):
        subprocess.run(["nft", command], check=True)
    nft("add table inet garvelux")
    nft("add chain inet garvelux input { type filter hook input priority 0 ; }")
    try:
        for rule in rules:
            nft("add rule inet garvelux input " + rule)
        yield
    finally:
        nft("delete table inet garvelux")


def reply_frame(behaviour, kind, sequence, connection, cc, status, data=b""):
    ncp = struct.pack(">HBBBBBB", kind, sequence, connection & 0xFF, 1, connection >> 8, cc,
                      status) + data
    if behaviour.signed:
        return REPLY_SIGNATURE + struct.pack(">I", (16 + len(ncp)) | 0x80000000) + b"S" * 8 + ncp
    return REPLY_SIGNATURE + struct.pack(">I", 8 + len(ncp)) + ncp


def read_exact(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class NcpServer:
    """Serves on the given addresses in threads; requests are kept in order."""

    def __init__(self, behaviour=None, addresses=(("127.0.0.1", 524),)):
        self.behaviour = behaviour or Behaviour()
        self.requests = []
        self.lock = threading.Lock()
        self.listeners = []
        self.stopping = False
        for host, port in addresses:
            family = socket.AF_INET6 if ":" in host else socket.AF_INET
            s = socket.socket(family, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((host, port))
            s.listen(64)
            self.listeners.append(s)
            threading.Thread(target=self._accept, args=(s,), daemon=True).start()

    def close(self):
        self.stopping = True
        for s in self.listeners:
            s.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
            s.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _accept(self, listener):
        while not self.stopping:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _send(self, conn, frame):
        if self.behaviour.trickle:
            for byte in frame:
                conn.sendall(bytes([byte]))
                time.sleep(1)
        else:
            conn.sendall(frame)

    def _serve(self, conn):
        b = self.behaviour
        try:
            if b.close_on == "accept":
                return
            if b.never_read:
                while not self.stopping:
                    time.sleep(0.1)
                return
            while True:
                header = read_exact(conn, 16)
                if header is None or header[:4] != REQUEST_SIGNATURE:
                    return
                length = struct.unpack(">I", header[4:8])[0]
                body = read_exact(conn, length - 16)
                if body is None:
                    return
                with self.lock:
                    self.requests.append(header + body)
                if not self._answer(conn, body):
                    return
        except OSError:
            pass
        finally:
            conn.close()

    def _answer(self, conn, body):
        b = self.behaviour
        kind, sequence, low, _task, high, function = struct.unpack(">HBBBBB", body[:7])
        connection = high << 8 | low
        if kind == 0x1111:
            name, cc, status, data, connection = "create", b.create_cc, b.create_status, b"", CONNECTION
        elif kind == 0x2222 and function == 20:
            date = date_time(time.time() + b.ahead) if b.ahead is not None else \
                b.date if b.date is not None else local_date_time()
            name, cc, status, data = "query", b.query_cc, b.query_status, date
        elif kind == 0x5555:
            name = "destroy"
        else:
            name, cc, status, data = "other", 0xFB, 0, b""
        if b.close_on == name:
            return False
        if b.silent_on == name:
            while not self.stopping:
                time.sleep(0.1)
            return False
        if name == "destroy":
            self._send(conn, reply_frame(b, 0x3333, sequence, connection, 0, 0))
            return False
        count = 0
        while count != b.busy:
            ack_sequence = sequence if b.busy_sequence is None else b.busy_sequence
            self._send(conn, reply_frame(b, 0x9999, ack_sequence, connection, 0, 0))
            count += 1
            if self.stopping:
                return False
        frame = reply_frame(b, 0x3333, sequence, connection, cc, status, data if cc == 0 else b"")
        if b.mangle and b.mangle_on == name:
            frame = b.mangle(frame)
        self._send(conn, frame)
        return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=524)
    parser.add_argument("--date", default="now")
    args = parser.parse_args()
    date = None if args.date == "now" else bytes(int(x) for x in args.date.split(","))
    with NcpServer(Behaviour(date=date), ((args.host, args.port),)):
        while True:
            time.sleep(3600)


if __name__ == "__main__":
    main()
