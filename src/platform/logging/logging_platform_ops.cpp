// The decorator is defined here only: the run needs nothing of it but the
// factory and the shared formatting of the header. Its methods are made from
// the seam's list of operations (platform/platform_ops.h), which also marks
// the arguments; the markers are defined here.
//
// Each argument is written by its kind (Kind), and its type says the kind
// wherever it can: text, key, handle, library or function, GUID, access list,
// structure. A number is decimal unless it is marked as flags or a truth value,
// since Windows' integer types do not tell them apart. An output is read after
// the call.
#include "platform/logging/logging_platform_ops.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <map>
#include <type_traits>

namespace korvanta {
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

}  // namespace

namespace logtext {

std::string Quoted(const char* text) {
  return QuotedBytes(text, text ? std::strlen(text) : 0);
}

// A double quote is doubled, and control bytes and bytes of 128 and above
// appear as \xNN, so that every line is plain ASCII whatever the code page.
std::string QuotedBytes(const void* data, size_t size) {
  if (data == nullptr) return "NULL";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string text = "\"";
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] == '"') {
      text += "\"\"";
    } else if (bytes[i] < 0x20 || bytes[i] >= 0x7F) {
      text += "\\x" + HexDigitsOf(bytes[i], 2);
    } else {
      text += static_cast<char>(bytes[i]);
    }
  }
  return text + "\"";
}

std::string QuotedFixed(const char* text, size_t size) {
  const void* end = std::memchr(text, 0, size);
  return QuotedBytes(text, end ? static_cast<const char*>(end) - text : size);
}

std::string Dec(uint64_t value) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + value % 10));
  } while ((value /= 10) != 0);
  return text;
}

}  // namespace logtext

namespace {

using namespace logtext;

uint32_t LittleEndian32(const BYTE* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string Pointer(const void* pointer) {
  if (pointer == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return pointer == nullptr ? "NULL" : Hex(reinterpret_cast<uintptr_t>(pointer));
}

// The predefined keys by name; they are sign-extended 32-bit values on 64-bit
// Windows.
const char* RootName(const void* key) {
  static const char* const roots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                      "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_PERFORMANCE_DATA",
                                      "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
  const uintptr_t index = reinterpret_cast<uintptr_t>(key) -
                          static_cast<uintptr_t>(static_cast<intptr_t>(INT32_MIN));
  return index < std::size(roots) ? roots[index] : nullptr;
}

// Strings quoted, a DWORD as one hex number, other data as hex bytes
// (hex:0F 14 D2).
std::string RegData(uint32_t type, const BYTE* data, size_t size) {
  if (type == REG_DWORD && size == 4) return Hex(LittleEndian32(data));
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    return QuotedBytes(data, size);
  }
  std::string text = "hex:";
  for (size_t i = 0; i < size; ++i) text += (i ? " " : "") + HexDigitsOf(data[i], 2);
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
std::string AccessList(const ACL* acl) {
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

// ---- arguments by kind ----------------------------------------------------------

enum class Kind : uint8_t {
  Number, Flags, Truth, Status, Attributes, Literal, Text, Bytes, FixedText, Filled, Entries,
  RegValue, RegType, Disposition, Pointer, Named, Guid, Acl, Authority, Device, Version,
  FoundFile, Process, FunctionName, FileInformation,
};

// One argument or result as the log writes it. An output is read through its
// pointer after the call: Out when the call succeeded, Read whatever it did.
struct Arg {
  enum class Use : uint8_t { In, Out, Read };

  Arg(Kind kind, const void* pointer, uint64_t number = 0, uint32_t type = 0, Use use = Use::In,
      const DWORD* length = nullptr, const DWORD* typeAt = nullptr)
      : kind(kind), use(use), pointer(pointer), number(number), type(type), length(length),
        typeAt(typeAt) {}
  Arg(const char* text) : Arg(Kind::Text, text) {}
  Arg(const void* pointer) : Arg(Kind::Pointer, pointer, reinterpret_cast<uintptr_t>(pointer)) {}
  Arg(HKEY key) : Arg(Kind::Named, key, reinterpret_cast<uintptr_t>(key)) {}
  Arg(HMODULE module) : Arg(Kind::Named, module, reinterpret_cast<uintptr_t>(module)) {}
  Arg(FARPROC proc) : Arg(reinterpret_cast<HMODULE>(proc)) {}
  Arg(const ACL* acl) : Arg(Kind::Acl, acl) {}
  Arg(const GUID* guid) : Arg(Kind::Guid, guid) {}
  Arg(const SID_IDENTIFIER_AUTHORITY* authority) : Arg(Kind::Authority, authority) {}
  Arg(const SP_DEVINFO_DATA* device) : Arg(Kind::Device, device) {}
  Arg(const OSVERSIONINFOA* info) : Arg(Kind::Version, info) {}
  Arg(const WIN32_FIND_DATAA* data) : Arg(Kind::FoundFile, data) {}
  Arg(const PROCESSENTRY32* entry) : Arg(Kind::Process, entry) {}
  Arg(const BY_HANDLE_FILE_INFORMATION* info) : Arg(Kind::FileInformation, info) {}
  template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
  Arg(T value) : Arg(Kind::Number, nullptr, static_cast<std::make_unsigned_t<T>>(value)) {}

  Kind kind;
  Use use;
  const void* pointer;
  uint64_t number;  // a value, a length, or a buffer's size
  uint32_t type;    // a registry value's type
  // An output whose length, and registry type, the call stores elsewhere.
  const DWORD* length;
  const DWORD* typeAt;
};
using Use = Arg::Use;

// An argument whose type does not say its kind: forwarded as it is, written
// as marked.
template <typename T>
struct Marked : Arg {
  Marked(T value, const Arg& arg) : Arg(arg), value(value) {}
  operator T() const { return value; }
  T value;
};

template <typename T> Marked<T> Flags(T bits) { return {bits, {Kind::Flags, nullptr, bits}}; }
Marked<BOOL> Truth(BOOL value) { return {value, {Kind::Truth, nullptr, uint32_t(value)}}; }
// Memory the call does not read, such as a list it is to fill, shown by its
// address.
template <typename T> Marked<T> Address(T pointer) { return {pointer, {Kind::Pointer, pointer}}; }
// Zero-terminated strings up to an empty one.
Marked<const char*> Entries(const char* entries) { return {entries, {Kind::Entries, entries}}; }
Marked<const BYTE*> Bytes(const BYTE* data, DWORD size) {
  return {data, {Kind::Bytes, data, size}};
}
Marked<DWORD> RegType(DWORD type) { return {type, {Kind::RegType, nullptr, type}}; }
Marked<const BYTE*> RegValue(DWORD type, const BYTE* data, DWORD size) {
  return {data, {Kind::RegValue, data, size, type}};
}
// A function's name, or its ordinal: a value below 0x10000 is not a string.
Marked<const char*> FunctionName(const char* name) { return {name, {Kind::FunctionName, name}}; }
std::string FunctionNameOf(const char* name) {
  const uintptr_t ordinal = reinterpret_cast<uintptr_t>(name);
  return ordinal < 0x10000 ? "#" + Dec(ordinal) : name;
}

template <typename T>
Marked<T*> Out(T* location, Kind kind, Use use = Use::Out, uint64_t room = 0,
               const DWORD* length = nullptr, const DWORD* type = nullptr) {
  return {location, {kind, location, room, 0, use, length, type}};
}
// An output of a type that says its kind: a structure, or a handle or pointer
// stored by the call.
template <typename T>
  requires std::is_class_v<T> || std::is_pointer_v<T>
Marked<T*> Out(T* location) {
  if constexpr (std::is_pointer_v<T>) return Out(location, Arg(T{}).kind);
  else return Out(location, Arg(location).kind);
}
Marked<BOOL*> OutTruth(BOOL* value) { return Out(value, Kind::Truth); }
Marked<DWORD*> OutRegType(DWORD* type) { return Out(type, Kind::RegType); }
Marked<DWORD*> OutDisposition(DWORD* disposition) { return Out(disposition, Kind::Disposition); }
Marked<char*> OutText(char* buffer, DWORD room) {
  return Out(buffer, Kind::FixedText, Use::Out, room);
}
// Text or data whose length the call stores in another output.
template <typename T>
Marked<T*> OutBytes(T* data, const DWORD* length, uint64_t room = UINT64_MAX) {
  return Out(data, Kind::Bytes, Use::Out, room, length);
}
Marked<BYTE*> OutRegValue(const DWORD* type, BYTE* data, const DWORD* size) {
  return Out(data, Kind::RegValue, Use::Out, UINT64_MAX, size, type);
}
// A size the caller sets before the call, so that it can be read whatever the
// call did.
Marked<DWORD*> Size(DWORD* size) { return Out(size, Kind::Number, Use::Read); }
// The text a Get...A function put into its buffer: its result is the length
// without the terminator, or the size it needs when `room` is too small.
// FilledCut: a result that is the length of what was put there, cut short.
Marked<char*> Filled(char* buffer, DWORD room) { return Out(buffer, Kind::Filled, Use::Out, room); }
Marked<char*> FilledCut(char* buffer, DWORD room) {
  return Out(buffer, Kind::Filled, Use::Read, room);
}

// ---- the decorator ----------------------------------------------------------------

// How a result is written, which result is a failure, and which names a
// handle. A failure shows the last-error code, except where the result is the
// error code itself.
enum Returns : uint8_t {
  FalseFails, ZeroFails, InvalidFails, NotNullFails, StatusResult, AttributesResult,
  TruthResult, FlagsResult, PlainResult, NoResult, NoReturn, KeyClosed,
  // From here on the result is a handle that is given a name.
  LibraryResult, FunctionResult, KeyOpened,
};

class LoggingPlatformOps final : public PlatformOps {
 public:
  LoggingPlatformOps(PlatformOps& system, OperationLog& log) : system_(system), log_(log) {}

#define KORVANTA_LOGGED(Result, Name, Parameters, returns, ...)                   \
  Result Name Parameters override {                                               \
    return Call(returns, #Name, &PlatformOps::Name __VA_OPT__(, ) __VA_ARGS__); \
  }
  KORVANTA_PLATFORM_OPERATIONS(KORVANTA_LOGGED)
#undef KORVANTA_LOGGED

 private:
  // Forwards the call and writes it; returns its result unchanged. A call
  // that does not return is written first.
  template <typename Result, typename... Params, typename... Args>
  Result Call(Returns returns, const char* name, Result (PlatformOps::*operation)(Params...),
              const Args&... args) {
    if constexpr (std::is_void_v<Result>) {
      if (returns == NoReturn) Write(returns, name, {Kind::Literal, "(no return)"}, {Arg(args)...});
      (system_.*operation)(args...);
      if (returns == NoResult) Write(returns, name, {Kind::Literal, "(none)"}, {Arg(args)...});
    } else {
      const Result result = (system_.*operation)(args...);
      Write(returns, name, result, {Arg(args)...});
      return result;
    }
  }

  // "<name>(<args>) = <result>", and ", error <code>" when the call failed.
  void Write(Returns returns, const char* name, Arg result, std::initializer_list<Arg> args) {
    if (!log_.Active()) return;
    const uint64_t value = result.number;
    const Arg* arg = args.begin();
    const bool status = returns == StatusResult || returns == KeyOpened || returns == KeyClosed;
    const bool failed = returns == FalseFails || returns == ZeroFails ||
                                returns == LibraryResult || returns == FunctionResult
                            ? value == 0
                        : status || returns == NotNullFails ? value != 0
                        : returns == InvalidFails ? result.pointer == INVALID_HANDLE_VALUE
                        : returns == AttributesResult && value == INVALID_FILE_ATTRIBUTES;
    if (!failed && returns >= LibraryResult) Name(returns, result.pointer, args);
    // The kind of a result whose type does not say it.
    if (returns == FalseFails || returns == TruthResult) result.kind = Kind::Truth;
    if (status) result.kind = Kind::Status;
    if (returns == AttributesResult) result.kind = Kind::Attributes;
    if (returns == FlagsResult) result.kind = Kind::Flags;
    std::string line = std::string(name) + "(";
    for (const Arg& each : args) line += (&each == arg ? "" : ", ") + Text(each, value, !failed);
    line += ") = " + Text(result, value, true);
    // A status result is the error code itself.
    if (failed && !status) line += ", error " + Hex(system_.GetLastError());
    log_.Operation(line);
    if (returns == KeyClosed && !failed) names_.erase(arg[0].number);
  }

  // An argument as the line shows it. An output shows "->" and what the call
  // stored there, or only its address when the call stored nothing.
  std::string Text(const Arg& arg, uint64_t result, bool succeeded) const {
    if (arg.use != Use::In) {
      if (arg.pointer == nullptr) return "NULL";
      Arg value(arg.kind, arg.pointer, arg.number, arg.type);
      bool written = arg.use == Use::Read || (arg.use == Use::Out && succeeded);
      switch (arg.kind) {
        case Kind::Number: case Kind::Truth: case Kind::RegType: case Kind::Disposition:
          value.number = *static_cast<const uint32_t*>(arg.pointer);
          break;
        case Kind::Named: case Kind::Pointer: case Kind::Acl:
          value.pointer = *static_cast<const void* const*>(arg.pointer);
          break;
        case Kind::Filled:
          written = arg.use == Use::Read || (result > 0 && result <= arg.number);
          value = {Kind::Bytes, arg.pointer, std::min(result, arg.number)};
          break;
        case Kind::Bytes: case Kind::RegValue:  // its length in another output
          written = written && arg.length != nullptr;
          if (!written) break;
          value.number = std::min<uint64_t>(*arg.length, arg.number);
          value.type = arg.typeAt ? *arg.typeAt : REG_NONE;
          break;
        default: break;  // the structure itself
      }
      return written ? "->" + Text(value, result, succeeded) : Pointer(arg.pointer);
    }
    static const char* const regTypes[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY",
                                           "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
                                           "REG_MULTI_SZ"};
    const uint64_t number = arg.number;
    const BYTE* bytes = static_cast<const BYTE*>(arg.pointer);
    const char* text = static_cast<const char*>(arg.pointer);
    switch (arg.kind) {
      case Kind::Number: return Dec(number);
      case Kind::Flags: return Hex(number);
      case Kind::Truth: return number == 1 ? "TRUE" : number == 0 ? "FALSE" : Dec(number);
      case Kind::Status: return number == ERROR_SUCCESS ? "ERROR_SUCCESS" : "error " + Hex(number);
      case Kind::Attributes:
        return number == INVALID_FILE_ATTRIBUTES ? "INVALID_FILE_ATTRIBUTES" : Hex(number);
      case Kind::RegType: return number < std::size(regTypes) ? regTypes[number] : Hex(number);
      case Kind::Disposition:
        return number == REG_CREATED_NEW_KEY       ? "created"
               : number == REG_OPENED_EXISTING_KEY ? "opened"
                                                   : Hex(number);
      case Kind::Literal: return text;
      case Kind::Text: return Quoted(text);
      case Kind::FunctionName:
        return reinterpret_cast<uintptr_t>(text) < 0x10000 ? FunctionNameOf(text) : Quoted(text);
      case Kind::Bytes: return QuotedBytes(bytes, number);
      case Kind::FixedText: return QuotedFixed(text, number);
      case Kind::Pointer: return Pointer(arg.pointer);
      case Kind::Named: {
        if (const char* root = RootName(arg.pointer)) return root;
        const std::string* name = Remembered(arg.pointer);
        return Pointer(arg.pointer) + (name ? ":" + Quoted(name->c_str()) : "");
      }
      default: break;
    }
    if (bytes == nullptr) return "NULL";
    switch (arg.kind) {
      case Kind::Entries: {
        size_t length = 0;
        while (text[length] != '\0') length += std::strlen(text + length) + 1;
        return QuotedBytes(text, length);
      }
      case Kind::RegValue: return RegData(arg.type, bytes, number);
      case Kind::Guid: {
        const GUID* guid = static_cast<const GUID*>(arg.pointer);
        std::string shown = "{" + HexDigitsOf(guid->Data1, 8) + "-" + HexDigitsOf(guid->Data2, 4) +
                            "-" + HexDigitsOf(guid->Data3, 4) + "-";
        for (int i = 0; i < 8; ++i) shown += (i == 2 ? "-" : "") + HexDigitsOf(guid->Data4[i], 2);
        return shown + "}";
      }
      case Kind::Acl: return AccessList(static_cast<const ACL*>(arg.pointer));
      case Kind::Authority: {
        uint64_t value = 0;
        for (int i = 0; i < 6; ++i) value = value << 8 | bytes[i];
        return Hex(value);
      }
      case Kind::Device:
        return "devinst " + Hex(static_cast<const SP_DEVINFO_DATA*>(arg.pointer)->DevInst);
      case Kind::Version: {
        const OSVERSIONINFOA* info = static_cast<const OSVERSIONINFOA*>(arg.pointer);
        return "platform " + Dec(info->dwPlatformId) + " version " + Dec(info->dwMajorVersion) +
               "." + Dec(info->dwMinorVersion) + " build " + Dec(info->dwBuildNumber);
      }
      case Kind::FoundFile: {
        const WIN32_FIND_DATAA* data = static_cast<const WIN32_FIND_DATAA*>(arg.pointer);
        return QuotedFixed(data->cFileName, sizeof(data->cFileName)) + " " +
               Hex(data->dwFileAttributes);
      }
      case Kind::Process: {
        const PROCESSENTRY32* entry = static_cast<const PROCESSENTRY32*>(arg.pointer);
        return Dec(entry->th32ProcessID) + " " +
               QuotedFixed(entry->szExeFile, sizeof(entry->szExeFile));
      }
      case Kind::FileInformation: {
        const auto* info = static_cast<const BY_HANDLE_FILE_INFORMATION*>(arg.pointer);
        return "attributes " + Hex(info->dwFileAttributes) + " links " + Dec(info->nNumberOfLinks);
      }
      default: return "?";
    }
  }

  // Libraries, functions and keys are shown with the name they were found or
  // opened by; a key's name is its full path.
  const std::string* Remembered(const void* handle) const {
    const auto found = names_.find(reinterpret_cast<uintptr_t>(handle));
    return found == names_.end() ? nullptr : &found->second;
  }
  void Remember(const void* handle, const std::string& name) {
    if (handle != nullptr && log_.Active()) names_[reinterpret_cast<uintptr_t>(handle)] = name;
  }
  // Names the handle a call returned or opened: a library by the name it was
  // loaded by, a function as "<library>!<name>", a key by its full path.
  void Name(Returns returns, const void* handle, std::initializer_list<Arg> args) {
    const Arg& first = *args.begin();
    const std::string* known = Remembered(first.pointer);
    const char* second = args.size() > 1 ? static_cast<const char*>(args.begin()[1].pointer) : "";
    if (returns == LibraryResult && first.pointer != nullptr) {
      Remember(handle, static_cast<const char*>(first.pointer));
    } else if (returns == FunctionResult) {
      Remember(handle, (known ? *known : Pointer(first.pointer)) + "!" + FunctionNameOf(second));
    } else if (returns == KeyOpened) {
      const auto opened = std::find_if(args.begin(), args.end(), [](const Arg& arg) {
        return arg.use == Use::Out && arg.kind == Kind::Named && arg.pointer != nullptr;
      });
      if (opened == args.end()) return;
      const char* root = RootName(first.pointer);
      std::string path = root ? root : known ? *known : Pointer(first.pointer);
      if (second != nullptr && *second != '\0') path.append("\\").append(second);
      Remember(*static_cast<const HKEY*>(opened->pointer), path);
    }
  }

  PlatformOps& system_;
  OperationLog& log_;
  std::map<uintptr_t, std::string> names_;
};

}  // namespace

std::unique_ptr<PlatformOps> MakeLoggingPlatformOps(PlatformOps& system, OperationLog& log) {
  return std::make_unique<LoggingPlatformOps>(system, log);
}

}  // namespace korvanta
