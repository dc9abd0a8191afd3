"""A resolver's stub on 127.0.0.53, named by resolv.conf with the search
line given, that passes single-label names to LLMNR and .local ones to
mDNS, where a LAN host answers them (127.0.0.2); no other name exists.
Keeps the names it was asked."""

import contextlib
import socket
import struct
import threading


class DnsResponder:
    def __init__(self, search):
        with open("/etc/resolv.conf") as f:
            self.original = f.read()
        with open("/etc/resolv.conf", "w") as f:
            f.write("nameserver 127.0.0.53\n%s\n" % search)
        self.names, self.socket = [], socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.53", 53))
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        with contextlib.suppress(OSError):
            while True:
                query, peer = self.socket.recvfrom(512)
                if not query:  # shut down
                    return
                at, labels = 12, []
                while query[at]:
                    labels.append(query[at + 1:at + 1 + query[at]])
                    at += 1 + query[at]
                self.names.append(b".".join(labels))
                lan = len(labels) == 1 or labels[-1].lower() == b"local"
                a = lan and query[at + 1:at + 3] == b"\0\1"
                answer = b"\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\x7f\0\0\2" if a else b""
                self.socket.sendto(query[:2] + (b"\x81\x80" if lan else b"\x81\x83") +
                                   query[4:6] + struct.pack(">HHH", a, 0, 0) + query[12:at + 5] +
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
