"""The installation run under Wine, end to end: how it starts and ends on a
machine whose setup folder holds the installer alone. (The error box of a
failed profile write is proven with the system preparation.)"""

import pytest

SYSTEM_INI = "C:\\windows\\system.ini"
ASPI_SERVICE = "HKLM\\System\\CurrentControlSet\\Services\\Aspi32"

_GUID = "{3E36E96C-E325-12CE-BFC1-07002BE10326}"
_CLASS = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + _GUID
_INSTANCE = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000"
_SERVICE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK"
# The real-time kernel's 29 values.
KERNEL_NT_VALUES = {
    _CLASS: ["", "Class", "Icon"],
    _CLASS + "\\0000": ["InfPath", "InfSection", "InfSectionExt", "ProviderName", "MatchingDeviceId",
                        "DriverDesc"],
    _INSTANCE: ["ClassGUID", "HardwareID", "FriendlyName", "Class", "Mfg", "Service", "DeviceDesc",
                "ConfigFlags", "Capabilities", "Driver"],
    _INSTANCE + "\\Device Parameters": [""],
    _INSTANCE + "\\LogConf": [""],
    _INSTANCE + "\\Control": ["ActiveService"],
    _SERVICE: ["Type", "Start", "ErrorControl", "ImagePath"],
    _SERVICE + "\\Enum": ["0", "Count", "NextInstance"],
}

# What the stages built so far change when no component file lies beside the
# installer. Each stage that writes something regardless of its files adds its
# entries here.
CHANGES_WITHOUT_COMPONENT_FILES = {
    # The NT ASPI layer's service values (on 9x Wine's own WNASPI32.DLL counts
    # as a layer already there) and the real-time kernel's 29 values.
    "nt": {"values": {**{(ASPI_SERVICE, name): "added"
                         for name in ("Type", "Start", "Undoable", "ErrorControl", "MatchFlags")},
                      (ASPI_SERVICE + "\\Parameters", "ExcludeMiniports"): "added",
                      **{(key, name): "added" for key, names in KERNEL_NT_VALUES.items() for name in names}}},
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

