// Installation of a software-only, root-enumerated device from an INF file and
// a hardware id, through SetupAPI and NewDev.dll.
#pragma once

#include <string>

#include "platform/platform_ops.h"
#include "toolkit/platform.h"

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

// Installs the driver of a software-only, root-enumerated device from the INF
// at `infPath` (a full path): when a present device already carries
// `hardwareId`, only its driver is updated; when none does, a new device node
// of the INF's class is created with that id, registered and driven from the
// INF, and removed again when the driver update fails. At most one node is
// created. True when the driver was installed or updated; the thread's last
// error carries the failing step's code. Shows nothing.
bool InstallRootDevice(const Platform& platform, const std::string& infPath,
                       const std::string& hardwareId);

// The steps of InstallRootDevice, each usable on its own.
//
// True with last error 0 when a present device of any class carries
// `hardwareId` in its hardware-id list (exact, case-sensitive comparison);
// false with ERROR_NO_MORE_ITEMS when none does; false with another code when
// the search failed. Devices without a hardware-id list are skipped.
bool FindDeviceByHardwareId(PlatformOps& ops, const std::string& hardwareId);

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

}  // namespace korvanta
