#include "components/system_preparation.h"

#include "toolkit/profile_file.h"
#include "toolkit/registry_tree.h"

namespace korvanta {
namespace {

struct ProfileEntry {
  const char* section;
  const char* key;
  const char* value;
};

// Windows 9x reads both in kilobytes. Equal bounds give VCache one fixed size
// instead of letting it grow and shrink with the load.
constexpr ProfileEntry DiskCacheEntries[] = {
    {"VCache", "MinFileCache", "20480"},
    {"VCache", "MaxFileCache", "20480"},
};

// Handed over with its trailing backslash, as it has always been.
constexpr char EngineSettingsKey[] = "Software\\Korvanta\\Engine\\";

}  // namespace

void TuneDiskCache(const Platform& platform) {
  if (!platform.Is9xFamily()) return;
  ProfileFile systemIni(platform.ops, "System.ini");
  for (const ProfileEntry& entry : DiskCacheEntries) {
    systemIni.WriteValue(entry.section, entry.key, entry.value);
  }
}

void ResetEngineSettings(const Platform& platform) {
  RegDeleteTree(platform.ops, HKEY_CURRENT_USER, EngineSettingsKey);
}

}  // namespace korvanta
