// The platform for a run that nobody can watch: a process started as SYSTEM
// by a deployment tool or a scheduled task has a window station that is not
// shown to anyone, and a message box there waits for ever for an OK that
// nobody can give. Every box of the run has only an OK button, so pressing
// it changes nothing: the box is left out and the run goes on as if it had
// been pressed.
#pragma once

#include <memory>

#include "install/run.h"
#include "platform/platform_ops.h"

namespace korvanta {

// `system` with every operation forwarded unchanged, except MessageBoxA,
// which shows nothing: it tells `observer` (when there is one) the box's
// caption and text and returns IDOK. Both must outlive it.
std::unique_ptr<PlatformOps> MakeBoxlessPlatformOps(PlatformOps& system, RunObserver* observer);

}  // namespace korvanta
