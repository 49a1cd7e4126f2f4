// The reverse of the run: `/uninstall` takes out what the installation put
// into Windows and belongs to the suite alone.
#pragma once

#include <optional>
#include <string>

#include "install/run.h"
#include "platform/platform_ops.h"

namespace korvanta {

inline constexpr char UninstallArgument[] = "/uninstall";
inline constexpr char RestartFirstMessage[] =
    "Please restart your machine before you remove the software !";

// Whether argument 1 asks for the uninstall (any letter case).
bool AsksForUninstall(const std::optional<std::string>& firstArgument);

// The guard, then, unless a replacement of the suite's own files is still
// pending for the restart (one box, nothing changed), the kernel's device
// nodes and entries, the engine's entries, then the files; a file in use
// goes at the restart. Returns 0 when everything went or goes at the
// restart, 1 after the guard's or the restart's box. Raises
// InstallerException when something could not be removed (after removing
// everything else) or an error stopped the run.
int RunUninstall(PlatformOps& ops, RunObserver* observer = nullptr);

}  // namespace korvanta
