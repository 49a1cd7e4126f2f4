#include "toolkit/removal.h"

#include <optional>
#include <utility>

#include "toolkit/error.h"
#include "toolkit/file_placement.h"
#include "toolkit/profile_file.h"
#include "toolkit/registry_tree.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {
namespace {

constexpr char Wininit[] = "Wininit.ini";
constexpr char RenameSection[] = "RENAME";

// Whether the key is there; one that cannot be opened for another reason
// than its absence counts as there.
bool KeyExists(PlatformOps& ops, HKEY root, const std::string& path) {
  HKEY opened = nullptr;
  const LONG result = ops.RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &opened);
  if (result == ERROR_SUCCESS) ops.RegCloseKey(opened);
  return result != ERROR_FILE_NOT_FOUND;
}

std::string ValueOf(const std::string& entry) {
  const size_t equals = entry.find('=');
  if (equals == std::string::npos) return std::string();
  const size_t first = entry.find_first_not_of(" \t", equals + 1);
  return first == std::string::npos ? std::string() : entry.substr(first);
}

std::string KeyOf(const std::string& entry) {
  std::string key = entry.substr(0, entry.find('='));
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
  return key;
}

}  // namespace

std::string PathOf(PlatformOps& ops, const SuiteFile& file, const std::string& windowsDir,
                   const std::string& systemDir) {
  const std::string& folder = file.folder == SuiteFolder::System ? systemDir : windowsDir;
  return AdjustTrailingBackslash(ops, folder, true) + file.path;
}

Removal::Removal(const Platform& platform, std::string windowsDir)
    : platform_(platform), windowsDir_(std::move(windowsDir)) {}

void Removal::RemoveFile(const std::string& path) {
  PlatformOps& ops = platform_.ops;
  // Only a file known to be missing is passed over: one whose attributes
  // cannot be read is deleted all the same.
  const DWORD attributes = ops.GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ops.GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }
  ClearAttributes(ops, path,
                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (ops.DeleteFileA(path.c_str())) return;
  const DWORD error = ops.GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  // Held by a program (the engine from logon on, the loaded driver): it goes
  // when nothing holds it any more.
  if (platform_.Is9xFamily()) {
    deletesAtRestart_.push_back(ShortPath(ops, path));
  } else if (!ScheduleDelete(ops, path)) {
    Failed(FileNamePart(ops, path));
  }
}

void Removal::RemoveKeyTree(HKEY root, const std::string& path) {
  PlatformOps& ops = platform_.ops;
  if (!RegDeleteTree(ops, root, path) && KeyExists(ops, root, path)) Failed(path);
}

void Removal::RemoveKeyIfEmpty(HKEY root, const std::string& path, bool valuesToo) {
  PlatformOps& ops = platform_.ops;
  HKEY opened = nullptr;
  const LONG result = ops.RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &opened);
  if (result == ERROR_FILE_NOT_FOUND) return;
  if (result != ERROR_SUCCESS) {
    Failed(path);
    return;
  }
  DWORD subkeys = 0;
  DWORD values = 0;
  LONG info = ERROR_SUCCESS;
  {
    const ScopedRegKey key(ops, opened);
    info = ops.RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                &values, nullptr, nullptr, nullptr, nullptr);
  }
  // A key whose content cannot be counted may hold someone else's entries.
  if (info != ERROR_SUCCESS) {
    Failed(path);
    return;
  }
  if (subkeys != 0 || (valuesToo && values != 0)) return;
  if (ops.RegDeleteKeyA(root, path.c_str()) != ERROR_SUCCESS) Failed(path);
}

void Removal::RemoveValue(HKEY root, const std::string& path, const std::string& name) {
  PlatformOps& ops = platform_.ops;
  HKEY opened = nullptr;
  const LONG result = ops.RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &opened);
  if (result == ERROR_FILE_NOT_FOUND) return;
  if (result != ERROR_SUCCESS) {
    Failed(path + "\\" + name);
    return;
  }
  const ScopedRegKey key(ops, opened);
  const LONG deleted = ops.RegDeleteValueA(key.Get(), name.c_str());
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) Failed(path + "\\" + name);
}

void Removal::Failed(const std::string& what) {
  if (firstFailure_.empty()) firstFailure_ = what;
}

void Removal::Finish() {
  if (!deletesAtRestart_.empty()) {
    PlatformOps& ops = platform_.ops;
    std::vector<std::string> deletes = std::move(deletesAtRestart_);
    deletesAtRestart_.clear();
    const std::string path = AdjustTrailingBackslash(ops, windowsDir_, true) + Wininit;
    const bool read = EditProfileFile(ops, Wininit, path, [&](std::string& text) {
      // A second uninstall before the restart adds nothing.
      std::vector<std::string> lines;
      const std::vector<std::string> entries = SectionEntries(text, RenameSection);
      for (const std::string& path : deletes) {
        bool pending = false;
        for (const std::string& entry : entries) {
          pending = pending || (EqualIgnoringAsciiCase(KeyOf(entry), "NUL") &&
                                EqualIgnoringAsciiCase(ValueOf(entry), path));
        }
        if (!pending) lines.push_back("NUL=" + path);
      }
      if (lines.empty()) return false;
      text = AddSectionLines(text, RenameSection, lines);
      return true;
    });
    if (!read) throw InstallerException("Exception", std::string("Unable to write to ") + Wininit);
  }
  if (!firstFailure_.empty()) {
    throw InstallerException("Exception", "Unable to remove " + firstFailure_);
  }
}

bool IsReplacementPending(const Platform& platform, const std::string& windowsDir,
                          const std::string& staged) {
  PlatformOps& ops = platform.ops;
  if (!platform.Is9xFamily()) return IsRenamePendingFrom(ops, staged);
  FlushProfileFile(ops, Wininit);
  const std::optional<std::string> text =
      ReadWholeFile(ops, AdjustTrailingBackslash(ops, windowsDir, true) + Wininit);
  if (!text) return false;
  const std::string shortPath = ShortPath(ops, staged);
  for (const std::string& entry : SectionEntries(*text, RenameSection)) {
    if (EqualIgnoringAsciiCase(ValueOf(entry), shortPath)) return true;
  }
  return false;
}

}  // namespace korvanta
