#include "platform/win32/win32_log_file.h"

#include <string>
#include <vector>

namespace korvanta {
namespace {

// Keeps the thread's last-error code across the log's own calls: the
// installer may read it after an operation, and a log line written in between
// must not change what it reads.
class LastErrorKept {
 public:
  LastErrorKept() : code_(::GetLastError()) {}
  ~LastErrorKept() { ::SetLastError(code_); }

 private:
  DWORD code_;
};

std::string EnvironmentValue(const char* variable) {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = ::GetEnvironmentVariableA(variable, buffer.data(),
                                                   static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();  // unset, or set to nothing
    if (length < buffer.size()) return std::string(buffer.data(), length);
    // Too small: the length needed, terminator included, came back.
    buffer.assign(length + 1, '\0');
  }
}

}  // namespace

std::string Win32LogFile::PathNamedBy(const char* variable) {
  const LastErrorKept kept;
  return EnvironmentValue(variable);
}

std::unique_ptr<Win32LogFile> Win32LogFile::Adopt(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<Win32LogFile>(new Win32LogFile(file));
}

Win32LogFile::~Win32LogFile() {
  const LastErrorKept kept;
  ::CloseHandle(file_);
}

bool Win32LogFile::AppendLine(const std::string& line) {
  const LastErrorKept kept;
  const std::string text = line + "\r\n";
  // The 9x family has no append-only access, and another writer may have
  // added to the file since: move to its end before every line.
  ::SetLastError(NO_ERROR);
  if (::SetFilePointer(file_, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      ::GetLastError() != NO_ERROR) {
    return false;
  }
  DWORD written = 0;
  return ::WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

LogTime Win32LogFile::LocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return LogTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace korvanta
