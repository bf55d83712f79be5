"""What the updater says and how its window is laid out, as the user sees them.
Written out here rather than read from the program's headers, so that a wrong
text or measure in the program fails the tests instead of passing them."""

PRODUCT_FOLDER = "\\Zimlex"
EXECUTABLE = "Zimlex.exe"
# Relative: the updater copies the file of this name in its current directory.
PAYLOAD = "Zimlex.ex_"
# Misspelt as the original program shows it.
FAILURE_TEXT = "Eror Copying Zimlex.exe file"
# What the updater leaves on its way: a staging file beside Zimlex.exe, the name
# earlier versions staged under, and the updaters' lock in the Program Files folder.
STAGING = "Zimlex.exe.*.new"
FORMER_STAGING = "Zimlex.exe.new"
LOCK = "ZimlexUpdate.lock"
# The first line of every log the updater writes; it appends to no file without it.
LOG_FIRST_LINE = ("ZimlexUpdate log: the steps of the Zimlex updater's runs, one a line, "
                  "each with its UTC time")


def target(program_files):
    """(folder, destination, success text) of the installation below a Program
    Files folder."""
    folder = program_files + PRODUCT_FOLDER
    destination = f"{folder}\\{EXECUTABLE}"
    return folder, destination, destination + " UPDATED"


# The Program Files folders of 64-bit Windows installed on C:, in the order the
# updater visits them; on 32-bit Windows the first is one any user can make.
PROGRAM_FILES = ("C:\\Program Files (x86)", "C:\\Program Files")
TARGETS = tuple(target(folder) for folder in PROGRAM_FILES)
FOLDERS = tuple(folder for folder, _, _ in TARGETS)
SUCCESS_TEXTS = tuple(success for _, _, success in TARGETS)

CLASS_NAME = "ZimlexUpdate"
CAPTION = "Zimlex Update"
TWIPS_PER_INCH = 1440
# Twips: the client area's (width, height), the controls' (left, top, width, height).
CLIENT_TWIPS = (7230, 3885)
LABEL_TWIPS = (480, 1320, 6255, 375)
IMAGE_TWIPS = (5400, 2880, 1305, 645)
IMAGE_ID = 1
LABEL_ID = 2
