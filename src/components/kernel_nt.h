// The real-time audio kernel on the NT family: driver, INF, root device and its entries.
#pragma once

#include <string>
#include <vector>

#include "toolkit/platform.h"
#include "toolkit/removal.h"

namespace korvanta {

void InstallKernelNt(const Platform& platform, std::string sourceDir, std::string windowsDir,
                     std::string systemDir);

// The kernel's files as the NT stage leaves them, staging names included.
std::vector<SuiteFile> KernelNtFiles();

// Takes out the kernel's device nodes and registry entries (NT family); its
// files are taken out with KernelNtFiles().
void UninstallKernelNt(Removal& removal);

}  // namespace korvanta
