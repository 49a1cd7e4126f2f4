// The simulated device tree where Wine cannot stand in for Windows: devices
// without hardware ids, generated instance ids, and the driver update's
// failures.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_machine.h"

namespace korvanta::sim {
namespace {

const GUID kMediaClass = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kRealtimeClass = {0x3E36E96C, 0xE325, 0x12CE, {0xBF, 0xC1, 0x07, 0x00, 0x2B, 0xE1, 0x03, 0x26}};
constexpr DWORD kErrorNoSuchDevinst = 0xE000020B;

std::string MultiSz(std::initializer_list<const char*> ids) {
  std::string bytes;
  for (const char* id : ids) bytes += std::string(id) + '\0';
  return bytes + '\0';
}

class SimDevicesTest : public ::testing::Test {
 protected:
  SimDevicesTest() {
    machine.AddDevice({"PCI\\VEN_1102&DEV_0002\\3&61AAA01&0&48", kMediaClass, true, true,
                       MultiSz({"PCI\\VEN_1102&DEV_0002", "*KORVANTA\\RUNDAVEK"}), "", 0});
    machine.AddDevice({"ROOT\\LEGACY_BEEP\\0000", kMediaClass, true, false, "", "", 0});
    machine.AddDevice({"ROOT\\MEDIA\\0000", kMediaClass, false, true, MultiSz({"*korvanta\\rundavek"}), "", 0});
    machine.AddFile("C:\\setup\\rundavek.inf", "[Version]\r\nClass=REALTIME\r\n"
                                               "ClassGUID={3E36E96C-E325-12CE-BFC1-07002BE10326}\r\n");
    HMODULE newDev = machine.LoadLibraryExA("NewDev.dll", nullptr, 0);
    update = machine.GetProcAddress(newDev, "UpdateDriverForPlugAndPlayDevicesA");
    setupApi = machine.LoadLibraryExA("setupapi.dll", nullptr, 0);
  }

  FARPROC Fn(const char* name) { return machine.GetProcAddress(setupApi, name); }

  SimMachine machine;
  FARPROC update = nullptr;
  HMODULE setupApi = nullptr;
};

TEST_F(SimDevicesTest, PresentDevicesWithAndWithoutHardwareIds) {
  HDEVINFO set = machine.SetupDiGetClassDevsA(Fn("SetupDiGetClassDevsA"), nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  ASSERT_TRUE(machine.SetupDiEnumDeviceInfo(Fn("SetupDiEnumDeviceInfo"), set, 1, &device));
  DWORD required = 0;
  EXPECT_FALSE(machine.SetupDiGetDeviceRegistryPropertyA(Fn("SetupDiGetDeviceRegistryPropertyA"), set, &device, SPDRP_HARDWAREID, nullptr,
                                                         nullptr, 0, &required));
  EXPECT_EQ(DWORD{ERROR_INVALID_DATA}, machine.GetLastError());
  // The device that is not present is not listed.
  EXPECT_FALSE(machine.SetupDiEnumDeviceInfo(Fn("SetupDiEnumDeviceInfo"), set, 2, &device));
  EXPECT_EQ(DWORD{ERROR_NO_MORE_ITEMS}, machine.GetLastError());
  // A record whose size was not set is refused.
  SP_DEVINFO_DATA unset{};
  EXPECT_FALSE(machine.SetupDiEnumDeviceInfo(Fn("SetupDiEnumDeviceInfo"), set, 0, &unset));
  EXPECT_TRUE(machine.SetupDiDestroyDeviceInfoList(Fn("SetupDiDestroyDeviceInfoList"), set));
  EXPECT_EQ(0, machine.OpenHandleCount());
}

TEST_F(SimDevicesTest, GeneratedInstanceIdsTakeTheFirstFreeNumber) {
  HDEVINFO set = machine.SetupDiCreateDeviceInfoList(Fn("SetupDiCreateDeviceInfoList"), &kRealtimeClass, nullptr);
  SP_DEVINFO_DATA first{};
  first.cbSize = sizeof first;
  SP_DEVINFO_DATA second = first;
  ASSERT_TRUE(machine.SetupDiCreateDeviceInfoA(Fn("SetupDiCreateDeviceInfoA"), set, "REALTIME", &kRealtimeClass, nullptr, nullptr,
                                               DICD_GENERATE_ID, &first));
  ASSERT_TRUE(machine.SetupDiCreateDeviceInfoA(Fn("SetupDiCreateDeviceInfoA"), set, "realtime", &kRealtimeClass, nullptr, nullptr,
                                               DICD_GENERATE_ID, &second));
  ASSERT_TRUE(machine.SetupDiCallClassInstaller(Fn("SetupDiCallClassInstaller"), DIF_REGISTERDEVICE, set, &second));
  ASSERT_TRUE(machine.SetupDiCallClassInstaller(Fn("SetupDiCallClassInstaller"), DIF_REGISTERDEVICE, set, &first));
  ASSERT_EQ(5u, machine.Devices().size());
  EXPECT_EQ("ROOT\\REALTIME\\0001", machine.Devices()[3].instanceId);
  EXPECT_EQ("ROOT\\REALTIME\\0000", machine.Devices()[4].instanceId);

  ASSERT_TRUE(machine.SetupDiCallClassInstaller(Fn("SetupDiCallClassInstaller"), DIF_REMOVE, set, &second));
  ASSERT_EQ(4u, machine.Devices().size());
  EXPECT_EQ("ROOT\\REALTIME\\0000", machine.Devices()[3].instanceId);
  // A set of another class does not take elements of this one.
  HDEVINFO media = machine.SetupDiCreateDeviceInfoList(Fn("SetupDiCreateDeviceInfoList"), &kMediaClass, nullptr);
  EXPECT_FALSE(machine.SetupDiCreateDeviceInfoA(Fn("SetupDiCreateDeviceInfoA"), media, "REALTIME", &kRealtimeClass, nullptr, nullptr,
                                                DICD_GENERATE_ID, &first));
  machine.SetupDiDestroyDeviceInfoList(Fn("SetupDiDestroyDeviceInfoList"), media);
  machine.SetupDiDestroyDeviceInfoList(Fn("SetupDiDestroyDeviceInfoList"), set);
}

TEST_F(SimDevicesTest, DriverUpdateReachesEveryPresentDeviceWithTheId) {
  BOOL reboot = TRUE;
  ASSERT_TRUE(machine.UpdateDriverForPlugAndPlayDevicesA(update, nullptr, "*korvanta\\rundavek",
                                                         "C:\\setup\\rundavek.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(DWORD{NO_ERROR}, machine.GetLastError());
  EXPECT_FALSE(reboot);
  // Device ids match without regard to letter case; a device that is not
  // present gets nothing.
  EXPECT_EQ(1, machine.Devices()[0].driverUpdates);
  EXPECT_EQ("C:\\setup\\rundavek.inf", machine.Devices()[0].driverInf);
  EXPECT_EQ(0, machine.Devices()[2].driverUpdates);

  EXPECT_FALSE(machine.UpdateDriverForPlugAndPlayDevicesA(update, nullptr, "*korvanta\\other",
                                                          "C:\\setup\\rundavek.inf", INSTALLFLAG_FORCE, nullptr));
  EXPECT_EQ(kErrorNoSuchDevinst, machine.GetLastError());
  EXPECT_FALSE(machine.UpdateDriverForPlugAndPlayDevicesA(update, nullptr, "*korvanta\\rundavek",
                                                          "C:\\setup\\missing.inf", INSTALLFLAG_FORCE, nullptr));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, machine.GetLastError());
  EXPECT_EQ(1, machine.Devices()[0].driverUpdates);
}

}  // namespace
}  // namespace korvanta::sim
