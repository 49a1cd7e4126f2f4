#include "platform/win32/win32_platform_ops.h"

namespace korvanta {
namespace {

// The looked-up functions, as documented. They are not imported (PSAPI.DLL,
// NewDev.dll and setupapi.dll are not even linked), so their types are spelled out here rather
// than taken from headers that would pull in import declarations.
using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD flags, DWORD processId);
using Process32Fn = BOOL(WINAPI*)(HANDLE snapshot, PROCESSENTRY32* entry);
using EnumProcessesFn = BOOL(WINAPI*)(DWORD* ids, DWORD bytes, DWORD* bytesReturned);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE process, HMODULE* modules, DWORD bytes,
                                           DWORD* bytesNeeded);
using GetModuleFileNameExAFn = DWORD(WINAPI*)(HANDLE process, HMODULE module, char* buffer,
                                              DWORD size);
using GetNamedSecurityInfoAFn = DWORD(WINAPI*)(const char* objectName, SE_OBJECT_TYPE type,
                                               SECURITY_INFORMATION info, PSID* owner,
                                               PSID* group, ACL** dacl, ACL** sacl,
                                               PSECURITY_DESCRIPTOR* descriptor);
using SetNamedSecurityInfoAFn = DWORD(WINAPI*)(const char* objectName, SE_OBJECT_TYPE type,
                                               SECURITY_INFORMATION info, PSID owner, PSID group,
                                               ACL* dacl, ACL* sacl);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE process, BOOL* wow64);
using GetFileInformationByHandleFn = BOOL(WINAPI*)(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
// HWINSTA is a handle like any other.
using GetProcessWindowStationFn = HANDLE(WINAPI*)();
using GetUserObjectInformationAFn = BOOL(WINAPI*)(HANDLE object, int index, LPVOID info,
                                                  DWORD length, DWORD* lengthNeeded);
using CheckTokenMembershipFn = BOOL(WINAPI*)(HANDLE token, PSID sid, BOOL* isMember);
using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE process, DWORD access, HANDLE* token);
using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                            LPVOID info, DWORD length, DWORD* returnLength);
using SetupDiGetClassDevsAFn = HDEVINFO(WINAPI*)(const GUID* classGuid, const char* enumerator,
                                                HWND parent, DWORD flags);
using SetupDiEnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device);
using SetupDiGetDeviceRegistryPropertyAFn = BOOL(WINAPI*)(HDEVINFO set, SP_DEVINFO_DATA* device,
                                                          DWORD property, DWORD* valueType,
                                                          BYTE* buffer, DWORD size,
                                                          DWORD* requiredSize);
using SetupDiDestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO set);
using SetupDiGetINFClassAFn = BOOL(WINAPI*)(const char* infName, GUID* classGuid, char* className,
                                            DWORD classNameSize, DWORD* requiredSize);
using SetupDiCreateDeviceInfoListFn = HDEVINFO(WINAPI*)(const GUID* classGuid, HWND parent);
using SetupDiCreateDeviceInfoAFn = BOOL(WINAPI*)(HDEVINFO set, const char* deviceName,
                                                 const GUID* classGuid, const char* description,
                                                 HWND parent, DWORD flags,
                                                 SP_DEVINFO_DATA* device);
using SetupDiSetDeviceRegistryPropertyAFn = BOOL(WINAPI*)(HDEVINFO set, SP_DEVINFO_DATA* device,
                                                          DWORD property, const BYTE* buffer,
                                                          DWORD size);
using SetupDiCallClassInstallerFn = BOOL(WINAPI*)(DI_FUNCTION function, HDEVINFO set,
                                                  SP_DEVINFO_DATA* device);
using UpdateDriverForPlugAndPlayDevicesAFn = BOOL(WINAPI*)(HWND parent, const char* hardwareId,
                                                           const char* infPath, DWORD flags,
                                                           BOOL* rebootRequired);

// Calls a looked-up function through its real type. The stdcall convention in
// the type matters: the callee pops its own arguments, and a cdecl call would
// leave the stack off by their size. The detour through void(*)() is the one
// function-pointer cast compilers accept without a warning.
template <typename Fn, typename Result, typename... Args>
Result CallLookedUp(FARPROC proc, Result failure, Args... args) {
  if (proc == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return failure;
  }
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc))(args...);
}

HDEVINFO NoDeviceInfoSet() { return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE); }

}  // namespace

const char* Win32PlatformOps::GetCommandLineA() { return ::GetCommandLineA(); }

DWORD Win32PlatformOps::GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
  return ::GetModuleFileNameA(module, buffer, size);
}

BOOL Win32PlatformOps::GetVersionExA(OSVERSIONINFOA* info) { return ::GetVersionExA(info); }

UINT Win32PlatformOps::GetSystemDirectoryA(char* buffer, UINT size) {
  return ::GetSystemDirectoryA(buffer, size);
}

UINT Win32PlatformOps::GetWindowsDirectoryA(char* buffer, UINT size) {
  return ::GetWindowsDirectoryA(buffer, size);
}

HANDLE Win32PlatformOps::CreateFileA(const char* name, DWORD access, DWORD share,
                                     SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                                     HANDLE templateFile) {
  return ::CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

BOOL Win32PlatformOps::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read,
                                OVERLAPPED* overlapped) {
  return ::ReadFile(file, buffer, toRead, read, overlapped);
}

BOOL Win32PlatformOps::WriteFile(HANDLE file, const BYTE* buffer, DWORD toWrite, DWORD* written,
                                 OVERLAPPED* overlapped) {
  return ::WriteFile(file, buffer, toWrite, written, overlapped);
}

BOOL Win32PlatformOps::CopyFileA(const char* existing, const char* target, BOOL failIfExists) {
  return ::CopyFileA(existing, target, failIfExists);
}

BOOL Win32PlatformOps::DeleteFileA(const char* path) { return ::DeleteFileA(path); }

DWORD Win32PlatformOps::GetFileAttributesA(const char* path) {
  return ::GetFileAttributesA(path);
}

BOOL Win32PlatformOps::SetFileAttributesA(const char* path, DWORD attributes) {
  return ::SetFileAttributesA(path, attributes);
}

HANDLE Win32PlatformOps::FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
  return ::FindFirstFileA(pattern, data);
}

BOOL Win32PlatformOps::FindClose(HANDLE find) { return ::FindClose(find); }

BOOL Win32PlatformOps::MoveFileExA(const char* existing, const char* target, DWORD flags) {
  return ::MoveFileExA(existing, target, flags);
}

DWORD Win32PlatformOps::GetShortPathNameA(const char* longPath, char* buffer, DWORD size) {
  return ::GetShortPathNameA(longPath, buffer, size);
}

UINT Win32PlatformOps::GetDriveTypeA(const char* root) { return ::GetDriveTypeA(root); }

UINT Win32PlatformOps::SetErrorMode(UINT mode) { return ::SetErrorMode(mode); }

BOOL Win32PlatformOps::IsDBCSLeadByte(BYTE byte) { return ::IsDBCSLeadByte(byte); }

DWORD Win32PlatformOps::GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                                  const char* file) {
  return ::GetPrivateProfileSectionA(section, buffer, size, file);
}

BOOL Win32PlatformOps::WritePrivateProfileSectionA(const char* section, const char* entries,
                                                   const char* file) {
  return ::WritePrivateProfileSectionA(section, entries, file);
}

BOOL Win32PlatformOps::WritePrivateProfileStringA(const char* section, const char* key,
                                                  const char* value, const char* file) {
  return ::WritePrivateProfileStringA(section, key, value, file);
}

HMODULE Win32PlatformOps::LoadLibraryExA(const char* name, HANDLE file, DWORD flags) {
  return ::LoadLibraryExA(name, file, flags);
}

FARPROC Win32PlatformOps::GetProcAddress(HMODULE module, const char* name) {
  return ::GetProcAddress(module, name);
}

BOOL Win32PlatformOps::FreeLibrary(HMODULE module) { return ::FreeLibrary(module); }

HANDLE Win32PlatformOps::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  return ::OpenProcess(access, inherit, processId);
}

BOOL Win32PlatformOps::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

HANDLE Win32PlatformOps::GetProcessHeap() { return ::GetProcessHeap(); }

LPVOID Win32PlatformOps::HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  return ::HeapAlloc(heap, flags, bytes);
}

BOOL Win32PlatformOps::HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  return ::HeapFree(heap, flags, block);
}

HLOCAL Win32PlatformOps::LocalAlloc(UINT flags, SIZE_T bytes) {
  return ::LocalAlloc(flags, bytes);
}

HLOCAL Win32PlatformOps::LocalFree(HLOCAL block) { return ::LocalFree(block); }

DWORD Win32PlatformOps::GetLastError() { return ::GetLastError(); }

void Win32PlatformOps::SetLastError(DWORD code) { ::SetLastError(code); }

void Win32PlatformOps::ExitProcess(UINT exitCode) { ::ExitProcess(exitCode); }

HANDLE Win32PlatformOps::GetCurrentProcess() { return ::GetCurrentProcess(); }

DWORD Win32PlatformOps::GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  return ::GetEnvironmentVariableA(name, buffer, size);
}

HANDLE Win32PlatformOps::CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) {
  return CallLookedUp<CreateToolhelp32SnapshotFn>(proc, INVALID_HANDLE_VALUE, flags, processId);
}

BOOL Win32PlatformOps::Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) {
  return CallLookedUp<Process32Fn>(proc, BOOL{FALSE}, snapshot, entry);
}

BOOL Win32PlatformOps::Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) {
  return CallLookedUp<Process32Fn>(proc, BOOL{FALSE}, snapshot, entry);
}

BOOL Win32PlatformOps::EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes,
                                     DWORD* bytesReturned) {
  return CallLookedUp<EnumProcessesFn>(proc, BOOL{FALSE}, ids, bytes, bytesReturned);
}

BOOL Win32PlatformOps::EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules,
                                          DWORD bytes, DWORD* bytesNeeded) {
  return CallLookedUp<EnumProcessModulesFn>(proc, BOOL{FALSE}, process, modules, bytes,
                                            bytesNeeded);
}

DWORD Win32PlatformOps::GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module,
                                             char* buffer, DWORD size) {
  return CallLookedUp<GetModuleFileNameExAFn>(proc, DWORD{0}, process, module, buffer, size);
}

int Win32PlatformOps::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  return ::MessageBoxA(owner, text, caption, type);
}

LONG Win32PlatformOps::RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved,
                                       char* keyClass, DWORD options, REGSAM access,
                                       SECURITY_ATTRIBUTES* security, HKEY* result,
                                       DWORD* disposition) {
  return ::RegCreateKeyExA(key, subKey, reserved, keyClass, options, access, security, result,
                           disposition);
}

LONG Win32PlatformOps::RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                                      const BYTE* data, DWORD size) {
  return ::RegSetValueExA(key, valueName, reserved, type, data, size);
}

LONG Win32PlatformOps::RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                                     HKEY* result) {
  return ::RegOpenKeyExA(key, subKey, options, access, result);
}

LONG Win32PlatformOps::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved,
                                        DWORD* type, BYTE* data, DWORD* size) {
  return ::RegQueryValueExA(key, valueName, reserved, type, data, size);
}

LONG Win32PlatformOps::RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength,
                                        DWORD* reserved, DWORD* subKeys, DWORD* maxSubKeyLength,
                                        DWORD* maxClassLength, DWORD* values,
                                        DWORD* maxValueNameLength, DWORD* maxValueLength,
                                        DWORD* securityDescriptorLength,
                                        FILETIME* lastWriteTime) {
  return ::RegQueryInfoKeyA(key, keyClass, classLength, reserved, subKeys, maxSubKeyLength,
                            maxClassLength, values, maxValueNameLength, maxValueLength,
                            securityDescriptorLength, lastWriteTime);
}

LONG Win32PlatformOps::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength,
                                     DWORD* reserved, char* keyClass, DWORD* classLength,
                                     FILETIME* lastWriteTime) {
  return ::RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass, classLength,
                         lastWriteTime);
}

LONG Win32PlatformOps::RegDeleteKeyA(HKEY key, const char* subKey) {
  return ::RegDeleteKeyA(key, subKey);
}

LONG Win32PlatformOps::RegDeleteValueA(HKEY key, const char* valueName) {
  return ::RegDeleteValueA(key, valueName);
}

LONG Win32PlatformOps::RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

BOOL Win32PlatformOps::AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority,
                                                BYTE subAuthorityCount, DWORD sub0, DWORD sub1,
                                                DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                                DWORD sub6, DWORD sub7, PSID* sid) {
  return ::AllocateAndInitializeSid(authority, subAuthorityCount, sub0, sub1, sub2, sub3, sub4,
                                    sub5, sub6, sub7, sid);
}

PVOID Win32PlatformOps::FreeSid(PSID sid) { return ::FreeSid(sid); }

DWORD Win32PlatformOps::GetLengthSid(PSID sid) { return ::GetLengthSid(sid); }

BOOL Win32PlatformOps::InitializeAcl(ACL* acl, DWORD length, DWORD revision) {
  return ::InitializeAcl(acl, length, revision);
}

BOOL Win32PlatformOps::AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask,
                                           PSID sid) {
  return ::AddAccessAllowedAce(acl, revision, accessMask, sid);
}

BOOL Win32PlatformOps::GetAce(ACL* acl, DWORD index, LPVOID* ace) {
  return ::GetAce(acl, index, ace);
}

DWORD Win32PlatformOps::GetNamedSecurityInfoA(FARPROC proc, const char* objectName,
                                              SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                              PSID* owner, PSID* group, ACL** dacl, ACL** sacl,
                                              PSECURITY_DESCRIPTOR* descriptor) {
  return CallLookedUp<GetNamedSecurityInfoAFn>(proc, DWORD{ERROR_PROC_NOT_FOUND}, objectName,
                                               type, info, owner, group, dacl, sacl, descriptor);
}

DWORD Win32PlatformOps::SetNamedSecurityInfoA(FARPROC proc, const char* objectName,
                                              SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                              PSID owner, PSID group, ACL* dacl, ACL* sacl) {
  return CallLookedUp<SetNamedSecurityInfoAFn>(proc, DWORD{ERROR_PROC_NOT_FOUND}, objectName,
                                               type, info, owner, group, dacl, sacl);
}

HANDLE Win32PlatformOps::GetProcessWindowStation(FARPROC proc) {
  return CallLookedUp<GetProcessWindowStationFn>(proc, HANDLE{nullptr});
}

BOOL Win32PlatformOps::GetUserObjectInformationA(FARPROC proc, HANDLE object, int index,
                                                 LPVOID info, DWORD length, DWORD* lengthNeeded) {
  return CallLookedUp<GetUserObjectInformationAFn>(proc, BOOL{FALSE}, object, index, info, length,
                                                   lengthNeeded);
}

BOOL Win32PlatformOps::IsWow64Process(FARPROC proc, HANDLE process, BOOL* wow64) {
  return CallLookedUp<IsWow64ProcessFn>(proc, BOOL{FALSE}, process, wow64);
}

BOOL Win32PlatformOps::GetFileInformationByHandle(FARPROC proc, HANDLE file,
                                                  BY_HANDLE_FILE_INFORMATION* info) {
  return CallLookedUp<GetFileInformationByHandleFn>(proc, BOOL{FALSE}, file, info);
}

BOOL Win32PlatformOps::CheckTokenMembership(FARPROC proc, HANDLE token, PSID sid,
                                            BOOL* isMember) {
  return CallLookedUp<CheckTokenMembershipFn>(proc, BOOL{FALSE}, token, sid, isMember);
}

BOOL Win32PlatformOps::OpenProcessToken(FARPROC proc, HANDLE process, DWORD access,
                                        HANDLE* token) {
  return CallLookedUp<OpenProcessTokenFn>(proc, BOOL{FALSE}, process, access, token);
}

BOOL Win32PlatformOps::GetTokenInformation(FARPROC proc, HANDLE token,
                                           TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                           DWORD length, DWORD* returnLength) {
  return CallLookedUp<GetTokenInformationFn>(proc, BOOL{FALSE}, token, infoClass, info, length,
                                             returnLength);
}

HDEVINFO Win32PlatformOps::SetupDiGetClassDevsA(FARPROC proc, const GUID* classGuid,
                                                const char* enumerator, HWND parent, DWORD flags) {
  return CallLookedUp<SetupDiGetClassDevsAFn>(proc, NoDeviceInfoSet(), classGuid, enumerator,
                                              parent, flags);
}

BOOL Win32PlatformOps::SetupDiEnumDeviceInfo(FARPROC proc, HDEVINFO set, DWORD index,
                                             SP_DEVINFO_DATA* device) {
  return CallLookedUp<SetupDiEnumDeviceInfoFn>(proc, BOOL{FALSE}, set, index, device);
}

BOOL Win32PlatformOps::SetupDiGetDeviceRegistryPropertyA(FARPROC proc, HDEVINFO set,
                                                         SP_DEVINFO_DATA* device, DWORD property,
                                                         DWORD* valueType, BYTE* buffer,
                                                         DWORD size, DWORD* requiredSize) {
  return CallLookedUp<SetupDiGetDeviceRegistryPropertyAFn>(proc, BOOL{FALSE}, set, device,
                                                           property, valueType, buffer, size,
                                                           requiredSize);
}

BOOL Win32PlatformOps::SetupDiDestroyDeviceInfoList(FARPROC proc, HDEVINFO set) {
  return CallLookedUp<SetupDiDestroyDeviceInfoListFn>(proc, BOOL{FALSE}, set);
}

BOOL Win32PlatformOps::SetupDiGetINFClassA(FARPROC proc, const char* infName, GUID* classGuid,
                                           char* className, DWORD classNameSize,
                                           DWORD* requiredSize) {
  return CallLookedUp<SetupDiGetINFClassAFn>(proc, BOOL{FALSE}, infName, classGuid, className,
                                             classNameSize, requiredSize);
}

HDEVINFO Win32PlatformOps::SetupDiCreateDeviceInfoList(FARPROC proc, const GUID* classGuid,
                                                       HWND parent) {
  return CallLookedUp<SetupDiCreateDeviceInfoListFn>(proc, NoDeviceInfoSet(), classGuid, parent);
}

BOOL Win32PlatformOps::SetupDiCreateDeviceInfoA(FARPROC proc, HDEVINFO set, const char* deviceName,
                                                const GUID* classGuid, const char* description,
                                                HWND parent, DWORD flags,
                                                SP_DEVINFO_DATA* device) {
  return CallLookedUp<SetupDiCreateDeviceInfoAFn>(proc, BOOL{FALSE}, set, deviceName, classGuid,
                                                  description, parent, flags, device);
}

BOOL Win32PlatformOps::SetupDiSetDeviceRegistryPropertyA(FARPROC proc, HDEVINFO set,
                                                         SP_DEVINFO_DATA* device, DWORD property,
                                                         const BYTE* buffer, DWORD size) {
  return CallLookedUp<SetupDiSetDeviceRegistryPropertyAFn>(proc, BOOL{FALSE}, set, device,
                                                           property, buffer, size);
}

BOOL Win32PlatformOps::SetupDiCallClassInstaller(FARPROC proc, DI_FUNCTION function, HDEVINFO set,
                                                 SP_DEVINFO_DATA* device) {
  return CallLookedUp<SetupDiCallClassInstallerFn>(proc, BOOL{FALSE}, function, set, device);
}

BOOL Win32PlatformOps::UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent,
                                                          const char* hardwareId,
                                                          const char* infPath, DWORD flags,
                                                          BOOL* rebootRequired) {
  return CallLookedUp<UpdateDriverForPlugAndPlayDevicesAFn>(proc, BOOL{FALSE}, parent,
                                                            hardwareId, infPath, flags,
                                                            rebootRequired);
}

}  // namespace korvanta
