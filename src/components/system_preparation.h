// System preparation: the 9x disk cache size and the user's engine settings,
// done before any component is installed.
#pragma once

#include "toolkit/platform.h"

namespace korvanta {

// 9x family: fixes VCache in System.ini to one size. NT family: nothing.
void TuneDiskCache(const Platform& platform);

// Deletes the current user's engine settings key with everything below it.
void ResetEngineSettings(const Platform& platform);

}  // namespace korvanta
