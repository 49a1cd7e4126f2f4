// The real-time audio kernel on the 9x family: VxD, thunk library, INF and device entries.
#pragma once

#include <string>
#include <vector>

#include "toolkit/platform.h"
#include "toolkit/removal.h"

namespace korvanta {

void InstallKernel9x(const Platform& platform, std::string sourceDir, std::string windowsDir,
         std::string systemDir);

// The kernel's files as the 9x stage leaves them, staging names included.
std::vector<SuiteFile> KernelFiles9x();

// Takes out the kernel's registry entries and the System.ini line the stage
// left (9x family); its files are taken out with KernelFiles9x().
void UninstallKernel9x(Removal& removal, const std::string& windowsDir);

}  // namespace korvanta
