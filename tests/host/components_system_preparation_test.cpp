// System preparation: the 9x disk cache in System.ini and the user's engine
// settings key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/system_preparation.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/error.h"
#include "toolkit/platform.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::RegistryValue;
using sim::SimMachine;

constexpr char SystemIniPath[] = "C:\\WINDOWS\\SYSTEM.INI";

void MakeNineX(SimMachine& machine) {
  machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  machine.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
}

TEST(TuneDiskCacheTest, NineXWritesBothValuesInOrderAndKeepsTheOtherKeys) {
  SimMachine machine;
  MakeNineX(machine);
  machine.AddFile(SystemIniPath,
                  "[boot]\r\nshell=Explorer.exe\r\n"
                  "[vcache]\r\nMaxFileCache=4096\r\nchunksize=512\r\n"
                  "[386Enh]\r\ndevice=*vpicd\r\n");
  TuneDiskCache(Platform{machine, VER_PLATFORM_WIN32_WINDOWS});

  EXPECT_EQ(machine.CallsTo("WritePrivateProfileStringA"),
            (std::vector<std::string>{
                "WritePrivateProfileStringA(\"VCache\", \"MinFileCache\", \"20480\", \"System.ini\")",
                "WritePrivateProfileStringA(NULL, NULL, NULL, \"System.ini\")",
                "WritePrivateProfileStringA(\"VCache\", \"MaxFileCache\", \"20480\", \"System.ini\")",
                "WritePrivateProfileStringA(NULL, NULL, NULL, \"System.ini\")"}));
  // Windows keeps the section's own spelling and appends a new key at its end.
  EXPECT_EQ(machine.ReadFile(SystemIniPath),
            "[boot]\r\nshell=Explorer.exe\r\n"
            "[vcache]\r\nMaxFileCache=20480\r\nchunksize=512\r\nMinFileCache=20480\r\n"
            "[386Enh]\r\ndevice=*vpicd\r\n");
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST(TuneDiskCacheTest, NtDoesNotTouchAnyProfileFile) {
  SimMachine machine;
  const std::string content = "[vcache]\r\nMaxFileCache=4096\r\n";
  machine.AddFile(SystemIniPath, content);
  machine.ClearCalls();
  TuneDiskCache(Platform{machine, VER_PLATFORM_WIN32_NT});
  EXPECT_TRUE(machine.Calls().empty());
  EXPECT_EQ(machine.ReadFile(SystemIniPath), content);
}

TEST(TuneDiskCacheTest, FirstFailedWriteRaisesAndTheSecondIsNotMade) {
  SimMachine machine;
  MakeNineX(machine);
  machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_SHARING_VIOLATION, ""});
  try {
    TuneDiskCache(Platform{machine, VER_PLATFORM_WIN32_WINDOWS});
    ADD_FAILURE() << "no error raised";
  } catch (const InstallerException& error) {
    EXPECT_EQ(error.TypeName(), "Exception");
    EXPECT_EQ(error.Message(), "Unable to write to System.ini");
  }
  EXPECT_EQ(machine.CallsTo("WritePrivateProfileStringA").size(), 1u);
}

// Only the user's key goes, with its whole tree; its neighbours and the
// machine-wide key of the same path stay.
TEST(ResetEngineSettingsTest, DeletesTheUsersEngineKeyWithEverythingBelowIt) {
  SimMachine machine;
  for (const char* path : {"Software\\Korvanta\\Engine\\Audio\\Devices\\Out",
                           "Software\\Korvanta\\Engine\\Midi", "Software\\Korvanta\\Editor"}) {
    machine.AddRegistryKey(HKEY_CURRENT_USER, path);
  }
  machine.SetRegistryValue(HKEY_CURRENT_USER, "Software\\Korvanta", "Serial",
                           RegistryValue{REG_SZ, std::string("K-1\0", 4)});
  machine.AddRegistryKey(HKEY_LOCAL_MACHINE, "Software\\Korvanta\\Engine\\Audio");

  ResetEngineSettings(Platform{machine, VER_PLATFORM_WIN32_NT});

  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, "Software\\Korvanta"),
            std::vector<std::string>{"Editor"});
  EXPECT_EQ(machine.GetRegistryValue(HKEY_CURRENT_USER, "Software\\Korvanta", "Serial"),
            (RegistryValue{REG_SZ, std::string("K-1\0", 4)}));
  EXPECT_TRUE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, "Software\\Korvanta\\Engine\\Audio"));
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

}  // namespace
}  // namespace korvanta
