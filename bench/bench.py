#!/usr/bin/env python3
"""Whole garvelux runs against the probe that makes the same NCP exchange,
on one loopback server, inside namespaces of their own (run by run.sh).

usage: bench.py BUILD_DIR WINDOWS_BUILD_DIR [RUNS]"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD, WIN_BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 200


def timed(argv, env):
    started = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s failed with %d" % (argv[0], os.waitstatus_to_exitcode(status)))
    return elapsed


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
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "..", "tests", "ncp_server.py"),
                               "--date", "126,12,7,20,5,0,1"])
    time.sleep(0.5)
    garvelux = [os.path.join(BUILD, "garvelux"), "srv1", "/L" + os.devnull]
    probe = [os.path.join(BUILD, "bench", "ncp_probe")]
    times = {"garvelux": [], "probe": []}
    try:
        for _ in range(10):  # warm caches before measuring
            timed(garvelux, env)
            timed(probe, env)
        for _ in range(RUNS):  # interleaved, so drift touches both alike
            times["garvelux"].append(timed(garvelux, env))
            times["probe"].append(timed(probe, env))
        record = os.path.join(work, "meter")
        ours, total, garvelux_kib = metered(garvelux, env, record)
        _, _, probe_kib = metered(probe, env, record)
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(work)

    g = statistics.median(times["garvelux"]) * 1000
    p = statistics.median(times["probe"]) * 1000
    print("runs of each, interleaved:        %d" % RUNS)
    print("median wall time, garvelux:       %.3f ms" % g)
    print("median wall time, probe:          %.3f ms" % p)
    print("ratio garvelux / probe:           %.3f" % (g / p))
    print("peak resident memory, garvelux:   %d KiB" % garvelux_kib)
    print("peak resident memory, probe:      %d KiB" % probe_kib)
    print("memory ratio garvelux / probe:    %.3f" % (garvelux_kib / probe_kib))
    print("heap allocations in a run:        %d by our code, %d in all (C library: resolver,"
          " log stream)" % (ours, total))
    print("stripped size, garvelux (Linux):  %d bytes" % stripped_size(garvelux[0]))
    print("stripped size, probe (Linux):     %d bytes" % stripped_size(probe[0]))
    exe = os.path.join(WIN_BUILD, "garvelux.exe")
    if os.path.exists(exe):
        print("stripped size, garvelux.exe:      %d bytes"
              % stripped_size(exe, "i686-w64-mingw32-strip"))


if __name__ == "__main__":
    main()
