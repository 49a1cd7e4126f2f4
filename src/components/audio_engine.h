// The audio engine: library and program swapped in at restart, started with Windows.
#pragma once

#include <string>
#include <vector>

#include "toolkit/platform.h"
#include "toolkit/removal.h"

namespace korvanta {

void InstallAudioEngine(const Platform& platform, std::string sourceDir, std::string windowsDir,
         std::string systemDir);

// The engine's files, staging names included.
std::vector<SuiteFile> AudioEngineFiles();

// Takes out the engine's Run value and its settings, and the suite's key
// under HKLM\Software when nothing else is left in it; its files are taken
// out with AudioEngineFiles().
void UninstallAudioEngine(Removal& removal);

}  // namespace korvanta
