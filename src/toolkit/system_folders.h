// The folders Windows reports for itself, and the loading of its own
// libraries from the system folder.
#pragma once

#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

// The buffer size the installer has always used for paths (MAX_PATH + 1).
inline constexpr UINT PathBufferSize = 261;

// The system and Windows folders as GetSystemDirectoryA and
// GetWindowsDirectoryA report them (no trailing backslash), whatever their
// length; empty when they cannot be read.
std::string ReadSystemDirectory(PlatformOps& ops);
std::string ReadWindowsDirectory(PlatformOps& ops);

// Loads a library of Windows (a file name such as "PSAPI.DLL") by its full
// path in the system folder, and from nowhere else. A bare name would be
// searched for in the installer's own folder, the current folder and every
// folder on PATH first wherever the system has no such library, and a copy
// planted there would run with the installer's administrator rights. Null
// when the system folder cannot be read or holds no such library.
HMODULE LoadSystemLibrary(PlatformOps& ops, const char* name);

}  // namespace korvanta
