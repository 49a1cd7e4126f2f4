// The running-product guard on the simulated machine: which names count as
// the suite, how each back-end walks the list, and what a missing back-end
// does.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "install/product_guard.h"
#include "platform/sim/sim_machine.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

struct Visits {
  SimMachine* machine;
  std::vector<std::string> names;
  int readsBeforeFirstVisit = 0;
  bool stopAtOnce = false;
};

bool RecordingVisitor(PlatformOps&, DWORD, const char* name, uintptr_t user) {
  Visits& visits = *reinterpret_cast<Visits*>(user);
  if (visits.names.empty()) {
    visits.readsBeforeFirstVisit = static_cast<int>(visits.machine->CallsTo("EnumProcesses").size());
  }
  visits.names.push_back(name);
  return !visits.stopAtOnce;
}

// The running flag is process-wide and all host tests share the process: each
// test here starts and ends with it cleared.
class ProductGuardTest : public ::testing::TestWithParam<DWORD> {
 protected:
  ProductGuardTest() { ClearProductRunningFlagForTesting(); }
  ~ProductGuardTest() override { ClearProductRunningFlagForTesting(); }

  // Windows 98 walks with Toolhelp, XP with PSAPI.
  std::unique_ptr<SimMachine> NewMachine() const {
    auto machine = std::make_unique<SimMachine>();
    machine->SetPlatform(GetParam(), GetParam() == VER_PLATFORM_WIN32_NT ? 5 : 4);
    return machine;
  }
  static void ExpectNothingHeld(const SimMachine& machine) {
    EXPECT_EQ(machine.LoadedLibraryCount(), 0);
    EXPECT_EQ(machine.OpenHandleCount(), 0);
  }
};

TEST_P(ProductGuardTest, OnlyTheFileNamePartOfAProductNameInAsciiCapitalsMatches) {
  const struct {
    const char* name;
    bool japanese;  // code page 932: lead bytes 0x81-0x9F and 0xE0-0xFC
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
      {"TAV.EXE ", false, false},
      // Locale rules would turn the Turkish dotless i (0xFD) into "I".
      {"C:\\TAVPELAN\xFD.EXE", false, false},
      // "\x95\\" is one character under code page 932: its "\" is no
      // separator, a plain "\" after it still is.
      {"C:\\\x95\\TAV.EXE", true, false},
      {"C:\\\x95\\TAV.EXE", false, true},
      {"C:\\\x95\\\\TAV.EXE", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto machine = NewMachine();
    if (c.japanese) machine->SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});
    machine->AddProcesses(2);
    machine->AddProcess(c.name, c.name);
    ClearProductRunningFlagForTesting();
    EXPECT_EQ(IsProductRunning(*machine), c.running);
    ExpectNothingHeld(*machine);
  }
}

// Windows 9x's Toolhelp may name a program by its short path: the long name
// of the file it names decides there. NT's list names the long path.
TEST_P(ProductGuardTest, AShortNameInTheProcessListCountsByItsFilesLongName) {
  const bool nineX = GetParam() == VER_PLATFORM_WIN32_WINDOWS;
  const struct {
    const char* file;  // the program's file, nullptr: gone since it started
    bool running;
  } cases[] = {
      {"C:\\Program Files\\Korvanta\\TAVPELANI.EXE", nineX},
      {"C:\\Program Files\\Korvanta\\TavpelaniX.exe", false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    auto machine = NewMachine();
    if (c.file != nullptr) machine->AddFile(c.file, "MZ");
    machine->AddProcess("C:\\PROGRA~1\\KORVANTA\\TAVPEL~1.EXE", "C:\\PROGRA~1\\KORVANTA\\TAVPEL~1.EXE");
    ClearProductRunningFlagForTesting();
    EXPECT_EQ(IsProductRunning(*machine), c.running) << (c.file ? c.file : "no file");
    ExpectNothingHeld(*machine);
  }
}

TEST_P(ProductGuardTest, AVisitorThatStopsOnTheFirstProcessEndsTheWalkWhichStillReportsTrue) {
  auto machine = NewMachine();
  machine->AddProcesses(5);
  Visits visits{machine.get(), {}};
  visits.stopAtOnce = true;
  EXPECT_TRUE(EnumerateProcesses(*machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&visits)));
  EXPECT_EQ(visits.names.size(), 1u);
  EXPECT_EQ(machine->CallsTo(GetParam() == VER_PLATFORM_WIN32_NT ? "OpenProcess" : "Process32Next").size(),
            GetParam() == VER_PLATFORM_WIN32_NT ? 1u : 0u);
  ExpectNothingHeld(*machine);
}

// No walk (library or function missing, the list unreadable): the suite
// counts as not running, nobody is visited, nothing stays held.
TEST_P(ProductGuardTest, NoBackEndMeansNotRunning) {
  const bool psapi = GetParam() == VER_PLATFORM_WIN32_NT;
  const std::string library = psapi ? "PSAPI.DLL" : "kernel32.dll";
  const std::vector<std::string> functions =
      psapi ? std::vector<std::string>{"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExA"}
            : std::vector<std::string>{"CreateToolhelp32Snapshot", "Process32First", "Process32Next"};
  std::vector<std::pair<std::string, std::string>> cases = {{"library", ""}};
  for (const std::string& function : functions) cases.push_back({"export", function});
  for (const char* failing : psapi ? std::vector<const char*>{"HeapAlloc", "EnumProcesses"}
                                   : std::vector<const char*>{"CreateToolhelp32Snapshot"}) {
    cases.push_back({"fault", failing});
  }
  for (const auto& [kind, name] : cases) {
    SCOPED_TRACE(kind + " " + name);
    auto machine = NewMachine();
    if (kind == "library") machine->RemoveLibrary(library);
    if (kind == "export") machine->RemoveExport(library, name);
    if (kind == "fault") machine->AddFault(Fault{name, ERROR_NOT_ENOUGH_MEMORY, "", 1});
    machine->AddProcess("TAV.EXE", "C:\\K\\TAV.EXE");
    Visits visits{machine.get(), {}};
    EXPECT_FALSE(EnumerateProcesses(*machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&visits)));
    EXPECT_TRUE(visits.names.empty());
    if (kind == "fault") machine->AddFault(Fault{name, ERROR_NOT_ENOUGH_MEMORY, "", 1});
    EXPECT_FALSE(IsProductRunning(*machine));
    ExpectNothingHeld(*machine);
  }
}

INSTANTIATE_TEST_SUITE_P(BothBackEnds, ProductGuardTest,
                         ::testing::Values(VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT),
                         [](const auto& info) { return info.param == VER_PLATFORM_WIN32_NT ? "Psapi" : "Toolhelp"; });

using PsapiWalkTest = ProductGuardTest;

// A filled id array may hold a cut list: it is read again, twice as large,
// before anyone is visited.
TEST_P(PsapiWalkTest, AFullIdArrayIsReadAgainTwiceAsLargeBeforeAnyVisit) {
  for (int processes : {255, 256}) {  // the installer's own included
    SCOPED_TRACE(processes);
    auto machine = NewMachine();
    machine->AddProcesses(processes - 1);
    Visits visits{machine.get(), {}};
    visits.stopAtOnce = true;
    EXPECT_TRUE(EnumerateProcesses(*machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&visits)));
    const std::vector<std::string> reads = machine->CallsTo("EnumProcesses");
    ASSERT_EQ(reads.size(), processes == 256 ? 2u : 1u);
    EXPECT_NE(reads[0].find(", ptr, 1024, ptr)"), std::string::npos) << reads[0];
    if (processes == 256) {
      EXPECT_NE(reads[1].find(", ptr, 2048, ptr)"), std::string::npos) << reads[1];
    }
    EXPECT_EQ(visits.readsBeforeFirstVisit, static_cast<int>(reads.size()));
    ExpectNothingHeld(*machine);
  }
}

// A process PSAPI cannot name is named by kernel32's Toolhelp list instead:
// another user's program above all, which OpenProcess refuses on NT. The list
// is read once per walk, and only when a process needs it; NT 4 has none and
// visits such a process with an empty name, which never matches.
TEST_P(PsapiWalkTest, AProcessPsapiCannotNameIsNamedByTheToolhelpList) {
  const struct {
    const char* label;
    const char* failing;  // the PSAPI step that fails for the suite's program
    const char* owner;    // whose program it is; "" for the installer's user
    bool debugPrivilege;
    DWORD major;
    const char* snapshotFault;
    const char* visited;  // the name the suite's program is visited with
    size_t snapshots;
  } cases[] = {
      {"another user's on XP", "", "SECOND", false, 5, "", "TAV.EXE", 1},
      {"another user's, debug privilege", "", "SECOND", true, 5, "", "C:\\K\\TAV.EXE", 1},
      {"refused", "OpenProcess", "", false, 5, "", "TAV.EXE", 1},
      {"modules unlisted", "EnumProcessModules", "", false, 5, "", "TAV.EXE", 1},
      {"path unread", "GetModuleFileNameExA", "", false, 5, "", "TAV.EXE", 1},
      {"no list on NT 4", "", "SECOND", false, 4, "", "", 0},
      {"no snapshot", "", "SECOND", false, 5, "CreateToolhelp32Snapshot", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto machine = NewMachine();
    machine->SetPlatform(VER_PLATFORM_WIN32_NT, c.major);
    machine->SetDebugPrivilegeEnabled(c.debugPrivilege);
    const std::string failing = c.failing;
    const DWORD tav = machine->AddProcess("TAV.EXE", "C:\\K\\TAV.EXE", failing != "OpenProcess");
    machine->SetProcessOwner(tav, c.owner);
    // A system process that PSAPI cannot name either: the walk still takes
    // one snapshot only.
    machine->AddProcess("System", "");
    // The suite's program is the second process each walk asks about.
    const auto plan = [&] {
      if (!failing.empty() && failing != "OpenProcess") machine->AddFault(Fault{failing, ERROR_ACCESS_DENIED, "", 2});
      if (*c.snapshotFault) machine->AddFault(Fault{c.snapshotFault, ERROR_NOT_ENOUGH_MEMORY, "", 1});
    };
    plan();
    Visits visits{machine.get(), {}};
    EXPECT_TRUE(EnumerateProcesses(*machine, RecordingVisitor, reinterpret_cast<uintptr_t>(&visits)));
    ASSERT_EQ(visits.names.size(), 3u);
    EXPECT_EQ(visits.names[1], c.visited);
    EXPECT_EQ(machine->CallsTo("CreateToolhelp32Snapshot").size(), c.snapshots);
    plan();
    ClearProductRunningFlagForTesting();
    EXPECT_EQ(IsProductRunning(*machine), *c.visited != '\0');
    ExpectNothingHeld(*machine);
  }
  // Every process named by PSAPI: no snapshot at all.
  auto machine = NewMachine();
  machine->AddProcesses(3);
  ClearProductRunningFlagForTesting();
  EXPECT_FALSE(IsProductRunning(*machine));
  EXPECT_TRUE(machine->CallsTo("CreateToolhelp32Snapshot").empty());
}

INSTANTIATE_TEST_SUITE_P(Xp, PsapiWalkTest, ::testing::Values(VER_PLATFORM_WIN32_NT));

// NT 4 takes PSAPI (its kernel32 has no Toolhelp); the 9x family and NT 3 do not.
TEST(IsNt4OrLaterTest, NtFromMajorVersion4On) {
  const struct {
    DWORD platformId, major;
    bool expected;
  } cases[] = {{VER_PLATFORM_WIN32_WINDOWS, 4, false}, {VER_PLATFORM_WIN32_NT, 3, false},
               {VER_PLATFORM_WIN32_NT, 4, true}, {VER_PLATFORM_WIN32_NT, 6, true}};
  for (const auto& c : cases) {
    SimMachine machine;
    machine.SetPlatform(c.platformId, c.major);
    EXPECT_EQ(IsNt4OrLater(machine), c.expected) << c.platformId << "." << c.major;
  }
}

}  // namespace
}  // namespace korvanta
