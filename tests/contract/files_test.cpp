// Files, folders, drives and directories as the installer uses them.
#include <gtest/gtest.h>

#include <cstring>

#include "contract/contract_env.h"

namespace korvanta::contract {
namespace {

class Files : public ::testing::Test {
 protected:
  PlatformOps& ops = Env().Ops();

  DWORD LastErrorAfter(bool failed) {
    EXPECT_TRUE(failed);
    return ops.GetLastError();
  }
};

TEST_F(Files, CopyReplacesAnExistingFileAndMarksItForBackup) {
  Env().WriteFile(InScratch("source.dll"), "new contents");
  Env().WriteFile(InScratch("target.dll"), "old contents, longer than the new ones");
  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("source.dll").c_str(), FILE_ATTRIBUTE_READONLY));

  ASSERT_TRUE(ops.CopyFileA(InScratch("source.dll").c_str(), InScratch("target.dll").c_str(), FALSE));

  EXPECT_EQ("new contents", Env().ReadFile(InScratch("target.dll")));
  // The copy carries the source's attributes plus the archive bit; Wine's copy
  // is a plain file.
  EXPECT_EQ(TODO_WINE(DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
                      DWORD{FILE_ATTRIBUTE_ARCHIVE}),
            ops.GetFileAttributesA(InScratch("target.dll").c_str()));
  EXPECT_EQ("new contents", Env().ReadFile(InScratch("source.dll")));
}

TEST_F(Files, CopyFailuresLeaveTheTargetAlone) {
  Env().WriteFile(InScratch("source.dll"), "source");
  Env().WriteFile(InScratch("target.dll"), "target");

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND},
            LastErrorAfter(!ops.CopyFileA(InScratch("missing.dll").c_str(),
                                          InScratch("target.dll").c_str(), FALSE)));
  EXPECT_EQ("target", Env().ReadFile(InScratch("target.dll")));

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_FILE_EXISTS},
            LastErrorAfter(!ops.CopyFileA(InScratch("source.dll").c_str(),
                                          InScratch("target.dll").c_str(), TRUE)));
  EXPECT_EQ("target", Env().ReadFile(InScratch("target.dll")));

  // A missing target folder is an error, not something to create.
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_PATH_NOT_FOUND},
            LastErrorAfter(!ops.CopyFileA(InScratch("source.dll").c_str(),
                                          InScratch("INF\\target.inf").c_str(), FALSE)));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ops.GetFileAttributesA(InScratch("INF").c_str()));
}

TEST_F(Files, CopyOverAFileInUseFailsWithASharingViolation) {
  Env().WriteFile(InScratch("source.dll"), "source");
  Env().WriteFile(InScratch("target.dll"), "target");
  Env().LockFile(InScratch("target.dll"));

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_SHARING_VIOLATION},
            LastErrorAfter(!ops.CopyFileA(InScratch("source.dll").c_str(),
                                          InScratch("target.dll").c_str(), FALSE)));
  EXPECT_EQ("target", Env().ReadFile(InScratch("target.dll")));
}

TEST_F(Files, ReadOnlyTargetRefusesCopyAndDeleteUntilTheBitIsCleared) {
  Env().WriteFile(InScratch("source.dll"), "source");
  Env().WriteFile(InScratch("target.dll"), "target");
  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("target.dll").c_str(), FILE_ATTRIBUTE_READONLY));

  ops.SetLastError(kSentinelError);
  const BOOL copied =
      ops.CopyFileA(InScratch("source.dll").c_str(), InScratch("target.dll").c_str(), FALSE);
  // Wine run as root writes over read-only files.
  EXPECT_EQ(TODO_WINE(FALSE, TRUE), copied);
  if (!copied) {
    EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED}, ops.GetLastError());
    EXPECT_EQ("target", Env().ReadFile(InScratch("target.dll")));
  }

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED},
            LastErrorAfter(!ops.DeleteFileA(InScratch("target.dll").c_str())));

  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("target.dll").c_str(), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(ops.CopyFileA(InScratch("source.dll").c_str(), InScratch("target.dll").c_str(), FALSE));
  EXPECT_EQ("source", Env().ReadFile(InScratch("target.dll")));
  EXPECT_TRUE(ops.DeleteFileA(InScratch("target.dll").c_str()));
  EXPECT_EQ(std::nullopt, Env().ReadFile(InScratch("target.dll")));
}

TEST_F(Files, NtCopiesOverAHiddenOrSystemFileOnlyFromOneWithTheSameBits) {
  Env().WriteFile(InScratch("source.dll"), "source");
  for (const DWORD bits : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM}}) {
    Env().WriteFile(InScratch("target.dll"), "target");
    ASSERT_TRUE(ops.SetFileAttributesA(InScratch("target.dll").c_str(), bits));
    ops.SetLastError(kSentinelError);
    const BOOL copied =
        ops.CopyFileA(InScratch("source.dll").c_str(), InScratch("target.dll").c_str(), FALSE);
    // Wine overwrites them in either family.
    EXPECT_EQ(Is9xFamily() ? TRUE : TODO_WINE(FALSE, TRUE), copied) << bits;
    if (!copied) {
      EXPECT_EQ(DWORD{ERROR_ACCESS_DENIED}, ops.GetLastError());
      EXPECT_EQ("target", Env().ReadFile(InScratch("target.dll")));
    }
    ASSERT_TRUE(ops.SetFileAttributesA(InScratch("target.dll").c_str(), FILE_ATTRIBUTE_ARCHIVE));
  }
}

TEST_F(Files, DeleteReportsMissingAndBusyFiles) {
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND},
            LastErrorAfter(!ops.DeleteFileA(InScratch("HISTORY.TXT").c_str())));
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_PATH_NOT_FOUND},
            LastErrorAfter(!ops.DeleteFileA(InScratch("no folder\\HISTORY.TXT").c_str())));

  Env().WriteFile(InScratch("busy.txt"), "busy");
  Env().LockFile(InScratch("busy.txt"));
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(DWORD{ERROR_SHARING_VIOLATION},
            LastErrorAfter(!ops.DeleteFileA(InScratch("busy.txt").c_str())));
  EXPECT_EQ("busy", Env().ReadFile(InScratch("busy.txt")));
}

TEST_F(Files, AttributesOfFilesAndFolders) {
  Env().WriteFile(InScratch("file.txt"), "x");
  Env().MakeDirectory(InScratch("folder"));

  EXPECT_TRUE(ops.GetFileAttributesA(InScratch("folder").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(ops.GetFileAttributesA(InScratch("file.txt").c_str()) & FILE_ATTRIBUTE_DIRECTORY);

  // Windows stores the archive bit like any other; Wine reports every file
  // with the archive bit and keeps only the read-only one.
  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("file.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(TODO_WINE(DWORD{FILE_ATTRIBUTE_NORMAL}, DWORD{FILE_ATTRIBUTE_ARCHIVE}),
            ops.GetFileAttributesA(InScratch("file.txt").c_str()));
  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("file.txt").c_str(),
                                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
            ops.GetFileAttributesA(InScratch("file.txt").c_str()));
  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("file.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(TODO_WINE(DWORD{FILE_ATTRIBUTE_READONLY},
                      DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE}),
            ops.GetFileAttributesA(InScratch("file.txt").c_str()));
  ASSERT_TRUE(ops.SetFileAttributesA(InScratch("file.txt").c_str(), FILE_ATTRIBUTE_ARCHIVE));

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ops.GetFileAttributesA(InScratch("missing.txt").c_str()));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, ops.GetLastError());
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ops.GetFileAttributesA(InScratch("missing\\x.txt").c_str()));
  EXPECT_EQ(DWORD{ERROR_PATH_NOT_FOUND}, ops.GetLastError());
  ops.SetLastError(kSentinelError);
  EXPECT_FALSE(ops.SetFileAttributesA(InScratch("missing.txt").c_str(), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, ops.GetLastError());
}

// The existence test finds one name; whether it is a folder shows in the
// attributes it returns, so that a folder of that name can be told apart.
TEST_F(Files, FindFirstFileFindsOneNameWithItsAttributes) {
  Env().WriteFile(InScratch("WNASPI32.DLL"), "dll");
  Env().MakeDirectory(InScratch("ASPI32.SYS"));
  WIN32_FIND_DATAA data{};

  HANDLE find = ops.FindFirstFileA(InScratch("wnaspi32.dll").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_STREQ("WNASPI32.DLL", data.cFileName);
  EXPECT_FALSE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(3u, data.nFileSizeLow);
  EXPECT_TRUE(ops.FindClose(find));

  find = ops.FindFirstFileA(InScratch("ASPI32.SYS").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(ops.FindClose(find));

  ops.SetLastError(kSentinelError);
  EXPECT_EQ(INVALID_HANDLE_VALUE, ops.FindFirstFileA(InScratch("missing.dll").c_str(), &data));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, ops.GetLastError());
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            ops.FindFirstFileA(InScratch("IOSUBSYS\\APIX.VXD").c_str(), &data));
  EXPECT_EQ(DWORD{ERROR_PATH_NOT_FOUND}, ops.GetLastError());
}

// Each part of the short form is an 8.3 name, and it names the same file.
TEST_F(Files, ShortPathNamesTheSameFileInEightDotThreeParts) {
  Env().MakeDirectory(InScratch("Long Folder Name"));
  const std::string path = InScratch("Long Folder Name\\A Long File.text");
  Env().WriteFile(path, "x");
  char buffer[MAX_PATH] = {};
  const DWORD length = ops.GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
  ASSERT_TRUE(length > 0 && length < sizeof buffer);
  const std::string shortPath(buffer);
  EXPECT_EQ(length, shortPath.size());
  for (size_t start = shortPath.find('\\'); start != std::string::npos;) {
    const size_t end = shortPath.find('\\', start + 1);
    const std::string part = shortPath.substr(start + 1, end - start - 1);
    const size_t dot = part.find('.');
    EXPECT_TRUE(part.substr(0, dot).size() <= 8 && (dot == std::string::npos || part.size() - dot - 1 <= 3) &&
                part.find(' ') == std::string::npos)
        << shortPath;
    start = end;
  }
  WIN32_FIND_DATAA data{};
  HANDLE find = ops.FindFirstFileA(shortPath.c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_STREQ("A Long File.text", data.cFileName);
  EXPECT_TRUE(ops.FindClose(find));

  // Too small a buffer: the size needed, terminator included.
  EXPECT_EQ(length + 1, ops.GetShortPathNameA(path.c_str(), buffer, length));
  ops.SetLastError(kSentinelError);
  EXPECT_EQ(0u, ops.GetShortPathNameA(InScratch("missing.dll").c_str(), buffer, sizeof buffer));
  EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, ops.GetLastError());
}

TEST_F(Files, DriveTypesAndErrorMode) {
  EXPECT_EQ(UINT{DRIVE_FIXED}, ops.GetDriveTypeA("C:\\"));
  EXPECT_EQ(UINT{DRIVE_NO_ROOT_DIR}, ops.GetDriveTypeA("Q:\\"));

  const UINT original = ops.SetErrorMode(SEM_FAILCRITICALERRORS);
  EXPECT_EQ(UINT{SEM_FAILCRITICALERRORS},
            ops.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
  EXPECT_EQ(UINT{SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX}, ops.SetErrorMode(original));
}

// Both test machines use a western single-byte ANSI code page, where the
// process guard and the manual name check see every byte as a character.
TEST_F(Files, SingleByteCodePageHasNoLeadBytes) {
  for (int byte = 0; byte <= 0xFF; ++byte) {
    EXPECT_FALSE(ops.IsDBCSLeadByte(static_cast<BYTE>(byte))) << byte;
  }
}

// The media deployment finds the disc by drive type and then tests for a file
// on it; a folder of the same name must not count.
TEST_F(Files, CdromDriveAndAFileOnItsDisc) {
  EXPECT_EQ(UINT{DRIVE_CDROM}, ops.GetDriveTypeA(kCdromRoot));
  const DWORD attributes = ops.GetFileAttributesA(kCdromProbeFile);
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(kCdromProbeBytes, Env().ReadFile(kCdromProbeFile));
  const DWORD folder = ops.GetFileAttributesA("E:\\CONTRACT");
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, folder);
  EXPECT_NE(0u, folder & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(Files, DirectoriesComeWithoutTrailingBackslashAndReportTheSizeNeeded) {
  using Getter = UINT (PlatformOps::*)(char*, UINT);
  for (Getter get : {&PlatformOps::GetWindowsDirectoryA, &PlatformOps::GetSystemDirectoryA}) {
    char buffer[261] = {};
    const UINT length = (ops.*get)(buffer, sizeof buffer);
    ASSERT_GT(length, 3u);
    EXPECT_EQ(length, std::strlen(buffer));
    EXPECT_NE('\\', buffer[length - 1]);
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(length + 1, (ops.*get)(small, sizeof small));
  }
}

TEST_F(Files, ModuleFileNameIsCutToTheBufferWithoutTerminator) {
  char full[261] = {};
  const DWORD length = ops.GetModuleFileNameA(nullptr, full, sizeof full);
  ASSERT_GT(length, 8u);
  EXPECT_EQ(length, std::strlen(full));

  char cut[8];
  std::memset(cut, '#', sizeof cut);
  const DWORD copied = ops.GetModuleFileNameA(nullptr, cut, 6);
  // Windows XP copies as many characters as fit and no terminator.
  EXPECT_EQ(6u, copied);
  EXPECT_EQ(std::string(full, 6), std::string(cut, 6));
  EXPECT_EQ('#', cut[6]);
}

}  // namespace
}  // namespace korvanta::contract
