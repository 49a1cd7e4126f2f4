// The whole installation run, once for every platform call that can fail,
// with exactly that call failing: first a fault-free run counts the calls,
// then run k makes call k fail with the error Windows would give, and checks
// what must hold whatever failed:
//   1. no crash (and, under the sanitizers, no report);
//   2. exit code 0, or 1 only after a profile value could not be written; then
//      the one box after the failure is the "Application Error" box with its
//      exact text and no call that changes the machine follows the failure;
//   3. every box is one of the system's own texts under its own caption,
//      shown at most once, and a failed direct copy shows its message (onto
//      a file that was there, the error makes it one in use: it is staged
//      and replaced at the restart, unreported);
//   4. every place the run changes is one the fault-free run changes, and it
//      ends as the fault-free run leaves it: a failure never writes somewhere
//      new or something else;
//   5. nothing is left open and the error mode is the one the process had;
//   6. on the NT family, Enum\Root keeps the access list it had;
//   7. an uninstall ends with exit code 0 only when it removed all that the
//      fault-free one removes, and otherwise with 1 after the one
//      "Application Error" box that names what stayed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sweep_machines.h"

namespace korvanta::sweep {
namespace {

using sim::Fault;
using sim::SimMachine;

const Scenario kScenarios[] = {
    {"9x, sample payload", true, true},
    {"9x, empty source folder", true, false},
    {"NT, sample payload", false, true},
    {"NT, empty source folder", false, false},
    {"NT, sample payload, second run before the restart", false, true, true},
    {"NT, sample payload, no CheckTokenMembership", false, true, false, true},
    {"9x, uninstall after a run and a restart", true, true, false, false, false, true},
    {"NT, uninstall after a run and a restart", false, true, false, false, false, true},
};

// ---- what may fail, and how ------------------------------------------------------

// The error each operation gives on Windows when it fails in the way that
// fits it: a file in use or refused, a missing file or export, or no memory.
const std::map<std::string, DWORD> kInjectedErrors = {
    {"GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetVersionExA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetSystemDirectoryA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY},
    {"CopyFileA", ERROR_SHARING_VIOLATION},
    {"DeleteFileA", ERROR_SHARING_VIOLATION},
    {"GetFileAttributesA", ERROR_ACCESS_DENIED},
    {"SetFileAttributesA", ERROR_ACCESS_DENIED},
    {"FindFirstFileA", ERROR_ACCESS_DENIED},
    {"MoveFileExA", ERROR_ACCESS_DENIED},
    {"ReadFile", ERROR_NOT_ENOUGH_MEMORY},
    {"WriteFile", ERROR_DISK_FULL},
    {"GetShortPathNameA", ERROR_ACCESS_DENIED},
    {"GetDriveTypeA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetPrivateProfileSectionA", ERROR_SHARING_VIOLATION},
    {"WritePrivateProfileSectionA", ERROR_ACCESS_DENIED},
    {"WritePrivateProfileStringA", ERROR_ACCESS_DENIED},
    {"LoadLibraryExA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetProcAddress", ERROR_PROC_NOT_FOUND},
    {"OpenProcess", ERROR_ACCESS_DENIED},
    {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"CreateToolhelp32Snapshot", ERROR_NOT_ENOUGH_MEMORY},
    {"Process32First", ERROR_NOT_ENOUGH_MEMORY},
    {"Process32Next", ERROR_NOT_ENOUGH_MEMORY},
    {"EnumProcesses", ERROR_ACCESS_DENIED},
    {"EnumProcessModules", ERROR_ACCESS_DENIED},
    {"GetModuleFileNameExA", ERROR_ACCESS_DENIED},
    {"MessageBoxA", ERROR_NOT_ENOUGH_MEMORY},
    {"RegCreateKeyExA", ERROR_ACCESS_DENIED},
    {"RegSetValueExA", ERROR_ACCESS_DENIED},
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
    {"RegQueryValueExA", ERROR_NOT_ENOUGH_MEMORY},
    {"RegQueryInfoKeyA", ERROR_NOT_ENOUGH_MEMORY},
    {"RegEnumKeyExA", ERROR_NOT_ENOUGH_MEMORY},
    {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
    {"RegDeleteValueA", ERROR_ACCESS_DENIED},
    {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY},
    {"InitializeAcl", ERROR_INSUFFICIENT_BUFFER},
    {"AddAccessAllowedAce", ERROR_NOT_ENOUGH_MEMORY},
    {"GetAce", ERROR_INVALID_PARAMETER},
    {"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED},
    {"IsWow64Process", ERROR_ACCESS_DENIED},
    {"CheckTokenMembership", ERROR_NOT_ENOUGH_MEMORY},
    {"OpenProcessToken", ERROR_ACCESS_DENIED},
    {"GetTokenInformation", ERROR_NOT_ENOUGH_MEMORY},
    {"SetNamedSecurityInfoA", ERROR_ACCESS_DENIED},
    {"SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiEnumDeviceInfo", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiGetDeviceRegistryPropertyA", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiGetINFClassA", ERROR_FILE_NOT_FOUND},
    {"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiCreateDeviceInfoA", ERROR_ACCESS_DENIED},
    {"SetupDiSetDeviceRegistryPropertyA", ERROR_ACCESS_DENIED},
    {"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED},
    {"UpdateDriverForPlugAndPlayDevicesA", ERROR_FILE_NOT_FOUND},
    // The action log's file, opened before the run (its own test fails each).
    {"CreateFileA", ERROR_SHARING_VIOLATION},
    {"GetFileInformationByHandle", ERROR_ACCESS_DENIED},
    {"GetEnvironmentVariableA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetProcessWindowStation", ERROR_ACCESS_DENIED},
    {"GetUserObjectInformationA", ERROR_ACCESS_DENIED},
};

// Calls that do not fail on Windows: they read the process's own state, or
// release what the process owns (a release that failed would leave nothing
// for the count of open resources to say).
const std::set<std::string> kNeverFail = {
    "GetCommandLineA", "GetLastError", "SetLastError", "SetErrorMode", "GetProcessHeap",
    "GetLengthSid", "ExitProcess", "GetCurrentProcess", "FreeLibrary", "RegCloseKey",
    "CloseHandle", "FindClose",
    "HeapFree", "LocalFree", "FreeSid", "SetupDiDestroyDeviceInfoList",
};

// Calls that change the machine.
const std::set<std::string> kChangingCalls = {
    "CopyFileA",
    "DeleteFileA",
    "SetFileAttributesA",
    "MoveFileExA",
    "WriteFile",
    "WritePrivateProfileSectionA",
    "WritePrivateProfileStringA",
    "RegCreateKeyExA",
    "RegSetValueExA",
    "RegDeleteKeyA",
    "RegDeleteValueA",
    "SetNamedSecurityInfoA",
    "SetupDiSetDeviceRegistryPropertyA",
    "SetupDiCallClassInstaller",
    "UpdateDriverForPlugAndPlayDevicesA",
};

// ---- the system's own texts ---------------------------------------------------------

constexpr char kCaption[] = "Korvanta Installation";
constexpr char kErrorCaption[] = "Application Error";

// Each direct copy's message, by the file name of its target.
const std::map<std::string, std::string> kCopyMessages = {
    {"RUNDAVEK.VXD", "Unable to copy \"RUNDAVEK.VXD\" to Systemdirectory!"},
    {"TALMUREN.DLL", "Unable to copy \"TALMUREN.DLL\" to Systemdirectory!"},
    {"RUNDAVEK.SYS", "Unable to copy \"RUNDAVEK.SYS\" to Systemdirectory!"},
    {"RUNDAVEK.INF", "Unable to copy \"RUNDAVEK.INF\" to INF directory !"},
    {"MAYA51USB.INF", "Unable to copy \"MAYA51USB.INF\" to INF dirtectory !"},
    {"PX_USB.INF", "Unable to copy \"PX_USB.INF\" to INF directory !"},
    {"FTD2XX.DLL", "Unable to copy \"FTD2XX.DLL\" to System32 directory!"},
    {"FTD2XXUN.EXE", "Unable to copy \"FTD2XXUN.EXE\" to System32 directory!"},
    {"FTD2XX.SYS", "Unable to copy \"FTD2XX.SYS\" to Drivers directory!"},
};
const std::set<std::string> kOtherMessages = {
    "Unable to set permission for \"HKLM\\System\\Enum\\Root\" !",
    "Please close your software, restart your machine and run setup again !",
};

// ---- failures the behaviour itself calls for ------------------------------------------

constexpr char kNoSetupApi[] =
    "an uninstall that cannot load SetupAPI takes it for a Windows without it, where no device "
    "installation made a node: the node stays on the simulated machine, which keeps nodes apart "
    "from the registry, while on Windows it goes with its instance key, which the uninstall "
    "deletes itself";

struct ExpectedException {
  int invariant;
  const char* operation;
  const char* argumentContains;  // in the failed call's logged arguments
  const char* reason;
  int seen = 0;
};
ExpectedException kExpectedExceptions[] = {
    {4, "RegOpenKeyExA", "\"Software\\Korvanta\\RUNDAVEK\"",
     "the existence test of the engine's \"Config\" reports false when the key does not open, "
     "so the engine writes its default over the machine's own value"},
    {4, "RegQueryValueExA", "\"Config\"",
     "the existence test of the engine's \"Config\" reports false when the query fails, so the "
     "engine writes its default over the machine's own value"},
    {4, "RegOpenKeyExA", "Session Manager",
     "pending renames that cannot be read are scheduled as before: a second run then records a "
     "rename that is already pending once more"},
    {4, "RegQueryValueExA", "PendingFileRenameOperations",
     "pending renames that cannot be read are scheduled as before: a second run then records a "
     "rename that is already pending once more"},
    {4, "GetFileAttributesA", "C:\\Program Files\\Korvanta\\",
     "a copy from the CD whose attributes cannot be read stays read-only, unreported"},
    {4, "SetFileAttributesA", "C:\\Program Files\\Korvanta\\",
     "a copy from the CD whose read-only bit cannot be cleared stays read-only, unreported"},
    {4, "WritePrivateProfileStringA", "NULL, NULL, NULL",
     "the last writes of a profile file whose flush fails stay in the 9x family's cache, "
     "written at the next flush or orderly shutdown"},
    {4, "RegOpenKeyExA", "Services\\RUNDAVEK",
     "the copy of Enum\\Root's list stays when it cannot be removed; the next run takes it as "
     "the list before, which is the list the branch has"},
    {4, "RegDeleteValueA", "SavedEnumRootAccess",
     "the copy of Enum\\Root's list stays when it cannot be removed; the next run takes it as "
     "the list before, which is the list the branch has"},
    {7, "LoadLibraryExA", "setupapi.dll", kNoSetupApi},
    {7, "GetProcAddress", "\"SetupDi", kNoSetupApi},
    {7, "GetSystemDirectoryA", "", kNoSetupApi},
};

// ---- one run ---------------------------------------------------------------------

std::string OperationOf(const std::string& call) { return call.substr(0, call.find('(')); }

// The last quoted argument of a logged call.
std::string LastQuoted(const std::string& call) {
  const size_t close = call.rfind('"');
  const size_t open = call.rfind('"', close - 1);
  return call.substr(open + 1, close - open - 1);
}

bool IsProfileValueWrite(const std::string& call) {
  return call.rfind("WritePrivateProfileStringA(\"", 0) == 0;
}

std::string FileNameOf(const std::string& path) { return path.substr(path.find_last_of("\\:") + 1); }

std::string Upper(std::string text) {
  for (char& c : text) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return text;
}

// The target of a logged CopyFileA("source", "target", 0).
std::string CopyTarget(const std::string& call) {
  const size_t end = call.rfind("\", ");
  const size_t start = call.rfind('"', end - 1);
  return call.substr(start + 1, end - start - 1);
}

// The target of a failed direct copy onto a file that was there: the sweep's
// error (a sharing violation) makes it a file in use, which is staged beside
// it, its name's last letter dropped, and replaced at the restart, unreported.
// Empty for any other call.
std::string HeldDirectCopyTarget(const std::string& failedCall, const Places& before) {
  if (OperationOf(failedCall) != "CopyFileA") return "";
  const std::string target = CopyTarget(failedCall);
  if (!kCopyMessages.count(Upper(FileNameOf(target)))) return "";
  for (const auto& entry : before) {
    if (Upper(entry.first) == Upper("file " + target)) return target;
  }
  return "";
}

struct Violation {
  int invariant;
  std::string detail;
};

// Checks one run with call `failed` (its index in the fault-free call log)
// failing; `calls` is the run's own call log.
std::vector<Violation> CheckRun(const Scenario& scenario, const SimMachine& machine,
                                const Outcome& outcome, const std::string& failedCall,
                                size_t failed, const Places& before, const Changes& faultFree,
                                const Places& faultFreeRestarted, int* checks) {
  std::vector<Violation> violations;
  const auto& calls = machine.Calls();
  const auto& boxes = machine.MessageBoxes();
  *checks += scenario.nineX ? 5 : 6;

  // 1. No crash. The simulated machine throws where Windows would crash (a
  // call through an address not looked up); the entry turns that into a box.
  if (!outcome.crash.empty()) violations.push_back({1, "crashed: " + outcome.crash});
  for (const sim::MessageBoxRecord& box : boxes) {
    if (box.text.find("SimMachine: ") != std::string::npos) {
      violations.push_back({1, "would crash on Windows: " + box.text});
    }
  }

  // 7. An uninstall's exit code says whether everything went.
  const std::string errorHead = "Exception Exception in module " + std::string(kExe) + " at ";
  const bool uninstallFailed = scenario.uninstall && outcome.exitCode == 1;
  if (scenario.uninstall) {
    *checks += 1;
    const sim::MessageBoxRecord* only = boxes.size() == 1 ? &boxes[0] : nullptr;
    if (uninstallFailed &&
        !(only && only->caption == kErrorCaption && only->text.rfind(errorHead, 0) == 0 &&
          only->text.find(".\nUnable to ", errorHead.size() + 8) == errorHead.size() + 8)) {
      violations.push_back(
          {7, "exit code 1 with " + std::to_string(boxes.size()) +
                  " boxes, the first: " + (boxes.empty() ? "none" : boxes[0].text)});
    }
    // Compared after the restart, which takes out a file that a failed
    // deletion left to it.
    if (outcome.exitCode == 0) {
      const std::unique_ptr<SimMachine> restarted = machine.StoppedCopy();
      restarted->Restart();
      Changes left = ChangesBetween(faultFreeRestarted, restarted->Places());
      // Windows 9x's copy of the list its restart carried out.
      std::erase_if(left, [](const auto& change) {
        return change.first.find("WININIT.BAK") != std::string::npos;
      });
      if (!left.empty()) {
        violations.push_back({7, "exit code 0, but after the restart " + left.begin()->first +
                                     " is " + Shown(left.begin()->second)});
      }
    }
  }

  // 2. Exit code, and the end after a failed profile value write.
  const bool mustEnd = IsProfileValueWrite(failedCall);
  if (outcome.exitCode && *outcome.exitCode != (mustEnd ? 1 : 0) && !uninstallFailed) {
    violations.push_back({2, "exit code " + std::to_string(*outcome.exitCode)});
  }
  if (mustEnd && outcome.exitCode == 1) {
    const std::string head = "Exception Exception in module " + std::string(kExe) + " at ";
    const std::string tail = ".\nUnable to write to " + LastQuoted(failedCall) + ".";
    size_t boxesAfter = 0;
    for (size_t i = failed + 1; i < calls.size(); ++i) {
      const std::string operation = OperationOf(calls[i]);
      if (operation == "MessageBoxA") ++boxesAfter;
      if (kChangingCalls.count(operation)) violations.push_back({2, "after the failure: " + calls[i]});
    }
    const sim::MessageBoxRecord* last = boxes.empty() ? nullptr : &boxes.back();
    const bool exact = last && last->caption == kErrorCaption && last->type == 0x12010 &&
                       last->text.size() == head.size() + 8 + tail.size() &&
                       last->text.compare(0, head.size(), head) == 0 &&
                       last->text.find_first_not_of("0123456789ABCDEF", head.size()) == head.size() + 8 &&
                       last->text.compare(head.size() + 8, std::string::npos, tail) == 0;
    if (boxesAfter != 1 || !exact) {
      violations.push_back({2, std::to_string(boxesAfter) + " boxes after the failure, the last: " +
                                   (last ? last->caption + ": " + last->text : "none")});
    }
  }

  // 3. Only the system's own boxes, each at most once; a failed direct copy
  // shows its message.
  std::set<std::pair<std::string, std::string>> shown;
  for (const sim::MessageBoxRecord& box : boxes) {
    bool own = false;
    if (box.caption == kCaption && box.type == 0x10000) {
      own = kOtherMessages.count(box.text) > 0;
      for (const auto& [file, message] : kCopyMessages) own = own || box.text == message;
    }
    own = own || (box.caption == kErrorCaption && (mustEnd || uninstallFailed));  // checked above
    if (!own || box.hadOwner) violations.push_back({3, "box " + box.caption + ": " + box.text});
    if (!shown.insert({box.caption, box.text}).second) {
      violations.push_back({3, "shown twice: " + box.text});
    }
  }
  const std::string held = HeldDirectCopyTarget(failedCall, before);
  if (OperationOf(failedCall) == "CopyFileA") {
    const auto message = kCopyMessages.find(Upper(FileNameOf(CopyTarget(failedCall))));
    if (message != kCopyMessages.end() && shown.count({kCaption, message->second}) != held.empty()) {
      violations.push_back({3, (held.empty() ? "failed copy not reported: " : "file in use reported: ") +
                                   message->second});
    }
  }

  // 4. Changes only where, and to what, the fault-free run changes.
  const Places after = machine.Places();
  const std::string staged = Upper(held.substr(0, held.size() - (held.empty() ? 0 : 1)));
  // An uninstall's file whose deletion failed counts as one in use: it
  // goes at the restart.
  const std::string undeleted =
      scenario.uninstall && OperationOf(failedCall) == "DeleteFileA" ? LastQuoted(failedCall) : "";
  for (const auto& [place, content] : ChangesBetween(before, after)) {
    if (!undeleted.empty() && (Upper(place) == Upper("rename " + undeleted + " -> ") ||
                               Upper(place).find("WININIT.INI") != std::string::npos)) {
      continue;
    }
    if (!held.empty() && (Upper(place).find(staged) != std::string::npos ||
                          Upper(place).find("WININIT.INI [RENAME]") != std::string::npos)) {
      continue;  // the staged file and its replacement at the restart
    }
    const auto expected = faultFree.find(place);
    if (expected == faultFree.end()) {
      violations.push_back({4, place + " changed to " + Shown(content) + ", untouched without the failure"});
    } else if (expected->second != content) {
      violations.push_back({4, place + " ends as " + Shown(content) + ", without the failure as " +
                                   Shown(expected->second)});
    }
  }

  // 5. Nothing left open; the error mode given back.
  const SimMachine::OpenResources open = machine.Resources();
  if (!(open == SimMachine::OpenResources{})) violations.push_back({5, "left open: " + open.Describe()});
  if (machine.ErrorMode() != kStartErrorMode) {
    violations.push_back({5, "error mode left at " + std::to_string(machine.ErrorMode())});
  }

  // 6. Enum\Root's access list as it was.
  if (!scenario.nineX) {
    const auto was = before.find(kEnumRootAccess);
    const auto is = after.find(kEnumRootAccess);
    const std::optional<std::string> wasList = was == before.end() ? std::nullopt : std::optional(was->second);
    const std::optional<std::string> isList = is == after.end() ? std::nullopt : std::optional(is->second);
    if (wasList != isList) violations.push_back({6, "Enum\\Root access list now " + Shown(isList)});
  }
  return violations;
}

ExpectedException* FindExpected(int invariant, const std::string& failedCall) {
  for (ExpectedException& expected : kExpectedExceptions) {
    if (expected.invariant == invariant && OperationOf(failedCall) == expected.operation &&
        failedCall.find(expected.argumentContains) != std::string::npos) {
      return &expected;
    }
  }
  return nullptr;
}

TEST(FaultSweepTest, EverySingleFailureOfTheWholeRunKeepsTheInvariants) {
  const auto start = std::chrono::steady_clock::now();
  int runs = 0, injected = 0, checks = 0, expectedCount = 0;
  std::map<std::string, std::pair<std::string, int>> unexpected;
  std::string perScenario;

  for (const Scenario& scenario : kScenarios) {
    SimMachine clean;
    Prepare(clean, scenario);
    const Places before = clean.Places();
    const Outcome cleanOutcome = RunInstaller(clean);
    ++runs;
    ASSERT_EQ(cleanOutcome.exitCode, std::optional<int>(0)) << scenario.name << ": " << cleanOutcome.crash;
    EXPECT_TRUE(clean.MessageBoxes().empty()) << scenario.name;
    const std::vector<std::string> calls = clean.Calls();
    const Changes faultFree = ChangesBetween(before, clean.Places());
    Places faultFreeRestarted;
    {
      const std::unique_ptr<SimMachine> restarted = clean.StoppedCopy();
      restarted->Restart();
      faultFreeRestarted = restarted->Places();
    }
    // A second run before the restart schedules nothing that is pending already.
    for (const auto& [place, content] : faultFree) {
      if (scenario.ranBefore) {
        EXPECT_NE(place.rfind("rename ", 0), 0u) << place << " now " << Shown(content);
      }
    }
    {
      int ignored = 0;
      for (const Violation& v : CheckRun(scenario, clean, cleanOutcome, "", calls.size(), before,
                                         faultFree, faultFreeRestarted, &ignored)) {
        ADD_FAILURE() << scenario.name << ", fault-free run: invariant " << v.invariant << ": " << v.detail;
      }
    }

    int scenarioInjected = 0;
    std::map<std::string, int> occurrences;
    for (size_t k = 0; k < calls.size(); ++k) {
      const std::string operation = OperationOf(calls[k]);
      const int occurrence = ++occurrences[operation];
      const auto error = kInjectedErrors.find(operation);
      if (error == kInjectedErrors.end()) {
        if (!kNeverFail.count(operation)) ADD_FAILURE() << "no injected error for " << operation;
        continue;
      }
      SimMachine machine;
      Prepare(machine, scenario);
      machine.AddFault(Fault{operation, error->second, "", occurrence});
      const Outcome outcome = RunInstaller(machine);
      ++runs;
      ++scenarioInjected;
      if (machine.PlannedFaultCount() != 0) {
        ADD_FAILURE() << scenario.name << ": the run took another way before call " << k << ": " << calls[k];
        continue;
      }
      for (const Violation& v : CheckRun(scenario, machine, outcome, calls[k], k, before, faultFree,
                                         faultFreeRestarted, &checks)) {
        if (ExpectedException* expected = FindExpected(v.invariant, calls[k])) {
          ++expected->seen;
          ++expectedCount;
          continue;
        }
        // One line per failed call and invariant, with its first finding.
        const std::string run = std::string(scenario.name) + ", call " + std::to_string(k) + " " +
                                calls[k] + " failing: invariant " + std::to_string(v.invariant);
        auto& [first, more] = unexpected[run];
        if (first.empty()) first = v.detail; else ++more;
      }
    }
    injected += scenarioInjected;
    perScenario += "  " + std::string(scenario.name) + ": " + std::to_string(calls.size()) +
                   " calls, " + std::to_string(scenarioInjected) + " failures injected\n";
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%sfault sweep: %d runs made, %d failures injected, %d invariants checked, "
              "%d expected exceptions, %.1f s\n",
              perScenario.c_str(), runs, injected, checks, expectedCount, seconds);

  for (const auto& [run, finding] : unexpected) {
    ADD_FAILURE() << run << ": " << finding.first
                  << (finding.second ? " (and " + std::to_string(finding.second) + " more)" : "");
  }
  for (const ExpectedException& expected : kExpectedExceptions) {
    std::printf("  expected, invariant %d, %s(%s) failing: %d runs: %s\n", expected.invariant,
                expected.operation, expected.argumentContains, expected.seen, expected.reason);
    EXPECT_GT(expected.seen, 0) << "expected exception never met: " << expected.operation;
  }
}

}  // namespace
}  // namespace korvanta::sweep
