// The action log for support: switched on from outside (the suite's setup
// passes no option for it), it records every platform operation of a run in
// order, with its arguments and result, between a header and the exit code.
//
// A log looks like this (one operation per numbered line):
//   ==== korvanta-sysinstall 1.0.0 action log, started 2024-05-01 13:45:12
//   ==== executable "C:\setup\korvanta-sysinstall.exe"
//   ...
//   ---- TuneDiskCache
//   00012 CopyFileA("C:\setup\A.DLL", "C:\WINDOWS\system32\A.DLL", FALSE) = FALSE, error 0x20
//   ...
//   ==== exit code 0
// A box the run left out, nobody seeing its window station, is a "====" line
// of its own where the box would have been.
//
// The operations' lines come from the platform's logging decorator
// (platform/logging/); what they say about the run is added here.
#pragma once

#include <cstdint>
#include <string>

#include "install/run.h"
#include "platform/log_file.h"
#include "platform/logging/logging_platform_ops.h"
#include "platform/platform_ops.h"

namespace korvanta {

// The environment variable that holds the log file's path.
inline constexpr char ActionLogVariable[] = "KORVANTA_SYSINSTALL_LOG";

// Numbers the operations and writes the lines. Once a line cannot be written
// (a full disk, a file taken away) the log goes quiet for the rest of the run:
// a log that fails must leave the run exactly as it would be without it.
class ActionLog final : public RunObserver, public OperationLog {
 public:
  explicit ActionLog(LogFile& file) : file_(file) {}

  bool Active() const override { return active_; }
  // "00012 <text>"
  void Operation(const std::string& text) override;
  // "---- <stage>"
  void StageBegins(const char* stage) override;
  // "==== box not shown, the window station is not visible: <caption> <text>"
  void BoxNotShown(const char* caption, const char* text) override;
  // "==== <text>": the header and the end.
  bool Note(const std::string& text);

 private:
  bool Write(const std::string& line);

  LogFile& file_;
  uint32_t sequence_ = 0;
  bool active_ = true;
};

// The log's file, which the variable `path` came from names: opened for
// appending (created when missing) when it is a plain file path
// (IsPlainLogFilePath) and, on the NT family, a file of its own: one with a
// second name (a hard link) or a reparse point may have been planted by a
// user to lead the elevated run's lines into a system file, and is closed
// again. INVALID_HANDLE_VALUE when there is to be no log. Leaves the
// thread's last-error code as it found it.
HANDLE OpenActionLogFile(PlatformOps& ops, const std::string& path);

// The process entry with the action log: the header (time, executable,
// command line, platform, the context's directories), then InstallerMain with
// every operation logged and each stage marked, then the exit code. A log
// whose first line cannot be written is left alone at once, so the run makes
// exactly the calls it makes without a log. Returns the exit code.
int InstallerMainWithLog(PlatformOps& ops, LogFile& file);

}  // namespace korvanta
