// The SetupAPI calls of the root-device installation: the class of an INF, a
// root-enumerated device created, given a hardware id, registered, found among
// the present devices and removed again. The installer does this on the NT
// family only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

const GUID kRealtimeClass = {0x3E36E96C, 0xE325, 0x12CE, {0xBF, 0xC1, 0x07, 0x00, 0x2B, 0xE1, 0x03, 0x26}};
const char kInf[] =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=REALTIME\r\n"
    "ClassGUID={3E36E96C-E325-12CE-BFC1-07002BE10326}\r\n"
    "Provider=%Mfg%\r\n";
// A hardware id of this test's own, so that no other device carries it.
const char kHardwareId[] = "*korvanta\\contracttest";

class Devices : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Is9xFamily()) GTEST_SKIP() << "the root device is installed on the NT family only";
    setupApi = ops.LoadLibraryExA("setupapi.dll", nullptr, 0);
    ASSERT_NE(nullptr, setupApi);
  }
  void TearDown() override {
    if (setupApi != nullptr) ops.FreeLibrary(setupApi);
  }

  // The installer looks SetupAPI up at run time; so do these tests.
  FARPROC Fn(const char* name) { return ops.GetProcAddress(setupApi, name); }

  // Whether a present device carries `id` among its hardware ids, read the way
  // the installer reads them: size first, then the data.
  bool PresentDeviceCarries(const std::string& id) {
    HDEVINFO set = ops.SetupDiGetClassDevsA(Fn("SetupDiGetClassDevsA"), nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    EXPECT_NE(static_cast<HDEVINFO>(INVALID_HANDLE_VALUE), set);
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; !found && ops.SetupDiEnumDeviceInfo(Fn("SetupDiEnumDeviceInfo"), set, index, &device); ++index) {
      DWORD required = 0;
      if (ops.SetupDiGetDeviceRegistryPropertyA(Fn("SetupDiGetDeviceRegistryPropertyA"), set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0,
                                                &required)) {
        continue;
      }
      const DWORD error = ops.GetLastError();
      if (error == ERROR_INVALID_DATA) continue;
      EXPECT_EQ(DWORD{ERROR_INSUFFICIENT_BUFFER}, error);
      std::vector<BYTE> buffer(required);
      DWORD type = 0;
      EXPECT_TRUE(ops.SetupDiGetDeviceRegistryPropertyA(Fn("SetupDiGetDeviceRegistryPropertyA"), set, &device, SPDRP_HARDWAREID, &type,
                                                        buffer.data(), required, nullptr));
      EXPECT_EQ(DWORD{REG_MULTI_SZ}, type);
      for (const char* entry = reinterpret_cast<const char*>(buffer.data());
           entry < reinterpret_cast<const char*>(buffer.data()) + required && *entry;
           entry += std::strlen(entry) + 1) {
        found = found || id == entry;
      }
    }
    ops.SetupDiDestroyDeviceInfoList(Fn("SetupDiDestroyDeviceInfoList"), set);
    return found;
  }

  PlatformOps& ops = Env().Ops();
  HMODULE setupApi = nullptr;
};

TEST_F(Devices, TheClassOfAnInf) {
  Env().WriteFile(InScratch("rundavek.inf"), kInf);
  GUID guid{};
  char name[32] = {};  // MAX_CLASS_NAME_LEN
  DWORD required = 0;
  ASSERT_TRUE(ops.SetupDiGetINFClassA(Fn("SetupDiGetINFClassA"), InScratch("rundavek.inf").c_str(), &guid, name, sizeof name, &required));
  EXPECT_STREQ("REALTIME", name);
  EXPECT_EQ(9u, required);
  EXPECT_EQ(0, std::memcmp(&kRealtimeClass, &guid, sizeof guid));

  // A class name buffer without room for the terminator is too small; Wine
  // cuts the name and reports success.
  ops.SetLastError(kSentinelError);
  required = 0;
  const BOOL fitted =
      ops.SetupDiGetINFClassA(Fn("SetupDiGetINFClassA"), InScratch("rundavek.inf").c_str(), &guid, name, 8, &required);
  EXPECT_EQ(TODO_WINE(FALSE, TRUE), fitted);
  if (!fitted) {
    EXPECT_EQ(DWORD{ERROR_INSUFFICIENT_BUFFER}, ops.GetLastError());
    EXPECT_EQ(9u, required);
  }

  ops.SetLastError(kSentinelError);
  EXPECT_FALSE(ops.SetupDiGetINFClassA(Fn("SetupDiGetINFClassA"), InScratch("missing.inf").c_str(), &guid, name, sizeof name, nullptr));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, ops.GetLastError());
}

TEST_F(Devices, ARegisteredRootDeviceIsPresentUntilRemoved) {
  ASSERT_FALSE(PresentDeviceCarries(kHardwareId));
  HDEVINFO set = ops.SetupDiCreateDeviceInfoList(Fn("SetupDiCreateDeviceInfoList"), &kRealtimeClass, nullptr);
  ASSERT_NE(static_cast<HDEVINFO>(INVALID_HANDLE_VALUE), set);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  ASSERT_TRUE(ops.SetupDiCreateDeviceInfoA(Fn("SetupDiCreateDeviceInfoA"), set, "REALTIME", &kRealtimeClass, nullptr, nullptr,
                                           DICD_GENERATE_ID, &device));
  const std::string ids = std::string(kHardwareId) + '\0' + '\0';
  ASSERT_TRUE(ops.SetupDiSetDeviceRegistryPropertyA(Fn("SetupDiSetDeviceRegistryPropertyA"), set, &device, SPDRP_HARDWAREID,
                                                    reinterpret_cast<const BYTE*>(ids.data()),
                                                    static_cast<DWORD>(ids.size())));
  // Not registered yet: the device is only an element of the set. Wine
  // already lists it among the present devices.
  EXPECT_EQ(TODO_WINE(false, true), PresentDeviceCarries(kHardwareId));

  ASSERT_TRUE(ops.SetupDiCallClassInstaller(Fn("SetupDiCallClassInstaller"), DIF_REGISTERDEVICE, set, &device));
  EXPECT_TRUE(PresentDeviceCarries(kHardwareId));

  ASSERT_TRUE(ops.SetupDiCallClassInstaller(Fn("SetupDiCallClassInstaller"), DIF_REMOVE, set, &device));
  EXPECT_FALSE(PresentDeviceCarries(kHardwareId));
  EXPECT_TRUE(ops.SetupDiDestroyDeviceInfoList(Fn("SetupDiDestroyDeviceInfoList"), set));
}

}  // namespace
}  // namespace korvanta::contract
