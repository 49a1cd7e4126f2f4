#include "components/aspi_layer.h"

#include <span>

#include "toolkit/file_placement.h"
#include "toolkit/registry_writers.h"

namespace korvanta {
namespace {

enum class Folder { System, Windows };

// One file of the layer. The new file is copied under its staging name; at
// the next restart the file that holds the final name is set aside under the
// backup name and the new one takes its place.
struct AspiFile {
  const char* source;  // in SourceDir
  Folder folder;       // what staged, final and backup are relative to
  const char* staged;
  const char* finalName;
  const char* backup;
};

// The file whose presence says that a layer is in place comes last: the
// restart carries the replacements out in the order they were made, so that
// file takes its name only after every other file of the layer has taken its
// own. A run stopped part-way, before or after a restart, thus leaves a layer
// that the next run still finds missing and finishes.
constexpr AspiFile Files9x[] = {
    {"WINASPI.9x", Folder::System, "WINASPI.9x", "WINASPI.DLL", "WINASPI.OLD"},
    {"ASPIENUM.9x", Folder::System, "ASPIENUM.9x", "ASPIENUM.VXD", "ASPIENUM.OLD"},
    {"APIX.9x", Folder::System, "IOSUBSYS\\APIX.9x", "IOSUBSYS\\APIX.VXD", "IOSUBSYS\\APIX.OLD"},
    {"WNASPI32.9x", Folder::System, "WNASPI32.9x", "WNASPI32.DLL", "WNASPI32.OLD"},
};

// The 16-bit library and its WOW helper belong in the Windows directory's
// SYSTEM folder, where 16-bit programs look for them.
constexpr AspiFile FilesNt[] = {
    {"WNASPI32.NT", Folder::System, "WNASPI32.NT", "WNASPI32.DLL", "WNASPI32.OLD"},
    {"WINASPI.NT", Folder::Windows, "SYSTEM\\WINASPI.NT", "SYSTEM\\WINASPI.DLL",
     "SYSTEM\\WINASPI.OLD"},
    {"WOWPOST.NT", Folder::Windows, "SYSTEM\\WOWPOST.NT", "SYSTEM\\WOWPOST.EXE",
     "SYSTEM\\WOWPOST.OLD"},
    {"ASPI32.NT", Folder::System, "Drivers\\ASPI32.NT", "Drivers\\ASPI32.SYS",
     "Drivers\\ASPI32.OLD"},
};

// A REG_DWORD value (text nullptr) or a REG_SZ value.
struct AspiValue {
  const char* key;
  const char* name;
  DWORD number;
  const char* text;
};

constexpr char AspiEnumKey[] = "SYSTEM\\CurrentControlSet\\Services\\VXD\\ASPIEnum";
constexpr char ApixKey[] = "SYSTEM\\CurrentControlSet\\Services\\VXD\\APIX";
constexpr char ServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Aspi32";
constexpr char ServiceParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Aspi32\\Parameters";

// 9x: the enumerator is a static VxD loaded at boot.
constexpr AspiValue Values9x[] = {
    {AspiEnumKey, "Start", 0, nullptr},
    {AspiEnumKey, "StaticVxD", 0, "ASPIENUM.VXD"},
    {ApixKey, "ExcludeMiniports", 0, ""},
};

// NT: an automatically started kernel driver service.
constexpr AspiValue ValuesNt[] = {
    {ServiceKey, "Type", 1, nullptr},   // SERVICE_KERNEL_DRIVER
    {ServiceKey, "Start", 2, nullptr},  // SERVICE_AUTO_START
    {ServiceKey, "Undoable", 1, nullptr},
    {ServiceKey, "ErrorControl", 1, nullptr},  // SERVICE_ERROR_NORMAL
    {ServiceKey, "MatchFlags", 0, nullptr},
    {ServiceParametersKey, "ExcludeMiniports", 0, ""},
};

}  // namespace

void InstallAspiLayer(const Platform& platform, std::string sourceDir, std::string windowsDir,
                      std::string systemDir) {
  PlatformOps& ops = platform.ops;
  sourceDir = AdjustTrailingBackslash(ops, sourceDir, true);
  windowsDir = AdjustTrailingBackslash(ops, windowsDir, true);
  systemDir = AdjustTrailingBackslash(ops, systemDir, true);
  const bool is9x = platform.Is9xFamily();
  const std::span<const AspiFile> files =
      is9x ? std::span<const AspiFile>(Files9x) : std::span<const AspiFile>(FilesNt);
  const auto folderOf = [&](const AspiFile& file) -> const std::string& {
    return file.folder == Folder::System ? systemDir : windowsDir;
  };

  // An ASPI layer already in place (ours or another vendor's) is left alone.
  const AspiFile& presence = files.back();
  if (FileExists(ops, folderOf(presence) + presence.finalName)) return;

  // The values first, so that they stand before the layer counts as present.
  const std::span<const AspiValue> values =
      is9x ? std::span<const AspiValue>(Values9x) : std::span<const AspiValue>(ValuesNt);
  for (const AspiValue& value : values) {
    if (value.text == nullptr) {
      RegWriteDword(ops, HKEY_LOCAL_MACHINE, value.key, value.name, value.number);
    } else {
      RegWriteString(ops, HKEY_LOCAL_MACHINE, value.key, value.name, value.text);
    }
  }

  for (const AspiFile& file : files) {
    const std::string& folder = folderOf(file);
    const std::string staged = folder + file.staged;
    const std::string finalPath = folder + file.finalName;
    if (!CopyWritable(ops, sourceDir + file.source, staged)) continue;
    // Restarts carry the replacements out in the order they were made: the
    // old file goes to its backup name before the new one takes the name. A
    // backup that exists already is kept: after a stopped run and its
    // restart, the file under the final name is this layer's own, and
    // setting it aside would put it over the file that was there first.
    const std::string backup = folder + file.backup;
    if (!FileExists(ops, backup)) ScheduleReplace(platform, backup, finalPath);
    ScheduleReplace(platform, finalPath, staged);
  }
}

std::vector<SuiteFile> AspiLayerStagedFiles(const Platform& platform) {
  std::vector<SuiteFile> files;
  for (const AspiFile& file : platform.Is9xFamily() ? std::span(Files9x) : std::span(FilesNt)) {
    files.push_back({file.folder == Folder::System ? SuiteFolder::System : SuiteFolder::Windows,
                     file.staged, true});
  }
  return files;
}

}  // namespace korvanta
