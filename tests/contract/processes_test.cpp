// Libraries and exports found at run time, and the two views of the process
// list the running-product guard walks: Toolhelp and PSAPI.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

constexpr DWORD kErrorDllNotFound = 1157;

class Processes : public ::testing::Test {
 protected:
  PlatformOps& ops = Env().Ops();

  // Loads a library and looks up three of its exports; the test frees it.
  struct Lookup {
    HMODULE library = nullptr;
    FARPROC procs[3] = {};
  };
  Lookup LoadThree(const char* library, const char* first, const char* second, const char* third) {
    Lookup lookup;
    lookup.library = ops.LoadLibraryExA(library, nullptr, 0);
    EXPECT_NE(nullptr, lookup.library) << library;
    if (lookup.library == nullptr) return lookup;
    const char* names[3] = {first, second, third};
    for (int i = 0; i < 3; ++i) {
      lookup.procs[i] = ops.GetProcAddress(lookup.library, names[i]);
      EXPECT_NE(nullptr, lookup.procs[i]) << names[i];
    }
    return lookup;
  }

  std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return text;
  }
};

TEST_F(Processes, LibrariesAndExportsAreFoundByName) {
  HMODULE kernel = ops.LoadLibraryExA("Kernel32.DLL", nullptr, 0);
  ASSERT_NE(nullptr, kernel);
  EXPECT_EQ(kernel, ops.LoadLibraryExA("KERNEL32.dll", nullptr, 0));
  EXPECT_NE(nullptr, ops.GetProcAddress(kernel, "Process32Next"));

  // Export names are compared exactly.
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(nullptr, ops.GetProcAddress(kernel, "process32next"));
  EXPECT_EQ(DWORD{ERROR_PROC_NOT_FOUND}, ops.GetLastError());
  EXPECT_TRUE(ops.FreeLibrary(kernel));
  EXPECT_TRUE(ops.FreeLibrary(kernel));

  // The 9x family reports a missing library with its own code.
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(nullptr, ops.LoadLibraryExA("korvanta-missing.dll", nullptr, 0));
  EXPECT_EQ(Is9xFamily() ? kErrorDllNotFound : DWORD{ERROR_MOD_NOT_FOUND}, ops.GetLastError());
}

// Windows 98 has neither PSAPI.DLL nor NewDev.dll; Wine has both in its
// Windows 98 mode.
TEST_F(Processes, LibrariesOfTheNtFamily) {
  for (const char* name : {"PSAPI.DLL", "NewDev.dll"}) {
    SCOPED_TRACE(name);
    HMODULE library = ops.LoadLibraryExA(name, nullptr, 0);
    EXPECT_EQ(!Is9xFamily() || Env().IsWine(), library != nullptr);
    if (library != nullptr) {
      EXPECT_TRUE(ops.FreeLibrary(library));
    }
  }
  HMODULE advapi = ops.LoadLibraryExA("advapi32.dll", nullptr, 0);
  ASSERT_NE(nullptr, advapi);
  EXPECT_NE(nullptr, ops.GetProcAddress(advapi, "SetNamedSecurityInfoA"));
  EXPECT_TRUE(ops.FreeLibrary(advapi));
}

TEST_F(Processes, ToolhelpListsARunningProgram) {
  const DWORD id = Env().StartProcess("TAV.EXE");
  ASSERT_NE(0u, id);
  const Lookup kernel = LoadThree("Kernel32.DLL", "CreateToolhelp32Snapshot", "Process32First",
                                  "Process32Next");
  const auto [snapshotProc, firstProc, nextProc] = kernel.procs;
  ASSERT_TRUE(snapshotProc && firstProc && nextProc);

  HANDLE snapshot = ops.CreateToolhelp32Snapshot(snapshotProc, TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::string name;
  int count = 0;
  for (BOOL more = ops.Process32First(firstProc, snapshot, &entry); more;
       entry.dwSize = sizeof entry, more = ops.Process32Next(nextProc, snapshot, &entry)) {
    ++count;
    if (entry.th32ProcessID == id) name = entry.szExeFile;
  }
  EXPECT_EQ(DWORD{ERROR_NO_MORE_FILES}, ops.GetLastError());
  EXPECT_GE(count, 2);
  // Windows 98 names the process by its full path, NT by its file name; Wine
  // gives the file name in both families.
  EXPECT_EQ(Is9xFamily() ? TODO_WINE(Upper(InScratch("TAV.EXE")), std::string("TAV.EXE")) : "TAV.EXE",
            Upper(name));
  EXPECT_TRUE(ops.CloseHandle(snapshot));
  EXPECT_TRUE(ops.FreeLibrary(kernel.library));
}

TEST_F(Processes, PsapiListsARunningProgramWithItsPath) {
  if (Is9xFamily() && !Env().IsWine()) GTEST_SKIP() << "no PSAPI.DLL on the 9x family";
  const DWORD id = Env().StartProcess("TAV.EXE");
  ASSERT_NE(0u, id);
  const Lookup psapi = LoadThree("PSAPI.DLL", "EnumProcesses", "EnumProcessModules", "GetModuleFileNameExA");
  const auto [enumProcesses, enumModules, moduleName] = psapi.procs;
  ASSERT_TRUE(enumProcesses && enumModules && moduleName);

  std::vector<DWORD> ids(1024);
  DWORD bytes = 0;
  ASSERT_TRUE(ops.EnumProcesses(enumProcesses, ids.data(), 4096, &bytes));
  ASSERT_LT(bytes, 4096u);
  ids.resize(bytes / 4);
  EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), id));

  // A buffer too small is filled completely: the caller's sign to grow it.
  DWORD two[2] = {};
  ASSERT_TRUE(ops.EnumProcesses(enumProcesses, two, sizeof two, &bytes));
  EXPECT_EQ(sizeof two, bytes);

  HANDLE process = ops.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  ASSERT_NE(nullptr, process);
  HMODULE module = nullptr;
  DWORD needed = 0;
  ASSERT_TRUE(ops.EnumProcessModules(enumModules, process, &module, sizeof module, &needed));
  EXPECT_GE(needed, sizeof module);
  char path[MAX_PATH] = {};
  const DWORD length = ops.GetModuleFileNameExA(moduleName, process, module, path, sizeof path);
  EXPECT_EQ(std::string(path).size(), length);
  EXPECT_EQ(Upper(InScratch("TAV.EXE")), Upper(path));
  EXPECT_TRUE(ops.CloseHandle(process));

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(nullptr, ops.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 0));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, ops.GetLastError());
  EXPECT_TRUE(ops.FreeLibrary(psapi.library));
}

// The compatibility-mode check reads one variable: by its name in any letter
// case, its length when it fits, the size it needs (terminator included) when
// it does not, and ERROR_ENVVAR_NOT_FOUND when it is missing.
TEST_F(Processes, AnEnvironmentVariableIsReadByItsName) {
  Env().SetEnvironmentVariable("KORVANTA_CONTRACT_LAYER", "WIN98");
  char value[16] = {};
  EXPECT_EQ(5u, ops.GetEnvironmentVariableA("Korvanta_Contract_Layer", value, sizeof value));
  EXPECT_STREQ("WIN98", value);
  EXPECT_EQ(6u, ops.GetEnvironmentVariableA("KORVANTA_CONTRACT_LAYER", value, 3));
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(0u, ops.GetEnvironmentVariableA("KORVANTA_CONTRACT_NONE", value, sizeof value));
  EXPECT_EQ(DWORD{ERROR_ENVVAR_NOT_FOUND}, ops.GetLastError());
}

// The tests run on an interactive desktop: its window station is visible.
// Its flags need a whole USEROBJECTFLAGS (the error code of a smaller buffer
// is left open: the run never passes one). The 9x family has no window
// stations; Wine's user32 has them in every version it emulates.
TEST_F(Processes, TheWindowStationOfTheDesktopIsVisible) {
  const HMODULE user32 = ops.LoadLibraryExA("user32.dll", nullptr, 0);
  ASSERT_NE(nullptr, user32);
  const FARPROC station = ops.GetProcAddress(user32, "GetProcessWindowStation");
  const FARPROC information = ops.GetProcAddress(user32, "GetUserObjectInformationA");
  EXPECT_EQ(station != nullptr && information != nullptr, TODO_WINE(!Is9xFamily(), true));
  if (station != nullptr && information != nullptr) {
    const HANDLE own = ops.GetProcessWindowStation(station);
    ASSERT_NE(nullptr, own);
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    EXPECT_FALSE(ops.GetUserObjectInformationA(information, own, UOI_FLAGS, &flags, 4, &needed));
    EXPECT_EQ(sizeof flags, needed);
    ASSERT_TRUE(ops.GetUserObjectInformationA(information, own, UOI_FLAGS, &flags, sizeof flags,
                                              &needed));
    EXPECT_EQ(DWORD{WSF_VISIBLE}, flags.dwFlags & WSF_VISIBLE);
  }
  EXPECT_TRUE(ops.FreeLibrary(user32));
}

}  // namespace
}  // namespace korvanta::contract
