// The running-product guard on the simulated machine: which names count as
// the suite, how each back-end walks the list, and what a missing back-end
// does to the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/product_guard.h"
#include "install/run.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

// Toolhelp is taken on Windows 98, PSAPI on XP.
struct Family {
  const char* name;
  DWORD platformId;
  DWORD major;
};
const Family Families[] = {{"Toolhelp", VER_PLATFORM_WIN32_WINDOWS, 4},
                           {"Psapi", VER_PLATFORM_WIN32_NT, 5}};

// Japanese (code page 932): lead bytes 0x81-0x9F and 0xE0-0xFC; "\x95\\" is
// one character whose second byte is "\".
const std::vector<std::pair<BYTE, BYTE>> Japanese = {{0x81, 0x9F}, {0xE0, 0xFC}};

struct Visit {
  DWORD id;
  std::string name;
  int enumCallsBefore;  // EnumProcesses calls made before the first visit (-1 on later ones)
};
struct Walk {
  SimMachine* machine;
  std::vector<Visit> visits;
  size_t stopAfter = 0;  // 0: never stop
};

bool RecordingVisitor(PlatformOps&, DWORD id, const char* name, uintptr_t user) {
  Walk& walk = *reinterpret_cast<Walk*>(user);
  // Counting the log once is enough: the first visit is what must come after every read.
  const int reads = walk.visits.empty() ? static_cast<int>(walk.machine->CallsTo("EnumProcesses").size()) : -1;
  walk.visits.push_back({id, name, reads});
  return walk.stopAfter == 0 || walk.visits.size() < walk.stopAfter;
}

// The running flag is process-wide and every test of the binary shares the
// process: each test here starts and ends with it cleared, so that no other
// test sees a suite "running".
class FlagClearingTest {
 protected:
  FlagClearingTest() { ClearProductRunningFlagForTesting(); }
  ~FlagClearingTest() { ClearProductRunningFlagForTesting(); }
};

class ProductGuardTest : public ::testing::TestWithParam<Family>, protected FlagClearingTest {
 protected:
  void SetUp() override { machine_.SetPlatform(GetParam().platformId, GetParam().major); }
  void TearDown() override {
    EXPECT_EQ(machine_.LoadedLibraryCount(), 0);
    EXPECT_EQ(machine_.OpenHandleCount(), 0);
  }
  bool Psapi() const { return GetParam().platformId == VER_PLATFORM_WIN32_NT; }
  SimMachine machine_;
};

TEST_P(ProductGuardTest, OnlyTheFileNamePartOfAProductNameInAsciiCapitalsMatches) {
  const struct {
    const char* name;
    bool japanese;
    bool running;
  } cases[] = {
      {"C:\\Program Files\\Korvanta\\tav.exe", false, true},
      {"TAV.EXE", false, true},
      {"D:TavMori.Exe", false, true},
      {"\\\\server\\share\\TAVPELANI.EXE", false, true},
      {"C:\\TAV.EXE\\TAVX.EXE", false, false},
      {"TAV.EXE.OLD", false, false},
      {"XTAV.EXE", false, false},
      {"TAV.COM", false, false},
      {"TAV.EX", false, false},
      {"TAV.EXE ", false, false},
      // A locale's capitals would turn the Turkish dotless i (0xFD) into "I".
      {"C:\\TAVPELAN\xFD.EXE", false, false},
      // "\x95\\" is one character under code page 932, so its "\" is no
      // separator; a plain "\" after it still is.
      {"C:\\\x95\\TAV.EXE", true, false},
      {"C:\\\x95\\TAV.EXE", false, true},
      {"C:\\\x95\\\\TAV.EXE", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    machine.SetPlatform(GetParam().platformId, GetParam().major);
    if (c.japanese) machine.SetLeadByteRanges(Japanese);
    machine.AddProcesses(3);
    machine.AddProcess(c.name, c.name);
    ClearProductRunningFlagForTesting();
    EXPECT_EQ(IsProductRunning(machine), c.running);
    EXPECT_EQ(ProductRunningFlag(), c.running);
  }
}

TEST_P(ProductGuardTest, TheWalkStopsAtTheFirstMatch) {
  machine_.AddProcesses(2);
  const DWORD first = machine_.AddProcess("TAVMORI.EXE", "C:\\K\\TAVMORI.EXE");
  machine_.AddProcess("TAV.EXE", "C:\\K\\TAV.EXE");
  machine_.AddProcesses(2);
  EXPECT_TRUE(IsProductRunning(machine_));
  if (Psapi()) {
    const std::vector<std::string> opened = machine_.CallsTo("OpenProcess");
    ASSERT_EQ(opened.size(), 4u);  // the installer, two fillers, TAVMORI.EXE
    EXPECT_EQ(opened.back(), "OpenProcess(1040, 0, " + std::to_string(first) + ")");
  } else {
    EXPECT_EQ(machine_.CallsTo("Process32Next").size(), 3u);
  }
}

TEST_P(ProductGuardTest, AVisitorThatStopsOnTheFirstProcessEndsTheWalkWhichStillReportsTrue) {
  machine_.AddProcesses(5);
  Walk walk{&machine_, {}, 1};
  EXPECT_TRUE(EnumerateProcesses(machine_, RecordingVisitor, reinterpret_cast<uintptr_t>(&walk)));
  ASSERT_EQ(walk.visits.size(), 1u);
  EXPECT_EQ(walk.visits[0].id, 500u);  // the installer's own process
  EXPECT_EQ(machine_.CallsTo(Psapi() ? "OpenProcess" : "Process32Next").size(), Psapi() ? 1u : 0u);
  EXPECT_FALSE(ProductRunningFlag());
}

TEST_P(ProductGuardTest, MissingBackEndMeansNotRunningAndNoVisit) {
  const std::vector<std::pair<std::string, std::string>> missing =
      Psapi() ? std::vector<std::pair<std::string, std::string>>{{"PSAPI.DLL", ""},
                                                                 {"PSAPI.DLL", "EnumProcesses"},
                                                                 {"PSAPI.DLL", "EnumProcessModules"},
                                                                 {"PSAPI.DLL", "GetModuleFileNameExA"}}
              : std::vector<std::pair<std::string, std::string>>{
                    {"kernel32.dll", ""},
                    {"kernel32.dll", "CreateToolhelp32Snapshot"},
                    {"kernel32.dll", "Process32First"},
                    {"kernel32.dll", "Process32Next"}};
  for (const auto& [library, function] : missing) {
    SCOPED_TRACE(library + " " + function);
    SimMachine machine;
    machine.SetPlatform(GetParam().platformId, GetParam().major);
    if (function.empty()) {
      machine.RemoveLibrary(library);
    } else {
      machine.RemoveExport(library, function);
    }
    machine.AddProcess("TAV.EXE", "C:\\K\\TAV.EXE");
    Walk walk{&machine, {}, 0};
    EXPECT_FALSE(EnumerateProcesses(machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&walk)));
    EXPECT_TRUE(walk.visits.empty());
    EXPECT_FALSE(IsProductRunning(machine));
    EXPECT_EQ(machine.LoadedLibraryCount(), 0);
    EXPECT_EQ(machine.OpenHandleCount(), 0);
  }
}

// The list itself cannot be had: no walk, nothing held afterwards.
TEST_P(ProductGuardTest, FailingListMeansNoWalk) {
  const std::vector<std::string> failing =
      Psapi() ? std::vector<std::string>{"HeapAlloc", "EnumProcesses"}
              : std::vector<std::string>{"CreateToolhelp32Snapshot"};
  for (const std::string& operation : failing) {
    SCOPED_TRACE(operation);
    SimMachine machine;
    machine.SetPlatform(GetParam().platformId, GetParam().major);
    machine.AddProcess("TAV.EXE", "C:\\K\\TAV.EXE");
    machine.AddFault(Fault{operation, ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_FALSE(IsProductRunning(machine));
    EXPECT_EQ(machine.LoadedLibraryCount(), 0);
    EXPECT_EQ(machine.OpenHandleCount(), 0);
  }
}

// A product run stops the run before anything is changed: one message, exit
// code 0, and no call after the message.
TEST_P(ProductGuardTest, RunShowsOnlyTheMessageAndChangesNothing) {
  machine_.AddProcess("tavpelani.exe", "C:\\Korvanta\\tavpelani.exe");
  machine_.SetCommandLine("korvanta-sysinstall.exe C:\\App Manual");
  machine_.SetDriveType('D', DRIVE_CDROM);
  machine_.AddFile("D:\\OEM\\TAVOEM.DLL", "oem");
  machine_.AddFile("C:\\App\\HISTORY.TXT", "history");
  machine_.AddFile("C:\\setup\\PX_USB.INF", "inf");
  const std::vector<std::string> files = machine_.Files();
  NewDevLoader newDev(machine_);

  EXPECT_EQ(RunInstallation(machine_, newDev), 0);

  ASSERT_EQ(machine_.MessageBoxes().size(), 1u);
  const sim::MessageBoxRecord& box = machine_.MessageBoxes()[0];
  EXPECT_EQ(box.text, "Please close your software, restart your machine and run setup again !");
  EXPECT_EQ(box.caption, "Korvanta Installation");
  EXPECT_EQ(box.type, UINT{MB_OK});
  EXPECT_FALSE(box.hadOwner);
  EXPECT_EQ(machine_.Calls().back().rfind("MessageBoxA(", 0), 0u);
  EXPECT_EQ(machine_.Files(), files);
  for (const char* change : {"CopyFileA", "DeleteFileA", "RegCreateKeyExA", "RegDeleteKeyA",
                             "WritePrivateProfileStringA", "MoveFileExA"}) {
    EXPECT_TRUE(machine_.CallsTo(change).empty()) << change;
  }
}

// No back-end: the suite counts as not running and every stage runs.
TEST_P(ProductGuardTest, RunGoesOnWithoutABackEnd) {
  machine_.RemoveLibrary(Psapi() ? "PSAPI.DLL" : "kernel32.dll");
  machine_.AddProcess("TAV.EXE", "C:\\K\\TAV.EXE");
  machine_.AddFile("C:\\setup\\PX_USB.INF", "inf");
  NewDevLoader newDev(machine_);
  EXPECT_EQ(RunInstallation(machine_, newDev), 0);
  EXPECT_TRUE(machine_.MessageBoxes().empty());
  EXPECT_TRUE(machine_.FileExists("C:\\WINDOWS\\INF\\PX_USB.INF"));
}

INSTANTIATE_TEST_SUITE_P(BothBackEnds, ProductGuardTest, ::testing::ValuesIn(Families),
                         [](const auto& info) { return std::string(info.param.name); });

class PsapiWalkTest : public ::testing::Test, protected FlagClearingTest {};

// A filled id array may have been cut: the list is read again, twice as large,
// before the first visit, and every process is then visited once, in order.
TEST_F(PsapiWalkTest, AFullIdArrayIsReadAgainTwiceAsLargeBeforeAnyVisit) {
  const struct {
    int processes;  // the installer's own included
    std::vector<std::string> sizes;
  } cases[] = {{255, {"1024"}}, {256, {"1024", "2048"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.processes);
    SimMachine machine;
    machine.AddProcesses(c.processes - 1);
    Walk walk{&machine, {}, 0};
    EXPECT_TRUE(EnumerateProcesses(machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&walk)));

    const std::vector<std::string> reads = machine.CallsTo("EnumProcesses");
    const std::vector<std::string> allocations = machine.CallsTo("HeapAlloc");
    ASSERT_EQ(reads.size(), c.sizes.size());
    ASSERT_EQ(allocations.size(), c.sizes.size());
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      EXPECT_NE(reads[i].find(", ptr, " + c.sizes[i] + ", ptr)"), std::string::npos) << reads[i];
      EXPECT_NE(allocations[i].find(", 0, " + c.sizes[i] + ")"), std::string::npos) << allocations[i];
    }
    ASSERT_EQ(walk.visits.size(), static_cast<size_t>(c.processes));
    EXPECT_EQ(walk.visits.front().enumCallsBefore, static_cast<int>(c.sizes.size()));
    EXPECT_EQ(walk.visits.front().id, 500u);
    EXPECT_EQ(walk.visits.front().name, "C:\\setup\\korvanta-sysinstall.exe");
    EXPECT_EQ(machine.OpenHandleCount(), 0);
  }
}

// A process that cannot be opened or queried is visited with an empty name
// and never matches, whatever it runs.
TEST_F(PsapiWalkTest, AnUnqueryableProcessIsVisitedWithAnEmptyName) {
  const struct {
    bool canOpen;
    const char* failing;
  } cases[] = {{false, nullptr}, {true, "EnumProcessModules"}, {true, "GetModuleFileNameExA"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing ? c.failing : "OpenProcess");
    SimMachine machine;
    const DWORD tav = machine.AddProcess("TAV.EXE", "C:\\Korvanta\\TAV.EXE", c.canOpen);
    if (c.failing) machine.AddFault(Fault{c.failing, ERROR_ACCESS_DENIED, "", 2});
    Walk walk{&machine, {}, 0};
    EXPECT_TRUE(EnumerateProcesses(machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&walk)));
    ASSERT_EQ(walk.visits.size(), 2u);
    EXPECT_EQ(walk.visits[1].id, tav);
    EXPECT_EQ(walk.visits[1].name, "");
    if (c.failing) machine.AddFault(Fault{c.failing, ERROR_ACCESS_DENIED, "", 2});
    ClearProductRunningFlagForTesting();
    EXPECT_FALSE(IsProductRunning(machine));
    EXPECT_EQ(machine.OpenHandleCount(), 0);
  }
}

// NT 4 has PSAPI but no Toolhelp; the 9x family and NT 3 never use PSAPI.
using IsNt4OrLaterTest = PsapiWalkTest;

TEST_F(IsNt4OrLaterTest, NtFromMajorVersion4On) {
  const struct {
    DWORD platformId;
    DWORD major;
    bool expected;
  } cases[] = {{VER_PLATFORM_WIN32_WINDOWS, 4, false}, {VER_PLATFORM_WIN32_NT, 3, false},
               {VER_PLATFORM_WIN32_NT, 4, true},       {VER_PLATFORM_WIN32_NT, 6, true}};
  for (const auto& c : cases) {
    SimMachine machine;
    machine.SetPlatform(c.platformId, c.major);
    EXPECT_EQ(IsNt4OrLater(machine), c.expected) << c.platformId << "." << c.major;
  }
  SimMachine nt4;
  nt4.SetPlatform(VER_PLATFORM_WIN32_NT, 4);
  nt4.AddProcess("TAV.EXE", "C:\\K\\TAV.EXE");
  ClearProductRunningFlagForTesting();
  EXPECT_TRUE(IsProductRunning(nt4));
}

}  // namespace
}  // namespace korvanta
