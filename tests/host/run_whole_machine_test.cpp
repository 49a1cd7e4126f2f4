// The whole run on the simulated machine under the conditions a release
// engineer worries about: a locked target for every reported copy, each
// optional library or function missing, a profile write failing at each place
// one can happen, registry keys that refuse writes, malformed System.ini files
// and a source folder beyond the usual path length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/product_guard.h"
#include "install/run.h"
#include "platform/sim/sim_machine.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::RegistryValue;
using sim::SimMachine;

constexpr char Setup[] = "C:\\setup\\";
constexpr char PermissionMessage[] = "Unable to set permission for \"HKLM\\System\\Enum\\Root\" !";

// Every component file of the sample payload.
const char* const PayloadFiles[] = {
    "RUNDAVEK.VXD", "TALMUREN.DLL", "RUNDAVEK.INF", "RUNDAVEK.SYS", "RUNDAVEK.DLL",
    "RUNDAVEK.EXE", "WNASPI32.9x",  "WINASPI.9x",   "ASPIENUM.9x",  "APIX.9x",
    "ASPI32.NT",    "WNASPI32.NT",  "WINASPI.NT",   "WOWPOST.NT",   "MAYA51USB.INF",
    "PX_USB.INF",   "FTD2XX.DLL",   "FTD2XXUN.EXE", "FTD2XX.SYS"};

// A machine of the family laid out as the real one: on the 9x family the
// system folder is C:\WINDOWS\SYSTEM with a SYSTEM32\Drivers folder beside
// it, so that every reported copy can succeed; the full payload beside the
// installer.
void Prepare(SimMachine& machine, DWORD platform) {
  ClearProductRunningFlagForTesting();
  machine.SetPlatform(platform, platform == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5);
  if (platform == VER_PLATFORM_WIN32_WINDOWS) {
    machine.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
    machine.AddDirectory("C:\\WINDOWS\\SYSTEM32\\Drivers");
    machine.AddDirectory("C:\\WINDOWS\\SYSTEM\\IOSUBSYS");
  } else {
    // Enum\Root as Windows XP ships it: the system may write, Everyone read.
    static const char kList[] = {
        2, 0, 48, 0, 2, 0, 0, 0,
        0, 2, 20, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,
        0, 2, 20, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    machine.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root",
                                   {std::string(kList, sizeof kList), true});
  }
  for (const char* name : PayloadFiles) machine.AddFile(std::string(Setup) + name, name);
}

std::vector<std::string> BoxTexts(const SimMachine& machine) {
  std::vector<std::string> texts;
  for (const auto& box : machine.MessageBoxes()) texts.push_back(box.text);
  return texts;
}

TEST(WholeMachineTest, TheFullPayloadInstallsWithoutAMessageOnBothFamilies) {
  for (DWORD platform : {VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
    SimMachine machine;
    Prepare(machine, platform);
    EXPECT_EQ(InstallerMain(machine), 0) << platform;
    EXPECT_EQ(BoxTexts(machine), std::vector<std::string>()) << platform;
    EXPECT_EQ(machine.OpenHandleCount(), 0) << platform;
    EXPECT_EQ(machine.LoadedLibraryCount(), 0) << platform;
  }
}

// A target held open by another program is replaced at the restart, without
// a box; only when its staged copy fails too does its own message show. Every
// later copy still happens.
TEST(WholeMachineTest, ALockedTargetIsReplacedAtTheRestartOrShowsOnlyItsRowsMessage) {
  const struct {
    DWORD platform;
    const char* target;
    const char* message;
  } rows[] = {
      {VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS\\SYSTEM\\RUNDAVEK.VXD",
       "Unable to copy \"RUNDAVEK.VXD\" to Systemdirectory!"},
      {VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS\\SYSTEM\\TALMUREN.DLL",
       "Unable to copy \"TALMUREN.DLL\" to Systemdirectory!"},
      {VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS\\INF\\RUNDAVEK.INF",
       "Unable to copy \"RUNDAVEK.INF\" to INF directory !"},
      {VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS\\SYSTEM32\\Drivers\\FTD2XX.SYS",
       "Unable to copy \"FTD2XX.SYS\" to Drivers directory!"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\system32\\DRIVERS\\RUNDAVEK.SYS",
       "Unable to copy \"RUNDAVEK.SYS\" to Systemdirectory!"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\INF\\RUNDAVEK.INF",
       "Unable to copy \"RUNDAVEK.INF\" to INF directory !"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\INF\\MAYA51USB.INF",
       "Unable to copy \"MAYA51USB.INF\" to INF dirtectory !"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\INF\\PX_USB.INF",
       "Unable to copy \"PX_USB.INF\" to INF directory !"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\system32\\FTD2XX.DLL",
       "Unable to copy \"FTD2XX.DLL\" to System32 directory!"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\system32\\FTD2XXUN.EXE",
       "Unable to copy \"FTD2XXUN.EXE\" to System32 directory!"},
      {VER_PLATFORM_WIN32_NT, "C:\\WINDOWS\\system32\\drivers\\FTD2XX.SYS",
       "Unable to copy \"FTD2XX.SYS\" to Drivers directory!"},
  };
  for (const auto& row : rows) for (const bool stagingFails : {false, true}) {
    SimMachine machine;
    Prepare(machine, row.platform);
    machine.AddFile(row.target, "in use");
    machine.LockFile(row.target);
    const std::string target = row.target;
    const std::string name = target.substr(target.find_last_of('\\') + 1);
    // The staged copy: the name with its last letter dropped.
    if (stagingFails) machine.AddFault(Fault{"CopyFileA", ERROR_DISK_FULL, name.substr(0, name.size() - 1) + "\"", 1});
    EXPECT_EQ(InstallerMain(machine), 0) << row.target;
    EXPECT_EQ(BoxTexts(machine), stagingFails ? std::vector<std::string>{row.message}
                                              : std::vector<std::string>{})
        << row.target;
    EXPECT_EQ(machine.ReadFile(row.target), "in use") << row.target;
    machine.UnlockFile(row.target);
    machine.Restart();
    EXPECT_EQ(machine.ReadFile(row.target),
              stagingFails ? "in use" : name)
        << row.target;
    // The last row of the run still placed its file.
    if (std::string(row.target).find("FTD2XX.SYS") == std::string::npos) {
      EXPECT_TRUE(machine.FileExists(row.platform == VER_PLATFORM_WIN32_NT
                                         ? "C:\\WINDOWS\\system32\\drivers\\FTD2XX.SYS"
                                         : "C:\\WINDOWS\\SYSTEM32\\Drivers\\FTD2XX.SYS"))
          << row.target;
    }
  }
}

// A library or function that a Windows version lacks is no failure: the run
// goes on, and only the key access grant says it could not be made.
TEST(WholeMachineTest, EachMissingOptionalFunctionLetsTheRunGoOn) {
  const struct {
    DWORD platform;
    const char* library;
    const char* exportName;  // nullptr: the whole library is missing
    std::vector<std::string> boxes;
  } rows[] = {
      {VER_PLATFORM_WIN32_NT, "PSAPI.DLL", nullptr, {}},
      {VER_PLATFORM_WIN32_NT, "PSAPI.DLL", "GetModuleFileNameExA", {}},
      {VER_PLATFORM_WIN32_WINDOWS, "kernel32.dll", "CreateToolhelp32Snapshot", {}},
      {VER_PLATFORM_WIN32_WINDOWS, "kernel32.dll", "Process32Next", {}},
      {VER_PLATFORM_WIN32_NT, "NewDev.dll", nullptr, {}},
      {VER_PLATFORM_WIN32_NT, "NewDev.dll", "UpdateDriverForPlugAndPlayDevicesA", {}},
      {VER_PLATFORM_WIN32_NT, "advapi32.dll", "SetNamedSecurityInfoA", {PermissionMessage}},
      {VER_PLATFORM_WIN32_NT, "advapi32.dll", "GetNamedSecurityInfoA", {PermissionMessage}},
  };
  for (const auto& row : rows) {
    const std::string what = std::string(row.library) + " " + (row.exportName ? row.exportName : "");
    const bool guardBackEnd = std::string(row.library) == "PSAPI.DLL" ||
                              std::string(row.library) == "kernel32.dll";
    SimMachine machine;
    Prepare(machine, row.platform);
    // Without its back-end the guard cannot see a running suite program: the
    // run goes on as if none were running.
    if (guardBackEnd) machine.AddProcess("TAV.EXE", "C:\\Korvanta\\TAV.EXE");
    if (row.exportName) {
      machine.RemoveExport(row.library, row.exportName);
    } else {
      machine.RemoveLibrary(row.library);
    }
    EXPECT_EQ(InstallerMain(machine), 0) << what;
    EXPECT_EQ(BoxTexts(machine), row.boxes) << what;
    // The last stage before the CD ran, and the kernel's values are written
    // whatever the device installation or the grant did.
    EXPECT_TRUE(machine.FileExists(row.platform == VER_PLATFORM_WIN32_NT
                                       ? "C:\\WINDOWS\\system32\\drivers\\FTD2XX.SYS"
                                       : "C:\\WINDOWS\\SYSTEM32\\Drivers\\FTD2XX.SYS"))
        << what;
    if (row.platform == VER_PLATFORM_WIN32_NT) {
      EXPECT_EQ(machine.GetRegistryValue(HKEY_LOCAL_MACHINE,
                                         "SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK\\Enum",
                                         "Count"),
                (RegistryValue{REG_DWORD, std::string("\x01\0\0\0", 4)}))
          << what;
    }
    EXPECT_EQ(machine.LoadedLibraryCount(), 0) << what;
    EXPECT_EQ(machine.OpenHandleCount(), 0) << what;
  }
}

bool ChangesTheMachine(const std::string& call) {
  for (const char* operation :
       {"CopyFileA(", "DeleteFileA(", "SetFileAttributesA(", "MoveFileExA(",
        "WritePrivateProfileSectionA(", "WritePrivateProfileStringA(", "RegCreateKeyExA(",
        "RegSetValueExA(", "RegDeleteKeyA(", "SetNamedSecurityInfoA(",
        "SetupDiCallClassInstaller(", "UpdateDriverForPlugAndPlayDevicesA("}) {
    if (call.rfind(operation, 0) == 0) return true;
  }
  return false;
}

// Every profile value the 9x run writes, failing in turn: the error box names
// the file as the caller passed it, the exit code is 1, and nothing changes
// the machine after the failed write.
TEST(WholeMachineTest, AProfileWriteFailingAtEachPlaceEndsTheRunThere) {
  SimMachine reference;
  Prepare(reference, VER_PLATFORM_WIN32_WINDOWS);
  ASSERT_EQ(InstallerMain(reference), 0);
  // VCache (2), the engine's two renames and the ASPI layer's eight.
  const struct {
    const char* inArguments;
    const char* file;
    int places;
  } groups[] = {{"\"VCache\"", "System.ini", 2}, {"\"RENAME\"", "Wininit.ini", 10}};
  for (const auto& group : groups) {
    int written = 0;
    for (const std::string& call : reference.CallsTo("WritePrivateProfileStringA")) {
      written += call.find(group.inArguments) != std::string::npos;
    }
    ASSERT_EQ(written, group.places) << group.file;
    for (int place = 1; place <= group.places; ++place) {
      const std::string why = std::string(group.file) + " write " + std::to_string(place);
      SimMachine machine;
      Prepare(machine, VER_PLATFORM_WIN32_WINDOWS);
      machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_ACCESS_DENIED, group.inArguments, place});
      EXPECT_EQ(InstallerMain(machine), 1) << why;
      ASSERT_EQ(machine.MessageBoxes().size(), 1u) << why;
      EXPECT_EQ(machine.MessageBoxes()[0].caption, "Application Error") << why;
      const std::string& text = machine.MessageBoxes()[0].text;
      const std::string ending = std::string("\nUnable to write to ") + group.file + ".";
      EXPECT_EQ(text.substr(text.size() - ending.size()), ending) << why;
      // Nothing that changes the machine follows the failed write.
      const std::vector<std::string>& calls = machine.Calls();
      size_t failed = 0;
      int seen = 0;
      for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].rfind("WritePrivateProfileStringA(", 0) == 0 &&
            calls[i].find(group.inArguments) != std::string::npos && ++seen == place) {
          failed = i;
        }
      }
      ASSERT_GT(failed, 0u) << why;
      for (size_t i = failed + 1; i < calls.size(); ++i) {
        EXPECT_FALSE(ChangesTheMachine(calls[i])) << why << ": " << calls[i];
      }
      EXPECT_EQ(machine.LoadedLibraryCount(), 0) << why;
    }
  }
}

// Keys whose security refuses the installer: their values are not written,
// nothing is reported, and every other value still is.
TEST(WholeMachineTest, KeysThatRefuseWritesAreSkippedSilently) {
  const struct {
    DWORD platform;
    const char* refusing;
    const char* refusedValue;
    const char* stillWrittenKey;
    const char* stillWrittenValue;
  } rows[] = {
      {VER_PLATFORM_WIN32_NT, "Software\\Korvanta\\RUNDAVEK", "Enabled",
       "SYSTEM\\CurrentControlSet\\Services\\Aspi32", "Start"},
      {VER_PLATFORM_WIN32_NT, "SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK", "ImagePath",
       "Software\\Korvanta\\RUNDAVEK", "Enabled"},
      {VER_PLATFORM_WIN32_WINDOWS, "Enum\\Root\\REALTIME\\RUND", "Capabilities",
       "System\\CurrentControlSet\\Services\\Class\\REALTIME\\RUND", "DeviceDriver"},
      {VER_PLATFORM_WIN32_WINDOWS, "SYSTEM\\CurrentControlSet\\Services\\VXD\\ASPIEnum",
       "StaticVxD", "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Realtime Audio Engine"},
  };
  for (const auto& row : rows) {
    SimMachine machine;
    Prepare(machine, row.platform);
    machine.AddRegistryKey(HKEY_LOCAL_MACHINE, row.refusing);
    machine.DenyRegistryAccess(HKEY_LOCAL_MACHINE, row.refusing, KEY_SET_VALUE);
    EXPECT_EQ(InstallerMain(machine), 0) << row.refusing;
    EXPECT_EQ(BoxTexts(machine), std::vector<std::string>()) << row.refusing;
    EXPECT_FALSE(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, row.refusing, row.refusedValue))
        << row.refusing;
    EXPECT_TRUE(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, row.stillWrittenKey,
                                         row.stillWrittenValue))
        << row.refusing;
    EXPECT_EQ(machine.OpenHandleCount(), 0) << row.refusing;
  }
}

// System.ini as it may be found on an old machine: the VCache values go in,
// the kernel's device entry is disabled where it is whole, and no other line
// is lost.
TEST(WholeMachineTest, AMalformedSystemIniKeepsEveryLine) {
  const std::string longLine = "LongKey=" + std::string(20000, 'x');
  const struct {
    const char* what;
    std::string contents;
    std::vector<std::string> keptLines;
    bool disabled;
  } rows[] = {
      {"no sections", "device=rundavek.vxd\r\nloose line\r\n", {"device=rundavek.vxd", "loose line"}, false},
      {"entries without =",
       "[386Enh]\r\nno equals sign here\r\ndevice=rundavek.vxd\r\n",
       {"no equals sign here"}, true},
      {"a very long line",
       "[386Enh]\r\n" + longLine + "\r\ndevice=rundavek.vxd\r\n[boot]\r\nshell=Explorer.exe\r\n",
       {longLine, "shell=Explorer.exe"}, true},
  };
  for (const auto& row : rows) {
    SimMachine machine;
    Prepare(machine, VER_PLATFORM_WIN32_WINDOWS);
    machine.AddFile("C:\\WINDOWS\\SYSTEM.INI", row.contents);
    EXPECT_EQ(InstallerMain(machine), 0) << row.what;
    EXPECT_EQ(BoxTexts(machine), std::vector<std::string>()) << row.what;
    const std::string after = machine.ReadFile("C:\\WINDOWS\\SYSTEM.INI").value_or("");
    for (const std::string& line : row.keptLines) {
      EXPECT_NE(after.find(line), std::string::npos) << row.what << ": lost " << line.substr(0, 40);
    }
    EXPECT_EQ(after.find(";evice=rundavek.vxd") != std::string::npos, row.disabled) << row.what;
    EXPECT_NE(after.find("MinFileCache=20480"), std::string::npos) << row.what;
    EXPECT_NE(after.find("MaxFileCache=20480"), std::string::npos) << row.what;
  }
}

// A setup folder far below the root, its path longer than the 261 bytes the
// installer's path buffers start with: every component file is taken from the
// whole folder, never from a cut one.
TEST(WholeMachineTest, ADeeplyNestedSetupFolderIsUsedWhole) {
  std::string folder = "C:\\";
  for (int level = 0; level < 30; ++level) folder += "Level " + std::to_string(level) + "\\";
  ASSERT_GT(folder.size(), 261u);
  for (DWORD platform : {VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
    SimMachine machine;
    Prepare(machine, platform);
    machine.SetModulePath(folder + "korvanta-sysinstall.exe");
    for (const char* name : PayloadFiles) machine.AddFile(folder + name, std::string("deep ") + name);
    EXPECT_EQ(InstallerMain(machine), 0) << platform;
    EXPECT_EQ(BoxTexts(machine), std::vector<std::string>()) << platform;
    EXPECT_EQ(machine.ReadFile(platform == VER_PLATFORM_WIN32_NT ? "C:\\WINDOWS\\INF\\PX_USB.INF"
                                                                 : "C:\\WINDOWS\\INF\\PX_USB.INF"),
              "deep PX_USB.INF")
        << platform;
    for (const std::string& call : machine.CallsTo("CopyFileA")) {
      EXPECT_EQ(call.find("CopyFileA(\"" + folder), 0u) << call.substr(0, 80);
    }
  }
}

// Windows' own rules, each version's: files from a read-only CD and a
// read-only payload, a restart, a second run with new files and one more
// restart. Every file the runs placed is writable, and every one but the
// ASPI layer's (which a second run leaves alone) holds the second run's
// bytes, also with the 9x Windows folder under a long name, which only
// short names in Wininit.ini reach. On NT no key of the device branch lets
// a user who is not an administrator write, also on NT 4, where a key keeps
// the entries it copied from its parent when it was created.
TEST(WholeMachineTest, ReadOnlySourcesAndRestartsLeaveWritableNewFilesAndTheDeviceBranchShut) {
  const struct {
    const char* what;
    DWORD platform;
    DWORD major;
    const char* windows;  // nullptr: C:\WINDOWS
    std::vector<std::string> finals;  // files the restart puts in place
  } rows[] = {
      {"Windows 98 in C:\\Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, "C:\\Windows 98",
       {"C:\\Windows 98\\SYSTEM\\RUNDAVEK.DLL", "C:\\Windows 98\\SYSTEM\\RUNDAVEK.EXE",
        "C:\\Windows 98\\SYSTEM\\WNASPI32.DLL", "C:\\Windows 98\\SYSTEM\\IOSUBSYS\\APIX.VXD"}},
      {"Windows XP", VER_PLATFORM_WIN32_NT, 5, nullptr,
       {"C:\\WINDOWS\\system32\\RUNDAVEK.DLL", "C:\\WINDOWS\\system32\\drivers\\ASPI32.SYS"}},
      {"Windows NT 4", VER_PLATFORM_WIN32_NT, 4, nullptr,
       {"C:\\WINDOWS\\system32\\RUNDAVEK.EXE", "C:\\WINDOWS\\SYSTEM\\WINASPI.DLL"}},
  };
  const std::string app = "C:\\Program Files\\Korvanta";
  for (const auto& row : rows) {
    SimMachine machine;
    Prepare(machine, row.platform);
    machine.SetPlatform(row.platform, row.major);
    if (row.windows != nullptr) {
      const std::string windows = row.windows;
      machine.SetWindowsDirectory(windows);
      machine.SetSystemDirectory(windows + "\\SYSTEM");
      for (const char* folder : {"\\INF", "\\SYSTEM\\IOSUBSYS", "\\SYSTEM32\\Drivers"}) {
        machine.AddDirectory(windows + folder);
      }
    }
    machine.SetDriveType('D', DRIVE_CDROM);
    machine.AddDirectory(app);
    machine.SetCommandLine(std::string("\"") + korvanta::Setup + "korvanta-sysinstall.exe\" \"" + app + "\" Korvanta");
    for (const char* version : {"v1 ", "v2 "}) {
      for (const char* name : PayloadFiles) {
        machine.AddFile(std::string(korvanta::Setup) + name, version + std::string(name), FILE_ATTRIBUTE_READONLY);
      }
      for (const char* name : {"OEM\\TAVOEM.DLL", "DATA\\DOC\\Korvanta-en.pdf"}) {
        machine.AddFile(std::string("D:\\") + name, version + std::string(name), FILE_ATTRIBUTE_READONLY);
      }
      ClearProductRunningFlagForTesting();
      EXPECT_EQ(InstallerMain(machine), 0) << row.what;
      EXPECT_EQ(BoxTexts(machine), std::vector<std::string>()) << row.what << " " << version;
      machine.Restart();
    }

    for (const std::string& file : row.finals) EXPECT_TRUE(machine.FileExists(file)) << row.what << file;
    EXPECT_EQ(machine.ReadFile(app + "\\TAVOEM.DLL"), "v2 OEM\\TAVOEM.DLL") << row.what;
    for (const std::string& file : machine.Files()) {
      if (file.rfind(korvanta::Setup, 0) == 0 || file.rfind("D:\\", 0) == 0) continue;
      EXPECT_FALSE(machine.Attributes(file) & FILE_ATTRIBUTE_READONLY) << row.what << ": " << file;
      const bool aspi = file.find("ASPI") != std::string::npos || file.find("APIX") != std::string::npos ||
                        file.find("WOWPOST") != std::string::npos;
      if (!aspi) EXPECT_NE(machine.ReadFile(file)->rfind("v1 ", 0), 0u) << row.what << ": " << file;
    }

    if (row.platform != VER_PLATFORM_WIN32_NT) continue;
    std::vector<std::string> keys = {"SYSTEM\\CurrentControlSet\\Enum\\Root"};
    ASSERT_TRUE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, keys[0] + "\\REALTIME\\0000\\LogConf"));
    while (!keys.empty()) {
      const std::string key = keys.back();
      keys.pop_back();
      for (const std::string& sub : machine.RegistrySubKeys(HKEY_LOCAL_MACHINE, key)) keys.push_back(key + "\\" + sub);
      EXPECT_EQ(machine.RegistryAccessOfOthers(HKEY_LOCAL_MACHINE, key) &
                    (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC),
                0u)
          << row.what << ": " << key;
    }
  }
}

}  // namespace
}  // namespace korvanta
