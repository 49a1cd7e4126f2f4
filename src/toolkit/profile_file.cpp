#include "toolkit/profile_file.h"

#include <cstring>
#include <utility>
#include <vector>

#include "toolkit/error.h"

namespace korvanta {
namespace {

// The buffer that holds every ordinary System.ini section at the first read.
constexpr DWORD FirstSectionBufferSize = 8192;
// No real section comes near this; a larger one is left alone rather than
// read in ever larger pieces.
constexpr DWORD LargestSectionBufferSize = 1024 * 1024;

}  // namespace

ProfileFile::ProfileFile(PlatformOps& ops, std::string fileName)
    : ops_(ops), fileName_(std::move(fileName)) {}

void ProfileFile::WriteValue(const std::string& section, const std::string& key,
                             const std::string& value) {
  if (ops_.WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                      fileName_.c_str()) == 0) {
    throw InstallerException("Exception", "Unable to write to " + fileName_);
  }
  FlushProfileFile(ops_, fileName_);
}

void FlushProfileFile(PlatformOps& ops, const std::string& fileName) {
  // With all three null the system writes its cached copy of the file to
  // disk. Windows 9x holds the file last written in memory until then, and
  // loses it when the machine is switched off instead of shut down; Wine
  // writes at once. Windows answers zero either way, so the result says
  // nothing.
  ops.WritePrivateProfileStringA(nullptr, nullptr, nullptr, fileName.c_str());
}

bool CommentOutDeviceLines(std::span<char> section, const std::string& driverName) {
  const std::string entryToDisable = "device=" + driverName;
  bool disabledAny = false;
  size_t position = 0;
  while (position < section.size() && section[position] != '\0') {
    char* entry = section.data() + position;
    const size_t room = section.size() - position;
    const void* terminator = std::memchr(entry, '\0', room);
    // An entry cut off by the end of the buffer is not a whole entry.
    if (terminator == nullptr) return disabledAny;
    const size_t length = static_cast<const char*>(terminator) - entry;
    if (length == entryToDisable.size() &&
        std::memcmp(entry, entryToDisable.data(), length) == 0) {
      entry[0] = ';';
      disabledAny = true;
    }
    position += length + 1;
  }
  return disabledAny;
}

void DisableDeviceEntry(PlatformOps& ops, const std::string& fileName, const std::string& section,
                        const std::string& driverName) {
  // The section is read as it stands on disk.
  FlushProfileFile(ops, fileName);

  // A section that does not fit comes back cut short with the result size - 2;
  // writing that back would drop the entries that did not fit. Wine also
  // answers size - 2 when the section fits exactly, which merely costs one
  // more read.
  std::vector<char> buffer;
  for (DWORD size = FirstSectionBufferSize;; size *= 2) {
    buffer.assign(size, '\0');
    const DWORD read =
        ops.GetPrivateProfileSectionA(section.c_str(), buffer.data(), size, fileName.c_str());
    if (read < size - 2) break;
    if (size >= LargestSectionBufferSize) return;
  }

  // Only a changed section is written back. The section read leaves out
  // comment lines (Wine) and a failed read looks like an empty section, so
  // writing back an unchanged buffer would strip [386Enh] of its comments,
  // of an entry an earlier run already disabled, or of every static driver.
  if (!CommentOutDeviceLines(buffer, driverName)) return;
  ops.WritePrivateProfileSectionA(section.c_str(), buffer.data(), fileName.c_str());
  FlushProfileFile(ops, fileName);
}

}  // namespace korvanta
