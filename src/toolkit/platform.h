// What every installer and toolkit operation works through: the door to the
// operating system, the Windows family being installed on, the process-wide
// NewDev.dll binding and the run's SetupAPI binding.
#pragma once

#include "platform/platform_ops.h"

namespace korvanta {

class NewDevLoader;
class SetupApi;

struct Platform {
  PlatformOps& ops;
  DWORD platformId;
  NewDevLoader* newDev = nullptr;
  SetupApi* setupApi = nullptr;  // none: every device operation fails as without the library

  // Platform id 1 is the 9x family (95, 98, ME); every other id is NT.
  bool Is9xFamily() const { return platformId == VER_PLATFORM_WIN32_WINDOWS; }
};

}  // namespace korvanta
