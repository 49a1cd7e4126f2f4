// The scoped owners: a handle is released exactly once, whichever way it
// travels (moved, move-assigned, reset), and "none" is never released.
#include <gtest/gtest.h>

#include <utility>

#include "platform/sim/sim_machine.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {
namespace {

using sim::SimMachine;

HKEY OpenKey(SimMachine& machine) {
  HKEY key = nullptr;
  EXPECT_EQ(machine.RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  return key;
}

TEST(ScopedHandleTest, AMovedHandleIsClosedExactlyOnce) {
  SimMachine machine;
  {
    ScopedRegKey first(machine, OpenKey(machine));
    ScopedRegKey second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    ScopedRegKey third(machine, OpenKey(machine));
    third = std::move(second);  // closes third's own key at once
    EXPECT_EQ(machine.OpenHandleCount(), 1);
    third = std::move(third);   // a self-move keeps the key
    EXPECT_TRUE(third.IsValid());
  }
  EXPECT_EQ(machine.CallsTo("RegCloseKey").size(), 2u);
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

TEST(ScopedHandleTest, NoneIsNeverReleasedAndEachKindKnowsItsNone) {
  SimMachine machine;
  {
    ScopedRegKey key(machine);
    ScopedSnapshot snapshot(machine, INVALID_HANDLE_VALUE);  // Toolhelp's "none"
    ScopedFindHandle find(machine, INVALID_HANDLE_VALUE);
    ScopedModule module(machine, nullptr);
    EXPECT_FALSE(key || snapshot || find || module);
    key.Reset(OpenKey(machine));
    key.Reset();
    EXPECT_EQ(machine.OpenHandleCount(), 0);
  }
  EXPECT_EQ(machine.CallsTo("RegCloseKey").size(), 1u);
  for (const char* release : {"CloseHandle", "FindClose", "FreeLibrary"}) {
    EXPECT_TRUE(machine.CallsTo(release).empty()) << release;
  }
}

}  // namespace
}  // namespace korvanta
