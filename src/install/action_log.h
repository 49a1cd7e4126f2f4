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
// Strings are quoted; a double quote in them is doubled, and control bytes
// and bytes of 128 and above appear as \xNN, so that every line is plain
// ASCII whatever the code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "install/run.h"
#include "platform/log_file.h"
#include "platform/platform_ops.h"

namespace korvanta {

// The environment variable that holds the log file's path.
inline constexpr char ActionLogVariable[] = "KORVANTA_SYSINSTALL_LOG";

// How the log writes each kind of argument.
namespace logtext {
std::string Quoted(const char* text);                     // NULL, or the quoted string
std::string QuotedBytes(const void* data, size_t size);   // the bytes quoted, zeros included
std::string Hex(uint64_t value);                          // 0x1A4
std::string Dec(uint64_t value);
std::string Bool(BOOL value);                             // TRUE, FALSE, or the number
std::string Pointer(const void* pointer);                 // NULL, or its address in hex
std::string Guid(const GUID* guid);                       // NULL, or {XXXXXXXX-...}
std::string RegType(DWORD type);                          // REG_SZ, ..., or hex
// A registry value's data: strings quoted, a DWORD as one hex number, other
// data as hex bytes (hex:0F 14 D2).
std::string RegData(DWORD type, const BYTE* data, DWORD size);
std::string Time(const LogTime& time);                    // 2024-05-01 13:45:12
std::string Sequence(uint32_t number);                    // 00012
// The length of a string in a fixed buffer that need not be terminated.
size_t BoundedLength(const char* text, size_t size);
}  // namespace logtext

// Numbers the operations and writes the lines. Once a line cannot be written
// (a full disk, a file taken away) the log goes quiet for the rest of the run:
// a log that fails must leave the run exactly as it would be without it.
class ActionLog final : public RunObserver {
 public:
  explicit ActionLog(LogFile& file) : file_(file) {}

  bool Active() const { return active_; }
  // "00012 <text>"
  void Operation(const std::string& text);
  // "---- <stage>"
  void StageBegins(const char* stage) override;
  // "==== <text>": the header and the end.
  bool Note(const std::string& text);

 private:
  bool Write(const std::string& line);

  LogFile& file_;
  uint32_t sequence_ = 0;
  bool active_ = true;
};

// The process entry with the action log: the header (time, executable,
// command line, platform, the context's directories), then InstallerMain with
// every operation logged and each stage marked, then the exit code. A log
// whose first line cannot be written is left alone at once, so the run makes
// exactly the calls it makes without a log. Returns the exit code.
int InstallerMainWithLog(PlatformOps& ops, LogFile& file);

}  // namespace korvanta
