#include "install/install_context.h"

#include <vector>

#include "toolkit/file_placement.h"
#include "toolkit/system_folders.h"

namespace korvanta {
namespace {

// NT paths cannot be longer than this; a module path that still does not fit
// is not a path Windows could have given.
constexpr DWORD LongestPath = 32768;

}  // namespace

std::optional<DWORD> ReadPlatformId(PlatformOps& ops) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!ops.GetVersionExA(&info)) return std::nullopt;
  return info.dwPlatformId;
}

std::string ModulePath(PlatformOps& ops) {
  // A path that fills the buffer may have been cut (XP does not even
  // terminate it), so read again with a larger buffer until it fits.
  for (DWORD size = PathBufferSize; size <= 2 * LongestPath; size *= 2) {
    std::vector<char> buffer(size, '\0');
    DWORD length = ops.GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return std::string();
    if (length < size - 1) return std::string(buffer.data(), length);
  }
  return std::string();
}

InstallContext BuildInstallContext(PlatformOps& ops) {
  InstallContext context;
  const std::optional<DWORD> platformId = ReadPlatformId(ops);
  context.PlatformId = platformId.value_or(0);
  context.PlatformKnown = platformId.has_value();
  context.SystemDir = ReadSystemDirectory(ops);
  context.WindowsDir = ReadWindowsDirectory(ops);
  context.SourceDir = DirectoryPart(ops, ModulePath(ops));
  return context;
}

}  // namespace korvanta
