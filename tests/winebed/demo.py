"""Runs the installer once under Wine on a fresh machine, the way the suite's
setup starts it, and reports what it changed; then simulates the restart and
reports what the restart carried out. Called by scripts/demo.

    demo.py [--family nt|9x] [--payload DIR] [--app-dir PATH] [--manual NAME]
            [--cd DIR|none] [--json] [--log] [--uninstall]

The report holds only what changed: the message boxes in order; files
created, changed and deleted with their sizes; registry keys and values
added, changed and deleted with type, byte length and data; profile-file
entries changed; the replacements pending for the next restart; and what the
restart did. With --log the installer also writes its action log (to a file
outside drive C:, so that it is not one of the effects), printed last.
With --uninstall the machine is first installed and restarted, and the
report is that of `/uninstall`.
"""

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Optional

import winebed

DEFAULT_APP_DIR = "C:\\Program Files\\Korvanta"
DEFAULT_MANUAL = "Korvanta"
DEFAULT_CD = winebed.REPOSITORY / "examples" / "cd"
FAMILY_NAMES = {"nt": "NT family (Windows XP)", "9x": "9x family (Windows 98)"}
CD_LETTER = "d"
FILE_CHANGES = {"added": "created", "changed": "changed", "removed": "deleted"}
REGISTRY_CHANGES = {"added": "added", "changed": "changed", "removed": "deleted"}


def _file_effect(change: winebed.Change, before: winebed.Snapshot, after: winebed.Snapshot) -> dict:
    identity = change.path.lower()
    old = before.files.get(identity, (None, None))[1]
    new = after.files.get(identity, (None, None))[1]
    entry = new or old
    effect = {"change": FILE_CHANGES[change.change], "path": change.path,
              "kind": {"dir": "folder", "file": "file", "link": "link"}[entry.kind]}
    if entry.kind == "file":
        if old is not None:
            effect["size_before"] = old.size
        if new is not None:
            effect["size"] = new.size
    return effect


def _value_description(value: Optional[winebed.RegValue]) -> Optional[dict]:
    if value is None:
        return None
    if value.type == winebed.REG_MULTI_SZ and value.data.endswith(b"\0"):
        data = value.strings
    elif value.type in winebed.STRING_TYPES and value.data.endswith(b"\0"):
        data = value.text
    elif value.type == winebed.REG_DWORD and len(value.data) == 4:
        data = value.dword
    else:
        data = value.data.hex(" ")
    return {"type": winebed.REG_TYPE_NAMES.get(value.type, f"type {value.type}"),
            "bytes": len(value.data), "data": data}


def effects(before: winebed.Snapshot, after: winebed.Snapshot) -> dict:
    """What changed between two snapshots, grouped for the report."""
    diff = before.diff(after)
    registry = [{"change": REGISTRY_CHANGES[c.change], "key": c.path} for c in diff.of_kind("key")]
    for c in diff.of_kind("value"):
        registry.append({"change": REGISTRY_CHANGES[c.change], "key": c.path, "name": c.name,
                         "before": _value_description(before.registry.value(c.path, c.name)),
                         "after": _value_description(after.registry.value(c.path, c.name))})
    return {
        "files": [_file_effect(c, before, after) for c in diff.of_kind("file")],
        "registry": registry,
        "profile_entries": [{"change": REGISTRY_CHANGES[c.change], "file": c.path, "entry": c.name,
                             "before": c.before or None, "after": c.after or None}
                            for c in diff.of_kind("profile")],
    }


def run(options) -> dict:
    template = winebed.Template.build(spares=False)
    try:
        with template.new_machine(options.family) as machine:
            # What the suite's setup leaves behind before it starts the
            # installer: the application with its history file, the component
            # files beside the installer, and the CD in a CD-ROM drive.
            if options.cd != "none":
                machine.add_cdrom(CD_LETTER, Path(options.cd))
            if options.app_dir:
                machine.mkdir(options.app_dir)
                machine.write(options.app_dir + "\\HISTORY.TXT", "Release notes of the previous version.\r\n")
            machine.add_real_windows_layout(options.family)
            # The 9x family keeps its device tree in HKLM\Enum.
            extra_keys = ("HKLM\\Enum",) if options.family == "9x" else ()
            exe = machine.install_payload(payload=Path(options.payload).resolve())

            arguments = [options.app_dir, options.manual] if options.app_dir else []
            command_line = " ".join([f'"{exe}"'] + [winebed._quote_argument(a) for a in arguments])
            if options.uninstall:
                # The installation and its restart come first; the report is
                # the uninstall's.
                machine.run_installer(command_line=command_line)
                machine.restart()
                command_line = f'"{exe}" /uninstall'
            before = machine.snapshot(extra_keys)
            # Through drive Z:, outside C:, so the log is none of the effects.
            log_file = machine.work / "sysinstall.log"
            env = {"KORVANTA_SYSINSTALL_LOG": winebed.dos_path(log_file)} if options.log else None
            started = time.monotonic()
            result = machine.run_installer(command_line=command_line, env=env)
            seconds = time.monotonic() - started
            after = machine.snapshot(extra_keys)
            pending = [{"source": r.source, "target": r.target or None, "replace_existing": r.replace_existing}
                       for r in after.pending_renames()]
            wininit = [{"target": target, "source": source} for target, source in machine.wininit_renames()]

            machine.restart()
            restarted = machine.snapshot(extra_keys)
            arch, reason = winebed.wine_arch()
            return {
                "family": options.family,
                "windows": FAMILY_NAMES[options.family],
                "build": {"arch": arch, "reason": reason, "exe": str(winebed.installer_exe())},
                "command_line": command_line,
                "payload": str(Path(options.payload).resolve()),
                "cd": None if options.cd == "none" else {"drive": CD_LETTER.upper() + ":",
                                                         "contents": str(Path(options.cd).resolve())},
                "exit_code": result.exit_code,
                "seconds": round(seconds, 2),
                "message_boxes": [{"caption": box.caption, "text": box.text} for box in result.boxes],
                **effects(before, after),
                "pending_renames": pending,
                "wininit_renames": wininit,
                "restart": effects(after, restarted),
                **({"action_log": log_file.read_bytes().decode("ascii").splitlines()
                    if log_file.exists() else []} if options.log else {}),
            }
    finally:
        template.cleanup()


def _value_text(value: Optional[dict]) -> str:
    if value is None:
        return "(none)"
    return f"{value['type']} ({value['bytes']} bytes) {value['data']!r}"


def _registry_lines(registry: list[dict]) -> list[str]:
    lines = []
    for item in registry:
        if "name" not in item:
            lines.append(f"{item['change']:8} key    {item['key']}")
            continue
        where = f"{item['key']} : {item['name'] or '(default)'}"
        if item["change"] == "added":
            detail = _value_text(item["after"])
        elif item["change"] == "deleted":
            detail = "was " + _value_text(item["before"])
        else:
            detail = f"{_value_text(item['before'])} -> {_value_text(item['after'])}"
        lines.append(f"{item['change']:8} value  {where} = {detail}")
    return lines


def _file_lines(files: list[dict]) -> list[str]:
    lines = []
    for item in files:
        if item["kind"] != "file":
            lines.append(f"{item['change']:8} {item['kind']:6} {item['path']}")
        elif item["change"] == "changed":
            lines.append(f"{item['change']:8} file   {item['path']} ({item['size_before']} -> {item['size']} bytes)")
        else:
            size = item.get("size", item.get("size_before"))
            lines.append(f"{item['change']:8} file   {item['path']} ({size} bytes)")
    return lines


def _profile_lines(entries: list[dict]) -> list[str]:
    return [f"{item['change']:8} {item['file']} {item['entry']}"
            + (f" = {item['after']}" if item["after"] is not None else "")
            + (f" (was {item['before']})" if item["before"] is not None and item["change"] != "added" else "")
            for item in entries]


def _section(title: str, lines: list[str]) -> None:
    print(f"\n{title}:")
    for line in lines or ["(none)"]:
        print("  " + line)


def print_report(report: dict) -> None:
    build = report["build"]
    cd = report["cd"]
    print(f"{report['windows']} under Wine, {build['arch']} build ({build['reason']})")
    print(f"Ran: {report['command_line']}")
    print(f"  component files from {report['payload']}; "
          + (f"CD {cd['contents']} in drive {cd['drive']}" if cd else "no CD"))
    print(f"Exit code {report['exit_code']} after {report['seconds']:.1f} s.")
    _section("Message boxes, in order (each answered with OK)",
             [f"[{box['caption']}] {box['text']!r}" for box in report["message_boxes"]])
    _section("Files", _file_lines(report["files"]))
    _section("Registry", _registry_lines(report["registry"]))
    _section("Profile-file entries", _profile_lines(report["profile_entries"]))
    _section("Replacements pending for the next restart",
             [f"{r['source']} -> {r['target'] or '(delete)'}" + (" (replace existing)" if r["replace_existing"] else "")
              for r in report["pending_renames"]] +
             [f"Wininit.ini [rename] {r['target']}={r['source']}" for r in report["wininit_renames"]])
    restart = report["restart"]
    _section("What the simulated restart carried out",
             _file_lines(restart["files"]) + _registry_lines(restart["registry"]) +
             _profile_lines(restart["profile_entries"]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--family", choices=winebed.FAMILIES, default="nt")
    parser.add_argument("--payload", default=str(winebed.payload_dir()),
                        help="folder of component files put beside the installer (default: the sample payload)")
    parser.add_argument("--app-dir", default=DEFAULT_APP_DIR,
                        help='argument 1, the application folder (default: %(default)s; "" for none)')
    parser.add_argument("--manual", default=DEFAULT_MANUAL, help="argument 2, the manuals' base name")
    parser.add_argument("--cd", default=str(DEFAULT_CD),
                        help="folder mounted as CD-ROM drive D: (default: the sample CD; none for no CD)")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument("--log", action="store_true", help="also print the installer's action log of the run")
    parser.add_argument("--uninstall", action="store_true",
                        help="report /uninstall, run after an installation and a restart")
    options = parser.parse_args()

    if not options.json:
        print(f"Preparing a fresh {FAMILY_NAMES[options.family]} machine under Wine ...", flush=True)
    report = run(options)
    if options.json:
        json.dump(report, sys.stdout, indent=2)
        print()
    else:
        print_report(report)
        if options.log:
            _section("Action log", report["action_log"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
