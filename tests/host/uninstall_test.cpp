// `/uninstall` after the run in each order a machine can meet it: after the
// restart (the round trip), with the engine and the driver held, on a
// machine with a second device of the suite's class, before the restart,
// on a machine where nothing is installed, and after a run stopped at each
// of its calls. Each round trip ends, after the restart, as the machine was
// before the installation, but for the places named below with their reason.
#include "install/uninstall.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sweep_machines.h"
#include "toolkit/registry_tree.h"

namespace korvanta::sweep {
namespace {

using sim::SimMachine;

std::string Upper(std::string text) {
  for (char& c : text) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return text;
}

// What the uninstall leaves as the installation made it, and why.
struct Kept {
  const char* part;  // in the place's name, letter case aside
  const char* reason;
  bool secondDeviceOnly = false;
  bool goneOnly = false;  // only a place that is gone after the round trip
};
const Kept kKept[] = {
    {"ASPI", "the ASPI layer stays: other programs use it"},
    {"APIX", "the ASPI layer stays: other programs use it"},
    {"WOWPOST", "the ASPI layer stays: other programs use it"},
    {"MAYA51USB.INF", "the USB support files stay: the maker's other devices use them"},
    {"PX_USB.INF", "the USB support files stay: the maker's other devices use them"},
    {"FTD2XX", "the USB support files stay: the maker's other devices use them"},
    {"[VCACHE]", "the disk-cache setting stays"},
    {".OLD", "files set aside stay"},
    {"PROGRAM FILES\\KORVANTA", "the application folder goes with the suite's own uninstaller"},
    {"HKCU\\", "per-user settings stay (the installation reset the engine's)", false, true},
    {"WININIT.BAK", "Windows 9x's copy of the list its last restart carried out"},
    {"[386ENH] DEVICE",
     "the static load line of the kernel that the installation disabled goes "
     "rather than coming back: it would name a driver that is gone",
     false, true},
    {"HKLM\\SOFTWARE\\KORVANTA",
     "an earlier engine's settings go with the engine, and the "
     "suite's key with them when nothing else is left in it",
     false, true},
    {"CLASS\\REALTIME", "the class of a second device of the suite's class stays, with its name",
     true},
    {"CLASS\\{3E36E96C-E325-12CE-BFC1-07002BE10326}",
     "the class of a second device of the suite's class stays, with its name", true},
};

const Kept* KeptBy(const std::string& place, bool gone, bool secondDevice) {
  const std::string upper = Upper(place);
  for (const Kept& kept : kKept) {
    if ((kept.secondDeviceOnly && !secondDevice) || (kept.goneOnly && !gone)) continue;
    if (upper.find(kept.part) != std::string::npos) return &kept;
  }
  return nullptr;
}

void StartUninstall(SimMachine& machine) {
  SetUninstallCommandLine(machine);
  ReadyForSetup(machine);
}

// The places that differ from `before` and are not kept on purpose.
std::vector<std::string> Unexplained(const Places& before, const SimMachine& machine, bool nineX,
                                     bool secondDevice = false) {
  std::vector<std::string> found;
  for (const auto& [place, content] : ChangesBetween(before, machine.Places())) {
    if (KeptBy(place, !content, secondDevice) == nullptr) found.push_back(place + " is " + Shown(content));
  }
  // Of System.ini's static drivers only the kernel's line goes (9x family).
  const std::optional<std::string> systemIni = machine.ReadFile("C:\\WINDOWS\\SYSTEM.INI");
  if (nineX && systemIni &&
      systemIni->find("[386Enh]\r\ndevice=*vpicd\r\nkeyboard=*keyboard\r\n") == std::string::npos) {
    found.push_back("System.ini is " + Shown(systemIni));
  }
  return found;
}

struct Order {
  const char* name;
  bool nineX;
  bool restartBefore = true;   // the machine restarts between the installation and the uninstall
  bool engineRunning = false;  // the engine and the kernel's driver are held while it runs
  bool secondDevice = false;   // another device's driver entry in the suite's class, and
                               // another program's value in the suite's key
  bool installFirst = true;
  // What the uninstall must end with.
  int exitCode = 0;
  const char* box = nullptr;
};

const Order kOrders[] = {
    {"9x, round trip", true},
    {"NT, round trip", false},
    {"9x, engine and driver running", true, true, true},
    {"NT, engine and driver running", false, true, true},
    {"9x, others share the class and the suite's key", true, true, false, true},
    {"NT, others share the class and the suite's key", false, true, false, true},
    {"9x, before the restart", true, false, false, false, true, 1, RestartFirstMessage},
    {"NT, before the restart", false, false, false, false, true, 1, RestartFirstMessage},
    {"9x, nothing installed", true, true, false, false, false},
    {"NT, nothing installed", false, true, false, false, false},
};

constexpr char kClassNt[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{3E36E96C-E325-12CE-BFC1-07002BE10326}";
constexpr char kClass9x[] = "System\\CurrentControlSet\\Services\\Class\\REALTIME";

// The files a running engine and a loaded driver hold.
std::vector<std::string> HeldFiles(bool nineX) {
  if (nineX)
    return {"C:\\WINDOWS\\SYSTEM\\RUNDAVEK.EXE", "C:\\WINDOWS\\SYSTEM\\RUNDAVEK.DLL",
            "C:\\WINDOWS\\SYSTEM\\RUNDAVEK.VXD"};
  return {"C:\\WINDOWS\\system32\\RUNDAVEK.EXE", "C:\\WINDOWS\\system32\\RUNDAVEK.DLL",
          "C:\\WINDOWS\\system32\\DRIVERS\\RUNDAVEK.SYS"};
}

// One uninstall: its exit code, no box, nothing left open.
void ExpectQuietUninstall(SimMachine& machine, int exitCode, const char* box) {
  StartUninstall(machine);
  const Outcome outcome = RunInstaller(machine);
  EXPECT_EQ(outcome.exitCode, std::optional<int>(exitCode)) << outcome.crash;
  if (box == nullptr) {
    for (const sim::MessageBoxRecord& shown : machine.MessageBoxes())
      ADD_FAILURE() << "box: " << shown.text;
  } else {
    ASSERT_EQ(machine.MessageBoxes().size(), 1u);
    EXPECT_EQ(machine.MessageBoxes()[0].text, box);
  }
  EXPECT_EQ(machine.Resources().Describe(), "nothing");
}

TEST(UninstallTest, EachOrderEndsAsTheMachineWasBeforeButForWhatStays) {
  for (const Order& order : kOrders) {
    SCOPED_TRACE(order.name);
    SimMachine machine;
    Prepare(machine, {order.name, order.nineX, true});
    const char* classKey = order.nineX ? kClass9x : kClassNt;
    if (order.secondDevice) {
      machine.SetRegistryValue(HKEY_LOCAL_MACHINE, std::string(classKey) + "\\0001", "DriverDesc",
                               {REG_SZ, std::string("Another kernel", 15)});
      // And a value of the suite's own key that another of its programs keeps.
      machine.SetRegistryValue(HKEY_LOCAL_MACHINE, "Software\\Korvanta", "Editor",
                               {REG_SZ, std::string("1", 2)});
    }
    // Nothing of the suite at all, not even an earlier engine's settings.
    if (!order.installFirst) {
      RegDeleteTree(machine, HKEY_LOCAL_MACHINE, "Software\\Korvanta");
      machine.AddFile("C:\\WINDOWS\\SYSTEM.INI", "[386Enh]\r\ndevice=*vpicd\r\n");
      machine.ClearCalls();
    }
    const Places before = machine.Places();
    if (order.installFirst) {
      ASSERT_EQ(RunInstaller(machine).exitCode, std::optional<int>(0));
    }
    if (order.restartBefore) machine.Restart();
    if (order.engineRunning) {
      for (const std::string& file : HeldFiles(order.nineX)) {
        machine.LockFile(file, ERROR_ACCESS_DENIED);
      }
      // Another program's replacement that Windows 9x still holds in its
      // cache: it must not be lost, nor written over the uninstall's lines.
      if (order.nineX) {
        machine.WritePrivateProfileStringA("rename", "C:\\WINDOWS\\OTHER.DLL",
                                           "C:\\WINDOWS\\OTHER.NEW", "WININIT.INI");
        machine.ClearCalls();
      }
    }
    const Places installed = machine.Places();

    ExpectQuietUninstall(machine, order.exitCode, order.box);
    if (order.exitCode != 0) {
      // Refused: nothing changed.
      for (const auto& [place, content] : ChangesBetween(installed, machine.Places())) {
        ADD_FAILURE() << place << " is " << Shown(content);
      }
      continue;
    }
    if (order.engineRunning) {
      // A second uninstall before the restart schedules nothing twice.
      const Places first = machine.Places();
      ExpectQuietUninstall(machine, 0, nullptr);
      for (const auto& [place, content] : ChangesBetween(first, machine.Places())) {
        ADD_FAILURE() << "the second uninstall before the restart: " << place << " is "
                      << Shown(content);
      }
      if (order.nineX) {
        const std::optional<std::string> wininit = machine.ReadFile("C:\\WINDOWS\\WININIT.INI");
        EXPECT_NE(wininit.value_or("").find("OTHER.DLL=C:\\WINDOWS\\OTHER.NEW"), std::string::npos);
      }
      // Still there until the restart, and deleted by it.
      for (const std::string& file : HeldFiles(order.nineX))
        EXPECT_TRUE(machine.FileExists(file)) << file;
    }
    const Places uninstalled = machine.Places();
    machine.Restart();
    if (order.engineRunning) {
      for (const std::string& file : HeldFiles(order.nineX))
        EXPECT_FALSE(machine.FileExists(file)) << file;
    }
    if (order.installFirst) {
      for (const std::string& place : Unexplained(before, machine, order.nineX, order.secondDevice))
        ADD_FAILURE() << place;
    } else {
      // Where nothing was installed nothing may change at all.
      EXPECT_TRUE(ChangesBetween(before, machine.Places()).empty());
    }
    EXPECT_EQ(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, classKey), order.secondDevice);
    EXPECT_EQ(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, "Software\\Korvanta"), order.secondDevice);

    // A second uninstall changes nothing, before the restart or after it.
    const Places removed = machine.Places();
    ExpectQuietUninstall(machine, 0, nullptr);
    for (const auto& [place, content] : ChangesBetween(removed, machine.Places())) {
      ADD_FAILURE() << "the second uninstall: " << place << " is " << Shown(content);
    }
    (void)uninstalled;
  }
}

// The installation stopped after each of its calls in turn (as the crash
// sweep stops it), the machine restarted, then the uninstall and another
// restart: whatever the stopped run had done goes, but for what stays.
TEST(UninstallTest, AfterARunStoppedAtAnyCallAndARestartTheMachineEndsAsBefore) {
  for (const bool nineX : {true, false}) {
    SimMachine machine;
    Prepare(machine, {"stopped", nineX, true});
    const Places before = machine.Places();
    std::vector<std::unique_ptr<SimMachine>> stops;
    machine.SetCallHook([&] { stops.push_back(machine.StoppedCopy()); });
    ASSERT_EQ(RunInstaller(machine).exitCode, std::optional<int>(0));
    machine.SetCallHook(nullptr);
    std::optional<Places> previous;
    int runs = 0, reported = 0;
    for (size_t k = 0; k < stops.size(); ++k) {
      Places here = stops[k]->Places();
      // A call that changed nothing ends as the one before it.
      if (previous && *previous == here) continue;
      previous = std::move(here);
      SimMachine& stopped = *stops[k];
      stopped.Restart();
      StartUninstall(stopped);
      const Outcome outcome = RunInstaller(stopped);
      ++runs;
      stopped.Restart();
      std::vector<std::string> faults = Unexplained(before, stopped, nineX);
      if (outcome.exitCode != 0 || !stopped.MessageBoxes().empty()) {
        faults.insert(
            faults.begin(),
            "exit code " + std::to_string(outcome.exitCode.value_or(-1)) +
                (stopped.MessageBoxes().empty() ? "" : ", box " + stopped.MessageBoxes()[0].text) +
                outcome.crash);
      }
      if (!faults.empty() && reported++ < 10) {
        ADD_FAILURE() << (nineX ? "9x" : "NT") << ", stopped before call " << k << ": " << faults[0]
                      << (faults.size() > 1
                              ? " (and " + std::to_string(faults.size() - 1) + " more)"
                              : "");
      }
    }
    std::printf("uninstall after a stopped run, %s: %d distinct stopping points\n",
                nineX ? "9x" : "NT", runs);
  }
}

}  // namespace
}  // namespace korvanta::sweep
