#!/usr/bin/env python3
"""The one place that makes Wine prefixes and runs Windows programs in them.

A platform is a build's programs in a prefix of one Windows architecture: the
32-bit build on 64-bit Windows under WoW64 (win64) and on 32-bit Windows
(win32), the 64-bit build on 64-bit Windows (x64). Its prefix is made once
inside the build folder; a session is a virtual screen with a persistent Wine
server whose desktop is bound to it, and a 1 MiB file system for full-disk
cases (named by $ZIMLEX_TINY_DISK). A platform whose programs this machine
cannot execute is skipped, with the reason, by everything that would run them.
Used by CTest (as the emulator and as the fixtures that start and stop the
sessions), the end-to-end cases, the fault injection, the benchmark and the demo.

    wine.py x86-code                                   does this machine run 32-bit x86 code?
    wine.py platforms TARGET                           the platforms of a build's target, and why not
    wine.py --build-dir DIR [--platform P] prefix           make the lanes' prefixes (once)
    wine.py --build-dir DIR [--platform P] start [--dpi N]  start their sessions, which outlive this call
    wine.py --build-dir DIR [--platform P] stop             end them
    wine.py --build-dir DIR [--platform P] run PROGRAM ...  run a program in the session or without one

A platform's tests may run at once in as many lanes as it has, each a prefix
and session of its own; CTest hands each test its lane as a resource.

The platform defaults to $ZIMLEX_PLATFORM, else the first of --target's.
$ZIMLEX_X86_CODE holds the answer to x86-code once a run has found it ("yes",
or "no: why"); set to a "no: ..." by hand, it makes a capable machine behave
as one that runs 64-bit code only.
"""
import argparse
import contextlib
import dataclasses
import fcntl
import functools
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SCREEN = "1024x768x24"
DEFAULT_DPI = 96
# Debian's Wine looks for its own fonts under "<data dir>/../fonts", a path its
# NT layer cannot resolve, so it loads none of them: no Marlett for the caption
# buttons, no MS Sans Serif. A prefix's own Fonts folder is always read.
WINE_FONTS = Path("/usr/share/wine/fonts")
# Debian's `wine` script starts the 32-bit loader whenever wine32 is installed,
# even for a 64-bit program, and that loader cannot start where no 32-bit code
# runs; so every start names its loader.
LOADER_32 = "/usr/lib/wine/wine"
LOADER_64 = "/usr/lib/wine/wine64"
# CTest's mark for a test that could not run here.
SKIPPED = 77


@dataclasses.dataclass(frozen=True)
class Platform:
    name: str  # the start of its test names
    target: str  # CMAKE_SYSTEM_PROCESSOR of the build whose programs it runs
    winearch: str
    windows_bits: int  # the Windows the prefix stands for
    # How many prefixes of its own, each with its own session, its tests may use
    # at once where it is the only platform this machine runs: then two, so that
    # both cores are used; beside other platforms, one.
    lanes_alone: int = 1

    def lane_names(self):
        """The lanes' names, CTest's resource ids: the platform's own name first."""
        alone = all(other.cannot_run() for other in PLATFORMS.values() if other is not self)
        lanes = self.lanes_alone if alone else 1
        return [self.name] + [f"{self.name}_{lane}" for lane in range(2, lanes + 1)]

    @property
    def preset(self):
        return "x64" if self.target == "x86_64" else "win32"

    @property
    def program_bits(self):
        return 64 if self.target == "x86_64" else 32

    @property
    def loader(self):
        # A 64-bit prefix whose programs are all 64-bit needs no 32-bit code at all.
        return LOADER_64 if self.program_bits == 64 else LOADER_32

    def cannot_run(self):
        """Why this machine cannot run the platform's programs, or None."""
        if self.program_bits == 64:
            return None
        runs, answer = x86_code()
        return None if runs else f"this machine runs no 32-bit x86 code ({answer})"


PLATFORMS = {platform.name: platform for platform in (
    Platform("win64", "x86", "win64", 64),
    Platform("win32", "x86", "win32", 32),
    Platform("x64", "x86_64", "win64", 64, lanes_alone=2),
)}


def platforms_of(target):
    found = [platform for platform in PLATFORMS.values() if platform.target == target]
    if not found:
        raise SystemExit(f"no Wine platform runs programs built for {target!r}")
    return found


def preferred_platform():
    """Where a person sees the updater run: the 32-bit program, the one shipped,
    on 64-bit Windows; on a machine that runs no 32-bit code, the 64-bit build."""
    shipped = PLATFORMS["win64"]
    return shipped if shipped.cannot_run() is None else PLATFORMS["x64"]


# _start: mov eax, 1 (exit); mov ebx, 42; int 0x80, as a 32-bit ELF program.
_X86_CODE = bytes([0xB8, 1, 0, 0, 0, 0xBB, 42, 0, 0, 0, 0xCD, 0x80])


def _tiny_x86_program():
    base, header, entry_size = 0x08048000, 52, 32
    size = header + entry_size + len(_X86_CODE)
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    elf = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header + entry_size, header, 0, 0,
                              header, entry_size, 1, 0, 0, 0)
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return elf + segment + _X86_CODE


def x86_code():
    """(True, "yes") when this machine executes 32-bit x86 code, else (False, why):
    $ZIMLEX_X86_CODE where a run has found it already, else the answer of a tiny
    32-bit program."""
    answer = os.environ.get("ZIMLEX_X86_CODE", "")
    if answer == "yes":
        return True, answer
    if answer.startswith("no"):
        return False, answer.partition(":")[2].strip() or "no"
    return _run_tiny_x86_program()


# Once per process: every platform asks, and a prefix asks again.
@functools.cache
def _run_tiny_x86_program():
    """Neither the kernel's version nor its configuration nor the packages
    installed tell whether 32-bit code runs; running some does."""
    with tempfile.TemporaryDirectory() as folder:
        program = Path(folder) / "x86-exit-42"
        program.write_bytes(_tiny_x86_program())
        program.chmod(0o755)
        try:
            status = subprocess.run([str(program)], stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=10).returncode
        except OSError as error:
            return False, f"a 32-bit program fails to start: {error.strerror}"
        except subprocess.TimeoutExpired:
            return False, "a 32-bit program did not end"
    if status != 42:
        return False, f"a 32-bit program ended with status {status}, not 42"
    return True, "yes"


def default_platform(target=None):
    name = os.environ.get("ZIMLEX_PLATFORM")
    if name:
        return PLATFORMS[name]
    return platforms_of(target or "x86")[0]


def prefix_root(build_dir):
    return Path(build_dir).resolve() / "wine"


class Skipped(SystemExit):
    """Ends a test that cannot run on this machine, marked for CTest."""

    def __init__(self, why):
        print(f"skipped: {why}", flush=True)
        super().__init__(SKIPPED)


def assigned_lane(platform):
    """The lane CTest gave the running test (its resource group), else the first."""
    given = os.environ.get(f"CTEST_RESOURCE_GROUP_0_{platform.name.upper()}", "")
    fields = dict(field.split(":", 1) for field in given.split(",") if ":" in field)
    return fields.get("id", platform.name)


class Prefix:
    """One lane of a platform: a Wine prefix whose server and desktop are shared
    by whoever runs programs in it, one at a time."""

    def __init__(self, build_dir, platform=None, lane=None):
        self.platform = platform if isinstance(platform, Platform) else (
            PLATFORMS[platform] if platform else default_platform())
        why = self.platform.cannot_run()
        if why:
            raise Skipped(f"{self.platform.name}: {why}")
        self.name = lane or assigned_lane(self.platform)
        if self.name not in self.platform.lane_names():
            raise SystemExit(f"{self.platform.name} has no lane {self.name!r}")
        self.path = prefix_root(build_dir) / self.name
        # Holds files as scanners and other updaters do; built with the tests.
        self.scanner = Path(build_dir).resolve() / "tests" / "scanner.exe"
        self.drive_c = self.path / "drive_c"
        self.state_file = self.path.parent / f"{self.name}.session"
        self.tiny_disk = self.path.parent / f"{self.name}.tiny-disk"
        self.loader = self.platform.loader
        # WINELOADER: how Wine starts the processes a program starts.
        self.env = dict(os.environ, WINEPREFIX=str(self.path), WINEARCH=self.platform.winearch,
                        WINELOADER=self.loader, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", ZIMLEX_PLATFORM=self.platform.name)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["ZIMLEX_TINY_DISK"] = str(self.tiny_disk)
        state = self.session_state()
        if state:
            self.env["DISPLAY"] = state["display"]

    def linux(self, windows_path):
        """The Linux path of a C:\\ path inside the prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c / windows_path[3:].replace("\\", "/")

    def windows(self, linux_path):
        """The Windows path of a Linux path: on C: inside the prefix, else on Z:."""
        try:
            return "C:\\" + str(Path(linux_path).relative_to(self.drive_c)).replace("/", "\\")
        except ValueError:
            return "Z:" + str(linux_path).replace("/", "\\")

    # --- making it ------------------------------------------------------------

    def make(self):
        """Makes the prefix on first use (about 20 s); callers racing for it wait."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with open(f"{self.path}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if (self.path / "system.reg").exists():
                return
            started = time.monotonic()
            # A half-made prefix from an interrupted run would keep its wrong parts.
            shutil.rmtree(self.path, ignore_errors=True)
            env = dict(self.env)
            env.pop("DISPLAY", None)
            quiet([self.loader, "wineboot", "-i"], env, timeout=300)
            quiet(["wineserver", "-w"], env, timeout=120)
            if not (self.path / "system.reg").exists():
                raise SystemExit(f"wineboot did not make the prefix {self.path}")
            fonts = self.drive_c / "windows" / "Fonts"
            fonts.mkdir(parents=True, exist_ok=True)
            for font in sorted(WINE_FONTS.glob("*")):
                shutil.copyfile(font, fonts / font.name)
            if self.platform.windows_bits == 32:
                # 32-bit Windows has no such folder, but any user can make one; the
                # updater must leave it alone.
                (self.drive_c / "Program Files (x86)").mkdir(exist_ok=True)
            # No window manager on the virtual screen: Wine draws the frame itself.
            self.set_registry({r"HKEY_CURRENT_USER\Software\Wine\X11 Driver":
                               {"Decorated": "N"}}, env)
            quiet(["wineserver", "-w"], env, timeout=120)
            print(f"made the {self.name} Wine prefix {self.path} in "
                  f"{time.monotonic() - started:.1f} s", flush=True)

    def set_registry(self, keys, env=None, view=None):
        """Writes values (str or int) with one regedit call, or with reg.exe
        into the registry view `view` (32 or 64), which regedit cannot choose."""
        lines = ["REGEDIT4", ""]
        for key, values in keys.items():
            lines.append(f"[{key}]")
            for name, value in values.items():
                text = str(value).replace("\\", "\\\\").replace('"', '\\"')
                lines.append(f'"{name}"=' + (f"dword:{value:08x}" if isinstance(value, int)
                                             else f'"{text}"'))
            lines.append("")
        with tempfile.TemporaryDirectory(dir=self.path.parent) as folder:
            settings = Path(folder) / "settings.reg"
            settings.write_text("\r\n".join(lines) + "\r\n")
            status = (self.wine("regedit", "/S", settings, env=env) if view is None else
                      self.wine("reg", "import", self.windows(settings), f"/reg:{view}", env=env))
        if status != 0:
            raise SystemExit(f"regedit failed with status {status}")

    def delete_registry(self, key, view):
        self.wine("reg", "delete", key, "/f", f"/reg:{view}")

    def registry(self, key, view):
        """The values below `key` in registry view `view` (32 or 64), as reg.exe
        exports them: {subkey: {name: text}}, dwords as "dword:0000000a"."""
        with tempfile.TemporaryDirectory(dir=self.path.parent) as folder:
            exported = Path(folder) / "exported.reg"
            if (self.wine("reg", "export", key, self.windows(exported), f"/reg:{view}", "/y") != 0
                    or not exported.exists()):
                return {}
            text = exported.read_bytes().decode("utf-16")
        found, values = {}, None
        for line in text.splitlines():
            if line.startswith("[") and line.endswith("]"):
                values = found.setdefault(line[1:-1], {})
            elif values is not None and line.startswith('"') and "=" in line:
                name, _, value = line.partition("=")
                if value.startswith('"') and value.endswith('"'):
                    value = re.sub(r"\\(.)", r"\1", value[1:-1])
                values[name.strip('"')] = value
        return found

    def set_dpi(self, dpi):
        self.set_registry({r"HKEY_CURRENT_USER\Control Panel\Desktop": {"LogPixels": dpi}})

    # --- running programs -------------------------------------------------------

    def wine(self, *args, cwd=None, stdout=subprocess.DEVNULL, timeout=60, env=None):
        """Runs a Windows program to its end and answers its exit status."""
        # Wine's services outlive the program and inherit its output: never a pipe.
        return subprocess.run([self.loader, *map(str, args)], env=env or self.env, cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=stdout,
                              stderr=subprocess.STDOUT, timeout=timeout).returncode

    def start(self, program, *args, cwd=None, log=None, env=None):
        """Starts a Windows program; `wine` execs into it, so the pid is the program's."""
        with open(log or os.devnull, "wb") as out:
            return subprocess.Popen([self.loader, str(program), *map(str, args)], cwd=cwd,
                                    env=env or self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)

    def hold(self, path, sharing, hold_ms, work, timeout=20):
        """Starts the test scanner holding the file `path` (Windows or Linux) with
        `sharing` for `hold_ms`, as a virus scanner or another updater would, and
        returns it once it holds the file."""
        held = Path(work) / "scanner-holds"
        held.unlink(missing_ok=True)
        scanner = self.start(self.scanner, path, sharing, hold_ms, timeout * 1000, held, cwd=work,
                             log=Path(work) / "scanner.log")
        deadline = time.monotonic() + timeout
        while not held.exists():
            if time.monotonic() > deadline or scanner.poll() is not None:
                raise SystemExit(f"the scanner never held {path}")
            time.sleep(0.01)
        return scanner

    # --- sessions ---------------------------------------------------------------

    def session_state(self):
        try:
            state = json.loads(self.state_file.read_text())
        except (OSError, ValueError):
            return None
        alive = Path(f"/proc/{state.get('xvfb_pid')}").exists()
        return state if alive else None

    def start_session(self, dpi=DEFAULT_DPI, display=None):
        """A virtual screen (or the given display) and a persistent server bound
        to it, left running."""
        self.make()
        self.stop_session()
        if display is None:
            display, pid = start_xvfb()
        else:
            pid = os.getpid()
        self.state_file.write_text(json.dumps({"display": display, "xvfb_pid": pid}))
        self.env["DISPLAY"] = display
        # Persistent, so Wine's services start once per session, not per program.
        quiet(["wineserver", "-p"], self.env)
        self.set_dpi(dpi)
        self.wine("cmd", "/c", "exit")
        mount_tiny_disk(self.tiny_disk)

    def stop_session(self):
        # The desktop keeps the display of a server's first program, so no server
        # may outlive its screen.
        quiet(["wineserver", "-k"], self.env, check=False)
        state = self.session_state()
        if state and state["xvfb_pid"] != os.getpid():
            with contextlib.suppress(ProcessLookupError):
                os.kill(state["xvfb_pid"], signal.SIGTERM)
        self.state_file.unlink(missing_ok=True)
        self.env.pop("DISPLAY", None)
        if os.path.ismount(self.tiny_disk):
            subprocess.run(["umount", str(self.tiny_disk)], check=False)

    @contextlib.contextmanager
    def session(self, dpi=DEFAULT_DPI, display=None):
        self.start_session(dpi, display)
        try:
            yield self
        finally:
            self.stop_session()

    @contextlib.contextmanager
    def use(self, dpi=DEFAULT_DPI, display=None):
        """Sole use of the prefix at a DPI: on its running session (a CTest
        fixture), or on a session of its own when none runs, on a virtual
        screen unless a display is given."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.path.parent / f"{self.name}.busy", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if self.session_state() is None or display is not None:
                with self.session(dpi, display):
                    yield self
            else:
                with self.dpi(dpi):
                    yield self

    @contextlib.contextmanager
    def dpi(self, dpi):
        """Runs a block at another DPI; each program reads it when it starts."""
        if dpi == DEFAULT_DPI:
            yield
            return
        self.set_dpi(dpi)
        try:
            yield
        finally:
            self.set_dpi(DEFAULT_DPI)


    # --- the window under test --------------------------------------------------

    def read_window(self, probe_exe, output, *args):
        """Runs the probe's read mode, keeping its output in `output`; answers
        (exit status, its key=value lines as a dict)."""
        with open(output, "wb") as out:
            status = self.wine(probe_exe, "read", *args, stdout=out, timeout=120)
        values = {}
        for line in Path(output).read_text(encoding="utf-8", errors="replace").splitlines():
            key, separator, value = line.partition("=")
            if separator:
                values[key] = value.rstrip("\r")
        return status, values

    def click(self, x, y):
        """Clicks at screen coordinates, which under Wine are Windows' own."""
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=self.env,
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=30)

    def keys(self, *args):
        """Types on the session's keyboard: ("key", "Tab"), ("keydown", "space")..."""
        subprocess.run(["xdotool", *args], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, timeout=30)

    def screenshot(self, png, crop=None):
        """Saves the screen, or the (left, top, right, bottom) part of it, as a PNG."""
        command = ["import", "-window", "root"]
        if crop is not None:
            left, top, right, bottom = crop
            command += ["-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage"]
        subprocess.run([*command, str(png)], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, timeout=30)


def probe_result(output):
    """The fields of the probe's result line, `ok name=value ...` with a last
    text="..." taken whole: name -> text; None when the probe gave none."""
    for line in output.splitlines():
        if line.startswith("ok "):
            head, quote, text = line[3:].partition(' text="')
            fields = dict(field.split("=", 1) for field in head.split() if "=" in field)
            if quote:
                fields["text"] = text.removesuffix('"')
            return fields
    return None


def quiet(command, env=None, timeout=600, check=True, cwd=None):
    """Runs a command with its output kept aside, shown only when it fails. The
    output goes through a file, never a pipe: Wine's services outlive the
    program and would hold a pipe open."""
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, timeout=timeout)
        if check and result.returncode != 0:
            out.seek(0)
            sys.stdout.write(out.read().decode(errors="replace"))
            raise SystemExit(f"{command[0]} failed with status {result.returncode}")
    return result.returncode


def mount_tiny_disk(folder):
    """Mounts a 1 MiB tmpfs with a marker file in it. Mounting needs root; where
    it is refused the marker is missing and the full-disk cases skip visibly."""
    folder.mkdir(parents=True, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if mounted.returncode == 0:
        (folder / ".tiny-disk").write_text("mounted\n")
    else:
        print(f"tiny disk: mount refused at {folder}; full-disk cases will skip: "
              f"{mounted.stderr.strip()}", flush=True)


def start_xvfb():
    """Starts Xvfb on a display number it picks itself, in its own session so it
    outlives the caller; answers (display, pid)."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        ready, _, _ = select.select([pipe], [], [], 15)
        number = pipe.readline().strip() if ready else ""
    if not number.isdigit():
        process.kill()
        raise SystemExit("Xvfb did not start")
    return f":{number}", process.pid


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir")
    parser.add_argument("--target", default="x86", help="the build's CMAKE_SYSTEM_PROCESSOR")
    parser.add_argument("--platform", choices=PLATFORMS)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("x86-code")
    listing = commands.add_parser("platforms")
    listing.add_argument("build_target")
    commands.add_parser("prefix")
    start = commands.add_parser("start")
    start.add_argument("--dpi", type=int, default=DEFAULT_DPI)
    commands.add_parser("stop")
    run = commands.add_parser("run")
    run.add_argument("program")
    run.add_argument("args", nargs=argparse.REMAINDER)
    args = parser.parse_args()

    if args.command == "x86-code":
        runs, answer = x86_code()
        print("yes" if runs else f"no: {answer}")
        return 0
    if args.command == "platforms":
        # One line a platform, tab-separated: its name, its build's preset, its
        # lanes, and why it cannot run here (or nothing).
        for platform in platforms_of(args.build_target):
            print(f"{platform.name}\t{platform.preset}\t{','.join(platform.lane_names())}\t"
                  f"{platform.cannot_run() or ''}")
        return 0
    if args.build_dir is None:
        parser.error("--build-dir is needed")
    platform = PLATFORMS[args.platform] if args.platform else default_platform(args.target)
    if args.command in ("prefix", "start", "stop"):
        for lane in platform.lane_names():
            prefix = Prefix(args.build_dir, platform, lane)
            if args.command == "prefix":
                prefix.make()
            elif args.command == "start":
                prefix.start_session(args.dpi)
            else:
                prefix.stop_session()
    else:
        prefix = Prefix(args.build_dir, platform)
        prefix.make()
        # A program that failed without a word never got to run (Wine's start
        # failed under load, seen once in some hundreds of runs): once more, saying so.
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as log:
                status = prefix.wine(args.program, *args.args, stdout=log, timeout=None)
                log.seek(0)
                output = log.read()
            sys.stdout.buffer.write(output)
            if status == 0 or output or attempt == 2:
                break
            print(f"wine.py: {args.program} ended with status {status} and printed nothing; "
                  "running it once more", flush=True)
        if status != 0:
            print(f"wine.py: {args.program} ended with status {status}", flush=True)
        return status
    return 0


if __name__ == "__main__":
    sys.exit(main())
