// System preparation: the 9x disk cache in System.ini and the user's engine
// settings key, alone and as the first stages of the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/system_preparation.h"
#include "install/run.h"
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
                "WritePrivateProfileStringA(\"VCache\", \"MaxFileCache\", \"20480\", \"System.ini\")"}));
  // Windows keeps the section's own spelling and appends a new key at its end.
  EXPECT_EQ(machine.ReadFile(SystemIniPath),
            "[boot]\r\nshell=Explorer.exe\r\n"
            "[vcache]\r\nMaxFileCache=20480\r\nchunksize=512\r\nMinFileCache=20480\r\n"
            "[386Enh]\r\ndevice=*vpicd\r\n");
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST(TuneDiskCacheTest, NineXAddsAMissingSection) {
  SimMachine machine;
  MakeNineX(machine);
  machine.AddFile(SystemIniPath, "[boot]\r\nshell=Explorer.exe\r\n");
  TuneDiskCache(Platform{machine, VER_PLATFORM_WIN32_WINDOWS});
  EXPECT_EQ(machine.ReadFile(SystemIniPath),
            "[boot]\r\nshell=Explorer.exe\r\n"
            "[VCache]\r\nMinFileCache=20480\r\nMaxFileCache=20480\r\n");
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

// The failed write ends the whole run: the error box, exit code 1, and no
// later stage (the USB support files lie ready beside the installer).
TEST(TuneDiskCacheTest, FailedWriteEndsTheRunBeforeAnyComponent) {
  SimMachine machine;
  MakeNineX(machine);
  machine.AddFile("C:\\setup\\MAYA51USB.INF", "inf");
  machine.AddFile("C:\\setup\\FTD2XX.DLL", "dll");
  machine.AddRegistryKey(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\Audio");
  machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_SHARING_VIOLATION, "MinFileCache"});

  EXPECT_EQ(InstallerMain(machine), 1);
  ASSERT_EQ(machine.MessageBoxes().size(), 1u);
  const sim::MessageBoxRecord& box = machine.MessageBoxes()[0];
  EXPECT_EQ(box.caption, "Application Error");
  EXPECT_EQ(box.type, UINT{0x2010});
  const std::string firstLinePrefix = "Exception Exception in module korvanta-sysinstall.exe at ";
  EXPECT_EQ(box.text.rfind(firstLinePrefix, 0), 0u) << box.text;
  const size_t lineBreak = box.text.find('\n');
  ASSERT_NE(lineBreak, std::string::npos);
  EXPECT_EQ(lineBreak, firstLinePrefix.size() + 9);  // 8 hex digits and "."
  EXPECT_EQ(box.text.substr(lineBreak + 1), "Unable to write to System.ini.");

  EXPECT_TRUE(machine.CallsTo("CopyFileA").empty());
  EXPECT_TRUE(machine.CallsTo("RegDeleteKeyA").empty());
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\INF\\MAYA51USB.INF"));
  EXPECT_TRUE(machine.RegistryKeyExists(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\Audio"));
}

class ResetEngineSettingsTest : public ::testing::TestWithParam<DWORD> {};

TEST_P(ResetEngineSettingsTest, DeletesTheUsersEngineKeyWithEverythingBelowIt) {
  SimMachine machine;
  machine.SetPlatform(GetParam(), GetParam() == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5);
  for (const char* path : {"Software\\Korvanta\\Engine\\Audio\\Buffers",
                           "Software\\Korvanta\\Engine\\Audio\\Devices\\Out",
                           "Software\\Korvanta\\Engine\\Midi", "Software\\Korvanta\\Engine\\Paths",
                           "Software\\Korvanta\\Editor"}) {
    machine.AddRegistryKey(HKEY_CURRENT_USER, path);
  }
  machine.SetRegistryValue(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine\\Midi", "Port",
                           RegistryValue{REG_DWORD, std::string("\1\0\0\0", 4)});
  machine.SetRegistryValue(HKEY_CURRENT_USER, "Software\\Korvanta", "Serial",
                           RegistryValue{REG_SZ, std::string("K-1\0", 4)});
  // The machine-wide key of the same path belongs to the engine installer.
  machine.AddRegistryKey(HKEY_LOCAL_MACHINE, "Software\\Korvanta\\Engine\\Audio");

  ResetEngineSettings(Platform{machine, GetParam()});

  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine"));
  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, "Software\\Korvanta"),
            std::vector<std::string>{"Editor"});
  EXPECT_EQ(machine.GetRegistryValue(HKEY_CURRENT_USER, "Software\\Korvanta", "Serial"),
            (RegistryValue{REG_SZ, std::string("K-1\0", 4)}));
  EXPECT_TRUE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, "Software\\Korvanta\\Engine\\Audio"));
  EXPECT_TRUE(machine.MessageBoxes().empty());
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

TEST_P(ResetEngineSettingsTest, NoEngineKeyChangesNothingAndShowsNothing) {
  SimMachine machine;
  machine.SetPlatform(GetParam(), GetParam() == VER_PLATFORM_WIN32_WINDOWS ? 4 : 5);
  machine.AddRegistryKey(HKEY_CURRENT_USER, "Software\\Korvanta\\Editor");
  ResetEngineSettings(Platform{machine, GetParam()});
  EXPECT_TRUE(machine.RegistryKeyExists(HKEY_CURRENT_USER, "Software\\Korvanta\\Editor"));
  EXPECT_EQ(machine.RegistrySubKeys(HKEY_CURRENT_USER, "Software\\Korvanta"),
            std::vector<std::string>{"Editor"});
  EXPECT_TRUE(machine.CallsTo("RegCreateKeyExA").empty());
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, ResetEngineSettingsTest,
                         ::testing::Values(DWORD{VER_PLATFORM_WIN32_WINDOWS}, DWORD{VER_PLATFORM_WIN32_NT}),
                         [](const auto& info) { return info.param == 1 ? "NineX" : "NT"; });

}  // namespace
}  // namespace korvanta
