// The decorator is defined here only: the run needs nothing of it but the
// factory and the shared formatting of the header.
//
// Each argument is written by its kind (Kind), and its type says the kind
// wherever it can: text, key, handle, library or function, GUID, access list,
// structure. A number is decimal unless it is marked as flags or a truth value,
// since Windows' integer types do not tell them apart. An output parameter is
// marked once, where the call is forwarded, and read after the call.
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
  FoundFile, Process,
};

// One argument or result as the log writes it. An output is read through its
// pointer after the call: Out when the call succeeded, Read whatever it did.
struct Arg {
  enum class Use : uint8_t { In, Out, Read, Unread };

  Arg(Kind kind, const void* pointer, uint64_t number = 0, uint32_t type = 0, Use use = Use::In)
      : kind(kind), use(use), pointer(pointer), number(number), type(type) {}
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
  template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
  Arg(T value) : Arg(Kind::Number, nullptr, static_cast<std::make_unsigned_t<T>>(value)) {}

  Kind kind;
  Use use;
  const void* pointer;
  uint64_t number;  // a value, a length, or a buffer's size
  uint32_t type;    // a registry value's type
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

template <typename T>
Marked<T*> Out(T* location, Kind kind, Use use = Use::Out, uint64_t size = 0) {
  return {location, {kind, location, size, 0, use}};
}
// An output of a type that says its kind: a structure, or a handle or pointer
// stored by the call.
template <typename T>
  requires std::is_class_v<T> || std::is_pointer_v<T>
Marked<T*> Out(T* location) {
  if constexpr (std::is_pointer_v<T>) return Out(location, Arg(T{}).kind);
  else return Out(location, Arg(location).kind);
}
// A size the caller sets before the call, so that it can be read whatever the
// call did.
Marked<DWORD*> Size(DWORD* size) { return Out(size, Kind::Number, Use::Read); }
// The text a Get...A function put into its buffer: its result is the length
// without the terminator, or the size it needs when `room` is too small.
Marked<char*> Filled(char* buffer, DWORD room, Use use = Use::Out) {
  return Out(buffer, Kind::Filled, use, room);
}
// A text or value whose length another output gave.
Arg OutBytes(const void* data, size_t length, bool read, Kind kind = Kind::Bytes,
             DWORD type = REG_NONE) {
  return {kind, data, length, type, read ? Use::Read : Use::Unread};
}

// ---- the decorator ----------------------------------------------------------------

// How a result is written, and which result is a failure. A failure shows the
// last-error code, except where the result is the error code itself.
enum Returns : uint8_t {
  FalseFails, ZeroFails, InvalidFails, NotNullFails, StatusResult, AttributesResult,
  TruthResult, FlagsResult, PlainResult,
};

// Every one-line operation below would otherwise name itself twice: as the
// text of its line and as the method it forwards to.
#define FORWARD(returns, operation, ...) \
  Call(returns, #operation, &PlatformOps::operation __VA_OPT__(, ) __VA_ARGS__)

class LoggingPlatformOps final : public PlatformOps {
 public:
  LoggingPlatformOps(PlatformOps& system, OperationLog& log) : system_(system), log_(log) {}

  // kernel32: process, version, directories. The directories' buffer size
  // counts the terminator, their result does not.
  const char* GetCommandLineA() override { return FORWARD(PlainResult, GetCommandLineA); }
  DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) override {
    return FORWARD(ZeroFails, GetModuleFileNameA, module, Filled(buffer, size), size);
  }
  BOOL GetVersionExA(OSVERSIONINFOA* info) override {
    return FORWARD(FalseFails, GetVersionExA, Out(info));
  }
  UINT GetSystemDirectoryA(char* buffer, UINT size) override {
    return FORWARD(ZeroFails, GetSystemDirectoryA, Filled(buffer, size - (size > 0)), size);
  }
  UINT GetWindowsDirectoryA(char* buffer, UINT size) override {
    return FORWARD(ZeroFails, GetWindowsDirectoryA, Filled(buffer, size - (size > 0)), size);
  }

  // kernel32: files and drives
  BOOL CopyFileA(const char* existing, const char* target, BOOL failIfExists) override {
    return FORWARD(FalseFails, CopyFileA, existing, target, Truth(failIfExists));
  }
  BOOL DeleteFileA(const char* path) override { return FORWARD(FalseFails, DeleteFileA, path); }
  DWORD GetFileAttributesA(const char* path) override {
    return FORWARD(AttributesResult, GetFileAttributesA, path);
  }
  BOOL SetFileAttributesA(const char* path, DWORD attributes) override {
    return FORWARD(FalseFails, SetFileAttributesA, path, Flags(attributes));
  }
  HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) override {
    return FORWARD(InvalidFails, FindFirstFileA, pattern, Out(data));
  }
  BOOL FindClose(HANDLE find) override { return FORWARD(FalseFails, FindClose, find); }
  BOOL MoveFileExA(const char* existing, const char* target, DWORD flags) override {
    return FORWARD(FalseFails, MoveFileExA, existing, target, Flags(flags));
  }
  UINT GetDriveTypeA(const char* root) override {
    return FORWARD(PlainResult, GetDriveTypeA, root);
  }
  UINT SetErrorMode(UINT mode) override { return FORWARD(FlagsResult, SetErrorMode, Flags(mode)); }
  BOOL IsDBCSLeadByte(BYTE byte) override {
    return FORWARD(TruthResult, IsDBCSLeadByte, Flags(byte));
  }

  // kernel32: profile files. A section's result is its length, cut short
  // when the buffer is too small.
  DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                  const char* file) override {
    return FORWARD(PlainResult, GetPrivateProfileSectionA, section,
                   Filled(buffer, size, Use::Read), size, file);
  }
  BOOL WritePrivateProfileSectionA(const char* section, const char* entries,
                                   const char* file) override {
    return FORWARD(FalseFails, WritePrivateProfileSectionA, section, Entries(entries), file);
  }
  BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                  const char* file) override {
    return FORWARD(FalseFails, WritePrivateProfileStringA, section, key, value, file);
  }

  // kernel32: libraries. A library and a function found in it are shown with
  // the name they were found by.
  HMODULE LoadLibraryA(const char* name) override {
    const HMODULE library = system_.LoadLibraryA(name);
    if (name != nullptr) Remember(library, name);
    Write(ZeroFails, "LoadLibraryA", library, {name});
    return library;
  }
  FARPROC GetProcAddress(HMODULE module, const char* name) override {
    const FARPROC proc = system_.GetProcAddress(module, name);
    // A value below 0x10000 is an ordinal, not a string.
    const uintptr_t ordinal = reinterpret_cast<uintptr_t>(name);
    const std::string byOrdinal = "#" + Dec(ordinal);
    const std::string* library = Remembered(module);
    Remember(reinterpret_cast<const void*>(proc), (library ? *library : Pointer(module)) + "!" +
                                                      (ordinal < 0x10000 ? byOrdinal : name));
    Write(ZeroFails, "GetProcAddress", proc,
          {module, ordinal < 0x10000 ? Arg(Kind::Literal, byOrdinal.c_str()) : Arg(name)});
    return proc;
  }
  BOOL FreeLibrary(HMODULE module) override { return FORWARD(FalseFails, FreeLibrary, module); }

  // kernel32: processes, memory, errors. HeapAlloc and HeapFree do not set
  // the last-error code, so none is shown.
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override {
    return FORWARD(ZeroFails, OpenProcess, Flags(access), Truth(inherit), processId);
  }
  BOOL CloseHandle(HANDLE handle) override { return FORWARD(FalseFails, CloseHandle, handle); }
  HANDLE GetProcessHeap() override { return FORWARD(ZeroFails, GetProcessHeap); }
  LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) override {
    return FORWARD(PlainResult, HeapAlloc, heap, Flags(flags), bytes);
  }
  BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) override {
    return FORWARD(TruthResult, HeapFree, heap, Flags(flags), block);
  }
  HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override {
    return FORWARD(ZeroFails, LocalAlloc, Flags(flags), bytes);
  }
  HLOCAL LocalFree(HLOCAL block) override { return FORWARD(NotNullFails, LocalFree, block); }
  DWORD GetLastError() override { return FORWARD(FlagsResult, GetLastError); }
  void SetLastError(DWORD code) override {
    system_.SetLastError(code);
    Write(PlainResult, "SetLastError", {Kind::Literal, "(none)"}, {Flags(code)});
  }
  void ExitProcess(UINT exitCode) override {
    // Logged first: the call does not return.
    Write(PlainResult, "ExitProcess", {Kind::Literal, "(no return)"}, {exitCode});
    system_.ExitProcess(exitCode);
  }

  // kernel32, looked up at run time: Toolhelp process list
  HANDLE CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) override {
    return FORWARD(InvalidFails, CreateToolhelp32Snapshot, proc, Flags(flags), processId);
  }
  BOOL Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) override {
    return FORWARD(FalseFails, Process32First, proc, snapshot, Out(entry));
  }
  BOOL Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) override {
    return FORWARD(FalseFails, Process32Next, proc, snapshot, Out(entry));
  }

  // PSAPI.DLL, loaded at run time. A module of another process is not named
  // by this one's libraries.
  BOOL EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes, DWORD* bytesReturned) override {
    return FORWARD(FalseFails, EnumProcesses, proc, ids, bytes, Size(bytesReturned));
  }
  BOOL EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules, DWORD bytes,
                          DWORD* bytesNeeded) override {
    return FORWARD(FalseFails, EnumProcessModules, proc, process, modules, bytes,
                   Size(bytesNeeded));
  }
  DWORD GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module, char* buffer,
                             DWORD size) override {
    return FORWARD(ZeroFails, GetModuleFileNameExA, proc, process, Address(module),
                   Filled(buffer, size), size);
  }

  // user32
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) override {
    return FORWARD(ZeroFails, MessageBoxA, owner, text, caption, Flags(type));
  }

  // advapi32: registry. A key is shown with the full name it was opened by.
  LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                       REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                       DWORD* disposition) override {
    const LONG status = system_.RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                                security, result, disposition);
    RememberKey(status, key, subKey, result);
    Write(StatusResult, "RegCreateKeyExA", status,
          {key, subKey, reserved, keyClass, Flags(options), Flags(access), security, Out(result),
           Out(disposition, Kind::Disposition)});
    return status;
  }
  LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD size) override {
    return FORWARD(StatusResult, RegSetValueExA, key, valueName, reserved, RegType(type),
                   RegValue(type, data, size), size);
  }
  LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                     HKEY* result) override {
    const LONG status = system_.RegOpenKeyExA(key, subKey, options, access, result);
    RememberKey(status, key, subKey, result);
    Write(StatusResult, "RegOpenKeyExA", status,
          {key, subKey, Flags(options), Flags(access), Out(result)});
    return status;
  }
  LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* size) override {
    const LONG status = system_.RegQueryValueExA(key, valueName, reserved, type, data, size);
    const bool read = status == ERROR_SUCCESS && data != nullptr && size != nullptr;
    Write(StatusResult, "RegQueryValueExA", status,
          {key, valueName, reserved, Out(type, Kind::RegType),
           OutBytes(data, read ? *size : 0, read, Kind::RegValue, type && read ? *type : REG_NONE),
           Size(size)});
    return status;
  }
  LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved,
                        DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                        DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                        DWORD* securityDescriptorLength, FILETIME* lastWriteTime) override {
    return FORWARD(StatusResult, RegQueryInfoKeyA, key, Address(keyClass), Size(classLength),
                   reserved, Size(subKeys), Size(maxSubKeyLength), Size(maxClassLength),
                   Size(values), Size(maxValueNameLength), Size(maxValueLength),
                   Size(securityDescriptorLength), lastWriteTime);
  }
  LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                     char* keyClass, DWORD* classLength, FILETIME* lastWriteTime) override {
    const LONG status = system_.RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass,
                                              classLength, lastWriteTime);
    const bool read = status == ERROR_SUCCESS && nameLength != nullptr;
    Write(StatusResult, "RegEnumKeyExA", status,
          {key, index, OutBytes(name, read ? *nameLength : 0, read), Size(nameLength), reserved,
           Address(keyClass), Size(classLength), lastWriteTime});
    return status;
  }
  LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
    return FORWARD(StatusResult, RegDeleteKeyA, key, subKey);
  }
  LONG RegCloseKey(HKEY key) override {
    const LONG status = FORWARD(StatusResult, RegCloseKey, key);
    if (status == ERROR_SUCCESS) names_.erase(reinterpret_cast<uintptr_t>(key));
    return status;
  }

  // advapi32: security. A list that the call is to fill is shown by its
  // address only.
  BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) override {
    return FORWARD(FalseFails, AllocateAndInitializeSid, authority, subAuthorityCount, Flags(sub0),
                   Flags(sub1), Flags(sub2), Flags(sub3), Flags(sub4), Flags(sub5), Flags(sub6),
                   Flags(sub7), Out(sid));
  }
  PVOID FreeSid(PSID sid) override { return FORWARD(PlainResult, FreeSid, sid); }
  DWORD GetLengthSid(PSID sid) override { return FORWARD(PlainResult, GetLengthSid, sid); }
  BOOL InitializeAcl(ACL* acl, DWORD length, DWORD revision) override {
    return FORWARD(FalseFails, InitializeAcl, Address(acl), length, revision);
  }
  BOOL AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, PSID sid) override {
    return FORWARD(FalseFails, AddAccessAllowedAce, Address(acl), revision, Flags(accessMask), sid);
  }
  BOOL GetAce(ACL* acl, DWORD index, LPVOID* ace) override {
    return FORWARD(FalseFails, GetAce, Address(acl), index, Out(ace));
  }
  DWORD GetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID* owner, PSID* group, ACL** dacl,
                              ACL** sacl, PSECURITY_DESCRIPTOR* descriptor) override {
    return FORWARD(StatusResult, GetNamedSecurityInfoA, proc, objectName, type, Flags(info),
                   Out(owner), Out(group), Out(dacl), Out(sacl), Out(descriptor));
  }
  DWORD SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID owner, PSID group, ACL* dacl,
                              ACL* sacl) override {
    return FORWARD(StatusResult, SetNamedSecurityInfoA, proc, objectName, type, Flags(info), owner,
                   group, dacl, sacl);
  }

  // setupapi
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                DWORD flags) override {
    return FORWARD(InvalidFails, SetupDiGetClassDevsA, classGuid, enumerator, parent, Flags(flags));
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) override {
    return FORWARD(FalseFails, SetupDiEnumDeviceInfo, set, index, Out(device));
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property,
                                         DWORD* valueType, BYTE* buffer, DWORD size,
                                         DWORD* requiredSize) override {
    const BOOL result = system_.SetupDiGetDeviceRegistryPropertyA(set, device, property, valueType,
                                                                  buffer, size, requiredSize);
    const bool read = result && buffer != nullptr && requiredSize != nullptr;
    Write(FalseFails, "SetupDiGetDeviceRegistryPropertyA", result,
          {set, device, Flags(property), Out(valueType, Kind::RegType),
           OutBytes(buffer, read ? std::min(*requiredSize, size) : size, read), size,
           Size(requiredSize)});
    return result;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    return FORWARD(FalseFails, SetupDiDestroyDeviceInfoList, set);
  }
  BOOL SetupDiGetINFClassA(const char* infName, GUID* classGuid, char* className,
                           DWORD classNameSize, DWORD* requiredSize) override {
    return FORWARD(FalseFails, SetupDiGetINFClassA, infName, Out(classGuid),
                   Out(className, Kind::FixedText, Use::Out, classNameSize), classNameSize,
                   Size(requiredSize));
  }
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) override {
    return FORWARD(InvalidFails, SetupDiCreateDeviceInfoList, classGuid, parent);
  }
  BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char* deviceName, const GUID* classGuid,
                                const char* description, HWND parent, DWORD flags,
                                SP_DEVINFO_DATA* device) override {
    return FORWARD(FalseFails, SetupDiCreateDeviceInfoA, set, deviceName, classGuid, description,
                   parent, Flags(flags), Out(device));
  }
  BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property,
                                         const BYTE* buffer, DWORD size) override {
    return FORWARD(FalseFails, SetupDiSetDeviceRegistryPropertyA, set, device, Flags(property),
                   Bytes(buffer, size), size);
  }
  BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                 SP_DEVINFO_DATA* device) override {
    return FORWARD(FalseFails, SetupDiCallClassInstaller, Flags(function), set, device);
  }

  // NewDev.dll, loaded at run time
  BOOL UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent, const char* hardwareId,
                                          const char* infPath, DWORD flags,
                                          BOOL* rebootRequired) override {
    return FORWARD(FalseFails, UpdateDriverForPlugAndPlayDevicesA, proc, parent, hardwareId,
                   infPath, Flags(flags), Out(rebootRequired, Kind::Truth));
  }

 private:
  // Forwards the call and writes it; returns its result unchanged.
  template <typename Result, typename... Params, typename... Args>
  Result Call(Returns returns, const char* name, Result (PlatformOps::*operation)(Params...),
              const Args&... args) {
    const Result result = (system_.*operation)(args...);
    Write(returns, name, result, {Arg(args)...});
    return result;
  }

  // "<name>(<args>) = <result>", and ", error <code>" when the call failed.
  void Write(Returns returns, const char* name, Arg result, std::initializer_list<Arg> args) {
    if (!log_.Active()) return;
    const uint64_t value = result.number;
    const bool failed = returns == FalseFails || returns == ZeroFails      ? value == 0
                        : returns == NotNullFails || returns == StatusResult ? value != 0
                        : returns == InvalidFails ? result.pointer == INVALID_HANDLE_VALUE
                        : returns == AttributesResult && value == INVALID_FILE_ATTRIBUTES;
    // The kind of a result whose type does not say it.
    if (returns == FalseFails || returns == TruthResult) result.kind = Kind::Truth;
    if (returns == StatusResult) result.kind = Kind::Status;
    if (returns == AttributesResult) result.kind = Kind::Attributes;
    if (returns == FlagsResult) result.kind = Kind::Flags;
    std::string line = std::string(name) + "(";
    for (const Arg& arg : args) {
      line += (&arg == args.begin() ? "" : ", ") + Text(arg, result.number, !failed);
    }
    line += ") = " + Text(result, result.number, true);
    // A status result is the error code itself.
    if (failed && returns != StatusResult) line += ", error " + Hex(system_.GetLastError());
    log_.Operation(line);
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
  void RememberKey(LONG status, HKEY key, const char* subKey, const HKEY* opened) {
    if (status != ERROR_SUCCESS || opened == nullptr) return;
    const char* root = RootName(key);
    const std::string* name = Remembered(key);
    std::string path = root ? root : name ? *name : Pointer(key);
    if (subKey != nullptr && *subKey != '\0') path.append("\\").append(subKey);
    Remember(*opened, path);
  }

  PlatformOps& system_;
  OperationLog& log_;
  std::map<uintptr_t, std::string> names_;
};

#undef FORWARD

}  // namespace

std::unique_ptr<PlatformOps> MakeLoggingPlatformOps(PlatformOps& system, OperationLog& log) {
  return std::make_unique<LoggingPlatformOps>(system, log);
}

}  // namespace korvanta
