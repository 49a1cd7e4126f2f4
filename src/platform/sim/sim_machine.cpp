// SimMachine: construction, configuration, the call log and fault plan, and
// the small kernel32/user32 operations (version, directories, module path,
// memory, last error, message boxes, process exit).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

// ---- text helpers -----------------------------------------------------------

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool IEquals(std::string_view a, std::string_view b) { return Upper(a) == Upper(b); }

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::optional<GUID> ParseGuid(std::string_view text) {
  text = Trim(text);
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  const std::string inner(text.substr(1, 36));
  for (size_t i = 0; i < inner.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? inner[i] != '-' : !std::isxdigit(static_cast<unsigned char>(inner[i]))) {
      return std::nullopt;
    }
  }
  const auto hex = [&](size_t at, size_t length) {
    return static_cast<uint32_t>(std::stoul(inner.substr(at, length), nullptr, 16));
  };
  GUID guid{};
  guid.Data1 = hex(0, 8);
  guid.Data2 = static_cast<uint16_t>(hex(9, 4));
  guid.Data3 = static_cast<uint16_t>(hex(14, 4));
  guid.Data4[0] = static_cast<uint8_t>(hex(19, 2));
  guid.Data4[1] = static_cast<uint8_t>(hex(21, 2));
  for (int i = 0; i < 6; ++i) guid.Data4[2 + i] = static_cast<uint8_t>(hex(24 + 2 * i, 2));
  return guid;
}

// ---- call log ---------------------------------------------------------------

LogArg::LogArg(const char* s) : text(s ? "\"" + std::string(s) + "\"" : "NULL") {}
LogArg::LogArg(const std::string& s) : text("\"" + s + "\"") {}
LogArg::LogArg(DWORD n) : text(std::to_string(n)) {}
LogArg::LogArg(int n) : text(std::to_string(n)) {}
LogArg::LogArg(uint64_t n) : text(std::to_string(n)) {}
LogArg::LogArg(FARPROC proc)
    : text(proc ? std::to_string(reinterpret_cast<uintptr_t>(proc)) : "NULL") {}
LogArg::LogArg(const void* handle)
    : text(handle ? std::to_string(reinterpret_cast<uintptr_t>(handle)) : "NULL") {}
LogArg::LogArg(const GUID* guid) : text(guid ? GuidText(*guid) : "NULL") {}

LogArg::LogArg(HKEY key) {
  static const struct {
    HKEY root;
    const char* name;
  } kRoots[] = {{HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
                {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
                {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
                {HKEY_USERS, "HKEY_USERS"}};
  for (const auto& root : kRoots) {
    if (root.root == key) {
      text = root.name;
      return;
    }
  }
  text = key ? std::to_string(reinterpret_cast<uintptr_t>(key)) : "NULL";
}

LogArg LogArg::Pointer(const void* p) {
  LogArg arg(0);
  arg.text = p ? "ptr" : "NULL";
  return arg;
}

LogArg LogArg::MultiString(const char* entries) {
  LogArg arg(0);
  if (!entries) {
    arg.text = "NULL";
    return arg;
  }
  std::string text = "\"";
  for (const char* entry = entries; *entry; entry += std::strlen(entry) + 1) {
    text += entry;
    text += "\\0";
  }
  arg.text = text + "\"";
  return arg;
}

std::string JoinArgs(std::initializer_list<LogArg> args) {
  std::string text;
  for (const LogArg& arg : args) {
    if (!text.empty()) text += ", ";
    text += arg.text;
  }
  return text;
}

std::optional<DWORD> SimMachine::State::Record(const char* operation, const std::string& args) {
  if (callHook) callHook();
  calls.push_back(std::string(operation) + "(" + args + ")");
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->operation != operation || args.find(it->argumentContains) == std::string::npos) {
      continue;
    }
    if (--it->occurrence > 0) continue;
    const DWORD error = it->error;
    faults.erase(it);
    return error;
  }
  return std::nullopt;
}

// ---- construction and configuration ------------------------------------------

SimMachine::SimMachine() : state_(std::make_unique<State>()) {
  State& s = *state_;
  SetDriveType('C', DRIVE_FIXED);
  AddDirectory(s.windowsDirectory + "\\INF");
  AddDirectory(s.windowsDirectory + "\\SYSTEM");
  AddDirectory(s.systemDirectory + "\\drivers");
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
    s.roots[reinterpret_cast<uintptr_t>(root)] = std::make_shared<RegKey>();
  }
  // The keys every installed Windows has and the installer writes below.
  static const struct {
    HKEY root;
    const char* path;
  } kStandardKeys[] = {
      {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Class"},
      {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager"},
      {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root"},  // NT device instances
      {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Class"},
      {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VxD"},
      {HKEY_LOCAL_MACHINE, "Enum\\Root"},  // 9x device instances
      {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
      {HKEY_CURRENT_USER, "Software"},
  };
  for (const auto& key : kStandardKeys) AddRegistryKey(key.root, key.path);
  SetModulePath("C:\\setup\\korvanta-sysinstall.exe");
  SetCommandLine("C:\\setup\\korvanta-sysinstall.exe");
  s.InitLibraries();
}

SimMachine::~SimMachine() {
  for (const auto& [block, info] : state_->blocks) std::free(const_cast<void*>(block));
}

namespace {

std::shared_ptr<RegKey> CloneKey(const RegKey& key, RegKey* parent) {
  auto copy = std::make_shared<RegKey>(key);
  copy->parent = parent;
  for (auto& [name, subkey] : copy->subkeys) subkey = CloneKey(*subkey, copy.get());
  return copy;
}

}  // namespace

void SimMachine::SetCallHook(std::function<void()> hook) { state_->callHook = std::move(hook); }

std::unique_ptr<SimMachine> SimMachine::StoppedCopy() const {
  auto copy = std::make_unique<SimMachine>();
  State& s = *copy->state_;
  s = *state_;
  for (auto& [root, key] : s.roots) key = CloneKey(*key, nullptr);
  // What the ended process held goes with it.
  s.regHandles.clear();
  s.processHandles.clear();
  s.snapshots.clear();
  s.findHandles.clear();
  s.fileHandles.clear();
  s.fileCursors.clear();
  s.deviceSets.clear();
  s.blocks.clear();
  for (LibraryState& library : s.libraries) library.references = 0;
  s.faults.clear();
  s.messageBoxes.clear();
  s.calls.clear();
  s.callHook = nullptr;
  s.lastError = 0;
  return copy;
}

void SimMachine::SetPlatform(DWORD platformId, DWORD majorVersion, DWORD minorVersion) {
  state_->platformId = platformId;
  state_->majorVersion = majorVersion;
  state_->minorVersion = minorVersion;
}

void SimMachine::SetWindowsDirectory(const std::string& path) {
  state_->windowsDirectory = path;
  AddDirectory(path);
}

void SimMachine::SetSystemDirectory(const std::string& path) {
  state_->systemDirectory = path;
  AddDirectory(path);
}

void SimMachine::SetCommandLine(const std::string& commandLine) {
  state_->commandLine = commandLine;
}

void SimMachine::SetModulePath(const std::string& path) { state_->modulePath = path; }

void SimMachine::SetWow64(bool wow64) { state_->wow64 = wow64; }

void SimMachine::SetAdministratorsGroup(AdministratorsGroup group) {
  state_->administrators = group;
}

void SimMachine::SetEnvironmentVariable(const std::string& name, const std::string& value) {
  state_->environment[Upper(name)] = value;
}

void SimMachine::SetWindowStationVisible(bool visible) { state_->windowStationVisible = visible; }

// ---- faults, messages, calls -------------------------------------------------

void SimMachine::AddFault(const Fault& fault) { state_->faults.push_back(fault); }

const std::vector<MessageBoxRecord>& SimMachine::MessageBoxes() const {
  return state_->messageBoxes;
}

const std::vector<std::string>& SimMachine::Calls() const { return state_->calls; }

std::vector<std::string> SimMachine::CallsTo(const std::string& operation) const {
  std::vector<std::string> result;
  const std::string prefix = operation + "(";
  for (const std::string& call : state_->calls) {
    if (call.compare(0, prefix.size(), prefix) == 0) result.push_back(call);
  }
  return result;
}

void SimMachine::ClearCalls() { state_->calls.clear(); }

int SimMachine::OpenHandleCount() const {
  const State& s = *state_;
  return static_cast<int>(s.regHandles.size() + s.processHandles.size() + s.snapshots.size() +
                          s.findHandles.size() + s.deviceSets.size() + s.blocks.size() +
                          s.fileHandles.size());
}

// ---- process, version, directories -----------------------------------------

const char* SimMachine::GetCommandLineA() {
  state_->Record("GetCommandLineA", "");
  return state_->commandLine.c_str();
}

DWORD SimMachine::GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
  State& s = *state_;
  if (auto error = s.Record("GetModuleFileNameA", JoinArgs({module, LogArg::Pointer(buffer), size}))) {
    s.lastError = *error;
    return 0;
  }
  std::string path;
  if (module == nullptr) {
    path = s.modulePath;
  } else {
    const auto library = std::find_if(s.libraries.begin(), s.libraries.end(), [&](const auto& l) {
      return l.references > 0 && l.base == reinterpret_cast<uintptr_t>(module);
    });
    if (library == s.libraries.end()) {
      s.lastError = ERROR_MOD_NOT_FOUND;
      return 0;
    }
    path = s.systemDirectory + "\\" + library->name;
  }
  if (buffer == nullptr && size > 0) {
    s.lastError = error::kNoAccess;
    return 0;
  }
  // Windows XP copies as much as fits and, when the path does not fit, leaves
  // the buffer without a terminator and returns the buffer size.
  if (path.size() >= size) {
    std::memcpy(buffer, path.data(), size);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

BOOL SimMachine::GetVersionExA(OSVERSIONINFOA* info) {
  State& s = *state_;
  if (auto error = s.Record("GetVersionExA", JoinArgs({LogArg::Pointer(info)}))) {
    s.lastError = *error;
    return FALSE;
  }
  // OSVERSIONINFOA is 148 bytes, OSVERSIONINFOEXA 156; anything else is refused.
  if (info == nullptr || (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156)) {
    s.lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  info->dwMajorVersion = s.majorVersion;
  info->dwMinorVersion = s.minorVersion;
  info->dwPlatformId = s.platformId;
  // The 9x family keeps major and minor version in the high word of the build.
  info->dwBuildNumber = s.Is9x() ? ((s.majorVersion << 24) | (s.minorVersion << 16) | 2222) : 2600;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

namespace {

// GetSystemDirectoryA / GetWindowsDirectoryA: the length copied, or the size
// needed (terminator included) when the buffer is too small.
UINT CopyDirectory(const std::string& path, char* buffer, UINT size) {
  if (buffer == nullptr || path.size() + 1 > size) return static_cast<UINT>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<UINT>(path.size());
}

}  // namespace

UINT SimMachine::GetSystemDirectoryA(char* buffer, UINT size) {
  if (auto error = state_->Record("GetSystemDirectoryA", JoinArgs({LogArg::Pointer(buffer), size}))) {
    state_->lastError = *error;
    return 0;
  }
  return CopyDirectory(state_->systemDirectory, buffer, size);
}

UINT SimMachine::GetWindowsDirectoryA(char* buffer, UINT size) {
  if (auto error = state_->Record("GetWindowsDirectoryA", JoinArgs({LogArg::Pointer(buffer), size}))) {
    state_->lastError = *error;
    return 0;
  }
  return CopyDirectory(state_->windowsDirectory, buffer, size);
}

UINT SimMachine::SetErrorMode(UINT mode) {
  state_->Record("SetErrorMode", JoinArgs({mode}));
  const UINT previous = state_->errorMode;
  state_->errorMode = mode;
  return previous;
}

void SimMachine::SetLeadByteRanges(const std::vector<std::pair<BYTE, BYTE>>& ranges) {
  state_->leadByteRanges = ranges;
}

size_t SimMachine::State::CharacterCount(std::string_view text) const {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i, ++characters) {
    const auto byte = static_cast<BYTE>(text[i]);
    for (const auto& [first, last] : leadByteRanges) {
      if (byte >= first && byte <= last) {
        ++i;  // the trail byte is part of the character
        break;
      }
    }
  }
  return characters;
}

BOOL SimMachine::IsDBCSLeadByte(BYTE byte) {
  state_->Record("IsDBCSLeadByte", JoinArgs({DWORD{byte}}));
  for (const auto& [first, last] : state_->leadByteRanges) {
    if (byte >= first && byte <= last) return TRUE;
  }
  return FALSE;
}

DWORD SimMachine::GetLastError() {
  state_->Record("GetLastError", "");
  return state_->lastError;
}

void SimMachine::SetLastError(DWORD code) {
  state_->Record("SetLastError", JoinArgs({code}));
  state_->lastError = code;
}

void SimMachine::ExitProcess(UINT exitCode) {
  state_->Record("ExitProcess", JoinArgs({exitCode}));
  throw SimulatedExit{exitCode};
}

int SimMachine::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  State& s = *state_;
  if (auto error = s.Record("MessageBoxA", JoinArgs({owner, text, caption, type}))) {
    s.lastError = *error;
    return 0;
  }
  s.messageBoxes.push_back({text ? text : "", caption ? caption : "Error", type, owner != nullptr});
  return IDOK;
}

// ---- environment and window station -------------------------------------------

DWORD SimMachine::GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  State& s = *state_;
  if (auto error = s.Record("GetEnvironmentVariableA", JoinArgs({name, LogArg::Pointer(buffer), size}))) {
    s.lastError = *error;
    return 0;
  }
  const auto found = name ? s.environment.find(Upper(name)) : s.environment.end();
  if (found == s.environment.end()) {
    s.lastError = ERROR_ENVVAR_NOT_FOUND;
    return 0;
  }
  const std::string& value = found->second;
  // Too small a buffer is left alone; the result is the size it needs,
  // terminator included.
  if (buffer == nullptr || value.size() + 1 > size) return static_cast<DWORD>(value.size() + 1);
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return static_cast<DWORD>(value.size());
}

namespace {
// The process's window station; its handle is only ever compared.
HANDLE const kWindowStation = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x0000003C));
}  // namespace

HANDLE SimMachine::GetProcessWindowStation(FARPROC proc) {
  State& s = *state_;
  if (auto error = s.Record("GetProcessWindowStation", JoinArgs({proc}))) {
    s.lastError = *error;
    return nullptr;
  }
  if (!s.CheckProc(proc, "user32.dll", "GetProcessWindowStation")) {
    s.lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  return kWindowStation;
}

BOOL SimMachine::GetUserObjectInformationA(FARPROC proc, HANDLE object, int index, LPVOID info,
                                           DWORD length, DWORD* lengthNeeded) {
  State& s = *state_;
  if (auto error = s.Record("GetUserObjectInformationA",
                            JoinArgs({proc, object, index, LogArg::Pointer(info), length,
                                      LogArg::Pointer(lengthNeeded)}))) {
    s.lastError = *error;
    return FALSE;
  }
  if (!s.CheckProc(proc, "user32.dll", "GetUserObjectInformationA")) {
    s.lastError = ERROR_PROC_NOT_FOUND;
    return FALSE;
  }
  // Only the window station's flags are modelled.
  if (object != kWindowStation || index != UOI_FLAGS) {
    s.lastError = object != kWindowStation ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (lengthNeeded != nullptr) *lengthNeeded = sizeof(USEROBJECTFLAGS);
  if (info == nullptr || length < sizeof(USEROBJECTFLAGS)) {
    s.lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  const USEROBJECTFLAGS flags{FALSE, FALSE, s.windowStationVisible ? DWORD{WSF_VISIBLE} : 0};
  std::memcpy(info, &flags, sizeof flags);
  return TRUE;
}

// ---- memory -----------------------------------------------------------------

namespace {

// The one process heap; its handle is only ever compared.
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00140000));

// Memory that Windows does not zero is filled with a pattern, so that code
// relying on zeroed memory it did not ask for shows up in the tests.
void* Allocate(SimMachine::State& s, MemoryBlock::Kind kind, size_t bytes, bool zero) {
  constexpr size_t kLimit = size_t{1} << 30;
  if (bytes > kLimit) return nullptr;
  void* block = std::malloc(std::max<size_t>(bytes, 1));
  if (block == nullptr) return nullptr;
  std::memset(block, zero ? 0 : 0xBA, std::max<size_t>(bytes, 1));
  s.blocks[block] = MemoryBlock{kind, bytes};
  return block;
}

bool Release(SimMachine::State& s, MemoryBlock::Kind kind, const void* block) {
  const auto it = s.blocks.find(block);
  if (it == s.blocks.end() || it->second.kind != kind) return false;
  s.blocks.erase(it);
  std::free(const_cast<void*>(block));
  return true;
}

}  // namespace

HANDLE SimMachine::GetProcessHeap() {
  if (auto error = state_->Record("GetProcessHeap", "")) {
    state_->lastError = *error;
    return nullptr;
  }
  return kProcessHeap;
}

LPVOID SimMachine::HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  State& s = *state_;
  if (auto error = s.Record("HeapAlloc", JoinArgs({heap, flags, uint64_t{bytes}}))) {
    s.lastError = *error;
    return nullptr;
  }
  if (heap != kProcessHeap) {
    s.lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return Allocate(s, MemoryBlock::Kind::Heap, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

BOOL SimMachine::HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  State& s = *state_;
  if (auto error = s.Record("HeapFree", JoinArgs({heap, flags, block}))) {
    s.lastError = *error;
    return FALSE;
  }
  if (block == nullptr) return TRUE;
  if (heap != kProcessHeap || !Release(s, MemoryBlock::Kind::Heap, block)) {
    s.lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  return TRUE;
}

HLOCAL SimMachine::LocalAlloc(UINT flags, SIZE_T bytes) {
  State& s = *state_;
  if (auto error = s.Record("LocalAlloc", JoinArgs({flags, uint64_t{bytes}}))) {
    s.lastError = *error;
    return nullptr;
  }
  void* block = Allocate(s, MemoryBlock::Kind::Local, bytes, (flags & LMEM_ZEROINIT) != 0);
  if (block == nullptr) s.lastError = ERROR_NOT_ENOUGH_MEMORY;
  return block;
}

HLOCAL SimMachine::LocalFree(HLOCAL block) {
  State& s = *state_;
  if (auto error = s.Record("LocalFree", JoinArgs({block}))) {
    s.lastError = *error;
    return block;
  }
  if (block == nullptr) return nullptr;
  if (!Release(s, MemoryBlock::Kind::Local, block)) {
    s.lastError = ERROR_INVALID_HANDLE;
    return block;
  }
  return nullptr;
}

// Shared with the security module, whose SIDs are memory blocks too.
void* AllocateSidBlock(SimMachine::State& s, size_t bytes) {
  return Allocate(s, MemoryBlock::Kind::Sid, bytes, true);
}

bool ReleaseSidBlock(SimMachine::State& s, const void* block) {
  return Release(s, MemoryBlock::Kind::Sid, block);
}

void* AllocateLocalBlock(SimMachine::State& s, size_t bytes) {
  return Allocate(s, MemoryBlock::Kind::Local, bytes, true);
}

}  // namespace korvanta::sim
