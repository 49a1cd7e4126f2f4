// PlatformOps: the only door from the installer to the operating system.
//
// One method per Win32 operation the installer uses, named after the ANSI
// function it wraps, taking the same arguments and returning what the API
// returns. The thread's last-error code is read and set through GetLastError /
// SetLastError of the same object. Everything that decides (buffer sizes,
// retries, order of calls) lives above this seam, where the host tests see it.
//
// Functions that some supported Windows lacks are found at run time with
// LoadLibraryA / GetProcAddress; the address that GetProcAddress returned is
// then passed back as the first argument of the operation that calls it, so
// that a missing library or export is an ordinary, testable outcome.
#pragma once

#include "platform/win32_types.h"

namespace korvanta {

class PlatformOps {
 public:
  virtual ~PlatformOps() = default;

  // kernel32: process, version, directories
  virtual const char* GetCommandLineA() = 0;
  virtual DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) = 0;
  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;
  virtual UINT GetSystemDirectoryA(char* buffer, UINT size) = 0;
  virtual UINT GetWindowsDirectoryA(char* buffer, UINT size) = 0;

  // kernel32: files and drives
  virtual BOOL CopyFileA(const char* existing, const char* target, BOOL failIfExists) = 0;
  virtual BOOL DeleteFileA(const char* path) = 0;
  virtual DWORD GetFileAttributesA(const char* path) = 0;
  virtual BOOL SetFileAttributesA(const char* path, DWORD attributes) = 0;
  virtual HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) = 0;
  virtual BOOL FindClose(HANDLE find) = 0;
  virtual BOOL MoveFileExA(const char* existing, const char* target, DWORD flags) = 0;
  virtual UINT GetDriveTypeA(const char* root) = 0;
  virtual UINT SetErrorMode(UINT mode) = 0;

  // kernel32: the ANSI code page
  virtual BOOL IsDBCSLeadByte(BYTE byte) = 0;

  // kernel32: profile files
  virtual DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                          const char* file) = 0;
  virtual BOOL WritePrivateProfileSectionA(const char* section, const char* entries,
                                           const char* file) = 0;
  virtual BOOL WritePrivateProfileStringA(const char* section, const char* key,
                                          const char* value, const char* file) = 0;

  // kernel32: libraries
  virtual HMODULE LoadLibraryA(const char* name) = 0;
  virtual FARPROC GetProcAddress(HMODULE module, const char* name) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;

  // kernel32: processes, memory, errors
  virtual HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual HANDLE GetProcessHeap() = 0;
  virtual LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) = 0;
  virtual BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) = 0;
  virtual HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) = 0;
  virtual HLOCAL LocalFree(HLOCAL block) = 0;
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD code) = 0;
  virtual void ExitProcess(UINT exitCode) = 0;

  // kernel32, looked up at run time: Toolhelp process list
  virtual HANDLE CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) = 0;
  virtual BOOL Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) = 0;
  virtual BOOL Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) = 0;

  // PSAPI.DLL, loaded at run time
  virtual BOOL EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes, DWORD* bytesReturned) = 0;
  virtual BOOL EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules, DWORD bytes,
                                  DWORD* bytesNeeded) = 0;
  virtual DWORD GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module, char* buffer,
                                     DWORD size) = 0;

  // user32
  virtual int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) = 0;

  // advapi32: registry
  virtual LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                               DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                               HKEY* result, DWORD* disposition) = 0;
  virtual LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD size) = 0;
  virtual LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                             HKEY* result) = 0;
  virtual LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                BYTE* data, DWORD* size) = 0;
  virtual LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved,
                                DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                                DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                                DWORD* securityDescriptorLength, FILETIME* lastWriteTime) = 0;
  virtual LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                             char* keyClass, DWORD* classLength, FILETIME* lastWriteTime) = 0;
  virtual LONG RegDeleteKeyA(HKEY key, const char* subKey) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // advapi32: security
  virtual BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                        DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                        DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) = 0;
  virtual PVOID FreeSid(PSID sid) = 0;
  virtual DWORD GetLengthSid(PSID sid) = 0;
  virtual BOOL InitializeAcl(ACL* acl, DWORD length, DWORD revision) = 0;
  virtual BOOL AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, PSID sid) = 0;
  virtual BOOL GetAce(ACL* acl, DWORD index, LPVOID* ace) = 0;
  // advapi32, looked up at run time. The descriptor GetNamedSecurityInfoA
  // returns is one block of local memory, released with LocalFree; the owner,
  // group and list pointers point into it.
  virtual DWORD GetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                                      SECURITY_INFORMATION info, PSID* owner, PSID* group,
                                      ACL** dacl, ACL** sacl,
                                      PSECURITY_DESCRIPTOR* descriptor) = 0;
  virtual DWORD SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                                      SECURITY_INFORMATION info, PSID owner, PSID group, ACL* dacl,
                                      ACL* sacl) = 0;

  // setupapi
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                        HWND parent, DWORD flags) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) = 0;
  virtual BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device,
                                                 DWORD property, DWORD* valueType, BYTE* buffer,
                                                 DWORD size, DWORD* requiredSize) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
  virtual BOOL SetupDiGetINFClassA(const char* infName, GUID* classGuid, char* className,
                                   DWORD classNameSize, DWORD* requiredSize) = 0;
  virtual HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) = 0;
  virtual BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char* deviceName,
                                        const GUID* classGuid, const char* description,
                                        HWND parent, DWORD flags, SP_DEVINFO_DATA* device) = 0;
  virtual BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* device,
                                                 DWORD property, const BYTE* buffer,
                                                 DWORD size) = 0;
  virtual BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                         SP_DEVINFO_DATA* device) = 0;

  // NewDev.dll, loaded at run time
  virtual BOOL UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent,
                                                  const char* hardwareId, const char* infPath,
                                                  DWORD flags, BOOL* rebootRequired) = 0;
};

}  // namespace korvanta
