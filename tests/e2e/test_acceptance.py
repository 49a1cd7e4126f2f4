"""Acceptance of the whole run under Wine, both families: setup folders with
no component files and with only some of them, and a second run after the
restart, each compared with the complete expected list (written from the
behaviour's tables in tests/compat/compat.py, never from the product's) and
with nothing else changed. The full payload on every Windows version is the
version matrix's (scripts/compat)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "compat"))

import compat  # noqa: E402

VERSIONS = {version.wine: version for version in compat.VERSIONS}
FAMILY_VERSION = {"nt": VERSIONS["winxp"], "9x": VERSIONS["win98"]}

PAYLOADS = {
    "empty": set(),
    # The engine's library without its program (no Run value, no settings),
    # one ASPI row per family, the kernel with its INF, one USB file.
    "some": {"RUNDAVEK.DLL", "WNASPI32.NT", "WNASPI32.9x", "RUNDAVEK.SYS", "RUNDAVEK.VXD", "RUNDAVEK.INF",
             "PX_USB.INF"},
    # The engine's program alone, the other ASPI rows, no INF (no device, no
    # 9x kernel values), the USB driver files.
    "others": {"RUNDAVEK.EXE", "ASPI32.NT", "WINASPI.NT", "WOWPOST.NT", "WINASPI.9x", "ASPIENUM.9x",
               "APIX.9x", "TALMUREN.DLL", "FTD2XX.DLL", "FTD2XXUN.EXE", "FTD2XX.SYS", "MAYA51USB.INF"},
}


def assert_row_passes(row: compat.Row) -> None:
    assert row.passed, "\n".join(row.problems)


@pytest.mark.parametrize("payload", sorted(PAYLOADS))
def test_a_partial_setup_folder_changes_exactly_what_its_files_call_for(template, family, payload):
    version = FAMILY_VERSION[family]
    present = PAYLOADS[payload]
    with compat._prepare(template, version, names=sorted(present)) as machine:
        before = compat._snapshot(machine, version)
        result = machine.run_installer(compat.APP, compat.MANUAL)
        assert (result.exit_code, result.boxes) == (0, [])
        row = compat.Row(version.wine, "Wine")
        compat._compare_install(version, before, compat._snapshot(machine, version), machine, row,
                                compat.expected_for(version, present))
        assert_row_passes(row)


def test_a_second_run_after_the_restart_changes_only_the_engines_staging(template, family):
    version = FAMILY_VERSION[family]
    with compat._prepare(template, version) as machine:
        assert machine.run_installer(compat.APP, compat.MANUAL).exit_code == 0
        machine.restart()
        before = compat._snapshot(machine, version)
        result = machine.run_installer(compat.APP, compat.MANUAL)
        assert (result.exit_code, result.boxes) == (0, [])
        after = compat._snapshot(machine, version)

        # The ASPI layer is in place now, so it is left alone; the engine is
        # staged and scheduled again; every value is written again, unchanged.
        staged = {compat.SYS + "\\RUNDAVEK.DL": "RUNDAVEK.DLL", compat.SYS + "\\RUNDAVEK.EX": "RUNDAVEK.EXE"}
        files = {path: "added" for path in staged}
        values, profiles = {}, {}
        if family == "nt":
            values = {(compat.winebed.SESSION_MANAGER_KEY, "PendingFileRenameOperations"): "added"}
            assert [(r.source.lower(), r.target.lower()) for r in after.pending_renames()] == \
                [(a.lower(), b.lower()) for a, b in compat.ENGINE_RENAMES]
        else:
            # The restart renamed Wininit.ini to wininit.bak; the run writes a new one.
            files[compat.WIN + "\\wininit.ini"] = "added"
            profiles = {(compat.WIN + "\\wininit.ini", "rename", target): "added"
                        for _, target in compat.ENGINE_RENAMES}
        before.diff(after).assert_changes(files=files, values=values, profiles=profiles)
        for path, source in staged.items():
            assert machine.path(path).read_bytes() == compat._source_bytes(source)


def test_two_runs_before_one_restart_leave_what_one_run_leaves(template, family):
    """The suite's setup may start the installer again before the restart (a
    repair). The replacements are then pending once, not twice; after the
    restart every final name holds the payload and every backup what stood
    there before the first run (on NT, Wine's WNASPI32.DLL)."""
    version = FAMILY_VERSION[family]
    renames = compat.NT_RENAMES if family == "nt" else compat.NINE_X_RENAMES
    files = compat.NT_FILES if family == "nt" else compat.NINE_X_FILES
    with compat._prepare(template, version) as machine:
        backups = {backup: machine.read(final) if machine.exists(final) else None
                   for final, backup in renames if backup.endswith(".OLD")}
        for _ in range(2):
            result = machine.run_installer(compat.APP, compat.MANUAL)
            assert (result.exit_code, result.boxes) == (0, [])

        if family == "nt":
            pending = [(r.source.lower(), r.target.lower()) for r in machine.pending_renames()]
        else:
            pending = [(source.lower(), target.lower()) for target, source in machine.wininit_renames()]
        assert pending == [(a.lower(), b.lower()) for a, b in renames]

        machine.restart()
        for staged, final in renames:
            if final.endswith(".OLD"):
                continue
            assert machine.read(final) == compat._source_bytes(files[staged]), final
            assert not machine.exists(staged), staged
        for backup, before in backups.items():
            assert (machine.read(backup) if machine.exists(backup) else None) == before, backup


# What /uninstall leaves as the installation made it, by a part of the
# change's path (letter case aside), and why.
UNINSTALL_KEEPS = {
    "ASPI": "the ASPI layer: other programs use it",
    "APIX": "the ASPI layer: other programs use it",
    "WOWPOST": "the ASPI layer: other programs use it",
    "MAYA51USB.INF": "the USB support files: the maker's other devices use them",
    "PX_USB.INF": "the USB support files: the maker's other devices use them",
    "FTD2XX": "the USB support files: the maker's other devices use them",
    "VCACHE": "the disk-cache setting",
    ".OLD": "files set aside",
    "WININIT.BAK": "Windows 9x's copy of the list its last restart carried out",
    "HKCU\\": "per-user settings (the installation reset the engine's)",
}


@pytest.mark.parametrize("engine", ["stopped", "running"])
def test_install_restart_uninstall_restart_leaves_the_machine_as_before_but_for_what_stays(
        template, family, engine):
    version = FAMILY_VERSION[family]
    program = compat.SYS + "\\RUNDAVEK.EXE"
    with compat._prepare(template, version) as machine:
        before = compat._snapshot(machine, version)
        assert machine.run_installer(compat.APP, compat.MANUAL).exit_code == 0
        machine.restart()
        if engine == "running":
            # The engine's program is held: it goes at the restart.
            with machine.hold_lock(program):
                result = machine.run_installer("/uninstall")
            assert (result.exit_code, result.boxes) == (0, [])
            assert machine.exists(program)
            if family == "nt":
                assert [(r.source.lower(), r.target) for r in machine.pending_renames()] == \
                    [(program.lower(), "")]
            else:
                assert [(t.upper(), s.lower()) for t, s in machine.wininit_renames()] == \
                    [("NUL", program.lower())]
        else:
            result = machine.run_installer("/uninstall")
            assert (result.exit_code, result.boxes) == (0, [])
        machine.restart()
        assert not machine.exists(program)
        after = compat._snapshot(machine, version)
        kept_app = compat.APP.upper()
        # System.ini as a file holds the disk-cache setting (its entries are
        # compared one by one); a real Windows 9x always has Services\Class,
        # which Wine's prefix lacks and the installation made.
        kept_exactly = {("file", "C:\\WINDOWS\\SYSTEM.INI"),
                        ("key", "HKLM\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS")}
        left = [change for change in before.diff(after).changes
                if kept_app not in str(change).upper()
                and (change.kind, change.path.upper()) not in kept_exactly
                and not any(part in str(change).upper() for part in UNINSTALL_KEEPS)]
        assert not left, "\n".join(map(str, left))
        # A second uninstall finds nothing and changes nothing.
        again = machine.run_installer("/uninstall")
        assert (again.exit_code, again.boxes) == (0, [])
        assert not after.diff(compat._snapshot(machine, version))
