#include "install/install_context.h"

#include <vector>

namespace korvanta {
namespace {

// The buffer size the installer has always used for paths (MAX_PATH + 1).
constexpr UINT PathBufferSize = 261;
// NT paths cannot be longer than this; a module path that still does not fit
// is not a path Windows could have given.
constexpr DWORD LongestPath = 32768;

// GetSystemDirectoryA and GetWindowsDirectoryA return the length they need,
// terminating zero included, when the buffer is too small: retry with that.
template <class Read>
std::string ReadDirectory(Read read) {
  std::vector<char> buffer(PathBufferSize);
  UINT length = read(buffer.data(), static_cast<UINT>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.assign(length + 1, '\0');
    length = read(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length >= buffer.size()) return std::string();
  }
  return std::string(buffer.data(), length);
}

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

std::string FileNamePart(const std::string& path) {
  size_t separator = path.find_last_of("\\:");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string DirectoryPart(const std::string& path) {
  size_t separator = path.find_last_of("\\:");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

InstallContext BuildInstallContext(PlatformOps& ops) {
  InstallContext context;
  const std::optional<DWORD> platformId = ReadPlatformId(ops);
  context.PlatformId = platformId.value_or(0);
  context.PlatformKnown = platformId.has_value();
  context.SystemDir = ReadDirectory(
      [&](char* buffer, UINT size) { return ops.GetSystemDirectoryA(buffer, size); });
  context.WindowsDir = ReadDirectory(
      [&](char* buffer, UINT size) { return ops.GetWindowsDirectoryA(buffer, size); });
  context.SourceDir = DirectoryPart(ModulePath(ops));
  return context;
}

}  // namespace korvanta
