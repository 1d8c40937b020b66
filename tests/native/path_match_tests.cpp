// Device paths are matched with only the ASCII letters folded, whatever the
// locale: a byte that is a letter in some code page is still compared exactly.
#include "usb/path_match.h"

#include <gtest/gtest.h>

namespace {

struct MatchCase {
  const char* a;
  const char* b;
  bool match;
};

const MatchCase kCases[] = {
    {"", "", true},
    {"\\\\?\\usb#vid_0000&pid_0000#sim1#{003b07b0}", "\\\\?\\USB#VID_0000&PID_0000#SIM1#{003B07B0}", true},
    {"AZaz", "azAZ", true},
    {"abc", "abd", false},
    {"abc", "abcd", false},
    {"abcd", "abc", false},
    {"", "a", false},
    // Pairs 0x20 apart that are not letters.
    {"[", "{", false},
    {"@", "`", false},
    {"]", "}", false},
    {"^", "~", false},
    // 8-bit letters (cp1251 А/а, cp1252 À/à) are not folded.
    {"\xC0", "\xE0", false},
    {"\xE0", "\xE0", true},
};

TEST(PathMatch, FoldsOnlyAsciiLetters) {
  for (const MatchCase& c : kCases) {
    EXPECT_EQ(PathsMatch(c.a, c.b), c.match) << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(PathsMatch(c.b, c.a), c.match) << '"' << c.b << "\" vs \"" << c.a << '"';
  }
}

}  // namespace
