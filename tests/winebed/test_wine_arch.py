"""The choice between the shipped 32-bit build in 32-bit prefixes and the
64-bit test build under wine64, and that the bed runs the build it chose."""

import os
import struct
import subprocess

import pytest

import winebed

PROBE = str(winebed.REPOSITORY / "scripts" / "wine-arch")
PE_MACHINES = {"win32": 0x014C, "win64": 0x8664}


def probe(**env):
    return subprocess.run([PROBE], capture_output=True, text=True, env={**os.environ, **env})


@pytest.mark.parametrize("arch", ["win32", "win64"])
def test_the_override_decides(arch):
    result = probe(KORVANTA_WINE_ARCH=arch)
    assert (result.returncode, result.stdout.split(" ")[0]) == (0, arch)


def test_an_unknown_override_is_refused_with_a_reason():
    result = probe(KORVANTA_WINE_ARCH="win16")
    assert result.returncode == 1 and "win16" in result.stderr and result.stdout == ""


def test_every_binary_the_bed_runs_matches_the_prefix_architecture():
    arch, _ = winebed.wine_arch()
    build = winebed.windows_build_dir()
    binaries = [winebed.installer_exe(), build / "contract_tests.exe", *sorted((build / "winebed").glob("*.exe"))]
    for binary in binaries:
        data = binary.read_bytes()[:4096]
        pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
        assert struct.unpack_from("<H", data, pe_offset + 4)[0] == PE_MACHINES[arch], binary
    assert len(binaries) > 3
