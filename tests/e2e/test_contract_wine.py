"""The platform contract tests against the real Win32 implementation, under
Wine, in both families. A test that needs a restart is split into a
...BeforeRestart and an ...AfterRestart half: every other test and the first
halves run first, then a simulated restart carries out the pending renames,
then the second halves run, all in one machine so that state carries over."""

import re

import pytest

import winebed
from winebed import dos_path


@pytest.fixture(scope="module")
def contract_tests():
    exe = winebed.windows_build_dir() / "contract_tests.exe"
    if not exe.is_file():
        pytest.fail(f"{exe} is missing: build the Windows targets first")
    return exe


def _summary(output: str) -> str:
    # gtest's closing lines and the names of failed tests, for the report.
    lines = [line for line in output.splitlines()
             if re.match(r"\[  (PASSED|FAILED)  \]|\[==========\] \d+ tests?", line)]
    return "\n".join(lines) or output[-3000:]


def test_contract_tests_pass_under_wine(machine, contract_tests, tmp_path):
    # The tests expect a CD-ROM drive E: holding CONTRACT\PROBE.TXT ("disc").
    (tmp_path / "CONTRACT").mkdir()
    (tmp_path / "CONTRACT" / "PROBE.TXT").write_bytes(b"disc")
    machine.add_cdrom("e", tmp_path)
    # Run from the build folder: the tests find their helper programs in the
    # winebed folder beside them.
    program = dos_path(contract_tests)

    before = machine.run(program, "--gtest_filter=-*AfterRestart*", timeout=600)
    machine.restart()
    after = machine.run(program, "--gtest_filter=*AfterRestart*", timeout=600)

    assert before.boxes == [] and after.boxes == []
    assert before.exit_code == 0, _summary(before.output)
    assert after.exit_code == 0, _summary(after.output)
