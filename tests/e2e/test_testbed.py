"""The Wine test bed proves itself under Wine: boxes are recorded whole and
in order, programs get exact command lines, registry values come back
byte-exactly, snapshots see changes inside the session and nothing else, and
the failure injections and the restart do what the tests rely on."""

import pytest

import winebed
from winebed import RegValue, dos_path, tool

MB_OK, MB_ICONSTOP, MB_TASKMODAL = 0x0, 0x10, 0x2000


def test_watcher_records_every_box_whole_and_in_order(machine):
    program = dos_path(tool("msgbox"))

    plain = machine.run(program, "2", f"{MB_OK:x}")
    fatal = machine.run(program, "1", f"{MB_OK | MB_ICONSTOP | MB_TASKMODAL:x}", "a b")

    command_line = f'"{program}" 2 0'
    assert plain.exit_code == 2  # both boxes answered with OK
    assert plain.boxes == [winebed.MessageBox("Box 1", "1:" + command_line, (1,)),
                           winebed.MessageBox("Box 2", "2:" + command_line, (1,))]
    # The top-level error box is task-modal; it is seen and answered as well.
    assert fatal.exit_code == 1
    assert fatal.boxes == [winebed.MessageBox("Box 1", f'1:"{program}" 1 2010 "a b"', (1,))]


def test_programs_get_exactly_the_command_line_given(machine):
    program = dos_path(tool("msgbox"))
    line = f'{program} 1 0 "" a"b c"d\t"%PATH%" \\"x\\\\ \u00e9'

    result = machine.run(program, command_line=line)

    assert [box.text for box in result.boxes] == ["1:" + line]


def test_registry_values_come_back_byte_exactly(machine):
    key = "HKLM\\Software\\Korvanta\\Winebed"
    values = {
        "": RegValue.sz(""),
        "Text": RegValue.sz("Korvanta Realtime Audio Kernel"),
        "ImagePath": RegValue.expand_sz("system32\\drivers\\rundavek.sys"),
        "HardwareID": RegValue.multi_sz("*korvanta\\rundavek"),
        "Config": RegValue.binary(bytes.fromhex("0f14d2e1449011d5915900d0c30018cc")),
        "Count": RegValue.dword_value(1),
        "Quote \" and \\": RegValue.sz('"rundavek.exe" /b'),
    }
    machine.reg_import({key: values, key + "\\Empty": {}})

    dumped = machine.reg_dump(key, "HKLM\\Software\\Korvanta\\Missing")
    saved = machine.reg_save(key)

    assert dumped.values_of(key) == values
    assert len(dumped.value(key, "HardwareID").data) == 20
    assert len(dumped.value(key, "ImagePath").data) == 30
    assert dumped.subkeys(key) == ["Empty"] and dumped.values_of(key + "\\Empty") == {}
    assert dumped.missing == {"hklm\\software\\korvanta\\missing"}
    # The fast view a snapshot uses agrees with the exact one.
    assert saved.values == dumped.values
    assert saved.keys == dumped.keys


def test_snapshot_sees_changes_inside_the_session_and_nothing_else(machine):
    machine.write("C:\\source.txt", "payload")
    before = machine.snapshot()

    machine.wine("cmd", "/c", "mkdir C:\\target && copy C:\\source.txt C:\\target\\copy.txt")
    machine.wine("reg", "add", "HKCU\\Software\\Korvanta\\Engine", "/v", "Level", "/t", "REG_DWORD", "/d", "3")
    after_changes = machine.snapshot()
    machine.restart(new_session=True)
    after_restart = machine.snapshot()

    before.diff(after_changes).assert_changes(
        files={"C:\\target": "added", "C:\\target\\copy.txt": "added"},
        values={("HKCU\\Software\\Korvanta\\Engine", "Level"): "added"})
    after_changes.diff(after_restart).assert_changes()


def test_locked_and_immutable_files_refuse_writes_until_released(machine):
    machine.write("C:\\source.txt", "new")
    machine.write("C:\\target.txt", "old")

    def copy() -> int:
        return machine.wine("cmd", "/c", "copy /y C:\\source.txt C:\\target.txt", check=False)

    with machine.hold_lock("C:\\target.txt"):
        assert copy() != 0
    with machine.immutable("C:\\target.txt"):
        assert copy() != 0
    assert machine.read("C:\\target.txt") == b"old"
    assert copy() == 0
    assert machine.read("C:\\target.txt") == b"new"


def test_restart_carries_out_pending_renames_in_order(machine):
    # A session start carries out what is pending: arrange it inside one.
    machine.start_session()
    machine.mkdir("C:\\w")
    for name in ("lib.dl", "lib.dll", "prog.ex"):
        machine.write(f"C:\\w\\{name}", name)
    machine.write("C:\\windows\\wininit.ini", "[rename]\r\nC:\\w\\prog.exe=C:\\w\\prog.ex\r\n")
    # Set the old file aside first, then move the new one onto its name.
    machine.reg_set(winebed.SESSION_MANAGER_KEY, "PendingFileRenameOperations", RegValue.multi_sz(
        "\\??\\C:\\w\\lib.dll", "!\\??\\C:\\w\\lib.old", "\\??\\C:\\w\\lib.dl", "!\\??\\C:\\w\\lib.dll"))
    assert machine.pending_renames() == [winebed.PendingRename("C:\\w\\lib.dll", "C:\\w\\lib.old", True),
                                         winebed.PendingRename("C:\\w\\lib.dl", "C:\\w\\lib.dll", True)]
    assert machine.wininit_renames() == [("C:\\w\\prog.exe", "C:\\w\\prog.ex")]

    machine.restart()

    assert {p.name: p.read_bytes() for p in machine.path("C:\\w").iterdir()} == {
        "lib.old": b"lib.dll", "lib.dll": b"lib.dl", "prog.exe": b"prog.ex"}
    assert machine.pending_renames() == [] and machine.wininit_renames() == []
    assert machine.exists("C:\\windows\\wininit.bak")


@pytest.mark.parametrize("family", ["nt"])
def test_cdrom_drives_are_reachable(machine, tmp_path):
    for name, content in (("low", b"from D"), ("high", b"from E")):
        (tmp_path / name / "OEM").mkdir(parents=True)
        (tmp_path / name / "OEM" / "TAVOEM.DLL").write_bytes(content)

    machine.add_cdroms({"e": tmp_path / "high", "d": tmp_path / "low"})

    drives = machine.reg_dump("HKLM\\Software\\Wine\\Drives")
    assert drives.values_of("HKLM\\Software\\Wine\\Drives") == {"d:": RegValue.sz("cdrom"),
                                                               "e:": RegValue.sz("cdrom")}
    assert machine.read("D:\\OEM\\TAVOEM.DLL") == b"from D"
    assert machine.wine("cmd", "/c", "if exist E:\\OEM\\TAVOEM.DLL exit 7", check=False) == 7
