// The whole installation run, stopped after each of its platform calls in
// turn, as the task manager or a power loss stops it: nothing of the stopped
// process reaches the machine after that point, no destructor, restore or box.
// Then the job must be finished by the next run, in two ways:
//   (a) setup runs again, then the machine restarts;
//   (b) the power fails (a restart without an orderly shutdown), setup runs
//       again, then the machine restarts.
// Each must leave the machine as one clean run and a restart leave it, but
// for the differences a clean run could leave too, each named below with its
// reason. And a clean run followed by a power loss must lose nothing.
//
// A stopping point's machine is a copy of the clean run's machine taken just
// before the call after it. Setup started on the same machine twice ends the
// same way: a machine that another point or mode already reached is run once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "sweep_machines.h"

namespace korvanta::sweep {
namespace {

using sim::SimMachine;
using Shutdown = SimMachine::Shutdown;

const Scenario kScenarios[] = {
    {"9x, sample payload", true, true},
    {"NT, sample payload", false, true},
    {"NT, sample payload, second run before the restart", false, true, true},
    {"NT, sample payload, no CheckTokenMembership", false, true, false, true},
    {"9x, read-only payload", true, true, false, false, true},
    {"NT, read-only payload", false, true, false, false, true},
};

// ---- what may differ from a clean run, and why -------------------------------------

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The part of a device's place before its count of driver updates.
std::string WithoutUpdates(const std::string& device) { return device.substr(0, device.rfind(" updates ")); }

// The place a file's backup stands for: "file C:\X\A.OLD" -> "file C:\X\A.".
std::string WithoutOldExtension(const std::string& place) {
  return EndsWith(place, ".OLD") ? place.substr(0, place.size() - 3) : std::string();
}

struct Harmless {
  const char* reason;
  // Whether the place differs only in this way: the places after the clean
  // run and a restart, the place's content there (none: absent) and after the
  // interrupted one.
  std::function<bool(const std::string& place, const Places& cleanPlaces,
                     const std::optional<std::string>& clean,
                     const std::optional<std::string>& interrupted)>
      applies;
  int seen = 0;
};

std::vector<Harmless> HarmlessDifferences() {
  return {
      {"the device node that the stopped run made is given the driver once more",
       [](const std::string& place, const Places&, const auto& clean, const auto& interrupted) {
         return place.rfind("device ", 0) == 0 && clean && interrupted &&
                WithoutUpdates(*clean) == WithoutUpdates(*interrupted);
       }},
      {"WININIT.BAK is Windows 9x's copy of the list the last restart carried out; a restart "
       "in between leaves a shorter one",
       [](const std::string& place, const Places&, const auto& clean, const auto&) {
         return clean && (place == "file C:\\WINDOWS\\WININIT.BAK" ||
                          place == "attributes C:\\WINDOWS\\WININIT.BAK");
       }},
      {"a file of the ASPI layer that the restart after the stopped run had put in place is "
       "set aside under .OLD by the run that finishes the layer, as a clean run sets aside any "
       "file it replaces: the backup holds what the clean run put under the final name",
       [](const std::string& place, const Places& cleanPlaces, const auto& clean,
          const auto& interrupted) {
         const std::string stem = WithoutOldExtension(place);
         if (clean || stem.empty() || !interrupted) return false;
         const auto final = cleanPlaces.lower_bound(stem);
         return final != cleanPlaces.end() && final->first.rfind(stem, 0) == 0 &&
                final->second == *interrupted;
       }},
  };
}

// ---- one stopping point ------------------------------------------------------------

struct Finding {
  std::string place;
  std::optional<std::string> clean;
  std::optional<std::string> interrupted;
};

// What the machine holds that one clean run and a restart would not leave,
// after the harmless differences are set aside; `harmless` counts which
// applied.
std::vector<Finding> Faults(const Places& clean, const Places& after, std::vector<Harmless>& harmless,
                            bool* anyHarmless) {
  std::vector<Finding> faults;
  for (const auto& [place, interrupted] : ChangesBetween(clean, after)) {
    const auto was = clean.find(place);
    const std::optional<std::string> expected =
        was == clean.end() ? std::nullopt : std::optional(was->second);
    bool explained = false;
    for (Harmless& difference : harmless) {
      if (difference.applies(place, clean, expected, interrupted)) {
        ++difference.seen;
        explained = true;
        break;
      }
    }
    if (explained) {
      *anyHarmless = true;
    } else {
      faults.push_back({place, expected, interrupted});
    }
  }
  return faults;
}

// One number for a machine's places: equal machines have equal digests.
size_t Digest(const Places& places) {
  std::string all;
  for (const auto& [place, content] : places) {
    all += place;
    all += '\0';
    all += content;
    all += '\0';
  }
  return std::hash<std::string>()(all);
}

struct Tally {
  int points = 0, exact = 0, harmless = 0, faulty = 0;
};

TEST(CrashSweepTest, EveryStoppedRunIsFinishedByTheNextBeforeOrAfterARestart) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<Harmless> harmless = HarmlessDifferences();
  std::string table;
  int runs = 0;
  int reported = 0;

  for (const Scenario& scenario : kScenarios) {
    SimMachine machine;
    Prepare(machine, scenario);
    std::vector<std::unique_ptr<SimMachine>> stops;
    machine.SetCallHook([&] { stops.push_back(machine.StoppedCopy()); });
    const Outcome first = RunInstaller(machine);
    machine.SetCallHook(nullptr);
    stops.push_back(machine.StoppedCopy());  // after the last call: the process ended
    const std::vector<std::string> calls = machine.Calls();
    ASSERT_EQ(first.exitCode, std::optional<int>(0)) << scenario.name << ": " << first.crash;
    ASSERT_TRUE(machine.MessageBoxes().empty()) << scenario.name << ": " << machine.MessageBoxes()[0].text;

    const std::unique_ptr<SimMachine> restarted = machine.StoppedCopy();
    restarted->Restart();
    const Places clean = restarted->Places();
    // Switched off right after a complete run: nothing the run wrote is lost.
    const std::unique_ptr<SimMachine> switchedOff = machine.StoppedCopy();
    switchedOff->Restart(Shutdown::PowerLoss);
    for (const auto& [place, content] : ChangesBetween(clean, switchedOff->Places())) {
      ADD_FAILURE() << scenario.name << ", a complete run, then the power fails: " << place
                    << " is " << Shown(content);
    }

    Tally tally[2];
    // How a machine that setup starts on ends; the same machine, reached by
    // another point or mode, ends the same way and is run once.
    enum class End { Exact, Harmless, Faulty };
    std::unordered_map<size_t, End> ends;
    for (size_t k = 0; k < stops.size(); ++k) {
      for (const Shutdown shutdown : {Shutdown::Orderly, Shutdown::PowerLoss}) {
        const int mode = shutdown == Shutdown::Orderly ? 0 : 1;
        ++tally[mode].points;
        std::unique_ptr<SimMachine> next = stops[k]->StoppedCopy();
        // (a) setup starts the installer again at once; (b) first the power fails.
        if (shutdown == Shutdown::PowerLoss) next->Restart(Shutdown::PowerLoss);
        auto [known, isNew] = ends.emplace(Digest(next->Places()), End::Exact);
        if (isNew) {
          ReadyForSetup(*next);
          const Outcome outcome = RunInstaller(*next);
          ++runs;
          const bool quiet = outcome.exitCode == 0 && next->MessageBoxes().empty();
          next->Restart();
          bool anyHarmless = false;
          std::vector<Finding> faults = Faults(clean, next->Places(), harmless, &anyHarmless);
          if (!quiet) {
            const auto& boxes = next->MessageBoxes();
            faults.insert(faults.begin(),
                          {"the next run", std::string("exit code 0, no box"),
                           "exit code " + std::to_string(outcome.exitCode.value_or(-1)) +
                               (boxes.empty() ? "" : ", box: " + boxes[0].text) + outcome.crash});
          }
          known->second = !faults.empty() ? End::Faulty : anyHarmless ? End::Harmless : End::Exact;
          if (!faults.empty() && reported++ < 20) {
            ADD_FAILURE() << scenario.name << ", stopped "
                          << (k == 0 ? "before the first call"
                                     : "after call " + std::to_string(k - 1) + " " + calls[k - 1])
                          << ", then "
                          << (mode == 0 ? "(a) setup and a restart" : "(b) a power loss, setup and a restart")
                          << ": " << faults[0].place << " is " << Shown(faults[0].interrupted)
                          << ", after a clean run " << Shown(faults[0].clean)
                          << (faults.size() > 1 ? " (and " + std::to_string(faults.size() - 1) + " more places)" : "");
          }
        }
        switch (known->second) {
          case End::Exact: ++tally[mode].exact; break;
          case End::Harmless: ++tally[mode].harmless; break;
          case End::Faulty: ++tally[mode].faulty; break;
        }
      }
    }
    for (int mode = 0; mode < 2; ++mode) {
      char line[200];
      std::snprintf(line, sizeof line, "  %-52s (%c): %4d points, %4d exact, %4d harmless only, %3d faulty\n",
                    scenario.name, mode == 0 ? 'a' : 'b', tally[mode].points, tally[mode].exact,
                    tally[mode].harmless, tally[mode].faulty);
      table += line;
    }
  }

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%scrash sweep: %d runs after a stop, %.1f s\n", table.c_str(), runs, seconds);
  for (const Harmless& difference : harmless) {
    std::printf("  harmless, %d places: %s\n", difference.seen, difference.reason);
    EXPECT_GT(difference.seen, 0) << "a harmless difference never met: " << difference.reason;
  }
}

}  // namespace
}  // namespace korvanta::sweep
