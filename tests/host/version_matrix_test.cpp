// The rows of the version matrix that only the simulated machine can show:
// what a real Windows version lacks and Wine cannot take away (NT 3.51's and
// NT 4's kernel32 have no Toolhelp functions; Windows 95 before its updates
// is taken without the run-time lookups that only the NT family's path may
// need, SetNamedSecurityInfoA among them). Each profile
// runs the whole installer twice, as the matrix does under Wine: once with
// the full payload and the read-only CD (a placed file must be writable),
// once with one of the suite's applications
// running. The observations are recorded as test properties, which
// tests/compat/compat.py reads from the JSON report to print them beside the
// Wine rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "install/product_guard.h"
#include "install/run.h"
#include "platform/sim/sim_machine.h"

namespace korvanta {
namespace {

using sim::SimMachine;

struct VersionProfile {
  const char* name;  // the matrix's name of the version
  DWORD platformId;
  DWORD major;
  DWORD minor;
  std::vector<const char*> missingLibraries;
  std::vector<std::pair<const char*, const char*>> missingExports;  // library, export
  const char* hidden;  // the same, as the matrix's table shows it
  // What the run must show on it.
  const char* backend;  // the guard's back-end: "PSAPI" or "Toolhelp"
  bool guardStops;      // false where that back-end is missing
  const char* device;   // "yes", "no" (no NewDev: the new node is removed again), "n/a" (9x)
};

// Test names and failure messages name the profile, not its bytes.
void PrintTo(const VersionProfile& profile, std::ostream* out) { *out << profile.name; }

const VersionProfile Profiles[] = {
    {"win95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, {"PSAPI.DLL", "NewDev.dll", "setupapi.dll"},
     {{"advapi32.dll", "SetNamedSecurityInfoA"}}, "psapi, newdev, setupapi, security", "Toolhelp",
     true, "n/a"},
    {"nt351", VER_PLATFORM_WIN32_NT, 3, 51, {"PSAPI.DLL", "NewDev.dll"},
     {{"kernel32.dll", "CreateToolhelp32Snapshot"}, {"kernel32.dll", "Process32First"},
      {"kernel32.dll", "Process32Next"}}, "psapi, newdev, toolhelp", "Toolhelp", false, "no"},
    {"nt40", VER_PLATFORM_WIN32_NT, 4, 0, {"NewDev.dll"},
     {{"kernel32.dll", "CreateToolhelp32Snapshot"}, {"kernel32.dll", "Process32First"},
      {"kernel32.dll", "Process32Next"}}, "newdev, toolhelp", "PSAPI", true, "no"},
};

constexpr char GuardMessage[] =
    "Please close your software, restart your machine and run setup again !";
constexpr char HardwareId[] = "*korvanta\\rundavek";

// What each family's run writes (key below HKEY_LOCAL_MACHINE, value names).
struct ExpectedKey {
  const char* key;
  std::vector<const char*> names;
};
#define NT_CLASS "SYSTEM\\CurrentControlSet\\Control\\Class\\{3E36E96C-E325-12CE-BFC1-07002BE10326}"
#define NT_INSTANCE "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000"
const ExpectedKey EngineKeys[] = {
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Run", {"Realtime Audio Engine"}},
    {"Software\\Korvanta\\RUNDAVEK", {"Enabled", "Config"}},
};
const ExpectedKey NtKeys[] = {
    {NT_CLASS, {"", "Class", "Icon"}},
    {NT_CLASS "\\0000",
     {"InfPath", "InfSection", "InfSectionExt", "ProviderName", "MatchingDeviceId", "DriverDesc"}},
    {NT_INSTANCE,
     {"ClassGUID", "HardwareID", "FriendlyName", "Class", "Mfg", "Service", "DeviceDesc",
      "ConfigFlags", "Capabilities", "Driver"}},
    {NT_INSTANCE "\\Device Parameters", {""}},
    {NT_INSTANCE "\\LogConf", {""}},
    {NT_INSTANCE "\\Control", {"ActiveService"}},
    {"SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK", {"Type", "Start", "ErrorControl", "ImagePath"}},
    {"SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK\\Enum", {"0", "Count", "NextInstance"}},
    {"SYSTEM\\CurrentControlSet\\Services\\Aspi32",
     {"Type", "Start", "Undoable", "ErrorControl", "MatchFlags"}},
    {"SYSTEM\\CurrentControlSet\\Services\\Aspi32\\Parameters", {"ExcludeMiniports"}},
};
const ExpectedKey NineXKeys[] = {
    {"System\\CurrentControlSet\\Services\\Class\\REALTIME", {""}},
    {"System\\CurrentControlSet\\Services\\Class\\REALTIME\\RUND",
     {"Icon", "DevLoader", "PortName", "DeviceDriver", "DeviceDesc", "DriverDesc", "InfPath",
      "InfSection", "ProviderName"}},
    {"Enum\\Root\\REALTIME\\RUND",
     {"Class", "Driver", "Mfg", "DeviceDesc", "ConfigFlags", "Capabilities"}},
    {"SYSTEM\\CurrentControlSet\\Services\\VXD\\ASPIEnum", {"Start", "StaticVxD"}},
    {"SYSTEM\\CurrentControlSet\\Services\\VXD\\APIX", {"ExcludeMiniports"}},
};

// Target, and the source file whose bytes it must hold.
const std::vector<std::pair<const char*, const char*>> SharedFiles = {
    {"C:\\WINDOWS\\INF\\RUNDAVEK.INF", "RUNDAVEK.INF"},
    {"C:\\WINDOWS\\INF\\MAYA51USB.INF", "MAYA51USB.INF"},
    {"C:\\WINDOWS\\INF\\PX_USB.INF", "PX_USB.INF"},
    {"C:\\App\\TAVOEM.DLL", "OEM\\TAVOEM.DLL"},
    {"C:\\App\\Manual-de.pdf", "DATA\\DOC\\Manual-de.pdf"},
    {"C:\\App\\Manual-en.pdf", "DATA\\DOC\\Manual-en.pdf"},
};
const std::vector<std::pair<const char*, const char*>> NtFiles = {
    {"C:\\WINDOWS\\system32\\DRIVERS\\RUNDAVEK.SYS", "RUNDAVEK.SYS"},
    {"C:\\WINDOWS\\system32\\Drivers\\ASPI32.NT", "ASPI32.NT"},
    {"C:\\WINDOWS\\system32\\WNASPI32.NT", "WNASPI32.NT"},
    {"C:\\WINDOWS\\SYSTEM\\WINASPI.NT", "WINASPI.NT"},
    {"C:\\WINDOWS\\SYSTEM\\WOWPOST.NT", "WOWPOST.NT"},
    {"C:\\WINDOWS\\system32\\RUNDAVEK.DL", "RUNDAVEK.DLL"},
    {"C:\\WINDOWS\\system32\\RUNDAVEK.EX", "RUNDAVEK.EXE"},
    {"C:\\WINDOWS\\system32\\FTD2XX.DLL", "FTD2XX.DLL"},
    {"C:\\WINDOWS\\system32\\FTD2XXUN.EXE", "FTD2XXUN.EXE"},
    {"C:\\WINDOWS\\system32\\Drivers\\FTD2XX.SYS", "FTD2XX.SYS"},
};
const std::vector<std::pair<const char*, const char*>> NineXFiles = {
    {"C:\\WINDOWS\\SYSTEM\\RUNDAVEK.VXD", "RUNDAVEK.VXD"},
    {"C:\\WINDOWS\\SYSTEM\\TALMUREN.DLL", "TALMUREN.DLL"},
    {"C:\\WINDOWS\\SYSTEM\\WNASPI32.9x", "WNASPI32.9x"},
    {"C:\\WINDOWS\\SYSTEM\\WINASPI.9x", "WINASPI.9x"},
    {"C:\\WINDOWS\\SYSTEM\\ASPIENUM.9x", "ASPIENUM.9x"},
    {"C:\\WINDOWS\\SYSTEM\\IOSUBSYS\\APIX.9x", "APIX.9x"},
    {"C:\\WINDOWS\\SYSTEM\\RUNDAVEK.DL", "RUNDAVEK.DLL"},
    {"C:\\WINDOWS\\SYSTEM\\RUNDAVEK.EX", "RUNDAVEK.EXE"},
    {"C:\\WINDOWS\\SYSTEM\\FTD2XX.DLL", "FTD2XX.DLL"},
    {"C:\\WINDOWS\\SYSTEM\\FTD2XXUN.EXE", "FTD2XXUN.EXE"},
    {"C:\\WINDOWS\\SYSTEM32\\Drivers\\FTD2XX.SYS", "FTD2XX.SYS"},
};
const char* const PayloadFiles[] = {
    "APIX.9x",      "ASPI32.NT",    "ASPIENUM.9x",  "FTD2XX.DLL",   "FTD2XX.SYS",
    "FTD2XXUN.EXE", "MAYA51USB.INF", "PX_USB.INF",  "RUNDAVEK.DLL", "RUNDAVEK.EXE",
    "RUNDAVEK.INF", "RUNDAVEK.SYS", "RUNDAVEK.VXD", "TALMUREN.DLL", "WINASPI.9x",
    "WINASPI.NT",   "WNASPI32.9x",  "WNASPI32.NT",  "WOWPOST.NT"};
const char* const CdFiles[] = {"OEM\\TAVOEM.DLL", "DATA\\DOC\\Manual-de.pdf",
                               "DATA\\DOC\\Manual-en.pdf"};

std::string Contents(const std::string& name) { return "contents of " + name; }

// A machine of the profile as the suite's setup leaves it: the payload beside
// the installer, the CD in drive D:, the application folder, the command line.
void Prepare(SimMachine& machine, const VersionProfile& profile) {
  machine.SetPlatform(profile.platformId, profile.major, profile.minor);
  for (const char* library : profile.missingLibraries) machine.RemoveLibrary(library);
  for (const auto& [library, name] : profile.missingExports) machine.RemoveExport(library, name);
  if (profile.platformId == VER_PLATFORM_WIN32_WINDOWS) {
    machine.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
    machine.AddDirectory("C:\\WINDOWS\\SYSTEM\\IOSUBSYS");
    machine.AddDirectory("C:\\WINDOWS\\SYSTEM32\\Drivers");
  }
  for (const char* name : PayloadFiles) machine.AddFile(std::string("C:\\setup\\") + name, Contents(name));
  machine.SetDriveType('D', DRIVE_CDROM);
  // Every file on a CD-ROM is read-only.
  for (const char* name : CdFiles) {
    machine.AddFile(std::string("D:\\") + name, Contents(name), FILE_ATTRIBUTE_READONLY);
  }
  machine.AddFile("C:\\App\\HISTORY.TXT", "history");
  machine.SetCommandLine("\"C:\\setup\\korvanta-sysinstall.exe\" C:\\App Manual");
}

// Which back-end the guard reached for: the first of the two it looks up.
std::string GuardBackend(const SimMachine& machine) {
  for (const std::string& call : machine.Calls()) {
    // The process list's first function looked up names the back-end (the
    // run loads kernel32 for other lookups too).
    if (call.rfind("GetProcAddress(", 0) != 0) continue;
    if (call.find("\"EnumProcesses\"") != std::string::npos) return "PSAPI";
    if (call.find("\"CreateToolhelp32Snapshot\"") != std::string::npos) return "Toolhelp";
  }
  return "none";
}

// Each run of the installer is a process of its own, which starts with the
// guard's running flag clear.
int RunInstaller(SimMachine& machine) {
  ClearProductRunningFlagForTesting();
  return InstallerMain(machine);
}

class VersionMatrix : public testing::TestWithParam<VersionProfile> {};

TEST_P(VersionMatrix, InstallsAndGuardsAsTheVersionAllows) {
  const VersionProfile& profile = GetParam();
  const bool nineX = profile.platformId == VER_PLATFORM_WIN32_WINDOWS;
  RecordProperty("version", profile.name);
  RecordProperty("hidden", profile.hidden);
  RecordProperty("platform", std::to_string(profile.platformId));
  RecordProperty("major", std::to_string(profile.major));

  // The installation with the full payload.
  SimMachine machine;
  Prepare(machine, profile);
  EXPECT_EQ(RunInstaller(machine), 0);
  EXPECT_EQ(machine.MessageBoxes().size(), 0u) << (machine.MessageBoxes().empty() ? "" : machine.MessageBoxes()[0].text);
  RecordProperty("boxes", std::to_string(machine.MessageBoxes().size()));

  int expectedValues = 0, writtenValues = 0;
  auto countValues = [&](const ExpectedKey& expected) {
    for (const char* name : expected.names) {
      ++expectedValues;
      const bool found = machine.GetRegistryValue(HKEY_LOCAL_MACHINE, expected.key, name).has_value();
      writtenValues += found;
      EXPECT_TRUE(found) << expected.key << " : " << name;
    }
  };
  for (const ExpectedKey& key : EngineKeys) countValues(key);
  if (nineX) {
    for (const ExpectedKey& key : NineXKeys) countValues(key);
  } else {
    for (const ExpectedKey& key : NtKeys) countValues(key);
  }
  RecordProperty("values", std::to_string(writtenValues) + "/" + std::to_string(expectedValues));

  int expectedFiles = 0, placedFiles = 0;
  auto countFiles = [&](const std::vector<std::pair<const char*, const char*>>& files) {
    for (const auto& [target, source] : files) {
      ++expectedFiles;
      const bool placed = machine.ReadFile(target) == Contents(source) &&
                          !(machine.Attributes(target) & FILE_ATTRIBUTE_READONLY);
      placedFiles += placed;
      EXPECT_TRUE(placed) << target;
    }
  };
  countFiles(SharedFiles);
  countFiles(nineX ? NineXFiles : NtFiles);
  EXPECT_FALSE(machine.FileExists("C:\\App\\HISTORY.TXT"));
  RecordProperty("files", std::to_string(placedFiles) + "/" + std::to_string(expectedFiles));

  std::string device = "n/a";
  if (!nineX) {
    device = "no";
    for (const sim::SimDevice& node : machine.Devices()) {
      if (node.hardwareIdsMultiSz.find(HardwareId) != std::string::npos) {
        device = node.driverUpdates > 0 ? "yes" : "no (node left without a driver)";
      }
    }
  }
  EXPECT_EQ(device, profile.device);
  RecordProperty("device", device);

  // The round trip: a restart, the uninstall and another restart leave the
  // machine as before the installation, but for the parts that stay (the
  // ASPI layer, the USB support files, the disk cache, the application
  // folder) and Windows 9x's copy of its last restart's list.
  {
    SimMachine fresh;
    Prepare(fresh, profile);
    const std::map<std::string, std::string> before = fresh.Places();
    machine.Restart();
    machine.SetCommandLine("\"C:\\setup\\korvanta-sysinstall.exe\" /uninstall");
    EXPECT_EQ(RunInstaller(machine), 0);
    EXPECT_EQ(machine.MessageBoxes().size(), 0u);
    machine.Restart();
    const std::map<std::string, std::string> after = machine.Places();
    std::vector<std::string> left;
    for (const std::map<std::string, std::string>* places : {&before, &after}) {
      for (const auto& [place, content] : *places) {
        const auto other = (places == &before ? after : before).find(place);
        if (other != (places == &before ? after : before).end() && other->second == content)
          continue;
        std::string upper = place;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        bool kept = false;
        for (const char* part : {"ASPI", "APIX", "WOWPOST", "MAYA51USB", "PX_USB", "FTD2XX",
                                 "[VCACHE]", "C:\\APP\\", "WININIT.BAK"}) {
          kept = kept || upper.find(part) != std::string::npos;
        }
        // The file that holds the disk-cache setting stays with it.
        kept = kept || upper.ends_with("\\SYSTEM.INI");
        if (!kept) left.push_back(place);
      }
    }
    for (const std::string& place : left) {
      const auto is = after.find(place);
      ADD_FAILURE() << "after the round trip: " << place << " is "
                    << (is == after.end() ? "(gone)" : is->second);
    }
    RecordProperty("uninstall",
                   left.empty() ? "yes" : std::to_string(left.size()) + " places left");
  }

  // The same machine with one of the suite's applications running.
  SimMachine guarded;
  Prepare(guarded, profile);
  guarded.AddProcess("TAV.EXE", "C:\\Program Files\\Korvanta\\TAV.EXE");
  EXPECT_EQ(RunInstaller(guarded), 0);
  const bool stopped = guarded.MessageBoxes().size() == 1 && guarded.MessageBoxes()[0].text == GuardMessage;
  EXPECT_EQ(stopped, profile.guardStops);
  EXPECT_EQ(guarded.FileExists("C:\\App\\HISTORY.TXT"), stopped) << "a stopped run changes nothing";
  const std::string backend = GuardBackend(guarded);
  EXPECT_EQ(backend, profile.backend);
  RecordProperty("stopped", stopped ? "yes" : "no");
  RecordProperty("backend", backend);
}

INSTANTIATE_TEST_SUITE_P(Profiles, VersionMatrix, testing::ValuesIn(Profiles),
                         [](const testing::TestParamInfo<VersionProfile>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvanta
