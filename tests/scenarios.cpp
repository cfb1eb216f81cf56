#include "tests/e2e.h"

const std::vector<Scenario>& Scenarios() {
  // Full-width \ / : . (U+FF3C, U+FF0F, U+FF1A, U+FF0E) in UTF-8.
  const std::string kBack = "\xef\xbc\xbc", kSlash = "\xef\xbc\x8f", kColon = "\xef\xbc\x9a",
                    kDot = "\xef\xbc\x8e";
  // "l-stroke o-acute d z-acute" in UTF-8, and as code page 1252 shows it.
  const std::string kLodz = "\xc5\x82\xc3\xb3" "d\xc5\xba", kLodzShown = "?\xf3" "d?";
  // Hiragana "a" runs: 3 bytes a character in UTF-8, 2 in code page 932.
  auto hiragana = [](int n, bool cp932) {
    std::string text;
    for (int i = 0; i < n; ++i) text += cp932 ? "\x82\xa0" : "\xe3\x81\x82";
    return text;
  };
  const std::string kJa80 = hiragana(80, false), kJa40 = hiragana(40, false),
                    kJa80Shown = hiragana(80, true), kJa40Shown = hiragana(40, true);
  // The working directory's text is 29 characters (Z:\tmp\zapext-e2e.XXXXXX\work).
  const std::string kTo256(226, 'c');
  const char* kSyntax = "\n\n\rSyntax : ZAPEXT <extension> \n\n\r";
  const char* kUsage =
      "Usage: zapext [-n | --dry-run] [--] EXTENSION\n"
      "       zapext -h | --help | --version\n"
      "\n"
      "Removes every file whose extension is EXTENSION (the text after the last\n"
      "dot of its name, in any letter case) from the current directory and every\n"
      "directory beneath it, naming each one. It asks no questions.\n"
      "\n"
      "  -n, --dry-run  name the files it would remove; remove nothing\n"
      "  --             take the next word as the extension, whatever it is\n"
      "  -h, --help     show this text\n"
      "  --version      show the version\n"
      "\n"
      "Only the first word can be an option; words after the extension are ignored.\n"
      "\n"
      "Exit status: 0 done, 1 no extension or a refused word, 2 something failed.\n"
      "\n"
      "Example: zapext -n bak    lists the files that zapext bak would remove.\n";
  static const std::vector<Scenario> scenarios = {
      {"NoArgument", kEverywhere,
       {"a.bak"}, {}, {}, -1, 1, {"a.bak"},
       kSyntax},
      // Options are read in the first word only, and touch nothing.
      {"Help", kEverywhere,
       {"--help", "x.--help", "y.bak"}, {"--help", "bak"}, {}, -1, 0,
       {"--help", "x.--help", "y.bak"}, kUsage},
      {"HelpShort", kEverywhere,
       {"-h", "x.-h"}, {"-h"}, {}, -1, 0, {"-h", "x.-h"}, kUsage},
      {"SlashQuestionAsksForHelp", kWine,
       {"a.bak"}, {"/?"}, {}, -1, 0, {"a.bak"}, kUsage},
      // A slash never stands in a name: "/?" matches nothing.
      {"SlashQuestionIsAnExtension", kNative,
       {"a.bak", "b"}, {"/?"}, {}, 0, 0, {"a.bak", "b"}},
      {"Version", kEverywhere,
       {"x.--version"}, {"--version"}, {}, -1, 0, {"x.--version"},
       "zapext " ZAPEXT_VERSION "\n"},
      // Everything a run would remove is named in its place, and counted;
      // nothing changes, not even a read-only attribute.
      {"DryRun", kEverywhere,
       {"r.bak ro", "d/s.bak ro", "d/t.txt", "locked/ locked", "locked/2.bak", "z/4.bak",
        "keep.txt"},
       {"--dry-run", "bak"},
       {"would remove @/r.bak", "would remove @/d/s.bak",
        "Unable to list @/locked, error {denied}", "would remove @/z/4.bak"},
       3, 2,
       {"d/", "d/s.bak ro", "d/t.txt", "keep.txt", "locked/", "locked/2.bak", "r.bak ro", "z/",
        "z/4.bak"},
       nullptr, true, 0, false, nullptr, "", "would remove"},
      {"DryRunShort", kEverywhere,
       {"a.bak", "sub/b.BAK", "c.txt"}, {"-n", "bak"},
       {"would remove @/a.bak", "would remove @/sub/b.BAK"}, 2, 0,
       {"a.bak", "c.txt", "sub/", "sub/b.BAK"},
       nullptr, false, 0, false, nullptr, "", "would remove"},
      {"DryRunWithoutExtension", kEverywhere,
       {"a.bak", "x.--dry-run"}, {"--dry-run"}, {}, -1, 1, {"a.bak", "x.--dry-run"},
       kSyntax},
      {"DoubleDashTakesTheNextWord", kEverywhere,
       {"--help", "x.--help", "y.bak"}, {"--", "--help"},
       {"removing @/--help", "removing @/x.--help"}, 2, 0, {"y.bak"}},
      {"UnknownLongOptionIsRefused", kEverywhere,
       {"x.--frobnicate", "a.bak"}, {"--frobnicate", "bak"}, {}, -1, 1,
       {"a.bak", "x.--frobnicate"},
       "Unknown option --frobnicate; to mean it as an extension: zapext -- --frobnicate\n"},
      {"DashWordIsAnExtension", kEverywhere,
       {"x.-1", "-1", "y.1"}, {"-1"},
       {"removing @/x.-1", "removing @/-1"}, 2, 0, {"y.1"}},
      {"LaterWordsAreNotOptions", kEverywhere,
       {"a.bak", "x.--dry-run"}, {"bak", "--dry-run"},
       {"removing @/a.bak"}, 1, 0, {"x.--dry-run"}},
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
      // Read-only belongs to the file: removing one link of it leaves the
      // file, reached by its other link, read-only.
      {"ReadOnlyFiles", kEverywhere,
       {"r.bak ro", "d/s.bak ro", "d/t.txt ro", "^/shared.bak ro", "h.bak => ^/shared.bak"},
       {"bak"},
       {"removing @/r.bak", "removing @/d/s.bak", "removing @/h.bak"}, 3, 0,
       {"^/shared.bak ro", "d/", "d/t.txt ro"}},
      {"WildcardsAreLiteral", kEverywhere,
       {"a.bak", "b.txt"}, {"*.bak"},
       {}, 0, 0, {"a.bak", "b.txt"}},
      {"WildcardIsNotExpanded", kEverywhere,  // expanded, "b*" would be "bak"
       {"bak", "x.bak"}, {"b*"},
       {}, 0, 0, {"bak", "x.bak"}},
      {"StarMatchesNothingButAStar", kEverywhere,
       {"a.bak", "b.txt", "c"}, {"*"},
       {}, 0, 0, {"a.bak", "b.txt", "c"}},
      // Windows cannot reach a name that ends in a dot: see TrailingDotIsReported.
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
      // Names are bytes: escapes, control characters, invalid UTF-8 and the
      // longest name allowed are handled as any other; only "." and ".."
      // themselves are passed over, never a name of more dots.
      {"HostileNames", kNative,
       {"esc\x1b[31m.bak", "ctl\a\r\t.bak", "\xff\xfe\x80.bak", std::string(251, 'n') + ".bak",
        std::string(255, 'k'), "...", "..../z.bak", ".. /y.bak"},
       {"bak"},
       {"removing @/esc\x1b[31m.bak", "removing @/ctl\a\r\t.bak", "removing @/\xff\xfe\x80.bak",
        "removing @/" + std::string(251, 'n') + ".bak", "removing @/..../z.bak",
        "removing @/.. /y.bak"},
       6, 0, {std::string(255, 'k'), "...", "..../", ".. /"}},
      {"DotNamesWithEmptyArgument", kNative,
       {"...", "..../a.", "x..", "y"}, {""},
       {"removing @/...", "removing @/..../a.", "removing @/x.."}, 3, 0, {"..../", "y"}},
      {"NewlineInName", kNative,
       {"new\nline.bak", "keep\n.txt"}, {"bak"},
       {"removing @/new", "line.bak"}, 1, 0, {"keep\n.txt"}},
      // The argument is bytes too, matched as the rule says and never taken
      // for a path or a pattern.
      {"ArgumentWithControlBytes", kNative,
       {"a.\x1b\t\x01", "b.\x1b\t\x02", "c.bak"}, {"\x1b\t\x01"},
       {"removing @/a.\x1b\t\x01"}, 1, 0, {"b.\x1b\t\x02", "c.bak"}},
      {"ArgumentNotUtf8", kNative,
       {"a.\xff\xe9", "b.\xff\xc9", "c.\xc3\xa9"}, {"\xff\xe9"},
       {"removing @/a.\xff\xe9"}, 1, 0, {"b.\xff\xc9", "c.\xc3\xa9"}},
      {"ArgumentIsASlash", kNative,
       {"a.bak", "d/b.bak", "^/c.bak"}, {"/"},
       {}, 0, 0, {"^/c.bak", "a.bak", "d/", "d/b.bak"}},
      {"ArgumentIsDotDot", kNative,
       {"a..", "...", "d/b.bak", "^/c.."}, {".."},
       {}, 0, 0, {"...", "^/c..", "a..", "d/", "d/b.bak"}},
      {"ArgumentIsAPath", kNative,
       {"a.bak", "^/c.bak"}, {"../outside/c.bak"},
       {}, 0, 0, {"^/c.bak", "a.bak"}},
      {"LongestArgumentLinuxPasses", kNative,
       {"a.bak", "b." + std::string(250, 'b')}, {std::string(128 * 1024 - 1, 'b')},
       {}, 0, 0, {"a.bak", "b." + std::string(250, 'b')}},
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
        "removing @/q?m.bak", "Unable to remove @/q?m.bak, error {bad name}",
        "removing @/ok.bak"},
       1, 2, {"q?m.bak ro", "st*r.bak"}},
      // A Win32 path drops a name's trailing dot, and would reach the twin
      // without it: such a name is refused, never taken for another.
      {"TrailingDotIsReported", kWine,
       {"a.", "a", "d./", "d/"}, {""},
       {"removing @/a.", "Unable to remove @/a., error {bad name}",
        "Unable to list @/d., error {bad name}"},
       0, 2, {"a", "a.", "d./", "d/"}},
      // Characters code page 1252 cannot hold become '?', never a look-alike:
      // best fit made full-width \ / : . separators, a stream and dots, so
      // paths out of the tree, and a-macron an "a". Such names are refused,
      // nothing outside is touched, and "notes.b?k" does not match.
      {"NamesTheCodePageCannotHold", kWine,
       {"^/a.bak", "^/c.bak", "^/sub/b.bak", kBack + ".." + kBack + "outside" + kBack + "a.bak",
        kBack + ".." + kBack + "outside/in.bak", ".." + kSlash + "outside" + kSlash + "c.bak",
        ".." + kSlash + "outside/", "x" + kColon + "y.bak", "x", "c" + kColon + "/",
        "notes" + kDot + "bak", kDot + kDot + "/z.bak", "notes.b\xc4\x81k"},
       {"bak"},
       {"removing @/?..?outside?a.bak", "Unable to remove @/?..?outside?a.bak, error {bad name}",
        "Unable to list @/?..?outside, error {bad name}",
        "removing @/..?outside?c.bak", "Unable to remove @/..?outside?c.bak, error {bad name}",
        "Unable to list @/..?outside, error {bad name}",
        "removing @/x?y.bak", "Unable to remove @/x?y.bak, error {bad name}",
        "Unable to list @/c?, error {bad name}", "Unable to list @/??, error {bad name}"},
       0, 2,
       {"^/a.bak", "^/c.bak", "^/sub/", "^/sub/b.bak", kBack + ".." + kBack + "outside" + kBack + "a.bak",
        kBack + ".." + kBack + "outside/", kBack + ".." + kBack + "outside/in.bak",
        ".." + kSlash + "outside" + kSlash + "c.bak", ".." + kSlash + "outside/",
        "x" + kColon + "y.bak", "x", "c" + kColon + "/", "notes" + kDot + "bak", kDot + kDot + "/",
        kDot + kDot + "/z.bak", "notes.b\xc4\x81k"}},
      // Best fit would make "a-macron" an "a" and match n.bak: an argument
      // the code page cannot hold is refused, and nothing is touched.
      {"ArgumentTheCodePageCannotHold", kWine,
       {"n.bak", "m.b\xc4\x81k"}, {"b\xc4\x81k"},
       {}, -1, 1, {"m.b\xc4\x81k", "n.bak"},
       "Unable to use the extension b?k, error 1113\n"},
      // No name holds '?': in a name shown it stands for a character the code
      // page cannot hold, so "b?k" could only announce names never removed.
      {"QuestionMarkArgumentIsRefused", kWine,
       {"x.b\xc4\x81k", "y.b\xc5\xafk", "z.bak"}, {"b?k"},
       {}, -1, 1, {"x.b\xc4\x81k", "y.b\xc5\xafk", "z.bak"},
       "Unable to use the extension b?k, error 123\n"},
      // A current directory the code page cannot hold is refused as the same
      // name inside the tree is (NamesTheCodePageCannotHold).
      {"CurrentDirectoryTheCodePageCannotHold", kWine,
       {kLodz + "/a.bak"}, {"bak"},
       {"Unable to list @/" + kLodzShown + ", error {bad name}"}, 0, 2,
       {kLodz + "/", kLodz + "/a.bak"},
       nullptr, false, 0, false, nullptr, kLodz},
      // Paths are held to MAX_PATH in characters, as Windows counts: the
      // current directory is 151 characters but 271 bytes in code page 932,
      // its subdirectory 232 characters.
      {"LengthsCountCharacters", kWine,
       {kJa80 + "/" + kJa40 + "/x.bak", kJa80 + "/" + kJa40 + "/" + kJa80 + "/y.bak"}, {"bak"},
       {"removing @/" + kJa80Shown + "/" + kJa40Shown + "/x.bak",
        "removing @/" + kJa80Shown + "/" + kJa40Shown + "/" + kJa80Shown + "/y.bak"},
       2, 0, {kJa80 + "/", kJa80 + "/" + kJa40 + "/", kJa80 + "/" + kJa40 + "/" + kJa80 + "/"},
       nullptr, false, 0, false, "ja_JP.UTF-8", kJa80 + "/" + kJa40},
      // A current directory of 256 characters: its listing would pass MAX_PATH.
      {"CurrentDirectoryListedWithinTheLimit", kWine,
       {kTo256 + "/a.bak"}, {"bak"},
       {"Unable to list @/" + kTo256 + ", error {too long}"}, 0, 2,
       {kTo256 + "/", kTo256 + "/a.bak"},
       nullptr, false, 0, false, nullptr, kTo256},
      {"DriveRootGivesTwoSeparators", kWine,
       {"a.bak", "sub/b.bak", "keep.txt"}, {"bak"},
       {"removing @/a.bak", "removing @/sub/b.bak"}, 2, 0, {"keep.txt", "sub/"},
       nullptr, false, 0, true},
  };
  return scenarios;
}
