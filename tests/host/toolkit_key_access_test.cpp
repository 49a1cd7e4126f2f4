// A registry key's access list: the grant to Administrators byte for byte, the
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

// An access list of these entries (each whole, header, mask and SID).
std::string List(std::initializer_list<std::string> entries, char revision = 2) {
  std::string body;
  for (const std::string& entry : entries) body += entry;
  const size_t size = 8 + body.size();
  const char header[8] = {revision, 0, static_cast<char>(size), static_cast<char>(size >> 8),
                          static_cast<char>(entries.size()), 0, 0, 0};
  return std::string(header, 8) + body;
}

// SYSTEM (S-1-5-18) may do everything, Everyone (S-1-1-0) may read, as in a
// system key's list; `flags` 0x10 marks an entry inherited from above.
std::string SystemEntry(char flags = 2) {
  const char bytes[20] = {0, flags, 20, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  return std::string(bytes, 20);
}
std::string EveryoneReadEntry(char flags = 2) {
  const char bytes[20] = {0, flags, 20, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  return std::string(bytes, 20);
}
// The granted entry: allowed, both inherit flags, the mask, Administrators
// (S-1-5-32-544).
std::string AdministratorsEntry(DWORD mask) {
  const char bytes[24] = {0, 3, 24, 0,
                          static_cast<char>(mask), static_cast<char>(mask >> 8),
                          static_cast<char>(mask >> 16), static_cast<char>(mask >> 24),
                          1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  return std::string(bytes, 24);
}

// An object entry (revision 4 lists): SYSTEM may do everything, no object
// types named.
std::string SystemObjectEntry() {
  const char bytes[24] = {5, 2, 24, 0, 0x3F, 0, 0x0F, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  return std::string(bytes, 24);
}

std::string SystemList() { return List({SystemEntry(), EveryoneReadEntry()}); }

SavedKeySecurity Kept(const std::string& list) {
  return {true, std::vector<BYTE>(list.begin(), list.end()), false};
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

// The kept list with the Administrators entry after its explicit entries:
// everyone else keeps what the list gave, also where (NT 4) the list set is
// all a key has.
TEST(KeyAccessTest, TheGrantAddsOneInheritableEntryForAdministratorsToTheKeptList) {
  const struct {
    std::string kept;
    std::string granted;
    int revision = 2;
  } cases[] = {
      {SystemList(), List({SystemEntry(), EveryoneReadEntry(), AdministratorsEntry(GENERIC_ALL)})},
      {List({SystemEntry(), EveryoneReadEntry(0x12)}),
       List({SystemEntry(), AdministratorsEntry(GENERIC_ALL), EveryoneReadEntry(0x12)})},
      {List({}), List({AdministratorsEntry(GENERIC_ALL)})},
      // After the first run of explicit entries, not after the last.
      {List({SystemEntry(), EveryoneReadEntry(0x12), EveryoneReadEntry()}),
       List({SystemEntry(), AdministratorsEntry(GENERIC_ALL), EveryoneReadEntry(0x12), EveryoneReadEntry()})},
      // A list with object entries keeps its revision.
      {List({SystemObjectEntry(), EveryoneReadEntry()}, 4),
       List({SystemObjectEntry(), EveryoneReadEntry(), AdministratorsEntry(GENERIC_ALL)}, 4), 4},
  };
  for (const auto& c : cases) {
    SimMachine machine;
    EXPECT_TRUE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL, Kept(c.kept)));
    EXPECT_EQ(c.granted, machine.AppliedDacl(RootObject));
    const auto sets = machine.CallsTo("SetNamedSecurityInfoA");
    ASSERT_EQ(1u, sets.size());
    // Only the list is set: no owner, group or system list, no protection flag.
    EXPECT_NE(std::string::npos, sets[0].find("\"" + std::string(RootObject) + "\", 4, 4, NULL, NULL, ptr, NULL)"))
        << sets[0];
    EXPECT_EQ(std::vector<std::string>{"InitializeAcl(ptr, " + std::to_string(c.granted.size()) + ", " +
                                       std::to_string(c.revision) + ")"},
              machine.CallsTo("InitializeAcl"));
    EXPECT_EQ(0, machine.OpenHandleCount());
    EXPECT_EQ(0, machine.LoadedLibraryCount());
  }

  // A key without a list is open to all already; a kept list that runs past
  // its end is no list to build on.
  std::string overrun = SystemList();
  overrun[10] = 60;
  for (const SavedKeySecurity& kept : {SavedKeySecurity{false, {}, false}, Kept(overrun)}) {
    SimMachine machine;
    EXPECT_EQ(!kept.hasList, GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL, kept));
    EXPECT_TRUE(machine.Calls().empty());
  }
}

// A root outside the four gets no prefix; what the platform makes of the bare
// name is the result.
TEST(KeyAccessTest, AnUnknownRootPassesTheBarePathOn) {
  SimMachine machine;
  EXPECT_FALSE(GrantRegistryKeyAccess(machine, nullptr, Root, GENERIC_ALL, Kept(SystemList())));
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
    EXPECT_FALSE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL, Kept(SystemList())));
    EXPECT_EQ("", machine.AppliedDacl(RootObject));
    EXPECT_EQ(step.reachesKey ? 1u : 0u, machine.CallsTo("SetNamedSecurityInfoA").size());
    EXPECT_EQ(0, machine.OpenHandleCount());
    EXPECT_EQ(0, machine.LoadedLibraryCount());
  }

  SimMachine machine;
  machine.RemoveExport("advapi32.dll", "SetNamedSecurityInfoA");
  EXPECT_FALSE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL, Kept(SystemList())));
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
    ASSERT_TRUE(GrantRegistryKeyAccess(machine, HKEY_LOCAL_MACHINE, Root, GENERIC_ALL, *saved));
    machine.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, Root, {List({}), !original.isProtected});

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
