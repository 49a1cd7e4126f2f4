// The inside of SimMachine, shared by the modules that implement it (one per
// area: files, profile files, registry, security, processes, libraries,
// devices). Nothing here is part of the public API.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace korvanta::sim {

// Error codes the simulated machine reports that the host stand-ins of the
// SDK headers do not define. Values are Windows' own.
namespace error {
inline constexpr DWORD kCallNotImplemented = 120;
inline constexpr DWORD kInvalidName = 123;
inline constexpr DWORD kPartialCopy = 299;
inline constexpr DWORD kNoAccess = 998;
inline constexpr DWORD kInvalidFlags = 1004;
inline constexpr DWORD kDllNotFound = 1157;
inline constexpr DWORD kInvalidAcl = 1336;
inline constexpr DWORD kInvalidSid = 1337;
inline constexpr DWORD kAllottedSpaceExceeded = 1344;
inline constexpr DWORD kInvalidUserBuffer = 1784;
// SetupAPI's own codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n);
// ERROR_INVALID_CLASS is 0x206 (the host stand-in's 0x209 is another code).
inline constexpr DWORD kInvalidDevinstName = 0xE0000205;
inline constexpr DWORD kInvalidClass = 0xE0000206;
inline constexpr DWORD kDevinfoNotRegistered = 0xE0000208;
inline constexpr DWORD kInvalidRegProperty = 0xE0000209;
}  // namespace error

// ---- text helpers -----------------------------------------------------------
// Windows compares file, key, section and library names without regard to
// letter case; ASCII folding is enough for the names the installer uses.
std::string Upper(std::string_view text);
bool IEquals(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view text);  // blanks, tabs, CR, LF

// Argument text of the call log: strings quoted as given, NULL for null
// pointers, numbers decimal, handles as decimal numbers (the predefined
// registry roots by name), other pointers as "ptr".
struct LogArg {
  std::string text;
  LogArg(const char* s);  // NOLINT(google-explicit-constructor): quoted or NULL
  LogArg(const std::string& s);
  LogArg(DWORD n);
  LogArg(int n);
  LogArg(uint64_t n);
  LogArg(HKEY key);
  LogArg(FARPROC proc);
  LogArg(const void* handle);  // handles: decimal value or NULL
  LogArg(const GUID* guid);
  static LogArg Pointer(const void* p);  // "ptr" or NULL
  static LogArg MultiString(const char* entries);
};
std::string JoinArgs(std::initializer_list<LogArg> args);
std::string GuidText(const GUID& guid);
std::optional<GUID> ParseGuid(std::string_view text);

// ---- files -------------------------------------------------------------------
struct FileNode {
  std::string path;  // full path with the stored letter case
  bool directory = false;
  DWORD attributes = 0;  // FILE_ATTRIBUTE_DIRECTORY is implied for folders
  std::string bytes;
  DWORD lockError = 0;  // nonzero: held open by another process
  DWORD links = 1;
};

// A Windows path resolved against the machine: the upper-case key of the
// node, its parent's key, the last component as written, and whether the
// path ended in a backslash.
struct ResolvedPath {
  std::string key;
  std::string parentKey;  // empty for a drive root
  std::string leaf;
  std::vector<std::string> parts;  // the components below the drive, as written
  bool trailingSeparator = false;
};

struct PendingRename {
  std::string source;
  std::string target;  // empty: delete the source
  bool replaceExisting = false;
};

// ---- registry ----------------------------------------------------------------
// Whom an entry names, as far as the machine's users are concerned: the
// installer runs as a member of both groups, any other user is in Everyone.
enum class Trustee { Everyone, Administrators, Other };

struct AceRecord {
  bool allow = true;  // an access-allowed entry; false: access-denied
  BYTE flags = 0;
  DWORD mask = 0;
  Trustee trustee = Trustee::Other;
};

struct RegKey {
  std::string name;
  RegKey* parent = nullptr;
  std::map<std::string, std::shared_ptr<RegKey>> subkeys;  // by upper-case name, Windows' order
  std::vector<std::pair<std::string, RegistryValue>> values;  // in the order first written
  REGSAM denied = 0;
  std::optional<std::vector<AceRecord>> dacl;  // applied with SetNamedSecurityInfoA
  std::string daclBytes;
  bool daclProtected = false;  // the keys above pass none of their entries on
  bool deleted = false;
};

struct RegHandle {
  std::shared_ptr<RegKey> key;
  REGSAM granted = 0;
};

// ---- processes ---------------------------------------------------------------
struct Snapshot {
  std::vector<SimProcess> processes;  // as they were when the snapshot was taken
  size_t next = 0;                    // the entry Process32Next reads
};

// ---- devices -----------------------------------------------------------------
struct DeviceElement {
  DWORD devInst = 0;           // device node number; 0 while only created
  SimDevice pending;           // the element's own data until it is registered
  bool registered = false;
};

struct DeviceInfoSet {
  std::optional<GUID> classGuid;
  std::vector<DeviceElement> elements;
};

// ---- libraries ---------------------------------------------------------------
struct LibraryState {
  std::string name;  // canonical spelling, e.g. "PSAPI.DLL"
  int references = 0;
  uintptr_t base = 0;
};

struct MemoryBlock {
  enum class Kind { Heap, Local, Sid } kind;
  size_t size = 0;
};

struct SimMachine::State {
  // platform
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD majorVersion = 5;
  DWORD minorVersion = 1;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::string systemDirectory = "C:\\WINDOWS\\system32";
  std::string commandLine;
  std::string modulePath;
  DWORD lastError = 0;
  UINT errorMode = 0;
  std::vector<std::pair<BYTE, BYTE>> leadByteRanges;  // empty: a single-byte code page
  bool wow64 = false;
  AdministratorsGroup administrators = AdministratorsGroup::Enabled;
  std::map<std::string, std::string> environment;  // by upper-case name
  bool windowStationVisible = true;

  // files
  std::map<std::string, FileNode> nodes;  // by upper-case full path
  std::map<char, UINT> driveTypes;        // upper-case letter

  // registry
  std::map<uintptr_t, std::shared_ptr<RegKey>> roots;  // by predefined handle value
  std::map<uintptr_t, RegHandle> regHandles;
  std::map<std::string, std::string> appliedDacls;  // object name as given -> ACL bytes

  // processes
  std::vector<SimProcess> processes;
  DWORD nextProcessId = 1000;
  std::map<uintptr_t, DWORD> processHandles;  // handle -> process id; the own token: kTokenId
  std::map<uintptr_t, Snapshot> snapshots;
  bool debugPrivilegeEnabled = false;

  // files being searched
  std::map<uintptr_t, std::string> findHandles;
  // open files: handle -> key of the node and whether the handle is the
  // reparse point itself
  std::map<uintptr_t, std::pair<std::string, bool>> fileHandles;
  // and what each may do (GENERIC_READ, GENERIC_WRITE) and where it stands
  struct FileCursor {
    DWORD access = 0;
    size_t position = 0;
  };
  std::map<uintptr_t, FileCursor> fileCursors;

  // devices
  std::vector<SimDevice> devices;
  std::vector<DWORD> deviceNodes;  // devInst of each entry of `devices`
  DWORD nextDevInst = 1;
  std::map<uintptr_t, DeviceInfoSet> deviceSets;

  // libraries
  std::vector<LibraryState> libraries;
  std::set<std::string> removedLibraries;                          // upper-case names
  std::set<std::pair<std::string, std::string>> removedExports;  // (upper library, export)

  // memory
  std::map<const void*, MemoryBlock> blocks;

  // Windows 9x keeps the profile file last written in memory until it is
  // flushed, another profile file is used, or Windows shuts down in order;
  // here only while it holds what the disk does not (sim_profiles.cpp).
  struct ProfileCache {
    ResolvedPath path;
    std::string bytes;
  };
  std::optional<ProfileCache> profileCache;
  // The bytes of a profile file as the profile functions see them: the
  // cache's, else the disk's; none for a missing file.
  std::optional<std::string> ProfileBytes(const ResolvedPath& path) const;
  // Writes the cached file to disk (sim_profiles.cpp).
  void FlushProfileCache();
  // Any profile call on another file writes the cached one first.
  void UseProfile(const ResolvedPath& path) {
    if (profileCache && profileCache->path.key != path.key) FlushProfileCache();
  }

  // faults, messages, calls
  std::function<void()> callHook;
  std::vector<Fault> faults;
  std::vector<MessageBoxRecord> messageBoxes;
  std::vector<std::string> calls;

  uintptr_t nextHandle = 0x1000;
  uintptr_t NewHandleValue() {
    nextHandle += 4;
    return nextHandle;
  }

  bool Is9x() const { return platformId == VER_PLATFORM_WIN32_WINDOWS; }

  // Logs the call; when a planned fault matches, consumes it and returns its
  // error code.
  std::optional<DWORD> Record(const char* operation, const std::string& args);

  // The failure of a BOOL operation: sets the last error, returns FALSE.
  BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
  }

  // files (sim_files.cpp)
  std::optional<ResolvedPath> Resolve(std::string_view path, DWORD* error) const;
  FileNode* Find(const std::string& key);
  const FileNode* Find(const std::string& key) const;
  bool IsDirectory(const std::string& key) const;
  DWORD MissingError(const ResolvedPath& path) const;  // FILE_NOT_FOUND or PATH_NOT_FOUND
  void MakeDirectories(const std::string& path);
  // The key of the file or folder `component` names in the folder `parentKey`,
  // its short (8.3) name included.
  std::string ChildKey(const std::string& parentKey, const std::string& component) const;
  FileNode& PutFile(const ResolvedPath& path, const std::string& bytes, DWORD attributes);
  bool RenameNode(const std::string& fromKey, const ResolvedPath& to);
  void RemoveNode(const std::string& key);
  std::string CurrentDirectory() const;

  // registry (sim_registry.cpp)
  std::shared_ptr<RegKey> RootKey(HKEY root) const;
  std::shared_ptr<RegKey> KeyOfHandle(HKEY key, LONG* error) const;
  std::shared_ptr<RegKey> WalkKey(std::shared_ptr<RegKey> base, const std::string& path) const;
  // What a member of Everyone and Administrators (the installer) may do, or,
  // with `administrator` false, what every other user may.
  REGSAM AllowedAccess(const RegKey& key, bool administrator = true) const;
  // NT 4 copies a parent's inheritable entries into a key when it is created
  // and never again (sim_security.cpp).
  void InheritOnCreate(RegKey& child) const;
  bool IsNt4() const { return !Is9x() && majorVersion < 5; }
  // The characters of a text under the ANSI code page (sim_machine.cpp).
  size_t CharacterCount(std::string_view text) const;
  // MoveFileExA's delayed moves, kept where Windows keeps them: the session
  // manager's PendingFileRenameOperations value (sim_registry.cpp).
  std::vector<PendingRename> PendingMoves() const;
  void AddPendingMove(const PendingRename& move);
  void ClearPendingMoves();

  // profile files (sim_profiles.cpp)
  std::string ProfilePath(std::string_view fileName) const;

  // libraries (sim_libraries.cpp)
  void InitLibraries();
  // False for a null address (the call then fails with ERROR_PROC_NOT_FOUND);
  // throws std::logic_error for any address GetProcAddress did not return for
  // this export of a loaded library.
  bool CheckProc(FARPROC proc, const char* library, const char* exportName) const;
};

// The entries of a profile section as GetPrivateProfileSectionA returns them.
std::vector<std::string> ProfileSectionEntries(const std::string& fileBytes, std::string_view section);

// GENERIC_* rights mapped to the registry's KEY_* rights.
REGSAM MapGenericKeyAccess(REGSAM mask);
// A sub-key path split into its names (sim_registry.cpp).
std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path, bool nt, LONG* error);

// SIDs live in memory blocks of their own kind (sim_machine.cpp).
void* AllocateSidBlock(SimMachine::State& s, size_t bytes);
bool ReleaseSidBlock(SimMachine::State& s, const void* block);
// Zero-filled local memory that the caller releases with LocalFree, as the
// security descriptors that advapi32 hands out (sim_machine.cpp).
void* AllocateLocalBlock(SimMachine::State& s, size_t bytes);

// The size of PROCESSENTRY32 and SP_DEVINFO_DATA in 32-bit Windows, which the
// installer's records carry; the host's own layout is accepted too.
inline constexpr DWORD kProcessEntry32Size = 296;
inline constexpr DWORD kDevInfoData32Size = 28;

// The process id a token handle is kept under among the process handles: no
// process has it, and the count of open handles includes the token.
inline constexpr DWORD kTokenId = 0;
// GetCurrentProcess's pseudo-handle.
inline const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

}  // namespace korvanta::sim
