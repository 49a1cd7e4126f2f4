// The directories and the Windows family that every installer works with,
// gathered once before the first stage.
#pragma once

#include <optional>
#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

struct InstallContext {
  std::string SourceDir;   // the installer's own folder, ending in a backslash
  std::string SystemDir;   // as GetSystemDirectoryA reports it, no trailing backslash
  std::string WindowsDir;  // as GetWindowsDirectoryA reports it, no trailing backslash
  DWORD PlatformId = 0;    // dwPlatformId of GetVersionExA
  bool PlatformKnown = false;  // false: GetVersionExA failed and PlatformId means nothing
};

// The platform id from GetVersionExA; nothing when the call fails.
std::optional<DWORD> ReadPlatformId(PlatformOps& ops);

// The full path of the running executable, whatever its length.
std::string ModulePath(PlatformOps& ops);

// Reads, in this order, the platform id, SystemDir, WindowsDir and SourceDir.
InstallContext BuildInstallContext(PlatformOps& ops);

}  // namespace korvanta
