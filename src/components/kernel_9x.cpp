#include "components/kernel_9x.h"

#include "toolkit/file_placement.h"
#include "toolkit/profile_file.h"
#include "toolkit/registry_writers.h"

namespace korvanta {
namespace {

enum class TargetFolder { System, Windows };

struct KernelFile {
  const char* source;  // in SourceDir
  TargetFolder folder;
  const char* target;  // relative to the folder
  const char* failureMessage;
};

constexpr KernelFile VxdFile = {"RUNDAVEK.VXD", TargetFolder::System, "RUNDAVEK.VXD",
                                "Unable to copy \"RUNDAVEK.VXD\" to Systemdirectory!"};
constexpr KernelFile ThunkFile = {"TALMUREN.DLL", TargetFolder::System, "TALMUREN.DLL",
                                  "Unable to copy \"TALMUREN.DLL\" to Systemdirectory!"};
constexpr KernelFile InfFile = {"RUNDAVEK.INF", TargetFolder::Windows, "INF\\RUNDAVEK.INF",
                                "Unable to copy \"RUNDAVEK.INF\" to INF directory !"};

constexpr char ClassKey[] = "System\\CurrentControlSet\\Services\\Class\\REALTIME";
constexpr char DriverKey[] = "System\\CurrentControlSet\\Services\\Class\\REALTIME\\RUND";
constexpr char InstanceKey[] = "Enum\\Root\\REALTIME\\RUND";
constexpr char EnumeratorKey[] = "Enum\\Root\\REALTIME";
// Where Windows 9x keeps a static VxD's entry, should a device installation
// have made one.
constexpr char VxdKey[] = "System\\CurrentControlSet\\Services\\VxD\\RUNDAVEK";
constexpr char DriverName[] = "rundavek.vxd";

// A REG_SZ value (text) or a 4-byte REG_BINARY record (binary); the 9x
// configuration manager reads the two flag values as raw records, not as
// REG_DWORD.
struct KernelValue {
  const char* key;
  const char* name;  // "" is the key's default value
  const char* text;  // nullptr for a binary record
  BYTE binary[4];
};

// In the order written: the device class, the driver key of the instance, the
// root-enumerated instance that names the VxD as its driver.
constexpr KernelValue KernelValues[] = {
    {ClassKey, "", "Korvanta AudioEngine", {}},
    {DriverKey, "Icon", "0", {}},
    {DriverKey, "DevLoader", "*CONFIGMG", {}},
    {DriverKey, "PortName", "RUNDAVEK", {}},
    {DriverKey, "DeviceDriver", "RUNDAVEK.VXD", {}},
    {DriverKey, "DeviceDesc", "Korvanta RealTime Audio Kernel", {}},
    {DriverKey, "DriverDesc", "Korvanta RealTime Audio Kernel", {}},
    {DriverKey, "InfPath", "RUNDAVEK.INF", {}},
    {DriverKey, "InfSection", "RUNDAVEK", {}},
    {DriverKey, "ProviderName", "Korvanta GmbH", {}},
    {InstanceKey, "Class", "REALTIME", {}},
    {InstanceKey, "Driver", "REALTIME\\RUND", {}},
    {InstanceKey, "Mfg", "Korvanta GmbH", {}},
    {InstanceKey, "DeviceDesc", "Korvanta RealTime Audio Kernel", {}},
    {InstanceKey, "ConfigFlags", nullptr, {0x00, 0x00, 0x00, 0x00}},
    {InstanceKey, "Capabilities", nullptr, {0x14, 0x00, 0x00, 0x00}},
};

void PlaceFile(const Platform& platform, const KernelFile& file, const std::string& sourceDir,
               const std::string& windowsDir, const std::string& systemDir) {
  const std::string& folder = file.folder == TargetFolder::System ? systemDir : windowsDir;
  CopyAndReport(platform, sourceDir + file.source, folder + file.target, file.failureMessage);
}

}  // namespace

void InstallKernel9x(const Platform& platform, std::string sourceDir, std::string windowsDir,
                     std::string systemDir) {
  PlatformOps& ops = platform.ops;
  sourceDir = AdjustTrailingBackslash(ops, sourceDir, true);
  windowsDir = AdjustTrailingBackslash(ops, windowsDir, true);
  systemDir = AdjustTrailingBackslash(ops, systemDir, true);

  PlaceFile(platform, VxdFile, sourceDir, windowsDir, systemDir);
  PlaceFile(platform, ThunkFile, sourceDir, windowsDir, systemDir);

  // Without its INF the kernel is not a device: the static load entry and the
  // device entries stay as they are.
  if (!FileExists(ops, sourceDir + InfFile.source)) return;
  PlaceFile(platform, InfFile, sourceDir, windowsDir, systemDir);

  // The configuration manager loads the VxD from now on; a device= line
  // left in [386Enh] would load it a second time.
  DisableDeviceEntry(ops, "SYSTEM.INI", "386Enh", DriverName);

  for (const KernelValue& value : KernelValues) {
    if (value.text != nullptr) {
      RegWriteString(ops, HKEY_LOCAL_MACHINE, value.key, value.name, value.text);
    } else {
      RegWriteBinary(ops, HKEY_LOCAL_MACHINE, value.key, value.name, sizeof value.binary,
                     value.binary);
    }
  }
}

std::vector<SuiteFile> KernelFiles9x() {
  std::vector<SuiteFile> files;
  for (const KernelFile* file : {&VxdFile, &ThunkFile, &InfFile}) {
    const SuiteFolder folder =
        file->folder == TargetFolder::System ? SuiteFolder::System : SuiteFolder::Windows;
    const std::string path = file->target;
    files.push_back({folder, path, false});
    // A target in use was staged beside it, its name's last letter dropped.
    files.push_back({folder, path.substr(0, path.size() - 1), true});
  }
  // Windows compiles the INF it read into a .PNF beside it.
  files.push_back({SuiteFolder::Windows, "INF\\RUNDAVEK.PNF", false});
  return files;
}

void UninstallKernel9x(Removal& removal, const std::string& windowsDir) {
  PlatformOps& ops = removal.platform().ops;
  // Windows 9x deletes a key with its subkeys.
  removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, InstanceKey);
  removal.RemoveKeyIfEmpty(HKEY_LOCAL_MACHINE, EnumeratorKey, false);
  removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, DriverKey);
  // Another device of the suite's class keeps the class.
  removal.RemoveKeyIfEmpty(HKEY_LOCAL_MACHINE, ClassKey, false);
  removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, VxdKey);
  // The static load line goes, as the stage disabled it or as an earlier
  // version left it: enabled, it would have Windows look for a driver that
  // is gone at every start. Read as a file: the profile functions leave
  // comment lines out under Wine.
  const std::string systemIni = AdjustTrailingBackslash(ops, windowsDir, true) + "SYSTEM.INI";
  const bool read = EditProfileFile(ops, "SYSTEM.INI", systemIni, [](std::string& text) {
    const bool disabled = DropSectionLines(text, "386Enh", std::string(";evice=") + DriverName);
    return DropSectionLines(text, "386Enh", std::string("device=") + DriverName) || disabled;
  });
  if (!read) removal.Failed(std::string(DriverName) + " from SYSTEM.INI");
}

}  // namespace korvanta
