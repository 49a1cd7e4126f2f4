#include "toolkit/system_folders.h"

#include <vector>

#include "toolkit/file_placement.h"

namespace korvanta {
namespace {

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

std::string ReadSystemDirectory(PlatformOps& ops) {
  return ReadDirectory(
      [&](char* buffer, UINT size) { return ops.GetSystemDirectoryA(buffer, size); });
}

std::string ReadWindowsDirectory(PlatformOps& ops) {
  return ReadDirectory(
      [&](char* buffer, UINT size) { return ops.GetWindowsDirectoryA(buffer, size); });
}

HMODULE LoadSystemLibrary(PlatformOps& ops, const char* name) {
  const std::string systemDir = ReadSystemDirectory(ops);
  // Without the system folder there is no full path, and nothing is loaded.
  if (systemDir.empty()) return nullptr;
  // The library's own dependencies are then searched in its folder first,
  // not in the installer's.
  return ops.LoadLibraryExA((AdjustTrailingBackslash(ops, systemDir, true) + name).c_str(), nullptr,
                            LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace korvanta
