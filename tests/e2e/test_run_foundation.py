"""The installation run under Wine, end to end: how it starts and ends on a
machine whose setup folder holds the installer alone. (The error box of a
failed profile write is proven with the system preparation.)"""

import pytest

SYSTEM_INI = "C:\\windows\\system.ini"
ASPI_SERVICE = "HKLM\\System\\CurrentControlSet\\Services\\Aspi32"

# What the stages built so far change when no component file lies beside the
# installer. Each stage that writes something regardless of its files adds its
# entries here.
CHANGES_WITHOUT_COMPONENT_FILES = {
    # The NT ASPI layer's service values (on 9x Wine's own WNASPI32.DLL counts
    # as a layer already there).
    "nt": {"values": {**{(ASPI_SERVICE, name): "added"
                         for name in ("Type", "Start", "Undoable", "ErrorControl", "MatchFlags")},
                      (ASPI_SERVICE + "\\Parameters", "ExcludeMiniports"): "added"}},
    "9x": {"profiles": {(SYSTEM_INI, "VCache", "MinFileCache"): "added",
                        (SYSTEM_INI, "VCache", "MaxFileCache"): "added"}},
}


@pytest.mark.parametrize("arguments", [(), ("C:\\Program Files\\Korvanta", "Korvanta")],
                         ids=["no-arguments", "two-arguments"])
def test_installer_alone_ends_silently_with_exit_code_0(machine, arguments):
    machine.install_payload(names=[])
    if arguments:
        machine.mkdir(arguments[0])
    before = machine.snapshot()

    result = machine.run_installer(*arguments)

    assert result.exit_code == 0
    assert result.boxes == []
    before.diff(machine.snapshot()).assert_changes(**CHANGES_WITHOUT_COMPONENT_FILES[machine.family])

