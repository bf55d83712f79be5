#!/usr/bin/env python3
"""The demo behind scripts/demo: lays out an installation and a download in a
64-bit prefix, runs the updater once, and shows what it did: the 32-bit program
under WoW64 where this machine runs 32-bit code, else the 64-bit build.

Usage: demo.py <build dir of that program>
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import wine  # noqa: E402
from program import EXECUTABLE, FOLDERS, PAYLOAD  # noqa: E402

DOWNLOAD = "C:\\Downloads\\Zimlex"


def describe(path):
    if not path.is_file():
        return "missing"
    data = path.read_bytes()
    return f"{hashlib.sha256(data).hexdigest()[:16]}… {len(data)} bytes"


def user_display():
    """The user's display when one answers, else None."""
    shown = subprocess.run(["xdotool", "getdisplaygeometry"], stdin=subprocess.DEVNULL,
                           capture_output=True)
    return os.environ.get("DISPLAY") if shown.returncode == 0 else None


def main():
    build = Path(sys.argv[1]).resolve()
    demo = build / "demo"
    demo.mkdir(parents=True, exist_ok=True)
    platform = wine.preferred_platform()
    if build.name != platform.preset:
        raise SystemExit(f"demo: {build} is not the {platform.preset} build that runs here")
    prefix = wine.Prefix(build, platform)
    print(f"demo: the {platform.program_bits}-bit updater {build / 'ZimlexUpdate.exe'} on "
          f"64-bit Windows ({platform.name} platform, Wine loader {prefix.loader})", flush=True)
    if not (prefix.path / "system.reg").exists():
        print(f"demo: making a Wine prefix in {prefix.path} (about 20 s, once)", flush=True)

    display = user_display()
    with prefix.use(display=display):
        if display:
            print(f"demo: showing the window on your display {display}")
            # A window manager draws the frame there.
            prefix.set_registry({r"HKEY_CURRENT_USER\Software\Wine\X11 Driver": {"Decorated": "Y"}})
        else:
            print(f"demo: no usable display; using a virtual screen {prefix.env['DISPLAY']}")
        try:
            return run(build, demo, prefix, display)
        finally:
            if display:
                prefix.set_registry({r"HKEY_CURRENT_USER\Software\Wine\X11 Driver":
                                     {"Decorated": "N"}})


def run(build, demo, prefix, display):
    # The installed product and the download, laid out afresh on every run.
    folders = [prefix.linux(folder) for folder in FOLDERS]
    download = prefix.linux(DOWNLOAD)
    for folder in (*folders, download):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
    for folder in folders:
        (folder / EXECUTABLE).write_bytes(b"Zimlex 1.0, stand-in for the installed program\n" * 200)
    (download / PAYLOAD).write_bytes(b"Zimlex 2.0, stand-in for the new program\n" * 300)
    before = [describe(folder / EXECUTABLE) for folder in folders]

    print(f"demo: running ZimlexUpdate.exe in {DOWNLOAD}", flush=True)
    updater = prefix.start(build / "ZimlexUpdate.exe", cwd=download, log=demo / "updater.log")
    try:
        status, values = prefix.read_window(build / "tests" / "WindowProbe.exe",
                                            demo / "probe.txt", "--timeout", "30000",
                                            "--settle", "20000")
        if status != 0 or values.get("found") != "1":
            print(f"demo: the updater's window did not appear; see {demo / 'updater.log'}",
                  file=sys.stderr)
            return 1
        if display:
            # On the user's own screen the user ends it, as they would on Windows.
            print('demo: click Ok in the "Zimlex Update" window to finish', flush=True)
            exit_status = updater.wait()
        else:
            # The label is repainted once the update has returned.
            time.sleep(0.5)
            screenshot = demo / "screenshot.png"
            prefix.screenshot(screenshot, tuple(int(v) for v in values["window_rect"].split(",")))
            print(f"demo: screenshot of the window saved as {screenshot}")
            print("demo: clicking Ok")
            left, top, right, bottom = (int(v) for v in values["image_rect"].split(","))
            prefix.click(int(values["client_origin_x"]) + (left + right) // 2,
                         int(values["client_origin_y"]) + (top + bottom) // 2)
            try:
                exit_status = updater.wait(timeout=15)
            except subprocess.TimeoutExpired:
                exit_status = None
    finally:
        if updater.poll() is None:
            updater.kill()
            updater.wait()

    print()
    print(f"Label:       {values.get('label_text', '')}")
    if exit_status is None:
        print("Exit status: none, still running after the click on Ok")
        return 1
    print(f"Exit status: {exit_status}")
    print("Files:")
    for windows, folder, old in zip(FOLDERS, folders, before):
        after = describe(folder / EXECUTABLE)
        change = f"unchanged ({after})" if after == old else f"{old} -> {after}"
        print(f"  {windows}\\{EXECUTABLE}: {change}")
    print(f"  payload {DOWNLOAD}\\{PAYLOAD}: {describe(download / PAYLOAD)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
