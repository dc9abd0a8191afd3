#!/usr/bin/env python3
"""A loopback SLP agent of our own (SLPv2, RFC 2608): advertises NetWare
servers as service:bindery.novell:///NAME with their addresses in
svcaddr-ws, answers by multicast and unicast on UDP port 427 and over TCP,
as a service agent or a directory agent, or misbehaves in one chosen way.
Every request it receives is kept.

As a program: slp_agent.py NAME=ADDRESS[,ADDRESS]... serves until killed."""

import socket
import struct
import sys
import threading
import time

GROUP = "239.255.255.253"
PORT = 427
TYPE = b"service:bindery.novell"
DA_TYPE = b"service:directory-agent"
SRVRQST, SRVRPLY, ATTRRQST, ATTRRPLY, DAADVERT = 1, 2, 6, 7, 8
OVERFLOW, MULTICAST = 0x8000, 0x2000


def string(text):
    return struct.pack(">H", len(text)) + text


def message(function, xid, body, flags=0):
    lang = string(b"en")
    length = 12 + len(lang) + len(body)
    return struct.pack(">BB", 2, function) + length.to_bytes(3, "big") + \
        struct.pack(">H", flags) + b"\0\0\0" + struct.pack(">H", xid) + lang + body


def parse(datagram):
    """function, flags, xid and the request's five strings, or None."""
    try:
        version, function = datagram[0], datagram[1]
        flags, xid = struct.unpack(">H", datagram[5:7])[0], struct.unpack(">H", datagram[10:12])[0]
        at = 14 + struct.unpack(">H", datagram[12:14])[0]
        strings = []
        for _ in range(5):
            size = struct.unpack(">H", datagram[at:at + 2])[0]
            strings.append(datagram[at + 2:at + 2 + size])
            at += 2 + size
        return (function, flags, xid, strings) if version == 2 else None
    except (IndexError, struct.error):
        return None


def svcaddr(addresses, kinds=("2-1-6-", "2-2-17-")):
    """svcaddr-ws values: TCP and UDP on port 524 for each IPv4 address."""
    return ",".join(kind + socket.inet_aton(address).hex().upper() + "020C"
                    for address in addresses for kind in kinds).encode()


def scope_set(scopes):
    return {s.strip().lower() for s in scopes.split(b",")}


def garbage(function, xid):
    """Replies that a client must ignore, one of each kind."""
    good = message(function, xid, b"\0\0\0\0")
    return [good[:9], message(function, xid ^ 1, b"\0\0"), message(5, xid, b"\0\0"),
            message(function, xid, b"\0\x02"), b"\x02" + good[1:4] + b"\xff" * 40,
            message(function, xid, b"\0\0\0\x01" + b"\0" * 3 + b"\xff\xff")]


class SlpAgent:
    """Serves UDP and TCP on host:427; with multicast, also the SLP group.

    predicates: what the agent understands in a predicate: '=' (RFC 2608),
    '==' (old NetWare directory agents) or both; anything else it takes for
    a parse error (code 2). An empty predicate matches every server.
    scopes: those it serves; a request in none of them is refused (code 4).
    directory: a directory agent, which answers multicast only to be
    discovered. kinds: the svcaddr-ws values listed for each address.
    forger: an address that sends a forged attribute reply, naming
    127.0.0.9, before each real one."""

    def __init__(self, servers, host="0.0.0.0", multicast=True, predicates=("=", "=="),
                 garbage_first=False, silent=False, mtu=1400, scopes=(b"DEFAULT",),
                 directory=False, kinds=("2-1-6-", "2-2-17-"), forger=None):
        self.servers = servers  # name as registered: [IPv4 address, ...]
        self.predicates, self.garbage_first, self.silent, self.mtu = \
            predicates, garbage_first, silent, mtu
        self.scopes, self.directory, self.kinds = \
            scope_set(b",".join(scopes)), directory, kinds
        self.forger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM) if forger else None
        if forger:
            self.forger.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.forger.bind((forger, PORT))
        self.requests = []  # (transport, function, flags, strings)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.udp.bind((host, PORT))
        if multicast:
            self.udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                                socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1"))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind((host if host != "0.0.0.0" else "127.0.0.1", PORT))
        self.tcp.listen(8)
        self.stopping = False
        # The UDP thread wakes up now and then: a socket closed under a
        # thread blocked in recvfrom stays bound, joined to the group, until
        # a datagram comes, and would take the next agent's first request.
        self.udp.settimeout(0.05)
        self.threads = [threading.Thread(target=self._serve_udp, daemon=True),
                        threading.Thread(target=self._serve_tcp, daemon=True)]
        for thread in self.threads:
            thread.start()

    def close(self):
        self.stopping = True
        self.tcp.shutdown(socket.SHUT_RDWR)
        for thread in self.threads:
            thread.join()
        self.udp.close()
        self.tcp.close()
        if self.forger:
            self.forger.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def matching(self, predicate):
        """The servers that the predicate selects, or None for a parse error."""
        if not predicate:
            return list(self.servers)
        for operator in sorted(self.predicates, key=len, reverse=True):
            prefix = b"(svcname-ws" + operator.encode()
            if predicate.lower().startswith(prefix) and predicate.endswith(b")"):
                wanted = predicate[len(prefix):-1].decode().lower()
                if "=" in wanted:
                    return None
                return [n for n in self.servers if n.lower() == wanted]
        return None

    def answer(self, request, multicast):
        """The reply, or None when the agent stays silent."""
        function, flags, xid, (responders, target, scopes, wanted, _spi) = request
        if responders and "127.0.0.1" in responders.decode().split(","):
            return None
        if self.directory and function == SRVRQST and target == DA_TYPE and multicast:
            if not self.scopes & scope_set(scopes):
                return None
            return message(DAADVERT, xid, b"\0\0\0\0\0\x2a" + string(DA_TYPE + b"://127.0.0.1") +
                           string(b",".join(sorted(self.scopes))) + string(b"") + string(b"") +
                           b"\0")
        if multicast and self.directory:
            return None
        if not self.scopes & scope_set(scopes):
            return None if multicast else message(function + 1, xid, b"\0\x04\0\0")
        if function == SRVRQST and target in (TYPE, TYPE[len(b"service:"):]):
            names = self.matching(wanted)
            if names is None:
                return None if multicast else message(SRVRPLY, xid, b"\0\x02\0\0")
            if not names and multicast:
                return None
            entries = b"".join(b"\0\xff\xff" + string(TYPE + b":///" + n.encode()) + b"\0"
                               for n in names)
            return message(SRVRPLY, xid, struct.pack(">HH", 0, len(names)) + entries)
        if function == ATTRRQST:
            for name, addresses in self.servers.items():
                if target.lower() == (TYPE + b":///" + name.encode()).lower():
                    attributes = b"(svcaddr-ws=" + svcaddr(addresses, self.kinds) + b")"
                    return message(ATTRRPLY, xid, b"\0\0" + string(attributes) + b"\0")
            return None if multicast else message(ATTRRPLY, xid, b"\0\0\0\0\0")
        return None

    def _serve_udp(self):
        while not self.stopping:
            try:
                datagram, peer = self.udp.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            request = parse(datagram)
            if request is None:
                continue
            self.requests.append(("udp",) + request)
            if self.silent:
                continue
            reply = self.answer(request, bool(request[1] & MULTICAST))
            if reply is None:
                continue
            if len(reply) > self.mtu:  # as much as fits, and the overflow flag
                reply = reply[:self.mtu]
                reply = reply[:2] + len(reply).to_bytes(3, "big") + \
                    struct.pack(">H", OVERFLOW) + reply[7:]
            try:
                if self.forger and reply[1] == ATTRRPLY:
                    forged = b"(svcaddr-ws=" + svcaddr(["127.0.0.9"]) + b")"
                    self.forger.sendto(message(ATTRRPLY, request[2], b"\0\0" + string(forged) +
                                               b"\0"), peer)
                for datagram in (garbage(reply[1], request[2]) if self.garbage_first else []) + \
                        [reply]:
                    self.udp.sendto(datagram, peer)
            except OSError:  # closed meanwhile
                return

    def _serve_tcp(self):
        while not self.stopping:
            try:
                conn, _ = self.tcp.accept()
            except OSError:
                return
            with conn:
                head = conn.recv(5, socket.MSG_WAITALL)
                if len(head) < 5:
                    continue
                rest = conn.recv(int.from_bytes(head[2:5], "big") - 5, socket.MSG_WAITALL)
                request = parse(head + rest)
                if request is None:
                    continue
                self.requests.append(("tcp",) + request)
                reply = self.answer(request, False)
                # Past 64 KiB, the piece that would cross a client's 64 KiB
                # buffer comes small and alone, 0.1 s apart: a reader writing
                # past the buffer then writes into memory mapped beside it
                # (where a sanitizer sees it) rather than failing.
                cuts = [0, 65500, 65560] if reply and len(reply) > 65536 else [0]
                try:
                    for at, end in zip(cuts, cuts[1:] + [None]):
                        time.sleep(0.1 if at else 0)
                        conn.sendall(reply[at:end] if reply else b"")
                except OSError:  # the client stopped reading
                    pass


def main():
    servers = {}
    for argument in sys.argv[1:]:
        name, addresses = argument.split("=", 1)
        servers[name] = addresses.split(",")
    with SlpAgent(servers):
        while True:
            time.sleep(3600)


if __name__ == "__main__":
    main()
