// LogFile: where the action log goes. Deliberately not part of PlatformOps:
// the log's own writes must never show up among the operations it records,
// and a log that fails must not change what the installer does.
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace korvanta {

struct LogTime {
  WORD year = 0;
  WORD month = 0;
  WORD day = 0;
  WORD hour = 0;
  WORD minute = 0;
  WORD second = 0;
};

// Whether `path` may name the log's file: a plain file path, either a drive
// letter, a colon and a backslash, or a UNC path "\\server\share\...",
// whose file name is not a reserved device name (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9 and COM or LPT with a superscript 1, 2 or 3, with or without an
// extension). Every other form (\\.\, \\?\,
// \??\, forward slashes, relative paths) can reach a device, and the
// variable that names the path may come from an unelevated user.
bool IsPlainLogFilePath(const std::string& path);

class LogFile {
 public:
  virtual ~LogFile() = default;
  // Appends one line (the text holds no line end) and hands it to the system
  // at once. False when the line could not be written whole. Leaves the
  // thread's last-error code as it found it.
  virtual bool AppendLine(const std::string& line) = 0;
  virtual LogTime LocalTime() = 0;
};

}  // namespace korvanta
