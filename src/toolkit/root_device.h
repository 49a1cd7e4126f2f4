// Installation of a software-only, root-enumerated device from an INF file and
// a hardware id, through SetupAPI and NewDev.dll.
#pragma once

#include "platform/platform_ops.h"

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

}  // namespace korvanta
