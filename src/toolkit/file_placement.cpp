#include "toolkit/file_placement.h"

#include <optional>
#include <string_view>

#include "toolkit/install_message.h"
#include "toolkit/profile_file.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {
namespace {

// Where the NT family keeps the renames it carries out at the next start.
constexpr char SessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char PendingRenamesValue[] = "PendingFileRenameOperations";
// Another process may add to the list between the size and the read.
constexpr int PendingRenamesReads = 4;

// The pending renames as the session manager keeps them: a REG_MULTI_SZ of
// source and target pairs. Nothing when the list cannot be read.
std::optional<std::string> ReadPendingRenames(PlatformOps& ops) {
  HKEY opened = nullptr;
  if (ops.RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  ScopedRegKey key(ops, opened);
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (ops.RegQueryValueExA(key.Get(), PendingRenamesValue, nullptr, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;  // none pending, or none that can be read
  }
  for (int read = 0; read < PendingRenamesReads && type == REG_MULTI_SZ; ++read) {
    if (size == 0) return std::string();
    std::string data(size, '\0');
    const LONG status = ops.RegQueryValueExA(key.Get(), PendingRenamesValue, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data.data()), &size);
    if (status == ERROR_SUCCESS && type == REG_MULTI_SZ && size <= data.size()) {
      data.resize(size);
      return data;
    }
    if (status != ERROR_MORE_DATA) break;
  }
  return std::nullopt;
}

}  // namespace

std::string ShortPath(PlatformOps& ops, const std::string& path) {
  // A short name can be longer than its long name ("A B" is "AB~1"): when
  // the first buffer is too small, the result is the size needed.
  std::string buffer(MAX_PATH, '\0');
  for (int read = 0; read < 2; ++read) {
    const DWORD length =
        ops.GetShortPathNameA(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) break;
    if (length < buffer.size()) return buffer.substr(0, length);
    buffer.assign(length, '\0');
  }
  return path;
}

namespace {

// Whether the session manager holds a rename of `source` (recorded as "\??\"
// and the path) whose target is recorded as `target` ("" for a deletion);
// with no `target`, onto anything.
bool IsPendingFrom(PlatformOps& ops, const std::string& source, const std::string* target) {
  const std::optional<std::string> list = ReadPendingRenames(ops);
  if (!list) return false;
  const std::string from = "\\??\\" + source;
  std::string_view rest = *list;
  const auto next = [&rest] {
    const size_t end = rest.find('\0');
    const std::string_view entry = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return entry;
  };
  while (!rest.empty()) {
    const std::string_view entry = next();
    if (entry.empty()) break;            // the list's closing empty string
    const std::string_view to = next();  // empty for a deletion
    if (EqualIgnoringAsciiCase(entry, from) &&
        (target == nullptr || EqualIgnoringAsciiCase(to, *target))) {
      return true;
    }
  }
  return false;
}

// Whether the session manager already holds the rename of `staged` onto
// `target` that MoveFileExA records for a replacing delayed move: the target
// as "!\??\" and the path.
bool IsReplacePending(PlatformOps& ops, const std::string& target, const std::string& staged) {
  const std::string replaced = "!\\??\\" + target;
  return IsPendingFrom(ops, staged, &replaced);
}

// A copy that failed because a program holds the existing target (the
// engine, started at every logon, holds the kernel's library; a device
// maker's tool the USB library) goes where the engine's own files go: staged
// beside the target under its name with the last letter dropped, and renamed
// onto it at the next restart. Access is denied, rather than shared, to a
// running program's image; to a read-only target it means the bit stayed.
bool ReplaceInUseAtRestart(const Platform& platform, const std::string& source,
                           const std::string& target, DWORD copyError) {
  PlatformOps& ops = platform.ops;
  if (copyError != ERROR_SHARING_VIOLATION && copyError != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = ops.GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  if (copyError == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
  const std::string staged = target.substr(0, target.size() - 1);
  if (!CopyWritable(ops, source, staged)) return false;
  ScheduleReplace(platform, target, staged);
  return true;
}

}  // namespace

size_t FindLastSeparator(PlatformOps& ops, const std::string& text, const char* separators) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    // Every lead byte of the double-byte code pages Windows has lies above
    // 0x7F, so the code page is asked about those bytes only.
    if (byte >= 0x80 && ops.IsDBCSLeadByte(byte)) {
      ++i;  // the trail byte belongs to the character, whatever its value
      continue;
    }
    for (const char* separator = separators; *separator != '\0'; ++separator) {
      if (byte == static_cast<unsigned char>(*separator)) last = i;
    }
  }
  return last;
}

std::string FileNamePart(PlatformOps& ops, const std::string& path) {
  const size_t separator = FindLastSeparator(ops, path, "\\:");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string DirectoryPart(PlatformOps& ops, const std::string& path) {
  const size_t separator = FindLastSeparator(ops, path, "\\:");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string AdjustTrailingBackslash(PlatformOps& ops, const std::string& path, bool include) {
  if (path.empty()) return path;
  // Japanese, Chinese and Korean Windows have characters whose second byte
  // is "\" (0x5C): a folder named with one of those last does not end in a
  // separator.
  const bool endsInBackslash =
      path.back() == '\\' && FindLastSeparator(ops, path, "\\") == path.size() - 1;
  if (include && !endsInBackslash) return path + '\\';
  if (!include && endsInBackslash) return path.substr(0, path.size() - 1);
  return path;
}

// GetFileAttributesA rather than FindFirstFileA: it takes the name literally,
// so a "?" or "*" in a path can never make some other file count.
bool FileExists(PlatformOps& ops, const std::string& path) {
  const DWORD attributes = ops.GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void ClearAttributes(PlatformOps& ops, const std::string& path, DWORD bits) {
  const DWORD attributes = ops.GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  if ((attributes & bits) == 0) return;
  ops.SetFileAttributesA(path.c_str(), (attributes & ~bits) | FILE_ATTRIBUTE_ARCHIVE);
}

void ClearReadOnly(PlatformOps& ops, const std::string& path) {
  ClearAttributes(ops, path, FILE_ATTRIBUTE_READONLY);
}

bool CopyWritable(PlatformOps& ops, const std::string& source, const std::string& target) {
  // A copy onto a read-only file fails, and on the NT family so does one onto
  // a hidden or system file from a source without those bits. A file that a
  // stopped run left read-only would otherwise never be replaced again.
  ClearAttributes(ops, target,
                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (!ops.CopyFileA(source.c_str(), target.c_str(), FALSE)) return false;
  // CopyFileA gives the copy the source's attributes, and every file on a
  // CD-ROM is read-only: a read-only copy would stop the next update and
  // the replacement at the restart.
  ClearReadOnly(ops, target);
  return true;
}

void CopyAndReport(const Platform& platform, const std::string& source, const std::string& target,
                   const std::string& failureMessage) {
  PlatformOps& ops = platform.ops;
  if (!FileExists(ops, source)) return;
  if (!CopyWritable(ops, source, target) &&
      !ReplaceInUseAtRestart(platform, source, target, ops.GetLastError())) {
    ShowInstallMessage(ops, failureMessage);
  }
}

void ScheduleReplace(const Platform& platform, const std::string& target,
                     const std::string& staged) {
  PlatformOps& ops = platform.ops;
  // Neither family's restart replaces a read-only file.
  ClearReadOnly(ops, target);
  if (platform.Is9xFamily()) {
    // Windows 9x carries out Wininit.ini's [RENAME] entries (key: the file to
    // replace, value: the file that replaces it) before it loads any driver,
    // in real mode, where only short names exist: an entry with a long name
    // is passed over. The target itself need not exist yet, its folder does.
    ProfileFile wininit(ops, "Wininit.ini");
    wininit.WriteValue("RENAME", ShortPath(ops, DirectoryPart(ops, target)) + FileNamePart(ops, target),
                       ShortPath(ops, staged));
  } else if (!IsReplacePending(platform.ops, target, staged)) {
    // A second run before the restart must not add the pair again: the
    // repeated backup move would set the new file aside over the backup of
    // the old one, and the repeated install move would then find nothing.
    platform.ops.MoveFileExA(staged.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
  }
}

bool IsRenamePendingFrom(PlatformOps& ops, const std::string& source) {
  return IsPendingFrom(ops, source, nullptr);
}

bool ScheduleDelete(PlatformOps& ops, const std::string& path) {
  const std::string deletion;
  // A second uninstall before the restart adds nothing.
  if (IsPendingFrom(ops, path, &deletion)) return true;
  return ops.MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

}  // namespace korvanta
