"""The Wine test bed: fresh Windows machines for the end-to-end tests.

A *template* is a Wine prefix built once per test run (null graphics
driver so that message boxes block as on Windows, no crash dialog, real user
folders instead of links into the Linux home). A *machine* is a fresh copy of it
for one scenario, of one Windows family ("nt" runs as Windows XP, "9x" as
Windows 98), in RAM (/dev/shm) where there is room, else under /tmp
(KORVANTA_WINE_NO_RAM=1 keeps it there), and removed afterwards. Processes of
one run share one template (Template.for_run, KORVANTA_WINE_TEMPLATE).

Typical scenario::

    template = Template.build()                    # once per run (a fixture)
    with template.new_machine("nt") as machine:
        machine.install_payload()                  # exe and component files
        before = machine.snapshot()
        result = machine.run_installer(r"C:\\App", "Manual")
        after = machine.snapshot()
        assert result.exit_code == 0 and result.boxes == []
        before.diff(after).assert_changes(
            files={r"C:\\App\\TAVOEM.DLL": "added"},
            values={(r"HKLM\\Software\\Korvanta\\RUNDAVEK", "Enabled"): "added"})
        renames = machine.pending_renames()        # still pending: same session
        machine.restart()                          # carries them out

Everything a machine runs happens in one Wine session (a persistent
wineserver) that stays alive between calls, so that pending renames, key access
lists and running helper processes can be inspected before a restart. A message
box watcher runs in every session; each run returns the boxes it showed. The
session is ended on close(), also when a test fails (use the machine as a
context manager or through a fixture).

A session starts on the first call that needs one. Starting a session is what
carries out pending renames (Wininit.ini, then PendingFileRenameOperations),
as a restart does: arrange pending state only after start_session(), and map
CD-ROM drives (which end the session) before anything is pending.

Wine commands get files as standard output and error, never a pipe: Wine's
background processes inherit them and a reader would wait for ever.

Two sorts of build machine: where 32-bit x86 code runs, prefixes are 32-bit
and the shipped 32-bit build runs in them; where it cannot (no IA-32 mode),
prefixes are 64-bit and a 64-bit test build of the same source runs under
wine64. scripts/wine-arch decides (KORVANTA_WINE_ARCH=win32|win64 overrides
it); everything below works the same in both.

Binaries are found through KORVANTA_WINDOWS_BUILD (default build/win32 or
build/win64 of the repository, by the architecture: the exe, winebed/*.exe,
contract_tests.exe) and the sample payload through KORVANTA_PAYLOAD (default
examples/payload).
"""

from __future__ import annotations

import atexit
import contextlib
import dataclasses
import functools
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.parse
from pathlib import Path, PureWindowsPath
from typing import Iterable, Iterator, Mapping, NamedTuple, Optional

REPOSITORY = Path(__file__).resolve().parents[2]

#: Wine's name for each family's Windows version.
FAMILY_VERSIONS = {"nt": "winxp", "9x": "win98"}
FAMILIES = tuple(FAMILY_VERSIONS)

#: Where install_payload() puts the installer and its component files.
SETUP_DIR = "C:\\korvanta-setup"
INSTALLER_NAME = "korvanta-sysinstall.exe"

#: The code page Wine gives an English prefix; the ANSI functions read and
#: write the registry's UTF-16 strings in it.
ANSI_CODE_PAGE = "cp1252"

DEFAULT_TIMEOUT = 120.0

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 0, 1, 2, 3, 4
REG_MULTI_SZ = 7
REG_TYPE_NAMES = {
    0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
    5: "REG_DWORD_BIG_ENDIAN", 6: "REG_LINK", 7: "REG_MULTI_SZ", 8: "REG_RESOURCE_LIST",
    11: "REG_QWORD",
}
STRING_TYPES = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)

SESSION_MANAGER_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"

#: The trees a snapshot saves.
SNAPSHOT_KEYS = ("HKLM\\Software", "HKLM\\System", "HKCU")


class WineError(RuntimeError):
    """A Wine command or a test-bed tool failed, or a program did not end."""


# --------------------------------------------------------------------------
# Locations

#: The 64-bit loader, called directly: Debian's `wine` wrapper takes the
#: 32-bit loader whenever it is installed, whatever WINEARCH says.
WINE64_LOADER = "/usr/lib/wine/wine64"


@functools.lru_cache(maxsize=None)
def wine_arch() -> tuple[str, str]:
    """("win32" or "win64", the reason), as scripts/wine-arch decides it."""
    result = subprocess.run([str(REPOSITORY / "scripts" / "wine-arch")], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise WineError(result.stderr.strip() or "scripts/wine-arch failed")
    arch, _, reason = result.stdout.strip().partition(" ")
    return arch, reason


def wine_command(arch: Optional[str] = None) -> str:
    """The program that starts a Windows program in a prefix of the
    architecture (by default this machine's). wine64 starts a 32-bit program
    in a 64-bit prefix under WOW64."""
    return WINE64_LOADER if (arch or wine_arch()[0]) == "win64" else "wine"


def windows_build_dir() -> Path:
    """The Windows build: the exe, winebed/*.exe and contract_tests.exe."""
    default = REPOSITORY / "build" / wine_arch()[0]
    # Absolute, because Wine resolves a relative program path against its own
    # idea of the current folder, which changes when drives are remapped.
    return Path(os.environ.get("KORVANTA_WINDOWS_BUILD", default)).resolve()


def product_version() -> str:
    """The product's version, where CMakeLists.txt keeps it."""
    text = (REPOSITORY / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"^project\(\S+ VERSION ([0-9.]+)", text, re.MULTILINE).group(1)


def payload_dir() -> Path:
    """The component files that go beside the installer."""
    return Path(os.environ.get("KORVANTA_PAYLOAD", REPOSITORY / "examples" / "payload")).resolve()


def installer_exe() -> Path:
    return windows_build_dir() / INSTALLER_NAME


def tool(name: str) -> Path:
    """A test-bed tool: watcher, regdump, regsave, locker, sleeper, launch,
    msgbox, devinstall, devlist or keysecurity (see tests/winebed/tools/)."""
    path = windows_build_dir() / "winebed" / f"{name}.exe"
    if not path.is_file():
        raise WineError(f"{path} is missing: build the Windows targets first")
    return path


def dos_path(path: Path | str) -> str:
    """The Windows name of a Linux path, through Wine's drive Z: (the root)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# --------------------------------------------------------------------------
# Registry values and trees


ROOT_NAMES = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
              "HKU": "HKEY_USERS", "HKCC": "HKEY_CURRENT_CONFIG"}
_SHORT_ROOT_NAMES = {long: short for short, long in ROOT_NAMES.items()}


def _normalize_key(path: str) -> str:
    """HKEY_LOCAL_MACHINE\\x\\ -> HKLM\\x; the form every lookup uses."""
    parts = [part for part in path.split("\\") if part]
    if parts:
        parts[0] = _SHORT_ROOT_NAMES.get(parts[0].upper(), parts[0].upper())
    return "\\".join(parts)


def _key_id(path: str) -> str:
    return _normalize_key(path).lower()


class RegValue(NamedTuple):
    """A registry value as an ANSI program reads it: type and exact bytes."""

    type: int
    data: bytes

    @property
    def text(self) -> str:
        """A string value's text, without its terminating zero byte."""
        data = self.data[:-1] if self.data.endswith(b"\0") else self.data
        return data.decode(ANSI_CODE_PAGE, errors="replace")

    @property
    def strings(self) -> list[str]:
        """A multi-string value's strings."""
        data = self.data
        if data.endswith(b"\0\0"):
            data = data[:-2]
        elif data.endswith(b"\0"):
            data = data[:-1]
        return [part.decode(ANSI_CODE_PAGE, errors="replace") for part in data.split(b"\0")] if data else []

    @property
    def dword(self) -> int:
        if len(self.data) != 4:
            raise ValueError(f"not a 4-byte value: {self}")
        return int.from_bytes(self.data, "little")

    def __str__(self) -> str:
        name = REG_TYPE_NAMES.get(self.type, f"type {self.type}")
        if self.type in STRING_TYPES and self.data.endswith(b"\0"):
            shown = repr(self.strings) if self.type == REG_MULTI_SZ else repr(self.text)
        elif self.type == REG_DWORD and len(self.data) == 4:
            shown = str(self.dword)
        else:
            shown = self.data.hex(" ")
        return f"{name} ({len(self.data)} bytes) {shown}"

    @staticmethod
    def sz(text: str) -> "RegValue":
        return RegValue(REG_SZ, text.encode(ANSI_CODE_PAGE) + b"\0")

    @staticmethod
    def expand_sz(text: str) -> "RegValue":
        return RegValue(REG_EXPAND_SZ, text.encode(ANSI_CODE_PAGE) + b"\0")

    @staticmethod
    def multi_sz(*strings: str) -> "RegValue":
        return RegValue(REG_MULTI_SZ, b"".join(s.encode(ANSI_CODE_PAGE) + b"\0" for s in strings) + b"\0")

    @staticmethod
    def dword_value(number: int) -> "RegValue":
        return RegValue(REG_DWORD, number.to_bytes(4, "little"))

    @staticmethod
    def binary(data: bytes) -> "RegValue":
        return RegValue(REG_BINARY, bytes(data))


class RegistryTree:
    """Keys and values of some registry trees. Lookups ignore letter case and
    accept HKEY_... root names; names keep the case they were found in.

    keys:    normalized lower-case path -> path as found
    values:  (lower key path, lower value name) -> (key path, name, RegValue)
    missing: requested keys that did not exist (regdump only)
    denied:  keys that exist but could not be read -> error code (regdump only)
    """

    def __init__(self) -> None:
        self.keys: dict[str, str] = {}
        self.values: dict[tuple[str, str], tuple[str, str, RegValue]] = {}
        self.missing: set[str] = set()
        self.denied: dict[str, int] = {}

    def add_key(self, path: str) -> None:
        # A key saved with only subkeys is implied by them: record every
        # ancestor so that "key exists" holds for it too.
        path = _normalize_key(path)
        while path and _key_id(path) not in self.keys:
            self.keys[_key_id(path)] = path
            path = path.rpartition("\\")[0]

    def add_value(self, key: str, name: str, value: RegValue) -> None:
        self.add_key(key)
        self.values[(_key_id(key), name.lower())] = (_normalize_key(key), name, value)

    def key_exists(self, path: str) -> bool:
        return _key_id(path) in self.keys

    def value(self, key: str, name: str) -> Optional[RegValue]:
        """The value, or None when the key or the value does not exist."""
        entry = self.values.get((_key_id(key), name.lower()))
        return entry[2] if entry else None

    def values_of(self, key: str) -> dict[str, RegValue]:
        """Every value of one key, by name ("" is the default value)."""
        wanted = _key_id(key)
        return {name: value for (k, _), (_, name, value) in self.values.items() if k == wanted}

    def subkeys(self, key: str) -> list[str]:
        """Names of the direct subkeys of a key."""
        prefix = _key_id(key) + "\\"
        return sorted(path.rpartition("\\")[2] for kid, path in self.keys.items()
                      if kid.startswith(prefix) and "\\" not in kid[len(prefix):])


def _unescape(field: str) -> bytes:
    """Undoes the tools' escaping: %XX stands for one byte."""
    return urllib.parse.unquote_to_bytes(field)


def parse_regdump(text: str) -> RegistryTree:
    """Reads the output of regdump.exe."""
    tree = RegistryTree()
    for line in text.splitlines():
        fields = line.split("\t")
        kind = fields[0]
        path = _unescape(fields[1]).decode(ANSI_CODE_PAGE) if len(fields) > 1 else ""
        if kind == "key":
            tree.add_key(path)
        elif kind == "value":
            name = _unescape(fields[2]).decode(ANSI_CODE_PAGE)
            data = bytes.fromhex(fields[5])
            if len(data) != int(fields[4]):
                raise WineError(f"regdump: length mismatch in {line!r}")
            tree.add_value(path, name, RegValue(int(fields[3]), data))
        elif kind == "missing":
            tree.missing.add(_key_id(path))
        elif kind == "denied":
            tree.denied[_key_id(path)] = int(fields[2])
        else:
            raise WineError(f"regdump: unknown record {line!r}")
    return tree


_C_ESCAPES = {"a": "\a", "b": "\b", "t": "\t", "n": "\n", "v": "\v", "f": "\f", "r": "\r", "e": "\x1b"}


def _parse_wine_string(text: str, start: int, end_char: str) -> tuple[str, int]:
    """Reads an escaped string of Wine's registry files from text[start] up to
    the unescaped end_char; returns the string and the index after end_char."""
    out = []
    i = start
    while i < len(text):
        c = text[i]
        if c == end_char:
            return "".join(out), i + 1
        if c != "\\":
            out.append(c)
            i += 1
            continue
        i += 1
        c = text[i]
        if c == "x":
            match = re.match(r"[0-9a-fA-F]{1,4}", text[i + 1:])
            if not match:
                out.append("x")
                i += 1
                continue
            out.append(chr(int(match.group(0), 16)))
            i += 1 + len(match.group(0))
        elif c in "01234567":
            match = re.match(r"[0-7]{1,3}", text[i:])
            out.append(chr(int(match.group(0), 8)))
            i += len(match.group(0))
        else:
            out.append(_C_ESCAPES.get(c, c))
            i += 1
    raise WineError(f"unterminated string in registry file: {text[start:start + 60]!r}")


def _utf16_to_ansi(type_: int, stored: bytes) -> bytes:
    # What RegEnumValueA hands an ANSI program for the stored UTF-16 data.
    if type_ in STRING_TYPES and len(stored) % 2 == 0:
        return stored.decode("utf-16-le", errors="replace").encode(ANSI_CODE_PAGE, errors="replace")
    return stored


def parse_wine_registry(text: str, root: str) -> RegistryTree:
    """Reads a tree saved by regsave.exe (Wine's registry file format); key
    paths in the file are relative to root. String values are turned into the
    ANSI form an ANSI program reads, as regdump.exe shows them."""
    tree = RegistryTree()
    root = _normalize_key(root)
    tree.add_key(root)
    # Join continued hex lines ("\" at the end, next line indented).
    text = re.sub(r"\\\n\s*", "", text)
    # Each key's section starts with its "[" line; every snapshot of every
    # machine repeats most sections of the template unchanged, so each is
    # read once per process. Lines before the first key are the header.
    for section in re.split(r"\n(?=\[)", text):
        if not section.startswith("["):
            continue
        keys, values = _parse_wine_section(section, root)
        for kid, path in keys:
            tree.keys.setdefault(kid, path)
        tree.values.update(values)
    return tree


_sections_read: dict[tuple[str, str], tuple[list, list]] = {}


def _parse_wine_section(section: str, root: str) -> tuple[list, list]:
    """The keys (the section's key and its ancestors) and values of one key's
    section, as RegistryTree entries."""
    found = _sections_read.get((root, section))
    if found is not None:
        return found
    part = RegistryTree()
    lines = section.split("\n")
    relative, _ = _parse_wine_string(lines[0], 1, "]")
    key = root + "\\" + relative if relative else root
    part.add_key(key)
    for line in lines[1:]:
        if not line or line.startswith((";", "#")):
            continue  # comments; #time, #class, #link: metadata, not values
        if line.startswith("@="):
            name, rest = "", line[2:]
        elif line.startswith('"'):
            name, after = _parse_wine_string(line, 1, '"')
            if line[after:after + 1] != "=":
                raise WineError(f"bad value line in registry file: {line!r}")
            rest = line[after + 1:]
        else:
            raise WineError(f"bad line in registry file: {line!r}")
        part.add_value(key, name, _parse_wine_data(rest))
    if len(_sections_read) > 500_000:
        _sections_read.clear()
    found = _sections_read[(root, section)] = (list(part.keys.items()), list(part.values.items()))
    return found


def _parse_wine_data(rest: str) -> RegValue:
    if rest.startswith('"'):
        text, _ = _parse_wine_string(rest, 1, '"')
        return RegValue(REG_SZ, _utf16_to_ansi(REG_SZ, (text + "\0").encode("utf-16-le")))
    match = re.match(r"str\(([0-9a-fA-F]+)\):\"", rest)
    if match:
        type_ = int(match.group(1), 16)
        text, _ = _parse_wine_string(rest, match.end(), '"')
        return RegValue(type_, _utf16_to_ansi(type_, (text + "\0").encode("utf-16-le")))
    if rest.startswith("dword:"):
        return RegValue(REG_DWORD, int(rest[6:14], 16).to_bytes(4, "little"))
    match = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", rest)
    if match:
        type_ = int(match.group(1), 16) if match.group(1) else REG_BINARY
        stored = bytes.fromhex(match.group(2).replace(",", ""))
        return RegValue(type_, _utf16_to_ansi(type_, stored))
    raise WineError(f"bad value data in registry file: {rest!r}")


# --------------------------------------------------------------------------
# Profile files


@dataclasses.dataclass
class IniSection:
    name: str
    lines: list[str]

    def entries(self) -> list[tuple[Optional[str], str]]:
        """(key, value) per line; key None for a line without "=". Blanks
        around key and value are dropped, as the profile functions do."""
        result = []
        for line in self.lines:
            if not line.strip():
                continue
            key, sep, value = line.partition("=")
            result.append((key.strip(), value.strip()) if sep else (None, line.strip()))
        return result


class IniFile:
    """A profile file (System.ini, Wininit.ini, ...) read as Windows reads it:
    section and key names ignore letter case; raw lines are kept for exact
    assertions."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.sections: list[IniSection] = []
        for raw in data.decode(ANSI_CODE_PAGE, errors="replace").splitlines():
            stripped = raw.strip()
            if stripped.startswith("["):
                self.sections.append(IniSection(stripped[1:].partition("]")[0].strip(), []))
            elif self.sections:
                self.sections[-1].lines.append(raw)

    def section(self, name: str) -> Optional[IniSection]:
        """The first section of that name, or None."""
        for section in self.sections:
            if section.name.lower() == name.lower():
                return section
        return None

    def get(self, section: str, key: str) -> Optional[str]:
        """The value of the first entry of that key, or None."""
        found = self.section(section)
        for entry_key, value in found.entries() if found else []:
            if entry_key is not None and entry_key.lower() == key.lower():
                return value
        return None

    def flat(self) -> dict[tuple[str, str], tuple[str, str]]:
        """(lower section, lower key) -> ("[Section] Key" as written, value),
        the first entry of each key; a line without "=" is keyed "#n" by its
        position n in the section."""
        result = {}
        for section in self.sections:
            for index, (key, value) in enumerate(section.entries()):
                shown = key if key is not None else f"#{index}"
                result.setdefault((section.name.lower(), shown.lower()), (f"[{section.name}] {shown}", value))
        return result


# --------------------------------------------------------------------------
# Snapshots


class FileEntry(NamedTuple):
    kind: str            # "file", "dir" or "link"
    size: int
    content_hash: str    # files only
    readonly: bool       # Wine keeps FILE_ATTRIBUTE_READONLY as missing write bits
    dos_attributes: str  # Wine's extended attribute for hidden/system, if any
    link_target: str


class PendingRename(NamedTuple):
    """One PendingFileRenameOperations entry: target "" means delete."""

    source: str
    target: str
    replace_existing: bool


@dataclasses.dataclass(frozen=True)
class Noise:
    """Something Wine itself changes between two looks at a machine."""

    kind: str      # "file", "key" or "value"
    pattern: str   # regular expression on the lower-case path (and "\\name")
    reason: str


_DISPLAY_CLASS = r"hklm\\system\\currentcontrolset\\control\\class\\{4d36e968-e325-11ce-bfc1-08002be10318}"
_MONITOR_CLASS = r"hklm\\system\\currentcontrolset\\control\\class\\{4d36e96e-e325-11ce-bfc1-08002be10318}"
_DEVICE_CHANGE = ("Wine's graphics driver registers its display adapter and monitor anew when a device "
                  "is installed: new driver date, class description dropped")

#: Everything Wine changes on its own between two snapshots of one machine.
#: Kept as small as possible: each entry hides a real place from every test.
WINE_NOISE: tuple[Noise, ...] = (
    Noise("key", _DISPLAY_CLASS + r"(\\.*)?", _DEVICE_CHANGE),
    Noise("value", _DISPLAY_CLASS + r"\\.*", _DEVICE_CHANGE),
    Noise("key", _MONITOR_CLASS + r"(\\.*)?", _DEVICE_CHANGE),
    Noise("value", _MONITOR_CLASS + r"\\.*", _DEVICE_CHANGE),
)


def _is_noise(kind: str, identity: str) -> bool:
    return any(n.kind == kind and re.fullmatch(n.pattern, identity) for n in WINE_NOISE)


@dataclasses.dataclass
class Snapshot:
    """A machine's state at one moment: every file and directory under C:\\
    (path, size, content hash, attributes), the registry trees of
    SNAPSHOT_KEYS, and the contents of every profile (.ini) file."""

    files: dict[str, tuple[str, FileEntry]]   # lower Windows path -> (path, entry)
    registry: RegistryTree
    profiles: dict[str, bytes]                # lower Windows path -> contents

    def pending_renames(self) -> list[PendingRename]:
        """The NT family's delayed renames recorded in this snapshot."""
        return parse_pending_renames(self.registry.value(SESSION_MANAGER_KEY, "PendingFileRenameOperations"))

    def ini(self, path: str) -> Optional[IniFile]:
        data = self.profiles.get(PureWindowsPath(path).as_posix().lower().replace("/", "\\"))
        return IniFile(data) if data is not None else None

    def diff(self, after: "Snapshot") -> "Diff":
        """What changed from this snapshot to a later one, Wine's own noise
        (WINE_NOISE) left out."""
        return Diff(self, after)


def parse_pending_renames(value: Optional[RegValue]) -> list[PendingRename]:
    if value is None:
        return []
    strings = value.strings
    result = []
    for source, target in zip(strings[0::2], strings[1::2]):
        replace = target.startswith("!")
        target = target[1:] if replace else target
        result.append(PendingRename(source.removeprefix("\\??\\"), target.removeprefix("\\??\\"), replace))
    return result


class Change(NamedTuple):
    kind: str     # "file", "key", "value", "profile"
    change: str   # "added", "removed", "changed"
    path: str     # Windows path, key path, or profile file path
    name: str     # value name, or "[section] key" of a profile entry; "" otherwise
    before: str   # description of the old state ("" when added)
    after: str    # description of the new state ("" when removed)

    def __str__(self) -> str:
        if self.kind == "value":
            where = f"{self.path} : {self.name or '(default)'}"
        else:
            where = f"{self.path} {self.name}".rstrip()
        detail = {"added": self.after, "removed": self.before,
                  "changed": f"{self.before} -> {self.after}"}[self.change]
        return f"{self.change:8} {self.kind:7} {where}" + (f"  = {detail}" if detail else "")


def _describe_file(entry: FileEntry) -> str:
    if entry.kind == "dir":
        return "directory"
    if entry.kind == "link":
        return f"link to {entry.link_target}"
    flags = " read-only" if entry.readonly else ""
    return f"{entry.size} bytes, hash {entry.content_hash[:12]}{flags}"


class Diff:
    """Differences between two snapshots, one Change per file, key, value and
    profile entry that was added, removed or changed. Profile files also show
    up as changed files; their entries are listed on top of that."""

    def __init__(self, before: Snapshot, after: Snapshot) -> None:
        self.changes: list[Change] = []
        self._compare_files(before, after)
        self._compare_registry(before.registry, after.registry)
        self._compare_profiles(before, after)

    def _add(self, kind: str, change: str, path: str, name: str, old: str, new: str, identity: str) -> None:
        if not _is_noise(kind, identity):
            self.changes.append(Change(kind, change, path, name, old, new))

    def _compare_files(self, before: Snapshot, after: Snapshot) -> None:
        for fid in sorted(before.files.keys() | after.files.keys()):
            old, new = before.files.get(fid), after.files.get(fid)
            if old and new and old[1] == new[1]:
                continue
            change = "added" if old is None else "removed" if new is None else "changed"
            path = (new or old)[0]
            self._add("file", change, path, "", _describe_file(old[1]) if old else "",
                      _describe_file(new[1]) if new else "", fid)

    def _compare_registry(self, before: RegistryTree, after: RegistryTree) -> None:
        for kid in sorted(before.keys.keys() ^ after.keys.keys()):
            change = "added" if kid in after.keys else "removed"
            self._add("key", change, (after.keys.get(kid) or before.keys[kid]), "", "", "", kid)
        for vid in sorted(before.values.keys() | after.values.keys()):
            old, new = before.values.get(vid), after.values.get(vid)
            if old and new and old[2] == new[2]:
                continue
            change = "added" if old is None else "removed" if new is None else "changed"
            key, name, _ = new or old
            self._add("value", change, key, name, str(old[2]) if old else "", str(new[2]) if new else "",
                      vid[0] + "\\" + vid[1])

    def _compare_profiles(self, before: Snapshot, after: Snapshot) -> None:
        for fid in sorted(before.profiles.keys() | after.profiles.keys()):
            old_data, new_data = before.profiles.get(fid), after.profiles.get(fid)
            if old_data == new_data:
                continue
            path = (after.files.get(fid) or before.files.get(fid) or (fid,))[0]
            old = IniFile(old_data).flat() if old_data is not None else {}
            new = IniFile(new_data).flat() if new_data is not None else {}
            for entry in sorted(old.keys() | new.keys()):
                old_value = old[entry][1] if entry in old else None
                new_value = new[entry][1] if entry in new else None
                if old_value == new_value:
                    continue
                change = "added" if old_value is None else "removed" if new_value is None else "changed"
                self._add("profile", change, path, (new.get(entry) or old[entry])[0], old_value or "",
                          new_value or "", fid)

    def __bool__(self) -> bool:
        return bool(self.changes)

    def __str__(self) -> str:
        return "\n".join(str(change) for change in self.changes) or "(no change)"

    def of_kind(self, kind: str) -> list[Change]:
        return [change for change in self.changes if change.kind == kind]

    def assert_changes(self, files: Mapping[str, Optional[str]] = (),
                       keys: Mapping[str, Optional[str]] = (),
                       values: Mapping[tuple[str, str], Optional[str]] = (),
                       profiles: Mapping[tuple[str, str, str], Optional[str]] = ()) -> None:
        """Asserts that exactly the expected things changed: each expected item
        changed as stated ("added", "removed", "changed", or None for any of
        them), and nothing else changed.

        files:    Windows path -> change
        keys:     key path -> change
        values:   (key path, value name) -> change
        profiles: (profile file path, section, key) -> change, for entries of
                  profile files; the profile file itself then counts as an
                  expected changed file.
        Directories above an expected added file, and keys above an expected
        added key or value, may be added too without being listed. Paths and
        names ignore letter case.
        """
        expected: dict[tuple[str, str, str], Optional[str]] = {}
        implied: set[tuple[str, str, str]] = set()
        for path, change in dict(files).items():
            expected[("file", _file_id(path), "")] = change
            if change in ("added", None):
                implied.update(("file", parent, "") for parent in _parents(_file_id(path), stop=2))
        for path, change in dict(keys).items():
            expected[("key", _key_id(path), "")] = change
            if change in ("added", None):
                implied.update(("key", parent, "") for parent in _parents(_key_id(path), stop=1))
        for (path, name), change in dict(values).items():
            expected[("value", _key_id(path), name.lower())] = change
            implied.update(("key", parent, "") for parent in _parents(_key_id(path) + "\\x", stop=1))
        for (path, section, key), change in dict(profiles).items():
            expected[("profile", _file_id(path), f"[{section.lower()}] {key.lower()}")] = change
            implied.add(("file", _file_id(path), ""))

        problems = []
        seen = set()
        for change in self.changes:
            if change.kind == "file":
                identity = ("file", _file_id(change.path), "")
            elif change.kind == "key":
                identity = ("key", _key_id(change.path), "")
            elif change.kind == "value":
                identity = ("value", _key_id(change.path), change.name.lower())
            else:
                identity = ("profile", _file_id(change.path), change.name.lower())
            seen.add(identity)
            if identity in expected:
                wanted = expected[identity]
                if wanted is not None and wanted != change.change:
                    problems.append(f"expected {wanted}, got: {change}")
            elif identity not in implied:
                problems.append(f"unexpected: {change}")
        for identity, wanted in expected.items():
            if identity not in seen:
                kind, path, name = identity
                problems.append(f"expected {wanted or 'a change'} of {kind} {path} {name}".rstrip())
        if problems:
            raise AssertionError("machine changes differ from the expected ones:\n  " +
                                 "\n  ".join(problems) + "\nall changes:\n" + str(self))


def _file_id(path: str) -> str:
    return str(PureWindowsPath(path)).rstrip("\\").lower()


def _parents(identity: str, stop: int) -> list[str]:
    """Every ancestor of a backslash path that has more than stop parts."""
    parts = identity.split("\\")
    return ["\\".join(parts[:n]) for n in range(stop + 1, len(parts))]


# --------------------------------------------------------------------------
# Running Wine


def _wine_environment(prefix: Path, extra: Optional[Mapping[str, str]] = None,
                      arch: Optional[str] = None) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("WINE") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    arch = arch or wine_arch()[0]
    if arch == "win64":
        env.update(WINELOADER=WINE64_LOADER)
    env.update(WINEPREFIX=str(prefix), WINEARCH=arch,
               WINEDEBUG=os.environ.get("KORVANTA_WINEDEBUG", "-all"),
               # No Mono or Gecko installer at prefix creation; no menu entries
               # written into the Linux home.
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if extra:
        env.update(extra)
    return env


class _Logs:
    """Numbered log files for Wine commands' output (never pipes)."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.count = 0

    def open(self, label: str):
        self.count += 1
        name = re.sub(r"[^A-Za-z0-9_.-]+", "_", label)[:40]
        return open(self.directory / f"{self.count:03d}-{name}.log", "wb")

    @staticmethod
    def tail(handle, limit: int = 2000) -> str:
        with open(handle.name, "rb") as f:
            return f.read().decode(errors="replace")[-limit:]


def _run_checked(args: list[str], env: Mapping[str, str], logs: _Logs, timeout: float = DEFAULT_TIMEOUT,
                 cwd: Optional[Path] = None, check: bool = True) -> int:
    with logs.open(Path(args[0]).name + "-" + (Path(args[1]).name if len(args) > 1 else "")) as log:
        try:
            code = subprocess.run(args, env=dict(env), stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT, timeout=timeout, cwd=cwd).returncode
        except subprocess.TimeoutExpired as error:
            raise WineError(f"{' '.join(args)} did not end within {timeout} s") from error
    if check and code != 0:
        raise WineError(f"{' '.join(args)} failed with exit code {code}:\n{_Logs.tail(log)}")
    return code


def _wait_for(condition, timeout: float, what: str, process: Optional[subprocess.Popen] = None) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if process is not None and process.poll() is not None:
            raise WineError(f"{what}: the process ended with exit code {process.returncode}")
        if time.monotonic() > deadline:
            raise WineError(f"{what}: not within {timeout} s")
        time.sleep(0.01)


# --------------------------------------------------------------------------
# Template


#: Names a template that one process built and shared for the whole test run
#: (scripts/test does, with `winebed.py share-template`); Template.for_run()
#: attaches to it instead of building one of its own.
SHARED_TEMPLATE = "KORVANTA_WINE_TEMPLATE"

#: What share() writes last into a template's root: its architecture and
#: every family's hash table. Its presence means the template is complete.
_SHARED_RECORD = "shared.json"


class Template:
    """The prefixes every machine of a test run is copied from: one per family,
    built on first use. Build with Template.build() (or Template.for_run());
    remove with cleanup(), which leaves a template that another process owns
    in place."""

    def __init__(self, root: Path, spares: bool = True, arch: Optional[str] = None) -> None:
        self.root = root
        self.spares = spares
        self.arch = arch or wine_arch()[0]
        self.logs = _Logs(root)
        self._family_prefix: dict[str, Path] = {}
        self._hashes: dict[str, dict[str, tuple[int, int, str]]] = {}
        self._spares: dict[str, tuple[Path, subprocess.Popen]] = {}
        # False for a template that another process built and removes.
        self.owned = True
        atexit.register(self.cleanup)

    @classmethod
    def build(cls, parent: Optional[Path] = None, spares: bool = True,
              arch: Optional[str] = None) -> "Template":
        """Creates the NT family's prefix (about 10 s); the 9x one follows on
        first use. With spares, the copy for the next machine of a family is
        made in the background while a test runs. arch "win64" makes 64-bit
        prefixes also where this machine's own are 32-bit: there the 32-bit
        build runs under WOW64, as on 64-bit Windows."""
        template = cls(Path(tempfile.mkdtemp(prefix="korvanta-winebed-", dir=parent)), spares, arch)
        base = template.root / "nt"
        env = _wine_environment(base, arch=template.arch)
        wine = wine_command(template.arch)
        _run_checked([wine, "wineboot", "-i"], env, template.logs, timeout=300)
        for args in (
            # Message boxes block without an X server, as real ones do.
            ["reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"],
            # A crash ends the program instead of waiting on a dialog.
            ["reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
             "/d", "0", "/f"],
            ["reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", FAMILY_VERSIONS["nt"], "/f"],
        ):
            _run_checked([wine] + args, env, template.logs)
        # A graceful end writes the registry to disk.
        _run_checked(["wineserver", "-w"], env, template.logs)
        # The user folders are links into the Linux home; a program under test
        # must not write there.
        users = base / "drive_c" / "users"
        for user in users.iterdir():
            for entry in user.iterdir():
                if entry.is_symlink():
                    entry.unlink()
                    entry.mkdir()
        template._family_prefix["nt"] = base
        return template

    @classmethod
    def for_run(cls, spares: bool = True) -> "Template":
        """The run's shared template when SHARED_TEMPLATE names one, else a
        new template of this process's own."""
        shared = os.environ.get(SHARED_TEMPLATE)
        return cls.attach(Path(shared), spares) if shared else cls.build(spares=spares)

    @classmethod
    def attach(cls, root: Path, spares: bool = True) -> "Template":
        """Uses a template that another process built and shared. Its prefixes
        are only ever copied, never changed, so any number of processes can
        use it at once; each keeps its own spares."""
        record = root / _SHARED_RECORD
        if not record.is_file():
            raise WineError(f"{root} is not a shared template ({record} is missing)")
        shared = json.loads(record.read_text())
        if shared["arch"] != wine_arch()[0]:
            raise WineError(f"{root} holds {shared['arch']} prefixes, this run needs {wine_arch()[0]}")
        template = cls(root, spares, arch=shared["arch"])
        template.owned = False
        for family in FAMILIES:
            template._family_prefix[family] = root / family
            template._hashes[family] = {relative: tuple(entry) for relative, entry in shared["hashes"][family].items()}
        return template

    @classmethod
    def share_for_run(cls) -> Optional["Template"]:
        """Unless SHARED_TEMPLATE already names one, builds and shares a
        template and names it there for this process and those it starts;
        returns it for its cleanup() at the end, or None."""
        if os.environ.get(SHARED_TEMPLATE):
            return None
        template = cls.build(spares=False)
        template.share()
        os.environ[SHARED_TEMPLATE] = str(template.root)
        return template

    def share(self) -> None:
        """Makes every family's prefix and hash table now and records them in
        the root, so that other processes can attach() to this template."""
        record = {"arch": self.arch, "hashes": {family: self.file_hashes(family) for family in FAMILIES}}
        partial = self.root / (_SHARED_RECORD + ".partial")
        partial.write_text(json.dumps(record))
        partial.rename(self.root / _SHARED_RECORD)

    def prefix(self, family: str) -> Path:
        """The family's template prefix, made from the NT one on first use."""
        if family not in FAMILY_VERSIONS:
            raise ValueError(f"unknown family {family!r}; use one of {FAMILIES}")
        if family not in self._family_prefix:
            target = self.root / family
            _run_checked(["cp", "-a", str(self._family_prefix["nt"]), str(target)], os.environ, self.logs)
            env = _wine_environment(target, arch=self.arch)
            _run_checked([wine_command(self.arch), "reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d",
                          FAMILY_VERSIONS[family], "/f"], env, self.logs)
            _run_checked(["wineserver", "-w"], env, self.logs)
            self._family_prefix[family] = target
        return self._family_prefix[family]

    def file_hashes(self, family: str) -> dict[str, tuple[int, int, str]]:
        """Relative path -> (size, mtime_ns, content hash) of every template
        file, computed once per run: a machine's copy keeps size and time, so a
        snapshot hashes only what changed since. The families' templates are
        copies of one another, so one table serves the other where the files
        match."""
        if family not in self._hashes:
            drive_c = self.prefix(family) / "drive_c"
            known = next(iter(self._hashes.values()), {})
            table = {}
            for path in _walk(drive_c):
                if path.is_file() and not path.is_symlink():
                    st = path.lstat()
                    relative = str(path.relative_to(drive_c))
                    entry = known.get(relative)
                    if entry is None or entry[:2] != (st.st_size, st.st_mtime_ns):
                        entry = (st.st_size, st.st_mtime_ns, _content_hash(path))
                    table[relative] = entry
            self._hashes[family] = table
        return self._hashes[family]

    def _copy_prefix(self, family: str, target: Path) -> subprocess.Popen:
        return subprocess.Popen(["cp", "-a", str(self.prefix(family)), str(target)],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def new_machine(self, family: str) -> "Machine":
        """A fresh machine of the family (a copy takes about 1-1.5 s)."""
        root = None
        spare = self._spares.pop(family, None)
        if spare is not None:
            spare_root, copying = spare
            if copying.wait() == 0:
                root = spare_root
            else:
                shutil.rmtree(spare_root, ignore_errors=True)
        if root is None:
            root = _machine_folder()
            if self._copy_prefix(family, root / "prefix").wait() != 0:
                shutil.rmtree(root, ignore_errors=True)
                raise WineError(f"cannot copy the {family} template")
        if self.spares:
            spare_root = _machine_folder()
            self._spares[family] = (spare_root, self._copy_prefix(family, spare_root / "prefix"))
        return Machine(self, family, root)

    def cleanup(self) -> None:
        for spare_root, copying in self._spares.values():
            copying.wait()
            shutil.rmtree(spare_root, ignore_errors=True)
        self._spares.clear()
        # The templates' own sessions ended when they were built.
        self._family_prefix.clear()
        self._hashes.clear()
        if self.owned:
            shutil.rmtree(self.root, ignore_errors=True)


#: Where machines are copied when there is room: a tmpfs, because a copy there
#: takes a fraction of the time and processor that one on a disk file system
#: takes, and removing one never waits for the disk.
RAM_FOLDER = Path("/dev/shm")
#: Memory left to the rest of the system before a machine goes to RAM.
_RAM_RESERVE = 4 << 30


def _machine_folder() -> Path:
    """A new folder for one machine's copy, named after this process so that
    a copy left by a killed process can be found (see _sweep_ram_folder)."""
    parent = RAM_FOLDER if _ram_has_room() else None
    return Path(tempfile.mkdtemp(prefix=f"korvanta-machine-p{os.getpid()}-", dir=parent))


@functools.lru_cache(maxsize=None)
def _ram_folder_usable() -> bool:
    # Wine keeps the hidden and system attributes in a user extended
    # attribute, which older tmpfs cannot hold; without it a machine there
    # would not behave as one on disk.
    if os.environ.get("KORVANTA_WINE_NO_RAM"):
        return False
    try:
        with tempfile.NamedTemporaryFile(dir=RAM_FOLDER, prefix="korvanta-probe-") as probe:
            os.setxattr(probe.name, "user.DOSATTRIB", b"0x2")
    except OSError:
        return False
    _sweep_ram_folder()
    return True


def _ram_has_room() -> bool:
    if not _ram_folder_usable():
        return False
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) << 10 for line in f if line.startswith("MemAvailable:"))
    st = os.statvfs(RAM_FOLDER)
    return available > _RAM_RESERVE and st.f_bavail * st.f_frsize > (2 << 30)


def _sweep_ram_folder() -> None:
    """Removes machine copies whose process has ended: one killed before it
    could close its machines would otherwise hold that memory until a reboot."""
    for folder in RAM_FOLDER.glob("korvanta-machine-p*-*"):
        pid = folder.name.split("-")[2][1:]
        if not pid.isdigit():
            continue
        try:
            os.kill(int(pid), 0)
            continue
        except PermissionError:
            continue
        except ProcessLookupError:
            pass
        subprocess.run(["chattr", "-R", "-i", str(folder)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)


def _walk(top: Path) -> Iterator[Path]:
    for directory, dirnames, filenames in os.walk(top):
        dirnames.sort()
        base = Path(directory)
        for name in sorted(dirnames + filenames):
            yield base / name


def _content_hash(path: Path) -> str:
    # BLAKE2 hashes the template's 600 MB twice as fast as SHA-256.
    digest = hashlib.blake2b(digest_size=16)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _end_session(prefix: Path) -> None:
    env = _wine_environment(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


# --------------------------------------------------------------------------
# Machine


class MessageBox(NamedTuple):
    caption: str
    text: str
    buttons: tuple[int, ...]  # ids of the visible buttons: (1,) is OK alone


class RunResult(NamedTuple):
    exit_code: int
    boxes: list[MessageBox]
    seconds: float
    output: str  # what a console program wrote to standard output and error


class BackgroundProcess:
    """A Wine process running in a machine's session until stop()."""

    def __init__(self, popen: subprocess.Popen, log) -> None:
        self.popen = popen
        self._log = log

    def running(self) -> bool:
        return self.popen.poll() is None

    def stop(self) -> None:
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait()
        self._log.close()

    def __enter__(self) -> "BackgroundProcess":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


class Machine:
    """One scenario's Windows machine: a copy of the template prefix with its
    own Wine session. Close it (or use it as a context manager) to end the
    session and remove the copy."""

    def __init__(self, template: Template, family: str, root: Path) -> None:
        self.template = template
        self.family = family
        self.root = root
        self.prefix = root / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.work = root / "work"
        self.work.mkdir()
        (self.work / "logs").mkdir()
        self.logs = _Logs(self.work / "logs")
        self.arch = template.arch
        self.env = _wine_environment(self.prefix, arch=self.arch)
        self._session = False
        self._background: list[BackgroundProcess] = []
        self._watcher: Optional[BackgroundProcess] = None
        self._boxes_read = 0
        self._immutable: set[Path] = set()
        self._counter = 0
        # Hash cache: a file whose inode, change time, size and modification
        # time are as recorded has the recorded hash. The change time moves on
        # every write, so nothing can slip through.
        self._hash_cache: dict[str, tuple[tuple[int, int, int, int], str]] = {}
        template_hashes = template.file_hashes(family)
        for relative, (size, mtime, digest) in template_hashes.items():
            with contextlib.suppress(OSError):
                st = (self.drive_c / relative).lstat()
                if (st.st_size, st.st_mtime_ns) == (size, mtime):
                    self._hash_cache[relative] = ((st.st_ino, st.st_ctime_ns, size, mtime), digest)
        _live_machines.add(self)

    # ---- lifetime

    def close(self) -> None:
        """Ends the session and removes the machine."""
        try:
            self.end_session()
        finally:
            for path in list(self._immutable):
                subprocess.run(["chattr", "-i", str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self._immutable.clear()
            shutil.rmtree(self.root, ignore_errors=True)
            _live_machines.discard(self)

    def __enter__(self) -> "Machine":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- paths and files

    def path(self, windows_path: str) -> Path:
        """The Linux path of a Windows path on this machine, matching existing
        names without regard to letter case as Windows does."""
        win = PureWindowsPath(windows_path)
        if not win.drive or len(win.drive) != 2:
            raise ValueError(f"not a full Windows path: {windows_path!r}")
        current = (self.prefix / "dosdevices" / win.drive.lower()).resolve()
        for part in win.parts[1:]:
            candidate = current / part
            if not candidate.exists() and current.is_dir():
                for entry in os.listdir(current):
                    if entry.lower() == part.lower():
                        candidate = current / entry
                        break
            current = candidate
        return current

    def exists(self, windows_path: str) -> bool:
        return self.path(windows_path).exists()

    def read(self, windows_path: str) -> bytes:
        return self.path(windows_path).read_bytes()

    def write(self, windows_path: str, data: bytes | str, readonly: bool = False) -> None:
        """Writes a file (text in the ANSI code page); its directory must exist.
        readonly sets FILE_ATTRIBUTE_READONLY as Wine keeps it."""
        target = self.path(windows_path)
        if target.exists():
            self.set_readonly(windows_path, False)
        target.write_bytes(data.encode(ANSI_CODE_PAGE) if isinstance(data, str) else data)
        if readonly:
            self.set_readonly(windows_path, True)

    def mkdir(self, windows_path: str) -> None:
        self.path(windows_path).mkdir(parents=True, exist_ok=True)

    def remove(self, windows_path: str) -> None:
        target = self.path(windows_path)
        if target.is_dir() and not target.is_symlink():
            shutil.rmtree(target)
        else:
            target.unlink()

    def set_readonly(self, windows_path: str, readonly: bool = True) -> None:
        target = self.path(windows_path)
        mode = target.stat().st_mode
        target.chmod(mode & ~0o222 if readonly else mode | 0o200)

    def read_ini(self, windows_path: str) -> IniFile:
        """A profile file, parsed; an empty one when it does not exist."""
        target = self.path(windows_path)
        return IniFile(target.read_bytes() if target.exists() else b"")

    def add_real_windows_layout(self, family: str) -> None:
        """Gives the prefix what every real Windows of the family has and a
        Wine prefix lacks, so that every component of the installer can be
        placed: NT has the 16-bit system folder C:\\windows\\SYSTEM; the 9x
        family has IOSUBSYS below its system folder, the driver folder its rule
        puts beside it (system folder + "32", then Drivers) and its device tree
        in HKLM\\Enum, and no ASPI layer until one is installed (Wine's prefix
        holds a placeholder WNASPI32.DLL)."""
        if family == "nt":
            self.mkdir("C:\\windows\\SYSTEM")
            return
        self.remove("C:\\windows\\system32\\wnaspi32.dll")
        self.mkdir("C:\\windows\\system32\\IOSUBSYS")
        self.mkdir("C:\\windows\\system3232\\Drivers")
        self.wine("reg", "add", "HKLM\\Enum\\Root", "/f")

    def install_payload(self, names: Optional[Iterable[str]] = None, setup_dir: str = SETUP_DIR,
                        payload: Optional[Path] = None, exe: Optional[Path] = None) -> str:
        """Puts the installer and the component files (all, or the given
        names) into setup_dir, as the suite's setup leaves them. Returns the
        installer's Windows path."""
        payload = payload or payload_dir()
        exe = exe or installer_exe()
        if not exe.is_file():
            raise WineError(f"{exe} is missing: build the Windows targets first")
        self.mkdir(setup_dir)
        target = self.path(setup_dir)
        chosen = sorted(p.name for p in payload.iterdir() if p.is_file()) if names is None else list(names)
        for name in chosen:
            shutil.copyfile(payload / name, target / name)
        shutil.copyfile(exe, target / INSTALLER_NAME)
        return setup_dir + "\\" + INSTALLER_NAME

    # ---- session

    @property
    def session_running(self) -> bool:
        return self._session

    def start_session(self) -> None:
        """Starts the persistent Wine session and the message-box watcher. A
        new session carries out pending renames first (Wininit.ini, then
        PendingFileRenameOperations), as a restart does."""
        if self._session:
            return
        _run_checked(["wineserver", "-p"], self.env, self.logs, timeout=60)
        self._session = True
        boxes = self.work / "boxes.txt"
        boxes.unlink(missing_ok=True)
        self._boxes_read = 0
        self._watcher = self._start([wine_command(self.arch), str(tool("watcher")), dos_path(boxes)], "watcher")
        _wait_for(boxes.exists, 60, "the message-box watcher did not start", self._watcher.popen)

    def end_session(self) -> None:
        """Ends the session: every process of it, the server last."""
        if not self._session:
            return
        self._session = False
        try:
            _end_session(self.prefix)
        finally:
            for process in self._background:
                process.stop()
            self._background.clear()
            self._watcher = None

    def restart(self, new_session: bool = False) -> None:
        """Simulates a restart: `wineboot -r` in the running session carries out
        Wininit.ini and PendingFileRenameOperations. With new_session the
        session is ended and a new one started instead, which does the same and
        also drops what Wine keeps only in memory (key access lists)."""
        if new_session:
            self.end_session()
            self.start_session()
        else:
            self.start_session()
            _run_checked([wine_command(self.arch), "wineboot", "-r"], self.env, self.logs)

    def _start(self, args: list[str], label: str,
               extra_env: Optional[Mapping[str, str]] = None) -> BackgroundProcess:
        log = self.logs.open(label)
        env = dict(self.env)
        if extra_env:
            env.update(extra_env)
        # Started from C:\ so that Wine gives the program that current folder.
        popen = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                 cwd=self.drive_c)
        process = BackgroundProcess(popen, log)
        self._background.append(process)
        return process

    def _scratch(self, stem: str) -> Path:
        self._counter += 1
        return self.work / f"{stem}-{self._counter}"

    def wine(self, *args: str, check: bool = True, timeout: float = DEFAULT_TIMEOUT) -> int:
        """Runs a Wine command (for example "reg", "add", ...) in the session."""
        self.start_session()
        return _run_checked([wine_command(self.arch), *args], self.env, self.logs, timeout=timeout, check=check)

    # ---- running programs

    def run(self, program: str, *args: str, command_line: Optional[str] = None,
            timeout: float = DEFAULT_TIMEOUT, dll_overrides: Optional[str] = None,
            env: Optional[Mapping[str, str]] = None, administrator: bool = True) -> RunResult:
        """Runs a program (Windows path) in the session and waits for it.
        The command line is the program's path in double quotes followed by
        the arguments (quoted when they hold blanks or are empty), or exactly
        command_line when given. dll_overrides is added to WINEDLLOVERRIDES
        (for example "newdev=n,b" to prefer a native newdev.dll over the built-in one);
        env adds environment variables, which the program inherits.
        administrator=False starts it with the Administrators group of its
        token for deny only, as a user's who is no administrator.
        Returns the exit code and the message boxes shown meanwhile."""
        self.start_session()
        if command_line is None:
            command_line = " ".join([f'"{program}"'] + [_quote_argument(a) for a in args])
        exit_file = self._scratch("exit")
        extra = dict(env or {})
        if not administrator:
            extra["WINEBED_NOT_ADMINISTRATOR"] = "1"
        if dll_overrides:
            extra["WINEDLLOVERRIDES"] = self.env["WINEDLLOVERRIDES"] + ";" + dll_overrides
        started = time.monotonic()
        process = self._start([wine_command(self.arch), str(tool("launch")), dos_path(exit_file), program,
                               command_line.encode(ANSI_CODE_PAGE).hex()], "run-" + PureWindowsPath(program).name,
                              extra_env=extra)
        try:
            process.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            boxes = self._new_boxes()
            process.stop()
            raise WineError(f"{program} did not end within {timeout} s; boxes so far: {boxes}")
        process.stop()
        self._background.remove(process)
        if process.popen.returncode != 0 or not exit_file.exists():
            raise WineError(f"cannot run {program} (launch exit code {process.popen.returncode}):\n"
                            f"{_Logs.tail(process._log)}")
        exit_code = int(exit_file.read_text())
        output = Path(process._log.name).read_bytes().decode(ANSI_CODE_PAGE, errors="replace")
        return RunResult(exit_code, self._new_boxes(), time.monotonic() - started, output)

    def run_installer(self, *args: str, command_line: Optional[str] = None, setup_dir: str = SETUP_DIR,
                      timeout: float = DEFAULT_TIMEOUT, dll_overrides: Optional[str] = None,
                      env: Optional[Mapping[str, str]] = None, administrator: bool = True) -> RunResult:
        """Runs the installer from setup_dir (see install_payload) with the
        given arguments or the exact command_line."""
        return self.run(setup_dir + "\\" + INSTALLER_NAME, *args, command_line=command_line, timeout=timeout,
                        dll_overrides=dll_overrides, env=env, administrator=administrator)

    def _new_boxes(self) -> list[MessageBox]:
        boxes_file = self.work / "boxes.txt"
        lines = boxes_file.read_bytes().decode("ascii").splitlines() if boxes_file.exists() else []
        new = lines[self._boxes_read:]
        self._boxes_read = len(lines)
        result = []
        for line in new:
            kind, caption, text, buttons = line.split("\t")
            if kind != "box":
                raise WineError(f"watcher: unknown record {line!r}")
            result.append(MessageBox(_unescape(caption).decode(ANSI_CODE_PAGE),
                                     _unescape(text).decode(ANSI_CODE_PAGE),
                                     tuple(int(b) for b in buttons.split(",") if b)))
        return result

    def start_process(self, program: str, *args: str) -> BackgroundProcess:
        """Starts a program (Windows path) in the session and leaves it
        running; stop() or the session's end ends it."""
        self.start_session()
        return self._start([wine_command(self.arch), program, *args], "process-" + PureWindowsPath(program).name)

    def start_named_process(self, windows_path: str) -> BackgroundProcess:
        """Copies the sleeper to windows_path (for example C:\\Suite\\TAV.EXE)
        and starts it there, so that a program of that name is running."""
        self.mkdir(str(PureWindowsPath(windows_path).parent))
        shutil.copyfile(tool("sleeper"), self.path(windows_path))
        marker = self._scratch("started")
        process = self.start_process(windows_path, dos_path(marker))
        _wait_for(marker.exists, 60, f"{windows_path} did not start", process.popen)
        return process

    # ---- failure injection

    @contextlib.contextmanager
    def hold_lock(self, windows_path: str) -> Iterator[BackgroundProcess]:
        """Holds the file open, shared for reading only, from a helper process
        in the session: writing, replacing or deleting it fails with error 32
        (a sharing violation) until the block ends."""
        self.start_session()
        marker = self._scratch("locked")
        process = self._start([wine_command(self.arch), str(tool("locker")), windows_path, dos_path(marker)], "locker")
        try:
            _wait_for(marker.exists, 60, f"cannot lock {windows_path}", process.popen)
            yield process
        finally:
            process.stop()
            if process in self._background:
                self._background.remove(process)

    @contextlib.contextmanager
    def immutable(self, windows_path: str) -> Iterator[Path]:
        """Makes the file or directory immutable on Linux (chattr +i) for the
        block: even root cannot change, replace or delete it, and Windows
        calls fail with error 5 (access denied)."""
        target = self.path(windows_path)
        subprocess.run(["chattr", "+i", str(target)], check=True, stdout=subprocess.DEVNULL)
        self._immutable.add(target)
        try:
            yield target
        finally:
            subprocess.run(["chattr", "-i", str(target)], check=True, stdout=subprocess.DEVNULL)
            self._immutable.discard(target)

    # ---- drives

    def add_cdrom(self, letter: str, directory: Optional[Path | str]) -> None:
        """Maps a Linux directory as a CD-ROM drive; see add_cdroms."""
        self.add_cdroms({letter: directory})

    def add_cdroms(self, drives: Mapping[str, Optional[Path | str]]) -> None:
        """Maps Linux directories as CD-ROM drives: letter ("d" to "z") ->
        directory, not copied. Letter "c" with None marks the system drive as
        a CD-ROM drive. Wine reads its drive table at session start, so the
        session is ended and the next call starts a new one, which also
        carries out pending renames: add drives before anything is pending."""
        for letter, directory in drives.items():
            letter = letter.lower().rstrip(":")
            if directory is not None:
                link = self.prefix / "dosdevices" / f"{letter}:"
                if link.is_symlink() or link.exists():
                    link.unlink()
                link.symlink_to(Path(directory).resolve())
            self.wine("reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", f"{letter}:", "/d", "cdrom", "/f")
        self.end_session()

    # ---- registry

    def reg_dump(self, *keys: str) -> RegistryTree:
        """Dumps the keys (recursively) exactly as an ANSI program reads them:
        type, byte length and bytes of every value, missing and unreadable
        keys. Runs in the session, so it sees the state before a restart."""
        self.start_session()
        out = self._scratch("regdump")
        _run_checked([wine_command(self.arch), str(tool("regdump")), dos_path(out), *keys], self.env, self.logs)
        return parse_regdump(out.read_bytes().decode("ascii"))

    def key_security(self, key: str) -> str:
        """A key's owner, group and access list (with its protection) as one
        line of SDDL. Runs in the session: Wine keeps access lists only there."""
        self.start_session()
        out = self._scratch("keysecurity")
        _run_checked([wine_command(self.arch), str(tool("keysecurity")), dos_path(out), key], self.env, self.logs)
        return out.read_bytes().decode("ascii").strip()

    def present_devices(self) -> list[str]:
        """The instance ids of the present devices, as SetupAPI enumerates them."""
        self.start_session()
        out = self._scratch("devlist")
        _run_checked([wine_command(self.arch), str(tool("devlist")), dos_path(out)], self.env, self.logs)
        return out.read_bytes().decode("ascii").splitlines()

    def reg_value(self, key: str, name: str) -> Optional[RegValue]:
        """One value as an ANSI program reads it, or None when it is missing."""
        return self.reg_dump(key).value(key, name)

    def reg_save(self, *keys: str) -> RegistryTree:
        """Reads whole trees fast through the server (regsave.exe); string
        values are shown in ANSI form. Prefer reg_dump for exact assertions:
        this view sees through access lists and omits volatile keys."""
        self.start_session()
        outputs = [(key, self._scratch("regsave")) for key in keys]
        args = [item for key, out in outputs for item in (key, dos_path(out))]
        _run_checked([wine_command(self.arch), str(tool("regsave")), *args], self.env, self.logs)
        tree = RegistryTree()
        for key, out in outputs:
            part = parse_wine_registry(out.read_bytes().decode("ascii"), key)
            tree.keys.update(part.keys)
            tree.values.update(part.values)
        return tree

    def reg_set(self, key: str, name: str, value: RegValue) -> None:
        """Sets a value byte-exactly (through a .reg import), creating the key."""
        self.reg_import({key: {name: value}})

    def reg_import(self, keys: Mapping[str, Mapping[str, RegValue]]) -> None:
        """Creates each key and sets its values byte-exactly. String values are
        given in ANSI form, as RegValue.sz() makes them."""
        lines = ["Windows Registry Editor Version 5.00", ""]
        for key, values in keys.items():
            lines.append(f"[{_long_root(key)}]")
            for name, value in values.items():
                stored = value.data
                if value.type in STRING_TYPES:
                    stored = value.data.decode(ANSI_CODE_PAGE).encode("utf-16-le")
                shown = "@" if name == "" else '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'
                lines.append(f"{shown}=hex({value.type:x}):" + ",".join(f"{b:02x}" for b in stored))
            lines.append("")
        reg_file = self._scratch("import").with_suffix(".reg")
        reg_file.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-16"))
        self.wine("regedit", "/s", dos_path(reg_file))

    def reg_delete(self, key: str, name: Optional[str] = None) -> None:
        """Deletes a key with everything below it, or one value of it."""
        args = ["reg", "delete", key, "/f"] if name is None else ["reg", "delete", key, "/v", name, "/f"]
        self.wine(*args)

    # ---- pending renames

    def pending_renames(self) -> list[PendingRename]:
        """PendingFileRenameOperations as it stands in the session, in order."""
        return parse_pending_renames(self.reg_value(SESSION_MANAGER_KEY, "PendingFileRenameOperations"))

    def wininit_renames(self) -> list[tuple[str, str]]:
        """The [rename] entries of Wininit.ini as (target, source), in order."""
        section = self.read_ini("C:\\windows\\wininit.ini").section("rename")
        return [(key, value) for key, value in section.entries() if key is not None] if section else []

    # ---- snapshots

    def snapshot(self, extra_keys: Iterable[str] = ()) -> Snapshot:
        """Files under C:\\, the registry trees of SNAPSHOT_KEYS (and
        extra_keys, such as the 9x family's HKLM\\Enum) and the profile files,
        as they stand in the running session."""
        registry = self.reg_save(*SNAPSHOT_KEYS, *extra_keys)
        files: dict[str, tuple[str, FileEntry]] = {}
        profiles: dict[str, bytes] = {}
        for path in _walk(self.drive_c):
            relative = str(path.relative_to(self.drive_c))
            windows = "C:\\" + relative.replace("/", "\\")
            st = path.lstat()
            try:
                attributes = os.getxattr(path, "user.DOSATTRIB", follow_symlinks=False).decode(errors="replace")
            except OSError:
                attributes = ""
            readonly = not (st.st_mode & 0o222)
            if path.is_symlink():
                entry = FileEntry("link", 0, "", False, attributes, os.readlink(path))
            elif path.is_dir():
                entry = FileEntry("dir", 0, "", readonly, attributes, "")
            else:
                entry = FileEntry("file", st.st_size, self._hash(relative, path, st), readonly, attributes, "")
                if windows.lower().endswith(".ini") and st.st_size < (1 << 20):
                    profiles[windows.lower()] = path.read_bytes()
            files[windows.lower()] = (windows, entry)
        return Snapshot(files, registry, profiles)

    def _hash(self, relative: str, path: Path, st: os.stat_result) -> str:
        stamp = (st.st_ino, st.st_ctime_ns, st.st_size, st.st_mtime_ns)
        cached = self._hash_cache.get(relative)
        if cached and cached[0] == stamp:
            return cached[1]
        digest = _content_hash(path)
        self._hash_cache[relative] = (stamp, digest)
        return digest


def _quote_argument(argument: str) -> str:
    return f'"{argument}"' if argument == "" or any(c in argument for c in " \t") else argument


def _long_root(key: str) -> str:
    root, _, rest = _normalize_key(key).partition("\\")
    return ROOT_NAMES.get(root, root) + ("\\" + rest if rest else "")


_live_machines: set[Machine] = set()


@atexit.register
def _close_live_machines() -> None:
    # A leftover wineserver would hold the test run's output open for ever.
    for machine in list(_live_machines):
        with contextlib.suppress(Exception):
            machine.close()


def _share_template(parent: Optional[str]) -> None:
    """Builds a template with every family prepared, shares it and prints its
    root; the caller removes it (rm -rf) when the run is over."""
    template = Template.build(Path(parent) if parent else None, spares=False)
    atexit.unregister(template.cleanup)
    try:
        template.share()
    except BaseException:
        shutil.rmtree(template.root, ignore_errors=True)
        raise
    print(template.root)


if __name__ == "__main__":
    import sys

    if len(sys.argv) not in (2, 3) or sys.argv[1] != "share-template":
        sys.exit("usage: winebed.py share-template [PARENT]")
    _share_template(sys.argv[2] if len(sys.argv) == 3 else None)
