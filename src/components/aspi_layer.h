// The ASPI layer for optical drives, installed unless already present.
#pragma once

#include <string>

#include "toolkit/platform.h"

namespace korvanta {

void InstallAspiLayer(const Platform& platform, std::string sourceDir, std::string windowsDir,
         std::string systemDir);

}  // namespace korvanta
