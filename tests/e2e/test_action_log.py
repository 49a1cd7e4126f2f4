"""The action log under Wine, end to end, on both families: a run with the
log switched on changes the machine exactly as a run without it (apart from
the log file), and its log names every file copied, every value written and
every box, in order; runs append; a log that cannot be opened is no log.
"""

import os
import re
from typing import NamedTuple

import pytest

import winebed

VARIABLE = "KORVANTA_SYSINSTALL_LOG"
LOG_DIR = "C:\\logs"
LOG = LOG_DIR + "\\sysinstall.log"
APP_DIR = "C:\\Program Files\\Korvanta"
CD = winebed.REPOSITORY / "examples" / "cd"
# A folder where a target belongs, so that the run shows a box (a target in
# use is replaced at the restart without one).
LOCKED = "C:\\windows\\system32\\FTD2XX.DLL"
LOCKED_MESSAGE = 'Unable to copy "FTD2XX.DLL" to System32 directory!'
STAGES = ["WindowStationVisible", "RunsUnderWow64", "RunsUnderCompatibilityLayer",
          "AdministratorsMembership", "load NewDev.dll", "IsProductRunning", "BuildInstallContext",
          "TuneDiskCache", "ResetEngineSettings", "InstallAspiLayer", "{kernel}", "InstallAudioEngine",
          "InstallUsbAudioInterfaceFiles", "InstallUsbControllerFiles", "DeployMediaFiles",
          "release NewDev.dll"]


class Operation(NamedTuple):
    number: int
    name: str
    args: list[str]
    result: str


def split_arguments(text: str) -> tuple[list[str], int]:
    """The top-level arguments of the text after "(", and where ")" ends them.
    Quotes are doubled inside quoted strings; {} and () nest."""
    args, depth, quoted, start, i = [], 0, False, 0, 0
    while i < len(text):
        char = text[i]
        if char == '"':
            if quoted and text[i + 1:i + 2] == '"':
                i += 2
                continue
            quoted = not quoted
        elif not quoted:
            if char in "{(":
                depth += 1
            elif char == "}" or (char == ")" and depth > 0):
                depth -= 1
            elif char == ")":
                if text[start:i]:
                    args.append(text[start:i])
                return args, i
            elif char == "," and depth == 0 and text[i + 1:i + 2] == " ":
                args.append(text[start:i])
                i += 2
                start = i
                continue
        i += 1
    raise AssertionError(f"unterminated argument list: {text!r}")


def unquote(token: str) -> bytes:
    """A quoted string of the log back to its bytes; a key or library name
    after its handle (0x1A4:"...") too."""
    token = token.removeprefix("->")
    token = token[token.index(":") + 1:] if token.startswith("0x") else token
    assert token.startswith('"') and token.endswith('"'), token
    body = re.sub(r'\\x([0-9A-F]{2})', lambda m: chr(int(m.group(1), 16)), token[1:-1].replace('""', '"'))
    return body.encode("latin-1")


def text(token: str) -> str:
    return unquote(token).decode(winebed.ANSI_CODE_PAGE)


def parse_log(data: bytes) -> tuple[list[str], list[Operation]]:
    """The lines of one log and its operations."""
    lines = data.decode("ascii").split("\r\n")
    assert lines[-1] == ""
    lines = lines[:-1]
    operations = []
    for line in lines:
        if line[:1].isdigit():
            name, rest = line[6:].split("(", 1)
            args, end = split_arguments(rest)
            assert rest[end:end + 4] == ") = ", line
            operations.append(Operation(int(line[:5]), name, args, rest[end + 4:]))
    return lines, operations


def key_path(token: str) -> str:
    return token if token.startswith("HKEY_") else text(token)


def register_value(type_name: str, data: str) -> winebed.RegValue:
    type_ = {name: number for number, name in winebed.REG_TYPE_NAMES.items()}[type_name]
    if data.startswith("0x"):
        return winebed.RegValue.dword_value(int(data, 16))
    if data.startswith("hex:"):
        return winebed.RegValue(type_, bytes.fromhex(data[4:]))
    return winebed.RegValue(type_, unquote(data))


def by_driver_installation(operations: list[Operation], identity: str) -> bool:
    """What SetupAPI itself writes while a logged driver installation runs
    (docs/wine-notes.md, Devices): the precompiled INF beside the copied INF,
    and service values beyond those the installer writes."""
    installed = any(op.name == "UpdateDriverForPlugAndPlayDevicesA" and op.result == "TRUE"
                    for op in operations)
    return installed and bool(re.fullmatch(r"c:\\windows\\inf\\[^\\]+\.pnf", identity) or
                              identity.startswith("hklm\\system\\currentcontrolset\\services\\rundavek\\"))


def prepare(machine: winebed.Machine) -> None:
    """The suite's setup has copied the application and the component files,
    the CD is in drive D:, and one target is in use."""
    machine.add_cdrom("d", CD)
    machine.mkdir(APP_DIR)
    machine.write(APP_DIR + "\\HISTORY.TXT", "Release notes of the previous version.\r\n")
    machine.install_payload()
    machine.mkdir(LOG_DIR)
    machine.mkdir(LOCKED)


def test_log_changes_nothing_else_and_names_every_effect_in_order(new_machine, family):
    runs = {}
    for logged in (False, True):
        machine = new_machine(family)
        prepare(machine)
        before = machine.snapshot()
        result = machine.run_installer(APP_DIR, "Korvanta", env={VARIABLE: LOG} if logged else None)
        after = machine.snapshot()
        runs[logged] = (machine, result, before.diff(after).changes, after)

    plain, logged = runs[False], runs[True]
    machine, result, changes, after = logged
    assert result.exit_code == plain[1].exit_code == 0
    assert result.boxes == plain[1].boxes
    assert LOCKED_MESSAGE in [box.text for box in result.boxes]
    assert not plain[0].exists(LOG)
    own = [change for change in changes if change.path.lower() == LOG.lower()]
    assert [(c.kind, c.change) for c in own] == [("file", "added")]
    assert [change for change in changes if change not in own] == plain[2]

    lines, operations = parse_log(machine.read(LOG))
    exe = winebed.SETUP_DIR + "\\" + winebed.INSTALLER_NAME
    assert lines[0].startswith(f"==== korvanta-sysinstall {winebed.product_version()} action log, started ")
    assert lines[1:3] == [f'==== executable "{exe}"',
                          f'==== command line """{exe}"" ""{APP_DIR}"" Korvanta"']
    assert lines[3].startswith(f"==== platform id {1 if family == '9x' else 2}, version ")
    # The 9x family's dwBuildNumber carries the version in its high word; the log shows the build.
    assert int(re.search(r", build ([0-9]+) ", lines[3]).group(1)) < 0x10000
    assert lines[4].startswith('==== SourceDir "' + winebed.SETUP_DIR + '\\"')
    kernel = "InstallKernel9x" if family == "9x" else "InstallKernelNt"
    assert [line[5:] for line in lines if line.startswith("---- ")] == \
        [stage.format(kernel=kernel) for stage in STAGES]
    assert lines[-1] == "==== exit code 0"
    assert [op.number for op in operations] == list(range(1, len(operations) + 1))

    # Wine's 32-bit prefix is no WOW64, and its token holds the Administrators
    # group (on the NT family; the 9x family has no such check).
    checks = [(op.name, op.args[-1], op.result) for op in operations
              if op.name in ("IsWow64Process", "CheckTokenMembership")]
    assert checks == [("IsWow64Process", "->FALSE", "TRUE")] + \
        ([] if family == "9x" else [("CheckTokenMembership", "->TRUE", "TRUE")])

    # Every library by its full path in the system folder, never left to a
    # search that would look beside the installer first.
    loaded = [text(op.args[0]) for op in operations if op.name == "LoadLibraryExA"]
    assert loaded and all(path.lower().startswith("c:\\windows\\system32\\") for path in loaded), loaded

    # Every box, with its caption and text, in the order shown.
    assert [(text(op.args[2]), text(op.args[1])) for op in operations if op.name == "MessageBoxA"] == \
        [(box.caption, box.text) for box in result.boxes]

    # Every file copied: each logged copy holds its source's bytes, and every
    # file the run added or changed was copied (or is a profile file written,
    # or SetupAPI's own).
    copied = {text(op.args[1]).lower(): text(op.args[0]) for op in operations
              if op.name == "CopyFileA" and op.result == "TRUE"}
    profiles = {("C:\\windows\\" + text(op.args[3])).lower() for op in operations
                if op.name.startswith("WritePrivateProfile") and op.result == "TRUE"}
    for target, source in copied.items():
        assert machine.read(target) == machine.read(source), target
    added_files = {change.path.lower() for change in changes
                   if change.kind == "file" and change.change != "removed"
                   and after.files[change.path.lower()][1].kind == "file"} - {LOG.lower()}
    unexplained = {path for path in added_files - copied.keys() - profiles
                   if not by_driver_installation(operations, path)}
    assert not unexplained
    deleted = {text(op.args[0]).lower() for op in operations if op.name == "DeleteFileA" and op.result == "TRUE"}
    assert {c.path.lower() for c in changes if c.kind == "file" and c.change == "removed"} == deleted

    # Every value written: the last write of each value is what the registry
    # holds, and every value the run added or changed was written (the
    # delayed renames are MoveFileExA's).
    written = {}
    for op in operations:
        if op.name == "RegSetValueExA" and op.result == "ERROR_SUCCESS":
            key = key_path(op.args[0])
            written[(winebed._key_id(key), text(op.args[1]).lower())] = (key, text(op.args[1]),
                                                                         register_value(op.args[3], op.args[4]))
        elif op.name == "RegDeleteValueA" and op.result == "ERROR_SUCCESS":
            # The copy of Enum\Root's list, kept only while the grant stands.
            written.pop((winebed._key_id(key_path(op.args[0])), text(op.args[1]).lower()))
    registry = machine.reg_dump(*sorted({key for key, _, _ in written.values()}))
    for key, name, value in written.values():
        assert registry.value(key, name) == value, (key, name)
    moves = [op for op in operations if op.name == "MoveFileExA" and op.result == "TRUE"]
    changed_values = {(winebed._key_id(c.path), c.name.lower()) for c in changes
                      if c.kind == "value" and c.change != "removed"}
    if moves:
        changed_values.discard((winebed._key_id(winebed.SESSION_MANAGER_KEY), "pendingfilerenameoperations"))
    unexplained = {value for value in changed_values - written.keys()
                   if not by_driver_installation(operations, "\\".join(value))}
    assert not unexplained


def test_two_runs_append_two_logs(machine):
    machine.install_payload(names=[])
    machine.mkdir(LOG_DIR)

    first = machine.run_installer(env={VARIABLE: LOG})
    one = machine.read(LOG)
    second = machine.run_installer(env={VARIABLE: LOG})
    both = machine.read(LOG)

    assert (first.exit_code, second.exit_code) == (0, 0)
    assert both.startswith(one) and len(both) > len(one)
    for data in (one, both[len(one):]):
        lines, operations = parse_log(data)
        assert lines[0].startswith(f"==== korvanta-sysinstall {winebed.product_version()} action log, started ")
        assert sum(line.startswith("==== korvanta-sysinstall ") for line in lines) == 1
        assert lines[-1] == "==== exit code 0"
        assert [op.number for op in operations] == list(range(1, len(operations) + 1))


# The manifest names the Windows versions the installer supports: without it
# Windows 8.1 and 10 report 6.2, and so does Wine 8.0, which tells a
# manifested program apart as Windows does.
@pytest.mark.parametrize("wine_version, reported", [("win81", "6.3, build 9600"), ("win10", "10.0, build ")])
def test_the_header_names_the_real_version(new_machine, wine_version, reported):
    machine = new_machine("nt")
    machine.wine("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", wine_version, "/f")
    machine.install_payload(names=[])
    machine.mkdir(LOG_DIR)

    assert machine.run_installer(env={VARIABLE: LOG}).exit_code == 0

    lines, _ = parse_log(machine.read(LOG))
    assert lines[3].startswith(f"==== platform id 2, version {reported}"), lines[3]


def test_on_a_window_station_nobody_sees_no_box_is_shown_and_the_log_names_it(new_machine):
    # As a deployment tool runs setup as SYSTEM; the suite's application is
    # running, so the run would show the guard's box and end.
    machine = new_machine("nt")
    machine.install_payload(names=[])
    machine.mkdir(LOG_DIR)

    with machine.start_named_process("C:\\Suite\\TAV.EXE"):
        result = machine.run_installer(env={VARIABLE: LOG, "WINEBED_WINDOW_STATION": "Service-0x0-3e7$"},
                                       timeout=60)

    assert (result.exit_code, result.boxes) == (0, [])
    lines, operations = parse_log(machine.read(LOG))
    assert '==== box not shown, the window station is not visible: "Korvanta Installation" ' \
           '"Please close your software, restart your machine and run setup again !"' in lines
    assert "MessageBoxA" not in [op.name for op in operations]
    flags = [op for op in operations if op.name == "GetUserObjectInformationA"]
    assert [op.result for op in flags] == ["TRUE"]


def test_log_in_a_missing_folder_changes_nothing_and_shows_nothing(machine, baseline_changes):
    machine.install_payload(names=[])
    before = machine.snapshot()

    result = machine.run_installer(env={VARIABLE: LOG_DIR + "\\no such folder\\sysinstall.log"})

    assert (result.exit_code, result.boxes) == (0, [])
    assert before.diff(machine.snapshot()).changes == baseline_changes(machine.family)
    assert not machine.exists(LOG_DIR)


def test_a_log_that_is_a_second_name_of_another_file_is_not_kept(machine, baseline_changes):
    """A user who can write to the log's folder links the log's name to a
    file of the system (a hard link): on the NT family the run keeps no log
    and leaves that file alone; the 9x family has no hard links and does not
    ask."""
    machine.install_payload(names=[])
    machine.mkdir(LOG_DIR)
    victim = "C:\\windows\\victim.ini"
    machine.write(victim, b"[boot]\r\n")
    os.link(machine.path(victim), machine.path(LOG))

    result = machine.run_installer(env={VARIABLE: LOG})

    assert (result.exit_code, result.boxes) == (0, [])
    if machine.family == "nt":
        assert machine.read(victim) == b"[boot]\r\n"
    else:
        assert machine.read(victim).startswith(b"[boot]\r\n==== korvanta-sysinstall ")
