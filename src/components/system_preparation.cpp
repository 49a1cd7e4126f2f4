#include "components/system_preparation.h"

namespace korvanta {

void TuneDiskCache(const Platform&) {}

void ResetEngineSettings(const Platform&) {}

}  // namespace korvanta
