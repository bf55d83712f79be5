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
_rows = _LITERAL.findall(_constant(_targets, "kUpdateTargets"))
# Per folder, in the order the updater visits them: (folder, destination, success text).
TARGETS = tuple((_text(pattern).rsplit("\\", 1)[0], _text(destination), _text(success))
                for pattern, destination, success in zip(_rows[0::3], _rows[1::3], _rows[2::3]))
FOLDERS = tuple(folder for folder, _, _ in TARGETS)
SUCCESS_TEXTS = tuple(success for _, _, success in TARGETS)
EXECUTABLE = TARGETS[0][1].rsplit("\\", 1)[1]
PAYLOAD = _text(_LITERAL.search(_constant(_targets, "kPayload")).group(1))
FAILURE_TEXT = _text(_LITERAL.search(_constant(_targets, "kFailureText")).group(1))

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
