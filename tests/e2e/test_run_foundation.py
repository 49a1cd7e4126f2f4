"""The installation run under Wine, end to end: how it starts, ends and
reports, on a machine whose setup folder holds the installer alone."""

import re

import pytest

SYSTEM_INI = "C:\\windows\\system.ini"

# What the stages built so far change when no component file lies beside the
# installer. Each stage that writes something regardless of its files adds its
# entries here.
CHANGES_WITHOUT_COMPONENT_FILES = {
    "nt": {},
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


def test_unwritable_profile_ends_the_run_with_the_error_box(new_machine):
    # The one error the run raises: a profile value that cannot be written.
    # On the 9x family the first stage writes System.ini.
    machine = new_machine("9x")
    machine.install_payload()
    before = machine.snapshot()

    with machine.immutable(SYSTEM_INI):
        result = machine.run_installer()

    assert result.exit_code == 1
    assert len(result.boxes) == 1
    box = result.boxes[0]
    assert box.caption == "Application Error"
    assert box.buttons == (1,)
    assert re.fullmatch(r"Exception Exception in module korvanta-sysinstall\.exe at [0-9A-F]{8}\.\n"
                        r"Unable to write to System\.ini\.", box.text), box.text
    # No later stage ran, although every component file was there.
    before.diff(machine.snapshot()).assert_changes()

