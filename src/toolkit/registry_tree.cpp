#include "toolkit/registry_tree.h"

#include <algorithm>
#include <vector>

#include "toolkit/scoped_handle.h"

namespace korvanta {
namespace {

// RegQueryInfoKeyA counts the longest name in characters, and a name of a
// double-byte code page takes up to two bytes for each of its at most 255.
constexpr DWORD LargestNameBuffer = 2 * 255 + 1;

// The names of the key's subkeys, read before any of them is deleted: deleting
// subkey 0 moves every other one down an index, so deleting while enumerating
// would skip every second subkey.
std::vector<std::string> SubkeyNames(PlatformOps& ops, HKEY key) {
  DWORD subkeyCount = 0;
  DWORD longestName = 0;
  if (ops.RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeyCount, &longestName, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<std::string> names;
  // The longest name does not count its terminating zero.
  std::vector<char> name(longestName + 1);
  for (DWORD index = 0; index < subkeyCount; ++index) {
    DWORD length = 0;
    const auto read = [&] {
      length = static_cast<DWORD>(name.size());
      return ops.RegEnumKeyExA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    };
    LONG result = read();
    // A name that does not fit is read again into a larger buffer.
    while (result == ERROR_MORE_DATA && name.size() < LargestNameBuffer) {
      name.resize(std::min<size_t>(2 * name.size(), LargestNameBuffer));
      result = read();
    }
    if (result == ERROR_NO_MORE_ITEMS) break;
    // A name that cannot be read even so is passed over.
    if (result != ERROR_SUCCESS || length >= name.size()) continue;
    names.emplace_back(name.data(), length);
  }
  return names;
}

}  // namespace

bool RegDeleteTree(PlatformOps& ops, HKEY base, const std::string& path) {
  {
    // Full access where the user has it; read access is enough to find the
    // subkeys, which are then deleted one by one.
    HKEY opened = nullptr;
    LONG result = ops.RegOpenKeyExA(base, path.c_str(), 0, KEY_ALL_ACCESS, &opened);
    if (result != ERROR_SUCCESS) {
      opened = nullptr;
      result = ops.RegOpenKeyExA(base, path.c_str(), 0, KEY_READ, &opened);
    }
    if (result == ERROR_SUCCESS) {
      ScopedRegKey key(ops, opened);
      for (const std::string& subkey : SubkeyNames(ops, key.Get())) {
        RegDeleteTree(ops, key.Get(), subkey);
      }
    }
  }
  // Also tried when the key could not be opened: deleting needs only the
  // right to delete the key itself.
  return ops.RegDeleteKeyA(base, path.c_str()) == ERROR_SUCCESS;
}

}  // namespace korvanta
