// The running-product guard: the run changes nothing while one of the suite's
// applications is running.
#pragma once

#include "platform/platform_ops.h"

namespace korvanta {

bool IsProductRunning(PlatformOps& ops);

}  // namespace korvanta
