// A registry key's access list: the grant to Everyone byte for byte, the
// object names, what each failure leaves behind, and a list read and put back
// exactly as it was.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_machine.h"
#include "toolkit/key_access.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::KeySecurity;
using sim::SimMachine;

constexpr char Root[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\";
constexpr char RootObject[] = "MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\";

// The one-entry list: header (revision 2, 32 bytes, one entry), an allowed
// entry with both inherit flags, 20 bytes, the mask, then Everyone (S-1-1-0).
std::string GrantList(DWORD mask) {
  const char bytes[32] = {2, 0, 32, 0, 1, 0, 0, 0,
                          0, 3, 20, 0,
                          static_cast<char>(mask), static_cast<char>(mask >> 8),
                          static_cast<char>(mask >> 16), static_cast<char>(mask >> 24),
                          1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,
                          0, 0, 0, 0};
  return std::string(bytes, 32);
}

// A list as Windows gives a system key: SYSTEM (S-1-5-18) may do everything,
// Everyone may read.
std::string SystemList() {
  const char bytes[] = {2, 0, 48, 0, 2, 0, 0, 0,
                        0, 2, 20, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,
                        0, 2, 20, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  return std::string(bytes, sizeof bytes);
}

TEST(KeyAccessTest, ObjectNamesArePrefixedByTheirRootAndKeepTheTrailingBackslash) {
  const struct {
    HKEY root;
    const char* expected;
  } cases[] = {
      {HKEY_CLASSES_ROOT, "CLASSES_ROOT\\Sub\\Key\\"},
      {HKEY_CURRENT_USER, "CURRENT_USER\\Sub\\Key\\"},
      {HKEY_LOCAL_MACHINE, "MACHINE\\Sub\\Key\\"},
      {HKEY_USERS, "USERS\\Sub\\Key\\"},
      {reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000005)), "Sub\\Key\\"},  // HKEY_CURRENT_CONFIG
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, RegistryObjectName(c.root, "Sub\\Key\\"));
}

TEST(KeyAccessTest, TheGrantIsOneInheritableEntryForEveryone) {
  for (const DWORD mask : {DWORD{GENERIC_ALL}, DWORD{0}}) {
    SimMachine machine;
    EXPECT_TRUE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, mask));
    EXPECT_EQ(GrantList(mask), machine.AppliedDacl(RootObject));
    const auto sets = machine.CallsTo("SetNamedSecurityInfoA");
    ASSERT_EQ(1u, sets.size());
    // Only the list is set: no owner, group or system list, no protection flag.
    EXPECT_NE(std::string::npos, sets[0].find("\"" + std::string(RootObject) + "\", 4, 4, NULL, NULL, ptr, NULL)"))
        << sets[0];
    EXPECT_EQ(std::vector<std::string>{"InitializeAcl(ptr, 32, 2)"}, machine.CallsTo("InitializeAcl"));
    EXPECT_EQ(0, machine.OpenHandleCount());
    EXPECT_EQ(0, machine.LoadedLibraryCount());
  }
}

// A root outside the four gets no prefix; what the platform makes of the bare
// name is the result.
TEST(KeyAccessTest, AnUnknownRootPassesTheBarePathOn) {
  SimMachine machine;
  EXPECT_FALSE(GrantRegistryKeyAccess(machine, nullptr, Root, GENERIC_ALL));
  ASSERT_EQ(1u, machine.CallsTo("SetNamedSecurityInfoA").size());
  EXPECT_NE(std::string::npos, machine.CallsTo("SetNamedSecurityInfoA")[0].find(", \"SYSTEM\\CurrentControlSet"));
}

// Every failure makes the result false and releases what was taken; one before
// the last step leaves the key untouched.
TEST(KeyAccessTest, EachFailureIsFalseAndReleasesEverything) {
  const struct {
    const char* operation;
    bool reachesKey;
  } steps[] = {
      {"LoadLibraryExA", false}, {"GetProcAddress", false},      {"AllocateAndInitializeSid", false},
      {"InitializeAcl", false},  {"AddAccessAllowedAce", false}, {"GetAce", false},
      {"SetNamedSecurityInfoA", true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.operation);
    SimMachine machine;
    machine.AddFault(Fault{step.operation, ERROR_ACCESS_DENIED, "", 1});
    EXPECT_FALSE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL));
    EXPECT_EQ("", machine.AppliedDacl(RootObject));
    EXPECT_EQ(step.reachesKey ? 1u : 0u, machine.CallsTo("SetNamedSecurityInfoA").size());
    EXPECT_EQ(0, machine.OpenHandleCount());
    EXPECT_EQ(0, machine.LoadedLibraryCount());
  }

  SimMachine machine;
  machine.RemoveExport("advapi32.dll", "SetNamedSecurityInfoA");
  EXPECT_FALSE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL));
  EXPECT_TRUE(machine.CallsTo("AllocateAndInitializeSid").empty());
  EXPECT_EQ(0, machine.LoadedLibraryCount());
}

// Whatever the key had, list and protection, is what it has again after a
// grant in between; the descriptor read is released.
TEST(KeyAccessTest, ASavedListIsPutBackWithItsProtection) {
  const KeySecurity originals[] = {
      {SystemList(), true},
      {SystemList(), false},
      {std::nullopt, false},  // no list at all: everyone may do everything
  };
  for (const KeySecurity& original : originals) {
    SimMachine machine;
    machine.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, Root, original);
    const std::optional<SavedKeySecurity> saved = ReadRegistryKeySecurity(machine, HKEY_LOCAL_MACHINE, Root);
    ASSERT_TRUE(saved);
    EXPECT_EQ(0, machine.OpenHandleCount());  // the descriptor went back with LocalFree
    ASSERT_TRUE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, 0));
    machine.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, Root, {GrantList(0), !original.isProtected});

    EXPECT_TRUE(RestoreRegistryKeySecurity(machine, HKEY_LOCAL_MACHINE, Root, *saved));
    EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, Root));
    EXPECT_EQ(0, machine.LoadedLibraryCount());
  }
}

TEST(KeyAccessTest, AListThatCannotBeReadIsNothingToPutBack) {
  const Fault faults[] = {
      {"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, "", 1},
      {"GetProcAddress", ERROR_PROC_NOT_FOUND, "GetNamedSecurityInfoA", 1},
      {"LoadLibraryExA", ERROR_MOD_NOT_FOUND, "", 1},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.operation);
    SimMachine machine;
    machine.AddFault(fault);
    EXPECT_FALSE(ReadRegistryKeySecurity(machine, HKEY_LOCAL_MACHINE, Root));
    EXPECT_EQ(0, machine.OpenHandleCount());
    EXPECT_EQ(0, machine.LoadedLibraryCount());
  }
  SimMachine machine;
  EXPECT_FALSE(ReadRegistryKeySecurity(machine, HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing"));
}

}  // namespace
}  // namespace korvanta
