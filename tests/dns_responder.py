#!/usr/bin/env python3
"""A resolver's stub on 127.0.0.53 that passes single-label names to LLMNR
and .local ones to mDNS, where a LAN host answers them (127.0.0.2); every
other name does not exist. Keeps the names it was asked."""

import contextlib
import socket
import struct
import threading


class DnsResponder:
    def __init__(self, search, address="127.0.0.53"):
        """resolv.conf names it, with the search line given."""
        with open("/etc/resolv.conf") as f:
            self.original = f.read()
        with open("/etc/resolv.conf", "w") as f:
            f.write("nameserver %s\n%s\n" % (address, search))
        self.names = []
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind((address, 53))
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        while True:
            try:
                query, peer = self.socket.recvfrom(512)
            except OSError:
                return
            if not query:
                return
            at, labels = 12, []
            while at < len(query) and query[at]:
                labels.append(query[at + 1:at + 1 + query[at]])
                at += 1 + query[at]
            qtype = struct.unpack(">H", query[at + 1:at + 3])[0]
            self.names.append(b".".join(labels))
            lan = len(labels) == 1 or labels[-1].lower() == b"local"
            answer = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + bytes([127, 0, 0, 2])
            answer = answer if lan and qtype == 1 else b""
            self.socket.sendto(query[:2] + (b"\x81\x80" if lan else b"\x81\x83") + query[4:6] +
                               struct.pack(">HHH", len(answer) > 0, 0, 0) + query[12:at + 5] +
                               answer, peer)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        with contextlib.suppress(OSError):  # unconnected, but woken all the same
            self.socket.shutdown(socket.SHUT_RDWR)
        self.thread.join()
        self.socket.close()
        with open("/etc/resolv.conf", "w") as f:
            f.write(self.original)

