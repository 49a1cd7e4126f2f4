"""The running-product guard and the deployment from the distribution CD under
Wine, end to end, on both families (the 9x family walks the process list
through Toolhelp, the NT family through PSAPI).

The deployment is told apart from the other stages as in the component tests:
what a run of the installer alone changes outside the application directory is
left out of the comparison, and everything else must be exactly as expected.
"""

from pathlib import Path

import pytest

PRODUCT_MESSAGE = "Please close your software, restart your machine and run setup again !"
CAPTION = "Korvanta Installation"
APP = "C:\\Korvanta"
MANUAL = "Handbuch"


def in_folder(folder: str):
    return lambda change: change.kind == "file" and change.path.lower().startswith(folder.lower() + "\\")


def make_cd(root: Path, files: dict[str, bytes]) -> Path:
    """A disc's contents: relative Windows path -> bytes, each file read-only
    as on every CD-ROM (Wine shows FILE_ATTRIBUTE_READONLY for it)."""
    for relative, data in files.items():
        target = root.joinpath(*relative.split("\\"))
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        target.chmod(0o444)
    root.mkdir(parents=True, exist_ok=True)
    return root


def prepare_app(machine, folder: str = APP) -> None:
    machine.mkdir(folder)
    machine.write(folder + "\\HISTORY.TXT", "old history")
    machine.write(folder + "\\TAV.EXE", "the application")


def test_each_running_application_stops_the_run_before_any_change(machine, tmp_path):
    machine.install_payload()
    prepare_app(machine)
    machine.add_cdrom("d", make_cd(tmp_path / "cd", {"OEM\\TAVOEM.DLL": b"oem"}))
    # One at a time, each in the letter case it was started with.
    for running in ("C:\\Suite\\TAV.EXE", "C:\\Suite\\tavmori.exe", "C:\\Suite\\TAVPELANI.EXE"):
        with machine.start_named_process(running):
            before = machine.snapshot()
            result = machine.run_installer(APP, MANUAL)
            after = machine.snapshot()

        assert result.exit_code == 0, running
        assert [(box.caption, box.text, box.buttons) for box in result.boxes] == \
            [(CAPTION, PRODUCT_MESSAGE, (1,))], running
        before.diff(after).assert_changes()

    # The stopped applications no longer count: the run goes on (on the 9x
    # family it reports the driver it cannot place in a folder Wine lacks).
    result = machine.run_installer(APP, MANUAL)
    assert PRODUCT_MESSAGE not in [box.text for box in result.boxes]
    assert not machine.exists(APP + "\\HISTORY.TXT")


# The three ways the suite's setup may pass the application directory, each
# with a folder of its own on the same machine.
FOLDER_FORMS = [
    ("C:\\Korvanta", '"{exe}" C:\\Korvanta Handbuch'),
    ("C:\\Korvanta2", '"{exe}" C:\\Korvanta2\\ Handbuch'),
    ("C:\\Program Files\\Korvanta", '"{exe}" "C:\\Program Files\\Korvanta" Handbuch'),
]


def test_each_file_comes_from_the_first_cd_that_holds_it(machine, tmp_path, assert_own_changes):
    exe = machine.install_payload(names=[])
    machine.add_cdroms({
        "d": make_cd(tmp_path / "d", {"OEM\\TAVOEM.DLL": b"oem from D",
                                      f"DATA\\DOC\\{MANUAL}-en.pdf": b"english from D"}),
        "e": make_cd(tmp_path / "e", {"OEM\\TAVOEM.DLL": b"oem from E",
                                      f"DATA\\DOC\\{MANUAL}-de.pdf": b"german from E",
                                      f"DATA\\DOC\\{MANUAL}-en.pdf": b"english from E"}),
    })
    for folder, command_line in FOLDER_FORMS:
        prepare_app(machine, folder)
        before = machine.snapshot()

        result = machine.run_installer(command_line=command_line.format(exe=exe))

        assert (result.exit_code, result.boxes) == (0, []), command_line
        assert machine.read(folder + "\\TAVOEM.DLL") == b"oem from D"
        assert machine.read(folder + f"\\{MANUAL}-de.pdf") == b"german from E"
        assert machine.read(folder + f"\\{MANUAL}-en.pdf") == b"english from D"
        # CopyFileA gives a copy the disc's read-only bit; the run clears it.
        files = machine.snapshot().files
        assert [name for name in ("TAVOEM.DLL", f"{MANUAL}-de.pdf", f"{MANUAL}-en.pdf")
                if files[f"{folder}\\{name}".lower()][1].readonly] == []
        assert_own_changes(machine, before, in_folder(folder), files={
            folder + "\\HISTORY.TXT": "removed", folder + "\\TAVOEM.DLL": "added",
            folder + f"\\{MANUAL}-de.pdf": "added", folder + f"\\{MANUAL}-en.pdf": "added"})


# Names that only contain a product name do not stop the run; with no CD
# (only C: marked as one, holding the disc's layout) HISTORY.TXT still goes.
def test_similar_names_and_no_cd_leave_only_history_deleted(machine, assert_own_changes):
    machine.install_payload(names=[])
    prepare_app(machine)
    machine.mkdir("C:\\OEM")
    machine.write("C:\\OEM\\TAVOEM.DLL", b"oem on C")
    machine.mkdir("C:\\DATA\\DOC")
    machine.write(f"C:\\DATA\\DOC\\{MANUAL}-de.pdf", b"german on C")
    machine.add_cdroms({"c": None})
    for name in ("C:\\Suite\\TAVX.EXE", "C:\\Suite\\TAV.EXE.OLD"):
        machine.start_named_process(name)
    before = machine.snapshot()

    result = machine.run_installer(APP, MANUAL)

    assert (result.exit_code, result.boxes) == (0, [])
    assert_own_changes(machine, before, in_folder(APP), files={APP + "\\HISTORY.TXT": "removed"})


# Without a manual name, and with one that holds a path, only the OEM library
# is copied. The path would reach D:\\WINDOWS on the disc and C:\\WINDOWS on
# the machine.
def test_only_the_oem_library_without_a_plain_manual_name(machine, tmp_path, assert_own_changes):
    machine.install_payload(names=[])
    machine.add_cdrom("d", make_cd(tmp_path / "d", {
        "OEM\\TAVOEM.DLL": b"oem", "WINDOWS\\x-de.pdf": b"outside", "WINDOWS\\x-en.pdf": b"outside",
        "DATA\\DOC\\x-de.pdf": b"german", "DATA\\DOC\\-de.pdf": b"nameless"}))
    for folder, manual in (("C:\\Korvanta", None), ("C:\\Korvanta2", "..\\..\\WINDOWS\\x")):
        prepare_app(machine, folder)
        before = machine.snapshot()

        result = machine.run_installer(folder, *([manual] if manual else []))

        assert (result.exit_code, result.boxes) == (0, []), manual
        assert not machine.exists("C:\\WINDOWS\\x-de.pdf")
        assert_own_changes(machine, before, in_folder(folder), files={
            folder + "\\HISTORY.TXT": "removed", folder + "\\TAVOEM.DLL": "added"})


# As root under Wine the read-only bit does not stop a write, so an immutable
# file stands in for a read-only one (both refuse with access denied).
def test_targets_that_cannot_be_written_stay_as_they_were_silently(machine, tmp_path, assert_own_changes):
    machine.install_payload(names=[])
    prepare_app(machine)
    machine.write(APP + "\\TAVOEM.DLL", "old oem")
    machine.write(APP + f"\\{MANUAL}-de.pdf", "old german")
    machine.add_cdrom("d", make_cd(tmp_path / "d", {
        "OEM\\TAVOEM.DLL": b"new oem", f"DATA\\DOC\\{MANUAL}-de.pdf": b"new german",
        f"DATA\\DOC\\{MANUAL}-en.pdf": b"new english"}))
    before = machine.snapshot()

    with machine.immutable(APP + "\\TAVOEM.DLL"), machine.hold_lock(APP + f"\\{MANUAL}-de.pdf"):
        result = machine.run_installer(APP, MANUAL)

    assert (result.exit_code, result.boxes) == (0, [])
    assert machine.read(APP + "\\TAVOEM.DLL") == b"old oem"
    assert machine.read(APP + f"\\{MANUAL}-de.pdf") == b"old german"
    assert_own_changes(machine, before, in_folder(APP), files={APP + "\\HISTORY.TXT": "removed",
                                                       APP + f"\\{MANUAL}-en.pdf": "added"})


# Under Japanese Windows (ANSI code page 932, which Wine takes from the Linux
# locale) "表" is the bytes 0x95 0x5C, and its second byte is the byte of "\".
# An application folder whose name ends in it does not end in a separator:
# its own HISTORY.TXT goes and the library lands inside it, nothing beside it.
JAPANESE = {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8"}


def test_a_folder_name_ending_in_a_double_byte_character_is_one_folder(machine, tmp_path):
    exe = machine.install_payload(names=[])
    machine.add_cdrom("d", make_cd(tmp_path / "d", {"OEM\\TAVOEM.DLL": b"oem",
                                                    f"DATA\\DOC\\{MANUAL}-en.pdf": b"english"}))
    parent = machine.drive_c / "Program Files"
    folder = parent / "表"  # Wine keeps Linux file names in UTF-8
    folder.mkdir(parents=True)
    (folder / "HISTORY.TXT").write_bytes(b"old history")
    before = sorted(path.name for path in parent.iterdir())
    # The command line travels as ANSI bytes; these are the code page 932 ones.
    app = "C:\\Program Files\\表".encode("cp932").decode("cp1252", errors="strict")

    result = machine.run_installer(command_line=f'"{exe}" "{app}" {MANUAL}', env=JAPANESE)

    assert (result.exit_code, result.boxes) == (0, [])
    assert sorted(path.name for path in folder.iterdir()) == sorted(["TAVOEM.DLL", f"{MANUAL}-en.pdf"])
    assert sorted(path.name for path in parent.iterdir()) == before
