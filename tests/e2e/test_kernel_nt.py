"""The real-time kernel on the NT family under Wine, end to end: the driver and
its INF, the root device ROOT\\REALTIME\\0000, the 29 values byte for byte, and
the access list of Enum\\Root as it was before the run.

Wine keeps a key's access list only in the running session, so it is read
before and after the run in the same one. The run leaves out the other stages'
files; what other stages change whatever lies beside the installer is told
apart by the control run on a fresh machine (baseline_changes).
"""

import shutil

import pytest
import winebed
from winebed import RegValue

FILES = ["RUNDAVEK.SYS", "RUNDAVEK.INF"]
DRIVER = "C:\\windows\\system32\\drivers\\RUNDAVEK.SYS"
INF = "C:\\windows\\inf\\RUNDAVEK.INF"
ENUM_ROOT = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root"
GUID = "{3E36E96C-E325-12CE-BFC1-07002BE10326}"
CLASS = f"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{GUID}"
INSTANCE = ENUM_ROOT + "\\REALTIME\\0000"
SERVICE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK"
DEVICE = "ROOT\\REALTIME\\0000"
HARDWARE_ID = "*korvanta\\rundavek"

# The 29 values: (key, name, value), in the order written.
VALUES = [
    (CLASS, "", RegValue.sz("Korvanta AudioEngine")),
    (CLASS, "Class", RegValue.sz("REALTIME")),
    (CLASS, "Icon", RegValue.sz("0")),
    (CLASS + "\\0000", "InfPath", RegValue.sz("rundavek.inf")),
    (CLASS + "\\0000", "InfSection", RegValue.sz("RUNDAVEK")),
    (CLASS + "\\0000", "InfSectionExt", RegValue.sz(".NTx86")),
    (CLASS + "\\0000", "ProviderName", RegValue.sz("KORVANTA")),
    (CLASS + "\\0000", "MatchingDeviceId", RegValue.sz(HARDWARE_ID)),
    (CLASS + "\\0000", "DriverDesc", RegValue.sz("KORVANTA Realtime Audio Kernel")),
    (INSTANCE, "ClassGUID", RegValue.sz(GUID)),
    (INSTANCE, "HardwareID", RegValue(winebed.REG_MULTI_SZ, b"*korvanta\\rundavek\0\0")),  # 20 bytes
    (INSTANCE, "FriendlyName", RegValue.sz("Korvanta Realtime Audio Kernel")),
    (INSTANCE, "Class", RegValue.sz("REALTIME")),
    (INSTANCE, "Mfg", RegValue.sz("KORVANTA")),
    (INSTANCE, "Service", RegValue.sz("RUNDAVEK")),
    (INSTANCE, "DeviceDesc", RegValue.sz("Korvanta Realtime Audio Kernel")),
    (INSTANCE, "ConfigFlags", RegValue.dword_value(0)),
    (INSTANCE, "Capabilities", RegValue.dword_value(0)),
    (INSTANCE, "Driver", RegValue.sz(GUID + "\\0000")),
    (INSTANCE + "\\Device Parameters", "", RegValue.sz("")),
    (INSTANCE + "\\LogConf", "", RegValue.sz("")),
    (INSTANCE + "\\Control", "ActiveService", RegValue.sz("RUNDAVEK")),
    (SERVICE, "Type", RegValue.dword_value(1)),
    (SERVICE, "Start", RegValue.dword_value(0)),
    (SERVICE, "ErrorControl", RegValue.dword_value(1)),
    (SERVICE, "ImagePath", RegValue(winebed.REG_EXPAND_SZ, b"system32\\drivers\\rundavek.sys\0")),  # 30 bytes
    (SERVICE + "\\Enum", "0", RegValue.sz("Root\\REALTIME\\0000")),
    (SERVICE + "\\Enum", "Count", RegValue.dword_value(1)),
    (SERVICE + "\\Enum", "NextInstance", RegValue.dword_value(1)),
]
OWN_KEYS = (CLASS, ENUM_ROOT + "\\REALTIME", SERVICE)


def is_own(change: winebed.Change) -> bool:
    """A change this stage or the device installation it asks for makes."""
    path = change.path.lower()
    if change.kind == "file":
        return path in (DRIVER.lower(), INF.lower(), "c:\\windows\\inf\\rundavek.pnf")
    return any(path == key.lower() or path.startswith(key.lower() + "\\") for key in OWN_KEYS)


def access_list(machine: winebed.Machine) -> str:
    """The access list of Enum\\Root with its flags, as SDDL. Wine gives a key
    that never had a descriptor of its own the token's owner and group once
    any part of its descriptor is set (Windows leaves them), so only the list
    is compared."""
    sddl = machine.key_security(ENUM_ROOT)
    assert "D:" in sddl, sddl
    return sddl[sddl.index("D:"):]


def assert_values(machine: winebed.Machine) -> None:
    tree = machine.reg_dump(CLASS, INSTANCE, SERVICE)
    for key, name, value in VALUES:
        assert tree.value(key, name) == value, f"{key} : {name!r} is {tree.value(key, name)}"
    for key in ("\\Device Parameters", "\\LogConf"):
        assert tree.values_of(INSTANCE + key) == {"": RegValue.sz("")}


def assert_only_the_installers_values(machine: winebed.Machine) -> None:
    """No driver was installed by SetupAPI: the instance and service keys hold
    exactly the installer's values, under the installer's spelling (a node
    Wine registers names its id list "HardwareId", and its driver installation
    adds DisplayName and more to the service and a .pnf beside the INF)."""
    tree = machine.reg_dump(INSTANCE, SERVICE)
    for key in (INSTANCE, SERVICE):
        assert sorted(tree.values_of(key)) == sorted(name for k, name, _ in VALUES if k == key), key
    assert not machine.exists("C:\\windows\\inf\\RUNDAVEK.pnf")


@pytest.fixture
def nt(new_machine) -> winebed.Machine:
    return new_machine("nt")


@pytest.fixture
def assert_only_own_changes(baseline_changes):
    """Every change since `before`, apart from those the control run makes
    outside this stage, is one of this stage's."""

    def check(machine: winebed.Machine, before) -> None:
        foreign = [change for change in baseline_changes("nt") if not is_own(change)]
        stray = [change for change in before.diff(machine.snapshot()).changes
                 if change not in foreign and not is_own(change)]
        assert stray == [], "\n".join(str(change) for change in stray)

    return check


def test_driver_device_and_values_are_in_place_and_enum_root_is_as_before(nt, assert_only_own_changes):
    nt.install_payload(names=FILES)
    list_before = access_list(nt)
    devices_before = nt.present_devices()
    before = nt.snapshot()

    result = nt.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    payload = winebed.payload_dir()
    assert nt.read(DRIVER) == (payload / "RUNDAVEK.SYS").read_bytes()
    assert nt.read(INF) == (payload / "RUNDAVEK.INF").read_bytes()
    assert_values(nt)
    # The device carries the id; the system's own devices are all still there.
    assert nt.reg_value(INSTANCE, "HardwareID").strings == [HARDWARE_ID]
    assert sorted(nt.present_devices()) == sorted(devices_before + [DEVICE])
    assert access_list(nt) == list_before
    assert_only_own_changes(nt, before)


def test_a_second_run_creates_no_second_device(nt):
    nt.install_payload(names=FILES)
    list_before = access_list(nt)
    devices_before = nt.present_devices()

    for _ in range(2):
        result = nt.run_installer()
        assert (result.exit_code, result.boxes) == (0, [])

    assert sorted(nt.present_devices()) == sorted(devices_before + [DEVICE])
    assert nt.reg_dump(ENUM_ROOT + "\\REALTIME").subkeys(ENUM_ROOT + "\\REALTIME") == ["0000"]
    assert_values(nt)
    assert access_list(nt) == list_before


def test_a_failed_driver_update_removes_the_new_node_and_the_values_are_still_written(nt):
    nt.install_payload(names=FILES)
    # In place of Wine's own: the installer loads NewDev.dll from the system
    # folder and from nowhere else.
    shutil.copyfile(winebed.windows_build_dir() / "winebed" / "newdev" / "newdev.dll",
                    nt.path("C:\\windows\\system32\\newdev.dll"))
    list_before = access_list(nt)

    result = nt.run_installer(dll_overrides="newdev=n,b")

    assert (result.exit_code, result.boxes) == (0, [])
    assert_values(nt)
    # The node Wine registered was removed again before the writes.
    assert_only_the_installers_values(nt)
    assert access_list(nt) == list_before


def test_without_driver_and_inf_nothing_is_copied_and_the_values_are_still_written(nt, assert_only_own_changes):
    nt.install_payload(names=[])
    list_before = access_list(nt)
    before = nt.snapshot()

    result = nt.run_installer()

    assert (result.exit_code, result.boxes) == (0, [])
    assert not nt.exists(DRIVER) and not nt.exists(INF)
    assert_values(nt)
    assert access_list(nt) == list_before
    # Without the INF the installation fails before it creates a node.
    assert_only_the_installers_values(nt)
    assert_only_own_changes(nt, before)
