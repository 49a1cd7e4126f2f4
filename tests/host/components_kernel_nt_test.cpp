// The real-time kernel on the NT family: the two files, the device, the 29
// values in order, and the root device branch's access list opened for the
// writes and then put back as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/kernel_nt.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::KeySecurity;
using sim::RegistryValue;
using sim::SimMachine;

constexpr char SourceDir[] = "C:\\setup\\";
constexpr char EnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum\\Root";
constexpr char PermissionMessage[] = "Unable to set permission for \"HKLM\\System\\Enum\\Root\" !";
constexpr char Class[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{3E36E96C-E325-12CE-BFC1-07002BE10326}";
constexpr char Instance[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000";
constexpr char Service[] = "SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK";

RegistryValue Sz(const std::string& text) { return {REG_SZ, text + '\0'}; }
RegistryValue Dword(DWORD value) {
  return {REG_DWORD, std::string{static_cast<char>(value), 0, 0, 0}};
}

struct Expected {
  std::string key;
  const char* name;
  RegistryValue value;
};

// The 29 values in the order written.
const std::vector<Expected>& Values() {
  static const std::vector<Expected> values = {
      {Class, "", Sz("Korvanta AudioEngine")},
      {Class, "Class", Sz("REALTIME")},
      {Class, "Icon", Sz("0")},
      {std::string(Class) + "\\0000", "InfPath", Sz("rundavek.inf")},
      {std::string(Class) + "\\0000", "InfSection", Sz("RUNDAVEK")},
      {std::string(Class) + "\\0000", "InfSectionExt", Sz(".NTx86")},
      {std::string(Class) + "\\0000", "ProviderName", Sz("KORVANTA")},
      {std::string(Class) + "\\0000", "MatchingDeviceId", Sz("*korvanta\\rundavek")},
      {std::string(Class) + "\\0000", "DriverDesc", Sz("KORVANTA Realtime Audio Kernel")},
      {Instance, "ClassGUID", Sz("{3E36E96C-E325-12CE-BFC1-07002BE10326}")},
      {Instance, "HardwareID", {REG_MULTI_SZ, std::string("*korvanta\\rundavek\0\0", 20)}},
      {Instance, "FriendlyName", Sz("Korvanta Realtime Audio Kernel")},
      {Instance, "Class", Sz("REALTIME")},
      {Instance, "Mfg", Sz("KORVANTA")},
      {Instance, "Service", Sz("RUNDAVEK")},
      {Instance, "DeviceDesc", Sz("Korvanta Realtime Audio Kernel")},
      {Instance, "ConfigFlags", Dword(0)},
      {Instance, "Capabilities", Dword(0)},
      {Instance, "Driver", Sz("{3E36E96C-E325-12CE-BFC1-07002BE10326}\\0000")},
      {std::string(Instance) + "\\Device Parameters", "", Sz("")},
      {std::string(Instance) + "\\LogConf", "", Sz("")},
      {std::string(Instance) + "\\Control", "ActiveService", Sz("RUNDAVEK")},
      {Service, "Type", Dword(1)},
      {Service, "Start", Dword(0)},
      {Service, "ErrorControl", Dword(1)},
      {Service, "ImagePath", {REG_EXPAND_SZ, std::string("system32\\drivers\\rundavek.sys\0", 30)}},
      {std::string(Service) + "\\Enum", "0", Sz("Root\\REALTIME\\0000")},
      {std::string(Service) + "\\Enum", "Count", Dword(1)},
      {std::string(Service) + "\\Enum", "NextInstance", Dword(1)},
  };
  return values;
}

// Enum\Root as Windows XP ships it: only the system may write; Everyone may
// read, also below. Protected: nothing from Enum reaches it.
std::string SystemOnlyList() {
  const char bytes[] = {2, 0, 48, 0, 2, 0, 0, 0,
                        0, 2, 20, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,
                        0, 2, 20, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  return std::string(bytes, sizeof bytes);
}

class KernelNtTest : public ::testing::Test {
 protected:
  KernelNtTest() {
    machine.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot, original);
    newDev.Load();
  }
  ~KernelNtTest() override { newDev.Unload(); }

  void AddPayload() {
    machine.AddFile(std::string(SourceDir) + "RUNDAVEK.SYS", "driver");
    machine.AddFile(std::string(SourceDir) + "RUNDAVEK.INF",
                    "[Version]\r\nClass=REALTIME\r\nClassGUID={3E36E96C-E325-12CE-BFC1-07002BE10326}\r\n");
  }
  void Run() {
    machine.ClearCalls();
    InstallKernelNt(platform, SourceDir, "C:\\WINDOWS", "C:\\WINDOWS\\system32");
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& box : machine.MessageBoxes()) texts.push_back(box.text);
    return texts;
  }
  // The values written in order: name, type and byte count as logged.
  std::vector<std::string> WriteOrder() const {
    std::vector<std::string> order;
    for (const std::string& call : machine.CallsTo("RegSetValueExA")) order.push_back(call.substr(call.find(", ") + 2));
    return order;
  }
  static std::vector<std::string> ExpectedOrder() {
    std::vector<std::string> order;
    for (const Expected& e : Values()) {
      order.push_back("\"" + std::string(e.name) + "\", 0, " + std::to_string(e.value.type) + ", ptr, " +
                      std::to_string(e.value.bytes.size()) + ")");
    }
    return order;
  }
  void ExpectAllValues() const {
    for (const Expected& e : Values()) {
      EXPECT_EQ(e.value, machine.GetRegistryValue(HKEY_LOCAL_MACHINE, e.key, e.name)) << e.key << " " << e.name;
    }
    EXPECT_EQ(ExpectedOrder(), WriteOrder());
    // "Device Parameters" and "LogConf" hold their empty default value only.
    EXPECT_EQ(std::vector<std::string>{""},
              machine.RegistryValueNames(HKEY_LOCAL_MACHINE, std::string(Instance) + "\\Device Parameters"));
    EXPECT_EQ(std::vector<std::string>{""}, machine.RegistryValueNames(HKEY_LOCAL_MACHINE, std::string(Instance) + "\\LogConf"));
  }

  SimMachine machine;
  NewDevLoader newDev{machine};
  Platform platform{machine, VER_PLATFORM_WIN32_NT, &newDev};
  const KeySecurity original{SystemOnlyList(), true};
};

TEST_F(KernelNtTest, FilesDeviceAndValuesAreInPlaceAndTheBranchIsAsBefore) {
  AddPayload();
  Run();

  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ("driver", machine.ReadFile("C:\\WINDOWS\\system32\\DRIVERS\\RUNDAVEK.SYS"));
  EXPECT_TRUE(machine.FileExists("C:\\WINDOWS\\INF\\RUNDAVEK.INF"));
  ASSERT_EQ(1u, machine.Devices().size());
  EXPECT_EQ("ROOT\\REALTIME\\0000", machine.Devices()[0].instanceId);
  EXPECT_EQ(1, machine.Devices()[0].driverUpdates);
  ASSERT_EQ(1u, machine.CallsTo("UpdateDriverForPlugAndPlayDevicesA").size());
  EXPECT_NE(std::string::npos,
            machine.CallsTo("UpdateDriverForPlugAndPlayDevicesA")[0].find("\"C:\\setup\\rundavek.inf\""));
  // Only the system may write below Enum\Root: the values there got in
  // through the grant, which was taken back afterwards.
  ExpectAllValues();
  EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot));
  const auto sets = machine.CallsTo("SetNamedSecurityInfoA");
  ASSERT_EQ(2u, sets.size());
  EXPECT_NE(std::string::npos, sets[1].find(", 4, 2147483652, NULL, NULL, ptr, NULL)"));  // protected
  EXPECT_EQ(0, machine.OpenHandleCount());
  EXPECT_EQ(1, machine.LoadedLibraryCount());  // the NewDev.dll binding only
}

TEST_F(KernelNtTest, ASecondRunCreatesNoSecondDevice) {
  AddPayload();
  Run();
  Run();
  ASSERT_EQ(1u, machine.Devices().size());
  EXPECT_EQ(2, machine.Devices()[0].driverUpdates);
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, std::string(EnumRoot) + "\\REALTIME\\0001"));
  ExpectAllValues();
  EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot));
}

TEST_F(KernelNtTest, WithoutDriverAndInfNothingIsCopiedButTheDeviceIsTriedAndTheValuesWritten) {
  Run();
  EXPECT_TRUE(Texts().empty());
  EXPECT_TRUE(machine.CallsTo("CopyFileA").empty());
  EXPECT_EQ(std::vector<std::string>{"SetupDiGetINFClassA(\"C:\\setup\\rundavek.inf\", ptr, ptr, 32, NULL)"},
            machine.CallsTo("SetupDiGetINFClassA"));
  EXPECT_TRUE(machine.Devices().empty());
  ExpectAllValues();
  EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot));
}

TEST_F(KernelNtTest, FailedCopiesAreReportedInOrderAndTheRestGoesOn) {
  AddPayload();
  machine.AddFile("C:\\WINDOWS\\system32\\DRIVERS\\RUNDAVEK.SYS", "old");
  machine.AddFile("C:\\WINDOWS\\INF\\RUNDAVEK.INF", "old");
  machine.LockFile("C:\\WINDOWS\\system32\\DRIVERS\\RUNDAVEK.SYS");
  machine.LockFile("C:\\WINDOWS\\INF\\RUNDAVEK.INF");
  Run();
  EXPECT_EQ((std::vector<std::string>{"Unable to copy \"RUNDAVEK.SYS\" to Systemdirectory!",
                                      "Unable to copy \"RUNDAVEK.INF\" to INF directory !"}),
            Texts());
  EXPECT_EQ(1u, machine.Devices().size());
  ExpectAllValues();
}

// A refused grant is reported once; the writes are still tried (those below
// Enum\Root then fail, unreported), and the list is put back all the same.
TEST_F(KernelNtTest, ARefusedGrantShowsThePermissionMessageOnce) {
  AddPayload();
  machine.AddFault(Fault{"SetNamedSecurityInfoA", ERROR_ACCESS_DENIED, "", 1});
  Run();
  EXPECT_EQ(std::vector<std::string>{PermissionMessage}, Texts());
  EXPECT_EQ(54u, std::string(PermissionMessage).size());
  EXPECT_EQ(2u, machine.CallsTo("SetNamedSecurityInfoA").size());
  EXPECT_EQ(29u, machine.CallsTo("RegCreateKeyExA").size());
  EXPECT_EQ(Sz("Korvanta AudioEngine"), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Class, ""));
  EXPECT_FALSE(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Instance, "Mfg"));
  EXPECT_EQ(Dword(1), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, std::string(Service) + "\\Enum", "Count"));
  EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot));
}

// A list that cannot be read could not be put back: the key's security is not
// touched at all, the message tells that the grant did not happen, and every
// value is still tried.
TEST_F(KernelNtTest, AnUnreadableListLeavesTheKeysSecurityUntouched) {
  AddPayload();
  machine.AddFault(Fault{"GetNamedSecurityInfoA", ERROR_ACCESS_DENIED, "", 1});
  Run();
  EXPECT_EQ(std::vector<std::string>{PermissionMessage}, Texts());
  EXPECT_TRUE(machine.CallsTo("SetNamedSecurityInfoA").empty());
  EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot));
  EXPECT_EQ(29u, machine.CallsTo("RegCreateKeyExA").size());
  EXPECT_EQ(Sz("rundavek.inf"), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, std::string(Class) + "\\0000", "InfPath"));
  EXPECT_EQ(0, machine.OpenHandleCount());
}

}  // namespace
}  // namespace korvanta
