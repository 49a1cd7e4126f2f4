// The one error the installer raises. It travels up to the entry's top-level
// handler, which shows its type name and message in the "Application Error"
// box; scoped owners release everything on the way.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace korvanta {

class InstallerException {
 public:
  // The code location shown in the error box is where the error was raised:
  // the return address of this constructor, i.e. the throwing function.
  [[gnu::noinline]] InstallerException(std::string typeName, std::string message)
      : typeName_(std::move(typeName)),
        message_(std::move(message)),
        location_(reinterpret_cast<uintptr_t>(__builtin_return_address(0))) {}

  const std::string& TypeName() const { return typeName_; }
  const std::string& Message() const { return message_; }
  uintptr_t Location() const { return location_; }

 private:
  std::string typeName_;
  std::string message_;
  uintptr_t location_;
};

}  // namespace korvanta
