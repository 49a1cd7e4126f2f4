#include "toolkit/file_placement.h"

#include "toolkit/install_message.h"
#include "toolkit/profile_file.h"

namespace korvanta {

std::string AdjustTrailingBackslash(const std::string& path, bool include) {
  if (path.empty()) return path;
  const bool endsInBackslash = path.back() == '\\';
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

void ClearReadOnly(PlatformOps& ops, const std::string& path) {
  const DWORD attributes = ops.GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  ops.SetFileAttributesA(path.c_str(),
                         (attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) | FILE_ATTRIBUTE_ARCHIVE);
}

void CopyAndReport(PlatformOps& ops, const std::string& source, const std::string& target,
                   const std::string& failureMessage) {
  if (!FileExists(ops, source)) return;
  ClearReadOnly(ops, target);
  if (!ops.CopyFileA(source.c_str(), target.c_str(), FALSE)) {
    ShowInstallMessage(ops, failureMessage);
  }
}

void ScheduleReplace(const Platform& platform, const std::string& target,
                     const std::string& staged) {
  if (platform.Is9xFamily()) {
    // Windows 9x carries out Wininit.ini's [RENAME] entries (key: the file to
    // replace, value: the file that replaces it) before it loads any driver.
    ProfileFile wininit(platform.ops, "Wininit.ini");
    wininit.WriteValue("RENAME", target, staged);
  } else {
    platform.ops.MoveFileExA(staged.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
  }
}

}  // namespace korvanta
