// SimMachine: a simulated Windows machine behind PlatformOps, for host builds
// and tests. It ships in no executable.
//
// It models what the installer touches: a case-insensitive file system with
// attributes and locked files, a registry with typed byte-exact values and
// per-key access, profile files read and written by Windows' rules, pending
// renames (MoveFileExA delayed and Wininit.ini [rename]) carried out by a
// simulated restart, drives with types, a process list, a device tree with
// hardware ids, message boxes recorded in order, libraries and exports that can
// be left out, and a fault plan that makes any single operation fail with a
// chosen error.
//
// Paths given to the set-up and inspection methods are Windows paths
// ("C:\\WINDOWS\\system32\\x.dll"), compared without regard to letter case.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform_ops.h"

namespace korvanta::sim {

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string bytes;  // exactly the bytes stored, terminators included
  bool operator==(const RegistryValue&) const = default;
};

// The access list of a registry key and whether it is protected from the
// entries of the keys above.
struct KeySecurity {
  std::optional<std::string> dacl;  // raw ACL bytes; none: no list, everyone may do everything
  bool isProtected = false;
  bool operator==(const KeySecurity&) const = default;
};

struct MessageBoxRecord {
  std::string text;
  std::string caption;
  UINT type = 0;
  bool hadOwner = false;
};

struct SimDevice {
  std::string instanceId;             // e.g. "ROOT\\MEDIA\\0000"
  GUID classGuid{};
  bool present = true;
  bool hasHardwareIds = true;         // false: reading SPDRP_HARDWAREID fails with ERROR_INVALID_DATA
  std::string hardwareIdsMultiSz;     // raw REG_MULTI_SZ bytes, list terminator included
  std::string driverInf;              // full path of the INF the last driver update used
  int driverUpdates = 0;              // how many driver updates reached this device
};

struct SimProcess {
  DWORD id = 0;
  std::string toolhelpName;   // szExeFile as Toolhelp reports it
  std::string modulePath;     // full path as PSAPI reports it
  bool canOpen = true;        // false: OpenProcess fails with ERROR_ACCESS_DENIED
  std::string owner;          // the user it runs as; empty: the installer's user
};

// One planned failure: the `occurrence`-th call (1 = the next one) of
// `operation` whose logged argument text contains `argumentContains` fails
// with `error`, without any effect. Registry operations return the error; the
// others return their failure value and set it as last error.
struct Fault {
  std::string operation;
  DWORD error = 0;
  std::string argumentContains;
  int occurrence = 1;
};

// The Administrators group in the installer's token: enabled (an
// administrator, the default), for deny only (a restricted token, or an
// administrator's filtered token on Vista and later), or absent (a user).
enum class AdministratorsGroup { Enabled, DenyOnly, Absent };

// Thrown by ExitProcess so that a test can observe the exit code.
struct SimulatedExit {
  UINT exitCode;
};

class SimMachine : public PlatformOps {
 public:
  // A fresh NT-family machine (platform id 2, version 5.1): Windows directory
  // "C:\\WINDOWS", system directory "C:\\WINDOWS\\system32" (both exist, with
  // "INF", "system32\\drivers" and "SYSTEM"), drive C: fixed, the installer at
  // "C:\\setup\\korvanta-sysinstall.exe" with that path as its command line,
  // and the registry keys every Windows has below which the installer writes
  // (HKLM "SYSTEM\\CurrentControlSet\\" "Control\\Class", "Enum\\Root",
  // "Services\\Class" and "Services\\VxD"; HKLM "Enum\\Root"; HKLM
  // "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"; HKCU "Software").
  SimMachine();
  ~SimMachine() override;

  // ---- configuration -------------------------------------------------------
  void SetPlatform(DWORD platformId, DWORD majorVersion, DWORD minorVersion = 0);
  void SetWindowsDirectory(const std::string& path);  // created if missing
  void SetSystemDirectory(const std::string& path);   // created if missing
  void SetCommandLine(const std::string& commandLine);
  void SetModulePath(const std::string& path);
  void SetDriveType(char letter, UINT type);  // the root "X:\\" exists as a folder for fixed/cdrom drives
  // The lead-byte ranges (inclusive) of the ANSI code page; none, the
  // default, is a single-byte code page. {{0x81, 0x9F}, {0xE0, 0xFC}} is
  // Japanese (932), whose trail bytes include "\\" (0x5C).
  void SetLeadByteRanges(const std::vector<std::pair<BYTE, BYTE>>& ranges);
  // 64-bit Windows runs the 32-bit installer under WOW64 (IsWow64Process
  // answers TRUE); the default is a 32-bit Windows.
  void SetWow64(bool wow64);
  // The token's other groups are Everyone and Users.
  void SetAdministratorsGroup(AdministratorsGroup group);
  // A variable of the process's environment; names compare without case.
  void SetEnvironmentVariable(const std::string& name, const std::string& value);
  // Whether the process's window station is shown to anyone: the default, an
  // interactive user's; not so for a service's or session 0's (SYSTEM). On the
  // 9x family, which has no window stations, user32 lacks their functions.
  void SetWindowStationVisible(bool visible);

  // ---- files ----------------------------------------------------------------
  void AddDirectory(const std::string& path);  // with every missing parent
  void AddFile(const std::string& path, const std::string& bytes,
               DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);  // parents created
  void RemoveFile(const std::string& path);
  bool FileExists(const std::string& path) const;       // files only
  bool DirectoryExists(const std::string& path) const;
  std::optional<std::string> ReadFile(const std::string& path) const;
  DWORD Attributes(const std::string& path) const;       // INVALID_FILE_ATTRIBUTES if missing
  // A file held open by another process: writing, replacing, deleting or
  // renaming it fails with `error` (ERROR_SHARING_VIOLATION by default).
  void LockFile(const std::string& path, DWORD error = ERROR_SHARING_VIOLATION);
  void UnlockFile(const std::string& path);
  // How many names the file has (hard links; 1 when added). Give it
  // FILE_ATTRIBUTE_REPARSE_POINT to make it a symbolic link: CreateFileA then
  // opens the point itself only with FILE_FLAG_OPEN_REPARSE_POINT.
  void SetLinkCount(const std::string& path, DWORD links);
  std::vector<std::string> Files() const;        // every file, with its stored letter case
  std::vector<std::string> Directories() const;

  // ---- deferred renames -----------------------------------------------------
  // MoveFileExA(..., MOVEFILE_DELAY_UNTIL_REBOOT) entries, in order; an empty
  // target means "delete".
  std::vector<std::pair<std::string, std::string>> PendingRenames() const;
  // The next start of Windows: on the 9x family the [rename] section of
  // Wininit.ini in the Windows directory is carried out and the file renamed to
  // wininit.bak; then the pending MoveFileExA renames, in order. An orderly
  // shutdown first writes the profile file the 9x family holds in its cache;
  // a power loss (or the reset button) drops it.
  enum class Shutdown { Orderly, PowerLoss };
  void Restart(Shutdown shutdown = Shutdown::Orderly);

  // ---- a process stopped at any moment -----------------------------------------
  // Called at the start of every PlatformOps call, before it is logged or has
  // any effect (none: no hook).
  void SetCallHook(std::function<void()> hook);
  // A new machine as it stands when the running process is ended right now
  // (the task manager, a crash): files, registry, devices, pending renames,
  // other processes and Windows' own profile cache stay; what the process held
  // (handles, libraries, memory, its boxes, call log and planned faults) is
  // gone, and no destructor or clean-up of the process reaches the machine.
  std::unique_ptr<SimMachine> StoppedCopy() const;

  // ---- registry -------------------------------------------------------------
  void AddRegistryKey(HKEY root, const std::string& path);
  void SetRegistryValue(HKEY root, const std::string& path, const std::string& name,
                        const RegistryValue& value);
  std::optional<RegistryValue> GetRegistryValue(HKEY root, const std::string& path,
                                                const std::string& name) const;
  bool RegistryKeyExists(HKEY root, const std::string& path) const;
  std::vector<std::string> RegistrySubKeys(HKEY root, const std::string& path) const;
  std::vector<std::string> RegistryValueNames(HKEY root, const std::string& path) const;
  // Access the current user is refused on this key (e.g. KEY_SET_VALUE, or
  // DELETE): opening with a mask that asks for any of these bits fails with
  // ERROR_ACCESS_DENIED.
  void DenyRegistryAccess(HKEY root, const std::string& path, REGSAM denied);
  // The DACL last applied with SetNamedSecurityInfoA to this object name, as
  // raw ACL bytes (empty when none was applied).
  std::string AppliedDacl(const std::string& objectName) const;
  // A key's own access list and protection, as GetNamedSecurityInfoA reads
  // them back (a fresh key has no list and is not protected). Setting creates
  // the key; the list must be a well-formed ACL.
  void SetRegistryKeySecurity(HKEY root, const std::string& path, const KeySecurity& security);
  KeySecurity RegistryKeySecurity(HKEY root, const std::string& path) const;
  // What a user who is neither an administrator nor the system may do with
  // the key (KEY_* rights).
  REGSAM RegistryAccessOfOthers(HKEY root, const std::string& path) const;

  // ---- processes ------------------------------------------------------------
  // The process list always begins with the installer's own process (id 500,
  // the module path; Toolhelp names it by its path on the 9x family and by its
  // file name on NT). Added processes follow in the order added.
  DWORD AddProcess(const std::string& toolhelpName, const std::string& modulePath,
                   bool canOpen = true);  // returns the id given
  void AddProcesses(int count);           // filler processes with unique names
  // Another user's process: the NT family refuses OpenProcess to it
  // (ERROR_ACCESS_DENIED) unless the installer's debug privilege is enabled
  // (an administrator holds it, disabled, by default).
  void SetProcessOwner(DWORD processId, const std::string& owner);
  void SetDebugPrivilegeEnabled(bool enabled);

  // ---- devices --------------------------------------------------------------
  void AddDevice(const SimDevice& device);
  const std::vector<SimDevice>& Devices() const;

  // ---- libraries ------------------------------------------------------------
  // kernel32.dll (with Toolhelp, except on NT 4; IsWow64Process from XP on),
  // user32.dll (the window station functions on the NT family only),
  // PSAPI.DLL (NT family only), advapi32.dll (the token functions on the NT
  // family, CheckTokenMembership from 2000 on), NewDev.dll (Windows 2000 and later) and setupapi.dll. An
  // operation reached through a looked-up address fails with
  // ERROR_PROC_NOT_FOUND when given null, and throws std::logic_error when
  // given any address GetProcAddress did not return for its export of a
  // loaded library: on Windows that call would crash.
  void RemoveLibrary(const std::string& name);                        // LoadLibraryExA fails
  void RemoveExport(const std::string& library, const std::string& exportName);
  int LoadedLibraryCount() const;  // libraries loaded and not yet freed

  // ---- faults, messages, call log --------------------------------------------
  void AddFault(const Fault& fault);
  const std::vector<MessageBoxRecord>& MessageBoxes() const;
  // Every PlatformOps call made, one line each, e.g.
  //   WritePrivateProfileStringA(NULL, NULL, NULL, "SYSTEM.INI")
  //   CopyFileA("C:\\src\\A", "C:\\WINDOWS\\A", 0)
  // Strings are quoted as given (the examples are in C notation: the line
  // holds single backslashes), null pointers are NULL, numbers decimal.
  // Handles and looked-up addresses are decimal numbers too, except the
  // predefined registry roots, which appear by name (HKEY_LOCAL_MACHINE);
  // other non-null pointers (buffers, records, out-parameters) appear as ptr;
  // GUIDs in registry form ({3E36E96C-...}); the entries given to
  // WritePrivateProfileSectionA as one quoted text with \0 after each entry.
  // A fault's argumentContains is looked for, letter case included, in the
  // text between the parentheses.
  const std::vector<std::string>& Calls() const;
  std::vector<std::string> CallsTo(const std::string& operation) const;
  void ClearCalls();
  // Handles and memory blocks handed out and not yet closed or freed.
  int OpenHandleCount() const;
  // Planned faults that no call has met yet.
  int PlannedFaultCount() const;

  // ---- whole-machine inspection, for checks that hold whatever the run did ----
  // What the process holds and has not given back, by kind.
  struct OpenResources {
    int registryKeys = 0;
    int libraries = 0;  // LoadLibraryExA references not yet freed
    int processHandles = 0;
    int snapshots = 0;
    int findHandles = 0;
    int files = 0;
    int deviceInfoSets = 0;
    int heapBlocks = 0;
    int localMemory = 0;
    int sids = 0;
    bool operator==(const OpenResources&) const = default;
    // "2 registry keys, 1 libraries", or "nothing".
    std::string Describe() const;
  };
  OpenResources Resources() const;
  UINT ErrorMode() const;
  // Every place of the machine that an installer can change, with what it
  // holds now, keyed by a readable name:
  //   "file C:\WINDOWS\system32\X.DLL"        -> the bytes
  //   "attributes C:\WINDOWS\system32\X.DLL"  -> the attribute bits
  //   "folder C:\WINDOWS\INF"
  //   "profile C:\WINDOWS\SYSTEM.INI [VCACHE] MINFILECACHE #0" -> the value
  //   "key HKLM\SOFTWARE\X", "value HKLM\SOFTWARE\X : Name" -> type and bytes
  //   "access HKLM\SYSTEM\...\Enum\Root"    -> the key's access list
  //   "rename C:\A -> C:\B"                   -> how often it is pending
  //   "device ROOT\REALTIME\0000"            -> ids, driver and presence
  //   "unflushed C:\WINDOWS\WININIT.INI"      -> what the 9x profile cache
  //                                              holds and the disk does not yet
  // Profile files (".ini") appear entry by entry, so that two runs that write
  // different keys of one file can be told apart; an entry that occurs more
  // than once in a section is numbered.
  std::map<std::string, std::string> Places() const;

  // ---- PlatformOps ------------------------------------------------------------
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
  BOOL IsWow64Process(FARPROC proc, HANDLE process, BOOL* wow64) override;
  BOOL GetFileInformationByHandle(FARPROC proc, HANDLE file,
                                  BY_HANDLE_FILE_INFORMATION* info) override;
  BOOL CheckTokenMembership(FARPROC proc, HANDLE token, PSID sid, BOOL* isMember) override;
  BOOL OpenProcessToken(FARPROC proc, HANDLE process, DWORD access, HANDLE* token) override;
  BOOL GetTokenInformation(FARPROC proc, HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                           LPVOID info, DWORD length, DWORD* returnLength) override;
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
  DWORD GetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID* owner, PSID* group, ACL** dacl,
                              ACL** sacl, PSECURITY_DESCRIPTOR* descriptor) override;
  DWORD SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID owner, PSID group, ACL* dacl,
                              ACL* sacl) override;
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

  // The machine's inside, defined by the implementation modules only.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace korvanta::sim
