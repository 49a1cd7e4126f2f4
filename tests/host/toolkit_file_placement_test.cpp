// File placement: path joining, the existence test, clearing the read-only
// attribute, the reported copy and the replacement at restart.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "toolkit/error.h"
#include "toolkit/file_placement.h"
#include "toolkit/platform.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

TEST(AdjustTrailingBackslashTest, IncludeAddsExactlyOneExcludeDropsExactlyOne) {
  // "\x95\x5C" is one character under Japanese Windows (code page 932), whose
  // second byte is the byte of "\"; under a Western code page it is two.
  const struct {
    bool japanese;
    const char* path;
    const char* included;
    const char* excluded;
  } cases[] = {
      {false, "C:\\WINDOWS", "C:\\WINDOWS\\", "C:\\WINDOWS"},
      {false, "C:\\WINDOWS\\", "C:\\WINDOWS\\", "C:\\WINDOWS"},
      {false, "C:\\WINDOWS\\\\", "C:\\WINDOWS\\\\", "C:\\WINDOWS\\"},
      {false, "C:\\", "C:\\", "C:"},
      {false, "\\", "\\", ""},
      {false, "", "", ""},
      {false, "C:\\Program Files\\\x95\x5C", "C:\\Program Files\\\x95\x5C", "C:\\Program Files\\\x95"},
      {true, "C:\\Program Files\\\x95\x5C", "C:\\Program Files\\\x95\x5C\\", "C:\\Program Files\\\x95\x5C"},
      {true, "C:\\Program Files\\\x95\x5C\\", "C:\\Program Files\\\x95\x5C\\", "C:\\Program Files\\\x95\x5C"},
      {true, "C:\\\x95\x5C\x95\x5C", "C:\\\x95\x5C\x95\x5C\\", "C:\\\x95\x5C\x95\x5C"},
      {true, "C:\\WINDOWS\\", "C:\\WINDOWS\\", "C:\\WINDOWS"},
  };
  for (const auto& c : cases) {
    SimMachine machine;
    if (c.japanese) machine.SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
    EXPECT_EQ(AdjustTrailingBackslash(machine, c.path, true), c.included) << c.path;
    EXPECT_EQ(AdjustTrailingBackslash(machine, c.path, false), c.excluded) << c.path;
  }
}

TEST(FileExistsTest, OnlyFilesCount) {
  SimMachine machine;
  machine.AddFile("C:\\src\\A.DLL", "a", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(FileExists(machine, "C:\\src\\A.DLL"));
  EXPECT_TRUE(FileExists(machine, "c:\\SRC\\a.dll"));
  EXPECT_FALSE(FileExists(machine, "C:\\src"));
  EXPECT_FALSE(FileExists(machine, "C:\\src\\"));
  EXPECT_FALSE(FileExists(machine, "C:\\src\\B.DLL"));
  EXPECT_FALSE(FileExists(machine, "C:\\src\\*.DLL"));
  EXPECT_FALSE(FileExists(machine, ""));
}

TEST(ClearReadOnlyTest, ClearsReadOnlySetsArchiveAndKeepsTheOtherBits) {
  SimMachine machine;
  const std::string path = "C:\\WINDOWS\\system32\\FTD2XX.DLL";
  machine.AddFile(path, "old", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ClearReadOnly(machine, path);
  EXPECT_EQ(machine.Attributes(path),
            DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE});
  EXPECT_EQ(machine.ReadFile(path), "old");
}

TEST(ClearReadOnlyTest, LeavesWritableFilesFoldersAndMissingFilesAlone) {
  SimMachine machine;
  machine.AddFile("C:\\a\\HIDDEN.DLL", "h", FILE_ATTRIBUTE_HIDDEN);  // no archive bit either
  machine.AddDirectory("C:\\a\\FOLDER.DLL");
  machine.SetFileAttributesA("C:\\a\\FOLDER.DLL", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  const DWORD folderAttributes = machine.Attributes("C:\\a\\FOLDER.DLL");
  machine.ClearCalls();

  ClearReadOnly(machine, "C:\\a\\HIDDEN.DLL");
  ClearReadOnly(machine, "C:\\a\\FOLDER.DLL");
  ClearReadOnly(machine, "C:\\a\\MISSING.DLL");

  EXPECT_TRUE(machine.CallsTo("SetFileAttributesA").empty());
  EXPECT_EQ(machine.Attributes("C:\\a\\HIDDEN.DLL"), DWORD{FILE_ATTRIBUTE_HIDDEN});
  EXPECT_EQ(machine.Attributes("C:\\a\\FOLDER.DLL"), folderAttributes);
  EXPECT_FALSE(machine.FileExists("C:\\a\\MISSING.DLL"));
}

class CopyAndReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.AddFile(source, "new version");
    machine.ClearCalls();
  }
  const std::string source = "C:\\setup\\FTD2XX.DLL";
  const std::string target = "C:\\WINDOWS\\system32\\FTD2XX.DLL";
  const std::string message = "Unable to copy \"FTD2XX.DLL\" to System32 directory!";
  SimMachine machine;
  const Platform platform{machine, VER_PLATFORM_WIN32_NT};
};

// A target left read-only, hidden or system (a stopped run, another
// installer) is overwritten in either family: on NT a copy onto a hidden or
// system file fails unless the bits are cleared first.
TEST_F(CopyAndReportTest, ReadOnlyHiddenOrSystemTargetIsOverwrittenAndEndsWithTheArchiveBit) {
  for (const DWORD family : {DWORD{VER_PLATFORM_WIN32_NT}, DWORD{VER_PLATFORM_WIN32_WINDOWS}}) {
    machine.SetPlatform(family, family == VER_PLATFORM_WIN32_NT ? 5 : 4);
    for (const DWORD bits : {DWORD{FILE_ATTRIBUTE_READONLY}, DWORD{FILE_ATTRIBUTE_HIDDEN},
                             DWORD{FILE_ATTRIBUTE_SYSTEM},
                             DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM}}) {
      machine.AddFile(target, "old version", bits);
      machine.ClearCalls();
      CopyAndReport(Platform{machine, family}, source, target, message);
      EXPECT_EQ(machine.ReadFile(target), "new version") << family << " " << bits;
      EXPECT_EQ(machine.Attributes(target), DWORD{FILE_ATTRIBUTE_ARCHIVE}) << bits;
      EXPECT_TRUE(machine.MessageBoxes().empty()) << bits;
      EXPECT_EQ(machine.CallsTo("CopyFileA"),
                std::vector<std::string>{"CopyFileA(\"" + std::string("C:\\setup\\FTD2XX.DLL") +
                                         "\", \"C:\\WINDOWS\\system32\\FTD2XX.DLL\", 0)"});
    }
  }
}

// A copy of a read-only source (every file on a CD-ROM) is writable, its
// other attributes kept; a bit that cannot be cleared is not reported.
TEST_F(CopyAndReportTest, ACopyOfAReadOnlySourceIsWritable) {
  machine.AddFile(source, "new version", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  CopyAndReport(platform, source, target, message);
  EXPECT_EQ(machine.Attributes(target), DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE});

  machine.RemoveFile(target);
  machine.AddFault(Fault{"SetFileAttributesA", ERROR_ACCESS_DENIED, "", 1});
  CopyAndReport(platform, source, target, message);
  EXPECT_EQ(machine.ReadFile(target), "new version");
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST_F(CopyAndReportTest, MissingSourceDoesNothingAndShowsNothing) {
  machine.AddFile(target, "old version", FILE_ATTRIBUTE_READONLY);
  CopyAndReport(platform, "C:\\setup\\MISSING.DLL", target, message);
  // A folder of the source's name is not a source either.
  machine.AddDirectory("C:\\setup\\FOLDER.DLL");
  CopyAndReport(platform, "C:\\setup\\FOLDER.DLL", target, message);
  EXPECT_TRUE(machine.CallsTo("CopyFileA").empty());
  EXPECT_TRUE(machine.CallsTo("SetFileAttributesA").empty());
  EXPECT_TRUE(machine.MessageBoxes().empty());
  EXPECT_EQ(machine.ReadFile(target), "old version");
  EXPECT_EQ(machine.Attributes(target), DWORD{FILE_ATTRIBUTE_READONLY});
}

TEST_F(CopyAndReportTest, FailedCopyShowsItsMessageOnceUnderTheInstallerCaption) {
  machine.AddFile(target, "old version");
  machine.AddFault(Fault{"CopyFileA", ERROR_DISK_FULL, "", 1});
  CopyAndReport(platform, source, target, message);
  ASSERT_EQ(machine.MessageBoxes().size(), 1u);
  EXPECT_EQ(machine.MessageBoxes()[0].text, message);
  EXPECT_EQ(machine.MessageBoxes()[0].caption, "Korvanta Installation");
  EXPECT_EQ(machine.MessageBoxes()[0].type, 0x10000u);
  EXPECT_FALSE(machine.MessageBoxes()[0].hadOwner);
  EXPECT_EQ(machine.ReadFile(target), "old version");
  EXPECT_EQ(machine.CallsTo("CopyFileA").size(), 1u) << "a failed copy is retried";
}

// A target that a program holds is staged beside it (its name's last letter
// dropped) and replaced at the restart, without a box; every other failure,
// a staging copy that fails too among them, keeps the box.
TEST(CopyAndReportInUseTest, AHeldTargetIsReplacedAtTheRestartWithoutABox) {
  const struct {
    const char* why;
    DWORD family;
    DWORD lockError;    // 0: the target is not held
    bool readOnlyKept;  // the target's read-only bit cannot be cleared
    DWORD copyError;  // the copy that fails with it; 0: none
    int faultedCopy;
    bool staged;
  } cases[] = {
      {"shared, NT", VER_PLATFORM_WIN32_NT, ERROR_SHARING_VIOLATION, false, 0, 0, true},
      {"shared, 9x", VER_PLATFORM_WIN32_WINDOWS, ERROR_SHARING_VIOLATION, false, 0, 0, true},
      {"a running image", VER_PLATFORM_WIN32_NT, ERROR_ACCESS_DENIED, false, 0, 0, true},
      {"read-only, bit kept", VER_PLATFORM_WIN32_NT, ERROR_ACCESS_DENIED, true, 0, 0, false},
      {"staging copy fails", VER_PLATFORM_WIN32_NT, ERROR_SHARING_VIOLATION, false, ERROR_DISK_FULL, 2, false},
      {"disk full", VER_PLATFORM_WIN32_NT, 0, false, ERROR_DISK_FULL, 1, false},
      {"no target", VER_PLATFORM_WIN32_WINDOWS, 0, false, ERROR_ACCESS_DENIED, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    SimMachine machine;
    machine.SetPlatform(c.family, c.family == VER_PLATFORM_WIN32_NT ? 5 : 4, 10);
    const std::string target = "C:\\WINDOWS\\system32\\FTD2XX.DLL";
    machine.AddFile("C:\\setup\\FTD2XX.DLL", "new");
    if (std::string(c.why) != "no target") {
      machine.AddFile(target, "old", c.readOnlyKept ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
    }
    if (c.lockError != 0) machine.LockFile(target, c.lockError);
    if (c.readOnlyKept) machine.AddFault(Fault{"SetFileAttributesA", ERROR_ACCESS_DENIED, "", 1});
    if (c.copyError != 0) machine.AddFault(Fault{"CopyFileA", c.copyError, "", c.faultedCopy});

    CopyAndReport(Platform{machine, c.family}, "C:\\setup\\FTD2XX.DLL", target, "Unable to copy");

    EXPECT_EQ(machine.MessageBoxes().size(), c.staged ? 0u : 1u);
    EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\system32\\FTD2XX.DL"),
              c.staged ? std::optional<std::string>("new") : std::nullopt);
    machine.UnlockFile(target);
    machine.Restart();
    if (std::string(c.why) != "no target") {
      EXPECT_EQ(machine.ReadFile(target), c.staged ? "new" : "old");
    }
  }
}

// The 9x family's entry in short names, the only ones Windows 9x carries out
// at the restart; where the short form cannot be had, the path as given.
TEST(ScheduleReplaceTest, NineXWritesAWininitRenameEntryInShortNames) {
  // A staged file's short form of exactly the first buffer's 260 bytes:
  // its terminator needs the second read.
  std::string deep;
  for (int i = 0; i < 25; ++i) deep += "\\ABCDEFGH";
  deep += "\\ABCD";
  const struct {
    std::string windows;
    std::string writtenFolder;
    bool shortFormFails;
    const char* afterRestart;
  } rows[] = {
      {"C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM", false, "staged"},
      {"C:\\Windows 98", "C:\\WINDOW~1\\SYSTEM", false, "staged"},
      {"C:\\Windows 98", "C:\\Windows 98\\SYSTEM", true, "in use"},
      {"C:\\Windows 98" + deep, "C:\\WINDOW~1" + deep + "\\SYSTEM", false, "staged"},
  };
  ASSERT_EQ(rows[3].writtenFolder.size() + sizeof "\\RUNDAVEK.DL" - 1, size_t{MAX_PATH});
  for (const auto& row : rows) {
    SimMachine machine;
    machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    const std::string system = row.windows + "\\SYSTEM";
    machine.SetWindowsDirectory(row.windows);
    machine.SetSystemDirectory(system);
    machine.AddFile(system + "\\RUNDAVEK.DLL", "in use");
    machine.AddFile(system + "\\RUNDAVEK.DL", "staged");
    for (int i = 0; row.shortFormFails && i < 2; ++i) {
      machine.AddFault(Fault{"GetShortPathNameA", ERROR_ACCESS_DENIED, "", 1});
    }
    machine.ClearCalls();
    const Platform platform{machine, VER_PLATFORM_WIN32_WINDOWS};

    ScheduleReplace(platform, system + "\\RUNDAVEK.DLL", system + "\\RUNDAVEK.DL");

    const std::string folder = row.writtenFolder;
    EXPECT_EQ(machine.CallsTo("WritePrivateProfileStringA"),
              (std::vector<std::string>{
                  "WritePrivateProfileStringA(\"RENAME\", \"" + folder + "\\RUNDAVEK.DLL\", \"" +
                      folder + "\\RUNDAVEK.DL\", \"Wininit.ini\")",
                  "WritePrivateProfileStringA(NULL, NULL, NULL, \"Wininit.ini\")"}));
    EXPECT_TRUE(machine.CallsTo("MoveFileExA").empty());
    EXPECT_EQ(machine.ReadFile(system + "\\RUNDAVEK.DLL"), "in use");
    machine.Restart();
    EXPECT_EQ(machine.ReadFile(system + "\\RUNDAVEK.DLL"), row.afterRestart) << folder;
  }
}

// Neither family's restart replaces a read-only file: the target's bit goes
// first, the way the direct copy clears it.
TEST(ScheduleReplaceTest, AReadOnlyTargetIsMadeWritableFirst) {
  for (const DWORD family : {DWORD{VER_PLATFORM_WIN32_WINDOWS}, DWORD{VER_PLATFORM_WIN32_NT}}) {
    SimMachine machine;
    machine.SetPlatform(family, 4, 10);
    machine.AddFile("C:\\WINDOWS\\system32\\RUNDAVEK.DLL", "old", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    machine.AddFile("C:\\WINDOWS\\system32\\RUNDAVEK.DL", "new");
    ScheduleReplace({machine, family}, "C:\\WINDOWS\\system32\\RUNDAVEK.DLL", "C:\\WINDOWS\\system32\\RUNDAVEK.DL");
    EXPECT_EQ(machine.Attributes("C:\\WINDOWS\\system32\\RUNDAVEK.DLL"),
              DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE});
    machine.Restart();
    EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\system32\\RUNDAVEK.DLL"), "new") << family;
  }
}

TEST(ScheduleReplaceTest, NtRecordsADelayedRenameAndIgnoresItsFailure) {
  SimMachine machine;
  machine.AddFile("C:\\WINDOWS\\system32\\RUNDAVEK.EXE", "in use");
  machine.AddFile("C:\\WINDOWS\\system32\\RUNDAVEK.EX", "staged");
  machine.ClearCalls();
  const Platform platform{machine, VER_PLATFORM_WIN32_NT};

  ScheduleReplace(platform, "C:\\WINDOWS\\system32\\RUNDAVEK.EXE",
                  "C:\\WINDOWS\\system32\\RUNDAVEK.EX");
  EXPECT_EQ(machine.CallsTo("MoveFileExA"),
            std::vector<std::string>{"MoveFileExA(\"C:\\WINDOWS\\system32\\RUNDAVEK.EX\", "
                                     "\"C:\\WINDOWS\\system32\\RUNDAVEK.EXE\", 5)"});
  EXPECT_TRUE(machine.CallsTo("WritePrivateProfileStringA").empty());
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\Wininit.ini"));
  machine.Restart();
  EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\system32\\RUNDAVEK.EXE"), "staged");

  machine.AddFault(Fault{"MoveFileExA", ERROR_ACCESS_DENIED, ""});
  EXPECT_NO_THROW(ScheduleReplace(platform, "C:\\WINDOWS\\system32\\B.EXE",
                                  "C:\\WINDOWS\\system32\\B.EX"));
  EXPECT_TRUE(machine.MessageBoxes().empty());
  EXPECT_TRUE(machine.PendingRenames().empty());
}

// What the session manager already holds decides whether the rename is
// recorded again: never twice, however its paths are spelled; anything else
// pending, or a list that cannot be read, does not stop it.
TEST(ScheduleReplaceTest, NtAddsNoRenameThatIsAlreadyPending) {
  constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  constexpr char kStaged[] = "C:\\WINDOWS\\system32\\Drivers\\ASPI32.NT";
  constexpr char kTarget[] = "C:\\WINDOWS\\system32\\Drivers\\ASPI32.SYS";
  const auto list = [](std::initializer_list<std::string> entries) {
    std::string bytes;
    for (const std::string& entry : entries) bytes += entry + '\0';
    return bytes + '\0';
  };
  const std::string ours = list({"\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.NT",
                                 "!\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.SYS"});
  const struct {
    const char* why;
    std::optional<sim::RegistryValue> pending;
    bool denyReading;
    bool added;
    int moreDataReads = 0;  // reads of the data answered ERROR_MORE_DATA: another program added to it
  } cases[] = {
      {"nothing pending", std::nullopt, false, true},
      {"the same rename", sim::RegistryValue{REG_MULTI_SZ, ours}, false, false},
      {"the same rename in other letter case",
       sim::RegistryValue{REG_MULTI_SZ, list({"\\??\\c:\\windows\\SYSTEM32\\drivers\\aspi32.nt",
                                              "!\\??\\C:\\Windows\\System32\\DRIVERS\\ASPI32.sys"})},
       false, false},
      {"after a deletion and another rename",
       sim::RegistryValue{REG_MULTI_SZ,
                          list({"\\??\\C:\\x.tmp", "", "\\??\\C:\\a", "!\\??\\C:\\b",
                                "\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.NT",
                                "!\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.SYS"})},
       false, false},
      {"without its closing empty string",
       sim::RegistryValue{REG_MULTI_SZ, ours.substr(0, ours.size() - 2)}, false, false},
      {"the same paths without replacing",
       sim::RegistryValue{REG_MULTI_SZ, list({"\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.NT",
                                              "\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.SYS"})},
       false, true},
      {"the pair's paths swapped",
       sim::RegistryValue{REG_MULTI_SZ, list({"\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.SYS",
                                              "!\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.NT"})},
       false, true},
      {"the target pending for another source",
       sim::RegistryValue{REG_MULTI_SZ, list({"\\??\\C:\\other\\ASPI32.NT",
                                              "!\\??\\C:\\WINDOWS\\system32\\Drivers\\ASPI32.SYS"})},
       false, true},
      {"a list of another type", sim::RegistryValue{REG_BINARY, ours}, false, true},
      {"a list that cannot be read", sim::RegistryValue{REG_MULTI_SZ, ours}, true, true},
      {"the same rename in a list grown since its size", sim::RegistryValue{REG_MULTI_SZ, ours}, false, false, 1},
      {"a list that grows at every read", sim::RegistryValue{REG_MULTI_SZ, ours}, false, true, 4},
  };
  for (const auto& c : cases) {
    SimMachine machine;
    if (c.pending) machine.SetRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations", *c.pending);
    if (c.denyReading) machine.DenyRegistryAccess(HKEY_LOCAL_MACHINE, kSessionManager, KEY_QUERY_VALUE);
    // The size query is the first call to match; each fault then takes the next read.
    for (int i = 0; i < c.moreDataReads; ++i) {
      machine.AddFault(Fault{"RegQueryValueExA", ERROR_MORE_DATA, "PendingFileRenameOperations", 2});
    }
    machine.ClearCalls();

    ScheduleReplace(Platform{machine, VER_PLATFORM_WIN32_NT}, kTarget, kStaged);

    EXPECT_EQ(machine.CallsTo("MoveFileExA").size(), c.added ? 1u : 0u) << c.why;
    EXPECT_EQ(machine.OpenHandleCount(), 0) << c.why;
    EXPECT_EQ(machine.PlannedFaultCount(), 0) << c.why;
  }
}

}  // namespace
}  // namespace korvanta
