// The contract tests' environment on the host: a fresh simulated machine for
// every test. The Windows family comes from KORVANTA_SIM_PLATFORM ("1" for the
// 9x family, anything else for NT), so that the same tests run once per family.
#include <gtest/gtest.h>

#include <cstdlib>

#include "contract/contract_env.h"
#include "platform/sim/sim_machine.h"

namespace korvanta::contract {
namespace {

class SimEnv final : public ContractEnv {
 public:
  SimEnv() {
    const char* platform = std::getenv("KORVANTA_SIM_PLATFORM");
    if (platform != nullptr && std::string(platform) == "1") {
      machine_.SetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
      machine_.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
    }
    machine_.SetDriveType('E', DRIVE_CDROM);
    machine_.AddFile(kCdromProbeFile, kCdromProbeBytes);
    scratch_ = "C:\\contract\\" + ScratchName();
    machine_.AddDirectory(scratch_);
  }

  PlatformOps& Ops() override { return machine_; }
  DWORD PlatformId() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    machine_.GetVersionExA(&info);
    return info.dwPlatformId;
  }
  bool IsWine() override { return false; }
  std::string Scratch() override { return scratch_; }
  std::string ScratchKey() override { return "Software\\KorvantaContract\\" + ScratchName(); }

  void WriteFile(const std::string& path, const std::string& bytes) override {
    machine_.AddFile(path, bytes);
  }
  std::optional<std::string> ReadFile(const std::string& path) override {
    return machine_.ReadFile(path);
  }
  void MakeDirectory(const std::string& path) override { machine_.AddDirectory(path); }
  void LockFile(const std::string& path) override { machine_.LockFile(path); }
  void SetEnvironmentVariable(const std::string& name, const std::string& value) override {
    machine_.SetEnvironmentVariable(name, value);
  }

  DWORD StartProcess(const std::string& exeName) override {
    const std::string path = scratch_ + "\\" + exeName;
    machine_.AddFile(path, "MZ");
    // Toolhelp names a process by its path on the 9x family, by its file name on NT.
    return machine_.AddProcess(PlatformId() == VER_PLATFORM_WIN32_WINDOWS ? path : exeName, path);
  }

  bool CanRestart() override { return true; }
  void Restart() override { machine_.Restart(); }

 private:
  sim::SimMachine machine_;
  std::string scratch_;
};

}  // namespace

ContractEnv& Env() { return EnvironmentOfThisTest<SimEnv>(); }

}  // namespace korvanta::contract
