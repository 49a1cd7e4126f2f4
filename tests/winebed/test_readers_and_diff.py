"""The test bed's readers and its change detection, without Wine: what the
tools write is read back byte-exactly, and a snapshot diff reports every
change and nothing more."""

import pytest

import winebed
from winebed import (Diff, FileEntry, IniFile, PendingRename, RegValue, RegistryTree, Snapshot,
                     parse_pending_renames, parse_regdump, parse_wine_registry)


def test_regdump_records_are_read_byte_exactly():
    text = "\n".join([
        "key\tHKLM\\Software\\K%25",
        "value\tHKLM\\Software\\K%25\t\t1\t1\t00",
        "value\tHKLM\\Software\\K%25\tTab%09Name\t7\t20\t2a6b6f7276616e74615c72756e646176656b0000",
        "value\tHKLM\\Software\\K%25\tbin\t3\t4\t14000000",
        "missing\tHKLM\\Software\\Gone",
        "denied\tHKLM\\System\\Locked\t5",
    ])
    tree = parse_regdump(text)

    assert tree.key_exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\k%")
    assert tree.value("HKLM\\Software\\K%", "") == RegValue(winebed.REG_SZ, b"\0")
    hardware_id = tree.value("hklm\\software\\k%", "tab\tname")
    assert hardware_id == RegValue.multi_sz("*korvanta\\rundavek")
    assert len(hardware_id.data) == 20 and hardware_id.strings == ["*korvanta\\rundavek"]
    assert tree.value("HKLM\\Software\\K%", "bin").data == bytes([0x14, 0, 0, 0])
    assert tree.missing == {"hklm\\software\\gone"}
    assert tree.denied == {"hklm\\system\\locked": 5}


def test_regdump_length_mismatch_is_an_error():
    with pytest.raises(winebed.WineError):
        parse_regdump("value\tHKLM\\K\tv\t3\t5\t1400000000ff")


WINE_FILE = r'''WINE REGISTRY Version 2
;; All keys relative to REGISTRY\\Machine\\Software

#arch=win32

[Empty\\Leaf] 1796623555
#time=1dd861105882400

[Korvanta\\RUNDAVEK] 1796623555
#time=1dd861105882400
@=""
"Enabled"=dword:00000001
"Config"=hex:0f,14,d2,e1,44,90,11,d5,91,59,00,d0,c3,00,18,cc
"ImagePath"=str(2):"system32\\drivers\\rundavek.sys"
"HardwareID"=str(7):"*korvanta\\rundavek\0"
"Run"="\"rundavek.exe\" /b"
"Odd"=hex(1):61,00,62,00
"Big"=hex(2):61,00,62,00,63,00,64,00,65,00,66,00,67,00,68,00,69,00,6a,00,6b,00,6c,\
  00,6d,00,00,00
"Umlaut \xe4"="caf\xe9\t\x20ac"

[Odd\]Name] 1796623555
"Short"=hex(4):01,02
'''


def test_saved_trees_are_read_in_the_ansi_form_regdump_shows():
    tree = parse_wine_registry(WINE_FILE, "HKLM\\Software")
    key = "HKLM\\Software\\Korvanta\\RUNDAVEK"

    assert tree.key_exists("HKLM\\Software\\Empty\\Leaf") and tree.key_exists("HKLM\\Software\\Empty")
    assert tree.value(key, "") == RegValue.sz("")
    assert tree.value(key, "Enabled") == RegValue.dword_value(1)
    assert tree.value(key, "Config").data.hex() == "0f14d2e1449011d5915900d0c30018cc"
    image_path = tree.value(key, "ImagePath")
    assert (image_path.type, len(image_path.data)) == (winebed.REG_EXPAND_SZ, 30)
    assert tree.value(key, "HardwareID") == RegValue.multi_sz("*korvanta\\rundavek")
    assert tree.value(key, "Run").text == '"rundavek.exe" /b'
    # Unterminated strings keep their exact length.
    assert tree.value(key, "Odd") == RegValue(winebed.REG_SZ, b"ab")
    assert tree.value(key, "Big") == RegValue(winebed.REG_EXPAND_SZ, b"abcdefghijklm\0")
    assert tree.value(key, "umlaut \u00e4").data == "caf\u00e9\t\u20ac\0".encode("cp1252")
    assert tree.value("HKLM\\Software\\Odd]Name", "Short") == RegValue(winebed.REG_DWORD, b"\x01\x02")
    assert tree.subkeys("HKLM\\Software") == ["Empty", "Korvanta", "Odd]Name"]
    # Sections are remembered by their whole text and root: a changed value
    # under the same key line, and the same text under another root, are read anew.
    changed = parse_wine_registry(WINE_FILE.replace("dword:00000001", "dword:00000000"), "HKLM\\Software")
    assert changed.value(key, "Enabled") == RegValue.dword_value(0)
    assert parse_wine_registry(WINE_FILE, "HKCU").value("HKCU\\Korvanta\\RUNDAVEK", "Enabled") == RegValue.dword_value(1)


def test_ini_files_are_read_as_windows_reads_them():
    ini = IniFile(b"[386Enh]\r\ndevice=rundavek.vxd\r\n;device=old.vxd\r\n Keyless \r\n"
                  b"[VCache]\r\n MinFileCache = 20480\r\n")
    assert ini.get("vcache", "minfilecache") == "20480"
    assert ini.get("386enh", "DEVICE") == "rundavek.vxd"
    assert ini.section("386ENH").entries() == [("device", "rundavek.vxd"), (";device", "old.vxd"),
                                               (None, "Keyless")]
    assert ini.section("386Enh").lines[0] == "device=rundavek.vxd"
    assert ini.get("VCache", "MaxFileCache") is None and ini.section("Boot") is None


def test_pending_renames_keep_their_order_and_flags():
    value = RegValue.multi_sz("\\??\\C:\\w\\RUNDAVEK.DL", "!\\??\\C:\\w\\RUNDAVEK.DLL",
                              "\\??\\C:\\w\\old.tmp", "")
    assert parse_pending_renames(value) == [
        PendingRename("C:\\w\\RUNDAVEK.DL", "C:\\w\\RUNDAVEK.DLL", True),
        PendingRename("C:\\w\\old.tmp", "", False),
    ]
    assert parse_pending_renames(None) == []


def _file(size, digest="h", readonly=False):
    return FileEntry("file", size, digest, readonly, "", "")


def _snapshot(files=None, values=None, profiles=None):
    registry = RegistryTree()
    registry.add_key("HKLM\\Software")
    for (key, name), value in (values or {}).items():
        registry.add_value(key, name, value)
    entries = {path.lower(): (path, entry) for path, entry in (files or {}).items()}
    return Snapshot(entries, registry, {path.lower(): data for path, data in (profiles or {}).items()})


SYSTEM_INI = "C:\\windows\\system.ini"


@pytest.fixture
def changed():
    before = _snapshot(
        files={"C:\\windows": FileEntry("dir", 0, "", False, "", ""), "C:\\windows\\a.dll": _file(3),
               "C:\\windows\\ro.dll": _file(3), "C:\\windows\\gone.txt": _file(1), SYSTEM_INI: _file(10)},
        values={("HKLM\\Software\\Old", "v"): RegValue.sz("x"), ("HKLM\\Software\\Keep", "n"): RegValue.dword_value(0)},
        profiles={SYSTEM_INI: b"[VCache]\r\nMinFileCache=1\r\n"})
    after = _snapshot(
        files={"C:\\windows": FileEntry("dir", 0, "", False, "", ""), "C:\\windows\\a.dll": _file(3, "other"),
               "C:\\windows\\ro.dll": _file(3, readonly=True), "C:\\windows\\new": FileEntry("dir", 0, "", False, "", ""),
               "C:\\windows\\new\\b.sys": _file(5), SYSTEM_INI: _file(30)},
        values={("HKLM\\Software\\Keep", "n"): RegValue.dword_value(1),
                ("HKLM\\Software\\Korvanta\\RUNDAVEK", "Enabled"): RegValue.dword_value(1)},
        profiles={SYSTEM_INI: b"[VCache]\r\nMinFileCache=20480\r\nMaxFileCache=20480\r\n"})
    return before.diff(after)


def test_diff_lists_every_change(changed):
    found = {(c.kind, c.change, c.path.lower(), c.name.lower()) for c in changed.changes}
    assert found == {
        ("file", "changed", "c:\\windows\\a.dll", ""),
        ("file", "changed", "c:\\windows\\ro.dll", ""),
        ("file", "removed", "c:\\windows\\gone.txt", ""),
        ("file", "added", "c:\\windows\\new", ""),
        ("file", "added", "c:\\windows\\new\\b.sys", ""),
        ("file", "changed", SYSTEM_INI.lower(), ""),
        ("key", "removed", "hklm\\software\\old", ""),
        ("key", "added", "hklm\\software\\korvanta", ""),
        ("key", "added", "hklm\\software\\korvanta\\rundavek", ""),
        ("value", "removed", "hklm\\software\\old", "v"),
        ("value", "changed", "hklm\\software\\keep", "n"),
        ("value", "added", "hklm\\software\\korvanta\\rundavek", "enabled"),
        ("profile", "changed", SYSTEM_INI.lower(), "[vcache] minfilecache"),
        ("profile", "added", SYSTEM_INI.lower(), "[vcache] maxfilecache"),
    }
    assert "REG_DWORD (4 bytes) 0 -> REG_DWORD (4 bytes) 1" in str(changed)


EXPECTED = dict(
    files={"C:\\WINDOWS\\A.DLL": "changed", "C:\\windows\\ro.dll": None, "C:\\windows\\gone.txt": "removed",
           "C:\\windows\\new\\b.sys": "added"},
    keys={"HKLM\\Software\\Old": "removed"},
    values={("HKEY_LOCAL_MACHINE\\Software\\Old", "V"): "removed", ("HKLM\\Software\\Keep", "n"): "changed",
            ("HKLM\\Software\\Korvanta\\RUNDAVEK", "Enabled"): "added"},
    profiles={(SYSTEM_INI, "VCache", "MinFileCache"): "changed", (SYSTEM_INI, "VCache", "MaxFileCache"): "added"},
)


def test_expected_changes_pass_with_parents_implied(changed):
    changed.assert_changes(**EXPECTED)


@pytest.mark.parametrize("tamper, complaint", [
    (lambda e: e["files"].pop("C:\\windows\\gone.txt"), "unexpected: removed  file    C:\\windows\\gone.txt"),
    (lambda e: e["values"].update({("HKLM\\Software\\Keep", "n"): "added"}), "expected added, got: changed"),
    (lambda e: e["files"].update({"C:\\windows\\never.txt": "added"}), "expected added of file c:\\windows\\never.txt"),
    (lambda e: e["profiles"].pop((SYSTEM_INI, "VCache", "MaxFileCache")), "unexpected: added    profile"),
], ids=["unexpected-change", "wrong-kind", "missing-change", "unexpected-profile-entry"])
def test_expected_changes_fail_on_any_difference(changed, tamper, complaint):
    expected = {kind: dict(items) for kind, items in EXPECTED.items()}
    tamper(expected)
    with pytest.raises(AssertionError) as failure:
        changed.assert_changes(**expected)
    assert complaint in str(failure.value)


def test_no_change_means_an_empty_diff():
    snapshot = _snapshot(files={"C:\\x": _file(1)}, values={("HKLM\\Software\\A", "b"): RegValue.sz("c")})
    diff = snapshot.diff(snapshot)
    assert not diff and str(diff) == "(no change)"
    diff.assert_changes()


def test_wine_noise_hides_only_its_own_places():
    display = "HKLM\\System\\CurrentControlSet\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}"
    realtime = "HKLM\\System\\CurrentControlSet\\Control\\Class\\{3E36E96C-E325-12CE-BFC1-07002BE10326}"
    before = _snapshot(values={(display + "\\0000", "DriverDateData"): RegValue.binary(b"\1")})
    after = _snapshot(values={(display + "\\0000", "DriverDateData"): RegValue.binary(b"\2"),
                              (realtime, "Class"): RegValue.sz("REALTIME")})
    assert [(c.kind, c.path) for c in Diff(before, after).changes] == [("key", realtime), ("value", realtime)]
