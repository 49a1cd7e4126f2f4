// The ASPI layer for optical drives, installed unless already present.
#pragma once

#include <string>
#include <vector>

#include "toolkit/platform.h"
#include "toolkit/removal.h"

namespace korvanta {

void InstallAspiLayer(const Platform& platform, std::string sourceDir, std::string windowsDir,
         std::string systemDir);

// The staging names of the layer's files on this family. The layer itself
// stays with an uninstall: other programs use it.
std::vector<SuiteFile> AspiLayerStagedFiles(const Platform& platform);

}  // namespace korvanta
