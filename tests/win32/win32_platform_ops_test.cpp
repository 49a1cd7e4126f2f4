// Win32PlatformOps against the real system (run under Wine inside
// contract_tests.exe). The contract tests cover what every operation does;
// these cover what only the real implementation can get wrong: the
// looked-up functions called through their own types with the arguments in
// their places, and an address of null.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/win32_platform_ops.h"

namespace korvanta {
namespace {

constexpr DWORD kSentinelError = 0xC0DE;

class Win32PlatformOpsTest : public ::testing::Test {
 protected:
  std::string OwnPath() {
    char path[MAX_PATH + 1] = {};
    EXPECT_NE(0u, ops.GetModuleFileNameA(nullptr, path, sizeof path));
    return path;
  }

  Win32PlatformOps ops;
};

// A caller that skipped its own null check gets the failure a missing export
// would give, not a jump to address zero.
TEST_F(Win32PlatformOpsTest, NullAddressFailsWithProcNotFound) {
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD ids[4] = {};
  DWORD bytes = 0;
  HMODULE module = nullptr;
  char buffer[16] = {};
  BOOL reboot = FALSE;
  const struct {
    const char* operation;
    std::function<bool()> failed;
  } cases[] = {
      {"CreateToolhelp32Snapshot",
       [&] { return ops.CreateToolhelp32Snapshot(nullptr, TH32CS_SNAPPROCESS, 0) ==
                    INVALID_HANDLE_VALUE; }},
      {"Process32First", [&] { return !ops.Process32First(nullptr, nullptr, &entry); }},
      {"Process32Next", [&] { return !ops.Process32Next(nullptr, nullptr, &entry); }},
      {"EnumProcesses", [&] { return !ops.EnumProcesses(nullptr, ids, sizeof ids, &bytes); }},
      {"EnumProcessModules",
       [&] { return !ops.EnumProcessModules(nullptr, nullptr, &module, sizeof module, &bytes); }},
      {"GetModuleFileNameExA",
       [&] { return ops.GetModuleFileNameExA(nullptr, nullptr, nullptr, buffer, sizeof buffer) ==
                    0; }},
      {"SetNamedSecurityInfoA",
       [&] { return ops.SetNamedSecurityInfoA(nullptr, "MACHINE\\SOFTWARE", SE_REGISTRY_KEY,
                                              DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                              nullptr, nullptr) == ERROR_PROC_NOT_FOUND; }},
      {"UpdateDriverForPlugAndPlayDevicesA",
       [&] { return !ops.UpdateDriverForPlugAndPlayDevicesA(nullptr, nullptr, "ROOT\\X",
                                                           "C:\\x.inf", 0, &reboot); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    ops.SetLastError(kSentinelError);
    EXPECT_TRUE(c.failed());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), ops.GetLastError());
  }
}

// Toolhelp reports the bare file name of each process.
TEST_F(Win32PlatformOpsTest, ToolhelpListsThisProcess) {
  HMODULE kernel = ops.LoadLibraryExA("kernel32.dll", nullptr, 0);
  ASSERT_NE(nullptr, kernel);
  FARPROC create = ops.GetProcAddress(kernel, "CreateToolhelp32Snapshot");
  FARPROC first = ops.GetProcAddress(kernel, "Process32First");
  FARPROC next = ops.GetProcAddress(kernel, "Process32Next");
  ASSERT_TRUE(create && first && next);

  HANDLE snapshot = ops.CreateToolhelp32Snapshot(create, TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int processes = 0;
  std::string found;
  for (BOOL more = ops.Process32First(first, snapshot, &entry); more;
       more = ops.Process32Next(next, snapshot, &entry)) {
    ++processes;
    if (entry.th32ProcessID == ::GetCurrentProcessId()) found = entry.szExeFile;
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), ops.GetLastError());
  EXPECT_GT(processes, 1);
  const std::string own = OwnPath();
  EXPECT_STRCASEEQ(own.substr(own.find_last_of('\\') + 1).c_str(), found.c_str());
  EXPECT_TRUE(ops.CloseHandle(snapshot));
  EXPECT_TRUE(ops.FreeLibrary(kernel));
}

// PSAPI reports the full path of each process's first module.
TEST_F(Win32PlatformOpsTest, PsapiListsThisProcessWithItsFullPath) {
  HMODULE psapi = ops.LoadLibraryExA("PSAPI.DLL", nullptr, 0);
  ASSERT_NE(nullptr, psapi);
  FARPROC enumProcesses = ops.GetProcAddress(psapi, "EnumProcesses");
  FARPROC enumModules = ops.GetProcAddress(psapi, "EnumProcessModules");
  FARPROC moduleFileName = ops.GetProcAddress(psapi, "GetModuleFileNameExA");
  ASSERT_TRUE(enumProcesses && enumModules && moduleFileName);

  std::vector<DWORD> ids(1024);
  DWORD bytes = 0;
  ASSERT_TRUE(ops.EnumProcesses(enumProcesses, ids.data(),
                                static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes));
  ASSERT_EQ(0u, bytes % sizeof(DWORD));
  ids.resize(bytes / sizeof(DWORD));
  EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), ::GetCurrentProcessId()));

  HANDLE process = ops.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                   ::GetCurrentProcessId());
  ASSERT_NE(nullptr, process);
  HMODULE module = nullptr;
  DWORD needed = 0;
  ASSERT_TRUE(ops.EnumProcessModules(enumModules, process, &module, sizeof module, &needed));
  EXPECT_GE(needed, sizeof module);
  char path[MAX_PATH + 1] = {};
  const DWORD length = ops.GetModuleFileNameExA(moduleFileName, process, module, path, sizeof path);
  EXPECT_EQ(std::strlen(path), length);
  EXPECT_STRCASEEQ(OwnPath().c_str(), path);
  EXPECT_TRUE(ops.CloseHandle(process));
  EXPECT_TRUE(ops.FreeLibrary(psapi));
}

}  // namespace
}  // namespace korvanta
