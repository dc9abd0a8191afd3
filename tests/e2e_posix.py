#!/usr/bin/env python3
"""The built garvelux against our loopback NCP server, inside namespaces of
its own (the clock cannot be set there; see in_namespace.sh).

usage: e2e_posix.py GARVELUX CLOCK_INTERCEPT_LIBRARY"""

import calendar
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from ncp_server import Behaviour, NcpServer  # noqa: E402

HOSTS = """127.0.0.1 localhost
127.0.0.1 srv1
127.0.0.3 refused
::1 srv6
::1 both
127.0.0.1 both
"""
BANNER = b"\r\n GARVELUX version 0.10, sets this clock from a NetWare server\r\n\r\n"
REPORT = b"DateTime: Mon 7.12. 2026, 20:05:00\r\n"
SUCCESS = b"\r\n" + REPORT + b"System Time successfully set up.\r\n"
NO_PRIVILEGE = b"\r\n" + REPORT + b"ERROR  1 setting system time.\r\n"
CREATE, QUERY, DESTROY = b"\x11\x11", b"\x22\x22", b"\x55\x55"


def open_error(name, code):
    return b"\r\n\nERROR: NWCCOpenConnByName(%s) returned %X\r\n" % (name, code)


def query_error(code):
    return b"\r\n\nERROR: NWGetFileServerDateAndTime returned %X\r\n" % code


def replace(offset, value):
    return lambda frame: frame[:offset] + value + frame[offset + len(value):]


GARVELUX, INTERCEPT = (os.path.abspath(a) for a in sys.argv[1:3])

# The reply checks one by one are the reader's unit tests; here a few of
# each kind, through the whole program.
# name, server behaviour (None: nothing listens), arguments, intercept the clock,
# exit code, what console and log show after the banner
CASES = [
    ("clock set", Behaviour(), ["srv1"], True, 0, SUCCESS),
    ("clock refused in the namespace", Behaviour(), ["srv1"], False, 4, NO_PRIVILEGE),
    ("ipv6", Behaviour(), ["srv6"], True, 0, SUCCESS),
    ("every address tried in turn", Behaviour(), ["both"], True, 0, SUCCESS),
    ("signed replies", Behaviour(signed=True), ["srv1"], True, 0, SUCCESS),
    ("busy acknowledgements", Behaviour(busy=3), ["srv1"], True, 0, SUCCESS),
    ("refused connection", None, ["refused"], True, 2, open_error(b"REFUSED", 0x880A)),
    ("unknown name", None, ["nowhere.invalid"], True, 2, open_error(b"NOWHERE.INVALID", 0x8847)),
    ("create refused by server", Behaviour(create_cc=0xFB), ["srv1"], True, 2,
     open_error(b"SRV1", 0x89FB)),
    ("no connection slots", Behaviour(create_status=0x04), ["srv1"], True, 2,
     open_error(b"SRV1", 0x8801)),
    ("closed on accept", Behaviour(close_on="accept"), ["srv1"], True, 2,
     open_error(b"SRV1", 0x8805)),
    ("query error code", Behaviour(query_cc=0x7F), ["srv1"], True, 3, query_error(0x897F)),
    ("closed on query", Behaviour(close_on="query"), ["srv1"], True, 3, query_error(0x8805)),
    ("bad signature", Behaviour(mangle=replace(0, b"XNcP")), ["srv1"], True, 3,
     query_error(0x8806)),
    ("wrong sequence", Behaviour(mangle=replace(10, b"\x07")), ["srv1"], True, 3,
     query_error(0x8806)),
    ("length beyond the reply buffer", Behaviour(mangle=replace(4, struct.pack(">I", 4096))),
     ["srv1"], True, 3, query_error(0x8806)),
    ("truncated reply", Behaviour(mangle=lambda f: f[:20]), ["srv1"], True, 3,
     query_error(0x8805)),
    ("acknowledgement of another request", Behaviour(busy=1, busy_sequence=5), ["srv1"], True, 2,
     open_error(b"SRV1", 0x8806)),
]


class in_namespace(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.clock = os.path.join(self.dir.name, "clock")

    def tearDown(self):
        self.dir.cleanup()

    def run_garvelux(self, args, intercept=True, log="e2e.log", tz="UTC"):
        env = dict(os.environ, TZ=tz, GARVELUX_CLOCK_RECORD=self.clock,
                   ASAN_OPTIONS="verify_asan_link_order=0")
        if intercept:
            env["LD_PRELOAD"] = INTERCEPT
        started = time.monotonic()
        done = subprocess.run([GARVELUX] + args + ["/L" + log], cwd=self.dir.name, env=env,
                              stdout=subprocess.PIPE, timeout=60)
        return done.returncode, done.stdout, time.monotonic() - started

    def read(self, name):
        with open(os.path.join(self.dir.name, name), "rb") as f:
            return f.read()

    def test_outcomes(self):
        for name, behaviour, args, intercept, code, text in CASES:
            with self.subTest(name):
                server = NcpServer(behaviour, [("127.0.0.1", 524), ("::1", 524)]
                                   if name != "every address tried in turn"
                                   else [("127.0.0.1", 524)]) if behaviour else None
                try:
                    exit_code, console, _ = self.run_garvelux(args, intercept)
                finally:
                    if server:
                        server.close()
                self.assertEqual(exit_code, code)
                self.assertEqual(console, BANNER + text)
                self.assertEqual(self.read("e2e.log"), text)
                os.unlink(os.path.join(self.dir.name, "e2e.log"))
                if server:  # a failed create is closed, never destroyed
                    kinds = [r[16:18] for r in server.requests]
                    expected = [CREATE] if code == 2 else [CREATE, QUERY, DESTROY]
                    self.assertEqual(kinds, expected[:len(kinds)])

    def test_clock_and_wire(self):
        with NcpServer() as server:
            code, _, _ = self.run_garvelux(["srv1"])
        self.assertEqual(code, 0)
        expected = calendar.timegm((2026, 12, 7, 20, 5, 0))
        self.assertEqual(self.read("clock"), b"0 %d 2000000\n" % expected)
        head = b"DmdT\x00\x00\x00\x17\x00\x00\x00\x01\x00\x00\x04\x00"
        self.assertEqual(server.requests, [
            head + b"\x11\x11\x00\xff\x01\xff\x00",
            head + b"\x22\x22\x01\x03\x01\x02\x14",
            head + b"\x55\x55\x02\x03\x01\x02\x00",
        ])

    def test_local_time_under_daylight_saving(self):
        for tz, date, utc in [
                ("Europe/Berlin", (126, 7, 1, 12, 0, 0, 3), (2026, 7, 1, 10, 0, 0)),
                ("Europe/Berlin", (126, 12, 7, 20, 5, 0, 1), (2026, 12, 7, 19, 5, 0)),
                ("America/New_York", (126, 7, 1, 12, 0, 0, 3), (2026, 7, 1, 16, 0, 0))]:
            with self.subTest(tz=tz, date=date), NcpServer(Behaviour(date=bytes(date))):
                code, _, _ = self.run_garvelux(["srv1"], tz=tz)
                self.assertEqual(code, 0)
                self.assertEqual(self.read("clock"), b"0 %d 2000000\n" % calendar.timegm(utc))
                os.unlink(self.clock)

    def test_time_bounds(self):
        # A server that never answers costs the open's 5 s; one that answers
        # the open but not the query costs the query's 5 s and the destroy's 1 s.
        open_failed = open_error(b"SRV1", 0x8805)
        for name, behaviour, bound, code, text in [
                ("silent on create", Behaviour(silent_on="create"), 5.0, 2, open_failed),
                ("silent on query", Behaviour(silent_on="query"), 6.0, 3, query_error(0x8805)),
                ("silent on destroy", Behaviour(silent_on="destroy"), 1.0, 0, SUCCESS),
                ("one byte a second", Behaviour(trickle=True), 5.0, 2, open_failed),
                ("endless acknowledgements", Behaviour(busy=-1), 5.0, 2, open_failed),
                ("never reads", Behaviour(never_read=True), 5.0, 2, open_failed)]:
            with self.subTest(name), NcpServer(behaviour):
                exit_code, _, elapsed = self.run_garvelux(["srv1"])
                self.assertEqual(exit_code, code)
                self.assertEqual(self.read("e2e.log"), text)
                os.unlink(os.path.join(self.dir.name, "e2e.log"))
                self.assertGreaterEqual(elapsed, bound - 0.1)
                self.assertLess(elapsed, bound + 3)  # no other budget spent, and no hang

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

    def test_default_log_in_the_current_directory(self):
        with NcpServer():
            env = dict(os.environ, LD_PRELOAD=INTERCEPT, GARVELUX_CLOCK_RECORD=self.clock,
                       ASAN_OPTIONS="verify_asan_link_order=0")
            subprocess.run([GARVELUX, "srv1"], cwd=self.dir.name, env=env,
                           stdout=subprocess.DEVNULL, timeout=60, check=True)
        self.assertEqual(self.read("garvelux.log"), SUCCESS)


if __name__ == "__main__":
    if os.environ.get("GARVELUX_IN_NAMESPACE") != "1":
        with tempfile.NamedTemporaryFile("w", suffix=".hosts", delete=False) as hosts:
            hosts.write(HOSTS)
        try:
            sys.exit(subprocess.call([os.path.join(HERE, "in_namespace.sh"), hosts.name,
                                      sys.executable] + sys.argv))
        finally:
            os.unlink(hosts.name)
    sys.argv[1:] = sys.argv[3:]
    unittest.main(verbosity=2)
