// Security identifiers and access lists built in the caller's memory, and an
// access list applied to a registry key. Windows 98 has no security: the
// functions exist there but fail with ERROR_CALL_NOT_IMPLEMENTED. Wine
// implements them in its Windows 98 mode too.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

constexpr DWORD kErrorCallNotImplemented = 120;
constexpr DWORD kErrorAllottedSpaceExceeded = 1344;
constexpr BYTE kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

class Security : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Is9xFamily() && !Env().IsWine()) {
      SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
      PSID sid = nullptr;
      EXPECT_FALSE(ops.AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
      EXPECT_EQ(kErrorCallNotImplemented, ops.GetLastError());
      GTEST_SKIP() << "no security on the 9x family";
    }
  }

  PSID Everyone() {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_TRUE(ops.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid));
    return sid;
  }

  // A list of one inheritable entry for the SID, made as the installer makes
  // its grant.
  std::vector<BYTE> GrantList(PSID everyone, DWORD mask) {
    std::vector<BYTE> acl(ops.GetLengthSid(everyone) + 20, 0);
    EXPECT_TRUE(ops.InitializeAcl(reinterpret_cast<ACL*>(acl.data()), static_cast<DWORD>(acl.size()),
                                  ACL_REVISION));
    EXPECT_TRUE(ops.AddAccessAllowedAce(reinterpret_cast<ACL*>(acl.data()), ACL_REVISION, mask, everyone));
    LPVOID ace = nullptr;
    EXPECT_TRUE(ops.GetAce(reinterpret_cast<ACL*>(acl.data()), 0, &ace));
    if (ace) static_cast<ACE_HEADER*>(ace)->AceFlags = kInheritFlags;
    return acl;
  }

  DWORD Apply(FARPROC set, const std::string& object, std::vector<BYTE>& acl) {
    return ops.SetNamedSecurityInfoA(set, object.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, reinterpret_cast<ACL*>(acl.data()), nullptr);
  }

  LONG OpenKey(const std::string& path, REGSAM access) {
    HKEY key = nullptr;
    const LONG result = ops.RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, &key);
    if (result == ERROR_SUCCESS) ops.RegCloseKey(key);
    return result;
  }

  PlatformOps& ops = Env().Ops();
};

TEST_F(Security, EveryoneAndTheAccessListAreLaidOutAsWindowsDoes) {
  PSID everyone = Everyone();
  ASSERT_NE(nullptr, everyone);
  ASSERT_EQ(12u, ops.GetLengthSid(everyone));
  const BYTE sidBytes[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(sidBytes, everyone, 12));

  const std::vector<BYTE> acl = GrantList(everyone, GENERIC_ALL);
  const BYTE expected[32] = {2, 0, 32, 0, 1, 0, 0, 0,                  // header: revision, size, one entry
                             0, kInheritFlags, 20, 0, 0, 0, 0, 0x10,  // allowed, flags, size, GENERIC_ALL
                             1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,      // Everyone
                             0, 0, 0, 0};
  ASSERT_EQ(32u, acl.size());
  EXPECT_EQ(std::vector<BYTE>(expected, expected + 32), acl);

  std::vector<BYTE> full = acl;
  LPVOID ace = nullptr;
  ops.SetLastError(kSentinelError);
  EXPECT_FALSE(ops.GetAce(reinterpret_cast<ACL*>(full.data()), 1, &ace));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, ops.GetLastError());

  // Too small a list: no room for the header, or none for the entry.
  std::vector<BYTE> tiny(24, 0);
  ops.SetLastError(kSentinelError);
  EXPECT_FALSE(ops.InitializeAcl(reinterpret_cast<ACL*>(tiny.data()), 4, ACL_REVISION));
  EXPECT_EQ(DWORD{ERROR_INSUFFICIENT_BUFFER}, ops.GetLastError());
  ASSERT_TRUE(ops.InitializeAcl(reinterpret_cast<ACL*>(tiny.data()), 24, ACL_REVISION));
  ops.SetLastError(kSentinelError);
  EXPECT_FALSE(ops.AddAccessAllowedAce(reinterpret_cast<ACL*>(tiny.data()), ACL_REVISION, GENERIC_ALL,
                                       everyone));
  EXPECT_EQ(kErrorAllottedSpaceExceeded, ops.GetLastError());

  // The Administrators group (S-1-5-32-544), whose entry the installer's
  // grant adds after the entries a list holds: AddAccessAllowedAce appends.
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  ASSERT_TRUE(ops.AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                           0, 0, 0, 0, 0, 0, &administrators));
  const BYTE adminBytes[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  ASSERT_EQ(16u, ops.GetLengthSid(administrators));
  EXPECT_EQ(0, std::memcmp(adminBytes, administrators, 16));
  std::vector<BYTE> grown = acl;
  grown.resize(acl.size() + 24, 0);
  grown[2] = static_cast<BYTE>(grown.size());
  ASSERT_TRUE(ops.AddAccessAllowedAce(reinterpret_cast<ACL*>(grown.data()), ACL_REVISION, KEY_READ,
                                      administrators));
  EXPECT_EQ(2, grown[4]);
  // The first entry (bytes 8 to 28) stays; the new one follows it.
  EXPECT_EQ(0, std::memcmp(acl.data() + 8, grown.data() + 8, 20));
  EXPECT_EQ(0, std::memcmp(adminBytes, grown.data() + 36, 16));
  EXPECT_EQ(nullptr, ops.FreeSid(administrators));

  EXPECT_EQ(nullptr, ops.FreeSid(everyone));
}

TEST_F(Security, AnAppliedListDecidesWhatLaterOpensGet) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ops.RegCreateKeyExA(HKEY_CURRENT_USER, (Env().ScratchKey() + "\\Root\\Device").c_str(),
                                               0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ops.RegCloseKey(key);
  HMODULE advapi = ops.LoadLibraryExA("advapi32.dll", nullptr, 0);
  ASSERT_NE(nullptr, advapi);
  FARPROC set = ops.GetProcAddress(advapi, "SetNamedSecurityInfoA");
  ASSERT_NE(nullptr, set);
  PSID everyone = Everyone();
  const std::string root = Env().ScratchKey() + "\\Root";

  std::vector<BYTE> grant = GrantList(everyone, GENERIC_ALL);
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, Apply(set, "CURRENT_USER\\" + root + "\\Missing", grant));
  ASSERT_EQ(DWORD{ERROR_SUCCESS}, Apply(set, "CURRENT_USER\\" + root + "\\", grant));
  EXPECT_EQ(ERROR_SUCCESS, OpenKey(root, KEY_ALL_ACCESS));
  EXPECT_EQ(ERROR_SUCCESS, OpenKey(root + "\\Device", KEY_ALL_ACCESS));

  // An empty grant shuts the key and, through the inherit flags, the keys below.
  // Wine does not pass a new list on to the keys that already exist below, and
  // in its Windows 98 mode it keeps the list without enforcing it.
  std::vector<BYTE> none = GrantList(everyone, 0);
  ASSERT_EQ(DWORD{ERROR_SUCCESS}, Apply(set, "CURRENT_USER\\" + root + "\\", none));
  const bool enforced = !(Env().IsWine() && Is9xFamily());
  EXPECT_EQ(enforced ? ERROR_ACCESS_DENIED : ERROR_SUCCESS, OpenKey(root, KEY_READ));
  EXPECT_EQ(TODO_WINE(ERROR_ACCESS_DENIED, ERROR_SUCCESS), OpenKey(root + "\\Device", KEY_READ));

  EXPECT_EQ(nullptr, ops.FreeSid(everyone));
  EXPECT_TRUE(ops.FreeLibrary(advapi));
}

// A list is read back as it was set, its protection included; the descriptor
// is one block of local memory. A list that takes entries from the key above
// begins with its own.
TEST_F(Security, AListIsReadBackWithItsProtection) {
  const std::string path = Env().ScratchKey() + "\\Root";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ops.RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, &key, nullptr));
  ops.RegCloseKey(key);
  HMODULE advapi = ops.LoadLibraryExA("advapi32.dll", nullptr, 0);
  ASSERT_NE(nullptr, advapi);
  FARPROC set = ops.GetProcAddress(advapi, "SetNamedSecurityInfoA");
  FARPROC get = ops.GetProcAddress(advapi, "GetNamedSecurityInfoA");
  ASSERT_NE(nullptr, get);
  PSID everyone = Everyone();
  // Specific rights only: Windows splits an inheritable entry with generic
  // rights into two when it stores it.
  std::vector<BYTE> list = GrantList(everyone, KEY_ALL_ACCESS);
  const std::string object = "CURRENT_USER\\" + path;

  for (const bool isProtected : {true, false}) {
    SCOPED_TRACE(isProtected ? "protected" : "unprotected");
    ASSERT_EQ(DWORD{ERROR_SUCCESS},
              ops.SetNamedSecurityInfoA(set, object.c_str(), SE_REGISTRY_KEY,
                                        DACL_SECURITY_INFORMATION | (isProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                        nullptr, nullptr, reinterpret_cast<ACL*>(list.data()), nullptr));
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(DWORD{ERROR_SUCCESS}, ops.GetNamedSecurityInfoA(get, object.c_str(), SE_REGISTRY_KEY,
                                                              DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                                              nullptr, &descriptor));
    ASSERT_NE(nullptr, descriptor);
    ASSERT_NE(nullptr, dacl);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    std::memcpy(&control, static_cast<const BYTE*>(descriptor) + 2, sizeof control);
    EXPECT_EQ(SE_DACL_PRESENT, control & SE_DACL_PRESENT);
    // Wine keeps no protection on a key's list.
    EXPECT_EQ(TODO_WINE(isProtected, false), (control & SE_DACL_PROTECTED) != 0);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(dacl);
    if (isProtected) {
      EXPECT_EQ(list, std::vector<BYTE>(bytes, bytes + dacl->AclSize));
    } else {
      ASSERT_GE(dacl->AclSize, 32);
      EXPECT_EQ(std::vector<BYTE>(list.begin() + 8, list.end()), std::vector<BYTE>(bytes + 8, bytes + 32));
    }
    EXPECT_EQ(nullptr, ops.LocalFree(descriptor));
  }

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND},
            ops.GetNamedSecurityInfoA(get, (object + "\\Missing").c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &descriptor));
  EXPECT_EQ(nullptr, ops.FreeSid(everyone));
  EXPECT_TRUE(ops.FreeLibrary(advapi));
}

}  // namespace
}  // namespace korvanta::contract
