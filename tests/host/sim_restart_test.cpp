// The simulated restart: Wininit.ini [rename] on the 9x family, the delayed
// MoveFileExA renames on NT, in the order in which they were made.
#include <gtest/gtest.h>

#include "platform/sim/sim_machine.h"

namespace korvanta::sim {
namespace {

constexpr DWORD kDelayedReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;

TEST(SimRestart, WininitRenamesInFileOrderThenBecomesWininitBak) {
  SimMachine machine;
  machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  machine.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
  machine.AddFile("C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL", "old");
  machine.AddFile("C:\\WINDOWS\\SYSTEM\\WNASPI32.9x", "new");
  machine.AddFile("C:\\WINDOWS\\TEMP\\SETUP.TMP", "scratch");
  machine.AddFile("C:\\WINDOWS\\WININIT.BAK", "from an earlier restart");
  machine.AddFile("C:\\WINDOWS\\WININIT.INI",
                  "[rename]\r\n"
                  "C:\\WINDOWS\\SYSTEM\\WNASPI32.OLD=C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL\r\n"
                  "C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL=C:\\WINDOWS\\SYSTEM\\WNASPI32.9x\r\n"
                  "NUL=C:\\WINDOWS\\TEMP\\SETUP.TMP\r\n"
                  "C:\\WINDOWS\\SYSTEM\\GONE.DLL=C:\\WINDOWS\\SYSTEM\\NEVER.THERE\r\n");
  machine.LockFile("C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL");

  machine.Restart();

  EXPECT_EQ("old", machine.ReadFile("C:\\WINDOWS\\SYSTEM\\WNASPI32.OLD"));
  EXPECT_EQ("new", machine.ReadFile("C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL"));
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\SYSTEM\\WNASPI32.9x"));
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\TEMP\\SETUP.TMP"));
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\SYSTEM\\GONE.DLL"));
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\WININIT.INI"));
  EXPECT_EQ(std::optional<std::string>("[rename]\r\n"
                                       "C:\\WINDOWS\\SYSTEM\\WNASPI32.OLD=C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL\r\n"
                                       "C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL=C:\\WINDOWS\\SYSTEM\\WNASPI32.9x\r\n"
                                       "NUL=C:\\WINDOWS\\TEMP\\SETUP.TMP\r\n"
                                       "C:\\WINDOWS\\SYSTEM\\GONE.DLL=C:\\WINDOWS\\SYSTEM\\NEVER.THERE\r\n"),
            machine.ReadFile("C:\\WINDOWS\\WININIT.BAK"));
  // Nothing holds the file any more after the restart.
  EXPECT_TRUE(machine.DeleteFileA("C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL"));
}

TEST(SimRestart, NtCarriesOutTheDelayedRenamesAndIgnoresWininit) {
  SimMachine machine;
  machine.AddFile("C:\\WINDOWS\\system32\\drivers\\ASPI32.SYS", "old");
  machine.AddFile("C:\\WINDOWS\\system32\\drivers\\ASPI32.NT", "new");
  machine.AddFile("C:\\WINDOWS\\WININIT.INI", "[rename]\r\nNUL=C:\\WINDOWS\\system32\\drivers\\ASPI32.SYS\r\n");
  const std::string drivers = "C:\\WINDOWS\\system32\\drivers\\";
  ASSERT_TRUE(machine.MoveFileExA((drivers + "ASPI32.SYS").c_str(), (drivers + "ASPI32.OLD").c_str(),
                                  kDelayedReplace));
  ASSERT_TRUE(machine.MoveFileExA((drivers + "ASPI32.NT").c_str(), (drivers + "ASPI32.SYS").c_str(),
                                  kDelayedReplace));
  ASSERT_TRUE(machine.MoveFileExA((drivers + "MISSING.SYS").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  const std::vector<std::pair<std::string, std::string>> pending = {
      {drivers + "ASPI32.SYS", drivers + "ASPI32.OLD"},
      {drivers + "ASPI32.NT", drivers + "ASPI32.SYS"},
      {drivers + "MISSING.SYS", ""},
  };
  EXPECT_EQ(pending, machine.PendingRenames());
  EXPECT_EQ("old", machine.ReadFile(drivers + "ASPI32.SYS"));

  machine.Restart();

  EXPECT_EQ("old", machine.ReadFile(drivers + "ASPI32.OLD"));
  EXPECT_EQ("new", machine.ReadFile(drivers + "ASPI32.SYS"));
  EXPECT_FALSE(machine.FileExists(drivers + "ASPI32.NT"));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\WININIT.INI"));
  EXPECT_TRUE(machine.PendingRenames().empty());
}

TEST(SimRestart, ARenameWithoutReplaceLeavesAnExistingTarget) {
  SimMachine machine;
  machine.AddFile("C:\\data\\A.NEW", "new");
  machine.AddFile("C:\\data\\A.DLL", "old");
  ASSERT_TRUE(machine.MoveFileExA("C:\\data\\A.NEW", "C:\\data\\A.DLL", MOVEFILE_DELAY_UNTIL_REBOOT));
  machine.Restart();
  EXPECT_EQ("old", machine.ReadFile("C:\\data\\A.DLL"));
  EXPECT_EQ("new", machine.ReadFile("C:\\data\\A.NEW"));
}

}  // namespace
}  // namespace korvanta::sim
