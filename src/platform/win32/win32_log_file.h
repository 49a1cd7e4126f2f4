// Win32LogFile: the action log's file on Windows, written with the plain
// kernel32 file functions that every Windows since 95 and NT 3.51 has.
#pragma once

#include <memory>
#include <string>

#include "platform/log_file.h"

namespace korvanta {

class Win32LogFile final : public LogFile {
 public:
  // The value of the environment variable that names the log's file; empty
  // when it is unset or empty. Leaves the thread's last-error code as it
  // found it.
  static std::string PathNamedBy(const char* variable);
  // The log written to a file opened for it (OpenActionLogFile), which it
  // closes; null for INVALID_HANDLE_VALUE.
  static std::unique_ptr<Win32LogFile> Adopt(HANDLE file);

  ~Win32LogFile() override;
  Win32LogFile(const Win32LogFile&) = delete;
  Win32LogFile& operator=(const Win32LogFile&) = delete;

  bool AppendLine(const std::string& line) override;
  LogTime LocalTime() override;

 private:
  explicit Win32LogFile(HANDLE file) : file_(file) {}
  HANDLE file_;
};

}  // namespace korvanta
