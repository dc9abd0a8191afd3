#!/usr/bin/env python3
"""Whole garvelux runs against the probe that makes the same NCP exchange,
on one loopback server, inside namespaces of their own (run by run.sh),
and runs for the same server found by SLP instead of the hosts file, and
both with a directory agent configured (which does not know the name in
the hosts file);
then runs with a dead first address, and runs over a path that drops 20%
of the packets in each direction, of both builds.

usage: bench.py BUILD_DIR WINDOWS_BUILD_DIR [RUNS] [LOSSY_RUNS]"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from ncp_server import dropping  # noqa: E402
from slp_agent import SlpAgent  # noqa: E402
from wine_prefix import wine_prefix  # noqa: E402

BUILD, WIN_BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 200
LOSSY_RUNS = int(sys.argv[4]) if len(sys.argv) > 4 else 100
LOSS = ("tcp dport 524 numgen random mod 100 < 20 drop",
        "tcp sport 524 numgen random mod 100 < 20 drop")


def spawned(argv, env):
    """Seconds and exit code of one run."""
    started = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, env,
                          file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
    _, status = os.waitpid(pid, 0)
    return time.perf_counter() - started, os.waitstatus_to_exitcode(status)


def timed(argv, env):
    elapsed, code = spawned(argv, env)
    if code != 0:
        sys.exit("%s failed with %d" % (argv[0], code))
    return elapsed


def runs_line(label, results, clock_reached):
    """How many runs reached the clock, and the spread of their times."""
    ok = sorted(t for t, code in results if code in clock_reached)
    return "%-33s %d of %d reached the clock; median %.3f s, slowest %.3f s" % (
        label + ":", len(ok), len(results), statistics.median(ok) if ok else 0,
        ok[-1] if ok else 0)


def with_agent(argv, env):
    """A run with a directory agent configured in slp.conf."""
    with open("/etc/slp.conf", "w") as conf:
        conf.write("net.slp.DAAddresses = 127.0.0.5\n")
    try:
        return timed(argv, env)
    finally:
        os.unlink("/etc/slp.conf")


def metered(argv, env, record):
    """Allocations (ours, in all) and peak resident KiB of one run."""
    meter = os.path.join(BUILD, "bench", "run_meter.so")
    timed(argv, dict(env, LD_PRELOAD=env["LD_PRELOAD"] + " " + meter, GARVELUX_METER_RECORD=record))
    with open(record) as f:
        return [int(x) for x in f.read().split()]


def stripped_size(path, strip="strip"):
    with tempfile.TemporaryDirectory() as work:
        copy = os.path.join(work, "copy")
        shutil.copy(path, copy)
        subprocess.run([strip, copy], check=True)
        return os.path.getsize(copy)


def main():
    work = tempfile.mkdtemp()
    os.chdir(work)
    intercept = os.path.join(BUILD, "tests", "clock_intercept.so")
    env = dict(os.environ, LD_PRELOAD=intercept, GARVELUX_CLOCK_RECORD=os.devnull)
    tests = os.path.join(HERE, "..", "tests")
    servers = [subprocess.Popen([sys.executable, os.path.join(tests, "ncp_server.py"),
                                 "--host", host, "--date", "130,12,2,20,5,0,1"])
               for host in ("127.0.0.1", "::1")]
    servers.append(subprocess.Popen([sys.executable, os.path.join(tests, "slp_agent.py"),
                                     "SLPONLY=127.0.0.1"]))
    time.sleep(0.5)
    garvelux = [os.path.join(BUILD, "garvelux"), "srv1", "/L" + os.devnull]
    by_slp = garvelux[:1] + ["slponly"] + garvelux[2:]
    probe = [os.path.join(BUILD, "bench", "ncp_probe")]
    times = {"garvelux": [], "probe": [], "slp": [], "agent": [], "slp agent": []}
    agent = SlpAgent({"SLPONLY": ["127.0.0.1"]}, host="127.0.0.5", multicast=False)
    try:
        for _ in range(10):  # warm caches before measuring
            timed(garvelux, env)
            timed(probe, env)
            timed(by_slp, env)
        for _ in range(RUNS):  # interleaved, so drift touches all alike
            times["garvelux"].append(timed(garvelux, env))
            times["probe"].append(timed(probe, env))
            times["slp"].append(timed(by_slp, env))
            times["agent"].append(with_agent(garvelux, env))
            times["slp agent"].append(with_agent(by_slp, env))
        record = os.path.join(work, "meter")
        ours, total, garvelux_kib = metered(garvelux, env, record)
        _, _, probe_kib = metered(probe, env, record)
        networked = networked_runs(garvelux, env)
    finally:
        agent.close()
        for server in servers:
            server.terminate()
            server.wait()
        shutil.rmtree(work)

    g = statistics.median(times["garvelux"]) * 1000
    p = statistics.median(times["probe"]) * 1000
    print("runs of each, interleaved:        %d" % RUNS)
    print("median wall time, garvelux:       %.3f ms" % g)
    print("median wall time, probe:          %.3f ms" % p)
    print("ratio garvelux / probe:           %.3f" % (g / p))
    print("median wall time, found by SLP:   %.3f ms (the name in hosts: %.3f ms)"
          % (statistics.median(times["slp"]) * 1000, g))
    print("with a directory agent, hosts:   %.3f ms (the agent asked two forms at once first)"
          % (statistics.median(times["agent"]) * 1000))
    print("with a directory agent, by SLP:  %.3f ms" % (statistics.median(times["slp agent"]) * 1000))
    print("peak resident memory, garvelux:   %d KiB" % garvelux_kib)
    print("peak resident memory, probe:      %d KiB" % probe_kib)
    print("memory ratio garvelux / probe:    %.3f" % (garvelux_kib / probe_kib))
    print("heap allocations in a run:        %d by our code, %d in all (C library: resolver,"
          " log stream)" % (ours, total))
    print("stripped size, garvelux (Linux):  %d bytes" % stripped_size(garvelux[0]))
    print("stripped size, probe (Linux):     %d bytes" % stripped_size(probe[0]))
    exe = os.path.join(WIN_BUILD, "garvelux.exe")
    print("stripped size, garvelux.exe:      %d bytes"
          % stripped_size(exe, "i686-w64-mingw32-strip"))
    for line in networked:
        print(line)


def networked_runs(garvelux, env):
    """Both builds, the exe under Wine on its built-in client: the extra
    time a dead first address costs, and runs over a lossy path."""
    exe = ["wine", os.path.join(WIN_BUILD, "garvelux.exe"), "srv1", "/L" + os.devnull]
    lines = []
    with wine_prefix() as wine_env:
        # Wine refuses any clock but the present's: 4 is a run that got the date.
        for label, argv, run_env, clock_reached in [
                ("garvelux", garvelux, env, (0,)), ("garvelux.exe", exe, wine_env, (0, 4))]:
            both = argv[:-2] + ["both"] + argv[-1:]
            normal = statistics.median(spawned(argv, run_env)[0] for _ in range(5))
            with dropping("ip6 daddr ::1 tcp dport 524 drop"):
                dead = [spawned(both, run_env) for _ in range(5)]
            lines.append(runs_line("dead first address, " + label, dead, clock_reached) +
                         "; %.3f s more than a normal run"
                         % (statistics.median(t for t, _ in dead) - normal))
            with dropping(*LOSS):
                lossy = [spawned(argv, run_env) for _ in range(LOSSY_RUNS)]
            lines.append(runs_line("20% loss each way, " + label, lossy, clock_reached))
    return lines


if __name__ == "__main__":
    main()
