"""A Wine prefix of its own for a block of runs."""

import contextlib
import os
import shutil
import subprocess
import tempfile


@contextlib.contextmanager
def wine_prefix(services=False):
    """Yields the environment for wine in a fresh prefix. One wineserver
    serves the whole block: started persistent, before anything else, as
    a wine started while an idle server shuts down fails at once ("wine
    client error:0: recvmsg: Connection reset by peer", exit 1).

    With services, the prefix has the null display driver and its own
    processes are started afresh: with no display at all, Wine's desktop
    process hangs, and with it the start of services such as the Task
    Scheduler."""
    prefix = tempfile.mkdtemp(prefix="garvelux-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")

    def run(*command):
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=120)
    try:
        run("wineserver", "--persistent")
        run("wineboot", "-i")
        if services:
            run("wine", "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d",
                "null", "/f")
            run("wineserver", "-k")
            run("wineserver", "-w")
            run("wineserver", "--persistent")
            # Started here, so that none holds on to the output of a run
            # that would otherwise have started it.
            run("wineboot")
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix, ignore_errors=True)
