#include "toolkit/registry_writers.h"

#include "toolkit/scoped_handle.h"

namespace korvanta {

void RegWriteRaw(PlatformOps& ops, HKEY root, const std::string& keyPath,
                 const std::string& valueName, DWORD type, DWORD byteCount, const BYTE* bytes) {
  HKEY created = nullptr;
  // RegCreateKeyExA opens the key, or creates it with every missing key
  // above it.
  if (ops.RegCreateKeyExA(root, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, nullptr, &created, nullptr) != ERROR_SUCCESS) {
    return;
  }
  ScopedRegKey key(ops, created);
  ops.RegSetValueExA(key.Get(), valueName.c_str(), 0, type, bytes, byteCount);
}

void RegWriteTypedString(PlatformOps& ops, HKEY root, DWORD type, const std::string& keyPath,
                         const std::string& text, const std::string& valueName) {
  // c_str() carries the terminating zero that the byte count includes.
  RegWriteRaw(ops, root, keyPath, valueName, type, static_cast<DWORD>(text.size() + 1),
              reinterpret_cast<const BYTE*>(text.c_str()));
}

void RegWriteString(PlatformOps& ops, HKEY root, const std::string& keyPath,
                    const std::string& valueName, const std::string& text) {
  RegWriteTypedString(ops, root, REG_SZ, keyPath, text, valueName);
}

void RegWriteDword(PlatformOps& ops, HKEY root, const std::string& keyPath,
                   const std::string& valueName, DWORD value) {
  // Little-endian whatever the host's byte order.
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  RegWriteRaw(ops, root, keyPath, valueName, REG_DWORD, sizeof bytes, bytes);
}

void RegWriteBinary(PlatformOps& ops, HKEY root, const std::string& keyPath,
                    const std::string& valueName, DWORD byteCount, const BYTE* bytes) {
  RegWriteRaw(ops, root, keyPath, valueName, REG_BINARY, byteCount, bytes);
}

bool RegValueExists(PlatformOps& ops, HKEY root, const std::string& keyPath,
                    const std::string& valueName) {
  HKEY opened = nullptr;
  if (ops.RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS) {
    return false;
  }
  ScopedRegKey key(ops, opened);
  return ops.RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

}  // namespace korvanta
