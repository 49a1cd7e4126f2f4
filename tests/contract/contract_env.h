// The environment a platform contract test runs in. The same test source is
// built twice: against the simulated machine on the host (env_sim.cpp) and
// against the real Win32 operations under Wine (env_win32.cpp). A test does its
// work through Ops() and uses the helpers below only to set the scene and to
// look at the result by other means than the operations under test.
//
// Conventions:
// - Scratch() is a folder of the test's own, empty at the start of the test,
//   given as a full path without a trailing backslash. A pair of restart tests
//   (<Name>BeforeRestart, <Name>AfterRestart) shares one scratch folder and one
//   registry scratch key, and the AfterRestart half finds them as the restart
//   left them.
// - ScratchKey() is the path of a key below HKEY_CURRENT_USER, made of
//   "Software\\KorvantaContract" and "<Suite>.<Name>", missing at the start of
//   the test.
// - Where Wine is known to differ from Windows, a test expects the Windows
//   result on the simulated machine and Wine's result under Wine, marked with
//   TODO_WINE in the manner of Wine's own todo_wine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/platform_ops.h"

namespace korvanta::contract {

class ContractEnv {
 public:
  virtual ~ContractEnv() = default;

  virtual PlatformOps& Ops() = 0;
  // The Windows family of the machine: 1 for the 9x family, 2 for NT.
  virtual DWORD PlatformId() = 0;
  // True under Wine, where the known differences from Windows apply.
  virtual bool IsWine() = 0;

  virtual std::string Scratch() = 0;
  virtual std::string ScratchKey() = 0;

  // Files, written and read by other means than the operations under test.
  virtual void WriteFile(const std::string& path, const std::string& bytes) = 0;
  virtual std::optional<std::string> ReadFile(const std::string& path) = 0;
  virtual void MakeDirectory(const std::string& path) = 0;
  // Holds the file open for reading with FILE_SHARE_READ only, as another
  // program would, until the end of the test.
  virtual void LockFile(const std::string& path) = 0;
  // A variable of this process's environment.
  virtual void SetEnvironmentVariable(const std::string& name, const std::string& value) = 0;

  // Starts a program that stays alive until the end of the test; it runs from
  // Scratch() + "\\" + exeName and appears in the process list under that name.
  // Returns its process id.
  virtual DWORD StartProcess(const std::string& exeName) = 0;

  // Restart pairs. On the simulated machine, whose state lives only as long as
  // one test, the AfterRestart half repeats the BeforeRestart steps and then
  // restarts the machine itself. Under Wine the steps were made in an earlier
  // run and the runner restarted the prefix between the two runs, so the
  // AfterRestart half only checks.
  virtual bool CanRestart() = 0;
  virtual void Restart() = 0;
};

// The environment of this build, set up afresh for each test.
ContractEnv& Env();

}  // namespace korvanta::contract

// Marks an expectation on which Wine is known to give another result than
// Windows: `windows` holds on the simulated machine, `wine` under Wine.
#define TODO_WINE(windows, wine) (::korvanta::contract::Env().IsWine() ? (wine) : (windows))

namespace korvanta::contract {

// A last-error value no operation sets, put in place before a call whose
// failure code is checked, so that a stale code cannot pass for a fresh one.
inline constexpr DWORD kSentinelError = 0xC0DE0001;

// "<Suite>.<Name>" of the running test.
inline std::string TestName() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(test->test_suite_name()) + "." + test->name();
}

inline bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The test's name without the suffix of a restart pair's half, so that both
// halves share their scratch folder and key.
inline std::string ScratchName() {
  std::string name = TestName();
  for (const std::string suffix : {"BeforeRestart", "AfterRestart"}) {
    if (EndsWith(name, suffix)) name.erase(name.size() - suffix.size());
  }
  return name;
}

// Env() of an environment type: one environment per test, made when the test
// first asks for it and dropped when the next test does.
template <class Environment>
ContractEnv& EnvironmentOfThisTest() {
  static std::unique_ptr<Environment> env;
  static const ::testing::TestInfo* owner = nullptr;
  const ::testing::TestInfo* current = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!env || owner != current) {
    env.reset();
    env = std::make_unique<Environment>();
    owner = current;
  }
  return *env;
}

// A name inside the test's scratch folder.
inline std::string InScratch(const std::string& name) { return Env().Scratch() + "\\" + name; }

inline bool Is9xFamily() { return Env().PlatformId() == VER_PLATFORM_WIN32_WINDOWS; }

// Every environment has a CD-ROM drive E: whose disc holds this file with
// these bytes: the simulated machine from the start, Wine because its runner
// maps a folder as that drive before the tests run.
inline constexpr char kCdromRoot[] = "E:\\";
inline constexpr char kCdromProbeFile[] = "E:\\CONTRACT\\PROBE.TXT";
inline constexpr char kCdromProbeBytes[] = "disc";

}  // namespace korvanta::contract
