#include "components/audio_engine.h"

#include "toolkit/file_placement.h"
#include "toolkit/registry_writers.h"

namespace korvanta {
namespace {

// The library and the program may be in use while the suite is installed, so
// each is copied beside its final name (last letter dropped) and swapped in
// at the next restart.
struct EngineFile {
  const char* source;     // in SourceDir
  const char* staged;     // in SystemDir
  const char* finalName;  // in SystemDir
};

constexpr EngineFile Library = {"RUNDAVEK.DLL", "RUNDAVEK.DL", "RUNDAVEK.DLL"};
constexpr EngineFile Program = {"RUNDAVEK.EXE", "RUNDAVEK.EX", "RUNDAVEK.EXE"};

constexpr char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char RunValueName[] = "Realtime Audio Engine";
// The program lies in the system folder, which is on the search path.
constexpr char RunCommand9x[] = "rundavek.exe";
constexpr char RunCommandNt[] = "\"rundavek.exe\" /b";

constexpr char SettingsKey[] = "Software\\Korvanta\\RUNDAVEK";
constexpr char SuiteKey[] = "Software\\Korvanta";
// The engine's default configuration record; its meaning belongs to the
// engine, so it is written as it stands.
constexpr BYTE DefaultConfig[16] = {0x0f, 0x14, 0xd2, 0xe1, 0x44, 0x90, 0x11, 0xd5,
                                    0x91, 0x59, 0x00, 0xd0, 0xc3, 0x00, 0x18, 0xcc};

// A silent, overwriting copy to the staging name; true when it succeeded.
bool Stage(PlatformOps& ops, const EngineFile& file, const std::string& sourceDir,
           const std::string& systemDir) {
  return CopyWritable(ops, sourceDir + file.source, systemDir + file.staged);
}

void Schedule(const Platform& platform, const EngineFile& file, const std::string& systemDir) {
  ScheduleReplace(platform, systemDir + file.finalName, systemDir + file.staged);
}

}  // namespace

void InstallAudioEngine(const Platform& platform, std::string sourceDir, std::string,
                        std::string systemDir) {
  PlatformOps& ops = platform.ops;
  sourceDir = AdjustTrailingBackslash(ops, sourceDir, true);
  systemDir = AdjustTrailingBackslash(ops, systemDir, true);

  if (Stage(ops, Library, sourceDir, systemDir)) Schedule(platform, Library, systemDir);

  // Without the program there is nothing to start with Windows and nothing
  // for the settings to configure.
  if (!Stage(ops, Program, sourceDir, systemDir)) return;
  Schedule(platform, Program, systemDir);

  RegWriteString(ops, HKEY_LOCAL_MACHINE, RunKey, RunValueName,
                 platform.Is9xFamily() ? RunCommand9x : RunCommandNt);
  RegWriteDword(ops, HKEY_LOCAL_MACHINE, SettingsKey, "Enabled", 1);
  // A configuration the user or the engine already has is kept, whatever it
  // holds.
  if (!RegValueExists(ops, HKEY_LOCAL_MACHINE, SettingsKey, "Config")) {
    RegWriteBinary(ops, HKEY_LOCAL_MACHINE, SettingsKey, "Config", sizeof DefaultConfig,
                   DefaultConfig);
  }
}

std::vector<SuiteFile> AudioEngineFiles() {
  std::vector<SuiteFile> files;
  for (const EngineFile* file : {&Library, &Program}) {
    files.push_back({SuiteFolder::System, file->finalName, false});
    files.push_back({SuiteFolder::System, file->staged, true});
  }
  return files;
}

void UninstallAudioEngine(Removal& removal) {
  removal.RemoveValue(HKEY_LOCAL_MACHINE, RunKey, RunValueName);
  removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, SettingsKey);
  // The suite's other programs may keep their own keys there.
  removal.RemoveKeyIfEmpty(HKEY_LOCAL_MACHINE, SuiteKey, true);
}

}  // namespace korvanta
