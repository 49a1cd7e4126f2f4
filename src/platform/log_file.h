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
