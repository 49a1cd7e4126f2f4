// The audio engine: library and program swapped in at restart, started with Windows.
#pragma once

#include <string>

#include "toolkit/platform.h"

namespace korvanta {

void InstallAudioEngine(const Platform& platform, std::string sourceDir, std::string windowsDir,
         std::string systemDir);

}  // namespace korvanta
