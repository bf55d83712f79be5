"""A private Wine prefix, and a virtual screen to run its window programs on.

Shared by the end-to-end tests, the fault injection and the benchmark."""
import fcntl
import os
import subprocess
import sys
import time
from pathlib import Path

SCREEN = "1024x768x24"


def wine_env(prefix):
    """The environment for Wine programs in `prefix`, with Wine kept quiet and
    the Mono and Gecko installers never asked for."""
    return dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")


def _quiet(command, env, timeout):
    # Wine's services outlive the program and hold any pipe they inherit.
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def make_prefix(prefix):
    """Makes the prefix on first use (about 20 s); callers racing for it wait."""
    prefix = Path(prefix)
    prefix.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{prefix}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (prefix / "system.reg").exists():
            return
        started = time.monotonic()
        env = wine_env(prefix)
        env.pop("DISPLAY", None)
        _quiet(["wineboot", "-i"], env, timeout=300)
        _quiet(["wineserver", "-w"], env, timeout=120)
        if not (prefix / "system.reg").exists():
            raise SystemExit(f"wineboot did not make the prefix {prefix}")
        print(f"made Wine prefix {prefix} in {time.monotonic() - started:.1f} s", flush=True)


_INSIDE = "ZIMLEX_ON_VIRTUAL_SCREEN"


def on_virtual_screen():
    """True inside a run started by rerun_on_virtual_screen."""
    return os.environ.get(_INSIDE) == "1"


def rerun_on_virtual_screen(prefix, script, *args):
    """Runs `script` again under its own Xvfb and answers its exit status."""
    # Wine's desktop binds to the display of the session's first window: a
    # server left from another display must go before the new one starts.
    _quiet(["wineserver", "-k"], wine_env(prefix), timeout=60)
    env = dict(os.environ, **{_INSIDE: "1"})
    return subprocess.run(["xvfb-run", "-a", "-s", f"-screen 0 {SCREEN}", sys.executable,
                           str(Path(script).resolve()), *map(str, args)], env=env).returncode
