// The Windows entry point. A GUI-subsystem program, so that no console window
// ever opens when the suite's setup starts it.
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "install/action_log.h"
#include "install/run.h"
#include "platform/win32/win32_log_file.h"
#include "platform/win32/win32_platform_ops.h"

// libstdc++'s default terminate handler prints a demangled message to a
// console the program does not have; replacing it drops the demangler from the
// executable (about 50 KB).
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  korvanta::Win32PlatformOps ops;
  // The action log is switched on from outside, for support; without it, or
  // when its file cannot be opened or is not its own, the run is exactly the
  // plain one.
  const std::unique_ptr<korvanta::LogFile> log =
      korvanta::Win32LogFile::Adopt(korvanta::OpenActionLogFile(
          ops, korvanta::Win32LogFile::PathNamedBy(korvanta::ActionLogVariable)));
  const int exitCode =
      log ? korvanta::InstallerMainWithLog(ops, *log) : korvanta::InstallerMain(ops);
  ops.ExitProcess(static_cast<UINT>(exitCode));
  return exitCode;
}
