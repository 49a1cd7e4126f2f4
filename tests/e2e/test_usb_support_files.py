"""The USB support files under Wine, end to end, on both families: where each
of the five files lands, the message of each failed copy in row order, and a
payload without them.

Other stages may change the machine whatever lies beside the installer. Such a
change is told apart from this stage by a control run on a fresh machine of the
same family with the installer alone: what the control run changes outside the
five target folders is left out of every comparison below, and everything else
must be exactly as expected.
"""

from pathlib import PureWindowsPath

import pytest
import winebed

# Row order; the 9x family's driver folder is its system folder's name plus
# "32" (Wine's C:\windows\system32 becomes C:\windows\system3232).
ROWS = [
    ("MAYA51USB.INF", "C:\\windows\\INF\\MAYA51USB.INF", "C:\\windows\\INF\\MAYA51USB.INF",
     'Unable to copy "MAYA51USB.INF" to INF dirtectory !'),
    ("PX_USB.INF", "C:\\windows\\INF\\PX_USB.INF", "C:\\windows\\INF\\PX_USB.INF",
     'Unable to copy "PX_USB.INF" to INF directory !'),
    ("FTD2XX.DLL", "C:\\windows\\system32\\FTD2XX.DLL", "C:\\windows\\system32\\FTD2XX.DLL",
     'Unable to copy "FTD2XX.DLL" to System32 directory!'),
    ("FTD2XXUN.EXE", "C:\\windows\\system32\\FTD2XXUN.EXE", "C:\\windows\\system32\\FTD2XXUN.EXE",
     'Unable to copy "FTD2XXUN.EXE" to System32 directory!'),
    ("FTD2XX.SYS", "C:\\windows\\system32\\Drivers\\FTD2XX.SYS", "C:\\windows\\system3232\\Drivers\\FTD2XX.SYS",
     'Unable to copy "FTD2XX.SYS" to Drivers directory!'),
]
NAMES = [row[0] for row in ROWS]
NINE_X_DRIVERS = "C:\\windows\\system3232\\Drivers"


def target(family: str, row: int) -> str:
    return ROWS[row][1] if family == "nt" else ROWS[row][2]


def message(row: int) -> str:
    return ROWS[row][3]


def folder(path: str) -> str:
    return str(PureWindowsPath(path).parent).lower()


def is_own(change: winebed.Change) -> bool:
    """A change in one of the target folders of either family."""
    if change.kind != "file":
        return False
    folders = {folder(row[1]) for row in ROWS} | {folder(row[2]) for row in ROWS}
    return folder(change.path) in folders or change.path.lower() in folders




def installer_caption_boxes(result) -> list[str]:
    for box in result.boxes:
        assert box.caption == "Korvanta Installation"
        assert box.buttons == (1,)
    return [box.text for box in result.boxes]


def test_every_file_lands_in_its_folder(machine, assert_own_changes):
    family = machine.family
    machine.install_payload(names=NAMES)
    if family == "9x":
        machine.mkdir(NINE_X_DRIVERS)
    # A read-only older library is overwritten and ends writable.
    machine.write(target(family, 2), b"old library", readonly=True)
    before = machine.snapshot()

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    payload = winebed.payload_dir()
    for row, name in enumerate(NAMES):
        assert machine.read(target(family, row)) == (payload / name).read_bytes(), target(family, row)
    after = machine.snapshot()
    assert not after.files[target(family, 2).lower()][1].readonly
    assert_own_changes(machine, before, is_own,
                   files={target(family, row): "changed" if row == 2 else "added" for row in range(5)})


def test_missing_folders_show_their_messages_in_row_order(machine, assert_own_changes):
    family = machine.family
    machine.install_payload(names=NAMES)
    # No INF folder (rows 1 and 2) on either family; on the 9x family no
    # driver folder either (row 5).
    machine.remove("C:\\windows\\INF")
    before = machine.snapshot()

    result = machine.run_installer()

    assert result.exit_code == 0
    failed = [0, 1] if family == "nt" else [0, 1, 4]
    assert installer_caption_boxes(result) == [message(row) for row in failed]
    assert not machine.exists("C:\\windows\\INF")
    assert not machine.exists(NINE_X_DRIVERS)
    payload = winebed.payload_dir()
    copied = [row for row in range(5) if row not in failed]
    for row in copied:
        assert machine.read(target(family, row)) == (payload / NAMES[row]).read_bytes()
    assert_own_changes(machine, before, is_own, files={target(family, row): "added" for row in copied})


def test_a_library_in_use_is_staged_and_replaced_at_the_restart_without_a_box(machine):
    family = machine.family
    machine.install_payload(names=NAMES)
    if family == "9x":
        machine.mkdir(NINE_X_DRIVERS)
    library, staged = target(family, 2), target(family, 2)[:-1]
    machine.write(library, b"library in use")

    with machine.hold_lock(library):
        result = machine.run_installer()
        assert (result.exit_code, result.boxes) == (0, [])
        assert machine.read(library) == b"library in use"

    payload = (winebed.payload_dir() / NAMES[2]).read_bytes()
    assert machine.read(staged) == payload
    if family == "9x":
        assert [(t.lower(), s.lower()) for t, s in machine.wininit_renames()] == [(library.lower(), staged.lower())]
    else:
        assert [(r.source.lower(), r.target.lower(), r.replace_existing) for r in machine.pending_renames()] == \
            [(staged.lower(), library.lower(), True)]
    machine.restart()
    assert machine.read(library) == payload
    assert not machine.exists(staged)


def test_payload_without_these_files_shows_nothing_and_changes_nothing(machine, assert_own_changes):
    family = machine.family
    machine.install_payload(names=[])
    if family == "9x":
        machine.mkdir(NINE_X_DRIVERS)
    # Older read-only versions stay exactly as they are, read-only included.
    for row in range(5):
        machine.write(target(family, row), f"old {NAMES[row]}", readonly=True)
    before = machine.snapshot()

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    assert_own_changes(machine, before, is_own)
