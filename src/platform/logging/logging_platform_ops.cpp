#include "platform/logging/logging_platform_ops.h"

#include <cstring>

namespace korvanta {
namespace logtext {
namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

std::string HexDigitsOf(uint64_t value, size_t width) {
  std::string text(width, '0');
  for (size_t i = 0; i < width; ++i) text[width - 1 - i] = HexDigits[(value >> (4 * i)) & 0xF];
  return text;
}

std::string Hex(uint64_t value) {
  size_t width = 1;
  while (width < 16 && (value >> (4 * width)) != 0) ++width;
  return "0x" + HexDigitsOf(value, width);
}

uint32_t LittleEndian32(const BYTE* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string Bool(uint64_t value) { return value == 1 ? "TRUE" : value == 0 ? "FALSE" : Dec(value); }

std::string Pointer(const void* pointer) {
  if (pointer == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return pointer == nullptr ? "NULL" : Hex(reinterpret_cast<uintptr_t>(pointer));
}

std::string Guid(const GUID* guid) {
  std::string text = "{" + HexDigitsOf(guid->Data1, 8) + "-" + HexDigitsOf(guid->Data2, 4) + "-" +
                     HexDigitsOf(guid->Data3, 4) + "-";
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += '-';
    text += HexDigitsOf(guid->Data4[i], 2);
  }
  return text + "}";
}

std::string RegType(uint64_t type) {
  static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY",
                                      "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
                                      "REG_MULTI_SZ"};
  return type < sizeof(names) / sizeof(names[0]) ? names[type] : Hex(type);
}

// Strings quoted, a DWORD as one hex number, other data as hex bytes
// (hex:0F 14 D2).
std::string RegData(uint32_t type, const BYTE* data, size_t size) {
  if (type == REG_DWORD && size == 4) return Hex(LittleEndian32(data));
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    return QuotedBytes(data, size);
  }
  std::string text = "hex:";
  for (size_t i = 0; i < size; ++i) {
    if (i) text += ' ';
    text += HexDigitsOf(data[i], 2);
  }
  return text;
}

std::string Sid(const BYTE* sid, size_t available) {
  if (available < 8 || available < 8 + 4 * static_cast<size_t>(sid[1])) return "SID?";
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  std::string text = "S-" + Dec(sid[0]) + "-" + Dec(authority);
  for (int i = 0; i < sid[1]; ++i) text += "-" + Dec(LittleEndian32(sid + 8 + 4 * i));
  return text;
}

// An access list with its entries, read within the size it states:
// "0x5F0 {allow S-1-1-0 mask 0xF003F flags 0x2}".
std::string Acl(const ACL* acl) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
  std::string text = Pointer(acl) + " {";
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(bytes + offset);
    if (offset + sizeof(ACE_HEADER) > acl->AclSize || header->AceSize < sizeof(ACE_HEADER) ||
        offset + header->AceSize > acl->AclSize) {
      text += i ? ", ?" : "?";
      break;
    }
    if (i) text += ", ";
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE && header->AceSize >= 8) {
      const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      text += "allow " + Sid(bytes + offset + 8, header->AceSize - 8) + " mask " + Hex(ace->Mask) +
              " flags " + Hex(header->AceFlags);
    } else {
      text += "type " + Hex(header->AceType);
    }
    offset += header->AceSize;
  }
  return text + "}";
}

// The predefined keys by name; they are sign-extended 32-bit values on 64-bit
// Windows.
const char* RootName(const void* key) {
  static const char* const roots[] = {"HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",
                                      "HKEY_LOCAL_MACHINE",    "HKEY_USERS",
                                      "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG",
                                      "HKEY_DYN_DATA"};
  const uintptr_t value = reinterpret_cast<uintptr_t>(key);
  const uintptr_t first =
      static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(0x80000000u)));
  const uintptr_t index = value - first;
  return value >= first && index < sizeof(roots) / sizeof(roots[0]) ? roots[index] : nullptr;
}

}  // namespace

size_t BoundedLength(const char* text, size_t size) {
  const void* end = std::memchr(text, 0, size);
  return end == nullptr ? size : static_cast<size_t>(static_cast<const char*>(end) - text);
}

std::string Quoted(const char* text) {
  return QuotedBytes(text, text ? std::char_traits<char>::length(text) : 0);
}

// A double quote is doubled, and control bytes and bytes of 128 and above
// appear as \xNN, so that every line is plain ASCII whatever the code page.
std::string QuotedBytes(const void* data, size_t size) {
  if (data == nullptr) return "NULL";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string text = "\"";
  for (size_t i = 0; i < size; ++i) {
    const unsigned char byte = bytes[i];
    if (byte == '"') {
      text += "\"\"";
    } else if (byte < 0x20 || byte >= 0x7F) {
      text += "\\x";
      text += HexDigits[byte >> 4];
      text += HexDigits[byte & 0xF];
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text + "\"";
}

std::string Dec(uint64_t value) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  return text;
}

}  // namespace logtext

using namespace logtext;

void LoggingPlatformOps::Write(Returns returns, const char* name, LogArg result,
                               std::initializer_list<LogArg> args) {
  if (!log_.Active()) return;
  bool failed = false;
  bool setsError = true;
  switch (returns) {
    case FalseFails: result.kind = LogKind::Truth; failed = result.number == 0; break;
    case ZeroFails: failed = result.number == 0; break;
    case InvalidFails: failed = result.pointer == INVALID_HANDLE_VALUE; break;
    case NotNullFails: failed = result.number != 0; break;
    case AttributesResult:
      result.kind = LogKind::Attributes;
      failed = result.number == INVALID_FILE_ATTRIBUTES;
      break;
    case StatusResult:
      result.kind = LogKind::Status;
      failed = result.number != ERROR_SUCCESS;
      setsError = false;
      break;
    case TruthResult: result.kind = LogKind::Truth; break;
    case FlagsResult: result.kind = LogKind::Flags; break;
    case PlainResult: break;
  }
  std::string line = name;
  line += '(';
  for (const LogArg& arg : args) {
    if (&arg != args.begin()) line += ", ";
    line += Text(arg, result, !failed);
  }
  line += ") = " + Text(result, result, true);
  if (failed && setsError) line += ", error " + Hex(system_.GetLastError());
  log_.Operation(line);
}

std::string LoggingPlatformOps::Text(const LogArg& arg, const LogArg& result,
                                     bool succeeded) const {
  using Use = LogArg::Use;
  if (arg.use != Use::kIn) {
    if (arg.pointer == nullptr) return "NULL";
    LogArg value = arg;
    value.use = Use::kIn;
    bool written = arg.use == Use::kRead || (arg.use == Use::kOut && succeeded);
    switch (arg.kind) {
      case LogKind::Number: case LogKind::Truth: case LogKind::RegType:
      case LogKind::Disposition:
        value.number = *static_cast<const uint32_t*>(arg.pointer);
        break;
      case LogKind::Key: case LogKind::Pointer: case LogKind::Acl:
        value.pointer = *static_cast<const void* const*>(arg.pointer);
        value.number = reinterpret_cast<uintptr_t>(value.pointer);
        break;
      case LogKind::Filled:
        // The length without the terminator, or the size it needs when the
        // buffer is too small.
        written = result.number > 0 && result.number <= arg.number;
        value = {LogKind::Bytes, arg.pointer, result.number};
        break;
      default: break;  // the structure itself
    }
    return written ? "->" + Text(value, result, succeeded) : Pointer(arg.pointer);
  }
  const BYTE* bytes = static_cast<const BYTE*>(arg.pointer);
  const char* text = static_cast<const char*>(arg.pointer);
  switch (arg.kind) {
    case LogKind::Number: return Dec(arg.number);
    case LogKind::Flags: return Hex(arg.number);
    case LogKind::Truth: return Bool(arg.number);
    case LogKind::Status:
      return arg.number == ERROR_SUCCESS ? "ERROR_SUCCESS" : "error " + Hex(arg.number);
    case LogKind::Attributes:
      return arg.number == INVALID_FILE_ATTRIBUTES ? "INVALID_FILE_ATTRIBUTES" : Hex(arg.number);
    case LogKind::Ordinal: return "#" + Dec(arg.number);
    case LogKind::Literal: return text;
    case LogKind::Text: return Quoted(text);
    case LogKind::Bytes: return QuotedBytes(bytes, arg.number);
    case LogKind::FixedText: return QuotedBytes(text, BoundedLength(text, arg.number));
    case LogKind::RegType: return RegType(arg.number);
    case LogKind::Pointer: return Pointer(arg.pointer);
    case LogKind::Named: return Named(arg.pointer);
    case LogKind::Key: return RootName(arg.pointer) ? RootName(arg.pointer) : Named(arg.pointer);
    case LogKind::Disposition:
      return arg.number == REG_CREATED_NEW_KEY       ? "created"
             : arg.number == REG_OPENED_EXISTING_KEY ? "opened"
                                                     : Hex(arg.number);
    default: break;
  }
  if (bytes == nullptr) return "NULL";
  switch (arg.kind) {
    case LogKind::Entries: {
      size_t length = 0;
      while (text[length] != '\0') length += std::char_traits<char>::length(text + length) + 1;
      return QuotedBytes(text, length);
    }
    case LogKind::RegValue: return RegData(arg.extra, bytes, arg.number);
    case LogKind::Guid: return Guid(static_cast<const GUID*>(arg.pointer));
    case LogKind::Acl: return logtext::Acl(static_cast<const ACL*>(arg.pointer));
    case LogKind::Authority: {
      uint64_t value = 0;
      for (int i = 0; i < 6; ++i) value = value << 8 | bytes[i];
      return Hex(value);
    }
    case LogKind::Device:
      return "devinst " + Hex(static_cast<const SP_DEVINFO_DATA*>(arg.pointer)->DevInst);
    case LogKind::Version: {
      const OSVERSIONINFOA* info = static_cast<const OSVERSIONINFOA*>(arg.pointer);
      return "platform " + Dec(info->dwPlatformId) + " version " + Dec(info->dwMajorVersion) +
             "." + Dec(info->dwMinorVersion) + " build " + Dec(info->dwBuildNumber);
    }
    case LogKind::FoundFile: {
      const WIN32_FIND_DATAA* data = static_cast<const WIN32_FIND_DATAA*>(arg.pointer);
      const LogArg name(LogKind::FixedText, data->cFileName, sizeof(data->cFileName));
      return Text(name, result, true) + " " + Hex(data->dwFileAttributes);
    }
    case LogKind::Process: {
      const PROCESSENTRY32* entry = static_cast<const PROCESSENTRY32*>(arg.pointer);
      const LogArg name(LogKind::FixedText, entry->szExeFile, sizeof(entry->szExeFile));
      return Dec(entry->th32ProcessID) + " " + Text(name, result, true);
    }
    default: return "?";
  }
}

HMODULE LoggingPlatformOps::LoadLibraryA(const char* name) {
  const HMODULE result = system_.LoadLibraryA(name);
  if (name != nullptr) Remember(result, name);
  Write(ZeroFails, "LoadLibraryA", result, {name});
  return result;
}

FARPROC LoggingPlatformOps::GetProcAddress(HMODULE module, const char* name) {
  const FARPROC result = system_.GetProcAddress(module, name);
  // A value below 0x10000 is an ordinal, not a string.
  const uintptr_t ordinal = reinterpret_cast<uintptr_t>(name);
  const LogArg nameArg = ordinal < 0x10000 ? LogArg(LogKind::Ordinal, nullptr, ordinal) : name;
  const auto library = names_.find(reinterpret_cast<uintptr_t>(module));
  Remember(reinterpret_cast<const void*>(result),
           (library == names_.end() ? Pointer(module) : library->second) + "!" +
               (ordinal < 0x10000 ? "#" + Dec(ordinal) : std::string(name)));
  Write(ZeroFails, "GetProcAddress", result, {module, nameArg});
  return result;
}

LONG LoggingPlatformOps::RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved,
                                         char* keyClass, DWORD options, REGSAM access,
                                         SECURITY_ATTRIBUTES* security, HKEY* result,
                                         DWORD* disposition) {
  const LONG status = system_.RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                              security, result, disposition);
  RememberKey(status, key, subKey, result);
  Write(StatusResult, "RegCreateKeyExA", status,
        {key, subKey, reserved, keyClass, Flags(options), Flags(access), security, Out(result),
         Out(disposition, LogKind::Disposition)});
  return status;
}

LONG LoggingPlatformOps::RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                                       HKEY* result) {
  const LONG status = system_.RegOpenKeyExA(key, subKey, options, access, result);
  RememberKey(status, key, subKey, result);
  Write(StatusResult, "RegOpenKeyExA", status,
        {key, subKey, Flags(options), Flags(access), Out(result)});
  return status;
}

LONG LoggingPlatformOps::RegCloseKey(HKEY key) {
  const LONG status = Call(StatusResult, "RegCloseKey", &PlatformOps::RegCloseKey, key);
  if (status == ERROR_SUCCESS) names_.erase(reinterpret_cast<uintptr_t>(key));
  return status;
}

std::string LoggingPlatformOps::Named(const void* handle) const {
  const auto found = names_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == names_.end()) return Pointer(handle);
  return Pointer(handle) + ":" + Quoted(found->second.c_str());
}

void LoggingPlatformOps::RememberKey(LONG status, HKEY key, const char* subKey,
                                     const HKEY* opened) {
  if (status != ERROR_SUCCESS || opened == nullptr) return;
  std::string path;
  if (const char* root = RootName(key)) {
    path = root;
  } else {
    const auto found = names_.find(reinterpret_cast<uintptr_t>(key));
    path = found == names_.end() ? Pointer(key) : found->second;
  }
  if (subKey != nullptr && *subKey != '\0') path.append("\\").append(subKey);
  Remember(*opened, path);
}

void LoggingPlatformOps::Remember(const void* handle, const std::string& name) {
  if (handle != nullptr && log_.Active()) names_[reinterpret_cast<uintptr_t>(handle)] = name;
}

}  // namespace korvanta
