// Deleting a registry key together with everything below it.
#pragma once

#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

// Deletes every subkey at every depth, then the key itself. A subkey that
// cannot be opened, read or deleted stays (and with it its parent); the rest
// still goes. Returns true when the key itself was deleted.
bool RegDeleteTree(PlatformOps& ops, HKEY base, const std::string& path);

}  // namespace korvanta
