// The process list and its two views: Toolhelp (kernel32) and PSAPI, both
// reached through looked-up addresses; process handles.
#include <algorithm>
#include <optional>
#include <cstring>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

// The installer itself is always running.
constexpr DWORD kOwnProcessId = 500;

// The modules every process has besides its executable, by base address.
const struct {
  uintptr_t base;
  const char* name;
} kSystemModules[] = {{0x7C900000, "ntdll.dll"}, {0x7C800000, "kernel32.dll"}};
constexpr uintptr_t kExecutableBase = 0x00400000;

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.find_last_of("\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

SimProcess OwnProcess(const SimMachine::State& s) {
  // On the 9x family Toolhelp names a process by its full path, on NT by its
  // file name.
  return {kOwnProcessId, s.Is9x() ? s.modulePath : FileNamePart(s.modulePath), s.modulePath, true, {}};
}

// Every process, the installer's own first.
std::vector<SimProcess> ProcessList(const SimMachine::State& s) {
  std::vector<SimProcess> list;
  list.push_back(OwnProcess(s));
  list.insert(list.end(), s.processes.begin(), s.processes.end());
  return list;
}

// The process of that id, found without copying the list: a walk over many
// processes looks one up per process.
std::optional<SimProcess> FindProcess(const SimMachine::State& s, DWORD id) {
  if (id == kOwnProcessId) return OwnProcess(s);
  const auto it = std::find_if(s.processes.begin(), s.processes.end(), [&](const SimProcess& p) { return p.id == id; });
  if (it == s.processes.end()) return std::nullopt;
  return *it;
}

std::optional<SimProcess> ProcessOfHandle(const SimMachine::State& s, HANDLE handle) {
  const auto it = s.processHandles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.processHandles.end()) return std::nullopt;
  return FindProcess(s, it->second);
}

BOOL Fail(SimMachine::State& s, DWORD error) {
  s.lastError = error;
  return FALSE;
}

}  // namespace

HANDLE SimMachine::GetCurrentProcess() {
  state_->Record("GetCurrentProcess", "");
  return kCurrentProcess;
}

BOOL SimMachine::IsWow64Process(FARPROC proc, HANDLE process, BOOL* wow64) {
  State& s = *state_;
  if (auto error = s.Record("IsWow64Process", JoinArgs({proc, process, LogArg::Pointer(wow64)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "kernel32.dll", "IsWow64Process")) return Fail(s, ERROR_PROC_NOT_FOUND);
  // Only the installer's own process is asked about.
  if (process != kCurrentProcess) return Fail(s, ERROR_INVALID_HANDLE);
  if (wow64 == nullptr) return Fail(s, error::kNoAccess);
  *wow64 = s.wow64 ? TRUE : FALSE;
  return TRUE;
}

DWORD SimMachine::AddProcess(const std::string& toolhelpName, const std::string& modulePath, bool canOpen) {
  State& s = *state_;
  const DWORD id = s.nextProcessId;
  s.nextProcessId += 4;
  s.processes.push_back({id, toolhelpName, modulePath, canOpen, {}});
  return id;
}

void SimMachine::AddProcesses(int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = "FILLER" + std::to_string(state_->processes.size()) + ".EXE";
    AddProcess(name, "C:\\PROGRAM FILES\\FILLER\\" + name);
  }
}

void SimMachine::SetProcessOwner(DWORD processId, const std::string& owner) {
  for (SimProcess& process : state_->processes) {
    if (process.id == processId) process.owner = owner;
  }
}

void SimMachine::SetDebugPrivilegeEnabled(bool enabled) { state_->debugPrivilegeEnabled = enabled; }

HANDLE SimMachine::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  State& s = *state_;
  if (auto error = s.Record("OpenProcess", JoinArgs({access, inherit, processId}))) {
    s.lastError = *error;
    return nullptr;
  }
  const std::optional<SimProcess> process = FindProcess(s, processId);
  if (!process || processId == 0) {
    s.lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // NT: another user's process grants nothing to an administrator who is not
  // its owner, short of the debug privilege; the 9x family has no security.
  const bool othersProcess = !s.Is9x() && !process->owner.empty() && !s.debugPrivilegeEnabled;
  if (!process->canOpen || othersProcess) {
    s.lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  const uintptr_t handle = s.NewHandleValue();
  s.processHandles[handle] = processId;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL SimMachine::CloseHandle(HANDLE handle) {
  State& s = *state_;
  if (auto error = s.Record("CloseHandle", JoinArgs({handle}))) return Fail(s, *error);
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (s.processHandles.erase(value) || s.snapshots.erase(value) || s.fileHandles.erase(value)) {
    s.fileCursors.erase(value);
    return TRUE;
  }
  return Fail(s, ERROR_INVALID_HANDLE);
}

// ---- Toolhelp ---------------------------------------------------------------------

HANDLE SimMachine::CreateToolhelp32Snapshot(FARPROC proc, DWORD flags, DWORD processId) {
  State& s = *state_;
  if (auto error = s.Record("CreateToolhelp32Snapshot", JoinArgs({proc, flags, processId}))) {
    s.lastError = *error;
    return INVALID_HANDLE_VALUE;
  }
  if (!s.CheckProc(proc, "kernel32.dll", "CreateToolhelp32Snapshot")) {
    s.lastError = ERROR_PROC_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  const uintptr_t handle = s.NewHandleValue();
  s.snapshots[handle].processes = (flags & TH32CS_SNAPPROCESS) ? ProcessList(s) : std::vector<SimProcess>();
  return reinterpret_cast<HANDLE>(handle);
}

namespace {

BOOL ReadSnapshot(SimMachine::State& s, HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
  const auto it = s.snapshots.find(reinterpret_cast<uintptr_t>(snapshot));
  if (it == s.snapshots.end()) return Fail(s, ERROR_INVALID_HANDLE);
  if (entry == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  if (entry->dwSize < kProcessEntry32Size) return Fail(s, ERROR_INSUFFICIENT_BUFFER);
  Snapshot& taken = it->second;
  if (first) taken.next = 0;
  if (taken.next >= taken.processes.size()) return Fail(s, ERROR_NO_MORE_FILES);
  const SimProcess& process = taken.processes[taken.next++];
  const DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof *entry);
  entry->dwSize = size;
  entry->th32ProcessID = process.id;
  entry->cntThreads = 1;
  std::strncpy(entry->szExeFile, process.toolhelpName.c_str(), MAX_PATH - 1);
  return TRUE;
}

}  // namespace

BOOL SimMachine::Process32First(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) {
  State& s = *state_;
  if (auto error = s.Record("Process32First", JoinArgs({proc, snapshot, LogArg::Pointer(entry)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "kernel32.dll", "Process32First")) return Fail(s, ERROR_PROC_NOT_FOUND);
  return ReadSnapshot(s, snapshot, entry, true);
}

BOOL SimMachine::Process32Next(FARPROC proc, HANDLE snapshot, PROCESSENTRY32* entry) {
  State& s = *state_;
  if (auto error = s.Record("Process32Next", JoinArgs({proc, snapshot, LogArg::Pointer(entry)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "kernel32.dll", "Process32Next")) return Fail(s, ERROR_PROC_NOT_FOUND);
  return ReadSnapshot(s, snapshot, entry, false);
}

// ---- PSAPI ------------------------------------------------------------------------

BOOL SimMachine::EnumProcesses(FARPROC proc, DWORD* ids, DWORD bytes, DWORD* bytesReturned) {
  State& s = *state_;
  if (auto error = s.Record("EnumProcesses", JoinArgs({proc, LogArg::Pointer(ids), bytes,
                                                       LogArg::Pointer(bytesReturned)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "PSAPI.DLL", "EnumProcesses")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (ids == nullptr || bytesReturned == nullptr) return Fail(s, error::kNoAccess);
  // As many ids as fit; a full buffer is the caller's sign that more may exist.
  const std::vector<SimProcess> list = ProcessList(s);
  const size_t count = std::min<size_t>(list.size(), bytes / sizeof(DWORD));
  for (size_t i = 0; i < count; ++i) ids[i] = list[i].id;
  *bytesReturned = static_cast<DWORD>(count * sizeof(DWORD));
  return TRUE;
}

BOOL SimMachine::EnumProcessModules(FARPROC proc, HANDLE process, HMODULE* modules, DWORD bytes,
                                    DWORD* bytesNeeded) {
  State& s = *state_;
  if (auto error = s.Record("EnumProcessModules",
                            JoinArgs({proc, process, LogArg::Pointer(modules), bytes,
                                      LogArg::Pointer(bytesNeeded)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "PSAPI.DLL", "EnumProcessModules")) return Fail(s, ERROR_PROC_NOT_FOUND);
  const std::optional<SimProcess> target = ProcessOfHandle(s, process);
  if (!target) return Fail(s, ERROR_INVALID_HANDLE);
  if (bytesNeeded == nullptr) return Fail(s, error::kNoAccess);
  // System processes have no user-mode modules to list.
  if (target->modulePath.empty()) return Fail(s, error::kPartialCopy);
  std::vector<uintptr_t> bases = {kExecutableBase};
  for (const auto& module : kSystemModules) bases.push_back(module.base);
  *bytesNeeded = static_cast<DWORD>(bases.size() * sizeof(HMODULE));
  const size_t fit = std::min<size_t>(bases.size(), bytes / sizeof(HMODULE));
  if (fit > 0 && modules == nullptr) return Fail(s, error::kNoAccess);
  for (size_t i = 0; i < fit; ++i) modules[i] = reinterpret_cast<HMODULE>(bases[i]);
  return TRUE;
}

DWORD SimMachine::GetModuleFileNameExA(FARPROC proc, HANDLE process, HMODULE module, char* buffer,
                                       DWORD size) {
  State& s = *state_;
  if (auto error = s.Record("GetModuleFileNameExA",
                            JoinArgs({proc, process, module, LogArg::Pointer(buffer), size}))) {
    s.lastError = *error;
    return 0;
  }
  if (!s.CheckProc(proc, "PSAPI.DLL", "GetModuleFileNameExA")) {
    s.lastError = ERROR_PROC_NOT_FOUND;
    return 0;
  }
  const std::optional<SimProcess> target = ProcessOfHandle(s, process);
  if (!target) {
    s.lastError = ERROR_INVALID_HANDLE;
    return 0;
  }
  std::string path;
  const uintptr_t base = reinterpret_cast<uintptr_t>(module);
  if (module == nullptr || base == kExecutableBase) {
    path = target->modulePath;
  } else {
    for (const auto& system : kSystemModules) {
      if (system.base == base) path = s.systemDirectory + "\\" + system.name;
    }
  }
  if (path.empty()) {
    s.lastError = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (buffer == nullptr || size == 0) {
    s.lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  // A path that does not fit is cut and still terminated.
  const size_t copied = std::min<size_t>(path.size(), size - 1);
  std::memcpy(buffer, path.data(), copied);
  buffer[copied] = '\0';
  return static_cast<DWORD>(copied);
}

}  // namespace korvanta::sim
