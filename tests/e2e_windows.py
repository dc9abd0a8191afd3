#!/usr/bin/env python3
"""garvelux.exe under Wine, over stand-in NetWare client libraries, with its
standard output redirected so that the bytes can be read; and its package
and scheduled task under Wine's own Windows Installer and Task Scheduler.
Runs in user and network namespaces of its own and one Wine prefix made
for the whole run.

usage: e2e_windows.py GARVELUX_EXE STANDIN_DLL_FOLDER MSI TASK_XML"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ncp_server import NcpServer  # noqa: E402
from wine_prefix import wine_prefix  # noqa: E402

BANNER = b"\r\n GARVELUX version 0.10, sets this clock from a NetWare server\r\n\r\n"
SYNTAX = b"\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n"
CALLS = ["NWCallsInit(00000000,00000000)", "NWCCOpenConnByName(0,SRV1,2,8,0x8000)",
         "NWGetFileServerDateAndTime(0x1234,zeroed)"]
RELEASE = "release_client(00000000)"
OLD_DATE = "100,5,2,8,16,42,2"
OLD_REPORT = b"DateTime: Tue 2.5. 2000, 8:16:42\r\n"

EXE, STANDIN, MSI, TASK_XML = (os.path.abspath(a) for a in sys.argv[1:5])
TASK_NAMESPACE = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"

# name, scripted client, arguments, exit code, console after the banner,
# log (None: no log is written), calls recorded
CASES = [
    ("init fails", {"INIT": "FF"}, ["srv1", "/Lrun.log"], 1,
     b"\nERROR: NWCallsInit returned FF\r\n", True, CALLS[:1]),
    ("open fails", {"OPEN": "8847"}, ["srv1", "/Lrun.log"], 2,
     b"\r\n\nERROR: NWCCOpenConnByName(SRV1) returned 8847\r\n", True, CALLS[:2] + [RELEASE]),
    ("query fails", {"QUERY": "880A"}, ["srv1", "/Lrun.log"], 3,
     b"\r\n\nERROR: NWGetFileServerDateAndTime returned 880A\r\n", True, CALLS + [RELEASE]),
    ("clock refused", {"DATE": OLD_DATE}, ["srv1", "/Lrun.log"], 4,
     b"\r\n" + OLD_REPORT + b"ERROR  1314 setting system time.\r\n", True, CALLS + [RELEASE]),
    ("syntax asked for", {}, ["srv1", "/Lrun.log", "/?"], 0, SYNTAX, False, []),
    ("--help and --version are server names here", {"OPEN": "8847"},
     ["--version", "--help", "/Lrun.log"], 2,
     b"\r\n\nERROR: NWCCOpenConnByName(--HELP) returned 8847\r\n", True,
     [CALLS[0], "NWCCOpenConnByName(0,--HELP,2,8,0x8000)", RELEASE]),
    ("no arguments", {}, [], 255, b"No Parameters\r\n" + SYNTAX + b"\r\n", False, []),
    ("no server", {}, ["/Lx.log"], 255, b"Server not specified.\r\n" + SYNTAX + b"\r\n", False,
     []),
]


def wine(env, *args):
    return subprocess.run(("wine",) + args, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120).returncode


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def run(folder, args, script, record, clock_calls=None):
    """Exit code and standard output; Wine's relay trace counts the calls of
    KERNEL32's SetLocalTime into clock_calls (a list) when one is given."""
    env = dict(os.environ, GARVELUX_STANDIN_RECORD=record)
    if clock_calls is not None:
        env["WINEDEBUG"] = "-all,+relay"  # RelayInclude keeps it to SetLocalTime
    for key, value in script.items():
        env["GARVELUX_STANDIN_" + key] = value
    done = subprocess.run(["wine", os.path.join(folder, "garvelux.exe")] + args, cwd=folder,
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if clock_calls is not None:
        clock_calls.append(done.stderr.count(b":Call KERNEL32.SetLocalTime("))
    return done.returncode, done.stdout


class under_wine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.record = os.path.join(self.dir, "record")
        shutil.copy(EXE, self.dir)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def with_client(self, *libraries):
        for library in libraries:
            shutil.copy(os.path.join(STANDIN, library), self.dir)

    def read(self, name):
        path = os.path.join(self.dir, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def recorded(self):
        text = self.read("record")
        return text.decode().splitlines() if text else []

    def test_outcomes(self):
        self.with_client("calwin32.dll", "clxwin32.dll")
        for name, script, args, code, text, logged, calls in CASES:
            with self.subTest(name):
                clock_calls = []
                exit_code, console = run(self.dir, args, script, self.record, clock_calls)
                self.assertEqual(exit_code, code)
                # A failed clock call is not repeated; no other row reaches the clock.
                self.assertEqual(clock_calls, [1 if code == 4 else 0])
                self.assertEqual(console, BANNER + text)
                self.assertEqual(self.read("run.log"), text if logged else None)
                self.assertEqual(self.recorded(), calls)
                for leftover in ("run.log", "record"):
                    if os.path.exists(os.path.join(self.dir, leftover)):
                        os.unlink(os.path.join(self.dir, leftover))

    def test_clock_set_with_the_current_time(self):
        self.with_client("calwin32.dll", "clxwin32.dll")
        clock_calls = []
        code, console = run(self.dir, ["srv1"], {"DATE": "now"}, self.record, clock_calls)
        self.assertEqual(code, 0)
        # Twice, as Windows needs across a daylight-saving change.
        self.assertEqual(clock_calls, [2])
        text = console[len(BANNER):]
        self.assertRegex(text, rb"^\r\nDateTime: (Mon|Tue|Wen|Thu|Fri|Sat|Sun) \d+\.\d+\. \d{4}, "
                               rb"\d+:\d\d:\d\d\r\nSystem Time successfully set up\.\r\n$")
        self.assertEqual(self.read("garvelux.log"), text)
        self.assertEqual(self.recorded(), CALLS + [RELEASE])

    def test_default_log_joins_the_directory_with_a_backslash(self):
        self.with_client("calwin32.dll", "clxwin32.dll")
        os.mkdir(os.path.join(self.dir, "garvelux.log"))  # cannot be opened as a file
        code, console = run(self.dir, ["srv1"], {"QUERY": "1"}, self.record)
        self.assertEqual(code, 3)
        windows_dir = ("Z:" + self.dir.replace("/", "\\")).encode()
        self.assertIn(b"Unable to open log file " + windows_dir + b"\\garvelux.log\r\n", console)

    def test_a_client_that_cannot_be_loaded_gives_way_to_the_built_in_one(self):
        # Loopback alone here, without a multicast route: the built-in client
        # finds no address for the name, neither by DNS nor by SLP.
        text = b"\r\n\nERROR: NWCCOpenConnByName(SRV1) returned 8847\r\n"
        for present in ([], ["calwin32.dll"], ["clxwin32.dll"]):
            with self.subTest(present=present):
                self.with_client(*present)
                code, console = run(self.dir, ["srv1"], {}, self.record)
                self.assertEqual((code, console), (2, BANNER + text))
                self.assertEqual(self.read("garvelux.log"), text)
                self.assertEqual(self.recorded(), [])
                for name in present + ["garvelux.log"]:
                    os.unlink(os.path.join(self.dir, name))

    def test_client_ordinal_missing(self):
        shutil.copy(os.path.join(STANDIN, "clxwin32.dll"), os.path.join(self.dir, "calwin32.dll"))
        self.with_client("clxwin32.dll")
        code, console = run(self.dir, ["srv1"], {}, self.record)
        self.assertEqual((code, console), (1, BANNER + b"\nERROR: NWCallsInit returned 7F\r\n"))
        self.assertEqual(self.recorded(), [])

    def test_many_runs_append_to_one_log(self):
        self.with_client("calwin32.dll", "clxwin32.dll")
        runs, codes = 8, []
        threads = [threading.Thread(target=lambda: codes.append(
            run(self.dir, ["srv1", "/Lshared.log"], {"QUERY": "880A"}, self.record)[0]))
            for _ in range(runs)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(codes, [3] * runs)
        self.assertEqual(self.read("shared.log"),
                         b"\r\n\nERROR: NWGetFileServerDateAndTime returned 880A\r\n" * runs)


class packaged(unittest.TestCase):
    """The definition and the package under Wine 8's Task Scheduler, which
    keeps only a task's registration information and settings: its copy
    has no triggers, principal or command. Those are read from the
    definition itself. A prefix of their own, where services start."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = wine_prefix(services=True)
        cls.env = cls.prefix.__enter__()
        drive = os.path.join(cls.env["WINEPREFIX"], "drive_c")
        cls.task = os.path.join(drive, "windows", "system32", "tasks", "GARVELUX")
        cls.program = os.path.join(drive, "Program Files", "GARVELUX")
        cls.logs = os.path.join(drive, "ProgramData", "GARVELUX")
        if wine(cls.env, "net", "start", "schedule") != 0:
            raise RuntimeError("Wine's Task Scheduler did not start")

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)

    def registered(self):
        with open(self.task, encoding="utf-8-sig") as f:
            stored = f.read()
        return "<URI>\\GARVELUX</URI>" in stored and \
            "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>" in stored and \
            "<RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>" in stored

    def test_the_task_definition(self):
        task = ElementTree.parse(TASK_XML).getroot()
        self.assertEqual(task.get("version"), "1.3")
        find = (lambda path: [e.text for e in task.iterfind(path.replace("/", "/" +
                                                                         TASK_NAMESPACE))])
        self.assertEqual([t.tag[len(TASK_NAMESPACE):] for t in task.find(
            TASK_NAMESPACE + "Triggers")], ["BootTrigger", "LogonTrigger", "TimeTrigger"])
        self.assertEqual(find("./Triggers/TimeTrigger/Repetition/Interval"), ["PT1H"])
        self.assertEqual(find("./Triggers/TimeTrigger/RandomDelay"), ["PT5M"])
        self.assertEqual(find("./Principals/Principal/UserId"), ["S-1-5-19"])  # LOCAL SERVICE
        self.assertEqual(find("./Principals/Principal/RequiredPrivileges/Privilege"),
                         ["SeSystemtimePrivilege"])
        self.assertEqual(find("./Settings/MultipleInstancesPolicy"), ["IgnoreNew"])
        self.assertEqual(find("./Settings/RunOnlyIfNetworkAvailable"), ["true"])
        # Registered by hand as the manual says.
        self.assertEqual(wine(self.env, "schtasks", "/create", "/xml", windows_path(TASK_XML),
                              "/tn", "GARVELUX"), 0)
        self.assertTrue(self.registered())
        self.assertEqual(wine(self.env, "schtasks", "/delete", "/tn", "GARVELUX", "/f"), 0)
        self.assertFalse(os.path.exists(self.task))

    def test_silent_install_run_and_removal(self):
        self.assertEqual(
            wine(self.env, "msiexec", "/i", windows_path(MSI), "SERVER=FS1", "/qn"), 0)
        self.assertEqual(sorted(os.listdir(self.program)),
                         ["CHANGELOG.txt", "LICENSE.txt", "garvelux-task.xml", "garvelux.exe",
                          "garvelux.txt"])
        self.assertTrue(self.registered())
        # The installed program runs from its folder on its built-in client,
        # logging where the task does; Wine refuses the clock.
        log = "C:\\ProgramData\\GARVELUX\\garvelux.log"
        with NcpServer():
            done = subprocess.run(["wine", "C:\\Program Files\\GARVELUX\\garvelux.exe",
                                   "localhost", "/L" + log], env=self.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, timeout=120)
        text = b"\r\nDateTime: Mon 7.12. 2026, 20:05:00\r\nERROR  1314 setting system time.\r\n"
        self.assertEqual((done.returncode, done.stdout), (4, BANNER + text))
        self.assertEqual(wine(self.env, "msiexec", "/x", windows_path(MSI), "/qn"), 0)
        self.assertFalse(os.path.exists(self.program))
        self.assertFalse(os.path.exists(self.task))
        self.assertEqual(os.listdir(self.logs), ["garvelux.log"])  # the log is the admin's
        # Without SERVER only the program is installed.
        self.assertEqual(wine(self.env, "msiexec", "/i", windows_path(MSI), "/qn"), 0)
        self.assertTrue(os.path.exists(os.path.join(self.program, "garvelux.exe")))
        self.assertFalse(os.path.exists(self.task))
        self.assertEqual(wine(self.env, "msiexec", "/x", windows_path(MSI), "/qn"), 0)


if __name__ == "__main__":
    if os.environ.get("GARVELUX_IN_NAMESPACE") != "1":
        os.environ["GARVELUX_IN_NAMESPACE"] = "1"
        sys.exit(subprocess.call(["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$@"',
                                  "-", sys.executable] + sys.argv))
    with wine_prefix() as wine_env:
        os.environ.update(wine_env)
        subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                        "/d", "KERNEL32.SetLocalTime", "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        sys.argv[1:] = sys.argv[5:]
        unittest.main(verbosity=2)
