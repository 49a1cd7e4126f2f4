#include "install/logging_platform_ops.h"

#include <algorithm>

namespace korvanta {
namespace {

using logtext::BoundedLength;
using logtext::Bool;
using logtext::Dec;
using logtext::Guid;
using logtext::Hex;
using logtext::Pointer;
using logtext::Quoted;
using logtext::QuotedBytes;
using logtext::RegData;
using logtext::RegType;

std::string Handle(const void* handle) {
  return handle == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : Pointer(handle);
}

std::string Status(LONG status) {
  return status == ERROR_SUCCESS ? "ERROR_SUCCESS" : "error " + Hex(static_cast<DWORD>(status));
}

// Output parameters appear after the call as "->value"; only what the call
// reports as written is read.
std::string OutDword(const DWORD* value) { return value ? "->" + Dec(*value) : "NULL"; }

std::string OutText(const char* buffer, size_t length, bool written) {
  if (buffer == nullptr) return "NULL";
  return written ? "->" + QuotedBytes(buffer, length) : Pointer(buffer);
}

// The text a Get...A function put into its buffer: its result is the length
// without the terminator, or the size it needs when the buffer is too small.
std::string OutFilled(const char* buffer, DWORD result, DWORD size) {
  return OutText(buffer, result, result > 0 && result <= size);
}

std::string Device(const SP_DEVINFO_DATA* device) {
  return device ? "devinst " + Hex(device->DevInst) : "NULL";
}

std::string Sid(const BYTE* sid, size_t available) {
  if (available < 8 || available < 8 + 4 * static_cast<size_t>(sid[1])) return "SID?";
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  std::string text = "S-" + Dec(sid[0]) + "-" + Dec(authority);
  for (int i = 0; i < sid[1]; ++i) {
    const BYTE* sub = sid + 8 + 4 * i;
    text += "-" + Dec(sub[0] | sub[1] << 8 | sub[2] << 16 | static_cast<uint32_t>(sub[3]) << 24);
  }
  return text;
}

// An access list with its entries, read within the size it states:
// "0x5F0 {allow S-1-1-0 mask 0xF003F flags 0x2}".
std::string Acl(const ACL* acl) {
  if (acl == nullptr) return "NULL";
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

std::string ProcessEntry(const PROCESSENTRY32* entry, bool written) {
  if (entry == nullptr) return "NULL";
  if (!written) return Pointer(entry);
  return "->" + Dec(entry->th32ProcessID) + " " +
         QuotedBytes(entry->szExeFile, BoundedLength(entry->szExeFile, sizeof(entry->szExeFile)));
}

}  // namespace

void LoggingPlatformOps::Log(const char* name, std::initializer_list<std::string> args,
                             const std::string& result, bool failed) {
  if (!log_.Active()) return;
  std::string line = name;
  line += '(';
  bool first = true;
  for (const std::string& arg : args) {
    if (!first) line += ", ";
    line += arg;
    first = false;
  }
  line += ") = " + result;
  if (failed) line += ", error " + Hex(system_.GetLastError());
  log_.Operation(line);
}

std::string LoggingPlatformOps::Named(const void* handle) const {
  const auto found = names_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == names_.end()) return Pointer(handle);
  return Pointer(handle) + ":" + Quoted(found->second.c_str());
}

void LoggingPlatformOps::Remember(const void* handle, const std::string& name) {
  if (handle != nullptr && log_.Active()) names_[reinterpret_cast<uintptr_t>(handle)] = name;
}

namespace {

// The predefined keys by name; they are sign-extended 32-bit values on 64-bit
// Windows.
const char* RootName(HKEY key) {
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

std::string LoggingPlatformOps::Key(HKEY key) const {
  const char* root = RootName(key);
  return root ? root : Named(key);
}

std::string LoggingPlatformOps::SubKeyPath(HKEY key, const char* subKey) const {
  std::string path;
  if (const char* root = RootName(key)) {
    path = root;
  } else {
    const auto found = names_.find(reinterpret_cast<uintptr_t>(key));
    path = found == names_.end() ? Pointer(key) : found->second;
  }
  if (subKey != nullptr && *subKey != '\0') path.append("\\").append(subKey);
  return path;
}

std::string LoggingPlatformOps::Module(HMODULE module) const { return Named(module); }

std::string LoggingPlatformOps::Proc(FARPROC proc) const {
  return Named(reinterpret_cast<const void*>(proc));
}

// ---- kernel32: process, version, directories ----------------------------------

const char* LoggingPlatformOps::GetCommandLineA() {
  const char* result = system_.GetCommandLineA();
  Log("GetCommandLineA", {}, Quoted(result));
  return result;
}

DWORD LoggingPlatformOps::GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
  const DWORD result = system_.GetModuleFileNameA(module, buffer, size);
  Log("GetModuleFileNameA", {Module(module), OutFilled(buffer, result, size), Dec(size)},
      Dec(result), result == 0);
  return result;
}

BOOL LoggingPlatformOps::GetVersionExA(OSVERSIONINFOA* info) {
  const BOOL result = system_.GetVersionExA(info);
  std::string out = Pointer(info);
  if (info != nullptr && result) {
    out = "->platform " + Dec(info->dwPlatformId) + " version " + Dec(info->dwMajorVersion) + "." +
          Dec(info->dwMinorVersion) + " build " + Dec(info->dwBuildNumber);
  }
  Log("GetVersionExA", {out}, Bool(result), !result);
  return result;
}

UINT LoggingPlatformOps::GetSystemDirectoryA(char* buffer, UINT size) {
  const UINT result = system_.GetSystemDirectoryA(buffer, size);
  Log("GetSystemDirectoryA", {OutFilled(buffer, result, size - (size > 0)), Dec(size)}, Dec(result),
      result == 0);
  return result;
}

UINT LoggingPlatformOps::GetWindowsDirectoryA(char* buffer, UINT size) {
  const UINT result = system_.GetWindowsDirectoryA(buffer, size);
  Log("GetWindowsDirectoryA", {OutFilled(buffer, result, size - (size > 0)), Dec(size)},
      Dec(result), result == 0);
  return result;
}

// ---- kernel32: files and drives ---------------------------------------------------

BOOL LoggingPlatformOps::CopyFileA(const char* existing, const char* target, BOOL failIfExists) {
  const BOOL result = system_.CopyFileA(existing, target, failIfExists);
  Log("CopyFileA", {Quoted(existing), Quoted(target), Bool(failIfExists)}, Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::DeleteFileA(const char* path) {
  const BOOL result = system_.DeleteFileA(path);
  Log("DeleteFileA", {Quoted(path)}, Bool(result), !result);
  return result;
}

DWORD LoggingPlatformOps::GetFileAttributesA(const char* path) {
  const DWORD result = system_.GetFileAttributesA(path);
  const bool failed = result == INVALID_FILE_ATTRIBUTES;
  Log("GetFileAttributesA", {Quoted(path)}, failed ? "INVALID_FILE_ATTRIBUTES" : Hex(result), failed);
  return result;
}

BOOL LoggingPlatformOps::SetFileAttributesA(const char* path, DWORD attributes) {
  const BOOL result = system_.SetFileAttributesA(path, attributes);
  Log("SetFileAttributesA", {Quoted(path), Hex(attributes)}, Bool(result), !result);
  return result;
}

HANDLE LoggingPlatformOps::FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
  const HANDLE result = system_.FindFirstFileA(pattern, data);
  const bool failed = result == INVALID_HANDLE_VALUE;
  std::string out = Pointer(data);
  if (data != nullptr && !failed) {
    out = "->" + QuotedBytes(data->cFileName, BoundedLength(data->cFileName, sizeof(data->cFileName))) +
          " " + Hex(data->dwFileAttributes);
  }
  Log("FindFirstFileA", {Quoted(pattern), out}, Handle(result), failed);
  return result;
}

BOOL LoggingPlatformOps::FindClose(HANDLE find) {
  const BOOL result = system_.FindClose(find);
  Log("FindClose", {Handle(find)}, Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::MoveFileExA(const char* existing, const char* target, DWORD flags) {
  const BOOL result = system_.MoveFileExA(existing, target, flags);
  Log("MoveFileExA", {Quoted(existing), Quoted(target), Hex(flags)}, Bool(result), !result);
  return result;
}

UINT LoggingPlatformOps::GetDriveTypeA(const char* root) {
  const UINT result = system_.GetDriveTypeA(root);
  Log("GetDriveTypeA", {Quoted(root)}, Dec(result));
  return result;
}

UINT LoggingPlatformOps::SetErrorMode(UINT mode) {
  const UINT result = system_.SetErrorMode(mode);
  Log("SetErrorMode", {Hex(mode)}, Hex(result));
  return result;
}

BOOL LoggingPlatformOps::IsDBCSLeadByte(BYTE byte) {
  const BOOL result = system_.IsDBCSLeadByte(byte);
  Log("IsDBCSLeadByte", {Hex(byte)}, Bool(result));
  return result;
}

// ---- kernel32: profile files --------------------------------------------------------

DWORD LoggingPlatformOps::GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                                    const char* file) {
  const DWORD result = system_.GetPrivateProfileSectionA(section, buffer, size, file);
  Log("GetPrivateProfileSectionA",
      {Quoted(section), OutText(buffer, std::min(result, size), true), Dec(size), Quoted(file)},
      Dec(result));
  return result;
}

BOOL LoggingPlatformOps::WritePrivateProfileSectionA(const char* section, const char* entries,
                                                     const char* file) {
  const BOOL result = system_.WritePrivateProfileSectionA(section, entries, file);
  // The entries: zero-terminated strings up to an empty one.
  size_t length = 0;
  if (entries != nullptr) {
    while (entries[length] != '\0') length += std::char_traits<char>::length(entries + length) + 1;
  }
  Log("WritePrivateProfileSectionA",
      {Quoted(section), entries ? QuotedBytes(entries, length) : "NULL", Quoted(file)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::WritePrivateProfileStringA(const char* section, const char* key,
                                                    const char* value, const char* file) {
  const BOOL result = system_.WritePrivateProfileStringA(section, key, value, file);
  Log("WritePrivateProfileStringA", {Quoted(section), Quoted(key), Quoted(value), Quoted(file)},
      Bool(result), !result);
  return result;
}

// ---- kernel32: libraries ------------------------------------------------------------

HMODULE LoggingPlatformOps::LoadLibraryA(const char* name) {
  const HMODULE result = system_.LoadLibraryA(name);
  if (name != nullptr) Remember(result, name);
  Log("LoadLibraryA", {Quoted(name)}, Module(result), result == nullptr);
  return result;
}

FARPROC LoggingPlatformOps::GetProcAddress(HMODULE module, const char* name) {
  const FARPROC result = system_.GetProcAddress(module, name);
  // A value below 0x10000 is an ordinal, not a string.
  const bool ordinal = reinterpret_cast<uintptr_t>(name) < 0x10000;
  const std::string nameText =
      ordinal ? "#" + Dec(reinterpret_cast<uintptr_t>(name)) : Quoted(name);
  const auto library = names_.find(reinterpret_cast<uintptr_t>(module));
  Remember(reinterpret_cast<const void*>(result),
           (library == names_.end() ? Pointer(module) : library->second) + "!" +
               (ordinal ? nameText : std::string(name)));
  Log("GetProcAddress", {Module(module), nameText}, Proc(result), result == nullptr);
  return result;
}

BOOL LoggingPlatformOps::FreeLibrary(HMODULE module) {
  const BOOL result = system_.FreeLibrary(module);
  Log("FreeLibrary", {Module(module)}, Bool(result), !result);
  return result;
}

// ---- kernel32: processes, memory, errors ------------------------------------------------

HANDLE LoggingPlatformOps::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  const HANDLE result = system_.OpenProcess(access, inherit, processId);
  Log("OpenProcess", {Hex(access), Bool(inherit), Dec(processId)}, Handle(result), result == nullptr);
  return result;
}

BOOL LoggingPlatformOps::CloseHandle(HANDLE handle) {
  const BOOL result = system_.CloseHandle(handle);
  Log("CloseHandle", {Handle(handle)}, Bool(result), !result);
  return result;
}

HANDLE LoggingPlatformOps::GetProcessHeap() {
  const HANDLE result = system_.GetProcessHeap();
  Log("GetProcessHeap", {}, Handle(result), result == nullptr);
  return result;
}

// HeapAlloc and HeapFree do not set the last-error code, so none is shown.
LPVOID LoggingPlatformOps::HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  const LPVOID result = system_.HeapAlloc(heap, flags, bytes);
  Log("HeapAlloc", {Handle(heap), Hex(flags), Dec(bytes)}, Pointer(result));
  return result;
}

BOOL LoggingPlatformOps::HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  const BOOL result = system_.HeapFree(heap, flags, block);
  Log("HeapFree", {Handle(heap), Hex(flags), Pointer(block)}, Bool(result));
  return result;
}

HLOCAL LoggingPlatformOps::LocalAlloc(UINT flags, SIZE_T bytes) {
  const HLOCAL result = system_.LocalAlloc(flags, bytes);
  Log("LocalAlloc", {Hex(flags), Dec(bytes)}, Pointer(result), result == nullptr);
  return result;
}

HLOCAL LoggingPlatformOps::LocalFree(HLOCAL block) {
  const HLOCAL result = system_.LocalFree(block);
  Log("LocalFree", {Pointer(block)}, Pointer(result), result != nullptr);
  return result;
}

DWORD LoggingPlatformOps::GetLastError() {
  const DWORD result = system_.GetLastError();
  Log("GetLastError", {}, Hex(result));
  return result;
}

void LoggingPlatformOps::SetLastError(DWORD code) {
  system_.SetLastError(code);
  Log("SetLastError", {Hex(code)}, "(none)");
}

void LoggingPlatformOps::ExitProcess(UINT exitCode) {
  // Logged first: the call does not return.
  Log("ExitProcess", {Dec(exitCode)}, "(no return)");
  system_.ExitProcess(exitCode);
}

// ---- kernel32, looked up: Toolhelp ----------------------------------------------------------

HANDLE LoggingPlatformOps::CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) {
  const HANDLE result = system_.CreateToolhelp32Snapshot(proc, flags, processId);
  Log("CreateToolhelp32Snapshot", {Proc(proc), Hex(flags), Dec(processId)}, Handle(result),
      result == INVALID_HANDLE_VALUE);
  return result;
}

BOOL LoggingPlatformOps::Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) {
  const BOOL result = system_.Process32First(proc, snapshot, entry);
  Log("Process32First", {Proc(proc), Handle(snapshot), ProcessEntry(entry, result)}, Bool(result),
      !result);
  return result;
}

BOOL LoggingPlatformOps::Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) {
  const BOOL result = system_.Process32Next(proc, snapshot, entry);
  Log("Process32Next", {Proc(proc), Handle(snapshot), ProcessEntry(entry, result)}, Bool(result),
      !result);
  return result;
}

// ---- PSAPI ------------------------------------------------------------------------------------

BOOL LoggingPlatformOps::EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes,
                                       DWORD* bytesReturned) {
  const BOOL result = system_.EnumProcesses(proc, ids, bytes, bytesReturned);
  Log("EnumProcesses", {Proc(proc), Pointer(ids), Dec(bytes), OutDword(bytesReturned)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules,
                                            DWORD bytes, DWORD* bytesNeeded) {
  const BOOL result = system_.EnumProcessModules(proc, process, modules, bytes, bytesNeeded);
  Log("EnumProcessModules",
      {Proc(proc), Handle(process), Pointer(modules), Dec(bytes), OutDword(bytesNeeded)},
      Bool(result), !result);
  return result;
}

DWORD LoggingPlatformOps::GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module,
                                               char* buffer, DWORD size) {
  const DWORD result = system_.GetModuleFileNameExA(proc, process, module, buffer, size);
  Log("GetModuleFileNameExA",
      {Proc(proc), Handle(process), Pointer(module), OutFilled(buffer, result, size), Dec(size)},
      Dec(result), result == 0);
  return result;
}

// ---- user32 -------------------------------------------------------------------------------------

int LoggingPlatformOps::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  const int result = system_.MessageBoxA(owner, text, caption, type);
  Log("MessageBoxA", {Handle(owner), Quoted(text), Quoted(caption), Hex(type)},
      Dec(static_cast<uint32_t>(result)), result == 0);
  return result;
}

// ---- advapi32: registry ---------------------------------------------------------------------------

LONG LoggingPlatformOps::RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved,
                                         char* keyClass, DWORD options, REGSAM access,
                                         SECURITY_ATTRIBUTES* security, HKEY* result,
                                         DWORD* disposition) {
  const LONG status = system_.RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                              security, result, disposition);
  const bool ok = status == ERROR_SUCCESS;
  if (ok && result != nullptr) {
    Remember(*result, SubKeyPath(key, subKey));
  }
  std::string created = "NULL";
  if (disposition != nullptr) {
    created = !ok                                        ? Pointer(disposition)
              : *disposition == REG_CREATED_NEW_KEY      ? "->created"
              : *disposition == REG_OPENED_EXISTING_KEY  ? "->opened"
                                                         : "->" + Hex(*disposition);
  }
  Log("RegCreateKeyExA",
      {Key(key), Quoted(subKey), Dec(reserved), Quoted(keyClass), Hex(options), Hex(access),
       Pointer(security), result && ok ? "->" + Key(*result) : Pointer(result), created},
      Status(status));
  return status;
}

LONG LoggingPlatformOps::RegSetValueExA(HKEY key, const char* valueName, DWORD reserved,
                                        DWORD type, const BYTE* data, DWORD size) {
  const LONG status = system_.RegSetValueExA(key, valueName, reserved, type, data, size);
  Log("RegSetValueExA",
      {Key(key), Quoted(valueName), Dec(reserved), RegType(type), RegData(type, data, size),
       Dec(size)},
      Status(status));
  return status;
}

LONG LoggingPlatformOps::RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                                       HKEY* result) {
  const LONG status = system_.RegOpenKeyExA(key, subKey, options, access, result);
  const bool ok = status == ERROR_SUCCESS;
  if (ok && result != nullptr) {
    Remember(*result, SubKeyPath(key, subKey));
  }
  Log("RegOpenKeyExA",
      {Key(key), Quoted(subKey), Hex(options), Hex(access),
       result && ok ? "->" + Key(*result) : Pointer(result)},
      Status(status));
  return status;
}

LONG LoggingPlatformOps::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved,
                                          DWORD* type, BYTE* data, DWORD* size) {
  const LONG status = system_.RegQueryValueExA(key, valueName, reserved, type, data, size);
  const bool ok = status == ERROR_SUCCESS;
  std::string dataText = Pointer(data);
  if (ok && data != nullptr && size != nullptr) {
    dataText = "->" + RegData(type ? *type : REG_NONE, data, *size);
  }
  Log("RegQueryValueExA",
      {Key(key), Quoted(valueName), Pointer(reserved),
       type && ok ? "->" + RegType(*type) : Pointer(type), dataText, OutDword(size)},
      Status(status));
  return status;
}

LONG LoggingPlatformOps::RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength,
                                          DWORD* reserved, DWORD* subKeys, DWORD* maxSubKeyLength,
                                          DWORD* maxClassLength, DWORD* values,
                                          DWORD* maxValueNameLength, DWORD* maxValueLength,
                                          DWORD* securityDescriptorLength,
                                          FILETIME* lastWriteTime) {
  const LONG status = system_.RegQueryInfoKeyA(key, keyClass, classLength, reserved, subKeys,
                                               maxSubKeyLength, maxClassLength, values,
                                               maxValueNameLength, maxValueLength,
                                               securityDescriptorLength, lastWriteTime);
  Log("RegQueryInfoKeyA",
      {Key(key), Pointer(keyClass), OutDword(classLength), Pointer(reserved), OutDword(subKeys),
       OutDword(maxSubKeyLength), OutDword(maxClassLength), OutDword(values),
       OutDword(maxValueNameLength), OutDword(maxValueLength), OutDword(securityDescriptorLength),
       Pointer(lastWriteTime)},
      Status(status));
  return status;
}

LONG LoggingPlatformOps::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength,
                                       DWORD* reserved, char* keyClass, DWORD* classLength,
                                       FILETIME* lastWriteTime) {
  const LONG status = system_.RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass,
                                            classLength, lastWriteTime);
  const bool ok = status == ERROR_SUCCESS && nameLength != nullptr;
  Log("RegEnumKeyExA",
      {Key(key), Dec(index), OutText(name, ok ? *nameLength : 0, ok), OutDword(nameLength),
       Pointer(reserved), Pointer(keyClass), OutDword(classLength), Pointer(lastWriteTime)},
      Status(status));
  return status;
}

LONG LoggingPlatformOps::RegDeleteKeyA(HKEY key, const char* subKey) {
  const LONG status = system_.RegDeleteKeyA(key, subKey);
  Log("RegDeleteKeyA", {Key(key), Quoted(subKey)}, Status(status));
  return status;
}

LONG LoggingPlatformOps::RegCloseKey(HKEY key) {
  const LONG status = system_.RegCloseKey(key);
  Log("RegCloseKey", {Key(key)}, Status(status));
  if (status == ERROR_SUCCESS) names_.erase(reinterpret_cast<uintptr_t>(key));
  return status;
}

// ---- advapi32: security -------------------------------------------------------------------------

BOOL LoggingPlatformOps::AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority,
                                                  BYTE subAuthorityCount, DWORD sub0, DWORD sub1,
                                                  DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                                  DWORD sub6, DWORD sub7, PSID* sid) {
  const BOOL result = system_.AllocateAndInitializeSid(authority, subAuthorityCount, sub0, sub1,
                                                       sub2, sub3, sub4, sub5, sub6, sub7, sid);
  std::string authorityText = "NULL";
  if (authority != nullptr) {
    uint64_t value = 0;
    for (BYTE byte : authority->Value) value = value << 8 | byte;
    authorityText = Hex(value);
  }
  Log("AllocateAndInitializeSid",
      {authorityText, Dec(subAuthorityCount), Hex(sub0), Hex(sub1), Hex(sub2), Hex(sub3),
       Hex(sub4), Hex(sub5), Hex(sub6), Hex(sub7),
       sid && result ? "->" + Pointer(*sid) : Pointer(sid)},
      Bool(result), !result);
  return result;
}

PVOID LoggingPlatformOps::FreeSid(PSID sid) {
  const PVOID result = system_.FreeSid(sid);
  Log("FreeSid", {Pointer(sid)}, Pointer(result));
  return result;
}

DWORD LoggingPlatformOps::GetLengthSid(PSID sid) {
  const DWORD result = system_.GetLengthSid(sid);
  Log("GetLengthSid", {Pointer(sid)}, Dec(result));
  return result;
}

BOOL LoggingPlatformOps::InitializeAcl(ACL* acl, DWORD length, DWORD revision) {
  const BOOL result = system_.InitializeAcl(acl, length, revision);
  Log("InitializeAcl", {Pointer(acl), Dec(length), Dec(revision)}, Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask,
                                             PSID sid) {
  const BOOL result = system_.AddAccessAllowedAce(acl, revision, accessMask, sid);
  Log("AddAccessAllowedAce", {Pointer(acl), Dec(revision), Hex(accessMask), Pointer(sid)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::GetAce(ACL* acl, DWORD index, LPVOID* ace) {
  const BOOL result = system_.GetAce(acl, index, ace);
  Log("GetAce", {Pointer(acl), Dec(index), ace && result ? "->" + Pointer(*ace) : Pointer(ace)},
      Bool(result), !result);
  return result;
}

DWORD LoggingPlatformOps::GetNamedSecurityInfoA(FARPROC proc, const char* objectName,
                                                SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                                PSID* owner, PSID* group, ACL** dacl, ACL** sacl,
                                                PSECURITY_DESCRIPTOR* descriptor) {
  const DWORD status = system_.GetNamedSecurityInfoA(proc, objectName, type, info, owner, group,
                                                     dacl, sacl, descriptor);
  const bool ok = status == ERROR_SUCCESS;
  const auto out = [ok](const void* const* pointer) {
    return pointer && ok ? "->" + Pointer(*pointer) : Pointer(pointer);
  };
  Log("GetNamedSecurityInfoA",
      {Proc(proc), Quoted(objectName), Dec(type), Hex(info), out(owner), out(group),
       dacl && ok ? "->" + Acl(*dacl) : Pointer(dacl), sacl && ok ? "->" + Acl(*sacl) : Pointer(sacl),
       out(descriptor)},
      Status(static_cast<LONG>(status)));
  return status;
}

DWORD LoggingPlatformOps::SetNamedSecurityInfoA(FARPROC proc, const char* objectName,
                                                SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                                PSID owner, PSID group, ACL* dacl, ACL* sacl) {
  const DWORD status =
      system_.SetNamedSecurityInfoA(proc, objectName, type, info, owner, group, dacl, sacl);
  Log("SetNamedSecurityInfoA",
      {Proc(proc), Quoted(objectName), Dec(type), Hex(info), Pointer(owner), Pointer(group),
       Acl(dacl), Acl(sacl)},
      Status(static_cast<LONG>(status)));
  return status;
}

// ---- setupapi ---------------------------------------------------------------------------------------

HDEVINFO LoggingPlatformOps::SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                                  HWND parent, DWORD flags) {
  const HDEVINFO result = system_.SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
  Log("SetupDiGetClassDevsA", {Guid(classGuid), Quoted(enumerator), Handle(parent), Hex(flags)},
      Handle(result), result == INVALID_HANDLE_VALUE);
  return result;
}

BOOL LoggingPlatformOps::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index,
                                               SP_DEVINFO_DATA* device) {
  const BOOL result = system_.SetupDiEnumDeviceInfo(set, index, device);
  Log("SetupDiEnumDeviceInfo",
      {Handle(set), Dec(index), device && result ? "->" + Device(device) : Pointer(device)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device,
                                                           DWORD property, DWORD* valueType,
                                                           BYTE* buffer, DWORD size,
                                                           DWORD* requiredSize) {
  const BOOL result = system_.SetupDiGetDeviceRegistryPropertyA(set, device, property, valueType,
                                                                buffer, size, requiredSize);
  std::string data = Pointer(buffer);
  if (result && buffer != nullptr && requiredSize != nullptr) {
    data = "->" + QuotedBytes(buffer, std::min(*requiredSize, size));
  }
  Log("SetupDiGetDeviceRegistryPropertyA",
      {Handle(set), Device(device), Hex(property),
       valueType && result ? "->" + RegType(*valueType) : Pointer(valueType), data, Dec(size),
       OutDword(requiredSize)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  const BOOL result = system_.SetupDiDestroyDeviceInfoList(set);
  Log("SetupDiDestroyDeviceInfoList", {Handle(set)}, Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::SetupDiGetINFClassA(const char* infName, GUID* classGuid, char* className,
                                             DWORD classNameSize, DWORD* requiredSize) {
  const BOOL result =
      system_.SetupDiGetINFClassA(infName, classGuid, className, classNameSize, requiredSize);
  Log("SetupDiGetINFClassA",
      {Quoted(infName), classGuid && result ? "->" + Guid(classGuid) : Pointer(classGuid),
       OutText(className, className ? BoundedLength(className, classNameSize) : 0, result),
       Dec(classNameSize), OutDword(requiredSize)},
      Bool(result), !result);
  return result;
}

HDEVINFO LoggingPlatformOps::SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) {
  const HDEVINFO result = system_.SetupDiCreateDeviceInfoList(classGuid, parent);
  Log("SetupDiCreateDeviceInfoList", {Guid(classGuid), Handle(parent)}, Handle(result),
      result == INVALID_HANDLE_VALUE);
  return result;
}

BOOL LoggingPlatformOps::SetupDiCreateDeviceInfoA(HDEVINFO set, const char* deviceName,
                                                  const GUID* classGuid, const char* description,
                                                  HWND parent, DWORD flags,
                                                  SP_DEVINFO_DATA* device) {
  const BOOL result = system_.SetupDiCreateDeviceInfoA(set, deviceName, classGuid, description,
                                                       parent, flags, device);
  Log("SetupDiCreateDeviceInfoA",
      {Handle(set), Quoted(deviceName), Guid(classGuid), Quoted(description), Handle(parent),
       Hex(flags), device && result ? "->" + Device(device) : Pointer(device)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device,
                                                           DWORD property, const BYTE* buffer,
                                                           DWORD size) {
  const BOOL result = system_.SetupDiSetDeviceRegistryPropertyA(set, device, property, buffer, size);
  Log("SetupDiSetDeviceRegistryPropertyA",
      {Handle(set), Device(device), Hex(property), QuotedBytes(buffer, size), Dec(size)},
      Bool(result), !result);
  return result;
}

BOOL LoggingPlatformOps::SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                                   SP_DEVINFO_DATA* device) {
  const BOOL result = system_.SetupDiCallClassInstaller(function, set, device);
  Log("SetupDiCallClassInstaller", {Hex(function), Handle(set), Device(device)}, Bool(result),
      !result);
  return result;
}

// ---- NewDev.dll -------------------------------------------------------------------------------------

BOOL LoggingPlatformOps::UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent,
                                                            const char* hardwareId,
                                                            const char* infPath, DWORD flags,
                                                            BOOL* rebootRequired) {
  const BOOL result = system_.UpdateDriverForPlugAndPlayDevicesA(proc, parent, hardwareId, infPath,
                                                                 flags, rebootRequired);
  Log("UpdateDriverForPlugAndPlayDevicesA",
      {Proc(proc), Handle(parent), Quoted(hardwareId), Quoted(infPath), Hex(flags),
       rebootRequired && result ? "->" + Bool(*rebootRequired) : Pointer(rebootRequired)},
      Bool(result), !result);
  return result;
}

}  // namespace korvanta
