// The support files of the two USB devices: where each file lands on each
// family, and what a failed or skipped row does.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "components/usb_support_files.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/platform.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

constexpr char SourceDir[] = "C:\\setup\\";

// The five rows in copy order, as the users see them.
struct Row {
  const char* file;
  const char* message;
};
const Row Rows[] = {
    {"MAYA51USB.INF", "Unable to copy \"MAYA51USB.INF\" to INF dirtectory !"},
    {"PX_USB.INF", "Unable to copy \"PX_USB.INF\" to INF directory !"},
    {"FTD2XX.DLL", "Unable to copy \"FTD2XX.DLL\" to System32 directory!"},
    {"FTD2XXUN.EXE", "Unable to copy \"FTD2XXUN.EXE\" to System32 directory!"},
    {"FTD2XX.SYS", "Unable to copy \"FTD2XX.SYS\" to Drivers directory!"},
};

struct Family {
  const char* name;
  DWORD platformId;
  const char* windowsDir;
  const char* systemDir;
  const char* targets[5];  // where each row's file lands
};
// Folders other than the simulated machine's defaults, so that a scenario
// decides itself which target folders exist.
const Family Families[] = {
    {"NT",
     VER_PLATFORM_WIN32_NT,
     "C:\\WINNT",
     "C:\\WINNT\\system32",
     {"C:\\WINNT\\INF\\MAYA51USB.INF", "C:\\WINNT\\INF\\PX_USB.INF",
      "C:\\WINNT\\system32\\FTD2XX.DLL", "C:\\WINNT\\system32\\FTD2XXUN.EXE",
      "C:\\WINNT\\system32\\Drivers\\FTD2XX.SYS"}},
    // The driver goes below SYSTEM32 beside the 9x system folder.
    {"9x",
     VER_PLATFORM_WIN32_WINDOWS,
     "C:\\WIN98",
     "C:\\WIN98\\SYSTEM",
     {"C:\\WIN98\\INF\\MAYA51USB.INF", "C:\\WIN98\\INF\\PX_USB.INF",
      "C:\\WIN98\\SYSTEM\\FTD2XX.DLL", "C:\\WIN98\\SYSTEM\\FTD2XXUN.EXE",
      "C:\\WIN98\\SYSTEM32\\Drivers\\FTD2XX.SYS"}},
};

void PrintTo(const Family& family, std::ostream* out) { *out << family.name << " family"; }

class UsbSupportFilesTest : public ::testing::TestWithParam<Family> {
 protected:
  // A machine of the family with its target folders and, unless told
  // otherwise, every source file.
  static void Prepare(SimMachine& machine, bool withSources = true) {
    const Family& family = GetParam();
    machine.SetPlatform(family.platformId, family.platformId == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5);
    machine.SetWindowsDirectory(family.windowsDir);
    machine.SetSystemDirectory(family.systemDir);
    machine.AddDirectory(std::string(family.windowsDir) + "\\INF");
    machine.AddDirectory(FolderOf(family.targets[4]));
    if (withSources) {
      for (const Row& row : Rows) machine.AddFile(SourceDir + std::string(row.file), Payload(row));
    }
    machine.ClearCalls();
  }
  static std::string Payload(const Row& row) { return row.file + std::string(" payload"); }
  static std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('\\')); }
  static void Install(SimMachine& machine) {
    const Family& family = GetParam();
    const Platform platform{machine, family.platformId};
    InstallUsbAudioInterfaceFiles(platform, SourceDir, family.windowsDir, family.systemDir);
    InstallUsbControllerFiles(platform, SourceDir, family.windowsDir, family.systemDir);
  }
  static std::vector<std::string> MessageTexts(const SimMachine& machine) {
    std::vector<std::string> texts;
    for (const auto& box : machine.MessageBoxes()) {
      EXPECT_EQ(box.caption, "Korvanta Installation");
      EXPECT_EQ(box.type, 0x10000u);
      texts.push_back(box.text);
    }
    return texts;
  }
  static const char* Target(int row) { return GetParam().targets[row]; }
};

TEST_P(UsbSupportFilesTest, EveryFileLandsInItsFolder) {
  SimMachine machine;
  Prepare(machine);
  const std::vector<std::string> filesBefore = machine.Files();
  Install(machine);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(machine.ReadFile(Target(i)), Payload(Rows[i])) << Target(i);
  EXPECT_EQ(machine.Files().size(), filesBefore.size() + 5);
  EXPECT_TRUE(machine.MessageBoxes().empty());
  // Row order, one copy each, overwriting.
  const std::vector<std::string> copies = machine.CallsTo("CopyFileA");
  ASSERT_EQ(copies.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(copies[i], "CopyFileA(\"" + std::string(SourceDir) + Rows[i].file + "\", \"" +
                             Target(i) + "\", 0)");
  }
}

TEST_P(UsbSupportFilesTest, NoSourceFilesShowNothingAndChangeNothing) {
  SimMachine machine;
  Prepare(machine, false);
  const std::vector<std::string> filesBefore = machine.Files();
  Install(machine);
  EXPECT_TRUE(machine.MessageBoxes().empty());
  EXPECT_TRUE(machine.CallsTo("CopyFileA").empty());
  EXPECT_TRUE(machine.CallsTo("SetFileAttributesA").empty());
  EXPECT_EQ(machine.Files(), filesBefore);
}

// Each row failing alone shows that row's message and no other; every other
// row still copies.
TEST_P(UsbSupportFilesTest, EachFailedCopyShowsItsOwnMessageAndTheOtherRowsRun) {
  for (int failing = 0; failing < 5; ++failing) {
    SimMachine machine;
    Prepare(machine);
    machine.AddFault(Fault{"CopyFileA", ERROR_ACCESS_DENIED, Rows[failing].file});
    Install(machine);
    EXPECT_EQ(MessageTexts(machine), std::vector<std::string>{Rows[failing].message})
        << "row " << failing + 1;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(machine.FileExists(Target(i)), i != failing) << "row " << failing + 1 << ": " << Target(i);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, UsbSupportFilesTest, ::testing::ValuesIn(Families),
                         [](const auto& info) { return std::string(info.param.name) == "NT" ? "NT" : "NineX"; });

}  // namespace
}  // namespace korvanta
