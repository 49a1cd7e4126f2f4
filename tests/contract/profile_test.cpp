// Profile (INI) files: the single-value writer, the section reader and the
// section writer, checked against the file's exact bytes.
#include <gtest/gtest.h>

#include <string>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

class Profile : public ::testing::Test {
 protected:
  PlatformOps& ops = Env().Ops();
  const std::string file = InScratch("SYSTEM.INI");

  BOOL Write(const char* section, const char* key, const char* value) {
    return ops.WritePrivateProfileStringA(section, key, value, file.c_str());
  }

  static std::string WithoutBlankLines(std::string text) {
    for (size_t at; (at = text.find("\r\n\r\n")) != std::string::npos;) text.erase(at, 2);
    return text;
  }

  // The file as it stands on disk once Windows has written its cached copy:
  // the 9x family keeps the profile file last written in memory until then.
  std::optional<std::string> OnDisk(const std::string& path) {
    ops.WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
    return Env().ReadFile(path);
  }
  std::optional<std::string> OnDisk() { return OnDisk(file); }

  // The section as GetPrivateProfileSectionA returns it, with its result.
  std::pair<DWORD, std::string> ReadSection(const char* section, DWORD size) {
    std::string buffer(size, '#');
    const DWORD result = ops.GetPrivateProfileSectionA(section, buffer.data(), size, file.c_str());
    return {result, buffer};
  }
};

TEST_F(Profile, WritesCreateTheFileSectionsAndKeysInOrder) {
  ASSERT_TRUE(Write("VCache", "MinFileCache", "20480"));
  EXPECT_EQ("[VCache]\r\nMinFileCache=20480\r\n", OnDisk());

  // Blanks around a new section or key name are not written.
  ASSERT_TRUE(Write(" VCache ", " MaxFileCache ", "20480"));
  ASSERT_TRUE(Write("RENAME", "C:\\WINDOWS\\SYSTEM\\A.DLL", "C:\\WINDOWS\\SYSTEM\\A.DL"));
  // Section and key are found whatever their letter case; the value is replaced
  // in its line.
  ASSERT_TRUE(Write("vcache", "MINFILECACHE", "1024"));
  EXPECT_EQ(
      "[VCache]\r\nMinFileCache=1024\r\nMaxFileCache=20480\r\n"
      "[RENAME]\r\nC:\\WINDOWS\\SYSTEM\\A.DLL=C:\\WINDOWS\\SYSTEM\\A.DL\r\n",
      OnDisk());
}

TEST_F(Profile, WritesKeepTheOtherLines) {
  Env().WriteFile(file,
                  "; System.ini of a test\r\n"
                  "[boot]\r\n"
                  "shell=Explorer.exe\r\n"
                  "\r\n"
                  "[386Enh]\r\n"
                  "; a comment\r\n"
                  "device=rundavek.vxd\r\n"
                  "\r\n"
                  "[VCache]\r\n"
                  "MinFileCache=512\r\n");
  ASSERT_TRUE(Write("386Enh", "EMMExclude", "C000-CFFF"));
  ASSERT_TRUE(Write("VCache", "MinFileCache", "20480"));
  // Windows edits the lines in place; Wine writes the file anew from what it
  // parsed and drops the blank lines.
  const std::string windows =
      "; System.ini of a test\r\n"
      "[boot]\r\n"
      "shell=Explorer.exe\r\n"
      "\r\n"
      "[386Enh]\r\n"
      "; a comment\r\n"
      "device=rundavek.vxd\r\n"
      "EMMExclude=C000-CFFF\r\n"
      "\r\n"
      "[VCache]\r\n"
      "MinFileCache=20480\r\n";
  EXPECT_EQ(TODO_WINE(windows, WithoutBlankLines(windows)),
            OnDisk());
}

TEST_F(Profile, SectionReadSkipsCommentsAndBlankLines) {
  Env().WriteFile(file,
                  "[386Enh]\r\n"
                  "; disabled=old.vxd\r\n"
                  "device=rundavek.vxd\r\n"
                  "\r\n"
                  "  device=*vpicd  \r\n"
                  "name3\r\n"
                  "[VCache]\r\n"
                  "MinFileCache=512\r\n");
  const std::string entries("device=rundavek.vxd\0device=*vpicd\0name3\0", 40);
  auto [result, buffer] = ReadSection("386enh", 100);
  EXPECT_EQ(entries.size(), result);
  EXPECT_EQ(entries + '\0', buffer.substr(0, entries.size() + 1));

  // A buffer too small: the entries are cut, two zero bytes close the buffer,
  // and the result is its size less two.
  std::tie(result, buffer) = ReadSection("386Enh", 16);
  EXPECT_EQ(14u, result);
  EXPECT_EQ(std::string("device=rundave\0\0", 16), buffer);

  std::tie(result, buffer) = ReadSection("Missing", 100);
  EXPECT_EQ(0u, result);
  EXPECT_EQ(std::string(2, '\0'), buffer.substr(0, 2));
}

TEST_F(Profile, SectionThatFitsExactly) {
  Env().WriteFile(file, "[VCache]\r\nA=1\r\n");
  // "A=1", its zero and the closing zero take five bytes. Wine fills the
  // buffer but reports it as too small.
  auto [result, buffer] = ReadSection("VCache", 5);
  EXPECT_EQ(TODO_WINE(4u, 3u), result);
  EXPECT_EQ(std::string("A=1\0\0", 5), buffer);
}

TEST_F(Profile, SectionWriteReplacesTheEntriesInOrder) {
  Env().WriteFile(file,
                  "[386Enh]\r\n"
                  "device=rundavek.vxd\r\n"
                  "device=*vpicd\r\n"
                  "\r\n"
                  "[VCache]\r\n"
                  "MinFileCache=512\r\n");
  const char entries[] = "device=*vpicd\0;evice=rundavek.vxd\0keyboard\0";
  ASSERT_TRUE(ops.WritePrivateProfileSectionA("386Enh", entries, file.c_str()));
  // An entry without "=" stays an entry on Windows; Wine drops it and the
  // blank line.
  EXPECT_EQ(TODO_WINE(std::string("[386Enh]\r\n"
                                  "device=*vpicd\r\n"
                                  ";evice=rundavek.vxd\r\n"
                                  "keyboard\r\n"
                                  "\r\n"
                                  "[VCache]\r\n"
                                  "MinFileCache=512\r\n"),
                      std::string("[386Enh]\r\n"
                                  "device=*vpicd\r\n"
                                  ";evice=rundavek.vxd\r\n"
                                  "[VCache]\r\n"
                                  "MinFileCache=512\r\n")),
            OnDisk());
}

TEST_F(Profile, FlushWithAllNullAnswersZeroAndChangesNothing) {
  Env().WriteFile(file, "[VCache]\r\nMinFileCache=512\r\n");
  // Windows answers a flush with zero, as it does a failure: a caller cannot
  // tell the two apart and must not look at the result.
  EXPECT_EQ(FALSE, Write(nullptr, nullptr, nullptr));
  EXPECT_EQ("[VCache]\r\nMinFileCache=512\r\n", OnDisk());
}

TEST_F(Profile, The9xFamilyWritesAProfileFileToDiskOnlyWhenItIsFlushed) {
  Env().WriteFile(file, "[VCache]\r\nMinFileCache=512\r\n");
  ASSERT_TRUE(Write("VCache", "MinFileCache", "20480"));
  // Read through the profile functions, the value is there at once.
  const auto [length, entries] = ReadSection("VCache", 64);
  EXPECT_EQ(19u, length);
  EXPECT_EQ(std::string("MinFileCache=20480\0\0", 20), entries.substr(0, 20));
  // Windows 9x holds it in its cache, and a power loss now would lose it;
  // NT, and Wine in either family, write it through.
  const std::string before = "[VCache]\r\nMinFileCache=512\r\n";
  const std::string after = "[VCache]\r\nMinFileCache=20480\r\n";
  EXPECT_EQ(Is9xFamily() ? TODO_WINE(before, after) : after, Env().ReadFile(file));
  EXPECT_EQ(after, OnDisk());
}

TEST_F(Profile, UsingAnotherProfileFileWritesTheCachedOne) {
  const std::string other = InScratch("WININIT.INI");
  Env().WriteFile(file, "[VCache]\r\nMinFileCache=512\r\n");
  ASSERT_TRUE(Write("VCache", "MinFileCache", "20480"));
  ASSERT_TRUE(ops.WritePrivateProfileStringA("RENAME", "NUL", "C:\\X.TMP", other.c_str()));
  // Windows 9x keeps one file in its cache: the first is on disk now.
  EXPECT_EQ("[VCache]\r\nMinFileCache=20480\r\n", Env().ReadFile(file));
  EXPECT_EQ("[RENAME]\r\nNUL=C:\\X.TMP\r\n", OnDisk(other));
}

TEST_F(Profile, WriteToAFileInUseFails) {
  Env().WriteFile(file, "[VCache]\r\nMinFileCache=512\r\n");
  Env().LockFile(file);
  ops.SetLastError(kSentinelError);
  EXPECT_FALSE(Write("VCache", "MinFileCache", "20480"));
  EXPECT_EQ(DWORD{ERROR_SHARING_VIOLATION}, ops.GetLastError());
  EXPECT_EQ("[VCache]\r\nMinFileCache=512\r\n", OnDisk());
}

TEST_F(Profile, ABareFileNameLivesInTheWindowsDirectory) {
  char windows[MAX_PATH + 1] = {};
  ASSERT_NE(0u, ops.GetWindowsDirectoryA(windows, sizeof windows));
  const std::string bare = "korvanta-contract.ini";
  const std::string full = std::string(windows) + "\\" + bare;
  ops.DeleteFileA(full.c_str());

  ASSERT_TRUE(ops.WritePrivateProfileStringA("RENAME", "NUL", "C:\\TEMP\\X.TMP", bare.c_str()));
  EXPECT_EQ("[RENAME]\r\nNUL=C:\\TEMP\\X.TMP\r\n", OnDisk(full));
  char buffer[64];
  EXPECT_EQ(18u, ops.GetPrivateProfileSectionA("rename", buffer, sizeof buffer, bare.c_str()));
  EXPECT_TRUE(ops.DeleteFileA(full.c_str()));
}

}  // namespace
}  // namespace korvanta::contract
