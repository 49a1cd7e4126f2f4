// Libraries found at run time: which exist on which Windows, their exports,
// LoadLibraryExA / GetProcAddress / FreeLibrary, and the check that an operation
// reached through a looked-up address was given the right one.
#include <algorithm>
#include <stdexcept>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

enum class Availability { Always, NtOnly, Nt5AndLater, NotNt4, XpAndLater, NotWin95 };

struct KnownExport {
  const char* name;
  Availability availability;
};

struct KnownLibrary {
  const char* name;
  Availability availability;
  std::vector<KnownExport> exports;
};

// What the installer looks up. PSAPI.DLL does not exist on the 9x family and
// NewDev.dll not before Windows 2000; NT 4's kernel32 has no Toolhelp; the
// 9x family's advapi32 has no working token functions; a retail Windows 95
// has no setupapi.dll; the 9x family's user32 has no window stations.
const std::vector<KnownLibrary>& KnownLibraries() {
  static const std::vector<KnownLibrary> kLibraries = {
      {"kernel32.dll",
       Availability::Always,
       {{"CreateToolhelp32Snapshot", Availability::NotNt4},
        {"Process32First", Availability::NotNt4},
        {"Process32Next", Availability::NotNt4},
        // From XP SP2 on; the simulated machine knows no service packs.
        {"IsWow64Process", Availability::XpAndLater},
        {"GetFileInformationByHandle", Availability::Always}}},
      {"PSAPI.DLL",
       Availability::NtOnly,
       {{"EnumProcesses", Availability::Always},
        {"EnumProcessModules", Availability::Always},
        {"GetModuleFileNameExA", Availability::Always}}},
      {"advapi32.dll",
       Availability::Always,
       {{"SetNamedSecurityInfoA", Availability::Always},
        {"GetNamedSecurityInfoA", Availability::Always},
        {"CheckTokenMembership", Availability::Nt5AndLater},
        {"OpenProcessToken", Availability::NtOnly},
        {"GetTokenInformation", Availability::NtOnly}}},
      {"NewDev.dll",
       Availability::Nt5AndLater,
       {{"UpdateDriverForPlugAndPlayDevicesA", Availability::Always}}},
      {"setupapi.dll",
       Availability::NotWin95,
       {{"SetupDiGetClassDevsA", Availability::Always},
        {"SetupDiEnumDeviceInfo", Availability::Always},
        {"SetupDiGetDeviceRegistryPropertyA", Availability::Always},
        {"SetupDiDestroyDeviceInfoList", Availability::Always},
        {"SetupDiGetINFClassA", Availability::Always},
        {"SetupDiCreateDeviceInfoList", Availability::Always},
        {"SetupDiCreateDeviceInfoA", Availability::Always},
        {"SetupDiSetDeviceRegistryPropertyA", Availability::Always},
        {"SetupDiCallClassInstaller", Availability::Always}}},
      // The 9x family has no window stations.
      {"user32.dll",
       Availability::Always,
       {{"GetProcessWindowStation", Availability::NtOnly},
        {"GetUserObjectInformationA", Availability::NtOnly}}},
  };
  return kLibraries;
}

bool Available(const SimMachine::State& s, Availability availability) {
  switch (availability) {
    case Availability::Always:
      return true;
    case Availability::NtOnly:
      return !s.Is9x();
    case Availability::Nt5AndLater:
      return !s.Is9x() && s.majorVersion >= 5;
    case Availability::NotNt4:
      return s.Is9x() || s.majorVersion >= 5;
    case Availability::NotWin95:
      return !(s.Is9x() && s.majorVersion == 4 && s.minorVersion == 0);
    case Availability::XpAndLater:
      return !s.Is9x() && (s.majorVersion > 5 || (s.majorVersion == 5 && s.minorVersion >= 1));
  }
  return false;
}

// "newdev", "NEWDEV.DLL" and "C:\\WINDOWS\\system32\\newdev.dll" name the
// same library.
std::string CanonicalName(std::string_view name) {
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string_view::npos) name = name.substr(slash + 1);
  std::string upper = Upper(name);
  if (upper.find('.') == std::string::npos) upper += ".DLL";
  return upper;
}

const KnownLibrary* FindKnown(std::string_view name, size_t* index) {
  const std::string wanted = CanonicalName(name);
  const auto& libraries = KnownLibraries();
  for (size_t i = 0; i < libraries.size(); ++i) {
    if (Upper(libraries[i].name) == wanted) {
      *index = i;
      return &libraries[i];
    }
  }
  return nullptr;
}

bool LibraryPresent(const SimMachine::State& s, const KnownLibrary& known) {
  return Available(s, known.availability) && !s.removedLibraries.count(Upper(known.name));
}

bool ExportPresent(const SimMachine::State& s, const KnownLibrary& library, const KnownExport& exp) {
  return Available(s, exp.availability) && !s.removedExports.count({Upper(library.name), exp.name});
}

FARPROC ExportAddress(const LibraryState& library, size_t exportIndex) {
  return reinterpret_cast<FARPROC>(library.base + 0x1000 + 0x10 * exportIndex);
}

}  // namespace

void SimMachine::State::InitLibraries() {
  for (size_t i = 0; i < KnownLibraries().size(); ++i) {
    LibraryState library;
    library.name = KnownLibraries()[i].name;
    library.base = 0x10000000 + 0x01000000 * i;
    libraries.push_back(library);
  }
}

bool SimMachine::State::CheckProc(FARPROC proc, const char* library, const char* exportName) const {
  // A null address fails as a missing export would, the same as the real
  // operations do.
  if (proc == nullptr) return false;
  size_t index = 0;
  const KnownLibrary* known = FindKnown(library, &index);
  bool ok = false;
  for (size_t e = 0; known != nullptr && e < known->exports.size(); ++e) {
    const LibraryState& state = libraries[index];
    ok = ok || (std::string_view(known->exports[e].name) == exportName && state.references > 0 &&
                proc == ExportAddress(state, e));
  }
  if (!ok) {
    // Any other address than the one GetProcAddress handed out for this
    // export, or one used after the library was freed, would crash on Windows.
    throw std::logic_error(std::string("SimMachine: ") + exportName +
                           " called through an address not obtained from GetProcAddress(" +
                           library + ") while the library is loaded");
  }
  return true;
}

void SimMachine::RemoveLibrary(const std::string& name) {
  state_->removedLibraries.insert(CanonicalName(name));
}

void SimMachine::RemoveExport(const std::string& library, const std::string& exportName) {
  state_->removedExports.insert({CanonicalName(library), exportName});
}

int SimMachine::LoadedLibraryCount() const {
  int count = 0;
  for (const LibraryState& library : state_->libraries) count += library.references;
  return count;
}

HMODULE SimMachine::LoadLibraryExA(const char* name, HANDLE file, DWORD flags) {
  State& s = *state_;
  if (auto error = s.Record("LoadLibraryExA", JoinArgs({name, file, flags}))) {
    s.lastError = *error;
    return nullptr;
  }
  size_t index = 0;
  const KnownLibrary* known = name ? FindKnown(name, &index) : nullptr;
  // Windows' own libraries lie in the system folder; a path to any other
  // folder names a file this machine does not have.
  const std::string_view given = name ? name : "";
  const size_t slash = given.find_last_of("\\/");
  const bool inSystemFolder =
      slash == std::string_view::npos || IEquals(given.substr(0, slash), s.systemDirectory);
  if (known == nullptr || !inSystemFolder || !LibraryPresent(s, *known)) {
    // The 9x family has its own code for a library that is not there.
    s.lastError = s.Is9x() ? error::kDllNotFound : ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  LibraryState& library = s.libraries[index];
  ++library.references;
  return reinterpret_cast<HMODULE>(library.base);
}

FARPROC SimMachine::GetProcAddress(HMODULE module, const char* name) {
  State& s = *state_;
  if (auto error = s.Record("GetProcAddress", JoinArgs({module, name}))) {
    s.lastError = *error;
    return nullptr;
  }
  for (size_t i = 0; i < s.libraries.size(); ++i) {
    LibraryState& library = s.libraries[i];
    if (library.base != reinterpret_cast<uintptr_t>(module) || library.references == 0) continue;
    const KnownLibrary& known = KnownLibraries()[i];
    for (size_t e = 0; name != nullptr && e < known.exports.size(); ++e) {
      // Export names are compared exactly, letter case included.
      if (std::string_view(known.exports[e].name) == name && ExportPresent(s, known, known.exports[e])) {
        return ExportAddress(library, e);
      }
    }
    s.lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  s.lastError = ERROR_MOD_NOT_FOUND;
  return nullptr;
}

BOOL SimMachine::FreeLibrary(HMODULE module) {
  State& s = *state_;
  if (auto error = s.Record("FreeLibrary", JoinArgs({module}))) {
    s.lastError = *error;
    return FALSE;
  }
  for (LibraryState& library : s.libraries) {
    if (library.base == reinterpret_cast<uintptr_t>(module) && library.references > 0) {
      --library.references;
      return TRUE;
    }
  }
  s.lastError = ERROR_MOD_NOT_FOUND;
  return FALSE;
}

}  // namespace korvanta::sim
