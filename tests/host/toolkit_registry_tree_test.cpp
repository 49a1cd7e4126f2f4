// RegDeleteTree: a key goes with every subkey at every depth; what cannot be
// opened or deleted stays, and nothing else is touched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "toolkit/registry_tree.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::RegistryValue;
using sim::SimMachine;

constexpr char Korvanta[] = "Software\\Korvanta";
constexpr char Engine[] = "Software\\Korvanta\\Engine";

class RegDeleteTreeTest : public ::testing::Test {
 protected:
  // Engine with five subkeys (more than one, so that deleting while
  // enumerating by index would skip some), several of them with subkeys and
  // values of their own, three levels deep.
  void AddEngineTree() {
    for (const char* sub : {"Audio", "Devices", "Midi", "Paths", "Window"}) {
      machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Engine) + "\\" + sub);
    }
    for (const char* sub : {"In", "Out", "Sync"}) {
      machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Engine) + "\\Devices\\" + sub);
      machine.AddRegistryKey(HKEY_CURRENT_USER,
                             std::string(Engine) + "\\Devices\\" + sub + "\\Port 1");
    }
    machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Engine) + "\\Midi\\Map");
    machine.SetRegistryValue(HKEY_CURRENT_USER, Engine, "Version", {REG_SZ, std::string("3\0", 2)});
    machine.SetRegistryValue(HKEY_CURRENT_USER, std::string(Engine) + "\\Devices\\In\\Port 1",
                             "Latency", {REG_DWORD, std::string("\x40\0\0\0", 4)});
  }
  void AddNeighbours() {
    machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Korvanta) + "\\Editor\\Recent");
    machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Korvanta) + "\\EngineBackup");
    machine.SetRegistryValue(HKEY_CURRENT_USER, Korvanta, "Owner", {REG_SZ, std::string("me\0", 3)});
    machine.AddRegistryKey(HKEY_LOCAL_MACHINE, std::string(Engine) + "\\Audio");
  }
  void ExpectNeighboursKept() {
    EXPECT_TRUE(machine.RegistryKeyExists(HKEY_CURRENT_USER, std::string(Korvanta) + "\\Editor\\Recent"));
    EXPECT_TRUE(machine.RegistryKeyExists(HKEY_CURRENT_USER, std::string(Korvanta) + "\\EngineBackup"));
    EXPECT_EQ(machine.GetRegistryValue(HKEY_CURRENT_USER, Korvanta, "Owner"),
              (RegistryValue{REG_SZ, std::string("me\0", 3)}));
    EXPECT_TRUE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, std::string(Engine) + "\\Audio"));
  }
  SimMachine machine;
};

TEST_F(RegDeleteTreeTest, DeletesEverySubkeyAtEveryDepthAndOnlyThat) {
  AddEngineTree();
  AddNeighbours();
  EXPECT_TRUE(RegDeleteTree(machine, HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\"));
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, Engine));
  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, Korvanta),
            (std::vector<std::string>{"Editor", "EngineBackup"}));
  ExpectNeighboursKept();
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

// Under a double-byte code page the longest name is counted in characters
// and needs up to twice as many bytes: the name is read again into a larger
// buffer rather than passed over.
TEST_F(RegDeleteTreeTest, ADoubleByteNameLongerInBytesThanInCharactersGoesToo) {
  machine.SetLeadByteRanges({{0x81, 0x9F}, {0xE0, 0xFC}});  // Japanese
  // Four characters in eight bytes, and 200 in 400: a buffer grown only to
  // a lower limit would still pass the short one.
  std::string longName;
  for (int i = 0; i < 100; ++i) longName += "\x83\x7E\x83\x4C";
  for (const std::string& name : {std::string("\x83\x7E\x83\x4C\x83\x54\x81\x5B"), longName}) {
    machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Engine) + "\\" + name + "\\In");
    machine.AddRegistryKey(HKEY_CURRENT_USER, std::string(Engine) + "\\Audio");
    EXPECT_TRUE(RegDeleteTree(machine, HKEY_CURRENT_USER, Engine)) << name.size();
    EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, Engine)) << name.size();
  }
}

TEST_F(RegDeleteTreeTest, MissingKeyChangesNothingAndReportsFalse) {
  AddNeighbours();
  EXPECT_FALSE(RegDeleteTree(machine, HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\"));
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, Engine));
  ExpectNeighboursKept();
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

// Full access first, read access when the user lacks full access: the subkeys
// are still found and deleted, and then the key itself.
TEST_F(RegDeleteTreeTest, FallsBackToReadAccessToFindTheSubkeys) {
  AddEngineTree();
  machine.DenyRegistryAccess(HKEY_CURRENT_USER, Engine, KEY_SET_VALUE);
  machine.ClearCalls();
  EXPECT_TRUE(RegDeleteTree(machine, HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\"));
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, Engine));
  const std::vector<std::string> opens = machine.CallsTo("RegOpenKeyExA");
  ASSERT_GE(opens.size(), 2u);
  EXPECT_NE(opens[0].find("\"Software\\Korvanta\\Engine\\\", 0, 983103,"), std::string::npos)
      << opens[0];
  EXPECT_NE(opens[1].find("\"Software\\Korvanta\\Engine\\\", 0, 131097,"), std::string::npos)
      << opens[1];
}

// A leaf that cannot be opened at all is still deleted: deleting asks for no
// more than the right to delete.
TEST_F(RegDeleteTreeTest, LeafThatCannotBeOpenedIsStillDeleted) {
  AddEngineTree();
  machine.DenyRegistryAccess(HKEY_CURRENT_USER, std::string(Engine) + "\\Window",
                             KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS);
  EXPECT_TRUE(RegDeleteTree(machine, HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\"));
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, Engine));
}

// A subkey whose own subkeys cannot be listed keeps them, so it stays, and so
// does Engine; every sibling still goes.
TEST_F(RegDeleteTreeTest, SubkeyThatCannotBeOpenedStaysWithItsParentsAndTheRestGoes) {
  AddEngineTree();
  AddNeighbours();
  const std::string devices = std::string(Engine) + "\\Devices";
  machine.DenyRegistryAccess(HKEY_CURRENT_USER, devices, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS);
  EXPECT_FALSE(RegDeleteTree(machine, HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\"));
  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, Engine), std::vector<std::string>{"Devices"});
  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, devices),
            (std::vector<std::string>{"In", "Out", "Sync"}));
  EXPECT_TRUE(machine.RegistryKeyExists(HKEY_CURRENT_USER, devices + "\\Sync\\Port 1"));
  ExpectNeighboursKept();
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

// A subkey that can be emptied but not deleted stays; the walk ends (no
// endless retry of the same subkey) and its siblings go.
TEST_F(RegDeleteTreeTest, SubkeyThatCannotBeDeletedStaysEmptyAndTheWalkEnds) {
  AddEngineTree();
  const std::string midi = std::string(Engine) + "\\Midi";
  machine.DenyRegistryAccess(HKEY_CURRENT_USER, midi, DELETE);
  EXPECT_FALSE(RegDeleteTree(machine, HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\"));
  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, Engine), std::vector<std::string>{"Midi"});
  EXPECT_TRUE(machine.RegistrySubKeys(HKEY_CURRENT_USER, midi).empty());
  EXPECT_LT(machine.CallsTo("RegDeleteKeyA").size(), 30u);
}

}  // namespace
}  // namespace korvanta
