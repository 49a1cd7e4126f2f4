// Installation of a software-only, root-enumerated device from an INF file and
// a hardware id, through SetupAPI and NewDev.dll.
#pragma once

#include <optional>
#include <string>

#include "platform/platform_ops.h"
#include "toolkit/platform.h"
#include "toolkit/run_time_library.h"

namespace korvanta {

// The process-wide binding to NewDev.dll. It is loaded once before the run and
// released when the process ends, on every way out. NewDev.dll does not exist
// on the 9x family or on NT 4; then the update entry point stays null.
class NewDevLoader {
 public:
  explicit NewDevLoader(PlatformOps& ops) : ops_(ops) {}
  ~NewDevLoader() { Unload(); }
  NewDevLoader(const NewDevLoader&) = delete;
  NewDevLoader& operator=(const NewDevLoader&) = delete;

  void Load();
  void Unload();

  bool IsLoaded() const { return loaded_; }
  HMODULE Library() const { return library_; }
  // UpdateDriverForPlugAndPlayDevicesA, or null when the library or the export
  // is missing.
  FARPROC UpdateEntryPoint() const { return updateEntryPoint_; }

 private:
  PlatformOps& ops_;
  HMODULE library_ = nullptr;
  bool loaded_ = false;
  FARPROC updateEntryPoint_ = nullptr;
};

// The SetupAPI functions of the device installation, looked up in the system
// folder's setupapi.dll when first needed and released with the object. Bound
// at load time, the library was searched beside the installer first (it is
// not a KnownDLL on NT 4, 2000 or XP), and a Windows without it (a retail
// Windows 95) refused to start the installer at all.
class SetupApi {
 public:
  enum Function {
    GetClassDevs,
    EnumDeviceInfo,
    GetDeviceRegistryProperty,
    DestroyDeviceInfoList,
    GetInfClass,
    CreateDeviceInfoList,
    CreateDeviceInfo,
    SetDeviceRegistryProperty,
    CallClassInstaller,
    FunctionCount
  };

  explicit SetupApi(PlatformOps& ops) : ops_(ops) {}

  // Loads the library on the first call. False when it cannot be loaded
  // (last error ERROR_MOD_NOT_FOUND) or lacks one of the functions
  // (ERROR_PROC_NOT_FOUND); then none of them is used.
  bool Load();
  // The function's address; null before a successful Load().
  FARPROC operator[](Function function) const;

 private:
  PlatformOps& ops_;
  std::optional<RunTimeFunctions<FunctionCount>> functions_;
};

// Installs the driver of a software-only, root-enumerated device from the INF
// at `infPath` (a full path): when a present device already carries
// `hardwareId`, only its driver is updated; when none does, a new device node
// of the INF's class is created with that id, registered and driven from the
// INF, and removed again when the driver update fails. At most one node is
// created. True when the driver was installed or updated; the thread's last
// error carries the failing step's code (ERROR_MOD_NOT_FOUND without
// setupapi.dll). Shows nothing.
bool InstallRootDevice(const Platform& platform, const std::string& infPath,
                       const std::string& hardwareId);

// The steps of InstallRootDevice, each usable on its own.
//
// True with last error 0 when a present device of any class carries
// `hardwareId` in its hardware-id list (exact, case-sensitive comparison);
// false with ERROR_NO_MORE_ITEMS when none does; false with another code when
// the search failed. Devices without a hardware-id list are skipped.
bool FindDeviceByHardwareId(const Platform& platform, const std::string& hardwareId);

// Whether the hardware-id list read into `buffer` (`bufferSize` bytes, of
// which the read reported `dataSize`) holds `hardwareId` as a whole entry,
// ASCII letters compared without regard to case.
// Entries are looked at from the start up to the first empty one, and only
// those that begin within the reported data; nothing past the buffer is read.
bool HardwareIdListHolds(const BYTE* buffer, DWORD bufferSize, DWORD dataSize,
                         const std::string& hardwareId);

// Creates, registers and drives a new device node with `hardwareId`. True with
// last error 0 when all of it succeeded; false with the failing step's code
// otherwise. A node whose driver update failed is removed again; one that was
// never registered goes with its device information set.
bool RegisterRootDevice(const Platform& platform, const std::string& hardwareId,
                        const std::string& infPath);

// Removes every device node, present or not, whose hardware-id list holds
// `hardwareId` (letter case aside), through the class installer
// (DIF_REMOVE). True when none is left: each was removed, or there was none
// (also without setupapi.dll, where no device installation made one); false
// when the search or a removal failed. Shows nothing.
bool RemoveRootDevices(const Platform& platform, const std::string& hardwareId);

}  // namespace korvanta
