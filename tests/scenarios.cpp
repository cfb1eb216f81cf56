#include "tests/e2e.h"

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"NoArgument", kEverywhere,
       {"a.bak"}, {}, {}, -1, 1, {"a.bak"},
       "\n\n\rSyntax : ZAPEXT <extension> \n\n\r"},
      {"NothingMatches", kEverywhere,
       {"a.txt", "d/b.bakx", "d/c.bak.old", "archive.bak.zip", "notesbak"}, {"bak"},
       {}, 0, 0,
       {"a.txt", "archive.bak.zip", "d/", "d/b.bakx", "d/c.bak.old", "notesbak"}},
      {"OneFile", kEverywhere,
       {"one.bak", "two.txt"}, {"bak"},
       {"removing @/one.bak"}, 1, 0, {"two.txt"}},
      {"NestedAnyCase", kEverywhere,
       {"a.bak", "old.bak/", "old.bak/x.BAK", "old.bak/deep/y.Bak", "old.bak/deep/keep.c",
        "src/z.bAk", "src/.bak", "src/bak", "keep.txt"},
       {"BaK", "second", "third"},
       {"removing @/a.bak", "removing @/old.bak/x.BAK", "removing @/old.bak/deep/y.Bak",
        "removing @/src/z.bAk", "removing @/src/.bak", "removing @/src/bak"},
       6, 0,
       {"keep.txt", "old.bak/", "old.bak/deep/", "old.bak/deep/keep.c", "src/"}},
      {"ReadOnlyFiles", kEverywhere,
       {"r.bak ro", "d/s.bak ro", "d/t.txt ro"}, {"bak"},
       {"removing @/r.bak", "removing @/d/s.bak"}, 2, 0, {"d/", "d/t.txt"}},
      {"WildcardsAreLiteral", kEverywhere,
       {"a.bak", "b.txt"}, {"*.bak"},
       {}, 0, 0, {"a.bak", "b.txt"}},
      {"WildcardIsNotExpanded", kEverywhere,  // expanded, "b*" would be "bak"
       {"bak", "x.bak"}, {"b*"},
       {}, 0, 0, {"bak", "x.bak"}},
      {"StarMatchesNothingButAStar", kEverywhere,
       {"a.bak", "b.txt", "c"}, {"*"},
       {}, 0, 0, {"a.bak", "b.txt", "c"}},
      // Windows drops a trailing dot from a path: through wine such a name is
      // listed, but its removal finds nothing.
      {"EmptyArgument", kNative,
       {"a.", "b", "c.txt"}, {""},
       {"removing @/a."}, 1, 0, {"b", "c.txt"}},
      {"OddNames", kEverywhere,
       {"with space.bak", "-dash.bak", "d e/x.BAK", "x y"}, {"bak"},
       {"removing @/with space.bak", "removing @/-dash.bak", "removing @/d e/x.BAK"},
       3, 0, {"d e/", "x y"}},
      // Names are bytes on POSIX. Wine shows UTF-8 names in the ANSI code page
      // and cannot reach a name that is not UTF-8.
      {"EightBitNames", kNative,
       {"\xe9t\xe9.bak", "\xc3\xa9.bak", "x.\xc3\xa9"}, {"bak"},
       {"removing @/\xe9t\xe9.bak", "removing @/\xc3\xa9.bak"},
       2, 0, {"x.\xc3\xa9"}},
      // Windows folds the letters of its ANSI code page: here 1252, where the
      // argument e-acute (UTF-8 on the Linux side) is E9 and its capital C9.
      {"CodePageLettersFold", kWine,
       {"x.\xc3\xa9", "y.\xc3\x89", "z.e"}, {"\xc3\xa9"},
       {"removing @/x.\xe9", "removing @/y.\xc9"}, 2, 0, {"z.e"}},
      // In code page 932 "tsu" is 83 63: its second byte is a "c" that must
      // not fold, or it would read as "i" (83 43) and match that one too.
      {"DoubleByteCodePage", kWine,
       {"x.\xe3\x82\xa4", "y.\xe3\x83\x84"}, {"\xe3\x83\x84"},
       {"removing @/y.\x83\x63"}, 1, 0, {"x.\xe3\x82\xa4"},
       nullptr, false, 0, false, "ja_JP.UTF-8"},
      {"DirectoryLinkIsNotFollowed", kEverywhere,
       {"^/victim.bak", "^/sub/v.bak", "link -> ^/", "self -> .", "mine.bak"},
       {"bak"},
       {"removing @/mine.bak"}, 1, 0,
       {"^/sub/", "^/sub/v.bak", "^/victim.bak", "link", "self"}},
      // A link is a file on POSIX; Windows lists a directory link as a
      // directory with the reparse-point bit, and it is passed over.
      {"DirectoryLinkGoesAsAFile", kNative,
       {"^/sub/v.bak", "link.bak -> ^/sub"}, {"bak"},
       {"removing @/link.bak"}, 1, 0, {"^/sub/", "^/sub/v.bak"}},
      {"DirectoryLinkIsPassedOver", kWine,
       {"^/sub/v.bak", "link.bak -> ^/sub"}, {"bak"},
       {}, 0, 0, {"^/sub/", "^/sub/v.bak", "link.bak"}},
      // Through wine, removing a file link removes its target.
      {"FileLinkGoesTargetStays", kNative,
       {"^/target.bak", "^/other.txt", "a.bak -> ^/target.bak", "b.txt -> ^/other.txt",
        "c.bak -> ^/other.txt", "dangling.bak -> ^/nothing"},
       {"bak"},
       {"removing @/a.bak", "removing @/c.bak", "removing @/dangling.bak"}, 3, 0,
       {"^/other.txt", "^/target.bak", "b.txt"}},
      {"DeeperThanPathMax", kEverywhere,
       {"top.bak"}, {"bak"},
       {"removing @/top.bak"}, 1, 0, {}, nullptr, false, 99},
      {"UnlistableDirectoryIsReported", kEverywhere,
       {"a/1.bak", "locked/ locked", "locked/2.bak", "z/4.bak"}, {"bak"},
       {"removing @/a/1.bak", "Unable to list @/locked, error {denied}", "removing @/z/4.bak"},
       2, 2, {"a/", "locked/", "locked/2.bak", "z/"},
       nullptr, true},
      // Wine reports a removal the directory refuses as done.
      {"UnremovableFileIsReported", kNative,
       {"a/1.bak", "sealed/ sealed", "sealed/3.bak", "sealed/keep.txt", "z/4.bak"}, {"bak"},
       {"removing @/a/1.bak", "removing @/sealed/3.bak",
        "Unable to remove @/sealed/3.bak, error {denied}", "removing @/z/4.bak"},
       2, 2, {"a/", "sealed/", "sealed/3.bak", "sealed/keep.txt", "z/"},
       nullptr, true},
      // Windows refuses names that hold wildcards; wine lists them all the same.
      {"RefusedNamesAreReported", kWine,
       {"st*r.bak", "q?m.bak ro", "ok.bak"}, {"bak"},
       {"removing @/st*r.bak", "Unable to remove @/st*r.bak, error {bad name}",
        "Unable to remove read-only for @/q?m.bak, error {bad name}", "removing @/ok.bak"},
       1, 2, {"q?m.bak", "st*r.bak"}},
      // Windows drops a name's trailing dot from its path, so such a file,
      // though listed, cannot be removed: that is a failure, not a file gone.
      {"TrailingDotIsReported", kWine,
       {"a.", "b"}, {""},
       {"removing @/a.", "Unable to remove @/a., error 2"}, 0, 2, {"a.", "b"}},
      {"DriveRootGivesTwoSeparators", kWine,
       {"a.bak", "sub/b.bak", "keep.txt"}, {"bak"},
       {"removing @/a.bak", "removing @/sub/b.bak"}, 2, 0, {"keep.txt", "sub/"},
       nullptr, false, 0, true},
  };
  return scenarios;
}
