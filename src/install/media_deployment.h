// The last stage: the OEM library and the manuals from the distribution CD.
#pragma once

#include <string>

#include "toolkit/platform.h"

namespace korvanta {

void DeployMediaFiles(const Platform& platform, std::string applicationDir,
                      std::string manualBaseName);

}  // namespace korvanta
