// Win32LogFile: the action log's file on Windows, written with the plain
// kernel32 file functions that every Windows since 95 and NT 3.51 has.
#pragma once

#include <memory>

#include "platform/log_file.h"

namespace korvanta {

class Win32LogFile final : public LogFile {
 public:
  // The file named by the environment variable, opened for appending; null
  // when the variable is unset or empty, names no plain file path, or the
  // file cannot be opened. Leaves
  // the thread's last-error code as it found it.
  static std::unique_ptr<Win32LogFile> OpenNamedBy(const char* variable);

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
