// PlatformOps: the only door from the installer to the operating system.
//
// One method per Win32 operation the installer uses, named after the ANSI
// function it wraps, taking the same arguments and returning what the API
// returns. The thread's last-error code is read and set through GetLastError /
// SetLastError of the same object. Everything that decides (buffer sizes,
// retries, order of calls) lives above this seam, where the host tests see it.
//
// Functions that some supported Windows lacks are found at run time with
// LoadLibraryExA / GetProcAddress; the address that GetProcAddress returned is
// then passed back as the first argument of the operation that calls it, so
// that a missing library or export is an ordinary, testable outcome.
#pragma once

#include "platform/win32_types.h"

// The operations, each once:
//   OPERATION(result type, name, (parameters), result, arguments...)
// PlatformOps declares them from this list, and the action log's decorator
// (logging/) forwards and writes them from it, so that the two cannot differ.
// The last columns say what Windows' types leave open:
// - the result: which value is a failure (FalseFails, ZeroFails, InvalidFails,
//   NotNullFails, AttributesResult: INVALID_FILE_ATTRIBUTES), an error code
//   (StatusResult), never a failure (TruthResult, FlagsResult, PlainResult), a
//   handle the log names by what it was found or opened by (LibraryResult,
//   FunctionResult, KeyOpened; KeyClosed forgets it), none (NoResult,
//   NoReturn);
// - an argument is written by its type unless marked: Flags (a bit mask),
//   Truth (TRUE or FALSE), Entries (strings up to an empty one), Bytes,
//   RegType and RegValue (registry data), FunctionName (a name or an ordinal),
//   Address (memory the call fills but does not read). Outputs are read after
//   the call: Out (what a successful call stores there) and OutTruth,
//   OutRegType, OutDisposition, OutText (a fixed buffer), OutBytes and
//   OutRegValue (a length stored in another output); Size (a count the caller
//   set, read whatever the call did); Filled (text whose length is the result)
//   and FilledCut (the same, cut short rather than refused when the buffer is
//   too small).
#define KORVANTA_PLATFORM_OPERATIONS(OPERATION)                                                    \
  /* kernel32: process, version, directories. A directory's buffer size counts the terminator, */  \
  /* its result does not. */                                                                       \
  OPERATION(const char*, GetCommandLineA, (), PlainResult)                                         \
  OPERATION(DWORD, GetModuleFileNameA, (HMODULE module, char* buffer, DWORD size), ZeroFails,      \
      module, Filled(buffer, size), size)                                                          \
  OPERATION(BOOL, GetVersionExA, (OSVERSIONINFOA* info), FalseFails, Out(info))                    \
  OPERATION(UINT, GetSystemDirectoryA, (char* buffer, UINT size), ZeroFails,                       \
      Filled(buffer, size - (size > 0)), size)                                                     \
  OPERATION(UINT, GetWindowsDirectoryA, (char* buffer, UINT size), ZeroFails,                      \
      Filled(buffer, size - (size > 0)), size)                                                     \
  /* kernel32: files and drives */                                                                 \
  OPERATION(BOOL, CopyFileA, (const char* existing, const char* target, BOOL failIfExists),        \
      FalseFails, existing, target, Truth(failIfExists))                                           \
  OPERATION(BOOL, DeleteFileA, (const char* path), FalseFails, path)                               \
  OPERATION(DWORD, GetFileAttributesA, (const char* path), AttributesResult, path)                 \
  OPERATION(BOOL, SetFileAttributesA, (const char* path, DWORD attributes), FalseFails, path,      \
      Flags(attributes))                                                                           \
  OPERATION(HANDLE, FindFirstFileA, (const char* pattern, WIN32_FIND_DATAA* data), InvalidFails,   \
      pattern, Out(data))                                                                          \
  OPERATION(BOOL, FindClose, (HANDLE find), FalseFails, find)                                      \
  OPERATION(BOOL, MoveFileExA, (const char* existing, const char* target, DWORD flags),            \
      FalseFails, existing, target, Flags(flags))                                                  \
  /* The action log's own file, opened before the log records anything, and profile files */     \
  /* edited whole. */                                                                              \
  OPERATION(HANDLE, CreateFileA,                                                                   \
      (const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,                 \
       DWORD disposition, DWORD flags, HANDLE templateFile), InvalidFails, name, Flags(access),     \
      Flags(share), security, disposition, Flags(flags), templateFile)                             \
  /* A profile file edited whole, where the profile functions cannot write a key twice: read */    \
  /* from one handle, written anew through another. */                                             \
  OPERATION(BOOL, ReadFile,                                                                        \
      (HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped), FalseFails, \
      file, Address(buffer), toRead, Size(read), overlapped)                                       \
  OPERATION(BOOL, WriteFile,                                                                       \
      (HANDLE file, const BYTE* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped),    \
      FalseFails, file, Bytes(buffer, toWrite), toWrite, Size(written), overlapped)                \
  /* The result counts the terminator only when the buffer is too small. */                        \
  OPERATION(DWORD, GetShortPathNameA, (const char* longPath, char* buffer, DWORD size), ZeroFails, \
      longPath, Filled(buffer, size - (size > 0)), size)                                           \
  OPERATION(UINT, GetDriveTypeA, (const char* root), PlainResult, root)                            \
  OPERATION(UINT, SetErrorMode, (UINT mode), FlagsResult, Flags(mode))                             \
  /* kernel32: the ANSI code page */                                                               \
  OPERATION(BOOL, IsDBCSLeadByte, (BYTE byte), TruthResult, Flags(byte))                           \
  /* kernel32: profile files. A section's result is its length, cut short when the buffer is */    \
  /* too small. */                                                                                 \
  OPERATION(DWORD, GetPrivateProfileSectionA,                                                      \
      (const char* section, char* buffer, DWORD size, const char* file), PlainResult, section,     \
      FilledCut(buffer, size), size, file)                                                         \
  OPERATION(BOOL, WritePrivateProfileSectionA,                                                     \
      (const char* section, const char* entries, const char* file), FalseFails, section,           \
      Entries(entries), file)                                                                      \
  OPERATION(BOOL, WritePrivateProfileStringA,                                                      \
      (const char* section, const char* key, const char* value, const char* file), FalseFails,     \
      section, key, value, file)                                                                   \
  /* kernel32: libraries */                                                                        \
  OPERATION(HMODULE, LoadLibraryExA, (const char* name, HANDLE file, DWORD flags), LibraryResult,  \
      name, file, Flags(flags))                                                                    \
  OPERATION(FARPROC, GetProcAddress, (HMODULE module, const char* name), FunctionResult, module,   \
      FunctionName(name))                                                                          \
  OPERATION(BOOL, FreeLibrary, (HMODULE module), FalseFails, module)                               \
  /* kernel32: processes, memory, errors. HeapAlloc and HeapFree do not set the last-error */      \
  /* code. */                                                                                      \
  OPERATION(HANDLE, OpenProcess, (DWORD access, BOOL inherit, DWORD processId), ZeroFails,         \
      Flags(access), Truth(inherit), processId)                                                    \
  OPERATION(BOOL, CloseHandle, (HANDLE handle), FalseFails, handle)                                \
  OPERATION(HANDLE, GetProcessHeap, (), ZeroFails)                                                 \
  OPERATION(LPVOID, HeapAlloc, (HANDLE heap, DWORD flags, SIZE_T bytes), PlainResult, heap,        \
      Flags(flags), bytes)                                                                         \
  OPERATION(BOOL, HeapFree, (HANDLE heap, DWORD flags, LPVOID block), TruthResult, heap,           \
      Flags(flags), block)                                                                         \
  OPERATION(HLOCAL, LocalAlloc, (UINT flags, SIZE_T bytes), ZeroFails, Flags(flags), bytes)        \
  OPERATION(HLOCAL, LocalFree, (HLOCAL block), NotNullFails, block)                                \
  OPERATION(DWORD, GetLastError, (), FlagsResult)                                                  \
  OPERATION(void, SetLastError, (DWORD code), NoResult, Flags(code))                               \
  OPERATION(void, ExitProcess, (UINT exitCode), NoReturn, exitCode)                                \
  OPERATION(HANDLE, GetCurrentProcess, (), PlainResult)                                            \
  /* kernel32: the process's environment. The result counts the terminator only when the */      \
  /* buffer is too small; a missing variable gives 0 and ERROR_ENVVAR_NOT_FOUND. */                \
  OPERATION(DWORD, GetEnvironmentVariableA, (const char* name, char* buffer, DWORD size),          \
      ZeroFails, name, Filled(buffer, size), size)                                                 \
  /* kernel32, looked up at run time: XP SP2 and later */                                          \
  OPERATION(BOOL, IsWow64Process, (FARPROC proc, HANDLE process, BOOL* wow64), FalseFails, proc,   \
      process, OutTruth(wow64))                                                                    \
  /* kernel32, looked up at run time: what the action log's file is */                             \
  OPERATION(BOOL, GetFileInformationByHandle,                                                      \
      (FARPROC proc, HANDLE file, BY_HANDLE_FILE_INFORMATION* info), FalseFails, proc, file,       \
      Out(info))                                                                                   \
  /* kernel32, looked up at run time: Toolhelp process list */                                     \
  OPERATION(HANDLE, CreateToolhelp32Snapshot, (FARPROC proc, DWORD flags, DWORD processId),        \
      InvalidFails, proc, Flags(flags), processId)                                                 \
  OPERATION(BOOL, Process32First, (FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry),          \
      FalseFails, proc, snapshot, Out(entry))                                                      \
  OPERATION(BOOL, Process32Next, (FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry),           \
      FalseFails, proc, snapshot, Out(entry))                                                      \
  /* PSAPI.DLL, loaded at run time. A module of another process is not one of this process's */    \
  /* libraries. */                                                                                 \
  OPERATION(BOOL, EnumProcesses, (FARPROC proc, DWORD* ids, DWORD bytes, DWORD* bytesReturned),    \
      FalseFails, proc, ids, bytes, Size(bytesReturned))                                           \
  OPERATION(BOOL, EnumProcessModules,                                                              \
      (FARPROC proc, HANDLE process, HMODULE* modules, DWORD bytes, DWORD* bytesNeeded),           \
      FalseFails, proc, process, modules, bytes, Size(bytesNeeded))                                \
  OPERATION(DWORD, GetModuleFileNameExA,                                                           \
      (FARPROC proc, HANDLE process, HMODULE module, char* buffer, DWORD size), ZeroFails, proc,   \
      process, Address(module), Filled(buffer, size), size)                                        \
  /* user32 */                                                                                     \
  OPERATION(int, MessageBoxA, (HWND owner, const char* text, const char* caption, UINT type),      \
      ZeroFails, owner, text, caption, Flags(type))                                                \
  /* user32, looked up at run time: window stations (NT family). The station's handle is the */   \
  /* process's own and is never closed. */                                                         \
  OPERATION(HANDLE, GetProcessWindowStation, (FARPROC proc), ZeroFails, proc)                      \
  OPERATION(BOOL, GetUserObjectInformationA,                                                       \
      (FARPROC proc, HANDLE object, int index, LPVOID info, DWORD length, DWORD* lengthNeeded),    \
      FalseFails, proc, object, index, Address(info), length, Size(lengthNeeded))                  \
  /* advapi32: registry */                                                                         \
  OPERATION(LONG, RegCreateKeyExA,                                                                 \
      (HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,                \
       REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result, DWORD* disposition),            \
      KeyOpened, key, subKey, reserved, keyClass, Flags(options), Flags(access), security,         \
      Out(result), OutDisposition(disposition))                                                    \
  OPERATION(LONG, RegSetValueExA,                                                                  \
      (HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,              \
       DWORD size), StatusResult, key, valueName, reserved, RegType(type),                         \
      RegValue(type, data, size), size)                                                            \
  OPERATION(LONG, RegOpenKeyExA,                                                                   \
      (HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result), KeyOpened, key,  \
      subKey, Flags(options), Flags(access), Out(result))                                          \
  OPERATION(LONG, RegQueryValueExA,                                                                \
      (HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size),    \
      StatusResult, key, valueName, reserved, OutRegType(type), OutRegValue(type, data, size),     \
      Size(size))                                                                                  \
  OPERATION(LONG, RegQueryInfoKeyA,                                                                \
      (HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved, DWORD* subKeys,              \
       DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength,    \
       DWORD* maxValueLength, DWORD* securityDescriptorLength, FILETIME* lastWriteTime),           \
      StatusResult, key, Address(keyClass), Size(classLength), reserved, Size(subKeys),            \
      Size(maxSubKeyLength), Size(maxClassLength), Size(values), Size(maxValueNameLength),         \
      Size(maxValueLength), Size(securityDescriptorLength), lastWriteTime)                         \
  OPERATION(LONG, RegEnumKeyExA,                                                                   \
      (HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved, char* keyClass,      \
       DWORD* classLength, FILETIME* lastWriteTime), StatusResult, key, index,                     \
      OutBytes(name, nameLength), Size(nameLength), reserved, Address(keyClass),                   \
      Size(classLength), lastWriteTime)                                                            \
  OPERATION(LONG, RegDeleteKeyA, (HKEY key, const char* subKey), StatusResult, key, subKey)        \
  OPERATION(LONG, RegDeleteValueA, (HKEY key, const char* valueName), StatusResult, key,           \
      valueName)                                                                                   \
  OPERATION(LONG, RegCloseKey, (HKEY key), KeyClosed, key)                                         \
  /* advapi32: security */                                                                         \
  OPERATION(BOOL, AllocateAndInitializeSid,                                                        \
      (SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount, DWORD sub0, DWORD sub1,        \
       DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid),         \
      FalseFails, authority, subAuthorityCount, Flags(sub0), Flags(sub1), Flags(sub2),             \
      Flags(sub3), Flags(sub4), Flags(sub5), Flags(sub6), Flags(sub7), Out(sid))                   \
  OPERATION(PVOID, FreeSid, (PSID sid), PlainResult, sid)                                          \
  OPERATION(DWORD, GetLengthSid, (PSID sid), PlainResult, sid)                                     \
  OPERATION(BOOL, InitializeAcl, (ACL* acl, DWORD length, DWORD revision), FalseFails,             \
      Address(acl), length, revision)                                                              \
  OPERATION(BOOL, AddAccessAllowedAce, (ACL* acl, DWORD revision, DWORD accessMask, PSID sid),     \
      FalseFails, Address(acl), revision, Flags(accessMask), sid)                                  \
  OPERATION(BOOL, GetAce, (ACL* acl, DWORD index, LPVOID* ace), FalseFails, Address(acl), index,   \
      Out(ace))                                                                                    \
  /* advapi32, looked up at run time. The descriptor GetNamedSecurityInfoA returns is one */       \
  /* block of local memory, released with LocalFree; the owner, group and list pointers point */   \
  /* into it. */                                                                                   \
  OPERATION(DWORD, GetNamedSecurityInfoA,                                                          \
      (FARPROC proc, const char* objectName, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,       \
       PSID* owner, PSID* group, ACL** dacl, ACL** sacl, PSECURITY_DESCRIPTOR* descriptor),        \
      StatusResult, proc, objectName, type, Flags(info), Out(owner), Out(group), Out(dacl),        \
      Out(sacl), Out(descriptor))                                                                  \
  OPERATION(DWORD, SetNamedSecurityInfoA,                                                          \
      (FARPROC proc, const char* objectName, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,       \
       PSID owner, PSID group, ACL* dacl, ACL* sacl), StatusResult, proc, objectName, type,        \
      Flags(info), owner, group, dacl, sacl)                                                       \
  /* advapi32, looked up at run time: the process's token (NT family; CheckTokenMembership */      \
  /* from Windows 2000 on). A null token is the calling thread's. */                               \
  OPERATION(BOOL, CheckTokenMembership, (FARPROC proc, HANDLE token, PSID sid, BOOL* isMember),    \
      FalseFails, proc, token, sid, OutTruth(isMember))                                            \
  OPERATION(BOOL, OpenProcessToken, (FARPROC proc, HANDLE process, DWORD access, HANDLE* token),   \
      FalseFails, proc, process, Flags(access), Out(token))                                        \
  OPERATION(BOOL, GetTokenInformation,                                                             \
      (FARPROC proc, HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,   \
       DWORD* returnLength), FalseFails, proc, token, infoClass, Address(info), length,            \
      Size(returnLength))                                                                          \
  /* setupapi.dll, loaded at run time: not a KnownDLL before Vista (a copy beside the exe */     \
  /* would be loaded first), and a retail Windows 95 has none */                                   \
  OPERATION(HDEVINFO, SetupDiGetClassDevsA,                                                        \
      (FARPROC proc, const GUID* classGuid, const char* enumerator, HWND parent, DWORD flags),     \
      InvalidFails, proc, classGuid, enumerator, parent, Flags(flags))                             \
  OPERATION(BOOL, SetupDiEnumDeviceInfo,                                                           \
      (FARPROC proc, HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device), FalseFails, proc, set,   \
      index, Out(device))                                                                          \
  OPERATION(BOOL, SetupDiGetDeviceRegistryPropertyA,                                               \
      (FARPROC proc, HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* valueType,      \
       BYTE* buffer, DWORD size, DWORD* requiredSize), FalseFails, proc, set, device,              \
      Flags(property), OutRegType(valueType), OutBytes(buffer, requiredSize, size), size,          \
      Size(requiredSize))                                                                          \
  OPERATION(BOOL, SetupDiDestroyDeviceInfoList, (FARPROC proc, HDEVINFO set), FalseFails, proc,    \
      set)                                                                                         \
  OPERATION(BOOL, SetupDiGetINFClassA,                                                             \
      (FARPROC proc, const char* infName, GUID* classGuid, char* className, DWORD classNameSize,   \
       DWORD* requiredSize), FalseFails, proc, infName, Out(classGuid),                            \
      OutText(className, classNameSize), classNameSize, Size(requiredSize))                        \
  OPERATION(HDEVINFO, SetupDiCreateDeviceInfoList,                                                 \
      (FARPROC proc, const GUID* classGuid, HWND parent), InvalidFails, proc, classGuid, parent)   \
  OPERATION(BOOL, SetupDiCreateDeviceInfoA,                                                        \
      (FARPROC proc, HDEVINFO set, const char* deviceName, const GUID* classGuid,                  \
       const char* description, HWND parent, DWORD flags, SP_DEVINFO_DATA* device), FalseFails,    \
      proc, set, deviceName, classGuid, description, parent, Flags(flags), Out(device))            \
  OPERATION(BOOL, SetupDiSetDeviceRegistryPropertyA,                                               \
      (FARPROC proc, HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, const BYTE* buffer,    \
       DWORD size), FalseFails, proc, set, device, Flags(property), Bytes(buffer, size), size)     \
  OPERATION(BOOL, SetupDiCallClassInstaller,                                                       \
      (FARPROC proc, DI_FUNCTION function, HDEVINFO set, SP_DEVINFO_DATA* device), FalseFails,     \
      proc, Flags(function), set, device)                                                          \
  /* NewDev.dll, loaded at run time */                                                             \
  OPERATION(BOOL, UpdateDriverForPlugAndPlayDevicesA,                                              \
      (FARPROC proc, HWND parent, const char* hardwareId, const char* infPath, DWORD flags,        \
       BOOL* rebootRequired), FalseFails, proc, parent, hardwareId, infPath, Flags(flags),         \
      OutTruth(rebootRequired))

namespace korvanta {

class PlatformOps {
 public:
  virtual ~PlatformOps() = default;

#define KORVANTA_DECLARE(Result, Name, Parameters, ...) virtual Result Name Parameters = 0;
  KORVANTA_PLATFORM_OPERATIONS(KORVANTA_DECLARE)
#undef KORVANTA_DECLARE
};

}  // namespace korvanta
