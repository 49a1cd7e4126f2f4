// The platform with the action log in front. Every operation is forwarded
// unchanged to the platform below and then written to the log with its
// arguments, its output parameters and its result, and with the thread's
// last-error code when it failed. Nothing else differs: results, output
// parameters and the last-error code reach the caller exactly as the platform
// below left them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform_ops.h"

namespace korvanta {

// Where the decorator's lines go: the run's action log, which numbers them and
// goes quiet once its file fails.
class OperationLog {
 public:
  virtual bool Active() const = 0;
  virtual void Operation(const std::string& text) = 0;

 protected:
  ~OperationLog() = default;
};

// `system` with every operation written to `log`; both must outlive it.
std::unique_ptr<PlatformOps> MakeLoggingPlatformOps(PlatformOps& system, OperationLog& log);

// The formatting the run's own lines share with the operations'.
namespace logtext {
std::string Quoted(const char* text);                    // NULL, or the quoted string
std::string QuotedBytes(const void* data, size_t size);  // the bytes quoted, zeros included
// The text in a fixed buffer that need not be terminated, quoted.
std::string QuotedFixed(const char* text, size_t size);
std::string Dec(uint64_t value);
}  // namespace logtext

}  // namespace korvanta
