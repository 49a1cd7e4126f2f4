"""The sample payload: every component file the installer places is there,
and its kernel INF is one that Wine's SetupAPI installs."""

from pathlib import Path

import winebed
from winebed import RegValue, dos_path, tool

COMPONENT_FILES = {
    "RUNDAVEK.VXD", "TALMUREN.DLL", "RUNDAVEK.INF", "RUNDAVEK.SYS", "RUNDAVEK.DLL", "RUNDAVEK.EXE",
    "WNASPI32.9x", "WINASPI.9x", "ASPIENUM.9x", "APIX.9x", "ASPI32.NT", "WNASPI32.NT", "WINASPI.NT",
    "WOWPOST.NT", "MAYA51USB.INF", "PX_USB.INF", "FTD2XX.DLL", "FTD2XXUN.EXE", "FTD2XX.SYS",
}
CD = Path(__file__).resolve().parents[2] / "examples" / "cd"


def test_payload_and_cd_hold_every_file_by_its_exact_name():
    assert {p.name for p in winebed.payload_dir().iterdir()} == COMPONENT_FILES
    assert sorted(str(p.relative_to(CD)) for p in CD.rglob("*") if p.is_file()) == [
        "DATA/DOC/Korvanta-de.pdf", "DATA/DOC/Korvanta-en.pdf", "OEM/TAVOEM.DLL"]


def test_kernel_inf_installs_a_root_device_with_its_service(new_machine):
    machine = new_machine("nt")
    machine.install_payload()
    enum = "HKLM\\System\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000"
    service = "HKLM\\System\\CurrentControlSet\\Services\\RUNDAVEK"

    result = machine.run(dos_path(tool("devinstall")), winebed.SETUP_DIR + "\\rundavek.inf", "*korvanta\\rundavek")

    assert (result.exit_code, result.boxes) == (0, []), result.output
    installed = machine.reg_dump(enum, service)
    assert installed.value(enum, "ClassGUID") == RegValue.sz("{3E36E96C-E325-12CE-BFC1-07002BE10326}")
    assert installed.value(enum, "Class") == RegValue.sz("REALTIME")
    assert installed.value(enum, "HardwareID") == RegValue.multi_sz("*korvanta\\rundavek")
    assert installed.value(enum, "Service") == RegValue.sz("RUNDAVEK")
    assert installed.value(service, "Type") == RegValue.dword_value(1)
    assert installed.value(service, "Start") == RegValue.dword_value(0)
    assert installed.value(service, "ImagePath").text.lower() == "c:\\windows\\system32\\drivers\\rundavek.sys"
    assert machine.read("C:\\windows\\system32\\drivers\\rundavek.sys") == \
        (winebed.payload_dir() / "RUNDAVEK.SYS").read_bytes()
