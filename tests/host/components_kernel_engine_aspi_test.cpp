// The 9x real-time kernel, the audio engine and the ASPI layer on the
// simulated machine: exact call order and the paths Wine cannot show (failed
// staged copies, a failed Wininit.ini write, values left by earlier runs).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "components/aspi_layer.h"
#include "components/audio_engine.h"
#include "components/kernel_9x.h"
#include "install/run.h"
#include "platform/sim/sim_machine.h"
#include "toolkit/platform.h"

namespace korvanta {
namespace {

using sim::Fault;
using sim::RegistryValue;
using sim::SimMachine;
using Renames = std::vector<std::pair<std::string, std::string>>;  // (target, staged)

constexpr char Src[] = "C:\\setup\\";
constexpr char Win[] = "C:\\WINDOWS";
constexpr char Sys9x[] = "C:\\WINDOWS\\SYSTEM";
constexpr char SysNt[] = "C:\\WINDOWS\\system32";
constexpr char SystemIni[] = "C:\\WINDOWS\\SYSTEM.INI";

RegistryValue Sz(const std::string& text) { return {REG_SZ, text + '\0'}; }
RegistryValue Bytes(DWORD type, const std::string& bytes) { return {type, bytes}; }

std::string FirstQuoted(const std::string& call) {
  const size_t open = call.find('"');
  return call.substr(open + 1, call.find('"', open + 1) - open - 1);
}

// Every value set, in order, as "key : name" with what it holds now.
std::vector<std::pair<std::string, RegistryValue>> ValuesWritten(const SimMachine& machine) {
  std::vector<std::pair<std::string, RegistryValue>> written;
  std::string key;
  for (const std::string& call : machine.Calls()) {
    if (call.rfind("RegCreateKeyExA(HKEY_LOCAL_MACHINE, ", 0) == 0) key = FirstQuoted(call);
    if (call.rfind("RegSetValueExA(", 0) != 0) continue;
    const std::string name = FirstQuoted(call);
    written.emplace_back(
        key + " : " + name,
        machine.GetRegistryValue(HKEY_LOCAL_MACHINE, key, name).value_or(RegistryValue{}));
  }
  return written;
}

// The replacements scheduled for the next restart, in order: Wininit.ini's
// [RENAME] entries on 9x, the delayed moves on NT.
Renames Scheduled(const SimMachine& machine, bool is9x) {
  Renames renames;
  if (!is9x) {
    for (const auto& [source, target] : machine.PendingRenames())
      renames.emplace_back(target, source);
    return renames;
  }
  const std::string text = machine.ReadFile("C:\\WINDOWS\\WININIT.INI").value_or("");
  size_t at = text.find("[RENAME]\r\n");
  if (at == std::string::npos) return renames;
  for (at += 10; at < text.size() && text[at] != '[';) {
    const size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    renames.emplace_back(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
    at = end + 2;
  }
  return renames;
}

SimMachine& Family(SimMachine& machine, bool is9x) {
  machine.SetPlatform(is9x ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT, is9x ? 4 : 5);
  machine.SetSystemDirectory(is9x ? Sys9x : SysNt);
  return machine;
}

// ---- the 9x real-time kernel ------------------------------------------------------

struct KernelValue {
  const char* where;
  RegistryValue value;
};
const std::string ClassKey = "System\\CurrentControlSet\\Services\\Class\\REALTIME";
const std::string DriverKey = ClassKey + "\\RUND";
const std::string InstanceKey = "Enum\\Root\\REALTIME\\RUND";
const std::vector<std::pair<std::string, RegistryValue>> KernelValues = {
    {ClassKey + " : ", Sz("Korvanta AudioEngine")},
    {DriverKey + " : Icon", Sz("0")},
    {DriverKey + " : DevLoader", Sz("*CONFIGMG")},
    {DriverKey + " : PortName", Sz("RUNDAVEK")},
    {DriverKey + " : DeviceDriver", Sz("RUNDAVEK.VXD")},
    {DriverKey + " : DeviceDesc", Sz("Korvanta RealTime Audio Kernel")},
    {DriverKey + " : DriverDesc", Sz("Korvanta RealTime Audio Kernel")},
    {DriverKey + " : InfPath", Sz("RUNDAVEK.INF")},
    {DriverKey + " : InfSection", Sz("RUNDAVEK")},
    {DriverKey + " : ProviderName", Sz("Korvanta GmbH")},
    {InstanceKey + " : Class", Sz("REALTIME")},
    {InstanceKey + " : Driver", Sz("REALTIME\\RUND")},
    {InstanceKey + " : Mfg", Sz("Korvanta GmbH")},
    {InstanceKey + " : DeviceDesc", Sz("Korvanta RealTime Audio Kernel")},
    {InstanceKey + " : ConfigFlags", Bytes(REG_BINARY, std::string(4, '\0'))},
    {InstanceKey + " : Capabilities", Bytes(REG_BINARY, std::string("\x14\0\0\0", 4))},
};

// The INF's copy failing is reported, and the System.ini clean-up and all 16
// values still follow, in that order.
TEST(Kernel9xTest, FailedInfCopyIsReportedAndTheCleanUpAndValuesFollow) {
  SimMachine machine;
  Family(machine, true);
  for (const char* name : {"RUNDAVEK.VXD", "TALMUREN.DLL", "RUNDAVEK.INF"}) {
    machine.AddFile(Src + std::string(name), name);
  }
  machine.AddFile(SystemIni, "[386Enh]\r\ndevice=rundavek.vxd\r\n");
  machine.AddFault(Fault{"CopyFileA", ERROR_ACCESS_DENIED, "RUNDAVEK.INF"});
  machine.ClearCalls();
  InstallKernel9x({machine, VER_PLATFORM_WIN32_WINDOWS}, Src, Win, Sys9x);

  ASSERT_EQ(machine.MessageBoxes().size(), 1u);
  EXPECT_EQ(machine.MessageBoxes()[0].text, "Unable to copy \"RUNDAVEK.INF\" to INF directory !");
  EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\SYSTEM\\RUNDAVEK.VXD"), "RUNDAVEK.VXD");
  EXPECT_EQ(machine.ReadFile("C:\\WINDOWS\\SYSTEM\\TALMUREN.DLL"), "TALMUREN.DLL");
  EXPECT_EQ(machine.ReadFile(SystemIni), "[386Enh]\r\n;evice=rundavek.vxd\r\n");
  EXPECT_EQ(ValuesWritten(machine), KernelValues);

  // The section is rewritten before the first value.
  std::vector<std::string> order;
  for (const std::string& call : machine.Calls()) {
    for (const char* op : {"CopyFileA", "WritePrivateProfileSectionA", "RegSetValueExA"}) {
      if (call.rfind(op, 0) == 0 && (order.empty() || order.back() != op)) order.push_back(op);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"CopyFileA", "WritePrivateProfileSectionA",
                                             "RegSetValueExA"}));
}

// ---- the audio engine ---------------------------------------------------------------

const std::string RunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string SettingsKey = "Software\\Korvanta\\RUNDAVEK";
const std::string ConfigBytes("\x0f\x14\xd2\xe1\x44\x90\x11\xd5\x91\x59\x00\xd0\xc3\x00\x18\xcc",
                              16);

// Which staged copies succeed decides what is scheduled and written: the
// library alone writes no value, the program alone everything.
TEST(AudioEngineTest, EachStagedCopyAloneSchedulesItsOwnReplacement) {
  const struct {
    bool library, program;
  } cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
  for (const bool is9x : {true, false}) {
    const std::string sys = std::string(is9x ? Sys9x : SysNt) + "\\";
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(is9x ? "9x" : "NT") + " library " + std::to_string(c.library) +
                   " program " + std::to_string(c.program));
      SimMachine machine;
      Family(machine, is9x);
      if (c.library) machine.AddFile(Src + std::string("RUNDAVEK.DLL"), "library");
      if (c.program) machine.AddFile(Src + std::string("RUNDAVEK.EXE"), "program");
      machine.ClearCalls();
      InstallAudioEngine({machine, is9x ? 1u : 2u}, Src, Win, sys);

      Renames expected;
      if (c.library) expected.emplace_back(sys + "RUNDAVEK.DLL", sys + "RUNDAVEK.DL");
      if (c.program) expected.emplace_back(sys + "RUNDAVEK.EXE", sys + "RUNDAVEK.EX");
      EXPECT_EQ(Scheduled(machine, is9x), expected);
      EXPECT_EQ(machine.ReadFile(sys + "RUNDAVEK.DL").value_or("-"), c.library ? "library" : "-");
      EXPECT_EQ(machine.ReadFile(sys + "RUNDAVEK.EX").value_or("-"), c.program ? "program" : "-");
      EXPECT_TRUE(machine.MessageBoxes().empty());

      std::vector<std::pair<std::string, RegistryValue>> values;
      if (c.program) {
        values = {{RunKey + " : Realtime Audio Engine",
                   Sz(is9x ? "rundavek.exe" : "\"rundavek.exe\" /b")},
                  {SettingsKey + " : Enabled", Bytes(REG_DWORD, std::string("\1\0\0\0", 4))},
                  {SettingsKey + " : Config", Bytes(REG_BINARY, ConfigBytes)}};
      }
      EXPECT_EQ(ValuesWritten(machine), values);
      EXPECT_EQ(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, SettingsKey), c.program);
    }
  }
}

// A staged file held open by another program makes its copy fail: nothing
// is scheduled for it, and for the program no value is written. One that a
// stopped run left read-only is replaced.
TEST(AudioEngineTest, FailedStagedCopySchedulesNothing) {
  SimMachine machine;
  Family(machine, false);
  machine.AddFile(Src + std::string("RUNDAVEK.DLL"), "library");
  machine.AddFile(Src + std::string("RUNDAVEK.EXE"), "program");
  machine.AddFile(std::string(SysNt) + "\\RUNDAVEK.DL", "old", FILE_ATTRIBUTE_READONLY);
  machine.AddFile(std::string(SysNt) + "\\RUNDAVEK.EX", "old");
  machine.LockFile(std::string(SysNt) + "\\RUNDAVEK.EX");
  InstallAudioEngine({machine, 2}, Src, Win, SysNt);
  EXPECT_EQ(
      Scheduled(machine, false),
      (Renames{{std::string(SysNt) + "\\RUNDAVEK.DLL", std::string(SysNt) + "\\RUNDAVEK.DL"}}));
  EXPECT_EQ(machine.ReadFile(std::string(SysNt) + "\\RUNDAVEK.DL"), "library");
  EXPECT_FALSE(machine.RegistryKeyExists(HKEY_LOCAL_MACHINE, SettingsKey));
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST(AudioEngineTest, ExistingConfigOfAnyTypeStaysAndEnabledIsSetOverZero) {
  for (const RegistryValue& old : {Bytes(REG_DWORD, std::string(4, '\0')), Sz(""),
                                   Bytes(REG_BINARY, "\x01\x02"), Bytes(REG_NONE, "")}) {
    SimMachine machine;
    machine.AddFile(Src + std::string("RUNDAVEK.EXE"), "program");
    machine.SetRegistryValue(HKEY_LOCAL_MACHINE, SettingsKey, "Config", old);
    machine.SetRegistryValue(HKEY_LOCAL_MACHINE, SettingsKey, "Enabled",
                             Bytes(REG_DWORD, std::string(4, '\0')));
    InstallAudioEngine({machine, 2}, Src, Win, SysNt);
    EXPECT_EQ(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, SettingsKey, "Config"), old) << old.type;
    EXPECT_EQ(machine.GetRegistryValue(HKEY_LOCAL_MACHINE, SettingsKey, "Enabled"),
              Bytes(REG_DWORD, std::string("\1\0\0\0", 4)));
  }
}

// ---- the ASPI layer -----------------------------------------------------------------

// An ASPI layer already there (a directory of that name does not count) ends
// the installer after its one existence test.
TEST(AspiLayerTest, PresentLayerIsLeftAloneAfterTheExistenceTest) {
  for (const bool is9x : {true, false}) {
    for (const bool asDirectory : {false, true}) {
      SimMachine machine;
      Family(machine, is9x);
      const std::string present =
          std::string(is9x ? Sys9x : SysNt) + (is9x ? "\\WNASPI32.DLL" : "\\Drivers\\ASPI32.SYS");
      if (asDirectory)
        machine.AddDirectory(present);
      else
        machine.AddFile(present, "old layer");
      for (const char* name : {"WNASPI32.9x", "WNASPI32.NT"})
        machine.AddFile(Src + std::string(name), name);
      machine.ClearCalls();
      InstallAspiLayer({machine, is9x ? 1u : 2u}, Src, Win, is9x ? Sys9x : SysNt);
      if (asDirectory) {
        EXPECT_FALSE(machine.CallsTo("CopyFileA").empty());
        continue;
      }
      EXPECT_EQ(machine.Calls(),
                std::vector<std::string>{"GetFileAttributesA(\"" + present + "\")"});
    }
  }
}

// The values come first, whatever the copies do; only rows whose staged copy
// succeeds get their pair of replacements, backup first, with the file the
// presence test looks for last. A backup that exists already is not
// replaced. Folders given with or without their backslash give the same
// paths.
TEST(AspiLayerTest, RowsThatCopiedGetBackupThenInstallAndValuesAlwaysFollow) {
  {
    SimMachine machine;
    Family(machine, true);
    const std::string s = std::string(Sys9x) + "\\";
    for (const char* name : {"WNASPI32.9x", "ASPIENUM.9x", "APIX.9x"})
      machine.AddFile(Src + std::string(name), name);
    machine.AddFile(s + "ASPIENUM.9x", "left by a stopped run, read-only",
                    FILE_ATTRIBUTE_READONLY);
    // No IOSUBSYS folder: APIX fails and the folder is not created.
    InstallAspiLayer({machine, 1}, "C:\\setup", "C:\\WINDOWS\\", s);
    EXPECT_EQ(Scheduled(machine, true), (Renames{{s + "ASPIENUM.OLD", s + "ASPIENUM.VXD"},
                                                 {s + "ASPIENUM.VXD", s + "ASPIENUM.9x"},
                                                 {s + "WNASPI32.OLD", s + "WNASPI32.DLL"},
                                                 {s + "WNASPI32.DLL", s + "WNASPI32.9x"}}));
    EXPECT_EQ(machine.ReadFile(s + "ASPIENUM.9x"), "ASPIENUM.9x");
    const std::vector<std::string> calls = machine.Calls();
    const auto first = [&](const char* operation) {
      return std::find_if(calls.begin(), calls.end(), [&](const std::string& call) {
        return call.rfind(operation, 0) == 0;
      });
    };
    EXPECT_LT(first("RegSetValueExA"), first("CopyFileA"));
    EXPECT_FALSE(machine.DirectoryExists(s + "IOSUBSYS"));
    // The values themselves are checked byte for byte under Wine.
    EXPECT_EQ(machine.CallsTo("RegSetValueExA").size(), 3u);
  }
  {
    SimMachine machine;
    Family(machine, false);
    const std::string s = std::string(SysNt) + "\\", w = std::string(Win) + "\\";
    for (const char* name : {"ASPI32.NT", "WINASPI.NT", "WOWPOST.NT"})
      machine.AddFile(Src + std::string(name), name);
    machine.AddFile(s + "Drivers\\ASPI32.NT", "stale staged copy");
    machine.AddFile(w + "SYSTEM\\WINASPI.OLD", "set aside before");
    InstallAspiLayer({machine, 2}, Src, Win, SysNt);
    EXPECT_EQ(Scheduled(machine, false),
              (Renames{{w + "SYSTEM\\WINASPI.DLL", w + "SYSTEM\\WINASPI.NT"},
                       {w + "SYSTEM\\WOWPOST.OLD", w + "SYSTEM\\WOWPOST.EXE"},
                       {w + "SYSTEM\\WOWPOST.EXE", w + "SYSTEM\\WOWPOST.NT"},
                       {s + "Drivers\\ASPI32.OLD", s + "Drivers\\ASPI32.SYS"},
                       {s + "Drivers\\ASPI32.SYS", s + "Drivers\\ASPI32.NT"}}));
    EXPECT_EQ(machine.ReadFile(s + "Drivers\\ASPI32.NT"), "ASPI32.NT");
    EXPECT_EQ(machine.CallsTo("RegSetValueExA").size(), 6u);
    EXPECT_TRUE(machine.MessageBoxes().empty());
  }
}

// ---- the run ------------------------------------------------------------------------

// Wininit.ini refusing the ASPI layer's third entry ends the run: the error
// box names the file, and neither the layer's later rows nor any later stage
// happen; its values, written first, stand.
TEST(StagedInstallersRunTest, FailedWininitWriteEndsTheRunWithTheErrorBox) {
  SimMachine machine;
  Family(machine, true);
  for (const char* name : {"WNASPI32.9x", "WINASPI.9x", "ASPIENUM.9x", "RUNDAVEK.VXD",
                           "RUNDAVEK.INF", "RUNDAVEK.DLL", "RUNDAVEK.EXE", "PX_USB.INF"}) {
    machine.AddFile(Src + std::string(name), name);
  }
  machine.AddFault(Fault{"WritePrivateProfileStringA", ERROR_ACCESS_DENIED, "\"RENAME\"", 3});
  EXPECT_EQ(InstallerMain(machine), 1);

  ASSERT_EQ(machine.MessageBoxes().size(), 1u);
  EXPECT_EQ(machine.MessageBoxes()[0].caption, "Application Error");
  const std::string& text = machine.MessageBoxes()[0].text;
  EXPECT_EQ(text.substr(text.find('\n')), "\nUnable to write to Wininit.ini.");
  const std::vector<std::string> copies = machine.CallsTo("CopyFileA");
  ASSERT_FALSE(copies.empty());
  EXPECT_NE(copies.back().find("ASPIENUM.9x"), std::string::npos) << copies.back();
  EXPECT_EQ(machine.CallsTo("RegSetValueExA").size(), 3u);
  EXPECT_TRUE(machine.CallsTo("WritePrivateProfileSectionA").empty());
  EXPECT_FALSE(machine.FileExists("C:\\WINDOWS\\INF\\PX_USB.INF"));
  EXPECT_EQ(Scheduled(machine, true),
            (Renames{{"C:\\WINDOWS\\SYSTEM\\WINASPI.OLD", "C:\\WINDOWS\\SYSTEM\\WINASPI.DLL"},
                     {"C:\\WINDOWS\\SYSTEM\\WINASPI.DLL", "C:\\WINDOWS\\SYSTEM\\WINASPI.9x"}}));
  EXPECT_EQ(machine.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace korvanta
