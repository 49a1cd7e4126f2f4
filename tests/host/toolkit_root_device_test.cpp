// Installing the root-enumerated device: which present device counts as
// carrying the id, when a node is created, updated or removed, and the code
// each failure leaves as the last error.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimDevice;
using sim::SimMachine;

const GUID MediaClass = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr char Inf[] = "C:\\setup\\rundavek.inf";
constexpr char Id[] = "*korvanta\\rundavek";

size_t Removals(const SimMachine& machine) {
  size_t count = 0;
  for (const std::string& call : machine.CallsTo("SetupDiCallClassInstaller")) {
    count += call.find(", 5, ") != std::string::npos;  // after the looked-up address: DIF_REMOVE
  }
  return count;
}

std::string MultiSz(std::initializer_list<const char*> ids) {
  std::string bytes;
  for (const char* id : ids) bytes += std::string(id) + '\0';
  return bytes + '\0';
}

class RootDeviceTest : public ::testing::Test {
 protected:
  RootDeviceTest() {
    machine.AddFile(Inf, "[Version]\r\nClass=REALTIME\r\nClassGUID={3E36E96C-E325-12CE-BFC1-07002BE10326}\r\n");
    newDev.Load();
  }
  ~RootDeviceTest() override {
    newDev.Unload();
    EXPECT_EQ(0, machine.OpenHandleCount());  // sets and property buffers all released
  }

  void AddDevice(const char* instanceId, const std::string& ids, bool hasIds = true) {
    machine.AddDevice({instanceId, MediaClass, true, hasIds, ids, "", 0});
  }
  const SimDevice* Device(const std::string& instanceId) const {
    for (const SimDevice& device : machine.Devices()) {
      if (device.instanceId == instanceId) return &device;
    }
    return nullptr;
  }
  bool Install() { return InstallRootDevice(platform, Inf, Id); }

  SimMachine machine;
  NewDevLoader newDev{machine};
  SetupApi setupApi{machine};
  Platform platform{machine, VER_PLATFORM_WIN32_NT, &newDev, &setupApi};
};

TEST_F(RootDeviceTest, ADeviceCarryingTheIdAnywhereInItsListOnlyGetsItsDriverUpdated) {
  // Devices without a hardware-id list come first and do not end the search.
  AddDevice("ROOT\\LEGACY_BEEP\\0000", "", false);
  AddDevice("ROOT\\LEGACY_NULL\\0000", "", false);
  AddDevice("PCI\\VEN_1102&DEV_0002\\3&61AAA01&0&48", MultiSz({"PCI\\VEN_1102&DEV_0002", Id}));

  EXPECT_TRUE(FindDeviceByHardwareId(platform, Id));
  EXPECT_EQ(DWORD{NO_ERROR}, machine.GetLastError());
  EXPECT_TRUE(Install());
  EXPECT_EQ(3u, machine.Devices().size());  // no new node
  EXPECT_EQ(1, Device("PCI\\VEN_1102&DEV_0002\\3&61AAA01&0&48")->driverUpdates);
  EXPECT_TRUE(machine.CallsTo("SetupDiCreateDeviceInfoA").empty());
  EXPECT_EQ(std::vector<std::string>{"UpdateDriverForPlugAndPlayDevicesA(" +
                                     std::to_string(reinterpret_cast<uintptr_t>(newDev.UpdateEntryPoint())) +
                                     ", NULL, \"*korvanta\\rundavek\", \"C:\\setup\\rundavek.inf\", 1, ptr)"},
            machine.CallsTo("UpdateDriverForPlugAndPlayDevicesA"));
}

// Windows compares hardware ids without regard to case: the node an earlier
// install made with the id in capitals is this device, and no second one is
// made.
TEST_F(RootDeviceTest, AnIdInAnotherLetterCaseIsTheSameDevice) {
  AddDevice("ROOT\\MEDIA\\0000", MultiSz({"*KORVANTA\\RUNDAVEK"}));

  EXPECT_TRUE(FindDeviceByHardwareId(platform, Id));
  EXPECT_TRUE(Install());
  EXPECT_EQ(1u, machine.Devices().size());
  EXPECT_EQ(1, Device("ROOT\\MEDIA\\0000")->driverUpdates);
  EXPECT_TRUE(machine.CallsTo("SetupDiCreateDeviceInfoA").empty());
}

TEST_F(RootDeviceTest, ASecondInstallationFindsTheNodeTheFirstCreated) {
  ASSERT_TRUE(Install());
  ASSERT_TRUE(Install());
  ASSERT_EQ(1u, machine.Devices().size());
  EXPECT_EQ("ROOT\\REALTIME\\0000", machine.Devices()[0].instanceId);
  EXPECT_EQ(2, machine.Devices()[0].driverUpdates);
  EXPECT_EQ(1u, machine.CallsTo("SetupDiCreateDeviceInfoA").size());
}

// The list is read twice: once for its size, then into a zero-filled buffer of
// twice that size, which the read is told about.
TEST_F(RootDeviceTest, ThePropertyBufferIsTwiceTheReportedSize) {
  AddDevice("ROOT\\MEDIA\\0000", MultiSz({"OTHER\\ID", Id}));  // 9 + 19 + 1 bytes
  ASSERT_TRUE(FindDeviceByHardwareId(platform, Id));
  const auto reads = machine.CallsTo("SetupDiGetDeviceRegistryPropertyA");
  ASSERT_EQ(2u, reads.size());
  EXPECT_NE(std::string::npos, reads[0].find(", 1, NULL, NULL, 0, ptr)"));
  EXPECT_NE(std::string::npos, reads[1].find(", 1, NULL, ptr, 58, ptr)"));
  EXPECT_EQ(std::vector<std::string>{"LocalAlloc(64, 58)"}, machine.CallsTo("LocalAlloc"));
}

TEST(HardwareIdListTest, EntriesCountOnlyWithinTheReportedDataAndUpToTheFirstEmptyOne) {
  // "OTHER", then the id, in a buffer twice the size of the data.
  std::string buffer("OTHER\0*korvanta\\rundavek\0\0", 26);
  buffer.resize(52, '\0');
  const auto holds = [&](DWORD bufferSize, DWORD dataSize, const std::string& id) {
    return HardwareIdListHolds(reinterpret_cast<const BYTE*>(buffer.data()), bufferSize, dataSize, id);
  };
  EXPECT_TRUE(holds(52, 26, Id));
  EXPECT_TRUE(holds(52, 7, Id));    // the entry begins within the data
  EXPECT_FALSE(holds(52, 6, Id));   // it begins at the end of the data
  EXPECT_FALSE(holds(52, 26, "*korvanta\\rundave"));  // whole entries only
  EXPECT_FALSE(holds(52, 26, "*korvanta\\rundavek2"));
  EXPECT_FALSE(holds(52, 0, "OTHER"));
  EXPECT_FALSE(HardwareIdListHolds(nullptr, 0, 0, Id));

  // After an empty entry nothing counts.
  std::string gap("A\0\0*korvanta\\rundavek\0\0", 23);
  EXPECT_FALSE(HardwareIdListHolds(reinterpret_cast<const BYTE*>(gap.data()), 23, 23, Id));
  // An entry that runs to the end of the buffer is not read past it.
  std::string open("*korvanta\\rundavek", 18);
  EXPECT_FALSE(HardwareIdListHolds(reinterpret_cast<const BYTE*>(open.data()), 18, 18, Id));
}

TEST_F(RootDeviceTest, AFailedPropertyReadEndsTheSearchWithItsCodeAndCreatesNothing) {
  AddDevice("ROOT\\MEDIA\\0000", MultiSz({"OTHER"}));
  AddDevice("ROOT\\MEDIA\\0001", MultiSz({Id}));
  machine.AddFault(Fault{"SetupDiGetDeviceRegistryPropertyA", ERROR_NOT_ENOUGH_MEMORY, "", 1});
  EXPECT_FALSE(Install());
  EXPECT_EQ(DWORD{ERROR_NOT_ENOUGH_MEMORY}, machine.GetLastError());
  EXPECT_TRUE(machine.CallsTo("SetupDiGetINFClassA").empty());
  EXPECT_TRUE(machine.CallsTo("UpdateDriverForPlugAndPlayDevicesA").empty());

  machine.AddFault(Fault{"SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER, "", 1});
  EXPECT_FALSE(FindDeviceByHardwareId(platform, Id));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, machine.GetLastError());
  EXPECT_EQ(2u, machine.Devices().size());
}

// Each step of the registration failing in turn: the result is false with that
// step's code, and only a node that was registered is removed again.
TEST_F(RootDeviceTest, EachFailedRegistrationStepLeavesItsCodeAndNoNode) {
  const struct {
    const char* operation;
    const char* argument;
    DWORD error;
    bool removed;
  } steps[] = {
      {"SetupDiGetINFClassA", "", ERROR_FILE_NOT_FOUND, false},
      {"SetupDiCreateDeviceInfoList", "", ERROR_NOT_ENOUGH_MEMORY, false},
      {"SetupDiCreateDeviceInfoA", "", ERROR_DEVINST_ALREADY_EXISTS, false},
      {"SetupDiSetDeviceRegistryPropertyA", "", ERROR_INVALID_PARAMETER, false},
      {"SetupDiCallClassInstaller", "25, ", ERROR_ACCESS_DENIED, false},
      {"UpdateDriverForPlugAndPlayDevicesA", "", ERROR_FILE_NOT_FOUND, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.operation);
    machine.ClearCalls();
    machine.AddFault(Fault{step.operation, step.error, step.argument, 1});
    EXPECT_FALSE(RegisterRootDevice(platform, Id, Inf));
    EXPECT_EQ(step.error, machine.GetLastError());
    EXPECT_TRUE(machine.Devices().empty());
    EXPECT_EQ(step.removed ? 1u : 0u, Removals(machine));
  }
}

TEST_F(RootDeviceTest, AMissingInfCreatesNothingAndAnUpdateOfAPresentDeviceStillFails) {
  machine.RemoveFile(Inf);
  EXPECT_FALSE(Install());
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, machine.GetLastError());
  EXPECT_TRUE(machine.Devices().empty());

  AddDevice("ROOT\\REALTIME\\0000", MultiSz({Id}));
  EXPECT_FALSE(Install());
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, machine.GetLastError());
  EXPECT_EQ(1u, machine.Devices().size());
}

// Without NewDev.dll (or its export) no driver can be installed: a new node is
// removed again and the code is that of a missing export.
TEST(RootDeviceWithoutNewDevTest, TheUpdateFailsAsAMissingExportAndTheNodeIsRemoved) {
  for (const bool libraryMissing : {true, false}) {
    SimMachine machine;
    machine.AddFile(Inf, "[Version]\r\nClass=REALTIME\r\nClassGUID={3E36E96C-E325-12CE-BFC1-07002BE10326}\r\n");
    if (libraryMissing) {
      machine.RemoveLibrary("NewDev.dll");
    } else {
      machine.RemoveExport("NewDev.dll", "UpdateDriverForPlugAndPlayDevicesA");
    }
    NewDevLoader newDev(machine);
    newDev.Load();
    SetupApi setupApi(machine);
    EXPECT_FALSE(InstallRootDevice(Platform{machine, VER_PLATFORM_WIN32_NT, &newDev, &setupApi}, Inf, Id));
    EXPECT_EQ(DWORD{ERROR_PROC_NOT_FOUND}, machine.GetLastError());
    EXPECT_TRUE(machine.Devices().empty());
    EXPECT_EQ(1u, Removals(machine));
  }
}

// SetupAPI is looked up in the system folder when the device installation
// first needs it. Without the library, or with one of its functions missing,
// no SetupDi function is called and the installation fails with the code of
// a missing module or export; nothing is left open.
TEST(RootDeviceWithoutSetupApiTest, AMissingLibraryOrFunctionFailsEveryDeviceOperation) {
  const char* const functions[] = {
      "SetupDiGetClassDevsA",        "SetupDiEnumDeviceInfo",       "SetupDiGetDeviceRegistryPropertyA",
      "SetupDiDestroyDeviceInfoList", "SetupDiGetINFClassA",        "SetupDiCreateDeviceInfoList",
      "SetupDiCreateDeviceInfoA",    "SetupDiSetDeviceRegistryPropertyA", "SetupDiCallClassInstaller"};
  std::vector<const char*> cases(std::begin(functions), std::end(functions));
  cases.push_back(nullptr);  // the library itself
  for (const char* missing : cases) {
    const std::string why = missing ? missing : "setupapi.dll";
    SimMachine machine;
    machine.AddFile(Inf, "[Version]\r\nClass=REALTIME\r\nClassGUID={3E36E96C-E325-12CE-BFC1-07002BE10326}\r\n");
    if (missing) {
      machine.RemoveExport("setupapi.dll", missing);
    } else {
      machine.RemoveLibrary("setupapi.dll");
    }
    NewDevLoader newDev(machine);
    newDev.Load();
    {
      SetupApi setupApi(machine);
      const Platform platform{machine, VER_PLATFORM_WIN32_NT, &newDev, &setupApi};
      for (int attempt = 0; attempt < 2; ++attempt) {
        machine.SetLastError(0);
        EXPECT_FALSE(FindDeviceByHardwareId(platform, Id)) << why;
        EXPECT_EQ(DWORD{missing ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND}, machine.GetLastError()) << why;
        EXPECT_FALSE(InstallRootDevice(platform, Inf, Id)) << why;
        EXPECT_EQ(DWORD{missing ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND}, machine.GetLastError()) << why;
      }
      // Looked for in the system folder, once (after NewDev.dll).
      const std::vector<std::string> loads = machine.CallsTo("LoadLibraryExA");
      ASSERT_EQ(2u, loads.size()) << why;
      EXPECT_EQ("LoadLibraryExA(\"C:\\WINDOWS\\system32\\setupapi.dll\", NULL, 8)", loads[1]) << why;
    }
    for (const std::string& call : machine.Calls()) {
      EXPECT_NE(call.rfind("SetupDi", 0), 0u) << why << ": " << call;
    }
    EXPECT_TRUE(machine.Devices().empty()) << why;
    EXPECT_EQ(0, machine.OpenHandleCount()) << why;
    newDev.Unload();
    EXPECT_EQ(0, machine.LoadedLibraryCount()) << why;
  }
}

}  // namespace
}  // namespace korvanta
