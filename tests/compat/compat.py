"""The version matrix: one executable from Windows 95 to Windows 11.

For every Windows version Wine emulates, a fresh machine of that version in
which the libraries the real version lacks are unavailable runs the installer
with the full sample payload and the sample CD; a second machine of the same
version runs it while one of the suite's applications is running. Each
machine's changes are compared with its family's expected list, allowing only
the differences that the version explains. What Wine cannot take away (NT 3.51's
and NT 4's kernel32 without the Toolhelp functions, Windows 95 before its
updates) is run on the simulated machine by the host tests
(tests/host/version_matrix_test.cpp), whose rows join the same table.

    compat.py [--json] [--versions win98,winxp,...] [--no-sim] [--jobs N]

Prints one table (or, with --json, the same rows for machines) and a last line
"compat: N passed, N failed". Exit code 0 only when every row passed. Called
by scripts/compat; finds its builds through KORVANTA_WINDOWS_BUILD and
KORVANTA_HOST_BUILD.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import json
import multiprocessing
import multiprocessing.util
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath
from typing import Optional

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "winebed"))

import winebed  # noqa: E402
from winebed import RegValue  # noqa: E402

# --------------------------------------------------------------------------
# The versions: what a program without a compatibility manifest is told, and
# what each real version lacks. The one table of the matrix.


@dataclasses.dataclass(frozen=True)
class Version:
    wine: str                 # HKCU\Software\Wine "Version"
    name: str
    platform: int             # dwPlatformId it reports
    major: int                # dwMajorVersion it reports
    lacks: tuple[str, ...]    # libraries the real version lacks, hidden under Wine
    why: str                  # why it lacks them


NO_PSAPI = "PSAPI.DLL belongs to the NT family (from NT 4 on)"
NO_NEWDEV = "NewDev.dll came with Windows 2000"
VERSIONS: tuple[Version, ...] = (
    Version("win95", "Windows 95", 1, 4, ("psapi", "newdev", "setupapi"),
            f"{NO_PSAPI}; {NO_NEWDEV}; a retail Windows 95 has no setupapi.dll"),
    Version("win98", "Windows 98", 1, 4, ("psapi", "newdev"), f"{NO_PSAPI}; {NO_NEWDEV}"),
    Version("winme", "Windows ME", 1, 4, ("psapi", "newdev"), f"{NO_PSAPI}; {NO_NEWDEV}"),
    Version("nt351", "Windows NT 3.51", 2, 3, ("psapi", "newdev"),
            f"PSAPI.DLL first shipped for NT 4; {NO_NEWDEV}"),
    Version("nt40", "Windows NT 4.0", 2, 4, ("newdev",), NO_NEWDEV),
    Version("win2k", "Windows 2000", 2, 5, (), "nothing"),
    Version("winxp", "Windows XP", 2, 5, (), "nothing"),
    Version("win2003", "Windows Server 2003", 2, 5, (), "nothing"),
    Version("vista", "Windows Vista", 2, 6, (), "nothing"),
    Version("win7", "Windows 7", 2, 6, (), "nothing"),
    Version("win8", "Windows 8", 2, 6, (), "nothing"),
    Version("win81", "Windows 8.1", 2, 6, (), "nothing"),
    Version("win10", "Windows 10", 2, 6, (), "nothing"),
    Version("win11", "Windows 11", 2, 6, (), "nothing"),
)

#: What a real version lacks that Wine cannot take away (its kernel32 and
#: advapi32 are always Wine's): those versions are also run on the simulated
#: machine, with the whole profile, by tests/host/version_matrix_test.cpp.
BEYOND_WINE = {
    "win95": "before its updates: run-time lookups as on the first release",
    "nt351": "kernel32 has no Toolhelp functions",
    "nt40": "kernel32 has no Toolhelp functions",
}


def dll_overrides(version: Version) -> str:
    return ";".join(f"{library}=d" for library in version.lacks)


def family(version: Version) -> str:
    return "9x" if version.platform == 1 else "nt"


def expected_backend(version: Version) -> str:
    # The process list comes from PSAPI on NT 4 and later, from Toolhelp elsewhere.
    return "PSAPI" if version.platform == 2 and version.major >= 4 else "Toolhelp"


def expected_device(version: Version) -> str:
    # Only the NT family installs a device; without NewDev the driver update
    # reports false and the new node is removed again.
    if family(version) == "9x":
        return "n/a"
    return "no" if "newdev" in version.lacks else "yes"


# --------------------------------------------------------------------------
# What each family's run is expected to change, written from the tables of the
# components' behaviour (own copy: never read from the product).

WIN = "C:\\windows"
SYS = WIN + "\\system32"
SYS_9X_DRIVERS = WIN + "\\system3232\\Drivers"   # the 9x rule: system folder + "32"
APP = "C:\\Program Files\\Korvanta"
MANUAL = "Korvanta"
CD = winebed.REPOSITORY / "examples" / "cd"
GUARD_MESSAGE = "Please close your software, restart your machine and run setup again !"
SUITE_PROGRAM = "C:\\Program Files\\Korvanta\\TAV.EXE"

CLASS_GUID = "{3E36E96C-E325-12CE-BFC1-07002BE10326}"
HARDWARE_ID = "*korvanta\\rundavek"
CCS = "HKLM\\SYSTEM\\CurrentControlSet"
NT_CLASS = f"{CCS}\\Control\\Class\\{CLASS_GUID}"
NT_INSTANCE = f"{CCS}\\Enum\\Root\\REALTIME\\0000"
NT_SERVICE = f"{CCS}\\Services\\RUNDAVEK"
KERNEL_NT_TEXT = "Korvanta Realtime Audio Kernel"
KERNEL_9X_TEXT = "Korvanta RealTime Audio Kernel"
RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
ENGINE_KEY = "HKLM\\Software\\Korvanta\\RUNDAVEK"
ENGINE_CONFIG = bytes.fromhex("0f14d2e1449011d5915900d0c30018cc")
USER_ENGINE_KEY = "HKCU\\Software\\Korvanta\\Engine"

sz, dword = RegValue.sz, RegValue.dword_value

ENGINE_VALUES = {
    (ENGINE_KEY, "Enabled"): dword(1),
    (ENGINE_KEY, "Config"): RegValue.binary(ENGINE_CONFIG),
}

NT_VALUES: dict[tuple[str, str], RegValue] = {
    (NT_CLASS, ""): sz("Korvanta AudioEngine"),
    (NT_CLASS, "Class"): sz("REALTIME"),
    (NT_CLASS, "Icon"): sz("0"),
    (NT_CLASS + "\\0000", "InfPath"): sz("rundavek.inf"),
    (NT_CLASS + "\\0000", "InfSection"): sz("RUNDAVEK"),
    (NT_CLASS + "\\0000", "InfSectionExt"): sz(".NTx86"),
    (NT_CLASS + "\\0000", "ProviderName"): sz("KORVANTA"),
    (NT_CLASS + "\\0000", "MatchingDeviceId"): sz(HARDWARE_ID),
    (NT_CLASS + "\\0000", "DriverDesc"): sz("KORVANTA Realtime Audio Kernel"),
    (NT_INSTANCE, "ClassGUID"): sz(CLASS_GUID),
    (NT_INSTANCE, "HardwareID"): RegValue.multi_sz(HARDWARE_ID),
    (NT_INSTANCE, "FriendlyName"): sz(KERNEL_NT_TEXT),
    (NT_INSTANCE, "Class"): sz("REALTIME"),
    (NT_INSTANCE, "Mfg"): sz("KORVANTA"),
    (NT_INSTANCE, "Service"): sz("RUNDAVEK"),
    (NT_INSTANCE, "DeviceDesc"): sz(KERNEL_NT_TEXT),
    (NT_INSTANCE, "ConfigFlags"): dword(0),
    (NT_INSTANCE, "Capabilities"): dword(0),
    (NT_INSTANCE, "Driver"): sz(CLASS_GUID + "\\0000"),
    (NT_INSTANCE + "\\Device Parameters", ""): sz(""),
    (NT_INSTANCE + "\\LogConf", ""): sz(""),
    (NT_INSTANCE + "\\Control", "ActiveService"): sz("RUNDAVEK"),
    (NT_SERVICE, "Type"): dword(1),
    (NT_SERVICE, "Start"): dword(0),
    (NT_SERVICE, "ErrorControl"): dword(1),
    (NT_SERVICE, "ImagePath"): RegValue.expand_sz("system32\\drivers\\rundavek.sys"),
    (NT_SERVICE + "\\Enum", "0"): sz("Root\\REALTIME\\0000"),
    (NT_SERVICE + "\\Enum", "Count"): dword(1),
    (NT_SERVICE + "\\Enum", "NextInstance"): dword(1),
    (RUN_KEY, "Realtime Audio Engine"): sz('"rundavek.exe" /b'),
    **ENGINE_VALUES,
    (f"{CCS}\\Services\\Aspi32", "Type"): dword(1),
    (f"{CCS}\\Services\\Aspi32", "Start"): dword(2),
    (f"{CCS}\\Services\\Aspi32", "Undoable"): dword(1),
    (f"{CCS}\\Services\\Aspi32", "ErrorControl"): dword(1),
    (f"{CCS}\\Services\\Aspi32", "MatchFlags"): dword(0),
    (f"{CCS}\\Services\\Aspi32\\Parameters", "ExcludeMiniports"): sz(""),
}

NINE_X_CLASS = f"{CCS}\\Services\\Class\\REALTIME"
NINE_X_INSTANCE = "HKLM\\Enum\\Root\\REALTIME\\RUND"
NINE_X_VALUES: dict[tuple[str, str], RegValue] = {
    (NINE_X_CLASS, ""): sz("Korvanta AudioEngine"),
    **{(NINE_X_CLASS + "\\RUND", name): sz(text) for name, text in (
        ("Icon", "0"), ("DevLoader", "*CONFIGMG"), ("PortName", "RUNDAVEK"),
        ("DeviceDriver", "RUNDAVEK.VXD"), ("DeviceDesc", KERNEL_9X_TEXT), ("DriverDesc", KERNEL_9X_TEXT),
        ("InfPath", "RUNDAVEK.INF"), ("InfSection", "RUNDAVEK"), ("ProviderName", "Korvanta GmbH"))},
    (NINE_X_INSTANCE, "Class"): sz("REALTIME"),
    (NINE_X_INSTANCE, "Driver"): sz("REALTIME\\RUND"),
    (NINE_X_INSTANCE, "Mfg"): sz("Korvanta GmbH"),
    (NINE_X_INSTANCE, "DeviceDesc"): sz(KERNEL_9X_TEXT),
    (NINE_X_INSTANCE, "ConfigFlags"): RegValue.binary(bytes(4)),
    (NINE_X_INSTANCE, "Capabilities"): RegValue.binary(bytes([0x14, 0, 0, 0])),
    (RUN_KEY, "Realtime Audio Engine"): sz("rundavek.exe"),
    **ENGINE_VALUES,
    (f"{CCS}\\Services\\VXD\\ASPIEnum", "Start"): dword(0),
    (f"{CCS}\\Services\\VXD\\ASPIEnum", "StaticVxD"): sz("ASPIENUM.VXD"),
    (f"{CCS}\\Services\\VXD\\APIX", "ExcludeMiniports"): sz(""),
}

# Target -> source (a payload file, or "cd:" and a path on the CD).
MEDIA_FILES = {
    APP + "\\TAVOEM.DLL": "cd:OEM\\TAVOEM.DLL",
    APP + f"\\{MANUAL}-de.pdf": f"cd:DATA\\DOC\\{MANUAL}-de.pdf",
    APP + f"\\{MANUAL}-en.pdf": f"cd:DATA\\DOC\\{MANUAL}-en.pdf",
}
USB_FILES = {
    WIN + "\\INF\\MAYA51USB.INF": "MAYA51USB.INF",
    WIN + "\\INF\\PX_USB.INF": "PX_USB.INF",
    SYS + "\\FTD2XX.DLL": "FTD2XX.DLL",
    SYS + "\\FTD2XXUN.EXE": "FTD2XXUN.EXE",
}
NT_FILES = {
    SYS + "\\DRIVERS\\RUNDAVEK.SYS": "RUNDAVEK.SYS",
    WIN + "\\INF\\RUNDAVEK.INF": "RUNDAVEK.INF",
    SYS + "\\Drivers\\ASPI32.NT": "ASPI32.NT",
    SYS + "\\WNASPI32.NT": "WNASPI32.NT",
    WIN + "\\SYSTEM\\WINASPI.NT": "WINASPI.NT",
    WIN + "\\SYSTEM\\WOWPOST.NT": "WOWPOST.NT",
    SYS + "\\RUNDAVEK.DL": "RUNDAVEK.DLL",
    SYS + "\\RUNDAVEK.EX": "RUNDAVEK.EXE",
    **USB_FILES,
    SYS + "\\Drivers\\FTD2XX.SYS": "FTD2XX.SYS",
    **MEDIA_FILES,
}
NINE_X_FILES = {
    SYS + "\\RUNDAVEK.VXD": "RUNDAVEK.VXD",
    SYS + "\\TALMUREN.DLL": "TALMUREN.DLL",
    WIN + "\\INF\\RUNDAVEK.INF": "RUNDAVEK.INF",
    SYS + "\\WNASPI32.9x": "WNASPI32.9x",
    SYS + "\\WINASPI.9x": "WINASPI.9x",
    SYS + "\\ASPIENUM.9x": "ASPIENUM.9x",
    SYS + "\\IOSUBSYS\\APIX.9x": "APIX.9x",
    SYS + "\\RUNDAVEK.DL": "RUNDAVEK.DLL",
    SYS + "\\RUNDAVEK.EX": "RUNDAVEK.EXE",
    **USB_FILES,
    SYS_9X_DRIVERS + "\\FTD2XX.SYS": "FTD2XX.SYS",
    **MEDIA_FILES,
}


def _replace_pairs(directory: str, staged: str, final: str, backup: str) -> list[tuple[str, str]]:
    """(from, to) of one staged file: the old file aside first, then the new one in."""
    return [(f"{directory}\\{final}", f"{directory}\\{backup}"), (f"{directory}\\{staged}", f"{directory}\\{final}")]


ENGINE_RENAMES = [(SYS + "\\RUNDAVEK.DL", SYS + "\\RUNDAVEK.DLL"), (SYS + "\\RUNDAVEK.EX", SYS + "\\RUNDAVEK.EXE")]
# The ASPI layer's file that its presence test looks for is replaced last.
NT_RENAMES = (_replace_pairs(SYS, "WNASPI32.NT", "WNASPI32.DLL", "WNASPI32.OLD") +
              _replace_pairs(WIN, "SYSTEM\\WINASPI.NT", "SYSTEM\\WINASPI.DLL", "SYSTEM\\WINASPI.OLD") +
              _replace_pairs(WIN, "SYSTEM\\WOWPOST.NT", "SYSTEM\\WOWPOST.EXE", "SYSTEM\\WOWPOST.OLD") +
              _replace_pairs(SYS, "Drivers\\ASPI32.NT", "Drivers\\ASPI32.SYS", "Drivers\\ASPI32.OLD") +
              ENGINE_RENAMES)
NINE_X_RENAMES = (_replace_pairs(SYS, "WINASPI.9x", "WINASPI.DLL", "WINASPI.OLD") +
                  _replace_pairs(SYS, "ASPIENUM.9x", "ASPIENUM.VXD", "ASPIENUM.OLD") +
                  _replace_pairs(SYS, "IOSUBSYS\\APIX.9x", "IOSUBSYS\\APIX.VXD", "IOSUBSYS\\APIX.OLD") +
                  _replace_pairs(SYS, "WNASPI32.9x", "WNASPI32.DLL", "WNASPI32.OLD") +
                  ENGINE_RENAMES)

#: Places where Wine's SetupAPI and NewDev write when they install the
#: device's driver: allowed changes on the versions that have NewDev.
DEVICE_PLACES = (
    re.compile(r"hklm\\system\\currentcontrolset\\enum\\root\\realtime(\\.*)?"),
    re.compile(r"hklm\\system\\currentcontrolset\\control\\class\\" + re.escape(CLASS_GUID.lower()) + r"(\\.*)?"),
    re.compile(r"hklm\\system\\currentcontrolset\\services\\rundavek(\\.*)?"),
    re.compile(r"c:\\windows\\inf\\(rundavek|oem\d+)\.(inf|pnf)"),
)
#: Written only by the driver installation (the INF's service section).
DEVICE_MARKER = (NT_SERVICE, "DisplayName")

# --------------------------------------------------------------------------
# One row of the table


@dataclasses.dataclass
class Row:
    version: str
    shown: str                    # "Wine" or "sim"
    platform: Optional[int] = None
    major: Optional[int] = None
    backend: str = "?"
    stopped: str = "?"
    device: str = "?"
    values: str = "?"
    files: str = "?"
    boxes: str = "?"
    hidden: str = ""
    seconds: float = 0.0
    problems: list[str] = dataclasses.field(default_factory=list)

    @property
    def passed(self) -> bool:
        return not self.problems

    def check(self, condition: bool, problem: str) -> None:
        if not condition:
            self.problems.append(problem)


def _key(path: str) -> str:
    return winebed._normalize_key(path).lower()


def _is_device_place(identity: str) -> bool:
    return any(pattern.fullmatch(identity) for pattern in DEVICE_PLACES)


def _source_bytes(source: str) -> bytes:
    if source.startswith("cd:"):
        return (CD / source[3:].replace("\\", "/")).read_bytes()
    return (winebed.payload_dir() / source).read_bytes()


def _snapshot(machine: winebed.Machine, version: Version) -> winebed.Snapshot:
    # The 9x family keeps its device tree in HKLM\Enum.
    return machine.snapshot(extra_keys=("HKLM\\Enum",) if family(version) == "9x" else ())


def _prepare(template: winebed.Template, version: Version,
             names: Optional[list[str]] = None, exe: Optional[Path] = None) -> winebed.Machine:
    """A fresh machine of the version as the suite's setup leaves it: the CD in
    drive D:, the application folder with its history file, the installer and
    its component files, the installing user's engine settings, and no ASPI
    layer yet (Wine's prefix has a placeholder WNASPI32.DLL). The folders that
    the real family has and Wine's prefix lacks are made, so that every row
    of every component can succeed."""
    machine = template.new_machine("nt")
    try:
        machine.add_cdrom("d", CD)
        machine.wine("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version.wine, "/f")
        machine.mkdir(APP)
        machine.write(APP + "\\HISTORY.TXT", "Release notes of the previous version.\r\n")
        machine.install_payload(names, exe=exe)
        machine.reg_import({USER_ENGINE_KEY: {"Latency": dword(10)},
                            USER_ENGINE_KEY + "\\Devices\\0": {"Name": sz("Maya")}})
        machine.add_real_windows_layout(family(version))
        return machine
    except BaseException:
        machine.close()
        raise


def _probe(machine: winebed.Machine, version: Version, row: Row) -> None:
    """What a program like the installer is told, with the same overrides."""
    result = machine.run(winebed.dos_path(winebed.tool("winver")), dll_overrides=dll_overrides(version) or None)
    fields = dict(item.split("=", 1) for item in result.output.split() if "=" in item)
    row.platform = int(fields.get("platform", -1))
    row.major = int(fields.get("major", -1))
    row.check((row.platform, row.major) == (version.platform, version.major),
              f"the version reports platform {row.platform} major {row.major}, "
              f"expected {version.platform} major {version.major}")
    for library in ("psapi", "newdev"):
        state = fields.get(library, "?")
        if library in version.lacks:
            # Missing as on Windows: error 126, or 1157 as the 9x family says it.
            row.check(state in ("0:126", "0:1157"), f"{library} should be missing, probe says {state}")
        else:
            row.check(state == "1", f"{library} should load, probe says {state}")


@dataclasses.dataclass
class Expected:
    """What one run is expected to change: values, files (target -> source),
    renames in order, and whether the driver installation takes place."""
    values: dict[tuple[str, str], RegValue]
    files: dict[str, str]
    renames: list[tuple[str, str]]
    device: str


def expected_for(version: Version, present: Optional[set[str]] = None) -> Expected:
    """The family's expected list for a setup folder holding the payload files
    `present` (all of them when None), with the sample CD and both arguments."""
    nt = family(version) == "nt"
    present = {p.name for p in winebed.payload_dir().iterdir()} if present is None else present
    all_files = NT_FILES if nt else NINE_X_FILES
    files = {target: source for target, source in all_files.items()
             if source.startswith("cd:") or source in present}
    values = dict(NT_VALUES if nt else NINE_X_VALUES)
    for key, name in list(values):
        # The Run value and the engine's settings follow the program's staged
        # copy; the 9x kernel's values follow its INF.
        engine = key in (RUN_KEY, ENGINE_KEY) and "RUNDAVEK.EXE" not in present
        kernel_9x = not nt and key.startswith((NINE_X_CLASS, NINE_X_INSTANCE)) and "RUNDAVEK.INF" not in present
        if engine or kernel_9x:
            del values[(key, name)]
    # A staged file's pair of renames (or the engine's single one) follows its
    # staged copy: the staged path is the source of the rename that installs it.
    staged_source = {target.lower(): source for target, source in all_files.items()}
    renames_all = NT_RENAMES if nt else NINE_X_RENAMES
    renames = []
    for index, (source, target) in enumerate(renames_all):
        staged = source if source.lower() in staged_source else renames_all[index + 1][0]
        if staged_source[staged.lower()] in present:
            renames.append((source, target))
    device = expected_device(version) if "RUNDAVEK.INF" in present or not nt else "no"
    return Expected(values, files, renames, device)


def _compare_install(version: Version, before: winebed.Snapshot, after: winebed.Snapshot,
                     machine: winebed.Machine, row: Row, expected: Optional[Expected] = None) -> None:
    nt = family(version) == "nt"
    expected = expected or expected_for(version)
    values, files, renames = expected.values, expected.files, expected.renames
    registry = after.registry

    written = 0
    for (key, name), wanted in values.items():
        found = registry.value(key, name)
        if found == wanted:
            written += 1
        else:
            row.problems.append(f"{key} : {name or '(default)'} is {found}, expected {wanted}")
    row.values = f"{written}/{len(values)}"

    placed = 0
    for target, source in files.items():
        path = machine.path(target)
        if path.is_file() and path.read_bytes() == _source_bytes(source):
            placed += 1
        else:
            row.problems.append(f"{target} not placed from {source}")
    row.files = f"{placed}/{len(files)}"

    if nt:
        found_renames = [(r.source.lower(), r.target.lower()) for r in after.pending_renames()]
        wanted_renames = [(a.lower(), b.lower()) for a, b in renames]
        row.check(found_renames == wanted_renames, f"pending renames {found_renames}, expected {wanted_renames}")
    else:
        wininit = after.ini(WIN + "\\wininit.ini")
        section = wininit.section("rename") if wininit else None
        found_entries = [(k.lower(), v.lower()) for k, v in section.entries()] if section else []
        # Wininit.ini says "target=source".
        wanted_entries = [(b.lower(), a.lower()) for a, b in renames]
        row.check(found_entries == wanted_entries, f"Wininit.ini [rename] {found_entries}, expected {wanted_entries}")
        system_ini = after.ini(WIN + "\\system.ini")
        for key in ("MinFileCache", "MaxFileCache"):
            value = system_ini.get("VCache", key) if system_ini else None
            row.check(value == "20480", f"System.ini [VCache] {key} is {value!r}, expected '20480'")

    # Everything else that changed must be explained by the list above, by
    # the version (the device installation where NewDev exists) or by the
    # engine settings and history file going.
    expected_values = {(_key(k), n.lower()) for k, n in values}
    expected_files = {f.lower() for f in files}
    for target in list(files):
        parent = str(PureWindowsPath(target).parent)
        while len(parent) > 3:
            expected_files.add(parent.lower())
            parent = str(PureWindowsPath(parent).parent)
    expected_keys = {_key(k) for k, _ in values}
    for key in list(expected_keys):
        while "\\" in key:
            key = key.rpartition("\\")[0]
            expected_keys.add(key)
    profiles = ((WIN + "\\wininit.ini").lower(), (WIN + "\\system.ini").lower())
    history = (APP + "\\HISTORY.TXT").lower()
    session_manager = (_key(winebed.SESSION_MANAGER_KEY), "pendingfilerenameoperations")
    device_allowed = expected.device == "yes"
    for change in before.diff(after).changes:
        if change.kind == "value":
            where = _key(change.path)
            identity = (where, change.name.lower())
            if identity in expected_values or (nt and identity == session_manager):
                continue
            if change.change == "removed" and (where + "\\").startswith(_key(USER_ENGINE_KEY) + "\\"):
                continue
        elif change.kind == "key":
            where = _key(change.path)
            if change.change == "added" and where in expected_keys:
                continue
            if change.change == "removed" and (where + "\\").startswith(_key(USER_ENGINE_KEY) + "\\"):
                continue
        elif change.kind == "file":
            where = change.path.lower()
            if where in expected_files or (where == history and change.change == "removed"):
                continue
            if not nt and where in profiles:
                continue  # their entries are checked one by one
        else:
            where = change.path.lower()
            section = change.name.lower()
            if not nt and where in profiles and section.startswith(("[rename] ", "[vcache] ")):
                continue  # checked above
        if device_allowed and _is_device_place(where):
            continue
        row.problems.append(f"unexpected: {change}")
    row.check(not machine.exists(APP + "\\HISTORY.TXT"), "HISTORY.TXT was not deleted")
    row.check(not registry.key_exists(USER_ENGINE_KEY), "the user's engine settings key is still there")

    if nt:
        installed = registry.value(*DEVICE_MARKER) is not None
        row.device = "yes" if installed else "no"
    else:
        row.device = "n/a"
    row.check(row.device == expected.device, f"device installed: {row.device}, expected {expected.device}")


def _guard_run(machine: winebed.Machine, overrides: str) -> tuple[bool, winebed.RunResult]:
    result = machine.run_installer(APP, MANUAL, dll_overrides=overrides or None)
    return [box.text for box in result.boxes] == [GUARD_MESSAGE], result


def run_version(template: winebed.Template, version: Version) -> Row:
    row = Row(version.wine, "Wine", hidden=", ".join(version.lacks) or "-")
    started = time.monotonic()
    try:
        with _prepare(template, version) as machine:
            _probe(machine, version, row)
            before = _snapshot(machine, version)
            result = machine.run_installer(APP, MANUAL, dll_overrides=dll_overrides(version) or None)
            row.boxes = str(len(result.boxes))
            row.check(result.exit_code == 0, f"exit code {result.exit_code}")
            row.check(result.boxes == [], f"boxes: {[box.text for box in result.boxes]}")
            _compare_install(version, before, _snapshot(machine, version), machine, row)

        with _prepare(template, version) as machine:
            machine.start_named_process(SUITE_PROGRAM)
            before = _snapshot(machine, version)
            stopped, result = _guard_run(machine, dll_overrides(version))
            row.stopped = "yes" if stopped else "no"
            row.check(stopped, f"the guard did not stop the run; boxes: {[b.text for b in result.boxes]}")
            if stopped:
                row.check(result.exit_code == 0, f"exit code {result.exit_code} after the guard's message")
                changes = before.diff(_snapshot(machine, version))
                row.check(not changes, f"the guard's run changed the machine:\n{changes}")
            # Which back-end took the list: Wine's kernel32 always has Toolhelp,
            # so a guard that still stops without PSAPI walked with Toolhelp.
            if "psapi" in version.lacks:
                row.backend = "Toolhelp" if stopped else "PSAPI"
            elif stopped:
                without_psapi, _ = _guard_run(machine, ";".join(filter(None, [dll_overrides(version), "psapi=d"])))
                row.backend = "Toolhelp" if without_psapi else "PSAPI"
            else:
                row.backend = "none"
            row.check(row.backend == expected_backend(version),
                      f"guard back-end {row.backend}, expected {expected_backend(version)}")
    except (winebed.WineError, OSError, ValueError) as error:
        row.problems.append(f"{type(error).__name__}: {error}")
    row.seconds = time.monotonic() - started
    return row


# --------------------------------------------------------------------------
# The simulated machine's rows


def host_tests() -> Path:
    default = winebed.REPOSITORY / "build" / "host"
    return Path(os.environ.get("KORVANTA_HOST_BUILD", default)).resolve() / "host_tests"


def run_sim() -> list[Row]:
    """Runs the host tests' version profiles and reads the rows they recorded."""
    exe = host_tests()
    if not exe.is_file():
        return [Row("sim", "sim", problems=[f"{exe} is missing: build the host tests first"])]
    with tempfile.TemporaryDirectory() as scratch:
        report = Path(scratch) / "matrix.json"
        started = time.monotonic()
        subprocess.run([str(exe), "--gtest_filter=*VersionMatrix.*", f"--gtest_output=json:{report}"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.monotonic() - started
        if not report.exists():
            return [Row("sim", "sim", problems=[f"{exe} wrote no report"])]
        data = json.loads(report.read_text())
    rows = []
    for suite in data.get("testsuites", []):
        for case in suite.get("testsuite", []):
            if "version" not in case:
                continue
            row = Row(case["version"], "sim", platform=int(case["platform"]), major=int(case["major"]),
                      backend=case["backend"], stopped=case["stopped"], device=case["device"],
                      values=case["values"], files=case["files"], boxes=case["boxes"], hidden=case["hidden"])
            row.seconds = seconds
            failures = case.get("failures", [])
            if failures:
                first = " ".join(failures[0].get("failure", "").split("\n")[1:])
                row.problems.append(f"{len(failures)} expectation(s) failed on the simulated machine; first: {first}")
            rows.append(row)
    if not rows:
        rows.append(Row("sim", "sim", problems=["the host tests recorded no version rows"]))
    return rows


# --------------------------------------------------------------------------
# Output

COLUMNS = (("version", 8), ("shown", 5), ("hidden", 33), ("plat/maj", 8), ("guard via", 9), ("stopped", 7),
           ("device", 6), ("values", 6), ("files", 6), ("boxes", 5), ("result", 6))


def _cells(row: Row) -> list[str]:
    seen = f"{row.platform}/{row.major}" if row.platform is not None else "?"
    return [row.version, row.shown, row.hidden, seen, row.backend, row.stopped, row.device, row.values,
            row.files, row.boxes, "pass" if row.passed else "FAIL"]


def print_table(rows: list[Row], seconds: float) -> None:
    line = "  ".join(f"{name:<{width}}" for name, width in COLUMNS)
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join(f"{cell:<{width}}" for cell, (_, width) in zip(_cells(row), COLUMNS)))
    print("\nshown: Wine = a fresh Wine machine of that version with the hidden libraries unavailable "
          "(WINEDLLOVERRIDES);\n       sim = only on the simulated machine, for what Wine cannot take away:")
    for version, what in BEYOND_WINE.items():
        print(f"         {version}: {what}")
    for row in rows:
        for problem in row.problems:
            print(f"{row.version} ({row.shown}): {problem}")
    print(f"\nrun time {seconds:.1f} s")


_worker_template: Optional[winebed.Template] = None


def _start_worker() -> None:
    global _worker_template
    _worker_template = winebed.Template.for_run()
    # A pool's worker ends without atexit handlers; its spare copies go here.
    multiprocessing.util.Finalize(None, _worker_template.cleanup, exitpriority=10)


def _run_in_worker(version: Version) -> Row:
    return run_version(_worker_template, version)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    parser.add_argument("--versions", help="comma-separated Wine version names (default: all 14)")
    parser.add_argument("--no-sim", action="store_true", help="leave out the simulated machine's rows")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("KORVANTA_JOBS", os.cpu_count() or 1)),
                        help="rows run side by side (default KORVANTA_JOBS, else one per core)")
    args = parser.parse_args()
    chosen = VERSIONS
    if args.versions:
        names = args.versions.split(",")
        unknown = set(names) - {v.wine for v in VERSIONS}
        if unknown:
            parser.error(f"unknown versions: {', '.join(sorted(unknown))}")
        chosen = tuple(v for v in VERSIONS if v.wine in names)

    started = time.monotonic()
    rows: list[Row] = []
    # The rows run side by side in worker processes, each machine with its
    # own prefix and session, all copied from one shared template.
    shared = winebed.Template.share_for_run()
    try:
        with concurrent.futures.ProcessPoolExecutor(max_workers=min(args.jobs, len(chosen)),
                                                    mp_context=multiprocessing.get_context("fork"),
                                                    initializer=_start_worker) as pool:
            pending = [pool.submit(_run_in_worker, version) for version in chosen]
            sim_rows = [] if args.no_sim else run_sim()
            for future in pending:
                row = future.result()
                rows.append(row)
                if not args.json:
                    print(f"{row.version}: {'pass' if row.passed else 'FAIL'} ({row.seconds:.1f} s)", flush=True)
    finally:
        if shared is not None:
            shared.cleanup()
    rows.extend(sim_rows)
    seconds = time.monotonic() - started

    if args.json:
        print(json.dumps({"seconds": round(seconds, 1), "rows": [
            {**dataclasses.asdict(row), "passed": row.passed, "seconds": round(row.seconds, 1)} for row in rows]},
            indent=2))
    else:
        print()
        print_table(rows, seconds)
    failed = sum(not row.passed for row in rows)
    print(f"compat: {len(rows) - failed} passed, {failed} failed", file=sys.stderr if args.json else sys.stdout)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
