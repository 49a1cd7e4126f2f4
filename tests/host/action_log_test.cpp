// The action log on the simulated machine: how each kind of argument is
// written, the header, the stage markers and the exit code, and that a log
// which cannot be written leaves the run as it is without one.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "install/action_log.h"
#include "platform/logging/logging_platform_ops.h"
#include "install/run.h"
#include "install/version.h"
#include "platform/sim/sim_machine.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

// The log file kept in memory; it refuses every line from `failFrom` on, as a
// full disk or a file taken away would.
class MemoryLogFile : public LogFile {
 public:
  explicit MemoryLogFile(size_t failFrom = SIZE_MAX) : failFrom_(failFrom) {}
  bool AppendLine(const std::string& line) override {
    if (lines.size() >= failFrom_) return false;
    lines.push_back(line);
    return true;
  }
  LogTime LocalTime() override { return LogTime{2024, 5, 1, 9, 5, 7}; }
  std::vector<std::string> lines;

 private:
  size_t failFrom_;
};

std::string HexOf(const void* handle) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIXPTR, reinterpret_cast<uintptr_t>(handle));
  return text;
}

// The operation of a log line ("00012 CopyFileA(...) = TRUE") or of a call of
// the simulated machine ("CopyFileA(...)").
std::string OperationName(const std::string& line) {
  const size_t start = line.find(' ') != std::string::npos && line[0] >= '0' && line[0] <= '9'
                           ? line.find(' ') + 1
                           : 0;
  return line.substr(start, line.find('(') - start);
}

// The calls of two runs, with the addresses of memory blocks (SIDs, process
// lists, security descriptors), which differ from run to run, left out. The
// simulated machine's own handles are far smaller numbers.
std::vector<std::string> WithoutBlockAddresses(std::vector<std::string> calls) {
  static const std::regex address("\\b[0-9]{12,}\\b");
  for (std::string& call : calls) call = std::regex_replace(call, address, "block");
  return calls;
}

std::vector<std::string> Numbered(const std::vector<std::string>& lines) {
  std::vector<std::string> result;
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] >= '0' && line[0] <= '9') result.push_back(line);
  }
  return result;
}

std::vector<std::string> Starting(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> result;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) result.push_back(line.substr(prefix.size()));
  }
  return result;
}

TEST(ActionLogLine, EachKindOfArgument) {
  SimMachine machine;
  machine.AddFile("C:\\setup\\LOCKED.DLL", "x");
  machine.AddDirectory("C:\\Program Files");
  machine.AddFault(Fault{"CopyFileA", ERROR_SHARING_VIOLATION, "LOCKED", 1});
  MemoryLogFile file;
  ActionLog log(file);
  const std::unique_ptr<PlatformOps> logged = MakeLoggingPlatformOps(machine, log);
  PlatformOps& ops = *logged;

  // Blanks, quotes, control bytes and high bytes; a flag set; null pointers.
  ops.MessageBoxA(nullptr, "Unable to copy \"A\x80\xFF.DLL\" to\tSystem!\n", "Korvanta Installation",
                  MB_OK | MB_ICONSTOP);
  ops.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ops.WritePrivateProfileStringA("VCache", nullptr, nullptr, "SYSTEM.INI");
  // Failed calls carry the last-error code, which still reaches the caller.
  ops.CopyFileA("C:\\setup\\LOCKED.DLL", "C:\\WINDOWS\\LOCKED.DLL", FALSE);
  EXPECT_EQ(machine.GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ops.CopyFileA("C:\\setup\\MISSING.DLL", "C:\\WINDOWS\\MISSING.DLL", FALSE);
  // A predefined key by name, opened keys by the name they were opened with,
  // registry results as the code they return.
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ops.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvanta", 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  const BYTE path[] = "C:\\App\"\xE9";
  ops.RegSetValueExA(key, "Path", 0, REG_SZ, path, sizeof path);
  const BYTE number[] = {0x1F, 0x00, 0x01, 0x00};
  ops.RegSetValueExA(key, "Flags", 0, REG_DWORD, number, sizeof number);
  ops.RegSetValueExA(key, "Config", 0, REG_BINARY, number, 3);
  ops.RegCloseKey(key);
  HKEY missing = nullptr;
  ops.RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &missing);
  const HMODULE newDev = ops.LoadLibraryExA("NewDev.dll", nullptr, 0);
  const FARPROC update = ops.GetProcAddress(newDev, "UpdateDriverForPlugAndPlayDevicesA");
  ops.UpdateDriverForPlugAndPlayDevicesA(update, nullptr, "*REALTIME", "C:\\WINDOWS\\INF\\A.INF",
                                         INSTALLFLAG_FORCE, nullptr);
  // An opened key by its path, a value read back with its type, a freed block,
  // a delayed move and a short path.
  HKEY opened = nullptr;
  ops.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvanta", 0, KEY_QUERY_VALUE, &opened);
  DWORD type = REG_NONE;
  BYTE data[8] = {};
  DWORD size = sizeof data;
  ops.RegQueryValueExA(opened, "Flags", nullptr, &type, data, &size);
  ops.RegCloseKey(opened);
  const HLOCAL block = ops.LocalAlloc(0, 16);
  ops.LocalFree(block);
  ops.MoveFileExA("C:\\setup\\LOCKED.DLL", "C:\\WINDOWS\\LOCKED.DLL",
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
  char shortPath[MAX_PATH] = {};
  ops.GetShortPathNameA("C:\\Program Files", shortPath, sizeof shortPath);

  const std::string keyName = HexOf(key) + ":\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanta\"";
  const std::string openedName = HexOf(opened) + ":\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanta\"";
  const std::string updateName =
      HexOf(reinterpret_cast<const void*>(update)) +
      ":\"NewDev.dll!UpdateDriverForPlugAndPlayDevicesA\"";
  const std::vector<std::string> expected = {
      "00001 MessageBoxA(NULL, \"Unable to copy \"\"A\\x80\\xFF.DLL\"\" to\\x09System!\\x0A\", "
      "\"Korvanta Installation\", 0x10) = 1",
      "00002 SetErrorMode(0x8001) = 0x0",
      "00003 WritePrivateProfileStringA(\"VCache\", NULL, NULL, \"SYSTEM.INI\") = TRUE",
      "00004 CopyFileA(\"C:\\setup\\LOCKED.DLL\", \"C:\\WINDOWS\\LOCKED.DLL\", FALSE) = FALSE, "
      "error 0x20",
      "00005 CopyFileA(\"C:\\setup\\MISSING.DLL\", \"C:\\WINDOWS\\MISSING.DLL\", FALSE) = FALSE, "
      "error 0x2",
      "00006 RegCreateKeyExA(HKEY_LOCAL_MACHINE, \"SOFTWARE\\Korvanta\", 0, NULL, 0x0, 0xF003F, "
      "NULL, ->" + keyName + ", ->created) = ERROR_SUCCESS",
      "00007 RegSetValueExA(" + keyName + ", \"Path\", 0, REG_SZ, \"C:\\App\"\"\\xE9\\x00\", 9) = "
      "ERROR_SUCCESS",
      "00008 RegSetValueExA(" + keyName + ", \"Flags\", 0, REG_DWORD, 0x1001F, 4) = ERROR_SUCCESS",
      "00009 RegSetValueExA(" + keyName + ", \"Config\", 0, REG_BINARY, hex:1F 00 01, 3) = "
      "ERROR_SUCCESS",
      "00010 RegCloseKey(" + keyName + ") = ERROR_SUCCESS",
      "00011 RegOpenKeyExA(HKEY_CURRENT_USER, \"Software\\Nobody\", 0x0, 0x20019, " +
          HexOf(&missing) + ") = error 0x2",
      "00012 LoadLibraryExA(\"NewDev.dll\", NULL, 0x0) = " + HexOf(newDev) + ":\"NewDev.dll\"",
      "00013 GetProcAddress(" + HexOf(newDev) + ":\"NewDev.dll\", "
      "\"UpdateDriverForPlugAndPlayDevicesA\") = " + updateName,
      "00014 UpdateDriverForPlugAndPlayDevicesA(" + updateName + ", NULL, \"*REALTIME\", "
      "\"C:\\WINDOWS\\INF\\A.INF\", 0x1, NULL) = FALSE, error 0x2",
      "00015 RegOpenKeyExA(HKEY_LOCAL_MACHINE, \"SOFTWARE\\Korvanta\", 0x0, 0x1, ->" + openedName +
          ") = ERROR_SUCCESS",
      "00016 RegQueryValueExA(" + openedName + ", \"Flags\", NULL, ->REG_DWORD, ->0x1001F, ->4) = "
      "ERROR_SUCCESS",
      "00017 RegCloseKey(" + openedName + ") = ERROR_SUCCESS",
      "00018 LocalAlloc(0x0, 16) = " + HexOf(block),
      "00019 LocalFree(" + HexOf(block) + ") = NULL",
      "00020 MoveFileExA(\"C:\\setup\\LOCKED.DLL\", \"C:\\WINDOWS\\LOCKED.DLL\", 0x5) = TRUE",
      "00021 GetShortPathNameA(\"C:\\Program Files\", ->\"C:\\PROGRA~1\", 260) = 11",
  };
  EXPECT_EQ(file.lines, expected);
}

// Access lists are shown entry by entry, read only within the size the list
// states; GUIDs in registry form.
TEST(ActionLogLine, AccessListsAndGuids) {
  SimMachine machine;
  MemoryLogFile file;
  ActionLog log(file);
  const std::unique_ptr<PlatformOps> logged = MakeLoggingPlatformOps(machine, log);
  PlatformOps& ops = *logged;
  // Everyone (S-1-1-0) allowed 0xF003F, inherited by subkeys; then the same
  // list claiming a second entry it has no room for.
  BYTE acl[28] = {2, 0, 28, 0, 1, 0, 0, 0,  0, 2, 20, 0, 0x3F, 0, 0x0F, 0,
                  1, 1, 0, 0, 0, 0, 0, 1,   0, 0, 0, 0};
  ACL* list = reinterpret_cast<ACL*>(acl);
  ops.SetNamedSecurityInfoA(nullptr, "MACHINE\\SYSTEM", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, list, nullptr);
  acl[4] = 2;
  ops.SetNamedSecurityInfoA(nullptr, "MACHINE\\SYSTEM", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, list, nullptr);
  const GUID media = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  // Looked up outside the log: an address the log was not told of shows as
  // a number.
  const HMODULE setupApi = machine.LoadLibraryExA("setupapi.dll", nullptr, 0);
  const FARPROC create = machine.GetProcAddress(setupApi, "SetupDiCreateDeviceInfoList");
  const HDEVINFO set = ops.SetupDiCreateDeviceInfoList(create, &media, nullptr);
  machine.SetupDiDestroyDeviceInfoList(machine.GetProcAddress(setupApi, "SetupDiDestroyDeviceInfoList"),
                                       set);

  const std::string call = "SetNamedSecurityInfoA(NULL, \"MACHINE\\SYSTEM\", 4, 0x4, NULL, NULL, " +
                           HexOf(acl) + " {allow S-1-1-0 mask 0xF003F flags 0x2";
  ASSERT_EQ(file.lines.size(), 3u);
  EXPECT_EQ(file.lines[0], "00001 " + call + "}, NULL) = error 0x7F");
  EXPECT_EQ(file.lines[1], "00002 " + call + ", ?}, NULL) = error 0x7F");
  EXPECT_EQ(file.lines[2], "00003 SetupDiCreateDeviceInfoList(" +
                               HexOf(reinterpret_cast<const void*>(create)) +
                               ", {4D36E96C-E325-11CE-BFC1-08002BE10318}, NULL) = " + HexOf(set));
}

class ActionLogRun : public ::testing::TestWithParam<DWORD> {
 protected:
  void Prepare(SimMachine& machine) {
    const bool nineX = GetParam() == VER_PLATFORM_WIN32_WINDOWS;
    machine.SetPlatform(GetParam(), nineX ? 4 : 5, nineX ? 10 : 1);
    machine.SetCommandLine("\"C:\\setup\\korvanta-sysinstall.exe\" \"C:\\Program Files\\K\" K");
    machine.AddFile("C:\\setup\\PX_USB.INF", "usb");
    machine.AddFile("C:\\setup\\FTD2XX.DLL", "ftd");
    machine.AddFault(Fault{"CopyFileA", ERROR_DISK_FULL, "FTD2XX.DLL\", \"C:", 1});
  }
};

// The header, then one numbered line per operation of the plain run, in the
// same order, the stages marked in their fixed order, and the exit code last.
TEST_P(ActionLogRun, HeaderOperationsInOrderStagesAndExitCode) {
  SimMachine plain;
  Prepare(plain);
  const int plainExit = InstallerMain(plain);
  SimMachine machine;
  Prepare(machine);
  MemoryLogFile file;

  EXPECT_EQ(InstallerMainWithLog(machine, file), plainExit);

  const bool nineX = GetParam() == VER_PLATFORM_WIN32_WINDOWS;
  const std::vector<std::string> header(file.lines.begin(), file.lines.begin() + 7);
  EXPECT_EQ(header, (std::vector<std::string>{
                        "==== korvanta-sysinstall " KORVANTA_VERSION_TEXT
                        " action log, started 2024-05-01 09:05:07",
                        "==== executable \"C:\\setup\\korvanta-sysinstall.exe\"",
                        "==== command line \"\"\"C:\\setup\\korvanta-sysinstall.exe\"\" "
                        "\"\"C:\\Program Files\\K\"\" K\"",
                        nineX ? "==== platform id 1, version 4.10, build 2222 \"\""
                              : "==== platform id 2, version 5.1, build 2600 \"\"",
                        "==== SourceDir \"C:\\setup\\\"",
                        "==== WindowsDir \"C:\\WINDOWS\"",
                        "==== SystemDir \"C:\\WINDOWS\\system32\""}));
  EXPECT_EQ(Starting(file.lines, "---- "),
            (std::vector<std::string>{"WindowStationVisible", "RunsUnderWow64",
                                      "RunsUnderCompatibilityLayer", "AdministratorsMembership",
                                      "load NewDev.dll", "IsProductRunning", "BuildInstallContext",
                                      "TuneDiskCache", "ResetEngineSettings", "InstallAspiLayer",
                                      nineX ? "InstallKernel9x" : "InstallKernelNt",
                                      "InstallAudioEngine", "InstallUsbAudioInterfaceFiles",
                                      "InstallUsbControllerFiles", "DeployMediaFiles",
                                      "release NewDev.dll"}));
  EXPECT_EQ(file.lines.back(), "==== exit code 0");

  const std::vector<std::string> operations = Numbered(file.lines);
  ASSERT_EQ(operations.size(), plain.Calls().size());
  for (size_t i = 0; i < operations.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%05zu ", i + 1);
    EXPECT_EQ(operations[i].substr(0, 6), number);
    EXPECT_EQ(OperationName(operations[i]), OperationName(plain.Calls()[i])) << operations[i];
  }
  // The failed copy shows with its code, and its message box after it.
  bool copyFailed = false;
  for (const std::string& line : operations) {
    if (line.find("CopyFileA(\"C:\\setup\\FTD2XX.DLL\"") != std::string::npos) {
      copyFailed = line.ends_with(") = FALSE, error 0x70");
    } else if (line.find("MessageBoxA(") != std::string::npos) {
      EXPECT_TRUE(copyFailed) << line;
      EXPECT_NE(line.find("\"Unable to copy \"\"FTD2XX.DLL\"\""), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(copyFailed);
}

// A log that cannot take a single line is dropped at once: the run makes
// exactly the calls it makes without a log. One that fails later goes quiet
// and changes nothing the run does.
TEST_P(ActionLogRun, UnwritableLogLeavesTheRunAsItIs) {
  SimMachine plain;
  Prepare(plain);
  const int plainExit = InstallerMain(plain);

  SimMachine refused;
  Prepare(refused);
  MemoryLogFile nothing(0);
  EXPECT_EQ(InstallerMainWithLog(refused, nothing), plainExit);
  EXPECT_EQ(WithoutBlockAddresses(refused.Calls()), WithoutBlockAddresses(plain.Calls()));
  EXPECT_TRUE(nothing.lines.empty());

  SimMachine full;
  Prepare(full);
  MemoryLogFile fillsUp(40);
  EXPECT_EQ(InstallerMainWithLog(full, fillsUp), plainExit);
  EXPECT_EQ(fillsUp.lines.size(), 40u);
  EXPECT_EQ(full.Files(), plain.Files());
  EXPECT_EQ(full.MessageBoxes().size(), plain.MessageBoxes().size());
  EXPECT_EQ(full.PendingRenames(), plain.PendingRenames());
  EXPECT_EQ(full.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, ActionLogRun,
                         ::testing::Values(VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT),
                         [](const auto& info) {
                           return info.param == VER_PLATFORM_WIN32_WINDOWS ? "Win9x" : "WinNT";
                         });

// The raised error: the error box in the log with its caption and text, and
// exit code 1 as the last line.
TEST(ActionLogErrorBox, ErrorBoxRunEndsWithExitCodeOne) {
  SimMachine machine;
  machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_ACCESS_DENIED, "MinFileCache", 1});
  MemoryLogFile file;

  EXPECT_EQ(InstallerMainWithLog(machine, file), 1);

  const auto& lines = file.lines;
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.back(), "==== exit code 1");
  size_t marker = 0;
  while (marker < lines.size() && lines[marker] != "---- error box") ++marker;
  size_t boxAt = marker;
  while (boxAt < lines.size() && lines[boxAt].find(" MessageBoxA(") == std::string::npos) ++boxAt;
  ASSERT_LT(boxAt, lines.size());
  const std::string& box = lines[boxAt];
  EXPECT_NE(box.find(" MessageBoxA(NULL, \"Exception Exception in module korvanta-sysinstall.exe at "),
            std::string::npos)
      << box;
  EXPECT_TRUE(box.ends_with(".\\x0AUnable to write to System.ini.\", \"Application Error\", 0x12010) = 1"))
      << box;
  EXPECT_NE(lines[marker - 1].find("WritePrivateProfileStringA(\"VCache\", \"MinFileCache\""),
            std::string::npos);
  EXPECT_TRUE(lines[marker - 1].ends_with("= FALSE, error 0x5")) << lines[marker - 1];
}

// Where nobody sees the window station (SYSTEM, run by a deployment tool),
// no box is shown: the run goes on as if OK had been pressed, keeps its exit
// code, and the log names each box left out. Where the question cannot be
// answered (no such functions, as on the 9x family, or a failed call), the
// boxes are shown.
TEST(ActionLogWindowStation, NoBoxWhereNobodySeesIt) {
  constexpr char CopyFailed[] = "Unable to copy \"FTD2XX.DLL\" to System32 directory!";
  constexpr char Wow64[] = "This software requires a 32-bit version of Windows !";
  constexpr char OutOfMemory[] = "Exception Exception in module korvanta-sysinstall.exe at "
                                 "00000000.\nNot enough memory to go on with the installation.";
  // Runs out of memory at the first copy.
  class OutOfMemoryMachine : public SimMachine {
    BOOL CopyFileA(const char*, const char*, BOOL) override { throw std::bad_alloc(); }
  };
  enum Trouble { CopyFails, OnWow64, OutOfMemoryError };
  const struct {
    const char* name;
    bool nineX, visible;
    Trouble trouble;
    const char* failing;  // a call that fails once, or a user32 export left out
    bool removed;
    int exitCode;
    const char* caption;  // of the one box
    const char* text;
    bool shown;
  } cases[] = {
      {"as SYSTEM, a copy fails", false, false, CopyFails, nullptr, false, 0,
       "Korvanta Installation", CopyFailed, false},
      {"as SYSTEM on 64-bit Windows", false, false, OnWow64, nullptr, false, 1,
       "Korvanta Installation", Wow64, false},
      {"as SYSTEM, out of memory", false, false, OutOfMemoryError, nullptr, false, 1,
       "Application Error", OutOfMemory, false},
      {"on the desktop", false, true, CopyFails, nullptr, false, 0, "Korvanta Installation",
       CopyFailed, true},
      {"the station cannot be had", false, false, CopyFails, "GetProcessWindowStation", false, 0,
       "Korvanta Installation", CopyFailed, true},
      {"its flags cannot be read", false, false, CopyFails, "GetUserObjectInformationA", false, 0,
       "Korvanta Installation", CopyFailed, true},
      {"no GetUserObjectInformationA", false, false, CopyFails, "GetUserObjectInformationA", true,
       0, "Korvanta Installation", CopyFailed, true},
      {"the 9x family", true, false, CopyFails, nullptr, false, 0, "Korvanta Installation",
       CopyFailed, true},
  };
  for (const auto& c : cases) {
    for (const bool logged : {false, true}) {
      std::unique_ptr<SimMachine> machine = c.trouble == OutOfMemoryError
                                                ? std::make_unique<OutOfMemoryMachine>()
                                                : std::make_unique<SimMachine>();
      if (c.nineX) machine->SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
      machine->SetWindowStationVisible(c.visible);
      machine->SetWow64(c.trouble == OnWow64);
      machine->AddFile("C:\\setup\\FTD2XX.DLL", "ftd");
      machine->AddFault(Fault{"CopyFileA", ERROR_PATH_NOT_FOUND, "FTD2XX.DLL", 1});
      if (c.failing != nullptr && c.removed) machine->RemoveExport("user32.dll", c.failing);
      if (c.failing != nullptr && !c.removed) machine->AddFault(Fault{c.failing, ERROR_ACCESS_DENIED});
      MemoryLogFile file;
      const std::string name = std::string(c.name) + (logged ? ", logged" : "");

      EXPECT_EQ(logged ? InstallerMainWithLog(*machine, file) : InstallerMain(*machine), c.exitCode)
          << name;

      std::vector<std::string> boxes;
      for (const sim::MessageBoxRecord& box : machine->MessageBoxes()) {
        boxes.push_back(box.caption + ": " + box.text);
      }
      const std::string box = std::string(c.caption) + ": " + c.text;
      EXPECT_EQ(boxes, c.shown ? std::vector<std::string>{box} : std::vector<std::string>{})
          << name;
      const std::vector<std::string> notShown = Starting(file.lines, "==== box not shown");
      EXPECT_EQ(notShown, !c.shown && logged
                              ? std::vector<std::string>{", the window station is not visible: " +
                                                         logtext::Quoted(c.caption) + " " +
                                                         logtext::Quoted(c.text)}
                              : std::vector<std::string>{})
          << name;
      EXPECT_EQ(machine->OpenHandleCount(), 0) << name;
      EXPECT_EQ(machine->LoadedLibraryCount(), 0) << name;
    }
  }
}

// The log's path comes from the environment, which an unelevated user sets:
// only a plain file path is opened, never a device.
TEST(ActionLogPath, OnlyAPlainFilePathNamesTheLog) {
  const struct {
    const char* path;
    bool accepted;
  } cases[] = {
      {"C:\\korvanta.log", true},
      {"d:\\Support\\Logs\\run 1.txt", true},
      {"\\\\server\\share\\korvanta.log", true},
      {"\\\\server\\share\\logs\\CONSOLE.log", true},  // CON is a prefix only
      {"C:\\COM10.log", true},
      {"", false},
      {"korvanta.log", false},        // relative to the current folder
      {"logs\\korvanta.log", false},
      {"\\korvanta.log", false},      // the current drive's root
      {"C:korvanta.log", false},      // the drive's current folder
      {"C:\\", false},
      {"C:\\logs\\", false},          // a folder
      {"1:\\korvanta.log", false},
      {"\\\\.\\PhysicalDrive0", false},
      {"//./PhysicalDrive0", false},
      {"\\\\?\\C:\\korvanta.log", false},
      {"\\\\?\\UNC\\server\\share\\korvanta.log", false},
      {"\\??\\C:\\korvanta.log", false},
      {"\\\\.\\COM1", false},
      {"C:/korvanta.log", false},
      {"C:\\logs/korvanta.log", false},
      {"\\\\server", false},
      {"\\\\server\\share", false},
      {"\\\\\\share\\korvanta.log", false},
      {"\\\\server\\\\korvanta.log", false},
      {"CON", false},
      {"C:\\CON", false},
      {"C:\\logs\\nul.txt", false},
      {"C:\\logs\\Aux.log.txt", false},
      {"C:\\PRN  .log", false},
      {"C:\\com1", false},
      {"C:\\LPT9.log", false},
      {"C:\\CON:stream", false},
      {"\\\\server\\share\\NUL", false},
      // The superscript digits of the ANSI code page count as digits, and
      // 0 is refused as well: a refused path costs only the log.
      {"C:\\logs\\LPT0", false},
      {"C:\\COM0.log", false},
      {"C:\\COM\xB9", false},
      {"C:\\com\xB2.txt", false},
      {"C:\\COM\xB3", false},
      {"C:\\LPT\xB9.log", false},
      {"C:\\lpt\xB2", false},
      {"C:\\LPT\xB3 .txt", false},
      {"C:\\COM\xB4", true},  // no superscript four in the code page's upper half
      {"C:\\LPT\xB9\xB9", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPlainLogFilePath(c.path), c.accepted) << c.path;
}

}  // namespace
}  // namespace korvanta

namespace korvanta {
namespace {

// The log's file must be its own: on the NT family a file with a second name
// (a hard link) or a reparse point, planted by a user to lead the elevated
// run's lines into a system file, is closed again and the run has no log, as
// when the file cannot be asked about. The 9x family has neither and does not
// ask.
TEST(ActionLogFile, OnlyAFileOfItsOwnIsKept) {
  const struct {
    const char* why;
    DWORD family, major;
    bool exists;
    DWORD links, attributes;
    const char* failing;  // an export removed or a call that fails
    bool kept;
  } cases[] = {
      {"a file of its own", VER_PLATFORM_WIN32_NT, 5, true, 1, FILE_ATTRIBUTE_ARCHIVE, "", true},
      {"a new file", VER_PLATFORM_WIN32_NT, 6, false, 1, 0, "", true},
      {"a hard link", VER_PLATFORM_WIN32_NT, 5, true, 2, FILE_ATTRIBUTE_ARCHIVE, "", false},
      {"a hard link on NT 4", VER_PLATFORM_WIN32_NT, 4, true, 3, FILE_ATTRIBUTE_ARCHIVE, "", false},
      {"a symbolic link", VER_PLATFORM_WIN32_NT, 6, true, 1, FILE_ATTRIBUTE_REPARSE_POINT, "", false},
      {"the 9x family", VER_PLATFORM_WIN32_WINDOWS, 4, true, 2, FILE_ATTRIBUTE_REPARSE_POINT, "", true},
      {"no answer", VER_PLATFORM_WIN32_NT, 5, true, 1, FILE_ATTRIBUTE_ARCHIVE, "GetFileInformationByHandle", false},
      {"no function", VER_PLATFORM_WIN32_NT, 5, true, 1, FILE_ATTRIBUTE_ARCHIVE, "export", false},
      {"not opened", VER_PLATFORM_WIN32_NT, 5, true, 1, FILE_ATTRIBUTE_ARCHIVE, "CreateFileA", false},
  };
  const std::string path = "C:\\Documents and Settings\\All Users\\korvanta.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    SimMachine machine;
    machine.SetPlatform(c.family, c.major);
    machine.AddDirectory("C:\\Documents and Settings\\All Users");
    if (c.exists) {
      machine.AddFile(path, "boot.ini", c.attributes);
      machine.SetLinkCount(path, c.links);
    }
    const std::string failing = c.failing;
    if (failing == "export") machine.RemoveExport("kernel32.dll", "GetFileInformationByHandle");
    if (!failing.empty() && failing != "export") machine.AddFault(Fault{failing, ERROR_ACCESS_DENIED, "", 1});
    machine.SetLastError(1234);

    const HANDLE file = OpenActionLogFile(machine, path);

    EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.kept);
    EXPECT_EQ(machine.GetLastError(), 1234u);
    EXPECT_EQ(machine.CallsTo("GetFileInformationByHandle").size(),
              c.family == VER_PLATFORM_WIN32_NT && failing != "export" && failing != "CreateFileA" ? 1u : 0u);
    if (file != INVALID_HANDLE_VALUE) machine.CloseHandle(file);
    EXPECT_EQ(machine.OpenHandleCount(), 0);
    EXPECT_EQ(machine.LoadedLibraryCount(), 0);
    EXPECT_TRUE(machine.FileExists(path));
  }
  // A device is never opened.
  SimMachine machine;
  EXPECT_EQ(OpenActionLogFile(machine, "\\\\.\\PhysicalDrive0"), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(machine.CallsTo("CreateFileA").empty());
}

}  // namespace
}  // namespace korvanta
