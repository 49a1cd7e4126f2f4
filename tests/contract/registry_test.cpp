// Registry keys and values as the installer's writers and its tree deletion use
// them, below the test's scratch key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

class Registry : public ::testing::Test {
 protected:
  PlatformOps& ops = Env().Ops();

  std::string Key(const std::string& relative = "") {
    return relative.empty() ? Env().ScratchKey() : Env().ScratchKey() + "\\" + relative;
  }

  // Creates the key and returns its open handle; the test closes it.
  HKEY Create(const std::string& path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, ops.RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                 &key, disposition))
        << path;
    return key;
  }

  LONG Open(const std::string& path, REGSAM access, HKEY* key) {
    *key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xDEAD));
    const LONG result = ops.RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, key);
    if (result == ERROR_SUCCESS) ops.RegCloseKey(*key);
    return result;
  }

  bool Exists(const std::string& path) {
    HKEY key;
    return Open(path, KEY_READ, &key) == ERROR_SUCCESS;
  }
};

TEST_F(Registry, CreateMakesEveryMissingLevelAndThenOpensTheKey) {
  DWORD disposition = 0;
  HKEY key = Create(Key("Class\\REALTIME\\RUND"), &disposition);
  EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
  EXPECT_EQ(ERROR_SUCCESS, ops.RegCloseKey(key));
  EXPECT_TRUE(Exists(Key("Class")));
  EXPECT_TRUE(Exists(Key("class\\realtime")));

  key = Create(Key("CLASS\\Realtime\\rund"), &disposition);
  EXPECT_EQ(DWORD{REG_OPENED_EXISTING_KEY}, disposition);
  EXPECT_EQ(ERROR_SUCCESS, ops.RegCloseKey(key));
}

TEST_F(Registry, ValuesKeepTheirTypeAndExactBytes) {
  const struct {
    const char* name;
    DWORD type;
    std::string bytes;
  } values[] = {
      {"", REG_SZ, std::string("", 1)},
      {"DeviceDriver", REG_SZ, std::string("RUNDAVEK.VXD", 13)},
      {"ImagePath", REG_EXPAND_SZ, std::string("%SystemRoot%\\rundavek.sys", 26)},
      {"HardwareID", REG_MULTI_SZ, std::string("*korvanta\\rundavek\0", 20)},
      {"Capabilities", REG_BINARY, std::string("\x14\0\0\0", 4)},
      {"Start", REG_DWORD, std::string("\2\0\0\0", 4)},
  };
  HKEY key = Create(Key());
  for (const auto& value : values) {
    EXPECT_EQ(ERROR_SUCCESS,
              ops.RegSetValueExA(key, value.name, 0, value.type,
                                 reinterpret_cast<const BYTE*>(value.bytes.data()),
                                 static_cast<DWORD>(value.bytes.size())));
  }
  for (const auto& value : values) {
    SCOPED_TRACE(value.name);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, ops.RegQueryValueExA(key, value.name, nullptr, &type, nullptr, &size));
    EXPECT_EQ(value.type, type);
    EXPECT_EQ(value.bytes.size(), size);

    std::vector<BYTE> data(64, 0xEE);
    size = static_cast<DWORD>(data.size());
    EXPECT_EQ(ERROR_SUCCESS, ops.RegQueryValueExA(key, value.name, nullptr, &type, data.data(), &size));
    EXPECT_EQ(value.bytes, std::string(reinterpret_cast<const char*>(data.data()), size));

    // Too small a buffer: ERROR_MORE_DATA and the size needed.
    size = static_cast<DWORD>(value.bytes.size() - 1);
    EXPECT_EQ(ERROR_MORE_DATA, ops.RegQueryValueExA(key, value.name, nullptr, &type, data.data(), &size));
    EXPECT_EQ(value.bytes.size(), size);
  }
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ops.RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, nullptr));
  ops.RegCloseKey(key);
}

TEST_F(Registry, AValueWrittenWithAnotherTypeTakesThatType) {
  HKEY key = Create(Key());
  ASSERT_EQ(ERROR_SUCCESS, ops.RegSetValueExA(key, "Start", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>("automatic"), 10));
  const DWORD start = 2;
  ASSERT_EQ(ERROR_SUCCESS, ops.RegSetValueExA(key, "START", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&start), 4));
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  EXPECT_EQ(ERROR_SUCCESS, ops.RegQueryValueExA(key, "start", nullptr, &type,
                                                reinterpret_cast<BYTE*>(&data), &size));
  EXPECT_EQ(DWORD{REG_DWORD}, type);
  EXPECT_EQ(4u, size);
  EXPECT_EQ(2u, data);
  DWORD values = 0;
  EXPECT_EQ(ERROR_SUCCESS, ops.RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, &values, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, values);
  ops.RegCloseKey(key);
}

TEST_F(Registry, OpeningAMissingKeyFailsWithoutCreatingIt) {
  HKEY key;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(Key("Engine"), KEY_ALL_ACCESS, &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(Key("Engine"), KEY_READ, &key));
}

TEST_F(Registry, TrailingBackslashNamesTheSameKey) {
  HKEY key = Create(Key("Enum\\Root\\"));
  ops.RegCloseKey(key);
  EXPECT_TRUE(Exists(Key("Enum\\Root")));
  EXPECT_TRUE(Exists(Key("Enum\\Root\\")));
  EXPECT_TRUE(Exists(Key("Enum\\Root\\\\")));

  EXPECT_EQ(ERROR_SUCCESS, ops.RegDeleteKeyA(HKEY_CURRENT_USER, Key("Enum\\Root\\").c_str()));
  EXPECT_FALSE(Exists(Key("Enum\\Root")));
  EXPECT_TRUE(Exists(Key("Enum")));
}

TEST_F(Registry, LeadingBackslashIsRefusedOnlyOnNt) {
  HKEY parent = Create(Key());
  HKEY key = nullptr;
  const LONG result = ops.RegCreateKeyExA(parent, "\\Engine", 0, nullptr, 0, KEY_ALL_ACCESS,
                                          nullptr, &key, nullptr);
  EXPECT_EQ(Is9xFamily() ? ERROR_SUCCESS : ERROR_BAD_PATHNAME, result);
  if (result == ERROR_SUCCESS) ops.RegCloseKey(key);
  ops.RegCloseKey(parent);
}

TEST_F(Registry, DeletingAKeyWithSubkeysDependsOnTheFamily) {
  ops.RegCloseKey(Create(Key("Engine\\Settings\\Window")));
  ops.RegCloseKey(Create(Key("Engine\\Plugins")));

  const LONG result = ops.RegDeleteKeyA(HKEY_CURRENT_USER, Key("Engine").c_str());
  // NT deletes one key at a time; Windows 98 takes the whole tree. Wine
  // behaves as NT in both families.
  const bool wholeTree = Is9xFamily() && !Env().IsWine();
  EXPECT_EQ(wholeTree ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, result);
  EXPECT_EQ(!wholeTree, Exists(Key("Engine")));
  EXPECT_EQ(!wholeTree, Exists(Key("Engine\\Settings\\Window")));

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ops.RegDeleteKeyA(HKEY_CURRENT_USER, Key("Missing").c_str()));
}

TEST_F(Registry, SubkeysAreCountedAndEnumeratedInNameOrder) {
  for (const char* name : {"gamma_longest", "Alpha", "beta"}) {
    ops.RegCloseKey(Create(Key(std::string("Engine\\") + name)));
  }
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, ops.RegOpenKeyExA(HKEY_CURRENT_USER, Key("Engine").c_str(), 0, KEY_READ, &key));
  DWORD subKeys = 0;
  DWORD longest = 0;
  ASSERT_EQ(ERROR_SUCCESS, ops.RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &longest,
                                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(3u, subKeys);
  EXPECT_EQ(13u, longest);

  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[14];
    DWORD length = sizeof name;
    const LONG result = ops.RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, result);
    EXPECT_EQ(std::strlen(name), length);
    names.push_back(name);
  }
  EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "gamma_longest"}), names);

  // A buffer without room for the terminator is too small.
  char name[13];
  DWORD length = sizeof name;
  EXPECT_EQ(ERROR_MORE_DATA, ops.RegEnumKeyExA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr));
  ops.RegCloseKey(key);
}

TEST_F(Registry, AHandleToADeletedKeyReportsIt) {
  HKEY key = Create(Key("Engine"));
  ASSERT_EQ(ERROR_SUCCESS, ops.RegDeleteKeyA(HKEY_CURRENT_USER, Key("Engine").c_str()));
  const DWORD one = 1;
  EXPECT_EQ(ERROR_KEY_DELETED,
            ops.RegSetValueExA(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
  EXPECT_EQ(ERROR_SUCCESS, ops.RegCloseKey(key));
  EXPECT_FALSE(Exists(Key("Engine")));
}

}  // namespace
}  // namespace korvanta::contract
