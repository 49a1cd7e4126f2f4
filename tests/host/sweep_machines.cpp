#include "sweep_machines.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "install/product_guard.h"
#include "install/run.h"

namespace korvanta::sweep {

using sim::RegistryValue;
using sim::SimMachine;

namespace {

// The files of one folder of the examples, by path relative to it.
std::map<std::string, std::string> ExampleFiles(const std::string& folder) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> files;
  const fs::path root = fs::path(KORVANTA_EXAMPLES_DIR) / folder;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::string relative = fs::relative(entry.path(), root).string();
    for (char& c : relative) c = c == '/' ? '\\' : c;
    std::ifstream in(entry.path(), std::ios::binary);
    files[relative].assign(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

std::string Sz(const std::string& text) { return text + '\0'; }

constexpr char kOtherDeviceIdList[] = "PCI\\VEN_1102&DEV_0002\0PCI\\VEN_1102\0";
const std::string kOtherDeviceIds(kOtherDeviceIdList, sizeof kOtherDeviceIdList);

}  // namespace

// A machine that has lived a while: settings of an earlier engine, other
// entries in System.ini, other processes and devices.
void Prepare(SimMachine& machine, const Scenario& scenario) {
  static const std::map<std::string, std::string> payload = ExampleFiles("payload");
  static const std::map<std::string, std::string> cd = ExampleFiles("cd");

  if (scenario.nineX) {
    machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    machine.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
    machine.AddDirectory("C:\\WINDOWS\\SYSTEM\\IOSUBSYS");
    machine.AddDirectory("C:\\WINDOWS\\SYSTEM32\\Drivers");
  }
  if (scenario.noTokenMembership) machine.RemoveExport("advapi32.dll", "CheckTokenMembership");
  machine.AddFile(std::string(kSourceDir) + kExe, "MZ");
  // An older driver library that someone made read-only.
  machine.AddFile(std::string(scenario.nineX ? "C:\\WINDOWS\\SYSTEM" : "C:\\WINDOWS\\system32") +
                      "\\FTD2XX.DLL",
                  "old", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  machine.AddFile("C:\\WINDOWS\\SYSTEM.INI",
                  "[boot]\r\nshell=Explorer.exe\r\n"
                  "[386Enh]\r\ndevice=*vpicd\r\ndevice=rundavek.vxd\r\nkeyboard=*keyboard\r\n"
                  "[vcache]\r\nchunksize=512\r\n");
  for (const char* key : {"Software\\Korvanta\\Engine\\Devices\\In", "Software\\Korvanta\\Engine\\Paths"}) {
    machine.SetRegistryValue(HKEY_CURRENT_USER, key, "Last", {REG_SZ, Sz("1")});
  }
  machine.SetRegistryValue(HKEY_CURRENT_USER, "Software\\Korvanta\\Editor", "Zoom", {REG_SZ, Sz("2")});
  machine.SetRegistryValue(HKEY_LOCAL_MACHINE, "Software\\Korvanta\\RUNDAVEK", "Config",
                           {REG_BINARY, std::string("\x01\x02\x03\x04", 4)});
  // Enum\Root as Windows XP ships it: the system may write, Everyone read;
  // protected from the entries above.
  static const char kEnumRootList[] = {
      2, 0, 48, 0, 2, 0, 0, 0,                                                   // 2 entries
      0, 2, 20, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,       // SYSTEM: all
      0, 2, 20, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};      // Everyone: read
  if (!scenario.nineX) {
    machine.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root",
                                   {std::string(kEnumRootList, sizeof kEnumRootList), true});
  }
  machine.AddProcess("EXPLORER.EXE", "C:\\WINDOWS\\EXPLORER.EXE");
  machine.AddProcess("svchost.exe", "C:\\WINDOWS\\system32\\svchost.exe", false);
  machine.AddDevice({"PCI\\VEN_1102&DEV_0002\\3&61AAA01&0&48", GUID{}, true, true,
                     kOtherDeviceIds, "", 0});
  machine.AddDevice({"ROOT\\LEGACY_BEEP\\0000", GUID{}, true, false, "", "", 0});

  if (scenario.samplePayload) {
    for (const auto& [name, bytes] : payload) {
      machine.AddFile(kSourceDir + name, bytes,
                      scenario.readOnlyPayload ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
    }
    machine.SetDriveType('D', DRIVE_CDROM);
    // Every file on a CD-ROM is read-only.
    for (const auto& [name, bytes] : cd) machine.AddFile("D:\\" + name, bytes, FILE_ATTRIBUTE_READONLY);
    machine.AddFile(std::string(kAppDir) + "\\HISTORY.TXT", "old");
    machine.SetCommandLine(std::string("\"") + kSourceDir + kExe + "\" \"" + kAppDir + "\" Korvanta");
  } else {
    machine.SetCommandLine(std::string(kSourceDir) + kExe);
  }
  if (scenario.ranBefore || scenario.uninstall) {
    ReadyForSetup(machine);
    InstallerMain(machine);
  }
  if (scenario.uninstall) {
    machine.Restart();
    SetUninstallCommandLine(machine);
  }
  ReadyForSetup(machine);
}

void SetUninstallCommandLine(SimMachine& machine) {
  machine.SetCommandLine(std::string("\"") + kSourceDir + kExe + "\" /UnInstall");
}

void ReadyForSetup(SimMachine& machine) {
  machine.SetErrorMode(kStartErrorMode);
  ClearProductRunningFlagForTesting();
  machine.ClearCalls();
}

Outcome RunInstaller(SimMachine& machine) {
  Outcome outcome;
  try {
    outcome.exitCode = InstallerMain(machine);
  } catch (const sim::SimulatedExit& exit) {
    outcome.crash = "ExitProcess(" + std::to_string(exit.exitCode) + ") inside the run";
  } catch (const std::exception& error) {
    outcome.crash = error.what();
  } catch (...) {
    outcome.crash = "an exception of unknown type";
  }
  return outcome;
}

using Places = std::map<std::string, std::string>;
using Changes = std::map<std::string, std::optional<std::string>>;  // none: removed

Changes ChangesBetween(const Places& before, const Places& after) {
  Changes changes;
  for (const auto& [place, content] : after) {
    const auto old = before.find(place);
    if (old == before.end() || old->second != content) changes[place] = content;
  }
  for (const auto& [place, content] : before) {
    if (!after.count(place)) changes[place] = std::nullopt;
  }
  return changes;
}

std::string Shown(const std::optional<std::string>& content) {
  if (!content) return "(gone)";
  return content->size() > 60 ? "\"" + content->substr(0, 60) + "...\"" : "\"" + *content + "\"";
}

}  // namespace korvanta::sweep
