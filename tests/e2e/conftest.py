"""Fixtures of the end-to-end tier: the real installer under Wine.

- template:    the Wine template of this run, built once (about 10 s) and
               shared by every worker (KORVANTA_WINE_TEMPLATE).
- family:      "nt" and "9x"; a test that takes `machine` runs once per family.
- machine:     a fresh machine of `family`, closed (session ended, copy
               removed) after the test, also when it fails.
- new_machine: a factory for further machines, new_machine("9x"), closed the
               same way.
- installer:   the built korvanta-sysinstall.exe (KORVANTA_WINDOWS_BUILD).

The library itself is tests/winebed/winebed.py; see its docstrings.
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "winebed"))

import winebed  # noqa: E402


@pytest.fixture(scope="session")
def installer() -> Path:
    exe = winebed.installer_exe()
    if not exe.is_file():
        pytest.fail(f"{exe} is missing: build the Windows targets (scripts/test does) "
                    "or point KORVANTA_WINDOWS_BUILD at a build")
    return exe


def pytest_configure(config):
    # Workers (pytest -n N) share one template, built here before they start
    # and handed to them through the environment they inherit.
    if getattr(config.option, "dist", "no") != "no" and not hasattr(config, "workerinput"):
        shared = winebed.Template.share_for_run()
        if shared is not None:
            config.add_cleanup(shared.cleanup)


@pytest.fixture(scope="session")
def template(installer):
    built = winebed.Template.for_run()
    yield built
    built.cleanup()


@pytest.fixture(params=winebed.FAMILIES)
def family(request) -> str:
    return request.param


@pytest.fixture
def new_machine(template):
    machines = []

    def make(family: str) -> winebed.Machine:
        machine = template.new_machine(family)
        machines.append(machine)
        return machine

    yield make
    for machine in machines:
        machine.close()


@pytest.fixture
def machine(new_machine, family) -> winebed.Machine:
    return new_machine(family)


@pytest.fixture(scope="session")
def baseline_changes(template):
    """baseline_changes(family): what a run of the installer alone (no component
    files beside it, no arguments) changes on a fresh machine of that family,
    measured once per test run.

    Some stages write whatever lies beside the installer. A test of one stage
    leaves out those baseline changes that fall outside its own area, so that it
    does not depend on what the other stages do; everything else must be exactly
    as the test expects."""
    found = {}

    def changes(family: str) -> list[winebed.Change]:
        if family not in found:
            with template.new_machine(family) as control:
                control.install_payload(names=[])
                before = control.snapshot()
                result = control.run_installer()
                assert (result.exit_code, result.boxes) == (0, [])
                found[family] = before.diff(control.snapshot()).changes
        return found[family]

    return changes


@pytest.fixture
def assert_own_changes(baseline_changes):
    """assert_own_changes(machine, before, is_own, files=, keys=, values=,
    profiles=): asserts the changes since the snapshot `before`, leaving out the
    baseline changes for which is_own(change) is false."""

    def check(machine: winebed.Machine, before, is_own, **expected) -> None:
        diff = before.diff(machine.snapshot())
        foreign = [change for change in baseline_changes(machine.family) if not is_own(change)]
        diff.changes = [change for change in diff.changes if change not in foreign]
        diff.assert_changes(**expected)

    return check
