// The deployment from the distribution CD on the simulated machine: the drive
// search with its error mode, and the manual names that are refused. What
// lands where, with which arguments, is proven under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/media_deployment.h"
#include "platform/sim/sim_machine.h"

namespace korvanta {
namespace {

using sim::SimMachine;

constexpr char Oem[] = "OEM\\TAVOEM.DLL";

struct Drive {
  char letter;
  UINT type;
  std::vector<std::string> files;  // relative to the root
};

void AddDrives(SimMachine& machine, const std::vector<Drive>& drives) {
  for (const Drive& drive : drives) {
    machine.SetDriveType(drive.letter, drive.type);
    for (const std::string& file : drive.files) machine.AddFile(std::string(1, drive.letter) + ":\\" + file, "x");
  }
}

TEST(FindOnCdromDrivesTest, FirstCdromDriveFromDToZThatHoldsTheFileWins) {
  const struct {
    const char* name;
    std::vector<Drive> drives;
    std::string expected;
  } cases[] = {
      {"two CDs", {{'D', DRIVE_CDROM, {Oem}}, {'E', DRIVE_CDROM, {Oem}}}, "D:\\OEM\\TAVOEM.DLL"},
      {"only on Z:", {{'D', DRIVE_CDROM, {}}, {'Z', DRIVE_CDROM, {Oem}}}, "Z:\\OEM\\TAVOEM.DLL"},
      {"A: to C: never", {{'A', DRIVE_CDROM, {Oem}}, {'B', DRIVE_CDROM, {Oem}}, {'C', DRIVE_CDROM, {Oem}}}, ""},
      {"only CD-ROM drives",
       {{'D', DRIVE_FIXED, {Oem}}, {'E', DRIVE_REMOVABLE, {Oem}}, {'F', DRIVE_CDROM, {Oem}}},
       "F:\\OEM\\TAVOEM.DLL"},
      {"a folder is no file", {{'D', DRIVE_CDROM, {Oem + std::string("\\x")}}, {'E', DRIVE_CDROM, {Oem}}},
       "E:\\OEM\\TAVOEM.DLL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    AddDrives(machine, c.drives);
    machine.SetErrorMode(SEM_NOOPENFILEERRORBOX);
    machine.ClearCalls();

    EXPECT_EQ(FindOnCdromDrives(machine, Oem), c.expected);

    std::string letters;
    for (const std::string& call : machine.CallsTo("GetDriveTypeA")) letters += call.at(15);
    EXPECT_EQ(letters, c.expected.empty() ? "DEFGHIJKLMNOPQRSTUVWXYZ"
                                          : std::string("DEFGHIJKLMNOPQRSTUVWXYZ").substr(0, c.expected[0] - 'D' + 1));
    // Empty drives bring up no system dialog, and the caller's mode is back
    // afterwards, found or not.
    const std::vector<std::string>& calls = machine.Calls();
    EXPECT_EQ(calls.front(), "SetErrorMode(1)");
    EXPECT_EQ(calls.back(), "SetErrorMode(32768)");
    EXPECT_EQ(machine.CallsTo("SetErrorMode").size(), 2u);
  }
}

// A manual name holding a path could copy any file of the machine to any
// place: the manuals are skipped, the OEM library and HISTORY.TXT are not.
// Under a double-byte code page the "\" that ends a character is no separator,
// in the manual's name as in an application folder whose name ends in it.
TEST(DeployMediaFilesTest, ManualNamesHoldingAPathSkipTheManuals) {
  const struct {
    std::string manual;
    bool japanese;
    bool manualsCopied;
    std::string appDir = "C:\\App";
    std::string target = "C:\\App\\";
  } cases[] = {{"Korvanta Handbuch", false, true},  {"", false, false},
               {"..\\..\\WINDOWS\\x", false, false}, {"../Handbuch", false, false},
               {"D:Handbuch", false, false},         {"\x95\\Handbuch", false, false},
               {"\x95\\Handbuch", true, true},
               {"Korvanta", true, true, "C:\\Program Files\\\x95\x5C", "C:\\Program Files\\\x95\x5C\\"},
               {"Korvanta", true, true, "C:\\Program Files\\\x95\x5C\\", "C:\\Program Files\\\x95\x5C\\"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.manual);
    SimMachine machine;
    if (c.japanese) machine.SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
    AddDrives(machine, {{'D', DRIVE_CDROM, {Oem}}});
    if (c.manual.find(':') == std::string::npos) {  // no such file name on a disc
      for (const char* suffix : {"-de.pdf", "-en.pdf"}) machine.AddFile("D:\\DATA\\DOC\\" + c.manual + suffix, "x");
    }
    machine.AddFile(c.target + "HISTORY.TXT", "history");
    machine.ClearCalls();

    DeployMediaFiles(Platform{machine, VER_PLATFORM_WIN32_NT}, c.appDir, c.manual);

    std::vector<std::string> expected = {"CopyFileA(\"D:\\OEM\\TAVOEM.DLL\", \"" + c.target + "TAVOEM.DLL\", 0)"};
    for (const char* suffix : {"-de.pdf", "-en.pdf"}) {
      if (c.manualsCopied) {
        expected.push_back("CopyFileA(\"D:\\DATA\\DOC\\" + c.manual + suffix + "\", \"" + c.target + c.manual + suffix + "\", 0)");
      }
    }
    EXPECT_EQ(machine.CallsTo("CopyFileA"), expected);
    // A refused name is not even looked for.
    for (const std::string& call : machine.Calls()) {
      if (!c.manualsCopied) {
        EXPECT_EQ(call.find("DATA\\DOC"), std::string::npos) << call;
      }
    }
    EXPECT_FALSE(machine.FileExists(c.target + "HISTORY.TXT"));
    EXPECT_TRUE(machine.MessageBoxes().empty());
  }
}

}  // namespace
}  // namespace korvanta
