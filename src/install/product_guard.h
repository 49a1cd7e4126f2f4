// The running-product guard: the run changes nothing while one of the suite's
// applications is running.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

// Called once per running process with its id and executable name (a full
// path or a bare file name, empty when the process could not be queried).
// A process PSAPI cannot name (another user's, say) is named by kernel32's
// Toolhelp list where kernel32 has one (Windows 2000 and later).
// Returns true to go on, false to stop the walk. `user` is the value given to
// EnumerateProcesses, unchanged.
using ProcessVisitor = bool (*)(PlatformOps& ops, DWORD processId, const char* exeName,
                                uintptr_t user);

// True on the NT family from major version 4 on.
bool IsNt4OrLater(PlatformOps& ops);

// Hands every running process to the visitor: through PSAPI.DLL from NT 4 on,
// through kernel32's Toolhelp functions elsewhere, both looked up at run time.
// True when the walk ran (to the end or until the visitor stopped it), false
// when no walk took place (library or function missing, no snapshot, no
// memory, the list unreadable). It does not say whether the visitor found
// anything.
bool EnumerateProcesses(PlatformOps& ops, ProcessVisitor visitor, uintptr_t user);

// The guard's visitor: sets the running flag and stops the walk when the
// file-name part of the name is "TAV.EXE", "TAVMORI.EXE" or "TAVPELANI.EXE",
// compared with ASCII capitals only. With CompareLongNames in `user`, a name
// that matches none is looked up (FindFirstFileA) and its file's long name
// compared as well.
inline constexpr uintptr_t CompareLongNames = 1;
bool ProductProcessVisitor(PlatformOps& ops, DWORD processId, const char* exeName, uintptr_t user);

// True when a walk took place and found one of the suite's applications.
bool IsProductRunning(PlatformOps& ops);

// The process-wide running flag: false at process start, set by the guard's
// visitor on a match and never cleared by the installer. Host tests run many
// scenarios in one process and clear it before each.
bool ProductRunningFlag();
void ClearProductRunningFlagForTesting();

}  // namespace korvanta
