#include <gtest/gtest.h>

#include "sweep/sweep.h"

namespace {

struct MatchCase {
  const char* name;
  const char* extension;  // ExtensionOf(name)
  const char* wanted;     // as typed on the command line
  bool matches;
};

const MatchCase kMatchCases[] = {
    {"notes.bak", "BAK", "bak", true},
    {"NOTES.Bak", "BAK", "bak", true},
    {".bak", "BAK", "bak", true},
    {"bak", "BAK", "bak", true},  // no dot: the whole name
    {"BAK", "BAK", "bak", true},
    {"archive.bak.zip", "ZIP", "bak", false},
    {"notesbak", "NOTESBAK", "bak", false},
    {"notes.bak.old", "OLD", "bak", false},
    {"notes.bakx", "BAKX", "bak", false},
    {"notes.ba", "BA", "bak", false},
    {"ak", "AK", "bak", false},  // shorter than the extension wanted
    {"notes.", "", "bak", false},
    {"notes.", "", "", true},  // an empty extension matches only a trailing dot
    {"notes", "NOTES", "", false},
    {"a.tar.gz", "GZ", "tar.gz", false},  // a dot in the wanted text never matches
    {"a.bak", "BAK", ".bak", false},
    {"a.bak", "BAK", "*.bak", false},  // no wildcards
    {"a.*", "*", "*", true},
    {"a.b?k", "B?K", "b?k", true},
    {"a.bak", "BAK", "b?k", false},
    {"a.C++", "C++", "c++", true},
    {"a.1", "1", "1", true},
    {"a._b", "_B", "_b", true},
    {"a.{b", "{B", "[b", false},  // '{' is not 'a'-'z' shifted: no folding of punctuation
    {"a.\xc3\xa9", "\xc3\xa9", "\xc3\xa9", true},  // UTF-8 kept as it is
    {"a.\xc3\xa9", "\xc3\xa9", "\xc3\x89", false},  // letters beyond ASCII do not fold
    {"a.bak ", "BAK ", "bak", false},  // no trimming
    {"..", "", "", true},
};

TEST(MatchTest, ExtensionAndMatch) {
  for (const MatchCase& c : kMatchCases) {
    SCOPED_TRACE(std::string(c.name) + " / " + c.wanted);
    EXPECT_STREQ(c.extension, ExtensionOf(c.name));
    CString wanted(c.wanted);
    wanted.MakeUpper();
    EXPECT_EQ(c.matches, MatchesExtension(c.name, wanted));
    EXPECT_EQ(c.matches, ExtensionOf(c.name) == wanted);
  }
}

TEST(CStringTest, Operations) {
  CString text("abc.Def");
  EXPECT_EQ(3, text.ReverseFind('.'));
  EXPECT_EQ(-1, text.ReverseFind('x'));
  EXPECT_STREQ("Def", text.Right(3));
  EXPECT_STREQ("abc.Def", text.Right(99));
  EXPECT_STREQ("", text.Right(0));
  EXPECT_STREQ("abc.Def/x", text + '/' + "x");
  text.MakeUpper();
  EXPECT_STREQ("ABC.DEF", text);
}

}  // namespace
