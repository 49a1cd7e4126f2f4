// The registry value writers every component installer lays its values down
// with. Each opens (creating with its parents) one key with full access,
// writes or tests one value, and closes the key again. None reports anything:
// a registry failure never stops or alters an installation.
#pragma once

#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

// The text and its terminating zero (text length + 1 bytes) under `type`.
void RegWriteTypedString(PlatformOps& ops, HKEY root, DWORD type, const std::string& keyPath,
                         const std::string& text, const std::string& valueName);

// REG_SZ. An empty name and empty text create the key (and its parents) with
// a default value of one zero byte: the form used to create empty keys.
void RegWriteString(PlatformOps& ops, HKEY root, const std::string& keyPath,
                    const std::string& valueName, const std::string& text);

// REG_DWORD: 4 bytes, little-endian.
void RegWriteDword(PlatformOps& ops, HKEY root, const std::string& keyPath,
                   const std::string& valueName, DWORD value);

// Exactly `byteCount` bytes under `type`: for multi-strings and expandable
// paths whose exact length matters, and for fixed binary records.
void RegWriteRaw(PlatformOps& ops, HKEY root, const std::string& keyPath,
                 const std::string& valueName, DWORD type, DWORD byteCount, const BYTE* bytes);

// REG_BINARY of exactly `byteCount` bytes.
void RegWriteBinary(PlatformOps& ops, HKEY root, const std::string& keyPath,
                    const std::string& valueName, DWORD byteCount, const BYTE* bytes);

// True when the key opens with full access and the value exists. Never creates
// the key: a key that cannot be opened with full access reports false, even
// when the value is there.
bool RegValueExists(PlatformOps& ops, HKEY root, const std::string& keyPath,
                    const std::string& valueName);

}  // namespace korvanta
