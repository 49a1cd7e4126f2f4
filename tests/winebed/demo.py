"""Runs the installer once under Wine on a fresh machine, the way the suite's
setup starts it, and prints what it changed. Called by scripts/demo.

    demo.py [--family nt|9x]
"""

import argparse
import sys
import time
from pathlib import Path

import winebed

APPLICATION_DIR = "C:\\Program Files\\Korvanta"
MANUAL_BASE_NAME = "Korvanta"
CD = winebed.REPOSITORY / "examples" / "cd"
FAMILY_NAMES = {"nt": "NT family (Windows XP)", "9x": "9x family (Windows 98)"}


def section(title: str, lines: list[str]) -> None:
    print(f"\n{title}:")
    for line in lines or ["(none)"]:
        print("  " + line)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--family", choices=winebed.FAMILIES, default="nt")
    family = parser.parse_args().family

    print(f"Preparing a fresh {FAMILY_NAMES[family]} machine under Wine ...", flush=True)
    template = winebed.Template.build(spares=False)
    try:
        with template.new_machine(family) as machine:
            # What the suite's setup leaves behind before it starts the
            # installer: the application, its history file, the component
            # files beside the installer, and the CD in a CD-ROM drive.
            machine.add_cdrom("d", CD)
            machine.mkdir(APPLICATION_DIR)
            machine.write(APPLICATION_DIR + "\\HISTORY.TXT", "Release notes of the previous version.\r\n")
            exe = machine.install_payload()
            before = machine.snapshot()

            command_line = f'"{exe}" "{APPLICATION_DIR}" {MANUAL_BASE_NAME}'
            print(f"Running: {command_line}\n  component files in {winebed.SETUP_DIR}, "
                  f"CD {CD.relative_to(winebed.REPOSITORY)} in drive D:", flush=True)
            started = time.monotonic()
            result = machine.run_installer(command_line=command_line)
            seconds = time.monotonic() - started
            after = machine.snapshot()
            diff = before.diff(after)

            print(f"\nExit code {result.exit_code} after {seconds:.1f} s.")
            section("Message boxes (each answered with OK)",
                    [f"[{box.caption}] {box.text!r}" for box in result.boxes])
            section("Files", [str(c) for c in diff.of_kind("file")])
            section("Registry", [str(c) for c in diff.of_kind("key") + diff.of_kind("value")])
            section("Profile entries", [str(c) for c in diff.of_kind("profile")])
            section("Pending replacements (carried out at the next restart)",
                    [f"{r.source} -> {r.target or '(delete)'}" + (" (replace existing)" if r.replace_existing else "")
                     for r in after.pending_renames()] +
                    [f"Wininit.ini [rename] {target}={source}" for target, source in machine.wininit_renames()])
    finally:
        template.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
