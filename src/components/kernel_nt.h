// The real-time audio kernel on the NT family: driver, INF, root device and its entries.
#pragma once

#include <string>

#include "toolkit/platform.h"

namespace korvanta {

void InstallKernelNt(const Platform& platform, std::string sourceDir, std::string windowsDir,
                     std::string systemDir);

}  // namespace korvanta
