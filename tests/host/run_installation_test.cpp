// The run as a whole on the simulated machine: the context it builds, the
// error box, the exit codes and the NewDev.dll binding.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "install/install_context.h"
#include "install/run.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/system_folders.h"
#include "toolkit/file_placement.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

int CountCalls(const SimMachine& machine, const std::string& prefix) {
  int count = 0;
  for (const std::string& call : machine.Calls()) count += call.rfind(prefix, 0) == 0;
  return count;
}

TEST(InstallContextTest, DirectoriesAsTheSystemReportsThemAndTheInstallersOwnFolder) {
  SimMachine machine;
  machine.SetWindowsDirectory("D:\\WIN");
  machine.SetSystemDirectory("D:\\WIN\\SYSTEM");
  machine.SetModulePath("E:\\Setup Files\\korvanta-sysinstall.exe");
  machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);

  const InstallContext context = BuildInstallContext(machine);
  EXPECT_EQ(context.SourceDir, "E:\\Setup Files\\");
  EXPECT_EQ(context.SystemDir, "D:\\WIN\\SYSTEM");
  EXPECT_EQ(context.WindowsDir, "D:\\WIN");
  EXPECT_EQ(context.PlatformId, 1u);
}

// "\x95\x5C" is one character under Japanese Windows (code page 932), whose
// second byte is the byte of "\"; under a Western code page it is two.
TEST(InstallContextTest, SourceDirEndsAtTheLastBackslashOrColonThatIsACharacterOfItsOwn) {
  const struct {
    bool japanese;
    const char* path;
    const char* directory;
    const char* file;
  } cases[] = {
      {false, "C:\\a\\b\\setup.exe", "C:\\a\\b\\", "setup.exe"},
      {false, "C:setup.exe", "C:", "setup.exe"},
      {false, "setup.exe", "", "setup.exe"},
      {false, "C:\\a\\\x95\x5Csetup.exe", "C:\\a\\\x95\x5C", "setup.exe"},
      {true, "C:\\a\\\x95\x5Csetup.exe", "C:\\a\\", "\x95\x5Csetup.exe"},
      {true, "C:\\\x95\x5C\\setup.exe", "C:\\\x95\x5C\\", "setup.exe"},
      {true, "\x95\x5Csetup.exe", "", "\x95\x5Csetup.exe"},
  };
  for (const auto& c : cases) {
    SimMachine machine;
    if (c.japanese) machine.SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
    EXPECT_EQ(DirectoryPart(machine, c.path), c.directory) << c.path;
    EXPECT_EQ(FileNamePart(machine, c.path), c.file) << c.path;
  }
  // The installer's own folder is read the same way.
  SimMachine machine;
  machine.SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
  machine.SetModulePath("C:\\\x95\x5Ckorvanta-sysinstall.exe");
  EXPECT_EQ(BuildInstallContext(machine).SourceDir, "C:\\");
}

// A module path longer than the usual 261-byte buffer is read whole, never cut.
TEST(InstallContextTest, LongModulePathIsReadWhole) {
  SimMachine machine;
  std::string folder = "C:\\";
  for (int i = 0; i < 40; ++i) folder += "folder" + std::to_string(i) + "\\";
  ASSERT_GT(folder.size(), 300u);
  machine.SetModulePath(folder + "korvanta-sysinstall.exe");
  EXPECT_EQ(BuildInstallContext(machine).SourceDir, folder);
  EXPECT_EQ(ModulePath(machine), folder + "korvanta-sysinstall.exe");
}

// Folders longer than the first buffer come back whole; one that grew past
// the second buffer as well (changed in between) is no folder at all.
TEST(InstallContextTest, FoldersBeyondTheFirstBufferAreReadWholeOrNotAtAll) {
  std::string windows = "C:\\";
  for (int i = 0; i < 20; ++i) windows += "Windows folder " + std::to_string(i) + "\\";
  windows += "WINDOWS";
  ASSERT_GT(windows.size(), 300u);
  SimMachine machine;
  machine.SetWindowsDirectory(windows);
  machine.SetSystemDirectory(windows + "\\SYSTEM");
  EXPECT_EQ(ReadWindowsDirectory(machine), windows);
  EXPECT_EQ(ReadSystemDirectory(machine), windows + "\\SYSTEM");

  // Each read of a folder makes it longer before the next one.
  class GrowingFolders : public SimMachine {
   public:
    UINT GetSystemDirectoryA(char* buffer, UINT size) override {
      const UINT length = SimMachine::GetSystemDirectoryA(buffer, size);
      SetSystemDirectory(system_ += "\\deeper");
      return length;
    }
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override {
      const UINT length = SimMachine::GetWindowsDirectoryA(buffer, size);
      SetWindowsDirectory(windows_ += "\\deeper");
      return length;
    }
    std::string system_ = std::string(300, 's');
    std::string windows_ = std::string(300, 'w');
  } growing;
  growing.system_.replace(0, 3, "C:\\");
  growing.windows_.replace(0, 3, "D:\\");
  growing.SetSystemDirectory(growing.system_);
  growing.SetWindowsDirectory(growing.windows_);
  EXPECT_EQ(ReadSystemDirectory(growing), "");
  EXPECT_EQ(ReadWindowsDirectory(growing), "");
}

TEST(InstallContextTest, ModulePathOfExactlyTheBufferSizeIsNotTakenAsCut) {
  SimMachine machine;
  std::string path = "C:\\" + std::string(256 - 3 - 4, 'x') + ".exe";  // 256 characters
  machine.SetModulePath(path);
  EXPECT_EQ(ModulePath(machine), path);
  path = "C:\\" + std::string(261 - 3 - 4, 'y') + ".exe";  // fills all 261 bytes
  machine.SetModulePath(path);
  EXPECT_EQ(ModulePath(machine), path);
}

TEST(ErrorBoxText, FormatHexDigitsAndFullStop) {
  EXPECT_EQ(FormatErrorBoxText("Exception", "korvanta-sysinstall.exe", 0x0040a1bf,
                               "Unable to write to System.ini"),
            "Exception Exception in module korvanta-sysinstall.exe at 0040A1BF.\n"
            "Unable to write to System.ini.");
  // A message that already ends in a full stop gets no second one.
  EXPECT_EQ(FormatErrorBoxText("EInOutError", "setup.exe", 0xFFFFFFFF, "Disk full."),
            "Exception EInOutError in module setup.exe at FFFFFFFF.\nDisk full.");
  EXPECT_EQ(FormatErrorBoxText("Exception", "setup.exe", 0, ""),
            "Exception Exception in module setup.exe at 00000000.\n.");
  // Only the low 32 bits are an address of the 32-bit executable.
  EXPECT_EQ(FormatErrorBoxText("E", "a.exe", static_cast<uintptr_t>(0xABCDEF12), "m"),
            "Exception E in module a.exe at ABCDEF12.\nm.");
}

class InstallerMainTest : public ::testing::TestWithParam<DWORD> {
 protected:
  void SetUp() override {
    machine_.SetPlatform(GetParam(), GetParam() == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5);
  }
  SimMachine machine_;
};

TEST_P(InstallerMainTest, OrderlyRunEndsWithZeroAndShowsNothing) {
  for (const char* line : {"korvanta-sysinstall.exe", "korvanta-sysinstall.exe C:\\App Manual",
                           "korvanta-sysinstall.exe \"\" Manual"}) {
    machine_.SetCommandLine(line);
    EXPECT_EQ(InstallerMain(machine_), 0) << line;
    EXPECT_TRUE(machine_.MessageBoxes().empty()) << line;
  }
}

TEST_P(InstallerMainTest, NewDevBindingIsLoadedFirstAndReleasedAtTheEnd) {
  EXPECT_EQ(InstallerMain(machine_), 0);
  const auto& calls = machine_.Calls();
  ASSERT_FALSE(calls.empty());
  // Only the machine checks come before it. No system dialog may appear
  // while the library is looked for, and it is looked for in the system
  // folder only.
  const size_t first = std::find(calls.begin(), calls.end(), "SetErrorMode(32769)") - calls.begin();
  ASSERT_LT(first + 2, calls.size());
  for (size_t i = 0; i < first; ++i) {
    EXPECT_EQ(calls[i].find("NewDev"), std::string::npos) << calls[i];
  }
  EXPECT_EQ(calls[first + 1], "GetSystemDirectoryA(ptr, 261)");
  EXPECT_EQ(calls[first + 2], "LoadLibraryExA(\"C:\\WINDOWS\\system32\\NewDev.dll\", NULL, 8)");
  // Nor is any other library of the run left to a search, which would look
  // in the installer's folder, the current folder and PATH first.
  for (const std::string& call : machine_.CallsTo("LoadLibraryExA")) {
    EXPECT_EQ(call.rfind("LoadLibraryExA(\"C:\\WINDOWS\\system32\\", 0), 0u) << call;
  }
  EXPECT_EQ(machine_.LoadedLibraryCount(), 0);
  EXPECT_EQ(machine_.OpenHandleCount(), 0);
  // The guard loads and frees its own process-list library; NewDev.dll is
  // freed only where it could be loaded.
  const bool present = GetParam() != VER_PLATFORM_WIN32_WINDOWS;
  const int loads = CountCalls(machine_, "LoadLibraryExA(");
  EXPECT_EQ(CountCalls(machine_, "FreeLibrary("), present ? loads : loads - 1);
  int newDevLookups = 0;
  for (const std::string& call : machine_.CallsTo("GetProcAddress")) {
    newDevLookups += call.find("\"UpdateDriverForPlugAndPlayDevicesA\"") != std::string::npos;
  }
  EXPECT_EQ(newDevLookups, present ? 1 : 0);
}

TEST_P(InstallerMainTest, MissingNewDevIsNoFailure) {
  machine_.RemoveLibrary("NewDev.dll");
  EXPECT_EQ(InstallerMain(machine_), 0);
  EXPECT_TRUE(machine_.MessageBoxes().empty());
  EXPECT_EQ(CountCalls(machine_, "FreeLibrary("), CountCalls(machine_, "LoadLibraryExA(") - 1);
}

// The raised error (a profile value that cannot be written) ends the run with
// the "Application Error" box and exit code 1; later stages do not run and the
// NewDev.dll binding is still released.
TEST(InstallerMainErrorTest, FailedProfileWriteShowsTheErrorBoxAndEndsWithOne) {
  SimMachine machine;
  machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  machine.SetModulePath("C:\\setup\\korvanta-sysinstall.exe");
  machine.AddFile("C:\\setup\\PX_USB.INF", "usb");
  machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_ACCESS_DENIED, "MinFileCache"});

  EXPECT_EQ(InstallerMain(machine), 1);

  ASSERT_EQ(machine.MessageBoxes().size(), 1u);
  const sim::MessageBoxRecord& box = machine.MessageBoxes()[0];
  EXPECT_EQ(box.caption, "Application Error");
  EXPECT_EQ(box.type, 0x12010u);
  EXPECT_FALSE(box.hadOwner);
  const std::string first = "Exception Exception in module korvanta-sysinstall.exe at ";
  ASSERT_EQ(box.text.size(), first.size() + 8 + 2 + 30);
  EXPECT_EQ(box.text.substr(0, first.size()), first);
  EXPECT_EQ(box.text.find_first_not_of("0123456789ABCDEF", first.size()), first.size() + 8);
  EXPECT_EQ(box.text.substr(first.size() + 8), ".\nUnable to write to System.ini.");

  // The second VCache value is not attempted, and no later stage ran.
  EXPECT_EQ(CountCalls(machine, "WritePrivateProfileStringA("), 1);
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\INF\\PX_USB.INF"));
  EXPECT_EQ(machine.LoadedLibraryCount(), 0);
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, InstallerMainTest,
                         ::testing::Values(VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT),
                         [](const auto& info) {
                           return info.param == VER_PLATFORM_WIN32_WINDOWS ? "Win9x" : "WinNT";
                         });

}  // namespace
}  // namespace korvanta
