// Profile files: single values, the write failure, and the rewrite of a
// section that disables a driver's device entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "toolkit/error.h"
#include "toolkit/profile_file.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::SimMachine;

constexpr char SystemIniPath[] = "C:\\WINDOWS\\SYSTEM.INI";

// A section buffer as GetPrivateProfileSectionA fills it: each entry
// zero-terminated, then the empty entry, then zero padding.
std::vector<char> SectionBuffer(const std::vector<std::string>& entries, size_t padding = 16) {
  std::vector<char> buffer;
  for (const std::string& entry : entries) {
    buffer.insert(buffer.end(), entry.begin(), entry.end());
    buffer.push_back('\0');
  }
  buffer.push_back('\0');
  buffer.resize(buffer.size() + padding, '\0');
  return buffer;
}

std::string Text(const std::vector<char>& buffer) { return std::string(buffer.begin(), buffer.end()); }

TEST(ProfileFileTest, WriteValueHandsTheFourStringsToTheSystemAsGiven) {
  SimMachine machine;
  machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  machine.AddFile(SystemIniPath, "[VCache]\r\nchunksize=512\r\n");
  ProfileFile writer(machine, "System.ini");
  writer.WriteValue("VCache", "MinFileCache", "20480");
  // An empty value is an empty string, never a null pointer that would delete
  // the key.
  writer.WriteValue("VCache", "chunksize", "");

  EXPECT_EQ(machine.CallsTo("WritePrivateProfileStringA"),
            (std::vector<std::string>{
                "WritePrivateProfileStringA(\"VCache\", \"MinFileCache\", \"20480\", \"System.ini\")",
                "WritePrivateProfileStringA(NULL, NULL, NULL, \"System.ini\")",
                "WritePrivateProfileStringA(\"VCache\", \"chunksize\", \"\", \"System.ini\")",
                "WritePrivateProfileStringA(NULL, NULL, NULL, \"System.ini\")"}));
  const std::string content = machine.ReadFile(SystemIniPath).value_or("");
  EXPECT_NE(content.find("MinFileCache=20480"), std::string::npos) << content;
  EXPECT_NE(content.find("chunksize="), std::string::npos) << content;
}

// The message names the file exactly as the caller passed it, never its full
// path or another spelling.
TEST(ProfileFileTest, FailedWriteRaisesTheErrorNamingTheFileAsPassed) {
  for (const std::string name : {"Wininit.ini", "SYSTEM.INI", "wInInIt.InI"}) {
    SimMachine machine;
    machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_ACCESS_DENIED, ""});
    ProfileFile writer(machine, name);
    try {
      writer.WriteValue("RENAME", "C:\\WINDOWS\\SYSTEM\\A.DLL", "C:\\WINDOWS\\SYSTEM\\A.DL");
      ADD_FAILURE() << "no error raised for " << name;
    } catch (const InstallerException& error) {
      EXPECT_EQ(error.TypeName(), "Exception");
      EXPECT_EQ(error.Message(), "Unable to write to " + name);
    }
    EXPECT_EQ(machine.CallsTo("WritePrivateProfileStringA").size(), 1u) << "a failed write is retried";
  }
}

TEST(CommentOutDeviceLinesTest, DisablesEveryExactEntryAndNothingElse) {
  const std::vector<std::string> entries = {
      "device=rundavek.vxd",       // disabled
      "device=*vpicd",
      "DEVICE=rundavek.vxd",       // key in capitals
      "device=RUNDAVEK.VXD",       // driver in capitals
      "device = rundavek.vxd",     // blanks around the equals sign
      "device=rundavek.vxd ",      // trailing blank
      " device=rundavek.vxd",      // leading blank
      "device=C:\\WINDOWS\\SYSTEM\\rundavek.vxd",
      "device=rundavek.vxd.old",
      "xdevice=rundavek.vxd",
      ";evice=rundavek.vxd",       // already disabled
      "device=rundavek.vx",
      "device=rundavek.vxd",       // disabled: every match, not just the first
  };
  std::vector<char> buffer = SectionBuffer(entries);
  EXPECT_TRUE(CommentOutDeviceLines(buffer, "rundavek.vxd"));

  std::vector<std::string> expected = entries;
  expected.front()[0] = ';';
  expected.back()[0] = ';';
  EXPECT_EQ(Text(buffer), Text(SectionBuffer(expected)));

  // A second pass finds nothing left to disable and says so.
  EXPECT_FALSE(CommentOutDeviceLines(buffer, "rundavek.vxd"));
  EXPECT_EQ(Text(buffer), Text(SectionBuffer(expected)));
}

// A buffer whose last entry is cut off by its end (no terminator, no closing
// empty entry) must not be read past its end; AddressSanitizer watches the
// exact-size heap block.
TEST(CommentOutDeviceLinesTest, UnterminatedBufferIsNotReadPastItsEnd) {
  const std::string raw = std::string("device=rundavek.vxd") + '\0' + "device=rundavek.vxd";
  std::vector<char> buffer(raw.begin(), raw.end());
  CommentOutDeviceLines(buffer, "rundavek.vxd");
  EXPECT_EQ(Text(buffer), std::string(";evice=rundavek.vxd") + '\0' + "device=rundavek.vxd");
}

class DisableDeviceEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { machine.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10); }
  std::string SystemIni() const { return machine.ReadFile(SystemIniPath).value_or("<missing>"); }
  SimMachine machine;
};

TEST_F(DisableDeviceEntryTest, FlushesReadsThenWritesTheSectionBackWithTheEntryDisabled) {
  machine.AddFile(SystemIniPath,
                  "[boot]\r\nshell=Explorer.exe\r\n"
                  "[386Enh]\r\ndevice=*vpicd\r\ndevice=rundavek.vxd\r\nEMMExclude=A000-AFFF\r\n"
                  "device=rundavek.vxd\r\n"
                  "[VCache]\r\nMinFileCache=1024\r\n");
  DisableDeviceEntry(machine, "SYSTEM.INI", "386Enh", "rundavek.vxd");

  const std::vector<std::string>& calls = machine.Calls();
  std::vector<std::string> profileCalls;
  for (const std::string& call : calls) {
    if (call.find("PrivateProfile") != std::string::npos) profileCalls.push_back(call);
  }
  ASSERT_EQ(profileCalls.size(), 4u);
  EXPECT_EQ(profileCalls[0], "WritePrivateProfileStringA(NULL, NULL, NULL, \"SYSTEM.INI\")");
  EXPECT_EQ(profileCalls[1].rfind("GetPrivateProfileSectionA(\"386Enh\", ", 0), 0u) << profileCalls[1];
  EXPECT_NE(profileCalls[1].find(", 8192, \"SYSTEM.INI\")"), std::string::npos) << profileCalls[1];
  EXPECT_EQ(profileCalls[2].rfind("WritePrivateProfileSectionA(\"386Enh\", ", 0), 0u) << profileCalls[2];
  EXPECT_NE(profileCalls[2].find("\"SYSTEM.INI\")"), std::string::npos) << profileCalls[2];
  // Written to disk at once: the 9x family would lose it at a power loss.
  EXPECT_EQ(profileCalls[3], profileCalls[0]);

  EXPECT_EQ(SystemIni(),
            "[boot]\r\nshell=Explorer.exe\r\n"
            "[386Enh]\r\ndevice=*vpicd\r\n;evice=rundavek.vxd\r\nEMMExclude=A000-AFFF\r\n"
            ";evice=rundavek.vxd\r\n"
            "[VCache]\r\nMinFileCache=1024\r\n");
}

// Nothing to disable leaves the file as it is: the read leaves comments out,
// and a failed read looks like an empty section, so writing back would lose
// lines. The flush before the read still happens.
TEST_F(DisableDeviceEntryTest, NothingToDisableLeavesTheFileUntouched) {
  const struct {
    const char* name;
    std::string content;
    bool readFails;
  } cases[] = {
      {"no match", "[386Enh]\r\n; keep me\r\ndevice=*vpicd\r\nDEVICE=RUNDAVEK.VXD\r\n", false},
      {"already disabled", "[386Enh]\r\n;evice=rundavek.vxd\r\n; comment\r\ndevice=*vpicd\r\n", false},
      {"missing section", "[boot]\r\nshell=Explorer.exe\r\n", false},
      {"empty section", "[386Enh]\r\n[boot]\r\nshell=Explorer.exe\r\n", false},
      {"failed read", "[386Enh]\r\ndevice=*vpicd\r\ndevice=rundavek.vxd\r\n", true},
  };
  for (const auto& c : cases) {
    SimMachine fresh;
    fresh.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    fresh.AddFile(SystemIniPath, c.content);
    if (c.readFails) fresh.AddFault(Fault{"GetPrivateProfileSectionA", ERROR_ACCESS_DENIED, ""});
    DisableDeviceEntry(fresh, "SYSTEM.INI", "386Enh", "rundavek.vxd");
    EXPECT_EQ(fresh.CallsTo("WritePrivateProfileStringA"),
              std::vector<std::string>{"WritePrivateProfileStringA(NULL, NULL, NULL, \"SYSTEM.INI\")"})
        << c.name;
    EXPECT_EQ(fresh.CallsTo("GetPrivateProfileSectionA").size(), 1u) << c.name;
    EXPECT_TRUE(fresh.CallsTo("WritePrivateProfileSectionA").empty()) << c.name;
    EXPECT_EQ(fresh.ReadFile(SystemIniPath).value_or("<missing>"), c.content) << c.name;
  }
}

// Sections that end just below, at and just above the first buffer's size:
// whatever the size, every entry survives and the device entry at the end is
// disabled.
TEST_F(DisableDeviceEntryTest, SectionsAroundTheFirstBufferSizeKeepEveryEntry) {
  const std::string device = "device=rundavek.vxd";
  for (size_t total = 8180; total <= 8200; ++total) {
    // The section as read: "a=<filler>\0" + device + "\0" + "\0".
    const size_t fillerLength = total - (2 + 1 + device.size() + 1 + 1);
    const std::string filler(fillerLength, 'x');
    SimMachine sized;
    sized.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    sized.AddFile(SystemIniPath, "[386Enh]\r\na=" + filler + "\r\n" + device + "\r\n[x]\r\ny=1\r\n");
    DisableDeviceEntry(sized, "SYSTEM.INI", "386Enh", "rundavek.vxd");
    EXPECT_EQ(sized.ReadFile(SystemIniPath).value_or(""),
              "[386Enh]\r\na=" + filler + "\r\n;evice=rundavek.vxd\r\n[x]\r\ny=1\r\n")
        << "section of " << total << " bytes";
  }
}

TEST_F(DisableDeviceEntryTest, LargeSectionIsReadWholeWithLargerBuffers) {
  std::string section;
  for (int i = 0; i < 3000; ++i) section += "key" + std::to_string(i) + "=value\r\n";
  ASSERT_GT(section.size(), 3u * 8192);
  machine.AddFile(SystemIniPath, "[386Enh]\r\n" + section + "device=rundavek.vxd\r\n");
  DisableDeviceEntry(machine, "SYSTEM.INI", "386Enh", "rundavek.vxd");

  EXPECT_EQ(SystemIni(), "[386Enh]\r\n" + section + ";evice=rundavek.vxd\r\n");
  const std::vector<std::string> reads = machine.CallsTo("GetPrivateProfileSectionA");
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_NE(reads[0].find(", 8192, "), std::string::npos) << reads[0];
  EXPECT_NE(reads[1].find(", 16384, "), std::string::npos) << reads[1];
  EXPECT_NE(reads[2].find(", 32768, "), std::string::npos) << reads[2];
  EXPECT_NE(reads[3].find(", 65536, "), std::string::npos) << reads[3];
}

// Too large even for the largest buffer: nothing is written back, so no entry
// beyond the buffer is lost and the device entry stays as it was.
TEST_F(DisableDeviceEntryTest, SectionLargerThanOneMebibyteLeavesTheFileUntouched) {
  std::string section;
  section.reserve(1200 * 1024);
  for (int i = 0; section.size() < 1100 * 1024; ++i) {
    section += "key" + std::to_string(i) + "=" + std::string(40, 'v') + "\r\n";
  }
  const std::string content = "[386Enh]\r\ndevice=rundavek.vxd\r\n" + section + "[x]\r\ny=1\r\n";
  machine.AddFile(SystemIniPath, content);
  DisableDeviceEntry(machine, "SYSTEM.INI", "386Enh", "rundavek.vxd");

  EXPECT_TRUE(machine.CallsTo("WritePrivateProfileSectionA").empty());
  EXPECT_EQ(SystemIni(), content);
  const std::vector<std::string> reads = machine.CallsTo("GetPrivateProfileSectionA");
  ASSERT_FALSE(reads.empty());
  EXPECT_NE(reads.back().find(", 1048576, "), std::string::npos) << reads.back();
}

// The text edits behind Wininit.ini's NUL= lines and the kernel's System.ini
// line: where a line goes in, and which lines go out.
TEST(SectionTextTest, LinesGoAtTheEndOfTheirSectionAndOnlyExactLinesGoOut) {
  struct Row {
    const char* text;
    const char* expected;
  };
  const Row added[] = {
      {"", "[RENAME]\r\nNUL=C:\\A\r\n"},
      {"[x]\r\ny=1", "[x]\r\ny=1\r\n[RENAME]\r\nNUL=C:\\A\r\n"},
      {"[rename]\r\nC:\\B=C:\\C\r\n\r\n[x]\r\ny=1\r\n",
       "[rename]\r\nC:\\B=C:\\C\r\nNUL=C:\\A\r\n\r\n[x]\r\ny=1\r\n"},
      {"[ Rename ]\r\n[x]\r\n", "[ Rename ]\r\nNUL=C:\\A\r\n[x]\r\n"},
      {"[rename]\nC:\\B=C:\\C", "[rename]\nC:\\B=C:\\C\r\nNUL=C:\\A\r\n"},
  };
  for (const Row& row : added) {
    EXPECT_EQ(AddSectionLines(row.text, "RENAME", {"NUL=C:\\A"}), row.expected) << row.text;
  }
  EXPECT_EQ(SectionEntries("[rename]\r\n; note\r\nNUL=C:\\A\r\n[x]\r\nNUL=C:\\B\r\n", "RENAME"),
            std::vector<std::string>{"NUL=C:\\A"});

  std::string text =
      "[386Enh]\r\n;evice=rundavek.vxd\r\ndevice=*vpicd\r\n ;evice=rundavek.vxd \r\n"
      ";evice=rundavek.vxd.bak\r\n[other]\r\n;evice=rundavek.vxd\r\n";
  EXPECT_TRUE(DropSectionLines(text, "386enh", ";evice=rundavek.vxd"));
  EXPECT_EQ(text, "[386Enh]\r\ndevice=*vpicd\r\n;evice=rundavek.vxd.bak\r\n[other]\r\n"
                  ";evice=rundavek.vxd\r\n");
  EXPECT_FALSE(DropSectionLines(text, "386Enh", ";evice=rundavek.vxd"));
}

}  // namespace
}  // namespace korvanta
