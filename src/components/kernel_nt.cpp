#include "components/kernel_nt.h"

#include "toolkit/file_placement.h"
#include "toolkit/install_message.h"
#include "toolkit/key_access.h"
#include "toolkit/registry_writers.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace {

constexpr char HardwareId[] = "*korvanta\\rundavek";

// Opened to the Administrators group while the device-instance keys below it
// are written: on Windows 2000 and XP only the system may write there. Never
// to Everyone: any user could then point a root device at a driver of their
// own, for the whole stage on 2000 and later, which push the entry down at
// once, and for good on NT 4, where each key created meanwhile keeps a copy.
constexpr char GrantedKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\";

// The branch's list as it was before the grant, kept in the driver's own
// service key for as long as the grant stands.
const KeptSecurityPlace KeptAccess = {
    HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK", "SavedEnumRootAccess"};

constexpr char PermissionMessage[] = "Unable to set permission for \"HKLM\\System\\Enum\\Root\" !";

constexpr char ClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{3E36E96C-E325-12CE-BFC1-07002BE10326}";
constexpr char DriverKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{3E36E96C-E325-12CE-BFC1-07002BE10326}\\0000";
constexpr char EnumeratorKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME";
constexpr char InstanceKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000";
constexpr char ParametersKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000\\Device Parameters";
constexpr char LogConfKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000\\LogConf";
constexpr char ControlKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\REALTIME\\0000\\Control";
constexpr char ServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK";
constexpr char ServiceEnumKey[] = "SYSTEM\\CurrentControlSet\\Services\\RUNDAVEK\\Enum";

struct Entry {
  const char* key;
  const char* name;
  DWORD type;
  const char* text;   // REG_SZ text, or the bytes of a value with a byte count
  DWORD number;       // REG_DWORD value
  DWORD byteCount;    // REG_MULTI_SZ and REG_EXPAND_SZ: exactly this many bytes of `text`
};

// The device class, the instance's driver key, the device instance and the
// driver's service, in the order written. The device installation before
// them may have written some of these already; these values win.
constexpr Entry Entries[] = {
    {ClassKey, "", REG_SZ, "Korvanta AudioEngine", 0, 0},
    {ClassKey, "Class", REG_SZ, "REALTIME", 0, 0},
    {ClassKey, "Icon", REG_SZ, "0", 0, 0},
    {DriverKey, "InfPath", REG_SZ, "rundavek.inf", 0, 0},
    {DriverKey, "InfSection", REG_SZ, "RUNDAVEK", 0, 0},
    {DriverKey, "InfSectionExt", REG_SZ, ".NTx86", 0, 0},
    {DriverKey, "ProviderName", REG_SZ, "KORVANTA", 0, 0},
    {DriverKey, "MatchingDeviceId", REG_SZ, "*korvanta\\rundavek", 0, 0},
    {DriverKey, "DriverDesc", REG_SZ, "KORVANTA Realtime Audio Kernel", 0, 0},
    {InstanceKey, "ClassGUID", REG_SZ, "{3E36E96C-E325-12CE-BFC1-07002BE10326}", 0, 0},
    // One id, its zero byte and the list's zero byte (the literal's own).
    {InstanceKey, "HardwareID", REG_MULTI_SZ, "*korvanta\\rundavek\0", 0, 20},
    {InstanceKey, "FriendlyName", REG_SZ, "Korvanta Realtime Audio Kernel", 0, 0},
    {InstanceKey, "Class", REG_SZ, "REALTIME", 0, 0},
    {InstanceKey, "Mfg", REG_SZ, "KORVANTA", 0, 0},
    {InstanceKey, "Service", REG_SZ, "RUNDAVEK", 0, 0},
    {InstanceKey, "DeviceDesc", REG_SZ, "Korvanta Realtime Audio Kernel", 0, 0},
    {InstanceKey, "ConfigFlags", REG_DWORD, nullptr, 0, 0},
    {InstanceKey, "Capabilities", REG_DWORD, nullptr, 0, 0},
    {InstanceKey, "Driver", REG_SZ, "{3E36E96C-E325-12CE-BFC1-07002BE10326}\\0000", 0, 0},
    {ParametersKey, "", REG_SZ, "", 0, 0},
    {LogConfKey, "", REG_SZ, "", 0, 0},
    {ControlKey, "ActiveService", REG_SZ, "RUNDAVEK", 0, 0},
    {ServiceKey, "Type", REG_DWORD, nullptr, 1, 0},          // SERVICE_KERNEL_DRIVER
    {ServiceKey, "Start", REG_DWORD, nullptr, 0, 0},         // SERVICE_BOOT_START
    {ServiceKey, "ErrorControl", REG_DWORD, nullptr, 1, 0},  // SERVICE_ERROR_NORMAL
    // Expanded against the Windows folder when the system loads the driver.
    {ServiceKey, "ImagePath", REG_EXPAND_SZ, "system32\\drivers\\rundavek.sys", 0, 30},
    {ServiceEnumKey, "0", REG_SZ, "Root\\REALTIME\\0000", 0, 0},
    {ServiceEnumKey, "Count", REG_DWORD, nullptr, 1, 0},
    {ServiceEnumKey, "NextInstance", REG_DWORD, nullptr, 1, 0},
};

void WriteEntry(PlatformOps& ops, const Entry& entry) {
  if (entry.type == REG_DWORD) {
    RegWriteDword(ops, HKEY_LOCAL_MACHINE, entry.key, entry.name, entry.number);
  } else if (entry.byteCount != 0) {
    RegWriteRaw(ops, HKEY_LOCAL_MACHINE, entry.key, entry.name, entry.type, entry.byteCount,
                reinterpret_cast<const BYTE*>(entry.text));
  } else {
    RegWriteString(ops, HKEY_LOCAL_MACHINE, entry.key, entry.name, entry.text);
  }
}

// The branch's list read for a grant: the copy an earlier run kept when it
// was stopped before putting the list back (the key then holds the widened
// one), else the key's own, kept for as long as the grant stands.
std::optional<SavedKeySecurity> ListBeforeGrant(PlatformOps& ops) {
  std::optional<SavedKeySecurity> saved = ReadKeptKeySecurity(ops, KeptAccess);
  if (!saved) {
    saved = ReadRegistryKeySecurity(ops, HKEY_LOCAL_MACHINE, GrantedKey);
    if (saved) KeepKeySecurity(ops, KeptAccess, *saved);
  }
  return saved;
}

}  // namespace

void InstallKernelNt(const Platform& platform, std::string sourceDir, std::string windowsDir,
                     std::string systemDir) {
  PlatformOps& ops = platform.ops;
  const std::string source = AdjustTrailingBackslash(ops, sourceDir, true);
  CopyAndReport(platform, source + "RUNDAVEK.SYS",
                AdjustTrailingBackslash(ops, systemDir, true) + "DRIVERS\\RUNDAVEK.SYS",
                "Unable to copy \"RUNDAVEK.SYS\" to Systemdirectory!");
  CopyAndReport(platform, source + "RUNDAVEK.INF",
                AdjustTrailingBackslash(ops, windowsDir, true) + "INF\\RUNDAVEK.INF",
                "Unable to copy \"RUNDAVEK.INF\" to INF directory !");

  // The INF beside the installer, not the copy: the copy may have failed.
  InstallRootDevice(platform, source + "rundavek.inf", HardwareId);

  // The branch's own access list is kept, widened for the stage and put
  // back afterwards, on every way out of the stage. Without it the branch
  // stays widened or, worse, shut to everyone including the system, which
  // then no longer finds its own root devices. A list that cannot be read is
  // not touched at all. A copy kept by an earlier run that was stopped before
  // it put the list back holds the list as it was; the key itself then
  // holds the widened one.
  const std::optional<SavedKeySecurity> saved = ListBeforeGrant(ops);
  const KeySecurityRestorer restorer(ops, HKEY_LOCAL_MACHINE, GrantedKey, saved, KeptAccess);
  if (!saved || !GrantRegistryKeyAccess(ops, HKEY_LOCAL_MACHINE, GrantedKey, GENERIC_ALL, *saved)) {
    ShowInstallMessage(ops, PermissionMessage);
  }
  for (const Entry& entry : Entries) WriteEntry(ops, entry);
}

std::vector<SuiteFile> KernelNtFiles() {
  // Windows compiles the INF it read into a .PNF beside it.
  return {{SuiteFolder::System, "DRIVERS\\RUNDAVEK.SYS", false},
          {SuiteFolder::System, "DRIVERS\\RUNDAVEK.SY", true},
          {SuiteFolder::Windows, "INF\\RUNDAVEK.INF", false},
          {SuiteFolder::Windows, "INF\\RUNDAVEK.IN", true},
          {SuiteFolder::Windows, "INF\\RUNDAVEK.PNF", false}};
}

void UninstallKernelNt(Removal& removal) {
  const Platform& platform = removal.platform();
  PlatformOps& ops = platform.ops;
  // Each node goes with its instance and driver keys; a node left behind
  // would ask for a driver that is gone.
  if (!RemoveRootDevices(platform, HardwareId)) removal.Failed("the Realtime Audio Kernel device");

  // What the device installation did not take with it (NT 4 has none, and
  // the stage writes the instance itself): on 2000 and later only the
  // system may delete below Enum\Root, so the branch is widened as for the
  // installation and put back after. Nothing of it is touched when there is
  // nothing to delete, unless a stopped run left the branch widened: its
  // list then comes back from the kept copy.
  HKEY probe = nullptr;
  const LONG found = ops.RegOpenKeyExA(HKEY_LOCAL_MACHINE, EnumeratorKey, 0, KEY_READ, &probe);
  if (found == ERROR_SUCCESS) ops.RegCloseKey(probe);
  if (found != ERROR_FILE_NOT_FOUND || ReadKeptKeySecurity(ops, KeptAccess)) {
    const std::optional<SavedKeySecurity> saved = ListBeforeGrant(ops);
    const KeySecurityRestorer restorer(ops, HKEY_LOCAL_MACHINE, GrantedKey, saved, KeptAccess);
    if (saved) GrantRegistryKeyAccess(ops, HKEY_LOCAL_MACHINE, GrantedKey, GENERIC_ALL, *saved);
    removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, InstanceKey);
    removal.RemoveKeyIfEmpty(HKEY_LOCAL_MACHINE, EnumeratorKey, false);
  }
  removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, DriverKey);
  // Another device of the suite's class keeps the class.
  removal.RemoveKeyIfEmpty(HKEY_LOCAL_MACHINE, ClassKey, false);
  // The service key holds the kept copy of the branch's list as long as the
  // list could not be put back: the next run needs it.
  if (ReadKeptKeySecurity(ops, KeptAccess)) {
    removal.Failed("HKLM\\System\\Enum\\Root");
  } else {
    removal.RemoveKeyTree(HKEY_LOCAL_MACHINE, ServiceKey);
  }
}

}  // namespace korvanta
