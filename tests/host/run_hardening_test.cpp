// The run's hardening: a foreign error that reaches the entry ends like the
// installer's own (the box, exit code 1, the binding released), and a stage
// whose directories the system cannot report writes nothing anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/run.h"
#include "platform/sim/sim_machine.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

// Throws from the first call that only the run makes after the guard.
class ThrowingMachine : public SimMachine {
 public:
  explicit ThrowingMachine(int kind) : kind_(kind) {}
  UINT GetWindowsDirectoryA(char*, UINT) override {
    if (kind_ == 0) throw std::bad_alloc();
    if (kind_ == 1) throw std::runtime_error("vector::_M_default_append");
    throw 42;
  }

 private:
  int kind_;
};

TEST(InstallerMainForeignErrorTest, EveryErrorShowsTheErrorBoxAndEndsWithOne) {
  const char* const messages[] = {
      "Not enough memory to go on with the installation.",
      "Unexpected error in the installation: vector::_M_default_append.",
      "Unexpected error in the installation.",
  };
  for (int kind = 0; kind < 3; ++kind) {
    ThrowingMachine machine(kind);
    EXPECT_EQ(InstallerMain(machine), 1) << kind;
    ASSERT_EQ(machine.MessageBoxes().size(), 1u) << kind;
    const sim::MessageBoxRecord& box = machine.MessageBoxes()[0];
    EXPECT_EQ(box.caption, "Application Error");
    EXPECT_EQ(box.type, 0x12010u);
    EXPECT_EQ(box.text, std::string("Exception Exception in module korvanta-sysinstall.exe at "
                                     "00000000.\n") + messages[kind]);
    // The NewDev.dll binding is released on this way out too.
    EXPECT_EQ(machine.LoadedLibraryCount(), 0) << kind;
    EXPECT_EQ(machine.OpenHandleCount(), 0) << kind;
  }
}

// A machine of the family with a few component files of each stage beside
// the installer.
void AddSomeComponentFiles(SimMachine& machine, DWORD platform) {
  machine.SetPlatform(platform, platform == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5);
  for (const char* name : {"MAYA51USB.INF", "FTD2XX.DLL", "RUNDAVEK.DLL", "RUNDAVEK.EXE",
                           "RUNDAVEK.SYS", "RUNDAVEK.VXD", "RUNDAVEK.INF", "WNASPI32.NT",
                           "WNASPI32.9x"}) {
    machine.AddFile(std::string("C:\\setup\\") + name, name);
  }
}

// Every path handed to an operation that changes a file is a full path.
void ExpectOnlyFullPaths(const SimMachine& machine, const std::string& why) {
  static const std::regex quoted("\"([^\"]*)\"");
  for (const char* operation : {"CopyFileA", "MoveFileExA", "DeleteFileA", "SetFileAttributesA"}) {
    for (const std::string& call : machine.CallsTo(operation)) {
      for (std::sregex_iterator it(call.begin(), call.end(), quoted), end; it != end; ++it) {
        const std::string path = (*it)[1];
        EXPECT_TRUE(path.size() >= 3 && path[1] == ':' && path[2] == '\\')
            << why << ": " << call;
      }
    }
  }
}

TEST(RunHardeningTest, AStageWhoseDirectoriesCannotBeReadWritesNothing) {
  const struct {
    const char* failing;   // the call that cannot report its directory
    bool usbInfExpected;   // the USB audio INF needs only the source and Windows folders
  } cases[] = {
      {"GetSystemDirectoryA", true},
      {"GetWindowsDirectoryA", false},
      {"GetModuleFileNameA", false},
  };
  for (DWORD platform : {VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
    for (const auto& c : cases) {
      const std::string why = std::string(c.failing) + " on platform " + std::to_string(platform);
      SimMachine machine;
      AddSomeComponentFiles(machine, platform);
      const auto filesBefore = machine.Files();
      // Every time it is asked: the libraries of the run are looked for
      // there too.
      for (int i = 0; i < 8; ++i) machine.AddFault(Fault{c.failing, ERROR_NOT_ENOUGH_MEMORY, "", 1});

      EXPECT_EQ(InstallerMain(machine), 0) << why;

      ExpectOnlyFullPaths(machine, why);
      // Without the system folder no library has a full path: none is loaded.
      if (std::string(c.failing) == "GetSystemDirectoryA") {
        EXPECT_TRUE(machine.CallsTo("LoadLibraryExA").empty()) << why;
      }
      EXPECT_EQ(machine.FileExists("C:\\WINDOWS\\INF\\MAYA51USB.INF"), c.usbInfExpected) << why;
      EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\system32\\FTD2XX.DLL")) << why;
      for (const std::string& file : machine.Files()) {
        if (file.rfind("C:\\setup\\", 0) == 0) {
          EXPECT_NE(std::find(filesBefore.begin(), filesBefore.end(), file), filesBefore.end())
              << why << ": " << file << " was written beside the installer";
        }
      }
      EXPECT_TRUE(machine.MessageBoxes().empty()) << why;
    }
  }
}

// Without the platform id the run cannot tell the families apart: it does
// only what is the same on both, and nothing that would put one family's
// drivers, folders or entries on the other.
TEST(RunHardeningTest, AnUnknownFamilyGetsOnlyWhatBothFamiliesShare) {
  for (DWORD platform : {VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
    const std::string why = "platform " + std::to_string(platform);
    SimMachine machine;
    AddSomeComponentFiles(machine, platform);
    const std::string systemIni = "[vcache]\r\nchunksize=512\r\n";
    machine.AddFile("C:\\WINDOWS\\SYSTEM.INI", systemIni);
    machine.AddRegistryKey(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\Devices");
    const auto filesBefore = machine.Files();
    // Every reading of the version fails: the administrator check's, the
    // guard's and the context's.
    for (int i = 0; i < 3; ++i) machine.AddFault(Fault{"GetVersionExA", ERROR_NOT_ENOUGH_MEMORY, "", 1});

    EXPECT_EQ(InstallerMain(machine), 0) << why;

    EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\INF\\MAYA51USB.INF")) << why;
    EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine")) << why;
    EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\SYSTEM.INI"), systemIni) << why;
    std::vector<std::string> added;
    for (const std::string& file : machine.Files()) {
      if (std::find(filesBefore.begin(), filesBefore.end(), file) == filesBefore.end()) added.push_back(file);
    }
    EXPECT_EQ(added, std::vector<std::string>{"C:\\WINDOWS\\INF\\MAYA51USB.INF"}) << why;
    EXPECT_TRUE(machine.PendingRenames().empty()) << why;
    for (const char* key : {"SYSTEM\\CurrentControlSet\\Services\\Aspi32",
                            "SYSTEM\\CurrentControlSet\\Services\\VXD\\ASPIEnum",
                            "Software\\Korvanta\\RUNDAVEK"}) {
      EXPECT_FALSE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, key)) << why << ": " << key;
    }
    EXPECT_TRUE(machine.MessageBoxes().empty()) << why;
  }
}

// The run refuses a machine that cannot take the installation before the
// guard and before any change: 64-bit Windows (WOW64), an NT system that
// reports the 9x family under a compatibility mode, and on the NT family a
// user without administrator rights. A question that cannot be answered (a
// function missing or failing) lets the run go on as it always did.
TEST(RunHardeningTest, A64BitWindowsOrAUserWithoutAdministratorRightsIsRefusedAtOnce) {
  constexpr char Wow64[] = "This software requires a 32-bit version of Windows !";
  constexpr char NoAdmin[] = "Please run setup as an administrator !";
  constexpr char Compat[] = "Please run setup without a compatibility mode !";
  constexpr DWORD W9x = VER_PLATFORM_WIN32_WINDOWS;
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT;
  using enum sim::AdministratorsGroup;
  constexpr auto Admin = Enabled;
  constexpr auto User = Absent;
  const struct {
    const char* name;
    DWORD platform, major, minor;
    bool wow64;
    sim::AdministratorsGroup administrators;
    const char* removedExport;  // of kernel32 or advapi32
    const char* failing;        // an operation that fails once
    const char* refusal;        // the one box, or null: the run goes on
    const char* compatLayer = nullptr;  // __COMPAT_LAYER, when set
  } cases[] = {
      {"XP under WOW64", NT, 5, 1, true, Admin, nullptr, nullptr, Wow64},
      {"Windows 10 under WOW64, filtered token", NT, 10, 0, true, DenyOnly, nullptr, nullptr, Wow64},
      {"XP before SP2: no IsWow64Process", NT, 5, 1, true, Admin, "IsWow64Process", nullptr, nullptr},
      {"IsWow64Process fails", NT, 5, 1, true, Admin, nullptr, "IsWow64Process", nullptr},
      {"XP, a user", NT, 5, 1, false, User, nullptr, nullptr, NoAdmin},
      {"XP, Administrators for deny only", NT, 5, 1, false, DenyOnly, nullptr, nullptr, NoAdmin},
      {"NT 4, a user: the token's groups", NT, 4, 0, false, User, nullptr, nullptr, NoAdmin},
      {"NT 4, Administrators for deny only", NT, 4, 0, false, DenyOnly, nullptr, nullptr, NoAdmin},
      {"NT 4, an administrator", NT, 4, 0, false, Admin, nullptr, nullptr, nullptr},
      {"CheckTokenMembership fails", NT, 5, 1, false, User, nullptr, "CheckTokenMembership", nullptr},
      {"NT 4, the token cannot be opened", NT, 4, 0, false, User, nullptr, "OpenProcessToken", nullptr},
      {"NT 4, the groups cannot be read", NT, 4, 0, false, User, nullptr, "GetTokenInformation",
       nullptr},
      {"NT 4 without GetTokenInformation", NT, 4, 0, false, User, "GetTokenInformation", nullptr,
       nullptr},
      {"the group's SID cannot be made", NT, 5, 1, false, User, nullptr, "AllocateAndInitializeSid",
       nullptr},
      {"98: no such check", VER_PLATFORM_WIN32_WINDOWS, 4, 10, false, User, nullptr, nullptr, nullptr},
      // The family unknown: the check that only the NT family has is not made.
      {"XP, a user, the version unread", NT, 5, 1, false, User, nullptr, "GetVersionExA", nullptr},
      // GetVersionExA of an NT system in a "Windows 98 / Me" or "Windows 95" mode.
      {"XP in the 98 mode", W9x, 4, 10, false, Admin, nullptr, nullptr, Compat, "WIN98"},
      {"10 in the 95 mode, a user", W9x, 4, 0, false, User, nullptr, nullptr, Compat, "WIN95"},
      {"a value longer than the buffer", W9x, 4, 10, false, Admin, nullptr, nullptr, Compat,
       "~ WIN98 RUNASADMIN DISABLETHEMES 256COLOR 640X480 DISABLEDWM HIGHDPIAWARE IGNOREFREELIBRARY"},
      {"an empty variable is no layer", W9x, 4, 10, false, Admin, nullptr, nullptr, nullptr, ""},
      {"the variable cannot be read", W9x, 4, 10, false, Admin, nullptr, "GetEnvironmentVariableA",
       nullptr, "WIN98"},
      {"XP, a layer that keeps the version", NT, 5, 1, false, Admin, nullptr, nullptr, nullptr,
       "RUNASADMIN"},
  };
  for (const auto& c : cases) {
    SimMachine machine;
    AddSomeComponentFiles(machine, c.platform);
    machine.SetPlatform(c.platform, c.major, c.minor);
    machine.SetWow64(c.wow64);
    machine.SetAdministratorsGroup(c.administrators);
    if (c.removedExport != nullptr) {
      const bool kernel32 = std::string(c.removedExport) == "IsWow64Process";
      machine.RemoveExport(kernel32 ? "kernel32.dll" : "advapi32.dll", c.removedExport);
    }
    if (c.failing != nullptr) machine.AddFault(Fault{c.failing, ERROR_ACCESS_DENIED, "", 1});
    if (c.compatLayer != nullptr) machine.SetEnvironmentVariable("__Compat_Layer", c.compatLayer);
    const auto before = machine.Places();

    const int exitCode = InstallerMain(machine);

    std::vector<std::string> boxes;
    for (const sim::MessageBoxRecord& box : machine.MessageBoxes()) {
      boxes.push_back(box.caption + ": " + box.text);
    }
    if (c.refusal != nullptr) {
      EXPECT_EQ(exitCode, 1) << c.name;
      EXPECT_EQ(boxes, std::vector<std::string>{std::string("Korvanta Installation: ") + c.refusal})
          << c.name;
      EXPECT_TRUE(machine.Places() == before) << c.name << ": the machine changed";
      EXPECT_TRUE(machine.CallsTo("EnumProcesses").empty()) << c.name << ": the guard ran";
    } else {
      EXPECT_EQ(exitCode, 0) << c.name;
      EXPECT_EQ(boxes, std::vector<std::string>{}) << c.name;
      EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\INF\\MAYA51USB.INF")) << c.name;
    }
    EXPECT_EQ(machine.OpenHandleCount(), 0) << c.name;
    EXPECT_EQ(machine.LoadedLibraryCount(), 0) << c.name;
  }
}

}  // namespace
}  // namespace korvanta
