"""A Wine prefix of its own for a block of runs."""

import contextlib
import os
import shutil
import subprocess
import tempfile


@contextlib.contextmanager
def wine_prefix():
    """Yields the environment for wine in a fresh prefix. One wineserver
    serves the whole block: started persistent, before anything else, as
    a wine started while an idle server shuts down fails at once ("wine
    client error:0: recvmsg: Connection reset by peer", exit 1)."""
    prefix = tempfile.mkdtemp(prefix="garvelux-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    try:
        subprocess.run(["wineserver", "--persistent"], env=env, check=True)
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix, ignore_errors=True)
