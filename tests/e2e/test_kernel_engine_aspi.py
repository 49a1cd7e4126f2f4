"""The 9x real-time kernel, the audio engine and the ASPI layer under Wine, end
to end, on both families: the files placed and staged, the replacements
scheduled for the restart and carried out by it, the registry values byte for
byte, and System.ini's [386Enh] section.

Other stages change the machine whatever lies beside the installer. As in the
other stage tests, what a control run with the installer alone changes outside
these three components' places is left out of the snapshot comparisons.
"""

import re

import pytest
import winebed
from winebed import RegValue

SYS = "C:\\windows\\system32"
WIN = "C:\\windows"
SYSTEM_INI = WIN + "\\system.ini"
ENUM = "HKLM\\Enum"  # the 9x device tree, outside the snapshot's trees

CLASS_KEY = "HKLM\\System\\CurrentControlSet\\Services\\Class\\REALTIME"
DRIVER_KEY = CLASS_KEY + "\\RUND"
INSTANCE_KEY = "HKLM\\Enum\\Root\\REALTIME\\RUND"
DESC = RegValue.sz("Korvanta RealTime Audio Kernel")
KERNEL_VALUES = {
    CLASS_KEY: {"": RegValue.sz("Korvanta AudioEngine")},
    DRIVER_KEY: {"Icon": RegValue.sz("0"), "DevLoader": RegValue.sz("*CONFIGMG"),
                 "PortName": RegValue.sz("RUNDAVEK"), "DeviceDriver": RegValue.sz("RUNDAVEK.VXD"),
                 "DeviceDesc": DESC, "DriverDesc": DESC, "InfPath": RegValue.sz("RUNDAVEK.INF"),
                 "InfSection": RegValue.sz("RUNDAVEK"), "ProviderName": RegValue.sz("Korvanta GmbH")},
    # Two raw 4-byte records, not REG_DWORD values.
    INSTANCE_KEY: {"Class": RegValue.sz("REALTIME"), "Driver": RegValue.sz("REALTIME\\RUND"),
                   "Mfg": RegValue.sz("Korvanta GmbH"), "DeviceDesc": DESC,
                   "ConfigFlags": RegValue.binary(b"\x00\x00\x00\x00"),
                   "Capabilities": RegValue.binary(b"\x14\x00\x00\x00")},
}

RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
RUN_VALUE = "Realtime Audio Engine"
SETTINGS_KEY = "HKLM\\Software\\Korvanta\\RUNDAVEK"
CONFIG = bytes.fromhex("0f14d2e1449011d5915900d0c30018cc")


def engine_values(family: str) -> dict:
    return {RUN_KEY: {RUN_VALUE: RegValue.sz("rundavek.exe" if family == "9x" else '"rundavek.exe" /b')},
            SETTINGS_KEY: {"Enabled": RegValue.dword_value(1), "Config": RegValue.binary(CONFIG)}}


SERVICES = "HKLM\\System\\CurrentControlSet\\Services\\"
ASPI_VALUES = {
    "9x": {SERVICES + "VXD\\ASPIEnum": {"Start": RegValue.dword_value(0), "StaticVxD": RegValue.sz("ASPIENUM.VXD")},
           SERVICES + "VXD\\APIX": {"ExcludeMiniports": RegValue.sz("")}},
    "nt": {SERVICES + "Aspi32": {"Type": RegValue.dword_value(1), "Start": RegValue.dword_value(2),
                                 "Undoable": RegValue.dword_value(1), "ErrorControl": RegValue.dword_value(1),
                                 "MatchFlags": RegValue.dword_value(0)},
           SERVICES + "Aspi32\\Parameters": {"ExcludeMiniports": RegValue.sz("")}},
}

# Source, then staged, final and backup paths, in row order: the file the
# presence test looks for last.
ASPI_ROWS = {
    "9x": [(f"{stem}.9x", f"{SYS}\\{sub}{stem}.9x", f"{SYS}\\{sub}{stem}.{ext}", f"{SYS}\\{sub}{stem}.OLD")
           for sub, stem, ext in (("", "WINASPI", "DLL"), ("", "ASPIENUM", "VXD"),
                                  ("IOSUBSYS\\", "APIX", "VXD"), ("", "WNASPI32", "DLL"))],
    "nt": [(f"{stem}.NT", f"{folder}\\{stem}.NT", f"{folder}\\{stem}.{ext}", f"{folder}\\{stem}.OLD")
           for folder, stem, ext in ((SYS, "WNASPI32", "DLL"), (WIN + "\\SYSTEM", "WINASPI", "DLL"),
                                     (WIN + "\\SYSTEM", "WOWPOST", "EXE"), (SYS + "\\Drivers", "ASPI32", "SYS"))],
}
PRESENCE_FILE = {"9x": SYS + "\\WNASPI32.DLL", "nt": SYS + "\\Drivers\\ASPI32.SYS"}
ENGINE_ROWS = [("RUNDAVEK.DLL", SYS + "\\RUNDAVEK.DL", SYS + "\\RUNDAVEK.DLL"),
               ("RUNDAVEK.EXE", SYS + "\\RUNDAVEK.EX", SYS + "\\RUNDAVEK.EXE")]
KERNEL_FILES = [("RUNDAVEK.VXD", SYS + "\\RUNDAVEK.VXD"), ("TALMUREN.DLL", SYS + "\\TALMUREN.DLL"),
                ("RUNDAVEK.INF", WIN + "\\INF\\RUNDAVEK.INF")]
# The files of these components; on NT the kernel's INF and driver belong to
# the NT kernel, which installs a device from them.
OWN_NAMES = {"9x": [row[0] for row in ASPI_ROWS["9x"] + ENGINE_ROWS + KERNEL_FILES],
             "nt": [row[0] for row in ASPI_ROWS["nt"] + ENGINE_ROWS]}

OWN_KEYS = re.compile(r"hklm\\(software\\korvanta|software\\microsoft\\windows\\currentversion\\run"
                      r"|system\\currentcontrolset\\services\\(class|vxd|aspi32)"
                      r"|system\\currentcontrolset\\control\\session manager)(\\|$)")
OWN_FILES = re.compile(r"c:\\windows\\(wininit\.(ini|bak)|system(\\.*)?|inf\\rundavek\.inf"
                       r"|system32\\(drivers\\|iosubsys\\)?(rundavek|talmuren|wnaspi32|aspi32|winaspi|aspienum|apix)"
                       r"\.[^\\]*|system32\\iosubsys)")


def is_own(change: winebed.Change) -> bool:
    """A change in one of the three components' places. System.ini counts only
    for its [386Enh] entries: the cache values are another stage's."""
    path = change.path.lower()
    if change.kind in ("key", "value"):
        return bool(OWN_KEYS.match(path))
    if change.kind == "profile":
        return "wininit" in path or change.name.lower().startswith("[386enh]")
    return bool(OWN_FILES.fullmatch(path))


def expected_values(family: str, kernel: bool = True) -> dict:
    values = {**ASPI_VALUES[family], **engine_values(family)}
    return {**values, **{k: v for k, v in KERNEL_VALUES.items() if k != INSTANCE_KEY}} \
        if family == "9x" and kernel else values


def expected_renames(machine) -> list[tuple[str, str]]:
    """(target, staged) in the order made: each ASPI row's backup, then its
    install, then the engine's library and program. On the 9x family the
    staged path is written in its short form, which Wine spells as the file
    stands on disk (the prefix's own winaspi.dll in lower case; Windows 9x
    gives capitals, and reads either)."""
    def short_form(path: str) -> str:
        if machine.family != "9x" or not machine.exists(path):
            return path
        return path[:path.rindex("\\") + 1] + machine.path(path).name

    renames = []
    for _, staged, final, backup in ASPI_ROWS[machine.family]:
        renames += [(backup, short_form(final)), (final, short_form(staged))]
    return renames + [(final, short_form(staged)) for _, staged, final in ENGINE_ROWS]


def scheduled(machine) -> list[tuple[str, str]]:
    if machine.family == "9x":
        return machine.wininit_renames()
    assert all(rename.replace_existing for rename in machine.pending_renames())
    return [(rename.target, rename.source) for rename in machine.pending_renames()]


def enh_lines(machine) -> list[str] | None:
    section = machine.read_ini(SYSTEM_INI).section("386Enh")
    return None if section is None else [line for line in section.lines if line.strip()]


def prepare(machine, names=None, enh: bytes = b"") -> None:
    """The payload beside the installer and the folders every row needs; on 9x
    without Wine's own WNASPI32.DLL, which would count as an ASPI layer."""
    machine.install_payload(names=names)
    if machine.family == "9x":
        machine.remove(PRESENCE_FILE["9x"])
        machine.mkdir(SYS + "\\IOSUBSYS")
        machine.mkdir(SYS + "32\\Drivers")  # the USB driver's 9x folder, for the full payload
        if enh:
            machine.write(SYSTEM_INI, machine.read(SYSTEM_INI) + b"[386Enh]\r\n" + enh)
    else:
        machine.mkdir(WIN + "\\SYSTEM")


def test_full_payload_places_stages_schedules_and_writes_exactly(machine):
    family = machine.family
    payload = winebed.payload_dir()
    prepare(machine, enh=b"device=*vpicd\r\ndevice=rundavek.vxd\r\nDEVICE=rundavek.vxd\r\n"
                        b"device=RUNDAVEK.VXD\r\ndevice = rundavek.vxd\r\ndevice=rundavek.vxd\r\n")
    # What stands at final names beforehand goes to the backup names: on NT
    # Wine's own WNASPI32.DLL among them.
    # (9x: WINASPI and ASPIENUM; NT: WNASPI32, Wine's own, and WINASPI.)
    aside = {"9x": ("WINASPI.9x", "ASPIENUM.9x"), "nt": ("WINASPI.NT",)}[family]
    olds = {row[2]: f"old {row[0]}".encode() for row in ASPI_ROWS[family] if row[0] in aside}
    if family == "nt":
        olds[ASPI_ROWS["nt"][0][2]] = machine.read(ASPI_ROWS["nt"][0][2])
    for path, data in olds.items():
        machine.write(path, data)
    enum_before = machine.reg_dump(ENUM)

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    dump = machine.reg_dump(*expected_values(family), INSTANCE_KEY)
    for key, values in expected_values(family).items():
        found = dump.values_of(key)
        assert ({name: found.get(name) for name in values} if key == RUN_KEY else found) == values, key
    if family == "9x":
        assert dump.values_of(INSTANCE_KEY) == KERNEL_VALUES[INSTANCE_KEY]
        enum_after = machine.reg_dump(ENUM)
        assert set(enum_after.values) - set(enum_before.values) == {
            (INSTANCE_KEY.lower(), name.lower()) for name in KERNEL_VALUES[INSTANCE_KEY]}
        # Disabled where it stood, every exact entry; the others untouched.
        # Wine reads "device = rundavek.vxd" as "device=rundavek.vxd" and so
        # disables it too; Windows keeps the blanks and leaves it alone.
        assert enh_lines(machine) == [";evice=rundavek.vxd" if line == "device=rundavek.vxd" else line for line in
                                      ["device=*vpicd", "device=rundavek.vxd", "DEVICE=rundavek.vxd",
                                       "device=RUNDAVEK.VXD", "device=rundavek.vxd", "device=rundavek.vxd"]]
        for name, target in KERNEL_FILES:
            assert machine.read(target) == (payload / name).read_bytes(), target
    else:
        assert not dump.key_exists(INSTANCE_KEY)
    assert scheduled(machine) == expected_renames(machine)
    for source, staged, *_ in ASPI_ROWS[family] + ENGINE_ROWS:
        assert machine.read(staged) == (payload / source).read_bytes(), staged

    machine.restart()

    for source, staged, final, *backup in ASPI_ROWS[family] + ENGINE_ROWS:
        assert machine.read(final) == (payload / source).read_bytes(), final
        assert not machine.exists(staged), staged
        if backup:
            assert machine.exists(backup[0]) == (final in olds), backup[0]
            assert final not in olds or machine.read(backup[0]) == olds[final], backup[0]


def test_run_changes_exactly_these_and_a_second_run_creates_nothing(machine, assert_own_changes):
    family = machine.family
    prepare(machine, names=OWN_NAMES[family])
    before = machine.snapshot()
    enum_before = machine.reg_dump(ENUM)

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    staged = {path: "added" for row in ASPI_ROWS[family] + ENGINE_ROWS for path in row[1:2]}
    kernel = {target: "added" for _, target in KERNEL_FILES} if family == "9x" else {}
    wininit = {WIN + "\\wininit.ini": "added"} if family == "9x" else {}
    values = {(key, name): "added" for key, named in expected_values(family).items() for name in named}
    if family == "nt":
        values[(winebed.SESSION_MANAGER_KEY, "PendingFileRenameOperations")] = "added"
    assert_own_changes(machine, before, is_own, files={**staged, **kernel, **wininit}, values=values,
                       profiles={(WIN + "\\wininit.ini", "RENAME", target): "added"
                                 for target, _ in expected_renames(machine)} if family == "9x" else {})
    if family == "9x":
        assert machine.reg_dump(ENUM).values.keys() - enum_before.values.keys() == {
            (INSTANCE_KEY.lower(), name.lower()) for name in KERNEL_VALUES[INSTANCE_KEY]}

    # A second run puts the same values back ("Enabled" over an earlier 0) and
    # adds no file, key or value. Wininit.ini keeps one entry per target, and
    # the NT family's delayed moves are not recorded again while pending (the
    # repeated backup move would set the new ASPI files aside at the restart).
    machine.reg_set(SETTINGS_KEY, "Enabled", RegValue.dword_value(0))
    again = machine.snapshot()
    result = machine.run_installer()
    assert (result.exit_code, result.boxes) == (0, [])
    again.diff(machine.snapshot()).assert_changes(values={(SETTINGS_KEY, "Enabled"): "changed"})
    assert machine.reg_value(SETTINGS_KEY, "Enabled") == RegValue.dword_value(1)
    assert scheduled(machine) == expected_renames(machine)


def test_present_aspi_layer_and_missing_inf_leave_their_parts_alone(machine, assert_own_changes):
    family = machine.family
    names = [row[0] for row in ASPI_ROWS[family]] + ["RUNDAVEK.VXD", "TALMUREN.DLL"]
    machine.install_payload(names=names)
    if family == "nt":
        machine.mkdir(WIN + "\\SYSTEM")
        machine.write(PRESENCE_FILE["nt"], b"an ASPI layer")
    else:
        machine.write(SYSTEM_INI, machine.read(SYSTEM_INI) + b"[386Enh]\r\ndevice=rundavek.vxd\r\n")
    before = machine.snapshot()
    enh = enh_lines(machine)

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    # 9x: the VxD and the thunk library are copied, nothing more of the kernel.
    files = {SYS + "\\RUNDAVEK.VXD": "added", SYS + "\\TALMUREN.DLL": "added"} if family == "9x" else {}
    if family == "9x":
        files[SYSTEM_INI] = "changed"  # the cache values of another stage
        assert enh_lines(machine) == enh
        assert not machine.reg_dump(INSTANCE_KEY).key_exists(INSTANCE_KEY)
    assert_own_changes(machine, before, is_own, files=files)


# The [386Enh] body System.ini has before the run; "" for no such section.
# The second case is what an earlier run leaves.
ENH_CASES = {
    "comments-no-match": b"; static drivers\r\ndevice=*vpicd\r\n;device=other.vxd\r\nDEVICE=RUNDAVEK.VXD\r\n",
    "already-disabled": b"; ours\r\n;evice=rundavek.vxd\r\n; keep\r\ndevice=*vpicd\r\n",
    "no-section": b"",
}


@pytest.mark.parametrize("case", ENH_CASES)
def test_9x_386enh_keeps_every_line_when_nothing_is_disabled(new_machine, case):
    machine = new_machine("9x")
    prepare(machine, names=["RUNDAVEK.INF"], enh=ENH_CASES[case])
    lines = enh_lines(machine)
    assert (lines is None) == (case == "no-section")

    result = machine.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    # Every line, comments included, in its order; no section appears.
    assert enh_lines(machine) == lines
    assert machine.reg_dump(INSTANCE_KEY).values_of(INSTANCE_KEY) == KERNEL_VALUES[INSTANCE_KEY]
