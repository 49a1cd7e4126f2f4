// The installer's only way of talking to the user: a message box under the
// installer's caption with a single OK button.
//
// Every box of the installer is brought to the front: it has no owner
// window, and once the user has clicked elsewhere during the device
// installation it would open behind setup's window, and setup would seem to
// hang.
#pragma once

#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

inline constexpr char InstallerCaption[] = "Korvanta Installation";
inline constexpr UINT InstallMessageFlags = MB_OK | MB_SETFOREGROUND;

// Returns when the user has pressed OK.
void ShowInstallMessage(PlatformOps& ops, const std::string& text);

}  // namespace korvanta
