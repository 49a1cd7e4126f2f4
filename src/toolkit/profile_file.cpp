#include "toolkit/profile_file.h"

#include <cstring>
#include <utility>
#include <vector>

#include "toolkit/error.h"
#include "toolkit/file_placement.h"

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

namespace {

// One file handle, closed on every way out.
class FileHandle {
 public:
  FileHandle(PlatformOps& ops, HANDLE handle) : ops_(ops), handle_(handle) {}
  ~FileHandle() {
    if (*this) ops_.CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

 private:
  PlatformOps& ops_;
  HANDLE handle_;
};

// A profile file is a few kilobytes; one larger than this is not one.
constexpr size_t LargestProfileFile = 4 * 1024 * 1024;

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A line's section name when it is a section header.
std::optional<std::string_view> SectionHeader(std::string_view line) {
  line = Trimmed(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trimmed(line.substr(1, close - 1));
}

// Calls `visit(start, end, inSection)` for each line of the text, `end`
// before its line break.
template <typename Visit>
void ForEachLine(const std::string& text, const std::string& section, Visit visit) {
  bool inSection = false;
  for (size_t start = 0; start < text.size();) {
    size_t next = text.find('\n', start);
    next = next == std::string::npos ? text.size() : next + 1;
    size_t end = next;
    while (end > start && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    const std::string_view line(text.data() + start, end - start);
    if (const auto header = SectionHeader(line)) {
      inSection = EqualIgnoringAsciiCase(*header, section);
    } else if (!visit(start, next, line, inSection)) {
      return;
    }
    start = next;
  }
}

}  // namespace

std::optional<std::string> ReadWholeFile(PlatformOps& ops, const std::string& path) {
  const FileHandle file(ops, ops.CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
  if (!file) {
    const DWORD error = ops.GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return std::string();
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    DWORD read = 0;
    if (!ops.ReadFile(file.Get(), chunk, sizeof chunk, &read, nullptr)) return std::nullopt;
    if (read == 0) return text;
    text.append(chunk, read);
    if (text.size() > LargestProfileFile) return std::nullopt;
  }
}

bool WriteWholeFile(PlatformOps& ops, const std::string& path, const std::string& bytes) {
  const FileHandle file(ops, ops.CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ops.WriteFile(file.Get(), reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::vector<std::string> SectionEntries(const std::string& text, const std::string& section) {
  std::vector<std::string> entries;
  ForEachLine(text, section, [&](size_t, size_t, std::string_view line, bool inSection) {
    line = Trimmed(line);
    if (inSection && !line.empty() && line.front() != ';') entries.emplace_back(line);
    return true;
  });
  return entries;
}

std::string AddSectionLines(const std::string& text, const std::string& section,
                            const std::vector<std::string>& lines) {
  std::string added;
  for (const std::string& line : lines) added += line + "\r\n";
  // After the first such section's last line that is not blank, or right
  // after its header.
  std::optional<size_t> at;
  for (size_t start = 0; start < text.size();) {
    size_t next = text.find('\n', start);
    next = next == std::string::npos ? text.size() : next + 1;
    const std::string_view line = std::string_view(text).substr(start, next - start);
    const std::optional<std::string_view> header = SectionHeader(line);
    if (header && at) break;  // the section's end
    if (header && EqualIgnoringAsciiCase(*header, section)) {
      at = next;
    } else if (at && line.find_first_not_of(" \t\r\n") != std::string_view::npos) {
      at = next;  // a line of the section that is not blank
    }
    start = next;
  }
  if (!at) {
    // A header of its own, after a line break the text may lack.
    const std::string lead = text.empty() || text.back() == '\n' ? "" : "\r\n";
    return text + lead + "[" + section + "]\r\n" + added;
  }
  const std::string lead = *at > 0 && text[*at - 1] != '\n' ? "\r\n" : "";
  return text.substr(0, *at) + lead + added + text.substr(*at);
}

bool DropSectionLines(std::string& text, const std::string& section, const std::string& line) {
  std::string kept;
  bool dropped = false;
  size_t copiedTo = 0;
  ForEachLine(text, section, [&](size_t start, size_t next, std::string_view each, bool inSection) {
    if (inSection && Trimmed(each) == line) {
      kept.append(text, copiedTo, start - copiedTo);
      copiedTo = next;
      dropped = true;
    }
    return true;
  });
  if (!dropped) return false;
  kept.append(text, copiedTo, std::string::npos);
  text = std::move(kept);
  return true;
}

bool EditProfileFile(PlatformOps& ops, const std::string& fileName, const std::string& path,
                     const std::function<bool(std::string&)>& edit) {
  // Windows 9x may hold a newer copy in memory, which it would write over
  // the edit at its next flush.
  FlushProfileFile(ops, fileName);
  const std::optional<std::string> before = ReadWholeFile(ops, path);
  if (!before) return false;
  std::string text = *before;
  if (!edit(text)) return true;
  if (!WriteWholeFile(ops, path, text)) {
    // Emptied by the failed write: other programs' entries must not be lost.
    if (!before->empty()) WriteWholeFile(ops, path, *before);
    throw InstallerException("Exception", "Unable to write to " + fileName);
  }
  return true;
}

}  // namespace korvanta
