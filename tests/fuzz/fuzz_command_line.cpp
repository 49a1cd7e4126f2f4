// Fuzz target: the command-line splitting. Beyond not crashing, every
// argument keeps the rules the run relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "install/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The system hands over a zero-terminated line; a zero byte inside the
  // input simply ends it early.
  const std::string line(reinterpret_cast<const char*>(data), size);
  bool ended = false;
  for (int n = 1; n <= 4; ++n) {
    const std::optional<std::string> argument = korvanta::CommandLineArgument(line.c_str(), n);
    if (!argument) continue;  // refused whole: too long for its buffer
    // It fits its buffer with the terminating zero, and a double quote can
    // never be part of an argument.
    if (argument->size() >= korvanta::ArgumentBufferSize) std::abort();
    if (argument->find('"') != std::string::npos) std::abort();
    if (argument->find('\0') != std::string::npos) std::abort();
    // Once the line has ended, every later argument is empty too.
    if (ended && !argument->empty()) std::abort();
    // An empty argument ends the line unless it was an explicit "".
    if (argument->empty() && line.find("\"\"") == std::string::npos) ended = true;
  }
  return 0;
}
