"""The installation run under Wine, end to end: how it starts and ends on a
machine whose setup folder holds the installer alone. (The error box of a
failed profile write is proven with the system preparation.)"""

import shutil

import pytest

import winebed

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



# The libraries the installer loads at run time, each planted where a search
# for its bare name would look: the setup folder (the program's own), the
# current folder (C:\, where the bed starts programs) and a folder on PATH. A
# planted copy leaves "<its path>.loaded" when loaded. setupapi.dll is no
# KnownDLL before Vista: bound at load time, the copy beside the installer ran
# before any of its code.
PLANTED_NAMES = ("NewDev.dll", "PSAPI.DLL", "setupapi.dll")
ON_PATH = "C:\\on-path"
PLANTED = [f"{folder}\\{name}" for folder in (winebed.SETUP_DIR, "C:", ON_PATH) for name in PLANTED_NAMES]
SYSTEM_DIR = "C:\\windows\\system32"
DEVICE = "ROOT\\REALTIME\\0000"


def traces(machine) -> list[str]:
    return [path for path in PLANTED if machine.exists(path + ".loaded")]


@pytest.mark.parametrize("family, system_has_them", [("nt", True), ("nt", False), ("9x", False)],
                         ids=["nt-system-has-them", "nt-system-has-none", "9x-system-has-none"])
def test_libraries_are_loaded_from_the_system_folder_only(new_machine, family, system_has_them):
    machine = new_machine(family)
    # With the system's own libraries the NT run installs its device.
    installs_device = family == "nt" and system_has_them
    machine.install_payload(names=["RUNDAVEK.SYS", "RUNDAVEK.INF"] if installs_device else [])
    machine.mkdir(ON_PATH)
    planted = winebed.windows_build_dir() / "winebed" / "planted" / "planted.dll"
    for path in PLANTED:
        shutil.copyfile(planted, machine.path(path))
    # A native copy wins over Wine's built-in one wherever a search finds it;
    # without the system's own files only native copies are left to load.
    if system_has_them:
        overrides = "newdev,psapi,setupapi=n,b"
    else:
        overrides = "newdev,psapi,setupapi=n"
        for name in PLANTED_NAMES:
            machine.remove(f"{SYSTEM_DIR}\\{name}")
    env = {"WINEPATH": ON_PATH}

    # The traces work, and where the system has none a search for the bare
    # name reaches a planted copy (from the bed's tool folder, the current
    # folder comes first).
    loadlib = winebed.dos_path(winebed.tool("loadlib"))
    for name in PLANTED_NAMES:
        assert machine.run(loadlib, f"{ON_PATH}\\{name}", dll_overrides=overrides, env=env).exit_code == 0
    assert traces(machine) == [f"{ON_PATH}\\{name}" for name in PLANTED_NAMES]
    if not system_has_them:
        machine.run(loadlib, "NewDev.dll", dll_overrides=overrides, env=env)
        assert "C:\\NewDev.dll" in traces(machine)
    for path in traces(machine):
        machine.remove(path + ".loaded")
    devices_before = machine.present_devices() if installs_device else []

    result = machine.run_installer(dll_overrides=overrides, env=env)

    assert (result.exit_code, result.boxes) == (0, [])
    assert traces(machine) == []
    if installs_device:
        assert sorted(machine.present_devices()) == sorted(devices_before + [DEVICE])


@pytest.fixture(scope="module")
def wow64_template(installer):
    """64-bit prefixes, in which the shipped 32-bit build runs under WOW64."""
    if winebed.wine_arch()[0] != "win32":
        pytest.skip("this machine cannot execute 32-bit code: its 64-bit test build does not run "
                    "under WOW64 (proven on the simulated machine only)")
    built = winebed.Template.build(spares=False, arch="win64")
    yield built
    built.cleanup()


def test_under_wow64_the_run_refuses_at_once_and_changes_nothing(wow64_template):
    with wow64_template.new_machine("nt") as machine:
        machine.install_payload()
        machine.add_real_windows_layout("nt")
        before = machine.snapshot()

        result = machine.run_installer("C:\\Program Files\\Korvanta", "Korvanta")

        assert result.exit_code == 1
        assert [(box.caption, box.text) for box in result.boxes] == [
            ("Korvanta Installation", "This software requires a 32-bit version of Windows !")]
        assert not before.diff(machine.snapshot()), "the refused run changed the machine"


def test_without_administrator_rights_the_nt_run_refuses_and_changes_nothing(new_machine):
    machine = new_machine("nt")
    machine.install_payload()
    machine.add_real_windows_layout("nt")
    before = machine.snapshot()

    result = machine.run_installer("C:\\Program Files\\Korvanta", "Korvanta", administrator=False)

    assert result.exit_code == 1
    assert [(box.caption, box.text) for box in result.boxes] == [
        ("Korvanta Installation", "Please run setup as an administrator !")]
    assert not before.diff(machine.snapshot()), "the refused run changed the machine"


def test_an_nt_system_in_a_9x_compatibility_mode_is_refused_and_changes_nothing(new_machine):
    # A win98 prefix given the variable: GetVersionExA reports the 9x family,
    # as it does on XP and later in the "Windows 98 / Me" mode, which sets it.
    machine = new_machine("9x")
    machine.install_payload()
    machine.add_real_windows_layout("9x")
    before = machine.snapshot()

    result = machine.run_installer("C:\\Program Files\\Korvanta", "Korvanta", env={"__COMPAT_LAYER": "WIN98"})

    assert result.exit_code == 1
    assert [(box.caption, box.text) for box in result.boxes] == [
        ("Korvanta Installation", "Please run setup without a compatibility mode !")]
    assert not before.diff(machine.snapshot()), "the refused run changed the machine"
