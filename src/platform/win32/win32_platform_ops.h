// Win32PlatformOps: the real operating system behind PlatformOps.
//
// Every method calls the ANSI function of the same name with the same
// arguments and returns its result unchanged; nothing here decides anything, so
// that what the host tests prove against the simulated machine is what runs on
// Windows. Functions that some supported Windows lacks (Toolhelp on NT 4,
// PSAPI.DLL on the 9x family, NewDev.dll before Windows 2000, setupapi.dll on
// a retail Windows 95, the named-object security functions and the window
// station functions on the 9x family)
// are never imported: the caller looks them up and passes the address back
// in, and the method calls through it.
#pragma once

#include "platform/platform_ops.h"

namespace korvanta {

class Win32PlatformOps final : public PlatformOps {
 public:
  const char* GetCommandLineA() override;
  DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) override;
  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  UINT GetSystemDirectoryA(char* buffer, UINT size) override;
  UINT GetWindowsDirectoryA(char* buffer, UINT size) override;

  BOOL CopyFileA(const char* existing, const char* target, BOOL failIfExists) override;
  BOOL DeleteFileA(const char* path) override;
  DWORD GetFileAttributesA(const char* path) override;
  BOOL SetFileAttributesA(const char* path, DWORD attributes) override;
  HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) override;
  BOOL FindClose(HANDLE find) override;
  BOOL MoveFileExA(const char* existing, const char* target, DWORD flags) override;
  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                     DWORD disposition, DWORD flags, HANDLE templateFile) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read,
                OVERLAPPED* overlapped) override;
  BOOL WriteFile(HANDLE file, const BYTE* buffer, DWORD toWrite, DWORD* written,
                 OVERLAPPED* overlapped) override;
  DWORD GetShortPathNameA(const char* longPath, char* buffer, DWORD size) override;
  UINT GetDriveTypeA(const char* root) override;
  UINT SetErrorMode(UINT mode) override;
  BOOL IsDBCSLeadByte(BYTE byte) override;

  DWORD GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                  const char* file) override;
  BOOL WritePrivateProfileSectionA(const char* section, const char* entries,
                                   const char* file) override;
  BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                  const char* file) override;

  HMODULE LoadLibraryExA(const char* name, HANDLE file, DWORD flags) override;
  FARPROC GetProcAddress(HMODULE module, const char* name) override;
  BOOL FreeLibrary(HMODULE module) override;

  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
  BOOL CloseHandle(HANDLE handle) override;
  HANDLE GetProcessHeap() override;
  LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) override;
  BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) override;
  HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override;
  HLOCAL LocalFree(HLOCAL block) override;
  DWORD GetLastError() override;
  void SetLastError(DWORD code) override;
  void ExitProcess(UINT exitCode) override;
  HANDLE GetCurrentProcess() override;
  DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) override;

  // The looked-up operations. A null address (the caller skipped its own
  // check) fails as a missing export would, with ERROR_PROC_NOT_FOUND, instead
  // of jumping to address zero.
  HANDLE CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) override;
  BOOL Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) override;
  BOOL Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) override;
  BOOL EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes, DWORD* bytesReturned) override;
  BOOL EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules, DWORD bytes,
                          DWORD* bytesNeeded) override;
  DWORD GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module, char* buffer,
                             DWORD size) override;

  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) override;
  HANDLE GetProcessWindowStation(FARPROC proc) override;
  BOOL GetUserObjectInformationA(FARPROC proc, HANDLE object, int index, LPVOID info, DWORD length,
                                 DWORD* lengthNeeded) override;

  LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                       DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                       DWORD* disposition) override;
  LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD size) override;
  LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                     HKEY* result) override;
  LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                        BYTE* data, DWORD* size) override;
  LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved,
                        DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                        DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                        DWORD* securityDescriptorLength, FILETIME* lastWriteTime) override;
  LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                     char* keyClass, DWORD* classLength, FILETIME* lastWriteTime) override;
  LONG RegDeleteKeyA(HKEY key, const char* subKey) override;
  LONG RegDeleteValueA(HKEY key, const char* valueName) override;
  LONG RegCloseKey(HKEY key) override;

  BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) override;
  PVOID FreeSid(PSID sid) override;
  DWORD GetLengthSid(PSID sid) override;
  BOOL InitializeAcl(ACL* acl, DWORD length, DWORD revision) override;
  BOOL AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, PSID sid) override;
  BOOL GetAce(ACL* acl, DWORD index, LPVOID* ace) override;
  // Both return ERROR_PROC_NOT_FOUND for a null address (their failure is the
  // result, not the last-error code).
  DWORD GetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID* owner, PSID* group, ACL** dacl,
                              ACL** sacl, PSECURITY_DESCRIPTOR* descriptor) override;
  DWORD SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID owner, PSID group, ACL* dacl,
                              ACL* sacl) override;
  BOOL IsWow64Process(FARPROC proc, HANDLE process, BOOL* wow64) override;
  BOOL GetFileInformationByHandle(FARPROC proc, HANDLE file,
                                  BY_HANDLE_FILE_INFORMATION* info) override;
  BOOL CheckTokenMembership(FARPROC proc, HANDLE token, PSID sid, BOOL* isMember) override;
  BOOL OpenProcessToken(FARPROC proc, HANDLE process, DWORD access, HANDLE* token) override;
  BOOL GetTokenInformation(FARPROC proc, HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                           LPVOID info, DWORD length, DWORD* returnLength) override;

  HDEVINFO SetupDiGetClassDevsA(FARPROC proc, const GUID* classGuid, const char* enumerator,
                                HWND parent, DWORD flags) override;
  BOOL SetupDiEnumDeviceInfo(FARPROC proc, HDEVINFO set, DWORD index,
                             SP_DEVINFO_DATA* device) override;
  BOOL SetupDiGetDeviceRegistryPropertyA(FARPROC proc, HDEVINFO set, SP_DEVINFO_DATA* device,
                                         DWORD property, DWORD* valueType, BYTE* buffer,
                                         DWORD size, DWORD* requiredSize) override;
  BOOL SetupDiDestroyDeviceInfoList(FARPROC proc, HDEVINFO set) override;
  BOOL SetupDiGetINFClassA(FARPROC proc, const char* infName, GUID* classGuid, char* className,
                           DWORD classNameSize, DWORD* requiredSize) override;
  HDEVINFO SetupDiCreateDeviceInfoList(FARPROC proc, const GUID* classGuid, HWND parent) override;
  BOOL SetupDiCreateDeviceInfoA(FARPROC proc, HDEVINFO set, const char* deviceName,
                                const GUID* classGuid, const char* description, HWND parent,
                                DWORD flags, SP_DEVINFO_DATA* device) override;
  BOOL SetupDiSetDeviceRegistryPropertyA(FARPROC proc, HDEVINFO set, SP_DEVINFO_DATA* device,
                                         DWORD property, const BYTE* buffer,
                                         DWORD size) override;
  BOOL SetupDiCallClassInstaller(FARPROC proc, DI_FUNCTION function, HDEVINFO set,
                                 SP_DEVINFO_DATA* device) override;
  BOOL UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent, const char* hardwareId,
                                          const char* infPath, DWORD flags,
                                          BOOL* rebootRequired) override;
};

}  // namespace korvanta
