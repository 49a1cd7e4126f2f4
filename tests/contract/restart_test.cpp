// Replacing a file at the next restart: Wininit.ini [rename] on the 9x family,
// MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT on NT. The restart carries the
// entries out in the order in which they were made, so the file that holds the
// final name is set aside before the new one takes that name.
#include <gtest/gtest.h>

#include <string>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

constexpr DWORD kErrorCallNotImplemented = 120;
constexpr DWORD kDelayedReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;

std::string WindowsFile(const char* name) {
  char windows[MAX_PATH + 1] = {};
  Env().Ops().GetWindowsDirectoryA(windows, sizeof windows);
  return std::string(windows) + "\\" + name;
}

// The scratch folder's short (8.3) form; its own name is a long one.
std::string ShortScratch() {
  char buffer[MAX_PATH] = {};
  const DWORD length = Env().Ops().GetShortPathNameA(Env().Scratch().c_str(), buffer, sizeof buffer);
  EXPECT_TRUE(length > 0 && length < sizeof buffer);
  return std::string(buffer, length);
}

// Windows 9x carries out only entries in short names, so the 9x family gets
// those unless `longNames`.
void ScheduleEngineReplacement(bool longNames = false) {
  PlatformOps& ops = Env().Ops();
  Env().WriteFile(InScratch("ENGINE.DLL"), "old engine");
  Env().WriteFile(InScratch("ENGINE.DL"), "new engine");
  const std::string folder = Is9xFamily() && !longNames ? ShortScratch() : Env().Scratch();
  const std::string final = folder + "\\ENGINE.DLL";
  const std::string backup = folder + "\\ENGINE.OLD";
  const std::string staged = folder + "\\ENGINE.DL";
  if (Is9xFamily()) {
    ASSERT_TRUE(ops.WritePrivateProfileStringA("RENAME", backup.c_str(), final.c_str(), "Wininit.ini"));
    ASSERT_TRUE(ops.WritePrivateProfileStringA("RENAME", final.c_str(), staged.c_str(), "Wininit.ini"));
  } else {
    ASSERT_TRUE(ops.MoveFileExA(final.c_str(), backup.c_str(), kDelayedReplace));
    ASSERT_TRUE(ops.MoveFileExA(staged.c_str(), final.c_str(), kDelayedReplace));
  }
}

TEST(Restart, ReplaceFileBeforeRestart) {
  ScheduleEngineReplacement();
  // Nothing moves before the restart.
  EXPECT_EQ("old engine", Env().ReadFile(InScratch("ENGINE.DLL")));
  EXPECT_EQ("new engine", Env().ReadFile(InScratch("ENGINE.DL")));
  EXPECT_EQ(std::nullopt, Env().ReadFile(InScratch("ENGINE.OLD")));
}

TEST(Restart, ReplaceFileAfterRestart) {
  if (Env().CanRestart()) {
    ScheduleEngineReplacement();
    Env().Restart();
  }
  EXPECT_EQ("new engine", Env().ReadFile(InScratch("ENGINE.DLL")));
  EXPECT_EQ("old engine", Env().ReadFile(InScratch("ENGINE.OLD")));
  EXPECT_EQ(std::nullopt, Env().ReadFile(InScratch("ENGINE.DL")));
  if (Is9xFamily()) {
    // Wininit.ini is kept under another name once it has been carried out.
    EXPECT_EQ(std::nullopt, Env().ReadFile(WindowsFile("WININIT.INI")));
    EXPECT_NE(std::nullopt, Env().ReadFile(WindowsFile("WININIT.BAK")));
  }
}

TEST(Restart, LongNamesInWininitBeforeRestart) {
  if (!Is9xFamily()) GTEST_SKIP() << "NT family";
  ScheduleEngineReplacement(true);
}

TEST(Restart, LongNamesInWininitAfterRestart) {
  if (!Is9xFamily()) GTEST_SKIP() << "NT family";
  if (Env().CanRestart()) {
    ScheduleEngineReplacement(true);
    Env().Restart();
  }
  // Windows 9x passes over the entries: the scratch folder's name is long.
  // Wine carries them out.
  EXPECT_EQ(TODO_WINE("old engine", "new engine"), Env().ReadFile(InScratch("ENGINE.DLL")));
  EXPECT_EQ(TODO_WINE(std::optional<std::string>("new engine"), std::optional<std::string>()),
            Env().ReadFile(InScratch("ENGINE.DL")));
}

TEST(Restart, MoveFileExIsMissingOnThe9xFamily) {
  if (!Is9xFamily()) GTEST_SKIP() << "NT family";
  PlatformOps& ops = Env().Ops();
  ops.SetLastError(kSentinelError);
  const BOOL moved = ops.MoveFileExA(InScratch("nothing.tmp").c_str(), InScratch("nothing.new").c_str(),
                                     kDelayedReplace);
  // Wine has the function in its Windows 98 mode too.
  EXPECT_EQ(TODO_WINE(FALSE, TRUE), moved);
  if (!moved) {
    EXPECT_EQ(kErrorCallNotImplemented, ops.GetLastError());
  }
}

}  // namespace
}  // namespace korvanta::contract
