#!/usr/bin/env python3
"""End-to-end tests of the real ZimlexUpdate.exe under Wine, on a virtual screen.

Each case lays out drive_c of the build's prefix for one Windows architecture,
starts the program from a chosen current directory, reads its window with
WindowProbe.exe, clicks it with xdotool and then looks at the files it left.
Under CTest the prefix's session (screen and Wine server) is a fixture shared by
all cases; run by hand, a case starts and ends a session of its own.

    e2e.py --build-dir DIR [--platform P] list      names of the platform's cases, one a line
    e2e.py --build-dir DIR [--platform P] run CASE  run one case; exit status 0 when it passed

On a 64-bit build's platform every case that differs on 32-bit Windows runs a
second time as CASE.registry_of_32_bit_windows: the prefix's registry then
records one Program Files folder, as 32-bit Windows' does, and the
"C:\Program Files (x86)" that remains is one any user could have made.

A new case is one more Case below. Beyond the folder layout it can start helper
programs first (`setup`, with Run.start), run another program file than the
build's (`program`), and check more at the end (`check`).
"""

import argparse
import re
import contextlib
import dataclasses
import fcntl
import functools
import hashlib
import os
import shutil
import subprocess
import sys
import time
import struct
import typing
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import signing  # noqa: E402
import wine  # noqa: E402
from program import (CAPTION, CLASS_NAME, CLIENT_TWIPS, EXECUTABLE, FAILURE_TEXT as FAILURE,  # noqa: E402
                     FOLDERS, IMAGE_TWIPS, LABEL_TWIPS, LOCK, LOG_FIRST_LINE, PAYLOAD, PRODUCT_FOLDER, PROGRAM_FILES,
                     SUCCESS_TEXTS, TWIPS_PER_INCH, target)

FIRST, SECOND = FOLDERS
# Where updaters lock: beside the installation, where only administrators write.
LOCK_FILE = f"{PROGRAM_FILES[1]}\\{LOCK}"


def updated(folder):
    return SUCCESS_TEXTS[FOLDERS.index(folder)]


# Different sizes as well as different bytes, so a truncated or partial copy shows.
NEW = b"MZ\x90\x00" + b"Zimlex 2.0 build " * 300
OLD = b"MZ\x90\x00" + b"Zimlex 1.0 " * 200
SAME_SIZE = NEW[:-1] + b"!"
DECOY = b"MZ\x90\x00" + b"not the payload " * 100
OTHER = b"installed alongside Zimlex\r\n"
SLEEPER = object()  # stands for the bytes of a small program that keeps running
# Stands for a symbolic link to a read-only file outside the folder, planted by
# another program of the user; the file holds PRECIOUS.
LINK = object()
PRECIOUS = b"a read-only file of somebody else's\r\n"

SS_CENTER = 0x1
SS_PATHELLIPSIS = 0x8000


def mul_div(number, numerator, denominator):
    """Windows' MulDiv for non-negative values: rounds halves away from zero."""
    return (number * numerator * 2 + denominator) // (denominator * 2)


def pixels(twips, dpi):
    return mul_div(twips, dpi, TWIPS_PER_INCH)


def expected_rect(twips, dpi):
    left, top, width, height = (pixels(t, dpi) for t in twips)
    return (left, top, left + width, top + height)


# --- a busy machine ---------------------------------------------------------------

def hold_with_scanner(folder_index, sharing, hold_ms):
    """A setup that has a scanner hold the folder's Zimlex.exe with `sharing`
    for `hold_ms` from before the updater starts."""
    return lambda run: run.processes.append(run.prefix.hold(
        f"{FOLDERS[folder_index]}\\{EXECUTABLE}", sharing, hold_ms, run.work))


def write_empty_payload(run):
    (run.download / PAYLOAD).write_bytes(b"")


# 2020-09-13 12:26:40 UTC: far from any time the test runs at.
BUILT_AT = 1600000000


def date_payload(run):
    os.utime(run.download / PAYLOAD, (BUILT_AT, BUILT_AT))


def check_payload_time_kept(run):
    installed = run.prefix.linux(f"{FIRST}\\{EXECUTABLE}")
    run.failures.equal("modification time of the new Zimlex.exe",
                       int(installed.stat().st_mtime), BUILT_AT)


# --- what another program of the user can do -------------------------------------

def take_lock(mode, hold_ms):
    """A setup that has another program hold the lock file, as an earlier run
    left it, for `hold_ms`: mode "-" as another updater does, "a" for its
    attributes only, as any user may."""
    def setup(run):
        lock = run.prefix.linux(LOCK_FILE)
        if not lock.exists():
            lock.write_bytes(b"")
        run.processes.append(run.prefix.hold(LOCK_FILE, mode, hold_ms, run.work))
    return setup


def check_settled_after(low, high):
    def check(run):
        run.failures.true(f"result shown after {low} to {high} s", low <= run.settled_after <= high,
                          f"{run.settled_after:.1f} s")
    return check


def wait_for(condition, failure, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit(failure)
        time.sleep(0.005)


# Copied in some half a second on a quiet machine: longer than the widest
# answer the cases allow, so a window that stops answering for the copy fails.
LARGE = 512 << 20


def large_payload(run):
    # The download, the staged copy and a second updater's: a disk without room
    # for them would fail the case for the machine's sake, not the program's.
    needed, free = 4 * LARGE, shutil.disk_usage(run.download).free
    if free < needed:
        raise wine.Skipped(f"{free >> 20} MiB free on the disk, the large copy needs "
                           f"{needed >> 20} MiB")
    run.new = b"MZ\x90\x00" + b"large Zimlex 2.0 " * (LARGE // 17)
    (run.download / PAYLOAD).write_bytes(run.new)
    # A real download is on the disk long before anyone starts the updater;
    # left unwritten, it would stall the updater's flushes behind it.
    os.sync()


def click_during_copy(run, updater):
    """Clicks Ok while the new bytes are being written: the program must end
    only once the update has returned, with the update's exit status."""
    values = run.probe("--timeout", "20000")
    folder = run.prefix.linux(SECOND)
    wait_for(lambda: any(folder.glob(f"{EXECUTABLE}.*.new")), "no staging file appeared")
    image = parse_rect(values["image_rect"])
    run.click(values, (image[0] + image[2]) // 2, (image[1] + image[3]) // 2)
    clicked_at = time.monotonic()
    try:
        status = updater.wait(timeout=60)
    except subprocess.TimeoutExpired:
        run.failures.true("ended by the click made during the copy", False)
        return
    print(f"clicked during the copy; the program ended {time.monotonic() - clicked_at:.2f} s later")
    run.failures.equal("exit status", status, 0)


OTHER_DRIVE = ("D:\\Programs (x86)", "D:\\Programs")


def set_program_files(prefix, x86, native):
    """Writes where the system keeps its Program Files folders, in both of a
    64-bit system's registry views (reg.exe, as regedit writes only one); as
    32-bit Windows records them (one folder) where the prefix stands for it."""
    key = r"HKLM\Software\Microsoft\Windows\CurrentVersion"
    if prefix.platform.windows_bits == 32:
        views = {(): {"ProgramFilesDir": native}}
    elif prefix.windows_bits == 32:
        views = {view: {"ProgramFilesDir": native, "ProgramFilesDir (x86)": None}
                 for view in (("/reg:64",), ("/reg:32",))}
    else:
        views = {("/reg:64",): {"ProgramFilesDir": native, "ProgramFilesDir (x86)": x86},
                 ("/reg:32",): {"ProgramFilesDir": x86, "ProgramFilesDir (x86)": x86}}
    for view, values in views.items():
        for name, value in values.items():
            if value is None:
                # Gone already after an earlier call of the same case: no failure.
                prefix.wine("reg", "delete", key, "/v", name, "/f", *view)
            elif prefix.wine("reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f",
                             *view) != 0:
                raise SystemExit(f"reg add {name} failed")


def record_32_bit_windows(run):
    """The registry of 32-bit Windows in a 64-bit prefix, put back when the case ends."""
    run.cleanups.append(lambda: restore_64_bit_windows(run.prefix))
    set_program_files(run.prefix, None, PROGRAM_FILES[1])


def restore_64_bit_windows(prefix):
    prefix.windows_bits = 64
    set_program_files(prefix, *PROGRAM_FILES)


def move_program_files(run):
    """Windows installed on D:: the Program Files folders there, each holding Zimlex."""
    drive = run.prefix.root / "drive_d"
    clear(drive)
    for folder in OTHER_DRIVE:
        installed = drive / folder[3:] / PRODUCT_FOLDER.strip("\\")
        installed.mkdir(parents=True)
        (installed / EXECUTABLE).write_bytes(OLD)
    device = run.prefix.path / "dosdevices" / "d:"
    clear(device)
    device.symlink_to(drive)
    run.cleanups.append(lambda: clear(device))
    run.cleanups.append(lambda: set_program_files(run.prefix, *PROGRAM_FILES))
    set_program_files(run.prefix, *OTHER_DRIVE)


def check_other_drive(run):
    drive = run.prefix.root / "drive_d"
    # 32-bit Windows has one Program Files folder.
    expected = (run.prefix.windows_bits == 64, True)
    for folder, updated in zip(OTHER_DRIVE, expected):
        installed = drive / folder[3:] / PRODUCT_FOLDER.strip("\\")
        run.failures.equal(f"names in {folder}", sorted(os.listdir(installed)), [EXECUTABLE])
        run.failures.true(f"{folder} holds the {'new' if updated else 'old'} Zimlex.exe",
                          (installed / EXECUTABLE).read_bytes() == (run.new if updated else OLD))


def check_precious_untouched(run):
    precious = run.work / "precious.dll"
    run.failures.equal("bytes of the file a planted link leads to", precious.read_bytes(), PRECIOUS)
    run.failures.equal("mode of the file a planted link leads to",
                       oct(precious.stat().st_mode & 0o777), oct(0o444))


# --- deployment tools -----------------------------------------------------------------

LOG = "<log>"
# The case's own folder, as Windows names it, in a command line.
WORK = "<work>"


def log_lines(run):
    """The log's lines after its first, each without its time stamp, which must be there."""
    path = run.work / "update.log"
    if not path.exists():
        run.failures.true("a log was written", False, str(path))
        return []
    lines = path.read_text(encoding="utf-8").splitlines()
    run.failures.equal("the log's first line", lines[:1], [LOG_FIRST_LINE])
    lines = lines[1:]
    stamp = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z ")
    run.failures.true("every log line starts with its UTC time",
                      all(stamp.match(line) for line in lines), "\n".join(lines[:3]))
    return [stamp.sub("", line) for line in lines]


def check_log(*patterns, runs=1, status=0):
    """A check that the log matches every pattern and ends with the exit status,
    after `runs` runs appended to it."""
    def check(run):
        lines = log_lines(run)
        text = "\n".join(lines)
        for pattern in patterns:
            run.failures.true(f"log line matching {pattern!r}", re.search(pattern, text, re.M),
                              text)
        ends = [line for line in lines if line.startswith("end of the update: exit status")]
        run.failures.equal("runs the log tells of", len(ends), runs)
        run.failures.true(f"log ends with exit status {status}", bool(lines) and
                          lines[-1].startswith(f"end of the update: exit status {status} "),
                          lines[-1] if lines else "")
    return check


def deployed_twice(run):
    """The same payload deployed again, now while that Zimlex.exe runs: nothing
    is written, and the run succeeds."""
    installed = run.prefix.linux(f"{SECOND}\\{EXECUTABLE}")
    before = installed.stat()
    run.start_running(installed)
    # Each run its own log: Wine shows every existing file as its user's, and
    # an existing log that is not the administrators' alone is refused.
    check_log(runs=1)(run)
    (run.work / "update.log").rename(run.work / "first-run.log")
    run.deploy()
    after = installed.stat()
    run.failures.equal("Zimlex.exe's identity and times after the second run",
                       (after.st_ino, after.st_mtime_ns, after.st_ctime_ns),
                       (before.st_ino, before.st_mtime_ns, before.st_ctime_ns))
    check_log(r"already holds the payload's bytes: left as it is")(run)


def apps_and_features_again(run):
    """A run that finds Zimlex.exe already holding the payload: the entry an
    earlier updater left behind catches up, each time to the same value."""
    for _ in range(2):
        run.prefix.set_registry({f"{UNINSTALL}\\ZimlexByLocation": {"DisplayVersion": "1.0",
                                                                     "VersionMajor": 1}}, view=64)
        (run.work / "update.log").rename(run.work / f"run-{time.monotonic_ns()}.log")
        run.deploy()
        check_log(r"already holds the payload's bytes: left as it is")(run)


def log_prepared(run):
    """Another program of the user made the log's file first, to read or edit
    what the updater writes, or to lock a range of it."""
    (run.work / "update.log").write_bytes(PRECIOUS)


def check_log_untouched(run):
    run.failures.equal("the prepared log", (run.work / "update.log").read_bytes(), PRECIOUS)


def log_through_link(run):
    """Another program of the user planted the log's name as a link to a file
    elsewhere."""
    target = run.work / "elsewhere.txt"
    target.write_bytes(PRECIOUS)
    (run.work / "update.log").symlink_to(target)


def check_log_link_target(run):
    run.failures.equal("the file a planted log link leads to",
                       (run.work / "elsewhere.txt").read_bytes(), PRECIOUS)


def planted(name):
    """Another program of the user, or an administrator's task, made this file
    in the case's folder first."""
    def setup(run):
        (run.work / name).write_bytes(PRECIOUS)
    return setup


def check_unchanged(name, data=PRECIOUS):
    """The file the command line named as the log is as it was (None: absent)."""
    def check(run):
        path = run.work / name
        run.failures.equal(name, path.read_bytes() if path.exists() else None, data)
    return check


def through_folder_link(long_form):
    """The log's folder and the current directory reached through a folder link
    another program of the user planted, spelt plainly or in the long form."""
    def setup(run):
        real = run.work / "real"
        real.mkdir()
        (run.work / "linked").symlink_to(real)
        (real / PAYLOAD).write_bytes(NEW)
        linked = run.prefix.windows(run.work / "linked")
        run.current_dir = ("\\\\?\\" if long_form else "") + linked
    return setup


# ERROR_STOPPED_ON_SYMLINK: the file opened is not the one the path names.
PAYLOAD_THROUGH_LINK = r"^opening the payload Zimlex\.ex_: error 681 "


def check_nothing_through_link(run):
    run.failures.equal("files in the folder the link leads to",
                       sorted(path.name for path in (run.work / "real").iterdir()), [PAYLOAD])


def payload_through_link(run):
    """The payload's name is a link to a file only administrators should read."""
    secret = run.work / "secret.bin"
    secret.write_bytes(b"MZ" + b"administrators only " * 100)
    (run.download / PAYLOAD).symlink_to(secret)


def sleeper_payload(run):
    run.new = run.prefix.sleeper.read_bytes()
    (run.download / PAYLOAD).write_bytes(run.new)


def take_lock_and_deploy(run):
    """Another updater holds the lock, and a deployment tool's updater waits for
    it beside the interactive one."""
    take_lock("-", 90000)(run)
    run.background = run.start_probe_run(("/quiet", "/log", LOG), "deployed.out")


def deploy_beside(run):
    """A deployment tool's updater started together with the interactive one."""
    large_payload(run)
    run.background = run.start_probe_run(("/quiet", "/log", LOG), "deployed.out")


def check_deployed_updated(run):
    run.background.wait(timeout=120)
    output = (run.dir / "deployed.out").read_text(errors="replace")
    run.failures.true("the updater beside it ends with 0 too",
                      (wine.probe_result(output) or {}).get("exit_code") == "0", output)
    check_log(r"^(renamed over|.* already holds the payload's bytes: left as it is)")(run)


def check_deployed_busy(run):
    run.background.wait(timeout=120)
    output = (run.dir / "deployed.out").read_text(errors="replace")
    run.failures.true("a deployment tool's updater ends with 1618",
                      (wine.probe_result(output) or {}).get("exit_code") == "1618", output)
    check_log(r"another updater is copying; waiting for it up to 60 s",
              r"another updater still holds the lock .*: error 1618 \(.+\)", status=1618)(run)


# --- signed releases --------------------------------------------------------------



# The build of the other architecture, whose updater stands in for a Zimlex.exe of that kind.
OTHER_ARCHITECTURE = {32: "x64", 64: "win32"}


def named(program, name):
    """A program's bytes whose version resource gives `name` as OriginalFilename,
    in the room the build's own "ZimlexUpdate.exe" takes."""
    data = bytearray(program)
    own = "ZimlexUpdate.exe".encode("utf-16-le")
    # The resources come last; the program's code names the key too.
    at = data.index(own, data.rindex("OriginalFilename".encode("utf-16-le")))
    data[at:at + len(own)] = name.encode("utf-16-le").ljust(len(own), b"\0")
    return bytes(data)


def fixed_version(program, offset, *words):
    """A program's bytes with `words` written into its version resource's fixed
    part at `offset`: 8 for the file version, 16 for the product version."""
    data = bytearray(program)
    # The signature may stand in the code too: the resource's follows its key.
    key = data.index("VS_VERSION_INFO".encode("utf-16-le"))
    fixed = data.index(struct.pack("<I", 0xFEEF04BD), key)
    struct.pack_into(f"<{len(words)}I", data, fixed + offset, *words)
    return bytes(data)


def file_version(program, major):
    """A program's bytes claiming file version major.0.0.0."""
    return fixed_version(program, 8, major << 16)


def publishers(prefix):
    """What the tests' publishers signed, made once per build: each one's
    Zimlex.exe (a copy of the build's updater named so in its version
    resource). Also signed by the vendor: the updater itself, another product
    of a higher version, the other architecture's Zimlex.exe, a small program
    without a version resource and a cabinet; and the updater built to pin the
    vendor's two keys."""
    folder = prefix.build / "e2e" / "publishers"
    folder.mkdir(parents=True, exist_ok=True)
    made, pinned = signing.test_release(prefix.build, prefix.platform.preset)
    other_build = OTHER_ARCHITECTURE[prefix.platform.program_bits]
    other = prefix.build.parent / other_build / "ZimlexUpdate.exe"
    if not other.is_file():
        raise SystemExit(f"missing {other}: build the other architecture's preset first")
    # Made again whenever the programs they copy, or the publishers, change.
    stamp = hashlib.sha256(prefix.program.read_bytes() + other.read_bytes() +
                           pinned.read_bytes()).hexdigest()
    with open(folder / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        done = folder / "done"
        if not done.exists() or done.read_text() != stamp:
            own = prefix.program.read_bytes()
            # The next key's Zimlex.exe names itself in capitals: case is no part of a name.
            unsigned = {"zimlex.exe": named(own, "Zimlex.exe"),
                        "shouted.exe": named(own, "ZIMLEX.EXE"),
                        "other-product.exe": named(file_version(own, 2), "Zimtool.exe"),
                        "other-architecture.exe": named(other.read_bytes(), "Zimlex.exe")}
            for name, data in unsigned.items():
                (folder / name).write_bytes(data)
            signed = [(folder / ("shouted.exe" if key == "next" else "zimlex.exe"),
                       f"{key}-payload.exe", key) for key in made]
            signed += [(prefix.program, "vendor-updater.exe", "vendor"),
                       (prefix.sleeper, "vendor-unversioned.exe", "vendor"),
                       (folder / "other-product.exe", "vendor-other-product.exe", "vendor"),
                       (folder / "other-architecture.exe", "vendor-other-architecture.exe",
                        "vendor")]
            for program, name, key in signed:
                result = signing.sign(program, folder / name, made[key], updater_only=True)
                if result.returncode != 0:
                    raise SystemExit(f"signing {program} failed: {result.stderr.strip()}")
                verification = signing.verify(folder / name, made[key].authority)
                if not verification.ok or verification.signer != made[key].name:
                    raise SystemExit(f"{name} does not verify:\n{verification.output}")
            cabinet = folder / "cabinet.cab"
            cabinet.write_bytes(cabinet_of("readme.txt", b"not a program\r\n"))
            (folder / "vendor-cabinet.cab").unlink(missing_ok=True)
            subprocess.run(["osslsigncode", "sign", "-certs", str(made["vendor"].certificate),
                            "-key", str(made["vendor"].key), "-in", str(cabinet),
                            "-out", str(folder / "vendor-cabinet.cab")],
                           check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            shutil.copyfile(pinned, folder / "pinned-updater.exe")
            done.write_text(stamp)
    return folder


def cabinet_of(name, data):
    """A cabinet holding one file, stored as it is: Authenticode signs cabinets
    by their content, whatever they are named."""
    entry = struct.pack("<IIHHHH", len(data), 0, 0, 0x5A21, 0, 0x20) + name.encode() + b"\0"
    data_offset = 36 + 8 + len(entry)
    block = struct.pack("<IHH", 0, len(data), len(data)) + data
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, data_offset + len(block), 0, 44, 0, 3, 1,
                         1, 1, 0, 0x2026, 0)
    return header + struct.pack("<IHH", data_offset, 1, 0) + entry + block


def signed_updater(run):
    return publishers(run.prefix) / "vendor-updater.exe"


def pinned_updater(run):
    return publishers(run.prefix) / "pinned-updater.exe"


def with_file_version(major):
    """The bytes of the build's updater, a real program with a version resource,
    claiming file version major.0.0.0; made when the case lays out its folders."""
    return lambda run: file_version(run.prefix.program.read_bytes(), major)


UNINSTALL = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def with_product_version(major, minor):
    """The build's updater claiming product version major.minor.0.0."""
    return lambda run: fixed_version(run.prefix.program.read_bytes(), 16, major << 16 | minor, 0)


def apps_and_features(run):
    """Entries as installers leave them: one for the second folder by its
    InstallLocation (64-bit view), one for the first folder by its DisplayIcon
    (32-bit view, where there is one), and one of another product."""
    # 32-bit Windows has one view, which both names reach.
    icon_view = 64 if run.prefix.platform.windows_bits == 32 else 32
    entries = {
        ("ZimlexByLocation", 64): {"InstallLocation": SECOND + "\\", "DisplayVersion": "1.0",
                                   "VersionMajor": 1, "VersionMinor": 0},
        ("ZimlexByIcon", icon_view): {"DisplayIcon": f'"{FIRST}\\{EXECUTABLE}",0',
                                      "DisplayVersion": "1.0"},
        ("Other", 64): {"InstallLocation": "C:\\Program Files\\Other", "DisplayVersion": "7.0"},
    }
    for (name, view), values in entries.items():
        run.prefix.set_registry({f"{UNINSTALL}\\{name}": values}, view=view)
        run.cleanups.append(functools.partial(run.prefix.delete_registry, f"{UNINSTALL}\\{name}",
                                              view))
    run.entries = entries


def entries_hold(by_location, by_icon):
    """A check of the entries' DisplayVersion (None: as laid) and that the
    other product's entry is untouched."""
    def check(run):
        found = {view: {key.rsplit("\\", 1)[-1].lower(): values
                        for key, values in run.prefix.registry(UNINSTALL, view).items()}
                 for view in (32, 64)}
        for (name, view), laid in run.entries.items():
            expected = dict(laid)
            if name == "ZimlexByLocation" and by_location:
                expected.update(DisplayVersion=by_location[0], VersionMajor=by_location[1],
                                VersionMinor=by_location[2])
            if name == "ZimlexByIcon" and by_icon and run.prefix.windows_bits == 64:
                expected["DisplayVersion"] = by_icon
            got = {value: found[view].get(name.lower(), {}).get(value) for value in expected}
            want = {value: (f"dword:{text:08x}" if isinstance(text, int) else text)
                    for value, text in expected.items()}
            run.failures.equal(f"Apps & Features entry {name}", got, want)
    return check


def payload_from(make_bytes):
    """A setup that puts the payload `make_bytes(run)` in place; the folders
    that are to be updated must then hold exactly these bytes."""
    def setup(run):
        run.new = make_bytes(run)
        (run.download / PAYLOAD).write_bytes(run.new)
    return setup


def signed_payload(key):
    return lambda run: (publishers(run.prefix) / f"{key}-payload.exe").read_bytes()


def signed_updater_bytes(run):
    """A vendor-signed Zimlex.exe with file version 1.0.0.0."""
    return signed_payload("vendor")(run)


def vendor_signed(name):
    return lambda run: (publishers(run.prefix) / f"vendor-{name}.exe").read_bytes()


def changed_byte(run):
    payload = bytearray(signed_payload("vendor")(run))
    # Inside the code, covered by the signature's digest.
    payload[0x400] ^= 0x01
    return bytes(payload)


@dataclasses.dataclass
class Case:
    name: str
    # Contents of the two folders, in probe order: None when the folder does not
    # exist; bytes for a plain file in its place; otherwise relative name -> bytes,
    # or None for a subfolder.
    folders: tuple
    label: str
    exit_status: int
    # Which folders must end up holding the payload as Zimlex.exe.
    updated: tuple = (False, False)
    payload: bool = True
    # (folder index, file name, attrib flag) applied with Wine's attrib.
    attributes: tuple = ()
    # (folder index, file name) made read-only.
    read_only: tuple = ()
    # Folder whose Zimlex.exe is running while the update runs.
    running: int | None = None
    # Start a copy of the program from its own folder, which holds a decoy
    # payload, while the current directory holds the real one.
    elsewhere: bool = False
    # Check the layout at this DPI and keep a screenshot.
    dpi: int | None = None
    # Called with the Run after the layout, before the updater starts: helper
    # programs started with run.start are ended with the case.
    setup: typing.Callable | None = None
    # The program file to start, from the Run; the build's updater by default.
    program: typing.Callable | None = None
    # Called with the Run at the end, for checks of its own on run.failures.
    check: typing.Callable | None = None
    # How the Ok picture is pressed at the end: "click", "Return" or "space".
    end_with: str = "click"
    # Click the label and empty space first, which must change nothing.
    clicks_beside: bool = False
    # Keys pressed first that must leave the program running and the focus on Ok.
    keys: tuple = ()
    # How long the label may take to show the result.
    settle_ms: int = 20000
    # The window must answer a sent message within this while the update runs.
    answers_within_ms: int | None = None
    # Called with the Run and the updater's process instead of reading the
    # window and clicking Ok; the files are checked afterwards as always.
    during: typing.Callable | None = None
    # The updater's command line; LOG stands for the case's log file.
    arguments: tuple = ()
    # Run as a deployment tool runs it: to its end, with nobody to click, and
    # no window of it may show; on an invisible window station when `hidden`.
    unattended: bool = False
    hidden: bool = False
    # What differs on 32-bit Windows, where the first folder is not a Program
    # Files folder but one that any user can make in C:\, and is never touched.
    on_32_bit: dict | None = None
    # The file layer's tests check the same on every platform: the whole program
    # is checked once, where a person would see it run.
    one_platform: bool = False


CASES = [
    Case("neither_folder", (None, None), "", 0, clicks_beside=True),
    # The new executable keeps the payload's modification time, as a copy by Windows does.
    Case("only_first", ({EXECUTABLE: OLD}, None), updated(FIRST), 0, updated=(True, False),
         setup=date_payload, check=check_payload_time_kept,
         on_32_bit=dict(label="", updated=(False, False), check=None)),
    Case("only_second", (None, {EXECUTABLE: OLD}), updated(SECOND), 0, updated=(False, True)),
    # The last write wins: only the second folder's text is left.
    Case("both_folders", ({EXECUTABLE: OLD, "readme.txt": OTHER}, {EXECUTABLE: OLD}),
         updated(SECOND), 0, updated=(True, True), on_32_bit=dict(updated=(False, True)),
         clicks_beside=True),
    # A rebuilt executable often keeps its size to the byte: installed all the same.
    Case("same_size_other_bytes", ({EXECUTABLE: SAME_SIZE}, {EXECUTABLE: SAME_SIZE}),
         updated(SECOND), 0, updated=(True, True), on_32_bit=dict(updated=(False, True))),
    # Files beside the product but no Zimlex.exe yet: the copy creates it.
    Case("no_executable_yet", (None, {"readme.txt": OTHER}), updated(SECOND), 0,
         updated=(False, True), one_platform=True),
    # Subfolders do not count, not even ones holding the product; with nothing
    # found no copy is tried, so the missing payload is no failure.
    Case("subfolders_only", ({"bin/": None, "bin/Zimlex.exe": OLD}, {"data/": None}), "", 0,
         payload=False, one_platform=True),
    Case("hidden_and_system_only", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD, "setup.log": OTHER}), "",
         0, attributes=((0, EXECUTABLE, "+h"), (1, EXECUTABLE, "+h"), (1, "setup.log", "+s")),
         one_platform=True),
    Case("payload_missing", (None, {EXECUTABLE: OLD}), FAILURE, 1, payload=False,
         one_platform=True),
    # Zimlex runs: an outcome of its own, which deployment tools retry later.
    Case("destination_running", (None, {EXECUTABLE: SLEEPER}), FAILURE, 15618, running=1,
         one_platform=True),
    # Read from outside all along (as a screen reader does while the window
    # answers), the label holds nothing until it holds the failure text.
    Case("second_running_after_first_updated", ({EXECUTABLE: OLD}, {EXECUTABLE: SLEEPER}),
         FAILURE, 15618, updated=(True, False), running=1, on_32_bit=dict(updated=(False, False))),
    # A failure in the first folder leaves the second one unvisited.
    # On 32-bit Windows a user's read-only file there stops nothing.
    Case("first_read_only", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), FAILURE, 1,
         read_only=((0, EXECUTABLE),),
         on_32_bit=dict(label=updated(SECOND), exit_status=0, updated=(False, True))),
    # What the first folder got is kept when the second one fails.
    Case("second_fails_after_first", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), FAILURE, 1,
         updated=(True, False), read_only=((1, EXECUTABLE),),
         on_32_bit=dict(updated=(False, False))),
    Case("other_current_directory", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), elsewhere=True, one_platform=True),
    # A plain file where the first folder should be means no installation there.
    Case("plain_file_for_first_folder", (OTHER, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True)),
    # An interrupted download never replaces a working executable.
    Case("empty_payload", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), FAILURE, 1, payload=False,
         setup=write_empty_payload, one_platform=True),
    # A virus scanner holds the executable with delete sharing for a moment, or for good.
    Case("scanner_holds_executable_briefly", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), setup=hold_with_scanner(1, "rd", 1500), one_platform=True),
    # Held for good is in use, as a running Zimlex is: tools retry later.
    Case("scanner_holds_executable_for_good", (None, {EXECUTABLE: OLD}), FAILURE, 15618,
         setup=hold_with_scanner(1, "rd", 60000), one_platform=True),
    # An updater built to pin its publisher installs only what that publisher's
    # keys signed, never what another certificate with the same name signed.
    # What is checked is each folder's staged copy, through the handle that holds it.
    Case("pinned_same_publisher", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(True, True), program=pinned_updater, arguments=("/log", LOG),
         setup=payload_from(signed_payload("vendor")), on_32_bit=dict(updated=(False, True)),
         check=check_log(r"^checking the staged copy C:\\Program Files\\Zimlex\\Zimlex\.exe"
                         r"\.[0-9a-f]{16}\.new$", r"^the signature verifies; signed by Zimlex Vendor$")),
    Case("pinned_next_key", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), program=pinned_updater, setup=payload_from(signed_payload("next"))),
    Case("pinned_same_name_other_authority", (None, {EXECUTABLE: OLD}), FAILURE, 1,
         program=pinned_updater, setup=payload_from(signed_payload("renewed"))),
    Case("pinned_other_publisher", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), FAILURE, 1,
         program=pinned_updater, setup=payload_from(signed_payload("other"))),
    Case("pinned_unsigned_payload", (None, {EXECUTABLE: OLD}), FAILURE, 1,
         program=pinned_updater),
    Case("pinned_changed_byte", (None, {EXECUTABLE: OLD}), FAILURE, 1, program=pinned_updater,
         setup=payload_from(changed_byte)),
    # No downgrades: a lower file version is refused, the same one reinstalled, and
    # a file without a version resource is never compared.
    Case("pinned_lower_version", (None, {EXECUTABLE: with_file_version(2)}), FAILURE, 1,
         program=pinned_updater, setup=payload_from(signed_updater_bytes), arguments=("/log", LOG),
         check=check_log(r"^file versions: the staged copy's 1\.0\.0\.0, installed 2\.0\.0\.0$",
                         status=1)),
    Case("pinned_same_version", (None, {EXECUTABLE: with_file_version(1)}), updated(SECOND), 0,
         updated=(False, True), program=pinned_updater, setup=payload_from(signed_updater_bytes)),
    # Only a program with a version resource passes the pin: none is no way
    # past the rule against downgrades.
    Case("pinned_payload_without_version", (None, {EXECUTABLE: with_file_version(2)}),
         FAILURE, 1, program=pinned_updater, arguments=("/log", LOG),
         setup=payload_from(vendor_signed("unversioned")),
         check=check_log(r"^the staged copy is no program .*: error 181[23] \(.+\)$", status=1)),
    Case("pinned_signed_cabinet", (None, {EXECUTABLE: OLD}), FAILURE, 1, program=pinned_updater,
         arguments=("/log", LOG), setup=payload_from(
             lambda run: (publishers(run.prefix) / "vendor-cabinet.cab").read_bytes()),
         check=check_log(r"^the signature verifies; signed by Zimlex Vendor$",
                         r"^the staged copy is no program .*: error 193 \(.+\)$", status=1)),
    # The publisher signs more than Zimlex.exe: only what calls itself so passes,
    # of either architecture.
    Case("pinned_updater_as_payload", (None, {EXECUTABLE: OLD}), FAILURE, 1,
         program=pinned_updater, setup=payload_from(vendor_signed("updater")),
         arguments=("/log", LOG),
         check=check_log(r"^the staged copy's version resource names it ZimlexUpdate\.exe$",
                         r"^the staged copy is another program than Zimlex\.exe: error 1642 ",
                         status=1)),
    Case("pinned_other_product", (None, {EXECUTABLE: with_file_version(1)}), FAILURE, 1,
         program=pinned_updater, setup=payload_from(vendor_signed("other-product"))),
    Case("pinned_other_architecture", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), program=pinned_updater,
         setup=payload_from(vendor_signed("other-architecture"))),
    # What fleets read follows the update, in both registry views.
    Case("apps_and_features_follow", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(True, True), arguments=("/log", LOG), on_32_bit=dict(updated=(False, True)),
         setup=lambda run: (apps_and_features(run), payload_from(with_product_version(3, 1))(run)),
         check=lambda run: (entries_hold(("3.1.0.0", 3, 1), "3.1.0.0")(run), check_log(
             r"^Apps & Features entry HKLM\\.*\\ZimlexByLocation \(64-bit view\): "
             r"DisplayVersion 1\.0 -> 3\.1\.0\.0$")(run))),
    Case("apps_and_features_without_version", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), setup=apps_and_features, check=entries_hold(None, None)),
    Case("apps_and_features_failed_run", (None, {EXECUTABLE: SLEEPER}), FAILURE, 15618, running=1,
         setup=lambda run: (apps_and_features(run), payload_from(with_product_version(3, 1))(run)),
         check=entries_hold(None, None)),
    Case("apps_and_features_refused_payload", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}), FAILURE, 1,
         program=pinned_updater, setup=lambda run: (
             apps_and_features(run), payload_from(signed_payload("other"))(run)),
         check=entries_hold(None, None)),
    Case("apps_and_features_catch_up", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), arguments=("/quiet", "/log", LOG), unattended=True,
         setup=lambda run: (apps_and_features(run), payload_from(with_product_version(3, 1))(run)),
         check=lambda run: (apps_and_features_again(run),
                            entries_hold(("3.1.0.0", 3, 1), None)(run))),
    Case("pinned_installed_without_version", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), program=pinned_updater, setup=payload_from(signed_updater_bytes)),
    # Without a pin, whatever signs the updater itself, any payload is installed.
    Case("signed_updater_without_pin", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), program=signed_updater, setup=payload_from(signed_payload("other"))),
    Case("unpinned_lower_version", (None, {EXECUTABLE: with_file_version(2)}), updated(SECOND), 0,
         updated=(False, True), setup=payload_from(signed_updater_bytes)),
    Case("unpinned_signed_payload", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), setup=payload_from(signed_payload("vendor"))),
    # In a bold face the first folder's text is wider than the label, whose style must
    # shorten it with an ellipsis (Wine 8 draws this face regular, and the text fits).
    Case("layout_96dpi", ({EXECUTABLE: OLD}, None), updated(FIRST), 0, updated=(True, False),
         dpi=96, on_32_bit=dict(folders=(None, {EXECUTABLE: OLD}), label=updated(SECOND),
                                updated=(False, True))),
    Case("layout_144dpi", ({EXECUTABLE: OLD}, None), updated(FIRST), 0, updated=(True, False),
         dpi=144, on_32_bit=dict(folders=(None, {EXECUTABLE: OLD}), label=updated(SECOND),
                                 updated=(False, True))),
    # The keyboard ends the program as a click does, with the same exit status.
    Case("enter_after_failure", (None, {EXECUTABLE: OLD}), FAILURE, 1, payload=False,
         end_with="Return"),
    Case("space_after_nothing_found", (None, None), "", 0, end_with="space"),
    # Ok is the only control that takes the focus: Tab keeps it there and shows it.
    Case("tab_then_enter", (None, {EXECUTABLE: OLD}), updated(SECOND), 0, updated=(False, True),
         keys=("Tab", "shift+Tab", "Escape"), end_with="Return"),
    # Windows installed on another drive: its folders there, named in the text.
    Case("program_files_on_another_drive", ({EXECUTABLE: OLD}, {EXECUTABLE: OLD}),
         target(OTHER_DRIVE[1])[2], 0, setup=move_program_files, check=check_other_drive,
         on_32_bit={}),
    # A link planted where earlier versions staged, to a read-only file elsewhere.
    Case("link_at_former_staging_name", (None, {EXECUTABLE: OLD, f"{EXECUTABLE}.new": LINK}),
         updated(SECOND), 0, updated=(False, True), check=check_precious_untouched,
         one_platform=True),
    # Another program holds the updaters' lock: the failure once the wait is over,
    # the window answering all along; at once when the lock cannot be opened.
    # A deployment tool's updater waiting beside it ends with 1618, to retry later,
    # as the window does once clicked.
    Case("lock_held_by_another_updater", (None, {EXECUTABLE: OLD}), FAILURE, 1618,
         setup=take_lock_and_deploy, settle_ms=80000, answers_within_ms=1000,
         check=lambda run: (check_settled_after(59, 70)(run), check_deployed_busy(run))),
    # Two updaters at once: one after the other, both UPDATED, nothing left behind.
    Case("two_updaters_at_once", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), payload=False, setup=deploy_beside, check=check_deployed_updated,
         one_platform=True),
    # Any user may open the lock for its attributes and keep it: that holds nobody up.
    Case("lock_held_for_attributes_by_a_user", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), setup=take_lock("a", 30000), check=check_settled_after(0, 10),
         one_platform=True),
    # A long copy: the window answers throughout, and a click made meanwhile acts
    # only once the update has returned.
    Case("long_copy_keeps_answering", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), payload=False, setup=large_payload, answers_within_ms=300),
    Case("click_during_copy", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), payload=False, setup=large_payload, during=click_during_copy),
    # Deployment tools: no window, the exit status and the log tell.
    Case("quiet_updated", (None, {EXECUTABLE: OLD}), "", 0, updated=(False, True),
         arguments=("/quiet", "/log", LOG), unattended=True,
         check=check_log(r"^probe C:\\Program Files\\Zimlex\\\*\.\*: found Zimlex\.exe$",
                         r"^renamed over C:\\Program Files\\Zimlex\\Zimlex\.exe$")),
    Case("quiet_nothing_found", (None, None), "", 0, arguments=("/Q",), unattended=True),
    Case("quiet_in_use_logged", (None, {EXECUTABLE: SLEEPER}), "", 15618, running=1,
         arguments=("-QUIET", "/log", LOG), unattended=True,
         check=check_log(r"^renaming .*\.new over .*Zimlex\.exe, again in \d+ ms: "
                         r"error (5|32) \(.+\)", r"^renaming .*: error (5|32) \(.+\)",
                         r"^C:\\Program Files\\Zimlex\\Zimlex\.exe is in use: error 15618 \(.+\); "
                         r"(held by .+|no holder the system could name)$", status=15618)),
    Case("quiet_unknown_switch", (None, {EXECUTABLE: OLD}), "", 1639,
         arguments=("/quiet", "/reboot"), unattended=True),
    Case("quiet_log_without_path", (None, {EXECUTABLE: OLD}), "", 1639,
         arguments=("/quiet", "/log"), unattended=True),
    Case("log_not_writable", (None, {EXECUTABLE: OLD}), "", 1622, unattended=True,
         arguments=("/quiet", "/log", "C:\\no\\such\\folder\\update.log")),
    # Links another program of the user planted: never written or read through.
    Case("log_through_link", (None, {EXECUTABLE: OLD}), "", 1622, unattended=True,
         arguments=("/quiet", "/log", LOG), setup=log_through_link, check=check_log_link_target),
    Case("log_prepared_by_another_program", (None, {EXECUTABLE: OLD}), "", 1622,
         unattended=True, arguments=("/quiet", "/log", LOG), setup=log_prepared,
         check=check_log_untouched),
    Case("payload_through_link", (None, {EXECUTABLE: OLD}), FAILURE, 1, payload=False,
         setup=payload_through_link, one_platform=True),
    # The log is a ".log" of the updater's own: a script, new or an administrator's,
    # is never made or written, however its path is spelt.
    Case("log_names_a_new_script", (None, {EXECUTABLE: OLD}), "", 1622, unattended=True,
         arguments=("/quiet", "/log", WORK + "\\task.cmd"), check=check_unchanged("task.cmd", None),
         one_platform=True),
    Case("log_names_an_existing_script", (None, {EXECUTABLE: OLD}), "", 1622, unattended=True,
         arguments=("/quiet", "/log", WORK + "\\task.cmd"), setup=planted("task.cmd"),
         check=check_unchanged("task.cmd"), one_platform=True),
    Case("log_path_collapses_onto_a_script", (None, {EXECUTABLE: OLD}), "", 1622,
         unattended=True, setup=planted("task.cmd"), check=check_unchanged("task.cmd"),
         arguments=("/quiet", "/log", WORK + "\\x&%PUBLIC%\\e.exe&\\..\\..\\task.cmd"),
         one_platform=True),
    # Through a folder link, plain or in the long "\\?\" form: neither log nor payload
    # (Wine gives a program started in a "\\?\" folder its plain form).
    Case("log_through_folder_link", (None, {EXECUTABLE: OLD}), "", 1622, unattended=True,
         payload=False, setup=through_folder_link(False), check=check_nothing_through_link,
         arguments=("/quiet", "/log", WORK + "\\linked\\update.log"), one_platform=True),
    Case("log_through_folder_link_long_form", (None, {EXECUTABLE: OLD}), "", 1622,
         unattended=True, payload=False, setup=through_folder_link(True),
         check=check_nothing_through_link, one_platform=True,
         arguments=("/quiet", "/log", "\\\\?\\" + WORK + "\\linked\\update.log")),
    Case("payload_through_folder_link", (None, {EXECUTABLE: OLD}), "", 1, unattended=True,
         payload=False, setup=through_folder_link(False), arguments=("/quiet", "/log", LOG),
         check=check_log(PAYLOAD_THROUGH_LINK, status=1), one_platform=True),
    Case("deployed_twice", (None, {EXECUTABLE: OLD}), "", 0, updated=(False, True),
         payload=False, setup=sleeper_payload, arguments=("/quiet", "/log", LOG),
         unattended=True, check=deployed_twice),
    # Started where nobody sees a window, without /quiet: it behaves as with it.
    Case("invisible_window_station", (None, {EXECUTABLE: OLD}), "", 0, updated=(False, True),
         arguments=("/log", LOG), unattended=True, hidden=True,
         check=check_log(r"^no visible desktop to show a window on: running without one$")),
    # Arguments that are none of the switches are ignored, as they always were.
    Case("other_arguments_ignored", (None, {EXECUTABLE: OLD}), updated(SECOND), 0,
         updated=(False, True), arguments=("hello", "/x", "-quite")),
]


class Failures:
    """Collects every mismatch of a case, so one run shows all of them."""

    def __init__(self):
        self.items = []

    def equal(self, what, actual, expected):
        if actual != expected:
            self.items.append(f"{what}: got {actual!r}, expected {expected!r}")

    def true(self, what, condition, detail=""):
        if not condition:
            self.items.append(f"{what}{': ' + detail if detail else ''}")


class Prefix(wine.Prefix):
    """A lane of the build's prefix for one platform, with the programs the cases run."""

    def __init__(self, build_dir, platform):
        super().__init__(build_dir, platform)
        # The Windows a case stands for: the prefix's own, or 32-bit Windows'
        # registry in a 64-bit prefix.
        self.windows_bits = self.platform.windows_bits
        self.build = Path(build_dir).resolve()
        self.root = self.build / "e2e" / self.name
        self.program = self.build / "ZimlexUpdate.exe"
        self.probe_exe = self.build / "tests" / "WindowProbe.exe"
        self.sleeper = self.build / "tests" / "sleeper.exe"


def clear(path):
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def drop_large_files(folder, least=1 << 20):
    # Never through a link a case planted: it may lead to the prefix's own files.
    if folder.is_symlink():
        return
    for root, _, names in os.walk(folder):
        for name in names:
            path = Path(root) / name
            with contextlib.suppress(OSError):
                if not path.is_symlink() and path.stat().st_size >= least:
                    path.unlink()


def snapshot(folder):
    """Relative name -> bytes (None for a subfolder) of everything below folder."""
    if not folder.exists():
        return None
    if folder.is_file():
        return folder.read_bytes()
    return {(p.relative_to(folder).as_posix() + ("/" if p.is_dir() else "")):
            (None if p.is_dir() else p.read_bytes()) for p in folder.rglob("*")}


def read_ppm(data):
    tokens = []
    position = 0
    while len(tokens) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position)
            continue
        end = position
        while end < len(data) and not data[end:end + 1].isspace():
            end += 1
        tokens.append(data[position:end])
        position = end
    if tokens[0] != b"P6" or tokens[3] != b"255":
        raise ValueError("not an 8-bit binary PPM")
    width, height = int(tokens[1]), int(tokens[2])
    return width, height, data[position + 1:]


class Screen:
    """A screenshot as RGB triples, kept as a PNG for people to look at."""

    def __init__(self, prefix, png):
        prefix.screenshot(png)
        ppm = subprocess.run(["convert", str(png), "-depth", "8", "ppm:-"], check=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=30).stdout
        self.width, self.height, self.rgb = read_ppm(ppm)

    def region(self, left, top, right, bottom):
        for y in range(max(top, 0), min(bottom, self.height)):
            row = y * self.width * 3
            for x in range(max(left, 0), min(right, self.width)):
                offset = row + x * 3
                yield self.rgb[offset], self.rgb[offset + 1], self.rgb[offset + 2]


def dark_green(pixel):
    red, green, blue = pixel
    return 50 <= green <= 190 and green - red >= 40 and green - blue >= 40


def white(pixel):
    return min(pixel) >= 200


def dark(pixel):
    return max(pixel) <= 90


def parse_rect(text):
    return tuple(int(v) for v in text.split(","))


class Run:
    def __init__(self, prefix, case):
        self.prefix = prefix
        self.case = case
        self.dir = prefix.root / "cases" / case.name
        self.failures = Failures()
        self.processes = []
        # Undone when the case ends, whatever happened.
        self.cleanups = []
        # What the updated folders must hold: the payload, unless a setup puts another.
        self.new = NEW
        # The Windows path a deployment tool starts the updater in; the download folder if None.
        self.current_dir = None
        # A deployment tool's updater a setup started beside the case's own.
        self.background = None
        # The case's own folder on drive C:, once laid out.
        self.work = self.prefix.drive_c / "e2e" / case.name

    # --- laying out drive_c -------------------------------------------------

    def lay_out(self):
        clear(self.dir)
        self.dir.mkdir(parents=True)
        # The installation folders are the program's own; everything else a case
        # needs lives in a folder of its own.
        work = self.work
        for folder in FOLDERS:
            clear(self.prefix.linux(folder))
        clear(work)

        self.download = work / "download"
        self.download.mkdir(parents=True)
        if self.case.payload:
            (self.download / PAYLOAD).write_bytes(NEW)
        self.program = self.prefix.program
        if self.case.program is not None:
            self.program = self.case.program(self)
        if self.case.elsewhere:
            own = work / "updater"
            own.mkdir()
            self.program = own / self.prefix.program.name
            shutil.copyfile(self.prefix.program, self.program)
            (own / PAYLOAD).write_bytes(DECOY)

        for index, contents in enumerate(self.case.folders):
            if contents is None:
                continue
            folder = self.prefix.linux(FOLDERS[index])
            if isinstance(contents, bytes):
                folder.parent.mkdir(parents=True, exist_ok=True)
                folder.write_bytes(contents)
                continue
            folder.mkdir(parents=True)
            for name, data in contents.items():
                target = folder / name
                if data is None:
                    target.mkdir(parents=True, exist_ok=True)
                elif data is LINK:
                    precious = work / "precious.dll"
                    precious.write_bytes(PRECIOUS)
                    precious.chmod(0o444)
                    target.symlink_to(precious)
                else:
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(self.prefix.sleeper.read_bytes() if data is SLEEPER
                                       else data(self) if callable(data) else data)

        for index, name, flag in self.case.attributes:
            windows_path = f"{FOLDERS[index]}\\{name}"
            self.prefix.wine("cmd", "/c", "attrib", flag, windows_path)
            # Wine keeps these attributes in an extended attribute; without it the
            # file would look ordinary and the case would test nothing.
            if not has_dos_attributes(self.prefix.linux(windows_path)):
                raise SystemExit(f"attrib {flag} left no mark on {windows_path}")
        for index, name in self.case.read_only:
            # Wine shows a file without write permission as read-only.
            os.chmod(self.prefix.linux(f"{FOLDERS[index]}\\{name}"), 0o444)

        self.before = [snapshot(self.prefix.linux(folder)) for folder in FOLDERS]

    def start_running_destination(self):
        self.start_running(self.prefix.linux(f"{FOLDERS[self.case.running]}\\{EXECUTABLE}"))

    def arguments(self, arguments=None):
        """The command line's arguments, LOG standing for the case's log file
        and WORK for its folder."""
        log = self.prefix.windows(self.work / "update.log")
        return [log if argument == LOG else argument.replace(WORK, self.prefix.windows(self.work))
                for argument in (self.case.arguments if arguments is None else arguments)]

    def start_probe_run(self, arguments, output_name):
        """Starts the updater through the probe's run mode, as a deployment tool
        starts a program and waits for its end."""
        program = self.prefix.windows(self.program)
        command = subprocess.list2cmdline([program, *self.arguments(arguments)])
        extra = ["ZimlexHidden"] if self.case.hidden else []
        process = self.prefix.start(self.prefix.probe_exe, "run", program, command,
                                    self.current_dir or self.prefix.windows(self.download), *extra,
                                    log=self.dir / output_name)
        self.processes.append(process)
        return process

    def deploy(self):
        """One unattended run to its end: its exit status, and no window shown."""
        process = self.start_probe_run(self.case.arguments, "deployed.out")
        process.wait(timeout=120)
        output = (self.dir / "deployed.out").read_text(errors="replace")
        result = wine.probe_result(output)
        if result is None:
            raise SystemExit(f"the probe could not run the updater: {output.strip()}")
        self.failures.equal("exit status", int(result["exit_code"]), self.case.exit_status)
        self.failures.equal("windows shown", int(result["shown_windows"]), 0)

    def start_running(self, target):
        """Starts a copy of a small program installed at `target`, and returns
        once it runs."""
        process = self.start(target, self.download, "running.log")
        deadline = time.monotonic() + 20
        # `wine` execs into the Windows process, which maps its own image.
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError):
                if str(target) in Path(f"/proc/{process.pid}/maps").read_text():
                    return
            if process.poll() is not None:
                break
            time.sleep(0.05)
        raise SystemExit(f"{target} did not start running")

    def start(self, program, cwd, log_name, *args):
        """Starts a Windows program that the case ends at the latest."""
        process = self.prefix.start(program, *args, cwd=cwd, log=self.dir / log_name)
        self.processes.append(process)
        return process

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        while self.cleanups:
            self.cleanups.pop()()
        # The large cases leave a gigabyte each; kept, they fill a small disk
        # before the last case runs. The logs stay for whoever reads a failure.
        for folder in [self.prefix.linux(folder) for folder in FOLDERS] + [self.work]:
            drop_large_files(folder)

    # --- reading the window -------------------------------------------------

    def probe(self, *args):
        status, values = self.prefix.read_window(self.prefix.probe_exe, self.dir / "probe.txt",
                                                 *args)
        if status != 0 or values.get("found") != "1":
            raise SystemExit(f"the probe found no window (status {status})")
        return values

    def click(self, values, x, y):
        self.prefix.click(int(values["client_origin_x"]) + x, int(values["client_origin_y"]) + y)

    # --- the case -----------------------------------------------------------

    def execute(self):
        if self.prefix.windows_bits < self.prefix.platform.windows_bits:
            record_32_bit_windows(self)
        self.lay_out()
        if self.case.running is not None:
            self.start_running_destination()
        if self.case.setup is not None:
            self.case.setup(self)
        if self.case.unattended:
            self.deploy()
            self.check_files()
            if self.case.check is not None:
                self.case.check(self)
            return
        updater = self.start(self.program, self.download, "updater.log", *self.arguments())
        started = time.monotonic()
        if self.case.during is not None:
            self.case.during(self, updater)
        else:
            self.read_result(updater, started)
        # A deployment started beside the updater may end a moment after it:
        # its end is waited for, never cut short, before the files are looked at.
        if self.background is not None:
            self.background.wait(timeout=120)
        for process in self.processes:
            if process is not updater and process.poll() is None:
                process.kill()
                process.wait()
        self.check_files()
        if self.case.check is not None:
            self.case.check(self)

    def read_result(self, updater, started):
        # A label that is to be written gets a long wait that ends as soon as it is;
        # one that is to stay empty is watched for a while.
        values = self.probe("--timeout", "20000", "--settle",
                            str(self.case.settle_ms) if self.case.label else "1500")
        self.settled_after = time.monotonic() - started
        self.failures.equal("label text", values.get("label_text"), self.case.label)
        # What a screen reader reads meanwhile: never a text the label does not end with.
        self.failures.equal("texts the label held while the update ran",
                            values.get("label_texts_read"), self.case.label)
        self.failures.equal("label written", values.get("label_written"),
                            "1" if self.case.label else "0")
        self.failures.equal("picture text", values.get("image_text"), "Ok")
        if self.case.answers_within_ms is not None:
            slowest = int(values.get("slowest_answer_ms", "-1"))
            print(f"slowest answer while the update ran: {slowest} ms")
            self.failures.true(f"window answered within {self.case.answers_within_ms} ms",
                               0 <= slowest <= self.case.answers_within_ms, f"{slowest} ms")
        if self.case.dpi is not None:
            self.check_layout(values)
        self.check_clicks(updater, values)

    def check_clicks(self, updater, values):
        label = parse_rect(values["label_rect"])
        image = parse_rect(values["image_rect"])
        width = int(values["client_width"])
        if self.case.clicks_beside:
            # Clicks on the label and on empty client space above it change nothing.
            self.click(values, (label[0] + label[2]) // 2, (label[1] + label[3]) // 2)
            self.click(values, width // 2, label[1] // 2)
            self.click(values, 8, int(values["client_height"]) - 8)
            time.sleep(0.5)
            self.failures.true("still running after clicks beside the Ok picture",
                               updater.poll() is None)
            if updater.poll() is None:
                again = self.probe("--timeout", "5000")
                self.failures.equal("label text after clicks", again.get("label_text"),
                                    self.case.label)

        self.failures.equal("focus before any key", values.get("focus"), "image")
        if self.case.keys:
            self.check_keys(updater, values)
        if self.case.end_with == "click":
            self.click(values, (image[0] + image[2]) // 2, (image[1] + image[3]) // 2)
        elif self.case.end_with == "space":
            self.check_pressed(updater, values)
        else:
            self.prefix.keys("key", self.case.end_with)
        try:
            status = updater.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.failures.true(f"ended by {self.case.end_with} on the Ok picture", False)
            return
        # Wine hands Linux the low byte of the program's exit status.
        self.failures.equal("exit status", status, self.case.exit_status & 0xFF)

    def check_keys(self, updater, values):
        """Keys other than Enter and Space leave the program running, with the
        focus on Ok and its focus rectangle drawn."""
        for key in self.case.keys:
            self.prefix.keys("key", key)
            time.sleep(0.3)
            if updater.poll() is not None:
                self.failures.true(f"still running after {key}", False)
                return
            after = self.probe("--timeout", "5000")
            self.failures.equal(f"focus after {key}", after.get("focus"), "image")
        image = on_screen(values, parse_rect(values["image_rect"]))
        png = self.dir / "focused.png"
        marks = focus_marks(Screen(self.prefix, png), image)
        self.failures.true("focus rectangle drawn", marks >= 0.3, f"{marks:.0%} of its row, {png}")

    def check_pressed(self, updater, values):
        """Space held down presses the picture in; released, it is a click."""
        image = on_screen(values, parse_rect(values["image_rect"]))
        up = pressed_edge(Screen(self.prefix, self.dir / "released.png"), image)
        self.prefix.keys("keydown", "space")
        time.sleep(0.5)
        held = self.probe("--timeout", "5000") if updater.poll() is None else {}
        self.failures.equal("held down by Space", held.get("image_pushed"), "1")
        down = pressed_edge(Screen(self.prefix, self.dir / "pressed.png"), image)
        self.failures.true("pressed look while held", down >= 0.9 and up <= 0.1,
                           f"dark edge {up:.0%} released, {down:.0%} held")
        self.failures.true("still running while Space is held", updater.poll() is None)
        self.prefix.keys("keyup", "space")

    def check_files(self):
        for index, folder in enumerate(FOLDERS):
            before = self.before[index]
            after = snapshot(self.prefix.linux(folder))
            if before is None:
                self.failures.equal(f"{folder} exists", after is not None, False)
                continue
            if isinstance(before, bytes):
                self.failures.true(f"{folder} is still the same plain file", after == before)
                continue
            expected = dict(before)
            if self.case.updated[index]:
                expected[EXECUTABLE] = self.new
            self.failures.equal(f"names in {folder}", sorted(after), sorted(expected))
            for name, data in expected.items():
                if name in after and after[name] != data:
                    state = ("the payload" if after[name] == self.new else
                             "the decoy" if after[name] == DECOY else
                             "the old bytes" if after[name] == before.get(name) else
                             f"{len(after[name])} other bytes")
                    self.failures.true(f"bytes of {folder}\\{name}", False, f"holds {state}")
        if self.case.payload:
            payload = self.download / PAYLOAD
            self.failures.true("payload left in place", payload.is_file() and
                               payload.read_bytes() == self.new)

    def check_layout(self, values):
        dpi = self.case.dpi
        failures = self.failures
        failures.equal("screen DPI", values.get("dpi"), str(dpi))
        failures.equal("caption", values.get("caption"), CAPTION)
        failures.equal("class", values.get("class"), CLASS_NAME)
        client = (int(values["client_width"]), int(values["client_height"]))
        failures.equal("client size", client, tuple(pixels(t, dpi) for t in CLIENT_TWIPS))
        label = parse_rect(values["label_rect"])
        image = parse_rect(values["image_rect"])
        failures.equal("label rectangle", label, expected_rect(LABEL_TWIPS, dpi))
        failures.equal("picture rectangle", image, expected_rect(IMAGE_TWIPS, dpi))
        if dpi == 96:
            # The designed pixel sizes, independently of the arithmetic above.
            failures.equal("client size at 96 DPI", client, (482, 259))
            failures.equal("label rectangle at 96 DPI", label, (32, 88, 449, 113))
            failures.equal("picture rectangle at 96 DPI", image, (360, 192, 447, 235))
        style = int(values["label_style"], 16)
        failures.true("label centres its text", style & 0x3 == SS_CENTER, hex(style))
        failures.true("label shortens paths with an ellipsis",
                      style & SS_PATHELLIPSIS == SS_PATHELLIPSIS, hex(style))
        failures.equal("label class", values.get("label_class", "").lower(), "static")
        failures.equal("picture class", values.get("image_class", "").lower(), "button")

        origin = (int(values["client_origin_x"]), int(values["client_origin_y"]))
        frame = parse_rect(values["window_rect"])
        png = self.prefix.root / f"screenshot-{dpi}dpi.png"
        # The label is repainted once the update returns; poll for the finished picture.
        deadline = time.monotonic() + 10
        while True:
            problems = self.check_pixels(Screen(self.prefix, png), origin, frame, label, image)
            if not problems or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        for problem in problems:
            failures.true(f"screenshot {png}", False, problem)
        print(f"screenshot: {png}")

    @staticmethod
    def check_pixels(screen, origin, frame, label, image):
        def on_screen(rect):
            return (origin[0] + rect[0], origin[1] + rect[1], origin[0] + rect[2],
                    origin[1] + rect[3])

        problems = []
        picture = list(screen.region(*on_screen(image)))
        greens = sum(map(dark_green, picture))
        whites = sum(map(white, picture))
        if greens < len(picture) // 2:
            problems.append(f"picture is dark green in {greens} of {len(picture)} pixels")
        if not len(picture) // 50 <= whites <= len(picture) * 2 // 5:
            problems.append(f"picture has {whites} white caption pixels of {len(picture)}")
        text = sum(map(dark, screen.region(*on_screen(label))))
        if text < 50:
            problems.append(f"label area has only {text} dark text pixels")
        title = list(screen.region(frame[0], frame[1], frame[2], origin[1]))
        drawn = sum(1 for pixel in title if max(pixel) > 0)
        if not title or drawn < len(title) // 2:
            problems.append(f"no title bar drawn above the client area ({drawn} of {len(title)})")
        return problems


def on_screen(values, rect):
    left, top = int(values["client_origin_x"]), int(values["client_origin_y"])
    return (left + rect[0], top + rect[1], left + rect[2], top + rect[3])


def focus_marks(screen, image):
    """Share of the row just inside the picture's edge that the dotted focus
    rectangle turned from dark green to its inverse."""
    left, top, right, _ = image
    row = list(screen.region(left + 4, top + 3, right - 4, top + 4))
    inverted = sum(1 for red, green, blue in row if red >= 200 and blue >= 200 and green < 200)
    return inverted / max(len(row), 1)


def pressed_edge(screen, image):
    """Share of the picture's top row and left column drawn in a neutral dark
    colour, the frame it sinks into when pressed."""
    left, top, right, bottom = image
    edge = (list(screen.region(left, top, right, top + 1)) +
            list(screen.region(left, top + 1, left + 1, bottom)))
    neutral = sum(1 for pixel in edge if max(pixel) - min(pixel) <= 16 and max(pixel) <= 160)
    return neutral / max(len(edge), 1)


def has_dos_attributes(path):
    try:
        return "user.DOSATTRIB" in os.listxattr(path, follow_symlinks=False)
    except OSError:
        return False


def run_case(prefix, case):
    started = time.monotonic()
    run = Run(prefix, case)
    with prefix.use(case.dpi or wine.DEFAULT_DPI):
        try:
            run.execute()
        except BaseException:
            with contextlib.suppress(Exception):
                Screen(prefix, run.dir / "failure.png")
            raise
        finally:
            run.stop_all()
    elapsed = time.monotonic() - started
    name = f"{prefix.platform.name}.{case.name}"
    if run.failures.items:
        for item in run.failures.items:
            print(f"FAIL {name}: {item}")
        print(f"logs and probe output: {run.dir}")
        return 1
    print(f"PASS {name} ({elapsed:.1f} s): label {case.label!r}, "
          f"exit status {case.exit_status}, updated {case.updated}")
    return 0


AS_32_BIT_WINDOWS = ".registry_of_32_bit_windows"


def case_names(platform):
    names = [case.name for case in CASES
             if not case.one_platform or platform == wine.preferred_platform()]
    if platform.program_bits == 64:
        # No 32-bit prefix may run beside this one: its cases stand in for it.
        names += [case.name + AS_32_BIT_WINDOWS for case in CASES
                  if case.on_32_bit is not None and not case.one_platform]
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--platform", choices=wine.PLATFORMS, default="win64")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list")
    run = commands.add_parser("run")
    run.add_argument("case")
    args = parser.parse_args()

    platform = wine.PLATFORMS[args.platform]
    if args.command == "list":
        print("\n".join(case_names(platform)))
        return 0
    if args.case not in case_names(platform):
        parser.error(f"no case {args.case!r} on {platform.name}")
    prefix = Prefix(args.build_dir, platform)
    for path in (prefix.program, prefix.probe_exe, prefix.sleeper):
        if not path.is_file():
            raise SystemExit(f"missing {path}: build the {platform.preset} preset first")
    name = args.case.removesuffix(AS_32_BIT_WINDOWS)
    case = next(case for case in CASES if case.name == name)
    if name != args.case:
        prefix.windows_bits = 32
        case = dataclasses.replace(case, name=args.case)
    if prefix.windows_bits == 32 and case.on_32_bit:
        case = dataclasses.replace(case, **case.on_32_bit)
    return run_case(prefix, case)


if __name__ == "__main__":
    sys.exit(main())
