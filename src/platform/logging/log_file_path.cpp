#include <string>

#include "platform/log_file.h"

namespace korvanta {
namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows opens the device whatever follows the reserved name after a dot or
// a colon, and ignores blanks after it.
bool IsReservedDeviceName(const std::string& fileName) {
  std::string base = fileName.substr(0, fileName.find_first_of(".:"));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = Upper(c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  if (base.size() != 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  // Windows' naming rules count the superscript digits (Latin-1 0xB9, 0xB2,
  // 0xB3) as digits too; 0 is no port, but a refused path costs only the log.
  const unsigned char digit = static_cast<unsigned char>(base[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

bool IsPlainLogFilePath(const std::string& path) {
  // Forward slashes are separators to Windows too: "//./" is "\\.\".
  if (path.find('/') != std::string::npos) return false;
  const bool onDrive = path.size() > 3 && IsLetter(path[0]) && path[1] == ':' && path[2] == '\\';
  if (!onDrive) {
    // \\server\share\ and then the rest; "." and "?" are no servers.
    if (path.compare(0, 2, "\\\\") != 0) return false;
    const size_t serverEnd = path.find('\\', 2);
    if (serverEnd == std::string::npos || serverEnd == 2) return false;
    const std::string server = path.substr(2, serverEnd - 2);
    const size_t shareEnd = path.find('\\', serverEnd + 1);
    if (server == "." || server == "?" || shareEnd == std::string::npos ||
        shareEnd == serverEnd + 1) {
      return false;
    }
  }
  const std::string fileName = path.substr(path.find_last_of('\\') + 1);
  return !fileName.empty() && !IsReservedDeviceName(fileName);
}

}  // namespace korvanta
