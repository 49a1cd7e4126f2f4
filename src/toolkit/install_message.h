// The installer's only way of talking to the user: a message box under the
// installer's caption with a single OK button.
#pragma once

#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

inline constexpr char InstallerCaption[] = "Korvanta Installation";

// Returns when the user has pressed OK.
void ShowInstallMessage(PlatformOps& ops, const std::string& text);

}  // namespace korvanta
