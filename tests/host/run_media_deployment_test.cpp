// The deployment from the distribution CD on the simulated machine: which
// drive each file comes from, the error mode around the search, and what the
// application directory ends up holding.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install/media_deployment.h"
#include "install/run.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace {

using sim::SimMachine;

constexpr char Oem[] = "OEM\\TAVOEM.DLL";

// What lies on a drive: its type and the files on it, relative to its root.
struct Drive {
  char letter;
  UINT type;
  std::vector<std::string> files;
};

void AddDrives(SimMachine& machine, const std::vector<Drive>& drives) {
  for (const Drive& drive : drives) {
    machine.SetDriveType(drive.letter, drive.type);
    for (const std::string& file : drive.files) {
      machine.AddFile(std::string(1, drive.letter) + ":\\" + file, drive.letter + file);
    }
  }
}

TEST(FindOnCdromDrivesTest, FirstCdromDriveFromDToZThatHoldsTheFileWins) {
  const struct {
    const char* name;
    std::vector<Drive> drives;
    std::string expected;
  } cases[] = {
      {"two CDs", {{'D', DRIVE_CDROM, {Oem}}, {'E', DRIVE_CDROM, {Oem}}}, "D:\\OEM\\TAVOEM.DLL"},
      {"not on the first", {{'D', DRIVE_CDROM, {}}, {'Z', DRIVE_CDROM, {Oem}}}, "Z:\\OEM\\TAVOEM.DLL"},
      {"C: marked as CD", {{'C', DRIVE_CDROM, {Oem}}}, ""},
      {"A: and B: never", {{'A', DRIVE_CDROM, {Oem}}, {'B', DRIVE_CDROM, {Oem}}}, ""},
      {"only CD-ROM drives count",
       {{'D', DRIVE_FIXED, {Oem}}, {'E', DRIVE_REMOVABLE, {Oem}}, {'F', DRIVE_REMOTE, {Oem}},
        {'G', DRIVE_CDROM, {Oem}}},
       "G:\\OEM\\TAVOEM.DLL"},
      {"a folder of that name is no file",
       {{'D', DRIVE_CDROM, {Oem + std::string("\\inner")}}, {'E', DRIVE_CDROM, {Oem}}},
       "E:\\OEM\\TAVOEM.DLL"},
      {"no CD", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    AddDrives(machine, c.drives);
    machine.ClearCalls();
    EXPECT_EQ(FindOnCdromDrives(machine, Oem), c.expected);
    const std::vector<std::string> asked = machine.CallsTo("GetDriveTypeA");
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.front(), "GetDriveTypeA(\"D:\\\")");
    for (const std::string& call : asked) {
      EXPECT_EQ(call.find("\"A:"), std::string::npos);
      EXPECT_EQ(call.find("\"B:"), std::string::npos);
      EXPECT_EQ(call.find("\"C:"), std::string::npos);
    }
    if (c.expected.empty()) EXPECT_EQ(asked.size(), 23u);  // D to Z
  }
}

// Empty drives must not bring up a system dialog, and the caller's mode is
// back whichever way the search ends.
TEST(FindOnCdromDrivesTest, ErrorModeIsSwitchedForTheSearchAndRestored) {
  for (bool found : {true, false}) {
    SCOPED_TRACE(found ? "found" : "not found");
    SimMachine machine;
    AddDrives(machine, {{'E', DRIVE_CDROM, found ? std::vector<std::string>{Oem} : std::vector<std::string>{}}});
    machine.SetErrorMode(SEM_NOOPENFILEERRORBOX);
    machine.ClearCalls();
    FindOnCdromDrives(machine, Oem);
    const std::vector<std::string>& calls = machine.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front(), "SetErrorMode(1)");
    EXPECT_EQ(calls.back(), "SetErrorMode(32768)");
    EXPECT_EQ(machine.CallsTo("SetErrorMode").size(), 2u);
    EXPECT_EQ(machine.SetErrorMode(0), UINT{SEM_NOOPENFILEERRORBOX});
  }
}

// Two CDs: D: with the OEM library and the German manual, E: with the OEM
// library and the English manual; the application directory holds an old
// HISTORY.TXT.
class DeployMediaFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { Prepare(); }
  // A fresh machine for each case of a table.
  void Prepare() {
    machine_ = std::make_unique<SimMachine>();
    AddDrives(*machine_, {{'D', DRIVE_CDROM, {Oem, "DATA\\DOC\\Korvanta Handbuch-de.pdf"}},
                         {'E', DRIVE_CDROM, {Oem, "DATA\\DOC\\Korvanta Handbuch-en.pdf"}}});
    machine_->AddFile("C:\\Program Files\\Korvanta\\HISTORY.TXT", "history");
    machine_->AddFile("C:\\Program Files\\Korvanta\\TAV.EXE", "app");
  }
  void Deploy(const std::string& applicationDir, const std::string& manual) {
    machine_->ClearCalls();
    DeployMediaFiles(Platform{*machine_, VER_PLATFORM_WIN32_NT}, applicationDir, manual);
    EXPECT_TRUE(machine_->MessageBoxes().empty());
  }
  // Every file of the application directory with its content.
  std::map<std::string, std::string> Application() const {
    std::map<std::string, std::string> files;
    const std::string folder = "C:\\Program Files\\Korvanta\\";
    for (const std::string& path : machine_->Files()) {
      if (path.rfind(folder, 0) == 0) files[path.substr(folder.size())] = *machine_->ReadFile(path);
    }
    return files;
  }
  std::unique_ptr<SimMachine> machine_;
};

TEST_F(DeployMediaFilesTest, EachFileComesFromTheFirstDriveThatHoldsIt) {
  for (const char* folder : {"C:\\Program Files\\Korvanta", "C:\\Program Files\\Korvanta\\"}) {
    SCOPED_TRACE(folder);
    Prepare();
    Deploy(folder, "Korvanta Handbuch");
    const std::map<std::string, std::string> expected = {
        {"TAV.EXE", "app"},
        {"TAVOEM.DLL", "DOEM\\TAVOEM.DLL"},
        {"Korvanta Handbuch-de.pdf", "DDATA\\DOC\\Korvanta Handbuch-de.pdf"},
        {"Korvanta Handbuch-en.pdf", "EDATA\\DOC\\Korvanta Handbuch-en.pdf"}};
    EXPECT_EQ(Application(), expected);
    EXPECT_EQ(machine_->CallsTo("CopyFileA"),
              (std::vector<std::string>{
                  "CopyFileA(\"D:\\OEM\\TAVOEM.DLL\", \"C:\\Program Files\\Korvanta\\TAVOEM.DLL\", 0)",
                  "CopyFileA(\"D:\\DATA\\DOC\\Korvanta Handbuch-de.pdf\", "
                  "\"C:\\Program Files\\Korvanta\\Korvanta Handbuch-de.pdf\", 0)",
                  "CopyFileA(\"E:\\DATA\\DOC\\Korvanta Handbuch-en.pdf\", "
                  "\"C:\\Program Files\\Korvanta\\Korvanta Handbuch-en.pdf\", 0)"}));
  }
}

// Only the OEM library is copied when there is no manual name, and when the
// name holds a path: it would reach outside the CD's manual folder and the
// application directory. HISTORY.TXT goes either way.
TEST_F(DeployMediaFilesTest, ManualsAreSkippedForAnEmptyNameOrOneHoldingAPath) {
  for (const char* manual : {"", "..\\..\\WINDOWS\\win", "../Korvanta Handbuch", "D:Korvanta Handbuch",
                             "Korvanta Handbuch\\"}) {
    SCOPED_TRACE(manual);
    Prepare();
    Deploy("C:\\Program Files\\Korvanta", manual);
    const std::map<std::string, std::string> expected = {{"TAV.EXE", "app"},
                                                          {"TAVOEM.DLL", "DOEM\\TAVOEM.DLL"}};
    EXPECT_EQ(Application(), expected);
    EXPECT_EQ(machine_->CallsTo("CopyFileA").size(), 1u);
    for (const std::string& call : machine_->Calls()) EXPECT_EQ(call.find("DATA\\DOC"), std::string::npos) << call;
  }
}

// Under a double-byte code page a name whose character ends in the byte "\"
// is a plain name; under a single-byte one the same bytes hold a path.
TEST_F(DeployMediaFilesTest, TrailByteOfADoubleByteCharacterIsNoSeparator) {
  const std::string manual = "\x95\\Handbuch";
  for (bool japanese : {true, false}) {
    SCOPED_TRACE(japanese ? "932" : "1252");
    Prepare();
    if (japanese) machine_->SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
    machine_->AddFile("D:\\DATA\\DOC\\" + manual + "-de.pdf", "de");
    Deploy("C:\\Program Files\\Korvanta", manual);
    const std::vector<std::string> copies = machine_->CallsTo("CopyFileA");
    ASSERT_EQ(copies.size(), japanese ? 2u : 1u);
    if (japanese) {
      EXPECT_EQ(copies[1], "CopyFileA(\"D:\\DATA\\DOC\\" + manual + "-de.pdf\", \"C:\\Program Files\\Korvanta\\" +
                               manual + "-de.pdf\", 0)");
    }
  }
}

TEST_F(DeployMediaFilesTest, NoCdStillDeletesHistory) {
  SimMachine& machine = *machine_;
  machine.SetDriveType('D', DRIVE_FIXED);
  machine.SetDriveType('E', DRIVE_NO_ROOT_DIR);
  Deploy("C:\\Program Files\\Korvanta\\", "Korvanta Handbuch");
  EXPECT_EQ(Application(), (std::map<std::string, std::string>{{"TAV.EXE", "app"}}));
  EXPECT_TRUE(machine.CallsTo("CopyFileA").empty());
}

// Nothing is reported, and a target that cannot be written stays as it was:
// its read-only bit is not cleared first.
TEST_F(DeployMediaFilesTest, ReadOnlyOrLockedTargetsStaySilently) {
  const std::string folder = "C:\\Program Files\\Korvanta\\";
  machine_->AddFile(folder + "TAVOEM.DLL", "old oem", FILE_ATTRIBUTE_READONLY);
  machine_->AddFile(folder + "Korvanta Handbuch-de.pdf", "old de");
  machine_->LockFile(folder + "Korvanta Handbuch-de.pdf");
  machine_->AddFile(folder + "HISTORY.TXT", "history", FILE_ATTRIBUTE_READONLY);
  Deploy(folder, "Korvanta Handbuch");
  EXPECT_EQ(machine_->ReadFile(folder + "TAVOEM.DLL"), "old oem");
  EXPECT_EQ(machine_->Attributes(folder + "TAVOEM.DLL"), DWORD{FILE_ATTRIBUTE_READONLY});
  EXPECT_EQ(machine_->ReadFile(folder + "Korvanta Handbuch-de.pdf"), "old de");
  EXPECT_EQ(machine_->ReadFile(folder + "Korvanta Handbuch-en.pdf"), "EDATA\\DOC\\Korvanta Handbuch-en.pdf");
  EXPECT_EQ(machine_->ReadFile(folder + "HISTORY.TXT"), "history");
  EXPECT_TRUE(machine_->CallsTo("SetFileAttributesA").empty());
}

// The run deploys only with an application directory, quoted or not.
TEST(RunMediaDeploymentTest, StageRunsOnlyWithAnApplicationDirectory) {
  const struct {
    const char* commandLine;
    bool deployed;
  } cases[] = {{"korvanta-sysinstall.exe", false},
               {"korvanta-sysinstall.exe \"C:\\Program Files\\Korvanta\" Manual", true},
               {"korvanta-sysinstall.exe C:\\App\\ Manual", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commandLine);
    SimMachine machine;
    machine.SetCommandLine(c.commandLine);
    AddDrives(machine, {{'D', DRIVE_CDROM, {Oem}}});
    machine.AddDirectory("C:\\Program Files\\Korvanta");
    machine.AddDirectory("C:\\App");
    NewDevLoader newDev(machine);
    EXPECT_EQ(RunInstallation(machine, newDev), 0);
    EXPECT_EQ(machine.CallsTo("CopyFileA").size(), c.deployed ? 1u : 0u);
    EXPECT_EQ(machine.CallsTo("DeleteFileA").size(), c.deployed ? 1u : 0u);
  }
}

}  // namespace
}  // namespace korvanta
