// The real-time audio kernel on the 9x family: VxD, thunk library, INF and device entries.
#pragma once

#include <string>

#include "toolkit/platform.h"

namespace korvanta {

void InstallKernel9x(const Platform& platform, std::string sourceDir, std::string windowsDir,
         std::string systemDir);

}  // namespace korvanta
