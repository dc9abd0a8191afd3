#!/usr/bin/env python3
"""A built garvelux against our loopback NCP server, inside namespaces of
its own (the clock cannot be set there; see in_namespace.sh). One table,
two runners: the native program with the clock call intercepted, and
garvelux.exe under Wine with no NetWare client, so on its built-in one.

usage: e2e.py native GARVELUX CLOCK_INTERCEPT_LIBRARY filtered|unfiltered
       e2e.py wine GARVELUX_EXE"""

import calendar
import contextlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from dns_responder import DnsResponder  # noqa: E402
from ncp_server import Behaviour, NcpServer, dropping  # noqa: E402
from slp_agent import DA_TYPE, TYPE, SlpAgent  # noqa: E402
from wine_prefix import wine_prefix  # noqa: E402

HOSTS = """127.0.0.1 localhost
127.0.0.1 srv1
127.0.0.3 refused
::1 srv6
::1 both
127.0.0.1 both
127.0.0.2 fs9.local
"""
BOTH = [("127.0.0.1", 524), ("::1", 524)]
SLP_SERVER = ("127.0.0.2", 524)  # where the SLP agent's servers are
# What the agent advertises. srv1 is known to the hosts file as well: a
# run for it must not ask SLP.
SERVERS = {"SLPONLY": ["127.0.0.2"], "lower": ["127.0.0.2"], "srv1": ["127.0.0.2"]}
# An answer too large for one datagram: the server asked for comes last,
# or first, among the whole entries that fit.
MANY = dict([("FS%03d" % i, ["10.0.0.%d" % (i % 250 + 1)]) for i in range(100)],
            SLPONLY=["127.0.0.2"])
MANY_FIRST = dict(SLPONLY=["127.0.0.2"], **{n: a for n, a in MANY.items() if n != "SLPONLY"})
# An answer over TCP longer than the client's 64 KiB buffer, the server
# asked for past its end: read whole, it would be found.
BEYOND = dict([("FS%04d" % i, ["10.0.1.1"]) for i in range(2000)], SLPONLY=["127.0.0.2"])
BANNER = b"\r\n GARVELUX version 0.10, sets this clock from a NetWare server\r\n\r\n"
REPORT = b"DateTime: Mon 2.12. 2030, 20:05:00\r\n"
SUCCESS = b"\r\n" + REPORT + b"System Time successfully set up.\r\n"
CREATE, QUERY, DESTROY = b"\x11\x11", b"\x22\x22", b"\x55\x55"
# The SLP requests an agent sees, with their previous-responder lists: the
# server's URL, then its addresses. An agent that does not know the name
# is listed in the requests sent again at 0.5 and 1.25 s of the 2 s lookup.
FOUND = [("udp", 1, b""), ("udp", 6, b"")]
UNANSWERED = [("udp", 1, b"")] + [("udp", 1, b"127.0.0.1")] * 2
SLP_URL = TYPE + b":///SLPONLY"


def release_day():
    """The floor the build took, as the program writes it: from the build's
    own header, whatever CHANGELOG.md or SOURCE_DATE_EPOCH say now."""
    with open(os.path.join(os.path.dirname(os.path.abspath(sys.argv[2])), "release_date.h"),
              "rb") as header:
        return re.search(rb'release_day\[\] = "(.*)"', header.read())[1]


def clock_error(code):
    return b"\r\n" + REPORT + b"ERROR  %d setting system time.\r\n" % code


def open_error(name, code):
    return b"\r\n\nERROR: NWCCOpenConnByName(%s) returned %X\r\n" % (name, code)


def query_error(code):
    return b"\r\n\nERROR: NWGetFileServerDateAndTime returned %X\r\n" % code


def nft_table():
    return subprocess.run(["nft", "list", "table", "inet", "garvelux"], stdout=subprocess.PIPE,
                          check=True).stdout


# Installs a seccomp filter under which capset fails with EPERM (x86-64
# and i386 numbers), then runs its arguments.
DENY_CAPSET = """
import ctypes, os, struct, sys
code = [(0x20, 0, 0, 4), (0x15, 0, 2, 0xc000003e), (0x20, 0, 0, 0), (0x15, 3, 4, 126),
        (0x15, 0, 3, 0x40000003), (0x20, 0, 0, 0), (0x15, 0, 1, 185), (6, 0, 0, 0x50001),
        (6, 0, 0, 0x7fff0000)]
program = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *i) for i in code))
header = struct.pack("HxxxxxxP", len(code), ctypes.addressof(program))
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.c_char_p(header), 0, 0):
    sys.exit("seccomp: %d" % ctypes.get_errno())
os.execvp(sys.argv[1], sys.argv[1:])
"""


@contextlib.contextmanager
def lan_name_service():
    """A LAN host's name service (lanhost_nss.cpp) asked first for every
    host name, as mDNS or LLMNR modules are listed."""
    with open("/etc/nsswitch.conf") as f:
        original = f.read()
    with open("/etc/nsswitch.conf", "w") as f:
        f.write(re.sub(r"(?m)^hosts:.*$", "hosts: lanhost files dns", original))
    try:
        yield
    finally:
        with open("/etc/nsswitch.conf", "w") as f:
            f.write(original)


def replace(offset, value):
    return lambda frame: frame[:offset] + value + frame[offset + len(value):]


class Native:
    @staticmethod
    @contextlib.contextmanager
    def slp_settings(agents, scopes, mode):
        """OpenSLP's configuration file, as a site writes it."""
        with open("/etc/slp.conf", "w") as conf:
            conf.write("; the site's scopes\n net.slp.useScopes=%s\n"
                       "# and agents, the last line with no end\nnet.slp.DAAddresses=%s" %
                       (scopes, agents))
        os.chmod("/etc/slp.conf", mode)
        try:
            yield
        finally:
            os.unlink("/etc/slp.conf")

    def __init__(self, garvelux, intercept, filtered):
        self.command = [os.path.abspath(garvelux)]
        self.intercept = os.path.abspath(intercept)
        self.filtered = filtered == "filtered"  # the sanitizer builds have no seccomp filter
        self.clock_reached = (0, SUCCESS)  # the clock call is answered by the intercept

    def env(self, clock_record, intercept=True, tz="UTC", forbidden=False):
        env = dict(os.environ, TZ=tz, GARVELUX_CLOCK_RECORD=clock_record,
                   ASAN_OPTIONS="verify_asan_link_order=0")
        if intercept:
            env["LD_PRELOAD"] = self.intercept
        if forbidden:
            env["GARVELUX_CLOCK_FORBIDDEN"] = "1"
        if tz is None:
            del env["TZ"]
        return env


class Wine:
    """Wine refuses any clock that is not the present with 1314."""

    @contextlib.contextmanager
    def slp_settings(self, agents, scopes, _mode):
        """The Group Policy key, written as a 64-bit policy engine does."""
        key = "HKLM\\SOFTWARE\\Policies\\GARVELUX\\SLP"

        def reg(*args):
            subprocess.run(["wine", "reg"] + list(args) + ["/f"], env=self.wine_env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        reg("add", key, "/v", "DAAddresses", "/d", agents)
        reg("add", key, "/v", "Scopes", "/d", scopes)
        try:
            yield
        finally:
            reg("delete", key)

    def __init__(self, exe, wine_env):
        self.command = ["wine", os.path.abspath(exe)]
        self.clock_reached = (4, clock_error(1314))
        self.wine_env = wine_env

    def env(self, clock_record, intercept=True, tz="UTC"):
        return dict(self.wine_env, TZ=tz)


RUNNER = None
CLOCK = "the run reached the clock"  # its outcome is the runner's

# The reply checks one by one are the reader's unit tests; here a few of
# each kind, through the whole program.
# name, server behaviour (None: nothing listens), server name, exit code,
# what console and log show after the banner; optionally the SLP agent's
# settings and the requests it must see (by default: none)
CASES = [
    ("clock set", Behaviour(), "srv1", CLOCK, None),
    ("ipv6", Behaviour(), "srv6", CLOCK, None),
    ("a refused address moves on to the next", Behaviour(), "both", CLOCK, None),
    ("signed replies", Behaviour(signed=True), "srv1", CLOCK, None),
    ("busy acknowledgements", Behaviour(busy=3), "srv1", CLOCK, None),
    ("refused connection", None, "refused", 2, open_error(b"REFUSED", 0x880A)),
    ("unknown name", None, "nowhere.invalid", 2, open_error(b"NOWHERE.INVALID", 0x8847), {},
     UNANSWERED),
    ("known to SLP alone", Behaviour(), "slponly", CLOCK, None, {}, FOUND),
    ("registered in lower case", Behaviour(), "lower", CLOCK, None, {}, FOUND),
    ("an agent that takes == predicates only", Behaviour(), "slponly", CLOCK, None,
     {"predicates": ("==",)}, FOUND),
    ("an agent that takes = predicates only", Behaviour(), "slponly", CLOCK, None,
     {"predicates": ("=",)}, FOUND),
    ("garbage replies before the good one", Behaviour(), "slponly", CLOCK, None,
     {"garbage_first": True}, FOUND),
    ("an SLP answer that overflows its datagram", Behaviour(), "slponly", CLOCK, None,
     {"servers": MANY}, [("udp", 1, b""), ("tcp", 1, b""), ("udp", 6, b"")]),
    ("an overflowing answer holding the server, TCP 427 dropped", Behaviour(), "slponly", CLOCK,
     None, {"servers": MANY_FIRST}, FOUND, "tcp dport 427 drop"),
    ("a TCP answer that states more than its buffer holds", None, "slponly", 2,
     open_error(b"SLPONLY", 0x8847), {"servers": BEYOND},
     [("udp", 1, b""), ("tcp", 1, b"")] + UNANSWERED[1:]),
    ("a forged attribute reply from another address", Behaviour(), "slponly", CLOCK, None,
     {"forger": "127.0.0.6"}, FOUND),
    ("a server listed by its UDP values alone", Behaviour(), "slponly", CLOCK, None,
     {"kinds": ("2-2-17-",)}, FOUND),
    ("known to SLP, nothing listens", None, "slponly", 2, open_error(b"SLPONLY", 0x880A), {},
     FOUND),
    ("create refused by server", Behaviour(create_cc=0xFB), "srv1", 2,
     open_error(b"SRV1", 0x89FB)),
    ("no connection slots", Behaviour(create_status=0x04), "srv1", 2,
     open_error(b"SRV1", 0x8801)),
    ("closed on accept", Behaviour(close_on="accept"), "srv1", 2, open_error(b"SRV1", 0x8805)),
    ("query error code", Behaviour(query_cc=0x7F), "srv1", 3, query_error(0x897F)),
    ("a server clock before the release", Behaviour(date=bytes([100, 5, 2, 8, 16, 42, 2])),
     "srv1", 3, b"\r\nDateTime: Tue 2.5. 2000, 8:16:42\r\nERROR: server time before %s, this "
     b"program's release: clock not set.\r\n" % release_day()),
    ("closed on query", Behaviour(close_on="query"), "srv1", 3, query_error(0x8805)),
    ("bad signature", Behaviour(mangle=replace(0, b"XNcP")), "srv1", 3, query_error(0x8806)),
    ("wrong sequence", Behaviour(mangle=replace(10, b"\x07")), "srv1", 3, query_error(0x8806)),
    ("length beyond the reply buffer", Behaviour(mangle=replace(4, struct.pack(">I", 4096))),
     "srv1", 3, query_error(0x8806)),
    ("truncated reply", Behaviour(mangle=lambda f: f[:20]), "srv1", 3, query_error(0x8805)),
    ("acknowledgement of another request", Behaviour(busy=1, busy_sequence=5), "srv1", 2,
     open_error(b"SRV1", 0x8806)),
]


class both_builds(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.clock = os.path.join(self.dir.name, "clock")

    def tearDown(self):
        self.dir.cleanup()

    def run_garvelux(self, args, log="e2e.log", closed=None, **env):
        started = time.monotonic()
        done = subprocess.run(RUNNER.command + args + ["/L" + log], cwd=self.dir.name,
                              env=RUNNER.env(self.clock, **env), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60,
                              preexec_fn=closed and (lambda: os.close(closed)))
        return done.returncode, done.stdout, time.monotonic() - started

    def read(self, name):
        """The file's bytes; the file is removed, for the next case."""
        path = os.path.join(self.dir.name, name)
        with open(path, "rb") as f:
            content = f.read()
        os.unlink(path)
        return content

    def expect(self, code, text):
        return RUNNER.clock_reached if code == CLOCK else (code, text)

    def test_outcomes(self):
        for name, behaviour, server_name, code, text, *slp in CASES:
            agent_settings, slp_requests, *rules = slp or ({}, [])
            with self.subTest(name), SlpAgent(**dict(dict(servers=SERVERS), **agent_settings)) \
                    as agent, dropping(*rules):
                listens_on = BOTH + [SLP_SERVER] if server_name != "both" else BOTH[:1]
                server = NcpServer(behaviour, listens_on) if behaviour else None
                try:
                    exit_code, console, _ = self.run_garvelux([server_name])
                finally:
                    if server:
                        server.close()
                code, text = self.expect(code, text)
                self.assertEqual(exit_code, code)
                self.assertEqual(console, BANNER + text)
                self.assertEqual(self.read("e2e.log"), text)
                # Directory-agent discovery aside, which every lookup starts.
                asked = [r for r in agent.requests if r[4][1] != DA_TYPE]
                self.assertEqual([r[:2] + (r[4][0],) for r in asked], slp_requests)
                # Each question its own XID, none 0 or one more than another.
                xids = sorted({r[3] for r in agent.requests})
                self.assertEqual([x for x in xids if x == 0 or x - 1 in xids], [])
                if server:  # a failed create is closed, never destroyed
                    kinds = [r[16:18] for r in server.requests]
                    expected = [CREATE] if code == 2 else [CREATE, QUERY, DESTROY]
                    self.assertEqual(kinds, expected[:len(kinds)])

    def test_wire(self):
        with NcpServer() as server:
            self.run_garvelux(["srv1"])
        head = b"DmdT\x00\x00\x00\x17\x00\x00\x00\x01\x00\x00\x04\x00"
        self.assertEqual(server.requests, [
            head + b"\x11\x11\x00\xff\x01\xff\x00",
            head + b"\x22\x22\x01\x03\x01\x02\x14",
            head + b"\x55\x55\x02\x03\x01\x02\x00",
        ])

    def test_slp_wire_as_wireshark_reads_it(self):
        # Over UDP and, for an answer that overflowed, TCP.
        capture = os.path.join(self.dir.name, "slp.pcap")
        dumpcap = subprocess.Popen(["dumpcap", "-i", "lo", "-f", "port 427", "-w", capture],
                                  stderr=subprocess.PIPE, text=True)
        try:
            while not dumpcap.stderr.readline().startswith("File:"):
                pass
            with SlpAgent(MANY) as agent, NcpServer(addresses=[SLP_SERVER]):
                self.run_garvelux(["slponly"])
            time.sleep(0.5)
        finally:
            dumpcap.terminate()
            dumpcap.wait()
        self.read("e2e.log")

        def fields(display_filter, *names):
            return subprocess.run(
                ["tshark", "-r", capture, "-Y", display_filter, "-T", "fields"] +
                [a for n in names for a in ("-e", n)], stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL, text=True, check=True).stdout.split("\n")[:-1]
        ours = "(udp.dstport == 427 || tcp.dstport == 427)"
        self.assertEqual(fields(ours + " && srvloc", "srvloc.function", "srvloc.srvreq.srvtypelist",
                                "srvloc.srvreq.scopelist", "srvloc.attrreq.url",
                                "srvloc.attrreq.scopelist", "srvloc.attrreq.taglist"),
                         ["1\tservice:bindery.novell\tDEFAULT\t\t\t",
                          "1\tservice:directory-agent\tDEFAULT\t\t\t",
                          "1\tservice:bindery.novell\tDEFAULT\t\t\t",
                          "6\t\t\tservice:bindery.novell:///SLPONLY\tDEFAULT\tsvcaddr-ws"])
        self.assertEqual(len(agent.requests), 4)
        self.assertEqual(fields(ours + " && (_ws.malformed || _ws.expert.severity >= 0x600000)",
                                "frame.number"), [])

    def test_directory_agents(self):
        # Configured (OpenSLP's file natively, the Group Policy key under
        # Wine), directory agents are asked alone, by unicast, by the
        # server's name, ahead of the hosts file: a rogue agent on the group
        # is never asked, whatever they answer. Discovered ones are asked
        # beside the group. A file that only root can read is read all the
        # same (before the run gives up root's identity). Where agents are
        # configured, a LAN host's name service that answers every name is
        # never asked, though without them it is (Wine asks it through the
        # host's resolver).
        many = dict([("FS%04d" % i, ["10.0.1.1"]) for i in range(3000)], SLPONLY=["127.0.0.2"])
        def by_name_of(name):
            return [(1, TYPE, b"(svcname-ws=%s)" % name), (1, TYPE, b"(svcname-ws==%s)" % name)]
        by_name, fs9 = by_name_of(b"SLPONLY"), by_name_of(b"FS9")
        addresses = (6, SLP_URL, b"svcaddr-ws")
        for name, configured, scopes, directory, code, asked, rogue_asked in [
                ("configured, in the site's scopes", "127.0.0.5", " SITE1 , DEFAULT", {}, CLOCK,
                 by_name + [addresses], []),
                ("a scope with a blank", "127.0.0.5", "BLDG 32", {"scopes": (b"BLDG 32",)},
                 CLOCK, by_name + [addresses], []),
                ("thousands of servers", "127.0.0.5", "", {"servers": many}, CLOCK,
                 by_name + [addresses], []),
                ("one form refused, the other without the server: asked no more", "127.0.0.5",
                 "", {"servers": {"OTHER": ["127.0.0.2"]}, "predicates": ("=",)}, 2, by_name, []),
                ("both forms refused: every server", "127.0.0.5", "", {"predicates": ()}, CLOCK,
                 by_name + [(1, TYPE, b""), addresses], []),
                ("silent: no answer, the group never asked", "127.0.0.5", "", {"silent": True},
                 2, by_name * 3, []),
                ("a settings file that only root can read", "127.0.0.5", "", {"mode": 0o600},
                 CLOCK, by_name + [addresses], []),
                ("agents as long as the policy's room", "127.0.0.5" + " " * 502, "", {}, CLOCK,
                 by_name + [addresses], []),
                ("a name the hosts file has as well", "127.0.0.5", "", {"run": "srv1"}, CLOCK,
                 [(1, TYPE, b"(svcname-ws=SRV1)"), (1, TYPE, b"(svcname-ws==SRV1)"),
                  (6, TYPE + b":///srv1", b"svcaddr-ws")], []),
                ("found by discovery alone", None, "", {"host": "0.0.0.0", "multicast": True,
                                                        "directory": True}, CLOCK,
                 [(1, TYPE, b""), (1, DA_TYPE, b"")] + by_name + [addresses], None),
                ("a LAN host's name service, the agent silent", "127.0.0.5", "",
                 {"silent": True, "lan": True}, 2, by_name * 3, []),
                ("a LAN host's name service, no agents", None, "", {"lan": True}, CLOCK, [],
                 None),
                # A resolver's stub that passes a single-label name to LLMNR and
                # a .local one to mDNS: asked neither, a single label only
                # through the search list (without .local and root domains).
                ("a stub that asks the LAN, no search list", "127.0.0.5", "",
                 {"run": "fs9", "dns": ("", [])}, 2, fs9, []),
                ("a stub, a search list", "127.0.0.5", "",
                 {"run": "fs9", "dns": ("search corp.example", [b"FS9.corp.example"] * 2)},
                 2, fs9, []),
                ("a stub, a search list of .local and the root", "127.0.0.5", "",
                 {"run": "fs9", "dns": ("search local .", [])}, 2, fs9, []),
                ("a stub, a .local name", "127.0.0.5", "",
                 {"run": "nas.local", "dns": ("", [])}, 2, by_name_of(b"NAS.LOCAL"), []),
                ("a stub, a .local name the resolver unescapes", "127.0.0.5", "",
                 {"run": "nas.loc\\097l", "dns": ("", [])}, 2,
                 by_name_of(b"NAS.LOC\\5C097L"), []),
                ("a .local name in the hosts file", "127.0.0.5", "",
                 {"run": "fs9.local", "dns": ("", [])}, CLOCK, by_name_of(b"FS9.LOCAL"), []),
                # No address but a dotted one: 127.1 is the agent's as inet_aton
                # reads it.
                ("an agent as a loose number", "127.1", "", {"host": "127.0.0.1"}, 2, [], None)]:
            settings = dict(dict(servers=SERVERS, host="127.0.0.5", multicast=False), **directory)
            mode, server_name = settings.pop("mode", 0o644), settings.pop("run", "slponly")
            lan = lan_name_service() if settings.pop("lan", False) else contextlib.nullcontext()
            search, dns_asked = settings.pop("dns", (None, None))
            if search is not None and not isinstance(RUNNER, Native):
                continue  # Wine's DnsQuery asks the host's stub as it is
            dns = DnsResponder(search) if search is not None else contextlib.nullcontext()
            rogue = SlpAgent({"SLPONLY": ["127.0.0.9"]}) if rogue_asked is not None else \
                contextlib.nullcontext()
            with self.subTest(name), SlpAgent(**settings) as agent, rogue, lan, dns, \
                    NcpServer(addresses=[SLP_SERVER]), \
                    RUNNER.slp_settings(configured, scopes, mode) if configured else \
                    contextlib.nullcontext():
                exit_code, console, _ = self.run_garvelux([server_name])
                self.assertEqual((exit_code, console[len(BANNER):]), self.expect(
                    code, open_error(server_name.upper().encode(), 0x8847)))
                if search is not None:
                    self.assertEqual(dns.names, dns_asked)
                self.read("e2e.log")
                self.assertEqual([(r[1],) + tuple(r[4][1:4:2]) for r in agent.requests], asked)
                self.assertLessEqual({r[4][2] for r in agent.requests}, {
                    ",".join(s.strip() for s in scopes.split(",")).encode() or b"DEFAULT"})
                if rogue_asked is not None:
                    self.assertEqual([r[:2] + (r[4][0],) for r in rogue.requests
                                      if r[4][1] != DA_TYPE], rogue_asked)

    def normal_run(self):
        """A whole run's time here, the runner's own start-up included."""
        with NcpServer():
            elapsed = self.run_garvelux(["srv1"])[2]
        self.read("e2e.log")
        return elapsed

    def test_dead_first_address(self):
        # The resolver's first address (IPv6), or the first that SLP names,
        # drops every packet.
        normal = self.normal_run()
        for name, listens_on, rule in [
                ("both", BOTH, "ip6 daddr ::1 tcp dport 524 counter drop"),
                ("two", [SLP_SERVER], "ip daddr 127.0.0.9 tcp dport 524 counter drop")]:
            with self.subTest(name), SlpAgent({"TWO": ["127.0.0.9", "127.0.0.2"]}), \
                    NcpServer(addresses=listens_on), dropping(rule):
                code, console, elapsed = self.run_garvelux([name])
                dropped = nft_table()
                self.assertEqual((code, console[len(BANNER):]), self.expect(CLOCK, None))
                self.assertNotIn(b"packets 0 ", dropped)  # the dead address was tried first
                self.assertLess(elapsed - normal, 1.0)
                self.read("e2e.log")

    def test_time_bounds(self):
        # A server that never answers costs the open's 5 s; one that answers
        # the open but not the query costs the query's 5 s and the destroy's 1 s.
        # Attempts to a black-holed server keep going out for the open's 5 s.
        # Nobody answers the SLP lookup for a name no one knows in 2 s.
        normal = self.normal_run()
        open_failed = open_error(b"SRV1", 0x8805)
        for name, behaviour, rules, bound, code, text, *server_name in [
                ("silent on create", Behaviour(silent_on="create"), (), 5.0, 2, open_failed),
                ("silent on query", Behaviour(silent_on="query"), (), 6.0, 3,
                 query_error(0x8805)),
                ("silent on destroy", Behaviour(silent_on="destroy"), (), 1.0, CLOCK, None),
                ("one byte a second", Behaviour(trickle=True), (), 5.0, 2, open_failed),
                ("endless acknowledgements", Behaviour(busy=-1), (), 5.0, 2, open_failed),
                ("never reads", Behaviour(never_read=True), (), 5.0, 2, open_failed),
                ("black-holed server", Behaviour(), ("tcp dport 524 drop",), 5.0, 2,
                 open_error(b"SRV1", 0x880A)),
                ("a name nobody knows", Behaviour(), (), 2.0, 2,
                 open_error(b"NOWHERE.INVALID", 0x8847), "nowhere.invalid")]:
            with self.subTest(name), NcpServer(behaviour), dropping(*rules):
                exit_code, console, elapsed = self.run_garvelux(server_name or ["srv1"])
                expected = self.expect(code, text)
                self.assertEqual((exit_code, console, self.read("e2e.log")),
                                 (expected[0], BANNER + expected[1], expected[1]))
                self.assertGreaterEqual(elapsed, bound - 0.1)
                # no other budget spent, and no hang
                self.assertLess(elapsed - normal, bound + 2.5)


class wine_build(both_builds):
    def test_clock_set_to_the_present(self):
        with NcpServer(Behaviour(date=None)):
            code, console, _ = self.run_garvelux(["srv1"])
        self.assertEqual(code, 0)
        self.assertTrue(console.endswith(b"System Time successfully set up.\r\n"))


class native_build(both_builds):
    def test_clock_refused_in_the_namespace(self):
        for closed in None, 2:  # its hint never in the log, also with standard error closed
            with NcpServer():
                code, console, _ = self.run_garvelux(["srv1"], intercept=False, closed=closed)
            self.assertEqual((code, console, self.read("e2e.log")),
                             (4, BANNER + clock_error(1), clock_error(1)))

    def test_local_time_under_daylight_saving(self):
        for tz, date, utc in [
                ("UTC", (130, 12, 2, 20, 5, 0, 1), (2030, 12, 2, 20, 5, 0)),
                ("Europe/Berlin", (130, 7, 1, 12, 0, 0, 1), (2030, 7, 1, 10, 0, 0)),
                ("Europe/Berlin", (130, 12, 2, 20, 5, 0, 1), (2030, 12, 2, 19, 5, 0)),
                # The hour that repeats, read nearest the desk's clock (years
                # before it): its first pass, where a fresh mktime took the second.
                ("Europe/Berlin", (130, 10, 27, 2, 40, 0, 0), (2030, 10, 27, 0, 40, 0)),
                ("America/New_York", (130, 7, 1, 12, 0, 0, 1), (2030, 7, 1, 16, 0, 0)),
                (None, (130, 7, 1, 12, 0, 0, 1), None)]:  # the system's zone
            with self.subTest(tz=tz, date=date), NcpServer(Behaviour(date=bytes(date))):
                code, _, _ = self.run_garvelux(["srv1"], tz=tz)
                self.assertEqual(code, 0)
                seconds = calendar.timegm(utc) if utc else int(subprocess.check_output(
                    ["date", "-d", "2030-07-01 12:00:00", "+%s"], env=RUNNER.env("", tz=None)))
                # Set once: only Windows needs a second call.
                self.assertEqual(self.read("clock"), b"0 %d 2000000\n" % seconds)

    def test_privileges_while_waiting_for_the_server(self):
        clock_only, none = "%016x" % (1 << 25), "0" * 16  # CAP_SYS_TIME
        as_user = ["setpriv", "--reuid=1000", "--regid=1000", "--clear-groups",
                   "--inh-caps=+sys_time,+net_admin", "--ambient-caps=+sys_time,+net_admin"]
        with_groups = ["setpriv", "--groups=4,6"]  # adm and disk
        with_user = ["unshare", "-m", "sh", "-c", "cp /etc/passwd p && echo garvelux:x:999:999::"
                     '/:/bin/false >>p && mount --bind p /etc/passwd && exec "$@"', "-"]
        # Where every id seems to exist, as outside any user namespace: in a
        # namespace of only root, or in this one.
        seems = ["-m", "sh", "-c", "printf '%10u %10u %10u\\n' 0 0 4294967295 >m && "
                 'mount --bind m /proc/$$/uid_map && exec "$@"', "-"]
        unshared, seems_initial = ["unshare", "--map-root-user"] + seems, ["unshare"] + seems
        # A user whose 0 in a namespace of its own is 1000 outside; one as a
        # service runs it (the sets narrowed before), or not; and capset
        # refused with EPERM, as systemd's @privileged filter refuses it.
        as_1000 = as_user[:4]
        as_service = as_1000 + ["--inh-caps=+sys_time", "--ambient-caps=+sys_time",
                                "--bounding-set=-all,+sys_time"]
        no_capset = [sys.executable, "-c", DENY_CAPSET]
        # Capabilities the program's file permits but does not make effective.
        file_caps = ["sh", "-c", 'cp "$0" gx && setcap cap_dac_override,cap_sys_time+p gx && exec '
                     + " ".join(as_1000) + ' ./gx "$@"']
        # started by: root; root with supplementary groups; root where user
        # 65534 does not exist, 0 outside too, or 1000 there; a service's
        # user, and one holding more, capset refused where no namespace
        # excuses a failed step; a user with capabilities, or permitted by the
        # file alone; root where the packaged user exists; root that cannot
        # switch where it should; root's check, which keeps no capability.
        # Then Uid and Gid, the bounding set, and where the run is held: at
        # the query, once filtered, or while connecting to a black-holed
        # server, before; or that it ends as its client cannot start.
        for launcher, ids, bounding, held in [
                ([], "65534", clock_only, "query"),
                (with_groups, "65534", clock_only, "query"),
                (["unshare", "--map-root-user"], None, None, "init"),
                (as_1000 + ["unshare", "--map-root-user"], "1000", clock_only, "query"),
                (seems_initial + as_service + no_capset, "1000", clock_only, "query"),
                (seems_initial + as_user + no_capset, None, None, "init"),
                (as_user, "1000", "000001ffffffffff", "query"),
                (file_caps, "1000", "000001ffffffffff", "query"),
                (with_user, "999", clock_only, "query"),
                (unshared, None, None, "init"),
                (with_groups, "65534", clock_only, "connecting"),
                ([], "65534", none, "check")]:
            # Connection attempts only: a closing connection of the run before
            # must not look like this run connecting.
            rules = ["tcp dport 524 tcp flags & (syn | ack) == syn counter drop"] \
                if held == "connecting" else []
            with self.subTest(launcher=launcher, held=held), dropping(*rules), \
                    NcpServer(Behaviour(silent_on="query")) as server:
                os.chmod(self.dir.name, 0o777)
                with contextlib.suppress(FileNotFoundError):  # a user's log is not root's
                    os.unlink(os.path.join(self.dir.name, "e2e.log"))
                arguments = ["--check", "srv1"] if held == "check" else ["srv1", "/Le2e.log"]
                run = subprocess.Popen(launcher + RUNNER.command + arguments,
                                       cwd=self.dir.name, env=RUNNER.env(self.clock),
                                       stdout=subprocess.PIPE)
                if held == "init":  # the runs held before were killed: they logged nothing
                    refused = b"\nERROR: NWCallsInit returned 88FF\r\n"
                    self.assertEqual((run.wait(), run.stdout.read(), self.read("e2e.log")),
                                     (1, BANNER + refused, refused))
                    continue
                while run.poll() is None and (len(server.requests) < 2 if held != "connecting" else
                                              b"packets 0 " in nft_table()):
                    time.sleep(0.01)
                with open("/proc/%d/status" % run.pid) as f:
                    status = dict((k, v.strip()) for k, v in (line.split(":", 1) for line in f))
                run.kill()
                run.wait()
                filtered = RUNNER.filtered and held != "connecting" or DENY_CAPSET in launcher
                kept = none if held == "check" else clock_only
                # What a service manager put there stays where capset is refused.
                inherited = clock_only if "--ambient-caps=+sys_time" in launcher else none
                self.assertEqual(
                    [status[k] for k in ("Uid", "Gid", "Groups", "CapEff", "CapPrm", "CapBnd",
                                         "CapInh", "CapAmb", "NoNewPrivs", "Seccomp")],
                    ["\t".join([ids] * 4)] * 2 + ["", kept, kept, bounding, inherited,
                                                  inherited, "1", "2" if filtered else "0"])

    def test_the_test_agent_as_nmap_reads_it(self):
        # nmap 7.93's SLP library misreads two fields; a copy mends them.
        data = os.path.join(self.dir.name, "nmap")
        shutil.copytree("/usr/share/nmap", data)
        library = os.path.join(data, "nselib", "srvloc.lua")
        with open(library) as f:
            text = f.read()
        for wrong, right in [('">xI2s2C", data, pos', '">xI2s2B", data, pos'),
                             ('self.len, pos = string.unpack(">BBI3", data)',
                              'self.len, self.flags, pos = string.unpack(">BBI3I2", data)')]:
            self.assertIn(wrong, text)
            text = text.replace(wrong, right)
        with open(library, "w") as f:
            f.write(text)
        with SlpAgent({"FS1": ["127.0.0.2"], "FS2": ["127.0.0.3"]}):
            found = subprocess.run(["nmap", "--datadir", data, "-e", "lo", "--script",
                                    "broadcast-novell-locate"], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, timeout=60).stdout
        self.assertIn("|   Server name: FS1\n|   Addresses\n|_    127.0.0.2\n", found)

    def test_a_forbidden_call_ends_the_process(self):
        if not RUNNER.filtered:
            self.skipTest("no seccomp filter in this build")
        with NcpServer():
            code, console, _ = self.run_garvelux(["srv1"], forbidden=True)
        self.assertEqual(code, -signal.SIGSYS)
        self.assertEqual(console, BANNER + b"\r\n")

    def test_many_runs_append_to_one_log(self):
        runs = 40
        with NcpServer():
            results = []

            def one():
                results.append(self.run_garvelux(["srv1"], log="shared.log")[0])
            threads = [threading.Thread(target=one) for _ in range(runs)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        self.assertEqual(results, [0] * runs)
        self.assertEqual(self.read("shared.log"), SUCCESS * runs)

    def test_monitoring_check(self):
        # Started as root, against a server 90 s ahead: one line, no clock
        # call (the intercept's record stays empty), no log anywhere. Asked
        # well inside a second, the server's whole second rounds one way.
        time.sleep(1.3 - time.time() % 1)
        with NcpServer(Behaviour(ahead=90)):
            done = subprocess.run(RUNNER.command + ["--check", "srv1"], cwd=self.dir.name,
                                  env=RUNNER.env(self.clock), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (1, b"GARVELUX WARNING: SRV1 offset +90 s|offset=90s;60;120;;\n", b""))
        self.assertEqual((os.listdir(self.dir.name), self.read("clock")), (["clock"], b""))

    def test_default_log_in_the_current_directory(self):
        with NcpServer():
            subprocess.run(RUNNER.command + ["srv1"], cwd=self.dir.name, env=RUNNER.env(self.clock),
                           stdout=subprocess.DEVNULL, timeout=60, check=True)
        self.assertEqual(self.read("garvelux.log"), SUCCESS)


if __name__ == "__main__":
    if os.environ.get("GARVELUX_IN_NAMESPACE") != "1":
        with tempfile.NamedTemporaryFile("w", suffix=".hosts", delete=False) as hosts:
            hosts.write(HOSTS)
        os.chmod(hosts.name, 0o644)  # a run reads it as user 65534
        try:
            sys.exit(subprocess.call([os.path.join(HERE, "in_namespace.sh"), hosts.name,
                                      sys.executable] + sys.argv))
        finally:
            os.unlink(hosts.name)
    kind, arguments = sys.argv[1], sys.argv[2:]
    # The LAN host's name service, for the word size of the resolver that
    # loads it (Wine's, or the ELF class of the program's own), in the
    # overlay of /etc, which goes with the namespace.
    with open(arguments[0], "rb") as program:
        elf32 = program.read(5)[4:] == b"\x01"
    os.mkdir("/etc/lanhost")
    subprocess.run(["g++", "-m32" if kind == "wine" or elf32 else "-m64", "-shared", "-fPIC", "-nostdlib",
                    "-fno-stack-protector", "-o", "/etc/lanhost/libnss_lanhost.so.2",
                    os.path.join(HERE, "lanhost_nss.cpp")], check=True)
    os.environ["LD_LIBRARY_PATH"] = "/etc/lanhost"
    with wine_prefix() if kind == "wine" else contextlib.nullcontext() as wine_env:
        RUNNER = Native(*arguments) if kind == "native" else Wine(*arguments, wine_env)
        suite = unittest.TestLoader().loadTestsFromTestCase(
            native_build if kind == "native" else wine_build)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
