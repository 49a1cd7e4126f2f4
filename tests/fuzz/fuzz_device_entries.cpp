// Fuzz target: disabling a driver's device entries in a section buffer as
// GetPrivateProfileSectionA fills it. The first input byte picks the driver
// name's length; the rest is the buffer, whatever it holds (closing empty
// entry or not). Only whole, exactly matching entries may change, and only
// their first byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "toolkit/profile_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t nameLength = data[0] % 16;
  if (size < 1 + nameLength) return 0;
  std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
  if (name.find('\0') != std::string::npos) return 0;  // the name is zero-terminated
  const std::vector<char> before(data + 1 + nameLength, data + size);
  std::vector<char> section = before;

  korvanta::CommentOutDeviceLines(section, name);

  const std::string match = "device=" + name;
  size_t position = 0;
  bool ended = false;
  while (position < before.size()) {
    const char* entry = before.data() + position;
    const void* zero = std::memchr(entry, '\0', before.size() - position);
    // An empty entry ends the section, and a cut entry ends the walk: nothing
    // from there on may change.
    if (ended || entry[0] == '\0' || zero == nullptr) {
      if (std::memcmp(section.data() + position, entry, before.size() - position) != 0) {
        std::abort();
      }
      break;
    }
    const size_t length = static_cast<const char*>(zero) - entry;
    const bool matches = length == match.size() && std::memcmp(entry, match.data(), length) == 0;
    if (section[position] != (matches ? ';' : entry[0])) std::abort();
    if (std::memcmp(section.data() + position + 1, entry + 1, length) != 0) std::abort();
    position += length + 1;
  }
  return 0;
}
