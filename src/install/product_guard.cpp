#include "install/product_guard.h"

#include <algorithm>
#include <map>
#include <utility>

#include "toolkit/file_placement.h"
#include "toolkit/run_time_library.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {
namespace {

// Process-wide on purpose: the guard runs once per process, before anything
// else, and a found application never becomes "not running" again.
bool productRunning = false;

// Compared in this order, all in capitals.
constexpr const char* ProductExecutables[] = {"TAV.EXE", "TAVMORI.EXE", "TAVPELANI.EXE"};

// 256 ids at first; a full array may hold a cut list and is grown.
constexpr DWORD InitialIdArrayBytes = 256 * sizeof(DWORD);
// Doubling beyond this would overflow the byte count; no Windows runs that
// many processes, so a list still full there is not trusted.
constexpr DWORD LargestIdArrayBytes = 0x40000000;

// GetVersionExA refuses any other size: the ANSI record is 148 bytes on every
// Windows, 32 or 64 bits.
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must keep its Windows layout");

// A block from the process heap, freed on every way out.
class ScopedHeapBlock {
 public:
  ScopedHeapBlock(PlatformOps& ops, HANDLE heap) : ops_(ops), heap_(heap) {}
  ~ScopedHeapBlock() { Free(); }
  ScopedHeapBlock(const ScopedHeapBlock&) = delete;
  ScopedHeapBlock& operator=(const ScopedHeapBlock&) = delete;

  bool Allocate(DWORD bytes) {
    Free();
    block_ = ops_.HeapAlloc(heap_, 0, bytes);
    return block_ != nullptr;
  }
  DWORD* Ids() const { return static_cast<DWORD*>(block_); }

 private:
  void Free() {
    if (block_ != nullptr) ops_.HeapFree(heap_, 0, block_);
    block_ = nullptr;
  }

  PlatformOps& ops_;
  HANDLE heap_;
  LPVOID block_ = nullptr;
};

// Reads kernel32's Toolhelp list, handing each entry's id and name to
// `visit` until it returns false. False when no list could be read.
template <typename Visit>
bool ReadToolhelpList(PlatformOps& ops, Visit visit) {
  // Looked up rather than imported: NT 4's kernel32 has no Toolhelp, and an
  // import it lacks would stop the installer from loading at all.
  const auto kernel = LoadRunTimeFunctions<3>(
      ops, "Kernel32.DLL", {"CreateToolhelp32Snapshot", "Process32First", "Process32Next"});
  if (!kernel.AllFound()) return false;
  const auto [createSnapshot, processFirst, processNext] = kernel.address;

  ScopedSnapshot snapshot(ops, ops.CreateToolhelp32Snapshot(createSnapshot, TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;

  // dwSize is the record's own size (296 bytes on 32-bit Windows), set before
  // every read as the documentation asks.
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  BOOL read = ops.Process32First(processFirst, snapshot.Get(), &entry);
  while (read) {
    // A name that fills the field has no terminator to stop at.
    size_t length = 0;
    while (length < MAX_PATH && entry.szExeFile[length] != '\0') ++length;
    if (!visit(entry.th32ProcessID, std::string(entry.szExeFile, length))) break;
    entry.dwSize = sizeof(entry);
    read = ops.Process32Next(processNext, snapshot.Get(), &entry);
  }
  return true;
}

// The names of kernel32's process list, for the processes PSAPI cannot name:
// OpenProcess refuses another user's programs (a second session, a terminal
// server, the administrator who elevated setup) without the debug privilege,
// but the list names them all. Read once, when the first process needs it;
// NT 4's kernel32 has no such list, and there the name stays empty.
class ToolhelpNames {
 public:
  explicit ToolhelpNames(PlatformOps& ops) : ops_(ops) {}

  std::string NameOf(DWORD processId) {
    if (!read_) {
      read_ = true;
      ReadToolhelpList(ops_, [this](DWORD id, std::string name) {
        names_.emplace(id, std::move(name));
        return true;
      });
    }
    const auto found = names_.find(processId);
    return found == names_.end() ? std::string() : found->second;
  }

 private:
  PlatformOps& ops_;
  bool read_ = false;
  std::map<DWORD, std::string> names_;
};

bool EnumerateWithPsapi(PlatformOps& ops, ProcessVisitor visitor, uintptr_t user) {
  // Loaded for this one walk only: PSAPI.DLL is not part of every NT 4.
  const auto psapi = LoadRunTimeFunctions<3>(
      ops, "PSAPI.DLL", {"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExA"});
  if (!psapi.AllFound()) return false;
  const auto [enumProcesses, enumProcessModules, getModuleFileNameEx] = psapi.address;

  // EnumProcesses does not say how many ids there are: a filled array may
  // have been cut, so the whole list is read again into a larger one before
  // anyone is visited.
  ScopedHeapBlock ids(ops, ops.GetProcessHeap());
  DWORD size = InitialIdArrayBytes;
  DWORD returned = 0;
  for (;;) {
    if (!ids.Allocate(size)) return false;
    if (!ops.EnumProcesses(enumProcesses, ids.Ids(), size, &returned)) return false;
    if (returned != size) break;
    if (returned > LargestIdArrayBytes) return false;
    size = 2 * returned;
  }

  const DWORD count = static_cast<DWORD>(std::min(returned, size) / sizeof(DWORD));
  // One byte more than the API is told: XP leaves a path that fills the
  // buffer unterminated.
  char path[MAX_PATH + 1];
  ToolhelpNames others(ops);
  for (DWORD i = 0; i < count; ++i) {
    const DWORD processId = ids.Ids()[i];
    path[0] = '\0';
    {
      ScopedProcessHandle process(
          ops, ops.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
      // The first module listed is the executable itself (4 bytes on 32-bit
      // Windows).
      HMODULE executable = nullptr;
      DWORD needed = 0;
      if (process && ops.EnumProcessModules(enumProcessModules, process.Get(), &executable,
                                            sizeof(executable), &needed)) {
        const DWORD length =
            ops.GetModuleFileNameExA(getModuleFileNameEx, process.Get(), executable, path, MAX_PATH);
        path[std::min<DWORD>(length, MAX_PATH)] = '\0';
      }
    }
    const std::string other = path[0] == '\0' ? others.NameOf(processId) : std::string();
    if (!visitor(ops, processId, other.empty() ? path : other.c_str(), user)) break;
  }
  return true;
}

bool EnumerateWithToolhelp(PlatformOps& ops, ProcessVisitor visitor, uintptr_t user) {
  return ReadToolhelpList(ops, [&](DWORD processId, const std::string& name) {
    return visitor(ops, processId, name.c_str(), user);
  });
}

// One of the three names, compared with ASCII capitals only: a locale's rules
// (the Turkish dotless i) must not decide whether the suite is running.
bool IsProductExecutable(const std::string& file) {
  for (const char* product : ProductExecutables) {
    if (EqualIgnoringAsciiCase(file, product)) return true;
  }
  return false;
}

// The long name of the file a path names; empty when it cannot be found.
std::string LongFileName(PlatformOps& ops, const std::string& path) {
  WIN32_FIND_DATAA data{};
  const ScopedFindHandle find(ops, ops.FindFirstFileA(path.c_str(), &data));
  if (!find) return std::string();
  const size_t length = std::find(data.cFileName, std::end(data.cFileName), '\0') - data.cFileName;
  return std::string(data.cFileName, length);
}

}  // namespace

bool IsNt4OrLater(PlatformOps& ops) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!ops.GetVersionExA(&info)) return false;
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 4;
}

bool EnumerateProcesses(PlatformOps& ops, ProcessVisitor visitor, uintptr_t user) {
  return IsNt4OrLater(ops) ? EnumerateWithPsapi(ops, visitor, user)
                           : EnumerateWithToolhelp(ops, visitor, user);
}

bool ProductProcessVisitor(PlatformOps& ops, DWORD, const char* exeName, uintptr_t user) {
  const std::string path = exeName != nullptr ? exeName : "";
  const bool longNames = (user & CompareLongNames) != 0 && !path.empty();
  if (IsProductExecutable(FileNamePart(ops, path)) ||
      (longNames && IsProductExecutable(LongFileName(ops, path)))) {
    productRunning = true;
    return false;
  }
  return true;
}

bool IsProductRunning(PlatformOps& ops) {
  // EnumerateProcesses' choice, made here to tell the visitor which list it
  // reads: Windows 9x's Toolhelp may name a program by its short path
  // (TAVPEL~1.EXE).
  const bool walked = IsNt4OrLater(ops)
                          ? EnumerateWithPsapi(ops, ProductProcessVisitor, 0)
                          : EnumerateWithToolhelp(ops, ProductProcessVisitor, CompareLongNames);
  return walked && productRunning;
}

bool ProductRunningFlag() { return productRunning; }

void ClearProductRunningFlagForTesting() { productRunning = false; }

}  // namespace korvanta
