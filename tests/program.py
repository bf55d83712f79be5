"""What the updater says and how its window is laid out, read from the
program's own headers so that a change there is a change here."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
_LITERAL = re.compile(r'L"((?:[^"\\]|\\.)*)"')


def _text(literal):
    return re.sub(r"\\(.)", r"\1", literal)


def _header(relative):
    # Comments could hold quoted examples; only code counts.
    return re.sub(r"//[^\n]*", "", (ROOT / relative).read_text())


def _constant(source, name):
    match = re.search(rf"\b{name}(?:\[\])?\s*(?:=\s*|\{{)([^;]*);", source)
    if match is None:
        raise SystemExit(f"{name} not found in the program's headers")
    return match.group(1)


_targets = _header("update/UpdateTargets.h")


def _string(name):
    return _text(_LITERAL.search(_constant(_targets, name)).group(1))


PRODUCT_FOLDER = _string("kProductFolder")
EXECUTABLE = _string("kExecutable").lstrip("\\")
PAYLOAD = _string("kPayload")
FAILURE_TEXT = _string("kFailureText")


def target(program_files):
    """(folder, destination, success text) of the installation below a Program
    Files folder."""
    folder = program_files + PRODUCT_FOLDER
    destination = f"{folder}\\{EXECUTABLE}"
    return folder, destination, destination + _string("kUpdatedSuffix")


# The Program Files folders of 64-bit Windows installed on C:, in the order the
# updater visits them; on 32-bit Windows the first is one any user can make.
PROGRAM_FILES = ("C:\\Program Files (x86)", "C:\\Program Files")
TARGETS = tuple(target(folder) for folder in PROGRAM_FILES)
FOLDERS = tuple(folder for folder, _, _ in TARGETS)
SUCCESS_TEXTS = tuple(success for _, _, success in TARGETS)

_layout = _header("window/UpdateLayout.h")


def _numbers(name):
    return tuple(int(n) for n in re.findall(r"-?\d+", _constant(_layout, name)))


CLASS_NAME = _text(_LITERAL.search(_constant(_layout, "kClassName")).group(1))
CAPTION = _text(_LITERAL.search(_constant(_layout, "kCaption")).group(1))
TWIPS_PER_INCH = _numbers("kTwipsPerInch")[0]
# Twips: the client area's (width, height), the controls' (left, top, width, height).
CLIENT_TWIPS = _numbers("kClientTwips")
LABEL_TWIPS = _numbers("kLabel1Twips")
IMAGE_TWIPS = _numbers("kImage1Twips")
IMAGE_ID = _numbers("kImage1Id")[0]
LABEL_ID = _numbers("kLabel1Id")[0]
