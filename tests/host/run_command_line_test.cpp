// Splitting of the raw command line into the installer's two arguments.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "install/command_line.h"

namespace korvanta {
namespace {

std::optional<std::string> Arg(const std::string& line, int n) {
  return CommandLineArgument(line.c_str(), n);
}

TEST(CommandLineSplitting, ProgramTokenIsDroppedAndArgumentsCountFromOne) {
  EXPECT_EQ(Arg("setup.exe C:\\App Manual", 1), "C:\\App");
  EXPECT_EQ(Arg("setup.exe C:\\App Manual", 2), "Manual");
  EXPECT_EQ(Arg("setup.exe C:\\App Manual", 3), "");
  EXPECT_EQ(Arg("setup.exe", 1), "");
  EXPECT_EQ(Arg("", 1), "");
  EXPECT_EQ(CommandLineArgument(nullptr, 1), "");
}

TEST(CommandLineSplitting, AnyControlCharacterOrBlankSeparates) {
  EXPECT_EQ(Arg("  setup.exe\t\tC:\\App\r\n\x01Manual  ", 1), "C:\\App");
  EXPECT_EQ(Arg("  setup.exe\t\tC:\\App\r\n\x01Manual  ", 2), "Manual");
}

TEST(CommandLineSplitting, QuotedProgramPathWithBlanksIsOneToken) {
  EXPECT_EQ(Arg("\"C:\\Program Files\\Setup\\setup.exe\" C:\\App", 1), "C:\\App");
}

TEST(CommandLineSplitting, QuotesKeepBlanksAndAreDropped) {
  EXPECT_EQ(Arg("setup.exe \"C:\\Program Files\\Korvanta\" Manual", 1),
            "C:\\Program Files\\Korvanta");
  EXPECT_EQ(Arg("setup.exe \"C:\\Program Files\\Korvanta\" Manual", 2), "Manual");
}

TEST(CommandLineSplitting, QuotesInsideATokenJoinThePieces) {
  EXPECT_EQ(Arg("setup.exe C:\\\"Program Files\"\\Korvanta next", 1),
            "C:\\Program Files\\Korvanta");
  EXPECT_EQ(Arg("setup.exe a\"b c\"d\"e\"f g", 1), "ab cdef");
  EXPECT_EQ(Arg("setup.exe a\"b c\"d\"e\"f g", 2), "g");
}

TEST(CommandLineSplitting, BackslashIsNoEscapeCharacter) {
  EXPECT_EQ(Arg("setup.exe \"C:\\App\\\" Manual", 1), "C:\\App\\");
  EXPECT_EQ(Arg("setup.exe \"C:\\App\\\" Manual", 2), "Manual");
}

TEST(CommandLineSplitting, MissingClosingQuoteRunsToTheEndOfTheLine) {
  EXPECT_EQ(Arg("setup.exe \"C:\\My App  Manual", 1), "C:\\My App  Manual");
  EXPECT_EQ(Arg("setup.exe \"C:\\My App  Manual", 2), "");
}

TEST(CommandLineSplitting, BytesOf128AndAboveAreOrdinaryCharacters) {
  const std::string line = "setup.exe C:\\\xC4nderung\xFF M\xFC\xA0x";
  EXPECT_EQ(Arg(line, 1), "C:\\\xC4nderung\xFF");
  EXPECT_EQ(Arg(line, 2), "M\xFC\xA0x");
}

// Two double quotes alone are an empty argument that keeps its place: the
// manual name after it must not become the application directory.
TEST(CommandLineSplitting, EmptyQuotedArgumentKeepsItsPlace) {
  EXPECT_EQ(Arg("prog.exe \"\" Manual", 1), "");
  EXPECT_EQ(Arg("prog.exe \"\" Manual", 2), "Manual");
  EXPECT_EQ(Arg("prog.exe C:\\App \"\"", 2), "");
  EXPECT_EQ(Arg("prog.exe \"\"\"\" Manual", 1), "");
  EXPECT_EQ(Arg("prog.exe \"\"\"\" Manual", 2), "Manual");
  // Quotes directly followed by text are part of that token.
  EXPECT_EQ(Arg("prog.exe \"\"Manual x", 1), "Manual");
}

TEST(CommandLineSplitting, ArgumentThatDoesNotFitItsBufferIsRefusedWhole) {
  const std::string longest(255, 'a');  // 255 characters and the terminating zero
  const std::string tooLong(256, 'b');
  EXPECT_EQ(Arg("setup.exe " + longest + " Manual", 1), longest);
  EXPECT_EQ(Arg("setup.exe " + tooLong + " Manual", 1), std::nullopt);
  EXPECT_EQ(Arg("setup.exe " + tooLong + " Manual", 2), "Manual");
  EXPECT_EQ(Arg("setup.exe C:\\App " + tooLong, 2), std::nullopt);
  // Quotes do not count: the argument's own bytes do.
  EXPECT_EQ(Arg("setup.exe \"" + longest + "\"", 1), longest);
}

}  // namespace
}  // namespace korvanta
