"""System preparation under Wine, end to end: the 9x disk cache in System.ini,
the run ending when System.ini cannot be written, and the deletion of the
user's engine settings key, on both families.

Later stages may change the machine whatever lies beside the installer. Such a
change is told apart from one of these stages by a control run on a fresh
machine of the same family with the installer alone: what the control run
changes outside System.ini and the user's Korvanta key is left out of every
comparison below, and everything else must be exactly as expected.
"""

import re

import pytest
import winebed
from winebed import RegValue

SYSTEM_INI = "C:\\windows\\system.ini"
KORVANTA = "HKCU\\Software\\Korvanta"
ENGINE = KORVANTA + "\\Engine"


def is_own(change: winebed.Change) -> bool:
    """A change to System.ini or below the user's Korvanta key."""
    path = change.path.lower()
    if change.kind in ("file", "profile"):
        return path == SYSTEM_INI.lower()
    return path.startswith("hkcu\\software\\korvanta")




def before_last_section(system_ini: bytes, section: bytes) -> bytes:
    """System.ini with a section put before its last one, so that another
    section follows it."""
    last = system_ini.rindex(b"\r\n[") + 2
    return system_ini[:last] + section + system_ini[last:]


OTHER_KEYS_SECTION = b"[vcache]\r\nMaxFileCache=4096\r\nchunksize=512\r\n"

# The template's System.ini -> (System.ini before the run, after the run,
# changed entries). An existing key is changed where it stands, a missing one
# is added at the end of its section, a missing section at the end of the
# file; every other line keeps its bytes.
NINE_X_CACHE_CASES = {
    "existing-section": lambda original: (
        before_last_section(original, OTHER_KEYS_SECTION),
        before_last_section(original, b"[vcache]\r\nMaxFileCache=20480\r\nchunksize=512\r\nMinFileCache=20480\r\n"),
        {"MinFileCache": "added", "MaxFileCache": "changed"}),
    "missing-section": lambda original: (
        original,
        original + b"[VCache]\r\nMinFileCache=20480\r\nMaxFileCache=20480\r\n",
        {"MinFileCache": "added", "MaxFileCache": "added"}),
}


@pytest.mark.parametrize("case", NINE_X_CACHE_CASES)
def test_9x_fixes_the_cache_size_and_keeps_everything_else(new_machine, assert_own_changes, case):
    machine = new_machine("9x")
    machine.install_payload(names=[])
    initial, expected, changed = NINE_X_CACHE_CASES[case](machine.read(SYSTEM_INI))
    machine.write(SYSTEM_INI, initial)
    before = machine.snapshot()

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    assert machine.read(SYSTEM_INI) == expected
    assert_own_changes(machine, before, is_own,
                   profiles={(SYSTEM_INI, "VCache", key): change for key, change in changed.items()})


def test_nt_leaves_system_ini_byte_identical(new_machine, assert_own_changes):
    machine = new_machine("nt")
    machine.install_payload(names=[])
    machine.write(SYSTEM_INI, before_last_section(machine.read(SYSTEM_INI), OTHER_KEYS_SECTION))
    content = machine.read(SYSTEM_INI)
    before = machine.snapshot()

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    assert machine.read(SYSTEM_INI) == content
    assert_own_changes(machine, before, is_own)


def test_9x_locked_system_ini_ends_the_run_before_any_later_stage(new_machine):
    machine = new_machine("9x")
    # Everything a later stage would act on is there: every component file and
    # the engine settings key.
    machine.install_payload()
    machine.reg_import({ENGINE + "\\Audio": {"Latency": RegValue.dword_value(64)}})
    machine.mkdir("C:\\windows\\system3232\\Drivers")
    content = machine.read(SYSTEM_INI)
    before = machine.snapshot()

    with machine.hold_lock(SYSTEM_INI):
        result = machine.run_installer()

    assert result.exit_code == 1
    assert len(result.boxes) == 1
    box = result.boxes[0]
    assert box.caption == "Application Error"
    assert box.buttons == (1,)
    assert re.fullmatch(r"Exception Exception in module korvanta-sysinstall\.exe at [0-9A-F]{8}\.\n"
                        r"Unable to write to System\.ini\.", box.text), box.text
    assert machine.read(SYSTEM_INI) == content
    # Nothing at all changed: no later stage ran, not even the key deletion.
    before.diff(machine.snapshot()).assert_changes()


ENGINE_TREE = {
    ENGINE: {"Version": RegValue.sz("3.1")},
    ENGINE + "\\Audio": {"Latency": RegValue.dword_value(64)},
    ENGINE + "\\Audio\\Devices": {},
    ENGINE + "\\Audio\\Devices\\In": {"Name": RegValue.sz("Line 1")},
    ENGINE + "\\Audio\\Devices\\Out": {},
    ENGINE + "\\Midi": {},
    ENGINE + "\\Midi\\Map": {"Drums": RegValue.binary(b"\x09\x00")},
    ENGINE + "\\Paths": {},
}
NEIGHBOURS = {
    KORVANTA: {"Serial": RegValue.sz("K-0001")},
    KORVANTA + "\\Editor\\Recent": {"1": RegValue.sz("C:\\Songs\\a.mid")},
    KORVANTA + "\\EngineBackup": {},
    # The machine-wide key of the same path is not the user's.
    "HKLM\\Software\\Korvanta\\Engine\\Audio": {"Latency": RegValue.dword_value(32)},
}


def test_engine_key_goes_with_everything_below_it(machine, assert_own_changes):
    machine.install_payload(names=[])
    machine.reg_import({**ENGINE_TREE, **NEIGHBOURS})
    before = machine.snapshot()

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    after = machine.reg_dump(KORVANTA, "HKLM\\Software\\Korvanta\\Engine")
    assert not after.key_exists(ENGINE)
    assert after.subkeys(KORVANTA) == ["Editor", "EngineBackup"]
    for key, values in NEIGHBOURS.items():
        assert after.key_exists(key), key
        for name, value in values.items():
            assert after.value(key, name) == value, (key, name)
    assert_own_changes(machine, before, is_own,
                   keys={key: "removed" for key in ENGINE_TREE},
                   values={(key, name): "removed" for key, values in ENGINE_TREE.items() for name in values},
                   profiles=vcache_added(machine.family))


def test_without_engine_key_nothing_is_shown_or_changed(machine, assert_own_changes):
    machine.install_payload(names=[])
    machine.reg_import(NEIGHBOURS)
    before = machine.snapshot()

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    assert_own_changes(machine, before, is_own, profiles=vcache_added(machine.family))


def vcache_added(family: str) -> dict:
    """The 9x family's System.ini entries of a template machine's run."""
    if family != "9x":
        return {}
    return {(SYSTEM_INI, "VCache", key): "added" for key in ("MinFileCache", "MaxFileCache")}
