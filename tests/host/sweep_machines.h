// The machines the two whole-run sweeps start from, one run of the installer
// on them, and the comparison of two machines place by place. The fault sweep
// fails each platform call of the run in turn; the crash sweep stops the run
// after each call and has the next run finish the job.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/sim/sim_machine.h"

namespace korvanta::sweep {

struct Scenario {
  const char* name;
  bool nineX;
  bool samplePayload;  // the sample files, a CD and both arguments; else an empty folder, no arguments
  bool ranBefore = false;  // a first run, its replacements still pending (no restart since)
  bool noTokenMembership = false;  // as on NT 4: the administrator check reads the token's groups
  bool readOnlyPayload = false;    // setup runs from a read-only copy of the payload (a CD)
  bool uninstall = false;  // the suite's uninstaller runs /uninstall after a run and a restart
};

inline constexpr char kSourceDir[] = "C:\\setup\\";
inline constexpr char kExe[] = "korvanta-sysinstall.exe";
inline constexpr char kAppDir[] = "C:\\Program Files\\Korvanta";
inline constexpr char kEnumRootAccess[] = "access HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root";
// A mode the process starts with that no step of the run sets itself, so that
// a step that sets a mode instead of giving the old one back shows.
inline constexpr UINT kStartErrorMode = 0x0002;  // SEM_NOGPFAULTERRORBOX

// A machine that has lived a while, set up for the scenario, with no call
// logged yet.
void Prepare(sim::SimMachine& machine, const Scenario& scenario);

// The command line of the suite's uninstaller.
void SetUninstallCommandLine(sim::SimMachine& machine);

// Makes the machine ready for setup to start the installer (again): the error
// mode a new process has, the guard's flag of an earlier run forgotten, and an
// empty call log.
void ReadyForSetup(sim::SimMachine& machine);

struct Outcome {
  std::optional<int> exitCode;
  std::string crash;
};
Outcome RunInstaller(sim::SimMachine& machine);

using Places = std::map<std::string, std::string>;
using Changes = std::map<std::string, std::optional<std::string>>;  // none: removed

Changes ChangesBetween(const Places& before, const Places& after);
// A place's content, cut short for a message.
std::string Shown(const std::optional<std::string>& content);

}  // namespace korvanta::sweep
