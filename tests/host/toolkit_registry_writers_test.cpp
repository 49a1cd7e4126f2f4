// The registry value writers: exact types and byte counts, keys created with
// their parents, full access asked for, and nothing reported on failure.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_machine.h"
#include "toolkit/registry_writers.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::RegistryValue;
using sim::SimMachine;

constexpr char Deep[] = "Software\\Korvanta\\Level1\\Level2";

TEST(RegistryWritersTest, EachWriterStoresExactlyItsTypeAndBytes) {
  SimMachine machine;
  const BYTE record[4] = {0x14, 0, 0, 0};
  const std::string multi("*korvanta\\rundavek\0\0", 20);
  RegWriteString(machine, HKEY_LOCAL_MACHINE, Deep, "Text", "abc");
  RegWriteString(machine, HKEY_LOCAL_MACHINE, Deep, "", "");
  RegWriteTypedString(machine, HKEY_LOCAL_MACHINE, REG_EXPAND_SZ, Deep, "%x%", "Expand");
  RegWriteDword(machine, HKEY_LOCAL_MACHINE, Deep, "Number", 0x01020304);
  RegWriteBinary(machine, HKEY_LOCAL_MACHINE, Deep, "Record", 4, record);
  RegWriteRaw(machine, HKEY_LOCAL_MACHINE, Deep, "Multi", REG_MULTI_SZ, 20,
              reinterpret_cast<const BYTE*>(multi.data()));

  const struct {
    const char* name;
    RegistryValue expected;
  } cases[] = {
      {"Text", {REG_SZ, std::string("abc\0", 4)}},
      {"", {REG_SZ, std::string(1, '\0')}},  // empty text: one zero byte, not none
      {"Expand", {REG_EXPAND_SZ, std::string("%x%\0", 4)}},
      {"Number", {REG_DWORD, std::string("\x04\x03\x02\x01", 4)}},
      {"Record", {REG_BINARY, std::string("\x14\0\0\0", 4)}},
      {"Multi", {REG_MULTI_SZ, multi}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Deep, c.name), c.expected) << c.name;
  }
  ASSERT_EQ(machine.CallsTo("RegCreateKeyExA").size(), 6u);
  for (const std::string& line : machine.CallsTo("RegCreateKeyExA")) {
    EXPECT_NE(line.find(", 0, NULL, 0, 983103, NULL, "), std::string::npos) << line;
  }
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

TEST(RegistryWritersTest, ADwordReplacesAStringOfTheSameName) {
  SimMachine machine;
  machine.SetRegistryValue(HKEY_LOCAL_MACHINE, Deep, "Start", {REG_SZ, std::string("2\0", 2)});
  RegWriteDword(machine, HKEY_LOCAL_MACHINE, Deep, "Start", 2);
  EXPECT_EQ(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Deep, "Start"),
            (RegistryValue{REG_DWORD, std::string("\x02\0\0\0", 4)}));
}

TEST(RegistryWritersTest, AKeyThatCannotBeCreatedWritesNothingAndReportsNothing) {
  SimMachine machine;
  machine.AddFault({"RegCreateKeyExA", ERROR_ACCESS_DENIED, "", 1});
  RegWriteDword(machine, HKEY_LOCAL_MACHINE, Deep, "Start", 2);
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, Deep));
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST(RegistryWritersTest, ValueExistsNeedsFullAccessAndNeverCreatesTheKey) {
  SimMachine machine;
  EXPECT_FALSE(RegValueExists(machine, HKEY_LOCAL_MACHINE, Deep, "Config"));
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, Deep));

  machine.SetRegistryValue(HKEY_LOCAL_MACHINE, Deep, "Config", {REG_NONE, ""});
  EXPECT_TRUE(RegValueExists(machine, HKEY_LOCAL_MACHINE, Deep, "Config"));
  EXPECT_FALSE(RegValueExists(machine, HKEY_LOCAL_MACHINE, Deep, "Other"));

  machine.DenyRegistryAccess(HKEY_LOCAL_MACHINE, Deep, KEY_SET_VALUE);
  EXPECT_FALSE(RegValueExists(machine, HKEY_LOCAL_MACHINE, Deep, "Config"));
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace korvanta
