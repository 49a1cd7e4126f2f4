#include "install/product_guard.h"

namespace korvanta {

bool IsProductRunning(PlatformOps&) { return false; }

}  // namespace korvanta
