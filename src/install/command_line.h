// Splitting of the process command line into arguments.
#pragma once

#include <optional>
#include <string>

namespace korvanta {

// Each argument is held in a buffer of this many bytes, terminating zero
// included; a longer argument does not fit.
inline constexpr size_t ArgumentBufferSize = 256;

// Argument n (n >= 1) of the raw command line `line`: token 0 (the program as
// typed) is dropped and token n returned; an empty string when the line ends
// before token n. std::nullopt when the argument does not fit its buffer: it is
// refused whole, never cut short.
//
// Tokens are separated by characters of code 1 to 32; bytes of 128 and above
// are ordinary characters. A double quote opens a stretch taken literally up to
// the next double quote (or the end of the line), the quotes themselves being
// dropped; quoted and unquoted pieces next to each other form one token. There
// is no escape character. Two double quotes alone ("") form an empty argument
// of their own, so that an empty application directory keeps its place.
std::optional<std::string> CommandLineArgument(const char* line, int n);

}  // namespace korvanta
