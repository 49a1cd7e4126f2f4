// LoggingPlatformOps: any platform with the action log in front. Every
// operation is forwarded unchanged to the platform below and then written to
// the log with its arguments, its output parameters and its result, and with
// the thread's last-error code when it failed. Nothing else differs: results,
// output parameters and the last-error code reach the caller exactly as the
// platform below left them.
//
// Each argument is written by its kind (LogKind), and its type says the kind
// wherever it can: text, key, handle, library or function, GUID, device. A
// number is decimal unless it is marked as flags or a truth value, since
// Windows' integer types do not tell them apart. An output parameter is marked
// Out once, where the call is forwarded, and read after the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <type_traits>

#include "platform/platform_ops.h"

namespace korvanta {

// Where the decorator's lines go: the run's action log, which numbers them and
// goes quiet once its file fails.
class OperationLog {
 public:
  virtual bool Active() const = 0;
  virtual void Operation(const std::string& text) = 0;

 protected:
  ~OperationLog() = default;
};

enum class LogKind : uint8_t {
  Number, Flags, Truth, Status, Attributes, Ordinal, Literal, Text, Bytes, FixedText, Filled,
  Entries, RegValue, RegType, Disposition, Pointer, Key, Named, Guid, Acl, Authority, Device,
  Version, FoundFile, Process,
};

// One argument or result as the log writes it. An output is read through its
// pointer after the call: kOut when the call succeeded, kRead always.
struct LogArg {
  enum class Use : uint8_t { kIn, kOut, kRead, kUnread };

  LogArg(LogKind kind, const void* pointer, uint64_t number = 0, uint32_t extra = 0,
         Use use = Use::kIn)
      : kind(kind), use(use), pointer(pointer), number(number), extra(extra) {}
  LogArg(const char* text) : LogArg(LogKind::Text, text) {}
  LogArg(const void* pointer)
      : LogArg(LogKind::Pointer, pointer, reinterpret_cast<uintptr_t>(pointer)) {}
  LogArg(HKEY key) : LogArg(LogKind::Key, key, reinterpret_cast<uintptr_t>(key)) {}
  LogArg(HMODULE module) : LogArg(LogKind::Named, module, reinterpret_cast<uintptr_t>(module)) {}
  LogArg(FARPROC proc) : LogArg(reinterpret_cast<HMODULE>(proc)) {}
  LogArg(const GUID* guid) : LogArg(LogKind::Guid, guid) {}
  LogArg(const SID_IDENTIFIER_AUTHORITY* authority) : LogArg(LogKind::Authority, authority) {}
  LogArg(const SP_DEVINFO_DATA* device) : LogArg(LogKind::Device, device) {}
  template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
  LogArg(T value) : LogArg(LogKind::Number, nullptr, static_cast<std::make_unsigned_t<T>>(value)) {}

  LogKind kind;
  Use use;
  const void* pointer;
  uint64_t number;  // a value, a length, or a buffer's size
  uint32_t extra;   // a registry value's type
};

// An argument whose type does not say its kind: forwarded as it is, written
// as marked.
template <typename T>
struct Marked : LogArg {
  Marked(T value, const LogArg& arg) : LogArg(arg), value(value) {}
  T value;
};
template <typename T> T Forwarded(T value) { return value; }
template <typename T> T Forwarded(const Marked<T>& arg) { return arg.value; }

template <typename T> Marked<T> Flags(T bits) { return {bits, {LogKind::Flags, nullptr, bits}}; }
inline Marked<BOOL> Truth(BOOL value) {
  return {value, {LogKind::Truth, nullptr, static_cast<uint32_t>(value)}};
}
// A buffer the call does not read as text, shown by its address.
inline Marked<char*> Address(char* buffer) { return {buffer, {LogKind::Pointer, buffer}}; }
inline Marked<ACL*> Address(ACL* acl) { return {acl, {LogKind::Pointer, acl}}; }
inline Marked<HMODULE> Address(HMODULE module) { return {module, {LogKind::Pointer, module}}; }
inline Marked<ACL*> Acl(ACL* acl) { return {acl, {LogKind::Acl, acl}}; }
// Zero-terminated strings up to an empty one.
inline Marked<const char*> Entries(const char* entries) {
  return {entries, {LogKind::Entries, entries}};
}
inline Marked<const BYTE*> Bytes(const BYTE* data, DWORD size) {
  return {data, {LogKind::Bytes, data, size}};
}
inline Marked<const BYTE*> RegValue(DWORD type, const BYTE* data, DWORD size) {
  return {data, {LogKind::RegValue, data, size, type}};
}
template <typename T>
Marked<T*> Out(T* location, LogKind kind, LogArg::Use use = LogArg::Use::kOut) {
  return {location, {kind, location, 0, 0, use}};
}
inline auto Out(HKEY* key) { return Out(key, LogKind::Key); }
inline auto Out(void** pointer) { return Out(pointer, LogKind::Pointer); }
inline auto Out(ACL** acl) { return Out(acl, LogKind::Acl); }
inline auto Out(BOOL* value) { return Out(value, LogKind::Truth); }
inline auto Out(GUID* guid) { return Out(guid, LogKind::Guid); }
inline auto Out(SP_DEVINFO_DATA* device) { return Out(device, LogKind::Device); }
inline auto Out(OSVERSIONINFOA* info) { return Out(info, LogKind::Version); }
inline auto Out(WIN32_FIND_DATAA* data) { return Out(data, LogKind::FoundFile); }
inline auto Out(PROCESSENTRY32* entry) { return Out(entry, LogKind::Process); }
// Text in a fixed buffer that need not be terminated.
inline auto OutFixedText(char* buffer, DWORD size) {
  return Marked<char*>(buffer, {LogKind::FixedText, buffer, size, 0, LogArg::Use::kOut});
}
// The text a Get...A function put into its buffer: its result is the length
// without the terminator, or the size it needs when `room` is too small.
inline auto OutFilled(char* buffer, DWORD room) {
  return Marked<char*>(buffer, {LogKind::Filled, buffer, room, 0, LogArg::Use::kOut});
}
// A text or value whose length the call reported.
inline LogArg OutBytes(const void* data, size_t length, bool written, LogKind kind = LogKind::Bytes,
                       DWORD type = REG_NONE) {
  return {kind, data, length, type, written ? LogArg::Use::kRead : LogArg::Use::kUnread};
}
// A size the caller sets before the call, so that it can be read whatever the
// call did.
inline auto Size(DWORD* size) { return Out(size, LogKind::Number, LogArg::Use::kRead); }

class LoggingPlatformOps final : public PlatformOps {
  // How a result is written, and which result is a failure: a failure shows
  // the last-error code, except where the result is the error code itself.
  enum Returns : uint8_t {
    FalseFails, ZeroFails, InvalidFails, NotNullFails, StatusResult, AttributesResult,
    TruthResult, FlagsResult, PlainResult,
  };

 public:
  LoggingPlatformOps(PlatformOps& system, OperationLog& log) : system_(system), log_(log) {}

  // kernel32: process, version, directories. The directories' buffer size
  // counts the terminator, their result does not.
  const char* GetCommandLineA() override {
    return Call(PlainResult, "GetCommandLineA", &PlatformOps::GetCommandLineA);
  }
  DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) override {
    return Call(ZeroFails, "GetModuleFileNameA", &PlatformOps::GetModuleFileNameA, module,
                OutFilled(buffer, size), size);
  }
  BOOL GetVersionExA(OSVERSIONINFOA* info) override {
    return Call("GetVersionExA", &PlatformOps::GetVersionExA, Out(info));
  }
  UINT GetSystemDirectoryA(char* buffer, UINT size) override {
    return Call(ZeroFails, "GetSystemDirectoryA", &PlatformOps::GetSystemDirectoryA,
                OutFilled(buffer, size - (size > 0)), size);
  }
  UINT GetWindowsDirectoryA(char* buffer, UINT size) override {
    return Call(ZeroFails, "GetWindowsDirectoryA", &PlatformOps::GetWindowsDirectoryA,
                OutFilled(buffer, size - (size > 0)), size);
  }

  // kernel32: files and drives
  BOOL CopyFileA(const char* existing, const char* target, BOOL failIfExists) override {
    return Call("CopyFileA", &PlatformOps::CopyFileA, existing, target, Truth(failIfExists));
  }
  BOOL DeleteFileA(const char* path) override {
    return Call("DeleteFileA", &PlatformOps::DeleteFileA, path);
  }
  DWORD GetFileAttributesA(const char* path) override {
    return Call(AttributesResult, "GetFileAttributesA", &PlatformOps::GetFileAttributesA, path);
  }
  BOOL SetFileAttributesA(const char* path, DWORD attributes) override {
    return Call("SetFileAttributesA", &PlatformOps::SetFileAttributesA, path, Flags(attributes));
  }
  HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) override {
    return Call(InvalidFails, "FindFirstFileA", &PlatformOps::FindFirstFileA, pattern, Out(data));
  }
  BOOL FindClose(HANDLE find) override { return Call("FindClose", &PlatformOps::FindClose, find); }
  BOOL MoveFileExA(const char* existing, const char* target, DWORD flags) override {
    return Call("MoveFileExA", &PlatformOps::MoveFileExA, existing, target, Flags(flags));
  }
  UINT GetDriveTypeA(const char* root) override {
    return Call(PlainResult, "GetDriveTypeA", &PlatformOps::GetDriveTypeA, root);
  }
  UINT SetErrorMode(UINT mode) override {
    return Call(FlagsResult, "SetErrorMode", &PlatformOps::SetErrorMode, Flags(mode));
  }
  BOOL IsDBCSLeadByte(BYTE byte) override {
    return Call(TruthResult, "IsDBCSLeadByte", &PlatformOps::IsDBCSLeadByte, Flags(byte));
  }

  // kernel32: profile files
  DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                  const char* file) override {
    const DWORD result = system_.GetPrivateProfileSectionA(section, buffer, size, file);
    Write(PlainResult, "GetPrivateProfileSectionA", result,
          {section, OutBytes(buffer, result < size ? result : size, true), size, file});
    return result;
  }
  BOOL WritePrivateProfileSectionA(const char* section, const char* entries,
                                   const char* file) override {
    return Call("WritePrivateProfileSectionA", &PlatformOps::WritePrivateProfileSectionA, section,
                Entries(entries), file);
  }
  BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                  const char* file) override {
    return Call("WritePrivateProfileStringA", &PlatformOps::WritePrivateProfileStringA, section,
                key, value, file);
  }

  // kernel32: libraries. A library and a function found in it are shown with
  // the name they were found by.
  HMODULE LoadLibraryA(const char* name) override;
  FARPROC GetProcAddress(HMODULE module, const char* name) override;
  BOOL FreeLibrary(HMODULE module) override {
    return Call("FreeLibrary", &PlatformOps::FreeLibrary, module);
  }

  // kernel32: processes, memory, errors. HeapAlloc and HeapFree do not set
  // the last-error code, so none is shown.
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override {
    return Call(ZeroFails, "OpenProcess", &PlatformOps::OpenProcess, Flags(access), Truth(inherit),
                processId);
  }
  BOOL CloseHandle(HANDLE handle) override {
    return Call("CloseHandle", &PlatformOps::CloseHandle, handle);
  }
  HANDLE GetProcessHeap() override {
    return Call(ZeroFails, "GetProcessHeap", &PlatformOps::GetProcessHeap);
  }
  LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) override {
    return Call(PlainResult, "HeapAlloc", &PlatformOps::HeapAlloc, heap, Flags(flags), bytes);
  }
  BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) override {
    return Call(TruthResult, "HeapFree", &PlatformOps::HeapFree, heap, Flags(flags), block);
  }
  HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override {
    return Call(ZeroFails, "LocalAlloc", &PlatformOps::LocalAlloc, Flags(flags), bytes);
  }
  HLOCAL LocalFree(HLOCAL block) override {
    return Call(NotNullFails, "LocalFree", &PlatformOps::LocalFree, block);
  }
  DWORD GetLastError() override {
    return Call(FlagsResult, "GetLastError", &PlatformOps::GetLastError);
  }
  void SetLastError(DWORD code) override {
    system_.SetLastError(code);
    Write(PlainResult, "SetLastError", {LogKind::Literal, "(none)"}, {Flags(code)});
  }
  void ExitProcess(UINT exitCode) override {
    // Logged first: the call does not return.
    Write(PlainResult, "ExitProcess", {LogKind::Literal, "(no return)"}, {exitCode});
    system_.ExitProcess(exitCode);
  }

  // kernel32, looked up at run time: Toolhelp process list
  HANDLE CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) override {
    return Call(InvalidFails, "CreateToolhelp32Snapshot", &PlatformOps::CreateToolhelp32Snapshot,
                proc, Flags(flags), processId);
  }
  BOOL Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) override {
    return Call("Process32First", &PlatformOps::Process32First, proc, snapshot, Out(entry));
  }
  BOOL Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) override {
    return Call("Process32Next", &PlatformOps::Process32Next, proc, snapshot, Out(entry));
  }

  // PSAPI.DLL, loaded at run time. A module of another process is not named
  // by this one's libraries.
  BOOL EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes, DWORD* bytesReturned) override {
    return Call("EnumProcesses", &PlatformOps::EnumProcesses, proc, ids, bytes,
                Size(bytesReturned));
  }
  BOOL EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules, DWORD bytes,
                          DWORD* bytesNeeded) override {
    return Call("EnumProcessModules", &PlatformOps::EnumProcessModules, proc, process, modules,
                bytes, Size(bytesNeeded));
  }
  DWORD GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module, char* buffer,
                             DWORD size) override {
    return Call(ZeroFails, "GetModuleFileNameExA", &PlatformOps::GetModuleFileNameExA, proc,
                process, Address(module), OutFilled(buffer, size), size);
  }

  // user32
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) override {
    return Call(ZeroFails, "MessageBoxA", &PlatformOps::MessageBoxA, owner, text, caption,
                Flags(type));
  }

  // advapi32: registry. A key is shown with the full name it was opened by.
  LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                       REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                       DWORD* disposition) override;
  LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD size) override {
    return Call(StatusResult, "RegSetValueExA", &PlatformOps::RegSetValueExA, key, valueName,
                reserved, Marked<DWORD>(type, {LogKind::RegType, nullptr, type}),
                RegValue(type, data, size), size);
  }
  LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                     HKEY* result) override;
  LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* size) override {
    const LONG status = system_.RegQueryValueExA(key, valueName, reserved, type, data, size);
    const bool read = status == ERROR_SUCCESS && data != nullptr && size != nullptr;
    Write(StatusResult, "RegQueryValueExA", status,
          {key, valueName, reserved, Out(type, LogKind::RegType),
           OutBytes(data, read ? *size : 0, read, LogKind::RegValue,
                    type && read ? *type : REG_NONE),
           Size(size)});
    return status;
  }
  LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved,
                        DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                        DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                        DWORD* securityDescriptorLength, FILETIME* lastWriteTime) override {
    return Call(StatusResult, "RegQueryInfoKeyA", &PlatformOps::RegQueryInfoKeyA, key,
                Address(keyClass), Size(classLength), reserved, Size(subKeys),
                Size(maxSubKeyLength), Size(maxClassLength), Size(values),
                Size(maxValueNameLength), Size(maxValueLength), Size(securityDescriptorLength),
                lastWriteTime);
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
    return Call(StatusResult, "RegDeleteKeyA", &PlatformOps::RegDeleteKeyA, key, subKey);
  }
  LONG RegCloseKey(HKEY key) override;

  // advapi32: security
  BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) override {
    return Call("AllocateAndInitializeSid", &PlatformOps::AllocateAndInitializeSid, authority,
                subAuthorityCount, Flags(sub0), Flags(sub1), Flags(sub2), Flags(sub3), Flags(sub4),
                Flags(sub5), Flags(sub6), Flags(sub7), Out(sid));
  }
  PVOID FreeSid(PSID sid) override {
    return Call(PlainResult, "FreeSid", &PlatformOps::FreeSid, sid);
  }
  DWORD GetLengthSid(PSID sid) override {
    return Call(PlainResult, "GetLengthSid", &PlatformOps::GetLengthSid, sid);
  }
  BOOL InitializeAcl(ACL* acl, DWORD length, DWORD revision) override {
    return Call("InitializeAcl", &PlatformOps::InitializeAcl, Address(acl), length, revision);
  }
  BOOL AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, PSID sid) override {
    return Call("AddAccessAllowedAce", &PlatformOps::AddAccessAllowedAce, Address(acl), revision,
                Flags(accessMask), sid);
  }
  BOOL GetAce(ACL* acl, DWORD index, LPVOID* ace) override {
    return Call("GetAce", &PlatformOps::GetAce, Address(acl), index, Out(ace));
  }
  DWORD GetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID* owner, PSID* group, ACL** dacl,
                              ACL** sacl, PSECURITY_DESCRIPTOR* descriptor) override {
    return Call(StatusResult, "GetNamedSecurityInfoA", &PlatformOps::GetNamedSecurityInfoA, proc,
                objectName, type, Flags(info), Out(owner), Out(group), Out(dacl), Out(sacl),
                Out(descriptor));
  }
  DWORD SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID owner, PSID group, ACL* dacl,
                              ACL* sacl) override {
    return Call(StatusResult, "SetNamedSecurityInfoA", &PlatformOps::SetNamedSecurityInfoA, proc,
                objectName, type, Flags(info), owner, group, Acl(dacl), Acl(sacl));
  }

  // setupapi
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                DWORD flags) override {
    return Call(InvalidFails, "SetupDiGetClassDevsA", &PlatformOps::SetupDiGetClassDevsA,
                classGuid, enumerator, parent, Flags(flags));
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) override {
    return Call("SetupDiEnumDeviceInfo", &PlatformOps::SetupDiEnumDeviceInfo, set, index,
                Out(device));
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property,
                                         DWORD* valueType, BYTE* buffer, DWORD size,
                                         DWORD* requiredSize) override {
    const BOOL result = system_.SetupDiGetDeviceRegistryPropertyA(set, device, property, valueType,
                                                                  buffer, size, requiredSize);
    const bool read = result && buffer != nullptr && requiredSize != nullptr;
    Write(FalseFails, "SetupDiGetDeviceRegistryPropertyA", result,
          {set, device, Flags(property), Out(valueType, LogKind::RegType),
           OutBytes(buffer, read && *requiredSize < size ? *requiredSize : size, read), size,
           Size(requiredSize)});
    return result;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    return Call("SetupDiDestroyDeviceInfoList", &PlatformOps::SetupDiDestroyDeviceInfoList, set);
  }
  BOOL SetupDiGetINFClassA(const char* infName, GUID* classGuid, char* className,
                           DWORD classNameSize, DWORD* requiredSize) override {
    return Call("SetupDiGetINFClassA", &PlatformOps::SetupDiGetINFClassA, infName, Out(classGuid),
                OutFixedText(className, classNameSize), classNameSize, Size(requiredSize));
  }
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) override {
    return Call(InvalidFails, "SetupDiCreateDeviceInfoList",
                &PlatformOps::SetupDiCreateDeviceInfoList, classGuid, parent);
  }
  BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char* deviceName, const GUID* classGuid,
                                const char* description, HWND parent, DWORD flags,
                                SP_DEVINFO_DATA* device) override {
    return Call("SetupDiCreateDeviceInfoA", &PlatformOps::SetupDiCreateDeviceInfoA, set,
                deviceName, classGuid, description, parent, Flags(flags), Out(device));
  }
  BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property,
                                         const BYTE* buffer, DWORD size) override {
    return Call("SetupDiSetDeviceRegistryPropertyA",
                &PlatformOps::SetupDiSetDeviceRegistryPropertyA, set, device, Flags(property),
                Bytes(buffer, size), size);
  }
  BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                 SP_DEVINFO_DATA* device) override {
    return Call("SetupDiCallClassInstaller", &PlatformOps::SetupDiCallClassInstaller,
                Flags(function), set, device);
  }

  // NewDev.dll, loaded at run time
  BOOL UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent, const char* hardwareId,
                                          const char* infPath, DWORD flags,
                                          BOOL* rebootRequired) override {
    return Call("UpdateDriverForPlugAndPlayDevicesA",
                &PlatformOps::UpdateDriverForPlugAndPlayDevicesA, proc, parent, hardwareId,
                infPath, Flags(flags), Out(rebootRequired));
  }

 private:
  // Forwards the call and writes it; returns its result unchanged.
  template <typename Result, typename... Params, typename... Args>
  Result Call(Returns returns, const char* name, Result (PlatformOps::*operation)(Params...),
              const Args&... args) {
    const Result result = (system_.*operation)(Forwarded(args)...);
    Write(returns, name, result, {LogArg(args)...});
    return result;
  }
  template <typename Result, typename... Params, typename... Args>
  Result Call(const char* name, Result (PlatformOps::*operation)(Params...), const Args&... args) {
    return Call(FalseFails, name, operation, args...);
  }
  // "<name>(<args>) = <result>", and ", error <code>" when the call failed.
  void Write(Returns returns, const char* name, LogArg result, std::initializer_list<LogArg> args);
  std::string Text(const LogArg& arg, const LogArg& result, bool succeeded) const;
  std::string Named(const void* handle) const;
  // Keys are named by their full path.
  void RememberKey(LONG status, HKEY key, const char* subKey, const HKEY* opened);
  void Remember(const void* handle, const std::string& name);

  PlatformOps& system_;
  OperationLog& log_;
  std::map<uintptr_t, std::string> names_;
};

// The formatting the run's own lines share with the operations'.
namespace logtext {
std::string Quoted(const char* text);                    // NULL, or the quoted string
std::string QuotedBytes(const void* data, size_t size);  // the bytes quoted, zeros included
std::string Dec(uint64_t value);
// The length of a string in a fixed buffer that need not be terminated.
size_t BoundedLength(const char* text, size_t size);
}  // namespace logtext

}  // namespace korvanta
