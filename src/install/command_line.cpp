#include "install/command_line.h"

namespace korvanta {
namespace {

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

// Reads the token that starts at `p` into `token` and returns the position
// after it.
const char* ReadToken(const char* p, std::string& token) {
  token.clear();
  while (*p != '\0' && !IsBlank(static_cast<unsigned char>(*p))) {
    if (*p == '"') {
      ++p;
      while (*p != '\0' && *p != '"') token += *p++;
      if (*p == '"') ++p;
    } else {
      token += *p++;
    }
  }
  return p;
}

const char* SkipBlanks(const char* p) {
  while (IsBlank(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace

std::optional<std::string> CommandLineArgument(const char* line, int n) {
  if (line == nullptr || n < 1) return std::string();
  std::string token;
  const char* p = line;
  for (int index = 0; index <= n; ++index) {
    p = SkipBlanks(p);
    if (*p == '\0') return std::string();
    p = ReadToken(p, token);
  }
  if (token.size() >= ArgumentBufferSize) return std::nullopt;
  return token;
}

}  // namespace korvanta
