"""The release (scripts/release), signed with a throwaway key made here: the
exe rebuilds to the same bytes in another build folder, its version resource
says what CMakeLists.txt says, and the signed exe verifies, passes the import
and PE checks, and still runs the whole installation under Wine in both
families. No timestamp service is ever asked."""

import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pefile
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "compat"))

import compat  # noqa: E402
import winebed  # noqa: E402

ROOT = winebed.REPOSITORY
EXE = winebed.INSTALLER_NAME
ALLOW_LIST = ROOT / "src" / "platform" / "win32" / "imports.allow"
TOOLCHAIN = ROOT / "cmake" / "mingw-w64-i686.cmake"
VERSIONS = {version.wine: version for version in compat.VERSIONS}


def run(*command, **options):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, **options)


def clean_environment():
    # Both builds take the commit's time, as a vendor's two checkouts would.
    return {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}


@pytest.fixture(scope="module")
def key_pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("key")
    made = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
               "-subj", "/CN=Korvanta throwaway test key", "-addext", "extendedKeyUsage=codeSigning",
               "-keyout", folder / "key.pem", "-out", folder / "cert.pem")
    assert made.returncode == 0, made.stderr
    return folder / "key.pem", folder / "cert.pem"


@pytest.fixture(scope="module")
def release(key_pair, tmp_path_factory):
    """(the release folder, the build folder it built in)."""
    dist, build = tmp_path_factory.mktemp("dist"), ROOT / "build" / "release-test"
    result = run(ROOT / "scripts" / "release", "--sign", *key_pair,
                 env={**clean_environment(), "KORVANTA_DIST": str(dist), "KORVANTA_RELEASE_BUILD": str(build)})
    assert result.returncode == 0, result.stdout + result.stderr
    folder = dist / f"korvanta-sysinstall-{winebed.product_version()}"
    assert f"release: {folder}" in result.stdout
    return folder, build


def test_a_second_build_in_another_folder_gives_the_same_bytes(release):
    _, first = release
    # Another name and depth, so that a build path in the image would show.
    second = ROOT / "build" / "release-test-second" / "elsewhere"
    # From scratch, as the first: a folder left by an earlier run would only
    # be brought up to date.
    shutil.rmtree(second.parent, ignore_errors=True)
    for step in (["cmake", "-S", ROOT, "-B", second, "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}"],
                 ["cmake", "--build", second, "-j2", "--target", "korvanta-sysinstall"]):
        result = run(*step, env=clean_environment())
        assert result.returncode == 0, result.stdout + result.stderr

    assert (first / EXE).read_bytes() == (second / EXE).read_bytes()
    commit_time = int(run("git", "-C", ROOT, "log", "-1", "--format=%ct").stdout)
    assert pefile.PE(str(second / EXE), fast_load=True).FILE_HEADER.TimeDateStamp == commit_time


def test_the_version_resource_holds_the_cmake_version(release):
    folder, _ = release
    version = winebed.product_version()
    image = pefile.PE(str(folder / EXE))
    strings = {key.decode(): value.decode() for info in image.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for key, value in table.entries.items()}
    assert strings == {"CompanyName": "Korvanta", "ProductName": "Korvanta audio suite",
                       "FileDescription": "Korvanta system installer", "FileVersion": version,
                       "ProductVersion": version, "OriginalFilename": EXE,
                       "InternalName": "korvanta-sysinstall"}
    major, minor, patch = (int(part) for part in version.split("."))
    fixed = image.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == ((major << 16) | minor, patch << 16)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == ((major << 16) | minor, patch << 16)


def test_the_signed_exe_verifies_and_passes_the_import_and_pe_checks(release, key_pair, tmp_path):
    folder, build = release
    signed = folder / EXE
    assert run("osslsigncode", "verify", "-CAfile", key_pair[1], "-in", signed).returncode == 0
    checked = run(ROOT / "scripts" / "check-imports", signed, ALLOW_LIST)
    assert checked.returncode == 0, checked.stderr
    assert pefile.PE(str(signed), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4].Size > 0
    # One changed byte of code breaks the signature: the verification looks at the image.
    tampered = bytearray(signed.read_bytes())
    tampered[0x400] ^= 0xFF
    (tmp_path / EXE).write_bytes(tampered)
    assert run("osslsigncode", "verify", "-CAfile", key_pair[1], "-in", tmp_path / EXE).returncode != 0

    digest = hashlib.sha256(signed.read_bytes()).hexdigest()
    assert (folder / "SHA256SUMS").read_text() == f"{digest}  {EXE}\n"
    info = (folder / "BUILDINFO").read_text()
    assert info.startswith(f"korvanta-sysinstall {winebed.product_version()}\n")
    assert run("git", "-C", ROOT, "rev-parse", "HEAD").stdout.strip() in info
    assert hashlib.sha256((build / EXE).read_bytes()).hexdigest() in info


@pytest.fixture(scope="module")
def signed_for_wine(release, key_pair, tmp_path_factory):
    """The signed exe that this machine's Wine runs: the release's where Wine
    executes 32-bit code, else the 64-bit test build signed with the same key."""
    folder, _ = release
    if winebed.wine_arch()[0] == "win32":
        return folder / EXE
    signed = tmp_path_factory.mktemp("signed64") / EXE
    made = run("osslsigncode", "sign", "-certs", key_pair[1], "-key", key_pair[0], "-h", "sha256",
               "-in", winebed.installer_exe(), "-out", signed)
    assert made.returncode == 0, made.stderr
    return signed


@pytest.fixture(scope="module")
def template():
    built = winebed.Template.for_run()
    yield built
    built.cleanup()


@pytest.mark.parametrize("version", ["win98", "winxp"])
def test_the_signed_exe_runs_the_whole_installation(template, signed_for_wine, version):
    version = VERSIONS[version]
    with compat._prepare(template, version, exe=signed_for_wine) as machine:
        before = compat._snapshot(machine, version)
        result = machine.run_installer(compat.APP, compat.MANUAL,
                                       dll_overrides=compat.dll_overrides(version) or None)
        assert (result.exit_code, result.boxes) == (0, [])
        row = compat.Row(version.wine, "Wine")
        compat._compare_install(version, before, compat._snapshot(machine, version), machine, row)
        assert row.passed, "\n".join(row.problems)
