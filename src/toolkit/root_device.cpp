#include "toolkit/root_device.h"

namespace korvanta {

void NewDevLoader::Load() {
  if (loaded_) return;
  // A missing library must not raise the "cannot find file" system dialog.
  UINT previousMode = ops_.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  library_ = ops_.LoadLibraryA("NewDev.dll");
  if (library_ != nullptr) {
    loaded_ = true;
    updateEntryPoint_ = ops_.GetProcAddress(library_, "UpdateDriverForPlugAndPlayDevicesA");
  }
  ops_.SetErrorMode(previousMode);
}

void NewDevLoader::Unload() {
  if (library_ != nullptr) ops_.FreeLibrary(library_);
  library_ = nullptr;
  loaded_ = false;
  updateEntryPoint_ = nullptr;
}

}  // namespace korvanta
