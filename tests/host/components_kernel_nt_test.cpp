// The real-time kernel on the NT family where Wine cannot show it: failed
// copies, a protected list on the root device branch that keeps the installer
// out until the grant, a refused grant and a list that cannot be read.
#include <gtest/gtest.h>

#include <new>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "components/kernel_nt.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace sim {

// A failed comparison shows the list's bytes and its protection.
std::ostream& operator<<(std::ostream& out, const KeySecurity& security) {
  static const char digits[] = "0123456789ABCDEF";
  if (!security.dacl) return out << "no list";
  for (unsigned char byte : *security.dacl) out << digits[byte >> 4] << digits[byte & 0xF];
  return out << (security.isProtected ? " protected" : " not protected");
}

}  // namespace sim
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

  SimMachine machine;
  NewDevLoader newDev{machine};
  SetupApi setupApi{machine};
  Platform platform{machine, VER_PLATFORM_WIN32_NT, &newDev, &setupApi};
  const KeySecurity original{SystemOnlyList(), true};
};

// The end-to-end tests prove the files, the device and the 29 values; Wine
// cannot show a protected list or one that keeps the installer out.
TEST_F(KernelNtTest, TheValuesGetInThroughTheGrantAndTheProtectedListIsPutBack) {
  AddPayload();
  Run();
  EXPECT_TRUE(Texts().empty());
  // Only the system may write below Enum\Root: these got in through the grant.
  EXPECT_EQ(Sz("KORVANTA"), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Instance, "Mfg"));
  EXPECT_EQ(Sz(""), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, std::string(Instance) + "\\LogConf", ""));
  EXPECT_EQ(original, machine.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot));
  const auto sets = machine.CallsTo("SetNamedSecurityInfoA");
  ASSERT_EQ(2u, sets.size());
  EXPECT_NE(std::string::npos, sets[1].find(", 4, 2147483652, NULL, NULL, ptr, NULL)"));  // protected
  EXPECT_EQ(0, machine.OpenHandleCount());
  // The NewDev.dll binding and SetupAPI, which the run releases at its end.
  EXPECT_EQ(2, machine.LoadedLibraryCount());
}

TEST_F(KernelNtTest, FailedCopiesAreReportedInOrderAndTheRestGoesOn) {
  AddPayload();
  machine.AddFault(Fault{"CopyFileA", ERROR_DISK_FULL, "RUNDAVEK.SYS\"", 1});
  machine.AddFault(Fault{"CopyFileA", ERROR_DISK_FULL, "RUNDAVEK.INF\"", 1});
  Run();
  EXPECT_EQ((std::vector<std::string>{"Unable to copy \"RUNDAVEK.SYS\" to Systemdirectory!",
                                      "Unable to copy \"RUNDAVEK.INF\" to INF directory !"}),
            Texts());
  EXPECT_EQ(1u, machine.Devices().size());
  // The 29 values, and the copy of the branch's list kept during the grant.
  EXPECT_EQ(30u, machine.CallsTo("RegSetValueExA").size());
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
  EXPECT_EQ(30u, machine.CallsTo("RegCreateKeyExA").size());
  EXPECT_EQ(Sz("Korvanta AudioEngine"), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Class, ""));
  EXPECT_FALSE(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Instance, "Mfg"));
  EXPECT_TRUE(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, Service, "ImagePath"));
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
  // No copy of a list that could not be read.
  EXPECT_EQ(29u, machine.CallsTo("RegCreateKeyExA").size());
  EXPECT_EQ(Sz("rundavek.inf"), machine.GetRegistryValue(HKEY_LOCAL_MACHINE, std::string(Class) + "\\0000", "InfPath"));
  EXPECT_EQ(0, machine.OpenHandleCount());
}

// The SECURITY_INFORMATION of the last list set: the second attempt names
// the list alone, without the protection flags that NT 4 does not know.
std::string LastInformation(const SimMachine& machine) {
  const std::vector<std::string> calls = machine.CallsTo("SetNamedSecurityInfoA");
  if (calls.empty()) return "none";
  std::string rest = calls.back();
  for (int i = 0; i < 3; ++i) rest = rest.substr(rest.find(", ") + 2);
  return rest.substr(0, rest.find(','));
}

// Whichever step of putting the list back fails once, the branch does not
// stay open to everyone: the list is put back on a second attempt.
TEST_F(KernelNtTest, AListThatWasNotPutBackIsTriedOnceMore) {
  const struct {
    Fault failure;
    size_t listsSet;  // the grant, then the attempts that reached the platform
    const char* lastInformation;
  } cases[] = {
      {{"LoadLibraryExA", ERROR_NOT_ENOUGH_MEMORY, "advapi32.dll", 3}, 2, "4"},
      {{"GetProcAddress", ERROR_PROC_NOT_FOUND, "SetNamedSecurityInfoA", 2}, 2, "4"},
      {{"SetNamedSecurityInfoA", ERROR_NOT_ENOUGH_MEMORY, "", 2}, 3, "4"},
      {{"SetNamedSecurityInfoA", ERROR_NOT_ENOUGH_MEMORY, "", 99}, 2, "2147483652"},  // no failure
  };
  for (const auto& c : cases) {
    SimMachine fresh;
    fresh.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot, original);
    fresh.AddFault(c.failure);
    InstallKernelNt(Platform{fresh, VER_PLATFORM_WIN32_NT, nullptr}, SourceDir, "C:\\WINDOWS",
                    "C:\\WINDOWS\\system32");
    EXPECT_EQ(original, fresh.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot)) << c.failure.operation;
    EXPECT_EQ(c.listsSet, fresh.CallsTo("SetNamedSecurityInfoA").size()) << c.failure.operation;
    EXPECT_EQ(c.lastInformation, LastInformation(fresh)) << c.failure.operation;
    EXPECT_TRUE(fresh.MessageBoxes().empty()) << c.failure.operation;
    EXPECT_EQ(0, fresh.OpenHandleCount()) << c.failure.operation;
  }
}

// The copy of the branch's list is gone once the list is back, and stays
// while the branch is still widened, for the next run to put back.
TEST_F(KernelNtTest, TheKeptListGoesOnlyWithTheWidenedOne) {
  for (const int failedRestores : {0, 1, 2}) {
    SimMachine fresh;
    fresh.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot, original);
    // The grant is call 1; the restore and its second try calls 2 and 3.
    for (int i = 0; i < failedRestores; ++i) {
      fresh.AddFault(Fault{"SetNamedSecurityInfoA", ERROR_NOT_ENOUGH_MEMORY, "", 2});
    }
    InstallKernelNt(Platform{fresh, VER_PLATFORM_WIN32_NT, nullptr}, SourceDir, "C:\\WINDOWS",
                    "C:\\WINDOWS\\system32");
    const bool putBack = failedRestores < 2;
    EXPECT_EQ(putBack, fresh.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot) == original)
        << failedRestores;
    EXPECT_EQ(!putBack, fresh.GetRegistryValue(HKEY_LOCAL_MACHINE, Service, "SavedEnumRootAccess")
                            .has_value())
        << failedRestores;
  }
}

// Runs out of memory at one call of the stage, as a real allocation can.
class OutOfMemoryAt : public SimMachine {
 public:
  OutOfMemoryAt(std::string operation, int occurrence)
      : operation_(std::move(operation)), left_(occurrence) {}
  LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size) override {
    Check("RegSetValueExA");
    return SimMachine::RegSetValueExA(key, name, reserved, type, data, size);
  }
  DWORD SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                              SECURITY_INFORMATION info, PSID owner, PSID group, ACL* dacl,
                              ACL* sacl) override {
    Check("SetNamedSecurityInfoA");
    return SimMachine::SetNamedSecurityInfoA(proc, objectName, type, info, owner, group, dacl, sacl);
  }

 private:
  void Check(const std::string& operation) {
    if (operation == operation_ && --left_ == 0) throw std::bad_alloc();
  }
  std::string operation_;
  int left_;
};

// An exception between the grant and the restore (the values being written,
// or the first restore itself) still puts the list back on its way out.
TEST_F(KernelNtTest, AnExceptionAfterTheGrantStillPutsTheListBack) {
  const struct {
    const char* operation;
    int occurrence;
    bool escapes;  // the stage ends with the exception
  } cases[] = {
      {"RegSetValueExA", 1, true},
      {"RegSetValueExA", 15, true},
      {"RegSetValueExA", 29, true},
      {"SetNamedSecurityInfoA", 2, false},  // the first restore: the second one puts it back
  };
  for (const auto& c : cases) {
    const std::string why = std::string(c.operation) + " #" + std::to_string(c.occurrence);
    OutOfMemoryAt fresh(c.operation, c.occurrence);
    fresh.SetRegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot, original);
    const auto install = [&] {
      InstallKernelNt(Platform{fresh, VER_PLATFORM_WIN32_NT, nullptr}, SourceDir, "C:\\WINDOWS",
                      "C:\\WINDOWS\\system32");
    };
    if (c.escapes) {
      EXPECT_THROW(install(), std::bad_alloc) << why;
    } else {
      EXPECT_NO_THROW(install()) << why;
    }
    EXPECT_EQ(original, fresh.RegistryKeySecurity(HKEY_LOCAL_MACHINE, EnumRoot)) << why;
    EXPECT_EQ(0, fresh.OpenHandleCount()) << why;
  }
}

}  // namespace
}  // namespace korvanta
