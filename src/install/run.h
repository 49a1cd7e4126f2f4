// The installation run: the entry's whole control flow.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform_ops.h"
#include "toolkit/root_device.h"

namespace korvanta {

inline constexpr char ProductRunningMessage[] =
    "Please close your software, restart your machine and run setup again !";
inline constexpr char ErrorBoxCaption[] = "Application Error";
inline constexpr UINT ErrorBoxFlags = MB_OK | MB_ICONSTOP | MB_TASKMODAL | MB_SETFOREGROUND;
// Any other error that reaches the entry gets the same box, under the type
// name of the installer's own error, with one of these messages.
inline constexpr char GenericErrorTypeName[] = "Exception";
inline constexpr char OutOfMemoryMessage[] = "Not enough memory to go on with the installation";
inline constexpr char UnexpectedErrorMessage[] = "Unexpected error in the installation";

// Told where each part of the run begins, so that the action log can mark the
// operations of each stage. The run works the same with or without one.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void StageBegins(const char* stage) = 0;
  // A box the run left out because nobody could see it.
  virtual void BoxNotShown(const char* /*caption*/, const char* /*text*/) {}
};

// The guard, the context and every stage in their fixed order. Returns the
// exit code of an orderly end (0). The one raised error passes through.
int RunInstallation(PlatformOps& ops, NewDevLoader& newDev, RunObserver* observer = nullptr);

// The text of the "Application Error" box:
//   "Exception <type> in module <exe file name> at <8 hex digits>.\n<message>[.]"
std::string FormatErrorBoxText(const std::string& typeName, const std::string& moduleFileName,
                               uintptr_t location, const std::string& message);

// The process entry: on a window station nobody sees, leaves every box out
// (each as if its OK had been pressed); refuses a machine that cannot take
// the installation, loads the NewDev.dll binding, runs, turns any error that
// reaches it (the installer's own, or a foreign one such as running out of
// memory) into the "Application Error" box, and releases the binding on every
// way out.
// Returns the process exit code: 0, or 1 after the error box or after the
// machine was refused (64-bit Windows, a compatibility mode, no
// administrator rights).
int InstallerMain(PlatformOps& ops, RunObserver* observer = nullptr);

}  // namespace korvanta
