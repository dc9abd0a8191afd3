#!/usr/bin/env python3
"""garvelux.exe under Wine, over stand-in NetWare client libraries, with its
standard output redirected so that the bytes can be read; and its package
and scheduled task under Wine's own Windows Installer and Task Scheduler.
Runs in user and network namespaces of its own and one Wine prefix made
for the whole run.

usage: e2e_windows.py GARVELUX_EXE STANDIN_DLL_FOLDER MSI TASK_XML"""

import calendar
import codecs
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid
import xml.etree.ElementTree as ElementTree
import zoneinfo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ncp_server import NcpServer  # noqa: E402
from wine_prefix import wine_prefix  # noqa: E402

BANNER = b"\r\n GARVELUX version 0.10, sets this clock from a NetWare server\r\n\r\n"
SYNTAX = b"\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n"
CALLS = ["NWCallsInit(00000000,00000000)", "NWCCOpenConnByName(0,SRV1,2,8,0x8000)",
         "NWGetFileServerDateAndTime(0x1234,zeroed)"]
RELEASE = "release_client(00000000)"
FAR_DATE = "130,5,2,8,16,42,4"
FAR_REPORT = b"DateTime: Thu 2.5. 2030, 8:16:42\r\n"
NOT_FOUND = b"\r\n\nERROR: NWCCOpenConnByName(SRV1) returned 8847\r\n"
# An autumn's repeated hour in a zone whose desk is now in standard time,
# where SetLocalTime takes its later reading though the earlier is nearer.
ZONE, REPEATED = ("Australia/Sydney", (2030, 4, 7, 2, 40, 0)) if datetime.datetime.now(
    zoneinfo.ZoneInfo("Europe/Berlin")).dst() else ("Europe/Berlin", (2030, 10, 27, 2, 40, 0))
BOUNDED = b"\r\nDateTime: Sun %d.%d. 2030, 2:40:00\r\nERROR: the clock would move by N seconds, " \
    b"more than the bound of B: clock not set.\r\n" % REPEATED[2:0:-1]

EXE, STANDIN, MSI, TASK_XML = (os.path.abspath(a) for a in sys.argv[1:5])
# A folder ("owned") and a log in "logs" of another account, made before
# the namespace by root, which alone can make them.
FOREIGN = os.environ.get("GARVELUX_FOREIGN")
TASK_NAMESPACE = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"
SETTINGS = "HKLM\\SOFTWARE\\GARVELUX"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
NOTHING = (0, False, None, None)
EVENT_SOURCE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\GARVELUX"
POLICY = "HKLM\\SOFTWARE\\Policies\\GARVELUX"

# The hints that the Event Log's record adds after an error (not the
# console or the log).
REFUSED = b"not a file of its own (a link, junction, pipe, device or hard link)"
HINT_NOT_FOUND = b"Hint: the name was not found in the hosts file, DNS or SLP: check its " \
    b"spelling, or add it to the hosts file or DNS.\r\n"
HINT_NO_ANSWER = b"Hint: no NCP server answered on TCP port 524 at the name's addresses: " \
    b"check that the server is up and that no firewall drops TCP 524.\r\n"
NO_LOG = b". The run goes on without a log: name one that this account can create or append " \
    b"to.\r\n"

# name, scripted client, arguments, exit code, console after the banner,
# reported (and run.log written where it is the log), calls recorded, and
# the Event Log's text where it holds hints
CASES = [
    ("init fails, 88FF the client's own code here", {"INIT": "88FF"}, ["srv1", "/Lrun.log"], 1,
     b"\nERROR: NWCallsInit returned 88FF\r\n", True, CALLS[:1],
     b"\nERROR: NWCallsInit returned 88FF\r\nHint: the NetWare client could not start: the "
     b"manual's DIAGNOSTICS explain the code.\r\n"),
    ("open fails", {"OPEN": "8847"}, ["srv1", "/Lrun.log"], 2,
     b"\r\n\nERROR: NWCCOpenConnByName(SRV1) returned 8847\r\n", True, CALLS[:2] + [RELEASE],
     NOT_FOUND + HINT_NOT_FOUND),
    ("query fails", {"QUERY": "880A"}, ["srv1", "/Lrun.log"], 3,
     b"\r\n\nERROR: NWGetFileServerDateAndTime returned 880A\r\n", True, CALLS + [RELEASE],
     b"\r\n\nERROR: NWGetFileServerDateAndTime returned 880A\r\n" + HINT_NO_ANSWER),
    ("clock refused", {"DATE": FAR_DATE}, ["srv1", "/Lrun.log"], 4,
     b"\r\n" + FAR_REPORT + b"ERROR  1314 setting system time.\r\n", True, CALLS + [RELEASE],
     b"\r\n" + FAR_REPORT + b"ERROR  1314 setting system time.\r\nHint: this account lacks "
     b"the right to change the system time: let the GARVELUX task run it, or run it from an "
     b"elevated prompt.\r\n"),
    ("a bound half an hour short of the step SetLocalTime makes in the repeated hour",
     {"DATE": "130,%d,%d,2,40,0,0" % REPEATED[1:3], "TZ": ZONE, "BOUND": lambda: int(
         calendar.timegm(REPEATED) - time.time() - 1800 -
         datetime.datetime.now(zoneinfo.ZoneInfo(ZONE)).utcoffset().total_seconds())},
     ["srv1", "/Lrun.log"], 4, BOUNDED, True, CALLS + [RELEASE], BOUNDED + b"Hint: check which "
     b"clock is wrong; if it is this desk's, run once without the bound (the MaxStepSeconds "
     b"policy).\r\n"),
    ("syntax asked for", {}, ["srv1", "/Lrun.log", "/?"], 0, SYNTAX, False, []),
    ("--help, --version and -l are server names here", {"OPEN": "8847"},
     ["--version", "-l", "--help", "/Lrun.log"], 2,
     b"\r\n\nERROR: NWCCOpenConnByName(--HELP) returned 8847\r\n", True,
     [CALLS[0], "NWCCOpenConnByName(0,--HELP,2,8,0x8000)", RELEASE],
     b"\r\n\nERROR: NWCCOpenConnByName(--HELP) returned 8847\r\n" + HINT_NOT_FOUND),
    ("no arguments", {}, [], 255, b"No Parameters\r\n" + SYNTAX + b"\r\n", False, []),
    ("no server", {}, ["/Lx.log"], 255, b"Server not specified.\r\n" + SYNTAX + b"\r\n", False,
     []),
] + [("a log refused: " + log, {"QUERY": "880A"}, ["srv1", "/L" + log], 3,
      b"Unable to open log file %s\r\n\r\n\nERROR: NWGetFileServerDateAndTime returned 880A\r\n"
      % log.encode(), True, CALLS + [RELEASE],
      b"Unable to open log file %s\r\nHint: %s%s\r\n\nERROR: NWGetFileServerDateAndTime "
      b"returned 880A\r\n%s" % (log.encode(), reason, NO_LOG, HINT_NO_ANSWER))
     # a hard link; a folder; a service's pipe; a device (Wine 8 follows a
     # Unix symlink: it shows no reparse point)
     for log, reason in (("hard.log", REFUSED), ("dir.log", b"Access denied"),
                         ("\\\\.\\pipe\\svcctl", REFUSED), ("NUL", REFUSED))]


def wine(env, *args):
    return subprocess.run(("wine",) + args, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120).returncode


def as_traced(text, events):
    """text as the trace of the one report in events shows it: cut where
    Wine cut it, if it is a beginning of text."""
    traced = events[0][2] if len(events) == 1 else b""
    return traced if traced.endswith(CUT) and text.startswith(traced[:-1]) else text


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


# Ends the text of a report whose trace Wine cut short (at some 300 characters).
CUT = b"\0"


def event_reports(trace):
    """(type, event ID, text) of each ReportEventW that Wine's stub traced
    with a user SID: its arguments, then the text's lines one by one."""
    reports = []
    for line in trace.decode(errors="replace").splitlines():
        call = re.search(r"fixme:advapi:ReportEventW \(\w+,0x(\w+),0x\w+,0x(\w+),(?!0+,)", line)
        text = re.search(r':eventlog:ReportEventW L"(.*)"(\.\.\.)?$', line)
        if call:
            reports.append([int(call[1], 16), int(call[2], 16), b""])
        elif text:
            reports[-1][2] += codecs.decode(text[1], "unicode_escape").encode("latin-1")
            reports[-1][2] += CUT if text[2] else b""
    return [tuple(r) for r in reports]


def run(folder, args, script, record, clock_calls=None, events=None, program=None):
    """Exit code and standard output of garvelux.exe in program (by default
    the current folder); Wine's relay trace counts the calls of KERNEL32's
    SetLocalTime into clock_calls (a list) when one is given, and the Event
    Log reports go into events. The folder is also on PATH."""
    env = dict(os.environ, GARVELUX_STANDIN_RECORD=record, WINEPATH=windows_path(folder),
               WINEDEBUG="-all,+eventlog,fixme+advapi")
    if clock_calls is not None:
        env["WINEDEBUG"] += ",+relay"  # RelayInclude keeps it to SetLocalTime
    for key, value in script.items():
        if key == "BOUND":  # the policy, in seconds from now
            wine(env, "reg", "add", POLICY, "/v", "MaxStepSeconds", "/t", "REG_DWORD", "/d",
                 str(value()), "/f")
        else:
            env[key if key == "TZ" else "GARVELUX_STANDIN_" + key] = value
    done = subprocess.run(["wine", os.path.join(program or folder, "garvelux.exe")] + args,
                          cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=120)
    if "BOUND" in script:
        wine(env, "reg", "delete", POLICY, "/f")
    if clock_calls is not None:
        clock_calls.append(done.stderr.count(b":Call KERNEL32.SetLocalTime("))
    if events is not None:
        events += [(kind, code, steady(text)) for kind, code, text in event_reports(done.stderr)]
    return done.returncode, steady(done.stdout)


def steady(text):
    """text with a step's figures, which follow the desk's clock, as N and B."""
    return re.sub(rb"move by [-+]\d+\.\d{3} seconds, more than the bound of \d+",
                  b"move by N seconds, more than the bound of B", text)


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
        with open(os.path.join(self.dir, "victim"), "wb") as f:
            f.write(b"secret")
        os.mkdir(os.path.join(self.dir, "dir.log"))
        os.link(os.path.join(self.dir, "victim"), os.path.join(self.dir, "hard.log"))
        for name, script, args, code, text, logged, calls, *event in CASES:
            with self.subTest(name):
                clock_calls, events = [], []
                exit_code, console = run(self.dir, args, script, self.record, clock_calls, events)
                self.assertEqual(exit_code, code)
                # A failed clock call is not repeated; no other row reaches the clock.
                self.assertEqual(clock_calls, [int(b"setting system time" in text)])
                # One Event Log report (1: error) for a run that read its
                # command line; its text is the log's.
                self.assertEqual(events, [(1, code, as_traced((event or [text])[0], events))]
                                 if logged else [])
                self.assertEqual(console, BANNER + text)
                self.assertEqual(steady(self.read("run.log") or b"") or None,
                                 text if logged and "/Lrun.log" in args else None)
                self.assertEqual(self.recorded(), calls)
                for leftover in ("run.log", "record"):
                    if os.path.exists(os.path.join(self.dir, leftover)):
                        os.unlink(os.path.join(self.dir, leftover))
        self.assertEqual(self.read("victim"), b"secret")

    def test_clock_set_with_the_current_time(self):
        self.with_client("calwin32.dll", "clxwin32.dll")
        clock_calls, events = [], []
        code, console = run(self.dir, ["srv1"], {"DATE": "now"}, self.record, clock_calls, events)
        self.assertEqual(code, 0)
        # Twice, as Windows needs across a daylight-saving change.
        self.assertEqual(clock_calls, [2])
        text = console[len(BANNER):]
        self.assertRegex(text, rb"^\r\nDateTime: (Mon|Tue|Wen|Thu|Fri|Sat|Sun) \d+\.\d+\. \d{4}, "
                               rb"\d+:\d\d:\d\d\r\nSystem Time successfully set up\.\r\n$")
        self.assertEqual(self.read("garvelux.log"), text)
        # Information: the run's text, and by how much the clock moved.
        self.assertEqual(len(events), 1)
        self.assertEqual(events[0][:2], (4, 0))
        self.assertRegex(events[0][2], re.escape(text) + rb"The clock moved by \+0\.\d{3} seconds\.\r\n$")
        self.assertEqual(self.recorded(), CALLS + [RELEASE])

    def test_default_log_joins_the_directory_with_a_backslash(self):
        self.with_client("calwin32.dll", "clxwin32.dll")
        os.mkdir(os.path.join(self.dir, "garvelux.log"))  # cannot be opened as a file
        events = []
        code, console = run(self.dir, ["srv1"], {"QUERY": "1"}, self.record, events=events)
        self.assertEqual(code, 3)
        windows_dir = ("Z:" + self.dir.replace("/", "\\")).encode()
        self.assertIn(b"Unable to open log file " + windows_dir + b"\\garvelux.log\r\n", console)
        # The run without a log, with the hints: why the log was refused (a
        # folder), and what to do about the query's failure.
        text = console[len(BANNER):].replace(b"garvelux.log\r\n", b"garvelux.log\r\nHint: Access "
                                             b"denied" + NO_LOG, 1)
        text += (b"Hint: the server was reached but did not tell its date and time: try again; "
                 b"the manual's DIAGNOSTICS explain the code.\r\n")
        self.assertEqual(events, [(1, 3, as_traced(text, events))])

    def test_a_client_that_cannot_be_loaded_gives_way_to_the_built_in_one(self):
        # Loopback alone here, without a multicast route: the built-in client
        # finds no address for the name, neither by DNS nor by SLP. Both
        # libraries in the current folder and on PATH, where others may put
        # them, but not beside the program, are not loaded.
        program = os.path.join(self.dir, "program")
        os.mkdir(program)
        for present, folder in (([], self.dir), (["calwin32.dll"], self.dir),
                                (["clxwin32.dll"], self.dir),
                                (["calwin32.dll", "clxwin32.dll"], program)):
            with self.subTest(present=present, folder=folder):
                self.with_client(*present)
                shutil.copy(EXE, folder)
                code, console = run(self.dir, ["srv1"], {}, self.record, program=folder)
                self.assertEqual((code, console), (2, BANNER + NOT_FOUND))
                self.assertEqual(self.read("garvelux.log"), NOT_FOUND)
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
    definition itself, and the command from the installer's log. A prefix
    of their own, where services start: 64-bit where Wine has it, as real
    desks are, and without script engines, as hardened desks may be."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = wine_prefix(services=True)
        cls.env = cls.prefix.__enter__()
        cls.env["WINEDLLOVERRIDES"] += ";jscript,vbscript,wshom.ocx,scrrun=d"
        drive = os.path.join(cls.env["WINEPREFIX"], "drive_c")
        cls.task = os.path.join(drive, "windows", "system32", "tasks", "GARVELUX")
        # The 32-bit Program Files folder, "Program Files (x86)" on 64 bits.
        folder = next(f for f in ("Program Files (x86)", "Program Files")
                      if os.path.isdir(os.path.join(drive, f)))
        cls.program = os.path.join(drive, folder, "GARVELUX")
        cls.exe = "C:\\%s\\GARVELUX\\garvelux.exe" % folder
        cls.logs = os.path.join(drive, "ProgramData", "GARVELUX")
        cls.drive = drive
        cls.work = tempfile.mkdtemp()
        if wine(cls.env, "net", "start", "schedule") != 0:
            raise RuntimeError("Wine's Task Scheduler did not start")

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        shutil.rmtree(cls.work)

    def registered(self):
        if not os.path.exists(self.task):
            return False
        with open(self.task, encoding="utf-8-sig") as f:
            stored = f.read()
        return "<URI>\\GARVELUX</URI>" in stored and \
            "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>" in stored and \
            "<RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>" in stored

    def msiexec(self, *args):
        """Exit code (modulo 256) and the tasks registered, as the
        installer's log has their <Exec>, whitespace between tags left out;
        the texts the install reported to the Event Log in self.events."""
        log = os.path.join(self.work, "msi.log")
        done = subprocess.run(["wine", "msiexec", *args, "/qn", "/l*v", windows_path(log)],
                              env=dict(self.env, WINEDEBUG="-all,+eventlog"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        code = done.returncode
        self.events = re.findall(r':eventlog:ReportEventW L"(.*)"$',
                                 done.stderr.decode(errors="replace"), re.M)
        with open(log, encoding="utf-8", errors="replace") as f:
            self.log = f.read()
        return code, [re.sub(r">\s+<", "><", e) for e in re.findall(
            r"GARVELUX task: registered to run as LOCAL SERVICE: (<Exec>.*?</Exec>)", self.log,
            re.S)]

    def copy(self, *queries):
        """The package changed by the queries, under a new product code."""
        path = os.path.join(self.work, "copy%d.msi" % len(os.listdir(self.work)))
        shutil.copy(MSI, path)
        queries += ("UPDATE Property SET Value = '{%s}' WHERE Property = 'ProductCode'"
                    % str(uuid.uuid4()).upper(),)
        subprocess.run(["msibuild", path] + [a for q in queries for a in ("-q", q)], check=True)
        return windows_path(path)

    def scheduler(self, start):
        """Task Scheduler's service started on demand (3) or disabled (4),
        taking effect with a fresh wineserver."""
        for command in (["wine", "reg", "add", "HKLM\\System\\CurrentControlSet\\Services\\"
                         "Schedule", "/v", "Start", "/t", "REG_DWORD", "/d", str(start), "/f"],
                        ["wineserver", "-k"], ["wineserver", "-w"],
                        ["wineserver", "--persistent"], ["wineboot"]):
            subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120, check=True)
        if start == 3:
            self.assertEqual(wine(self.env, "net", "start", "schedule"), 0)

    def reg(self, key, name):
        done = subprocess.run(["wine", "reg", "query", key, "/v", name, "/reg:32"], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
        found = re.search(rb"REG_\w+\s+(.*?)\r?$", done.stdout, re.M)
        return found[1].decode() if found else None

    def products(self, name="GARVELUX"):
        listing = subprocess.run(["wine", "reg", "query", UNINSTALL, "/s", "/reg:32"],
                                 env=self.env, stdout=subprocess.PIPE, timeout=120).stdout
        return len(re.findall(rb"DisplayName\s+REG_SZ\s+%s\r?$" % name.encode(), listing, re.M))

    def state(self):
        """Products installed, the task, the remembered server, the Event
        Log source's message file."""
        return (self.products(), self.registered(), self.reg(SETTINGS, "Server"),
                self.reg(EVENT_SOURCE, "EventMessageFile"))

    def installed(self, server):
        return (1, True, server, self.exe)

    def read_log(self):
        with open(os.path.join(self.logs, "garvelux.log"), "rb") as f:
            return f.read()

    def exec_for(self, server, exe=None, logs="C:\\ProgramData\\GARVELUX"):
        return '<Exec><Command>"%s"</Command><Arguments>%s /L%s\\garvelux.log</Arguments>' \
            '</Exec>' % (exe or self.exe, server, logs)

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
        self.assertEqual(find("./Principals/Principal/ProcessTokenSidType"), ["Unrestricted"])
        self.assertEqual(find("./Principals/Principal/RequiredPrivileges/Privilege"),
                         ["SeSystemtimePrivilege"])
        self.assertEqual(find("./Settings/MultipleInstancesPolicy"), ["IgnoreNew"])
        self.assertEqual(find("./Settings/RunOnlyIfNetworkAvailable"), ["true"])
        # Registered by hand as the manual says: the package neither
        # overwrites it nor, installed without SERVER and removed, deletes it.
        self.assertEqual(wine(self.env, "schtasks", "/create", "/xml", windows_path(TASK_XML),
                              "/tn", "GARVELUX"), 0)
        self.assertTrue(self.registered())
        msi = windows_path(MSI)
        self.assertEqual(self.msiexec("/i", msi, "SERVER=FS1"), (1603 % 256, []))
        self.assertIn("GARVELUX task: a task \\GARVELUX that this product did not register",
                      self.log)
        self.assertEqual(self.state(), (0, True, None, None))
        self.assertEqual(self.msiexec("/i", msi), (0, []))
        self.assertEqual(self.msiexec("/x", msi), (0, []))
        self.assertEqual(self.state(), (0, True, None, None))
        self.assertEqual(wine(self.env, "schtasks", "/delete", "/tn", "GARVELUX", "/f"), 0)
        self.assertFalse(os.path.exists(self.task))

    def test_silent_install_run_repair_rebuild_and_removal(self):
        msi = windows_path(MSI)
        self.assertEqual(self.msiexec("/i", msi, "SERVER=FS1"), (0, [self.exec_for("FS1")]))
        self.assertEqual(sorted(os.listdir(self.program)),
                         ["CHANGELOG.txt", "LICENSE.txt", "garvelux-task.xml", "garvelux.exe",
                          "garvelux.txt"])
        self.assertEqual(self.state(), self.installed("FS1"))
        # An empty log made by the install; Wine resolves no task SID.
        self.assertEqual(self.read_log(), b"")
        self.assertIn("GARVELUX task: the log grants append to S-1-5-19", self.log)
        # The installed program runs from its folder on its built-in client,
        # logging where the task does; Wine refuses the clock.
        with NcpServer():
            done = subprocess.run(["wine", self.exe, "localhost",
                                   "/LC:\\ProgramData\\GARVELUX\\garvelux.log"], env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
        text = b"\r\nDateTime: Mon 2.12. 2030, 20:05:00\r\nERROR  1314 setting system time.\r\n"
        self.assertEqual((done.returncode, done.stdout), (4, BANNER + text))
        # A repair without SERVER puts a deleted task back for the remembered
        # server; a rebuild of this version replaces the package and keeps it.
        self.assertEqual(wine(self.env, "schtasks", "/delete", "/tn", "GARVELUX", "/f"), 0)
        self.assertEqual(self.msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus"),
                         (0, [self.exec_for("FS1")]))
        # A rebuild of this version replaces the package and keeps the task;
        # the definition in the program's folder, replaced between the copy
        # of the files and the registration, does not reach the task.
        tampered = os.path.join(self.work, "tampered.xml")
        with open(TASK_XML, encoding="utf-16") as f, open(tampered, "w", encoding="utf-16") as t:
            t.write(f.read().replace("<Description>", "<Description>TAMPERED "))
        rebuilt = self.copy(
            "UPDATE InstallExecuteSequence SET Sequence = 4003 WHERE Action = 'ScheduleTask'",
            "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('Tamper', 1058, "
            "'INSTALLDIR', 'cmd.exe /c copy /y \"%s\" garvelux-task.xml')" % windows_path(tampered),
            "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('Tamper', 4002)")
        self.assertEqual(self.msiexec("/i", rebuilt), (0, [self.exec_for("FS1")]))
        self.assertEqual(self.state(), self.installed("FS1"))  # one product
        with open(os.path.join(self.program, "garvelux-task.xml"), encoding="utf-16") as f:
            self.assertIn("TAMPERED", f.read())
        with open(self.task, encoding="utf-8-sig") as f:
            self.assertNotIn("TAMPERED", f.read())
        # An administrator's repair with a new SERVER changes the server,
        # escaped in the XML; a user's who is not one (AdminUser cleared
        # in a copy) keeps the remembered one, and the log says why.
        self.assertEqual(self.msiexec("/i", rebuilt, "REINSTALL=ALL", "REINSTALLMODE=omus",
                                      "SERVER=A&B<C>"), (0, [self.exec_for("A&amp;B&lt;C&gt;")]))
        self.assertEqual(self.state(), self.installed("A&B<C>"))
        user = self.copy("INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
                         "('NoAdmin', 51, 'AdminUser', '')",
                         "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES "
                         "('NoAdmin', 50)")
        self.assertEqual(self.msiexec("/i", user)[0], 0)
        self.assertEqual(self.msiexec("/i", user, "REINSTALL=ALL", "REINSTALLMODE=omus",
                                      "SERVER=EVIL"), (0, [self.exec_for("A&amp;B&lt;C&gt;")]))
        self.assertIn("SERVER ignored: the server of an installed product is changed only by an "
                      "administrator; kept: A&B<C>", self.log)
        self.assertEqual(self.state(), self.installed("A&B<C>"))
        self.assertEqual(self.msiexec("/x", user), (0, []))
        self.assertFalse(os.path.exists(self.program))
        self.assertEqual(self.state(), NOTHING)
        self.assertEqual(os.listdir(self.logs), ["garvelux.log"])  # the log is the admin's
        # Without SERVER only the program is installed; a repair that
        # gives one registers the task and remembers the server.
        self.assertEqual(self.msiexec("/i", msi), (0, []))
        self.assertIn("GARVELUX task: warning: no server is given", self.log)
        self.assertEqual(self.events, ["GARVELUX setup: warning: no server is given (SERVER, or "
                                       "the Server policy): nothing is scheduled; set one, then "
                                       "repair"])
        self.assertTrue(os.path.exists(os.path.join(self.program, "garvelux.exe")))
        self.assertFalse(os.path.exists(self.task))
        # A repair that names another product as the one it replaces
        # (WIX_UPGRADE_DETECTED, which a user may pass) removes nothing.
        other = self.copy("UPDATE Property SET Value = 'OTHER' WHERE Property = 'ProductName'",
                          "UPDATE Property SET Value = '{%s}' WHERE Property = 'UpgradeCode'"
                          % str(uuid.uuid4()).upper(), "DELETE FROM Upgrade")
        self.assertEqual(self.msiexec("/i", other)[0], 0)
        code = re.search(r"ProductCode = (\{[-0-9A-F]+\})", self.log)[1]
        self.assertEqual(self.msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus",
                                      "WIX_UPGRADE_DETECTED=" + code), (0, []))
        self.assertEqual(self.products("OTHER"), 1)
        self.assertEqual(self.msiexec("/x", other)[0], 0)
        self.assertEqual(self.msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus",
                                      "SERVER=FS3"), (0, [self.exec_for("FS3")]))
        self.assertEqual(self.state(), self.installed("FS3"))
        # Where no SERVER is given, the Server policy comes before the
        # remembered server, unless SERVER's rules would refuse it.
        policy = "HKLM\\SOFTWARE\\Policies\\GARVELUX"
        for value, server in (("/BAD", "FS3"), ("FS5", "FS5")):
            subprocess.run(["wine", "reg", "add", policy, "/v", "Server", "/d", value, "/f"],
                           env=self.env, stdout=subprocess.DEVNULL, check=True)
            self.assertEqual(self.msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus"),
                             (0, [self.exec_for(server)]))
            self.assertEqual("GARVELUX task: warning: the Server policy's value is ignored, as "
                             "SERVER would be refused: /BAD" in self.log, value == "/BAD")
        self.assertEqual(self.state(), self.installed("FS5"))
        self.assertEqual(wine(self.env, "reg", "delete", policy, "/f"), 0)
        self.assertEqual(self.msiexec("/x", msi)[0], 0)
        self.assertEqual(self.state(), NOTHING)
        # Folders of an admin's choice stay through an upgrade that names
        # none; removal by feature takes the task with the product.
        custom = ("INSTALLDIR=C:\\Custom\\", "LOGDIR=C:\\CustomLogs\\")
        exe = "C:\\Custom\\garvelux.exe"
        self.assertEqual(self.msiexec("/i", msi, "SERVER=FS4", *custom),
                         (0, [self.exec_for("FS4", exe, "C:\\CustomLogs")]))
        upgrade = self.copy()
        self.assertEqual(self.msiexec("/i", upgrade),
                         (0, [self.exec_for("FS4", exe, "C:\\CustomLogs")]))
        self.assertEqual(self.state()[:3], (1, True, "FS4"))
        self.assertEqual(os.listdir(os.path.join(self.drive, "CustomLogs")), ["garvelux.log"])
        self.assertEqual(self.msiexec("/i", upgrade, "REMOVE=Complete"), (0, []))
        self.assertEqual(self.state(), NOTHING)
        self.assertFalse(os.path.exists(os.path.join(self.drive, "Custom")))

    def test_a_failure_puts_back_the_task_that_was_there(self):
        # A value that a run could not take, or that Task Scheduler would
        # expand, ends the install before anything changes, the repair of
        # an installed product as well; as does a copy of the action given
        # one after the task is registered (FAIL), or after it is deleted
        # on removal.
        msi = windows_path(MSI)
        for link in ("Linked", "LinkedLogs"):  # as junctions that their maker may repoint
            os.makedirs(os.path.join(self.work, link))
            os.symlink(os.path.join(self.work, link), os.path.join(self.drive, link))
        os.makedirs(os.path.join(self.drive, "HardLinked"))  # its log another file's name
        os.link(os.path.join(self.drive, "windows", "win.ini"),
                os.path.join(self.drive, "HardLinked", "garvelux.log"))
        bad = [["SERVER=/FS1"], ["SERVER=#5"], ["SERVER=A%PATH%"], ["LOGDIR=C:\\Time Logs\\"],
               ["LOGDIR=C:\\%TEMP%\\"], ["SERVER=" + "S" * 128], ["INSTALLDIR=C:\\Linked\\"],
               ["LOGDIR=C:\\LinkedLogs\\"], ["LOGDIR=C:\\HardLinked\\"],
               ["INSTALLDIR=C:\\Linked\\GARVELUX\\"], ["LOGDIR=C:\\LinkedLogs\\GARVELUX\\"]]
        if FOREIGN:  # folders that Wine shows as another account's (S-1-5-7), or below one
            bad += [[name + "=%s\\" % windows_path(os.path.join(FOREIGN, "owned", below))]
                    for name in ("INSTALLDIR", "LOGDIR") for below in ("", "GARVELUX")]
        for values in bad:
            self.assertEqual(self.msiexec("/i", msi, "SERVER=FS1", *values), (1603 % 256, []))
            self.assertIn("GARVELUX task: %s" % values[0].split("=")[0], self.log)
            self.assertEqual(self.state(), NOTHING)
            self.assertFalse(os.path.exists(self.logs))
        # A first install into a program folder that another account filled.
        os.makedirs(self.program)
        open(os.path.join(self.program, "calwin32.dll"), "wb").close()
        self.assertEqual(self.msiexec("/i", msi, "SERVER=FS1"), (1603 % 256, []))
        self.assertIn("GARVELUX task: INSTALLDIR must be a new or empty folder", self.log)
        self.assertEqual((self.state(), os.listdir(self.program)), (NOTHING, ["calwin32.dll"]))
        shutil.rmtree(self.program)
        queries = []
        for name, data_sequence, sequence, when in (("FailInstall", 1005, 4002, "NOT REMOVE"),
                                                    ("FailRemoval", 1006, 3499, "REMOVE")):
            action = "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
            step = "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
            queries += [action + "('%sData', 51, '%s', '[INSTALLDIR]|\"|')" % (name, name),
                        action + "('%s', 3073, 'TaskAction', 'SetTask')" % name,
                        step + "('%sData', 'FAIL', %d)" % (name, data_sequence),
                        step + "('%s', 'FAIL AND %s', %d)" % (name, when, sequence)]
        failing = self.copy(*queries)
        if FOREIGN:
            # A log that another account made is moved aside for one that
            # SYSTEM makes, and back by a rollback.
            logs = os.path.join(FOREIGN, "logs")
            logdir = "LOGDIR=%s\\" % windows_path(logs)
            self.assertEqual(self.msiexec("/i", failing, "SERVER=FS1", "FAIL=1", logdir)[0],
                             1603 % 256)
            self.assertEqual(os.listdir(logs), ["garvelux.log"])
            self.assertEqual(self.msiexec("/i", msi, "SERVER=FS1", logdir)[0], 0)
            self.assertIn("GARVELUX task: the log was another account's; moved aside", self.log)
            self.assertEqual({n: open(os.path.join(logs, n), "rb").read()
                              for n in os.listdir(logs)},
                             {"garvelux.log": b"", "garvelux.log.old": b"planted\r\n"})
            self.assertEqual(self.msiexec("/x", msi)[0], 0)
        self.assertEqual(self.msiexec("/i", failing, "SERVER=FS1", "FAIL=1"),
                         (1603 % 256, [self.exec_for("FS1")]))
        self.assertEqual(self.state(), NOTHING)
        # The folders and the log that the install made are gone again.
        self.assertEqual([os.path.exists(f) for f in (self.program, self.logs)], [False, False])
        self.assertEqual(self.msiexec("/i", failing, "SERVER=FS1")[0], 0)
        for values in bad:
            self.assertEqual(self.msiexec("/i", failing, "REINSTALL=ALL", "REINSTALLMODE=omus",
                                          *values), (1603 % 256, []))
            self.assertEqual(self.state(), self.installed("FS1"))
        self.assertEqual(self.msiexec("/x", failing, "FAIL=1"),
                         (1603 % 256, [self.exec_for("FS1")]))
        # Wine's rollback leaves the product unregistered and its files:
        # installed again, into an empty folder, to be removed.
        self.assertEqual(self.state()[1:], self.installed("FS1")[1:])
        shutil.rmtree(self.program)
        self.assertEqual(self.msiexec("/i", failing, "SERVER=FS1")[0], 0)
        # A user's product of their own holding the program's and the log's
        # components elsewhere (Wine's lookup by component then finds
        # neither) moves neither a repair nor the next rows' rollback.
        # (msibuild's DELETE skips every other row: four rounds empty the table)
        mine = self.copy("DELETE FROM Property WHERE Property = 'ALLUSERS'", "DELETE FROM Upgrade",
                         *["DELETE FROM Registry"] * 4,
                         "DELETE FROM InstallExecuteSequence WHERE Action = 'ScheduleTask'",
                         "UPDATE Property SET Value = 'MINE' WHERE Property = 'ProductName'",
                         "UPDATE Property SET Value = '{%s}' WHERE Property = 'UpgradeCode'"
                         % str(uuid.uuid4()).upper())
        self.assertEqual(self.msiexec("/i", mine, "INSTALLDIR=C:\\Mine\\", "LOGDIR=C:\\My\\"),
                         (0, []))
        self.assertEqual(self.msiexec("/i", failing, "REINSTALL=ALL", "REINSTALLMODE=omus"),
                         (0, [self.exec_for("FS1")]))
        # An upgrade into another folder that another account filled is
        # refused; a failing one into an empty folder leaves the old
        # product, its task (run from the old folder) and its remembered
        # server. Wine's rollback deletes the files and registry values
        # that the two share (Windows puts them back).
        upgrade = self.copy(*queries)
        os.makedirs(os.path.join(self.drive, "Filled"))
        open(os.path.join(self.drive, "Filled", "calwin32.dll"), "wb").close()
        self.assertEqual(self.msiexec("/i", upgrade, "INSTALLDIR=C:\\Filled\\"), (1603 % 256, []))
        self.assertEqual(self.state(), self.installed("FS1"))
        self.assertEqual(self.msiexec("/i", upgrade, "SERVER=FS2", "FAIL=1",
                                      "INSTALLDIR=C:\\Other\\", "LOGDIR=C:\\Logs\\"),
                         (1603 % 256, [self.exec_for("FS2", "C:\\Other\\garvelux.exe", "C:\\Logs"),
                                       self.exec_for("FS1")]))
        self.assertEqual(self.state(), (1, True, "FS1", None))
        self.assertEqual(self.msiexec("/x", failing), (0, []))
        self.assertEqual(self.state(), NOTHING)
        # Removal goes on, with a warning, where Task Scheduler cannot be
        # reached; the task stays.
        self.assertEqual(self.msiexec("/i", msi, "SERVER=FS1")[0], 0)
        self.scheduler(4)
        try:
            self.assertEqual(self.msiexec("/x", msi), (0, []))
            self.assertIn("GARVELUX task: warning: Task Scheduler cannot be reached, the task is "
                          "left as it is: 0x80041315", self.log)
        finally:
            self.scheduler(3)
        self.assertEqual(self.state(), (0, True, None, None))
        self.assertEqual(wine(self.env, "schtasks", "/delete", "/tn", "GARVELUX", "/f"), 0)


if __name__ == "__main__":
    if os.environ.get("GARVELUX_IN_NAMESPACE") != "1":
        os.environ["GARVELUX_IN_NAMESPACE"] = "1"
        foreign = tempfile.mkdtemp(prefix="garvelux-foreign-")
        try:
            if os.getuid() == 0:
                os.mkdir(os.path.join(foreign, "owned"))
                os.mkdir(os.path.join(foreign, "logs"))
                with open(os.path.join(foreign, "logs", "garvelux.log"), "wb") as f:
                    f.write(b"planted\r\n")
                for name in ("owned", "logs/garvelux.log"):
                    os.chown(os.path.join(foreign, name), 1, 1)
                os.chmod(os.path.join(foreign, "owned"), 0o777)  # open to all, as under C:\
                os.environ["GARVELUX_FOREIGN"] = foreign
            status = subprocess.call(["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$@"',
                                      "-", sys.executable] + sys.argv)
        finally:
            shutil.rmtree(foreign)
        sys.exit(status)
    with wine_prefix() as wine_env:
        os.environ.update(wine_env)
        subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                        "/d", "KERNEL32.SetLocalTime", "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        sys.argv[1:] = sys.argv[5:]
        unittest.main(verbosity=2)
