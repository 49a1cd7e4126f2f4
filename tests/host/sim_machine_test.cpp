// The simulated machine's own mechanics, which the platform contract tests
// cannot show: the fault plan, the call log, handle and memory accounting, and
// the libraries left out per Windows family or by a test.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include "platform/sim/sim_machine.h"

namespace korvanta::sim {
namespace {

TEST(SimFaults, TheChosenCallFailsWithTheChosenErrorAndNoEffect) {
  SimMachine machine;
  machine.AddFile("C:\\src\\A.DLL", "new");
  machine.AddFile("C:\\src\\B.DLL", "new");
  machine.AddFile("C:\\WINDOWS\\A.DLL", "old");
  machine.AddFile("C:\\WINDOWS\\B.DLL", "old");
  // The second copy whose arguments mention B.DLL.
  machine.AddFault({"CopyFileA", ERROR_SHARING_VIOLATION, "B.DLL", 2});

  EXPECT_TRUE(machine.CopyFileA("C:\\src\\A.DLL", "C:\\WINDOWS\\A.DLL", FALSE));
  EXPECT_TRUE(machine.CopyFileA("C:\\src\\B.DLL", "C:\\WINDOWS\\B.DLL", FALSE));
  machine.AddFile("C:\\WINDOWS\\B.DLL", "old");
  EXPECT_FALSE(machine.CopyFileA("C:\\src\\B.DLL", "C:\\WINDOWS\\B.DLL", FALSE));
  EXPECT_EQ(DWORD{ERROR_SHARING_VIOLATION}, machine.GetLastError());
  EXPECT_EQ("old", machine.ReadFile("C:\\WINDOWS\\B.DLL"));
  // A fault is used up once it struck.
  EXPECT_TRUE(machine.CopyFileA("C:\\src\\B.DLL", "C:\\WINDOWS\\B.DLL", FALSE));
}

TEST(SimFaults, RegistryCallsReturnTheErrorAndLeaveTheLastErrorAlone) {
  SimMachine machine;
  machine.AddFault({"RegCreateKeyExA", ERROR_ACCESS_DENIED, "Engine"});
  machine.SetLastError(77);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            machine.RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Korvanta\\Engine", 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(77u, machine.GetLastError());
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_CURRENT_USER, "Software\\Korvanta"));
  EXPECT_EQ(0, machine.OpenHandleCount());
}

TEST(SimCallLog, OneLineACallInTheDocumentedForm) {
  SimMachine machine;
  machine.AddFile("C:\\src\\A", "a");
  machine.ClearCalls();
  machine.WritePrivateProfileStringA(nullptr, nullptr, nullptr, "SYSTEM.INI");
  machine.CopyFileA("C:\\src\\A", "C:\\WINDOWS\\A", FALSE);
  machine.WritePrivateProfileSectionA("386Enh", "a=1\0;evice=x\0", "SYSTEM.INI");
  HKEY key = nullptr;
  machine.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr);
  machine.RegCloseKey(key);

  const std::vector<std::string> expected = {
      "WritePrivateProfileStringA(NULL, NULL, NULL, \"SYSTEM.INI\")",
      "CopyFileA(\"C:\\src\\A\", \"C:\\WINDOWS\\A\", 0)",
      "WritePrivateProfileSectionA(\"386Enh\", \"a=1\\0;evice=x\\0\", \"SYSTEM.INI\")",
      "RegCreateKeyExA(HKEY_LOCAL_MACHINE, \"SYSTEM\\X\", 0, NULL, 0, 983103, NULL, ptr, NULL)",
      "RegCloseKey(" + std::to_string(reinterpret_cast<uintptr_t>(key)) + ")",
  };
  EXPECT_EQ(expected, machine.Calls());
  EXPECT_EQ(std::vector<std::string>{expected[1]}, machine.CallsTo("CopyFileA"));
  machine.ClearCalls();
  EXPECT_TRUE(machine.Calls().empty());
}

TEST(SimAccounting, HandlesAndMemoryStayCountedUntilReleased) {
  SimMachine machine;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, machine.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
  auto* local = static_cast<unsigned char*>(machine.LocalAlloc(LPTR, 64));
  auto* heap = static_cast<unsigned char*>(machine.HeapAlloc(machine.GetProcessHeap(), 0, 64));
  ASSERT_TRUE(local && heap);
  // LPTR memory is zero-filled; heap memory asked for without
  // HEAP_ZERO_MEMORY is not.
  EXPECT_EQ(std::string(64, '\0'), std::string(reinterpret_cast<char*>(local), 64));
  EXPECT_NE(std::string(64, '\0'), std::string(reinterpret_cast<char*>(heap), 64));
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(machine.AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(4, machine.OpenHandleCount());
  EXPECT_EQ("1 registry keys, 1 heap blocks, 1 local memory blocks, 1 SIDs",
            machine.Resources().Describe());

  EXPECT_EQ(ERROR_SUCCESS, machine.RegCloseKey(key));
  EXPECT_EQ(nullptr, machine.LocalFree(local));
  EXPECT_TRUE(machine.HeapFree(machine.GetProcessHeap(), 0, heap));
  EXPECT_EQ(nullptr, machine.FreeSid(sid));
  EXPECT_EQ(0, machine.OpenHandleCount());

  // Releasing twice, or with the wrong function, is refused.
  EXPECT_EQ(ERROR_INVALID_HANDLE, machine.RegCloseKey(key));
  void* block = machine.LocalAlloc(LPTR, 8);
  EXPECT_FALSE(machine.HeapFree(machine.GetProcessHeap(), 0, block));
  EXPECT_EQ(1, machine.OpenHandleCount());
  EXPECT_EQ(nullptr, machine.LocalFree(block));
}

// The places a run can change: profile files entry by entry (a repeated key
// numbered, a comment line by its text), values with type and bytes, renames.
TEST(SimInspection, PlacesNameEveryChangeableThing) {
  SimMachine machine;
  machine.AddFile("C:\\WINDOWS\\SYSTEM.INI", "[386Enh]\r\ndevice=a.vxd\r\n;evice=b.vxd\r\nDevice = c.vxd\r\n");
  machine.AddFile("C:\\App\\A.DLL", "bytes", FILE_ATTRIBUTE_READONLY);
  machine.SetRegistryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", "V", {REG_DWORD, std::string("\1\0\0\0", 4)});
  ASSERT_TRUE(machine.MoveFileExA("C:\\App\\A.DLL", "C:\\App\\B.DLL", 5));
  const std::map<std::string, std::string> places = machine.Places();
  const std::pair<std::string, std::string> expected[] = {
      {"profile C:\\WINDOWS\\SYSTEM.INI [386ENH] DEVICE #0", "a.vxd"},
      {"profile C:\\WINDOWS\\SYSTEM.INI [386ENH] DEVICE #1", "c.vxd"},
      {"profile C:\\WINDOWS\\SYSTEM.INI [386ENH] ;EVICE=B.VXD #0", ""},
      {"file C:\\App\\A.DLL", "bytes"},
      {"attributes C:\\App\\A.DLL", "0x1"},
      {"value HKLM\\SOFTWARE\\K : V", "4:01000000"},
      {"rename C:\\App\\A.DLL -> C:\\App\\B.DLL (replace)", "1"},
  };
  for (const auto& [place, content] : expected) {
    ASSERT_TRUE(places.count(place)) << place;
    EXPECT_EQ(content, places.at(place)) << place;
  }
  EXPECT_FALSE(places.count("file C:\\WINDOWS\\SYSTEM.INI"));
}

TEST(SimLibraries, WhatEachFamilyHasAndWhatATestLeavesOut) {
  const struct {
    DWORD platform;
    DWORD major;
    bool psapi;
    bool newDev;
    bool toolhelp;
  } families[] = {
      {VER_PLATFORM_WIN32_WINDOWS, 4, false, false, true},  // Windows 98
      {VER_PLATFORM_WIN32_NT, 4, true, false, false},       // NT 4
      {VER_PLATFORM_WIN32_NT, 5, true, true, true},         // 2000, XP
  };
  for (const auto& family : families) {
    SCOPED_TRACE(testing::Message() << family.platform << "." << family.major);
    SimMachine machine;
    machine.SetPlatform(family.platform, family.major);
    HMODULE psapi = machine.LoadLibraryExA("psapi", nullptr, 0);
    HMODULE newDev = machine.LoadLibraryExA("NEWDEV.DLL", nullptr, 0);
    HMODULE kernel = machine.LoadLibraryExA("Kernel32.DLL", nullptr, 0);
    EXPECT_EQ(family.psapi, psapi != nullptr);
    EXPECT_EQ(family.newDev, newDev != nullptr);
    ASSERT_NE(nullptr, kernel);
    EXPECT_EQ(family.toolhelp, machine.GetProcAddress(kernel, "CreateToolhelp32Snapshot") != nullptr);
    EXPECT_EQ(1 + int{family.psapi} + int{family.newDev}, machine.LoadedLibraryCount());
  }

  SimMachine machine;
  machine.RemoveLibrary("NewDev.dll");
  machine.RemoveExport("advapi32.dll", "SetNamedSecurityInfoA");
  EXPECT_EQ(nullptr, machine.LoadLibraryExA("newdev.dll", nullptr, 0));
  EXPECT_EQ(DWORD{ERROR_MOD_NOT_FOUND}, machine.GetLastError());
  HMODULE advapi = machine.LoadLibraryExA("advapi32.dll", nullptr, 0);
  ASSERT_NE(nullptr, advapi);
  EXPECT_EQ(nullptr, machine.GetProcAddress(advapi, "SetNamedSecurityInfoA"));
  EXPECT_EQ(DWORD{ERROR_PROC_NOT_FOUND}, machine.GetLastError());
}

// A looked-up operation called through anything but the address its export
// was given under is a fault of the caller; it would crash on Windows.
TEST(SimLibraries, LookedUpOperationsCheckTheirAddress) {
  SimMachine machine;
  HMODULE psapi = machine.LoadLibraryExA("PSAPI.DLL", nullptr, 0);
  FARPROC enumProcesses = machine.GetProcAddress(psapi, "EnumProcesses");
  FARPROC enumModules = machine.GetProcAddress(psapi, "EnumProcessModules");
  DWORD ids[8];
  DWORD bytes = 0;
  EXPECT_TRUE(machine.EnumProcesses(enumProcesses, ids, sizeof ids, &bytes));
  EXPECT_THROW(machine.EnumProcesses(enumModules, ids, sizeof ids, &bytes), std::logic_error);

  // A null address fails as a missing export does, like the real operations.
  EXPECT_FALSE(machine.EnumProcesses(nullptr, ids, sizeof ids, &bytes));
  EXPECT_EQ(DWORD{ERROR_PROC_NOT_FOUND}, machine.GetLastError());

  machine.FreeLibrary(psapi);
  EXPECT_THROW(machine.EnumProcesses(enumProcesses, ids, sizeof ids, &bytes), std::logic_error);
}

TEST(SimProcesses, TheListHoldsTheInstallerAndWhatATestAdds) {
  SimMachine machine;
  const DWORD tav = machine.AddProcess("TAV.EXE", "C:\\Korvanta\\TAV.EXE", false);
  machine.AddProcesses(254);
  HMODULE psapi = machine.LoadLibraryExA("PSAPI.DLL", nullptr, 0);
  FARPROC enumProcesses = machine.GetProcAddress(psapi, "EnumProcesses");
  std::vector<DWORD> ids(256);
  DWORD bytes = 0;
  // The installer, TAV.EXE and 254 others fill 1024 bytes exactly.
  ASSERT_TRUE(machine.EnumProcesses(enumProcesses, ids.data(), 1024, &bytes));
  EXPECT_EQ(1024u, bytes);
  EXPECT_EQ(tav, ids[1]);
  EXPECT_EQ(nullptr, machine.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, tav));
  EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED}, machine.GetLastError());
  EXPECT_NE(nullptr, machine.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[0]));
}

TEST(SimSecurity, AnAppliedListIsKeptUnderTheObjectNameAsGiven) {
  SimMachine machine;
  HMODULE advapi = machine.LoadLibraryExA("advapi32.dll", nullptr, 0);
  FARPROC set = machine.GetProcAddress(advapi, "SetNamedSecurityInfoA");
  // An empty list: revision 2, 8 bytes, no entry.
  ACL acl{};
  ASSERT_TRUE(machine.InitializeAcl(&acl, sizeof acl, ACL_REVISION));
  const char* name = "MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\";
  ASSERT_EQ(DWORD{ERROR_SUCCESS}, machine.SetNamedSecurityInfoA(set, name, SE_REGISTRY_KEY,
                                                                DACL_SECURITY_INFORMATION, nullptr,
                                                                nullptr, &acl, nullptr));
  EXPECT_EQ(std::string("\2\0\10\0\0\0\0\0", 8), machine.AppliedDacl(name));
  EXPECT_EQ("", machine.AppliedDacl("MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root"));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, machine.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root",
                                                       0, KEY_READ, &key));
}

TEST(SimMessages, BoxesAreRecordedInOrderAndAnsweredWithOk) {
  SimMachine machine;
  EXPECT_EQ(IDOK, machine.MessageBoxA(nullptr, "first", "Korvanta Installation", MB_OK));
  EXPECT_EQ(IDOK, machine.MessageBoxA(reinterpret_cast<HWND>(1), "second", "Application Error", 0x2010));
  ASSERT_EQ(2u, machine.MessageBoxes().size());
  EXPECT_EQ("first", machine.MessageBoxes()[0].text);
  EXPECT_FALSE(machine.MessageBoxes()[0].hadOwner);
  EXPECT_EQ("Application Error", machine.MessageBoxes()[1].caption);
  EXPECT_EQ(0x2010u, machine.MessageBoxes()[1].type);
  EXPECT_TRUE(machine.MessageBoxes()[1].hadOwner);
  try {
    machine.ExitProcess(1);
    FAIL() << "ExitProcess returned";
  } catch (const SimulatedExit& exit) {
    EXPECT_EQ(1u, exit.exitCode);
  }
}

}  // namespace
}  // namespace korvanta::sim
