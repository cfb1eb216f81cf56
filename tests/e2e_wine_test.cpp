// The end-to-end scenarios, run against the Windows build under wine, in the
// prefix that the CTest fixture (wine_prefix.sh) makes and serves.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/e2e.h"

namespace {

// Wine's drive Z: is the Linux root.
std::string WineRoot(const std::string& path) {
  std::string text = "Z:" + path;
  for (char& c : text)
    if (c == '/') c = '\\';
  return text;
}

// Runs a test against zapext.exe, in the prefix the fixture serves.
class Wine : public testing::Test {
 protected:
  void SetUp() override {
    if (!*ZAPEXT_WINE_LOADER) return RunnerMissing("no Windows scenarios: " ZAPEXT_WINE_WAY);
    struct stat prefix;
    ASSERT_EQ(0, stat(ZAPEXT_WINE_DIR "/prefix/system.reg", &prefix))
        << "no wine prefix: run the tests through ctest, whose fixture makes it";
  }

  static Runner WineRunner() {
    Runner runner;
    runner.command = {ZAPEXT_WINE_LOADER, ZAPEXT_WINE_DIR "/zapext.exe"};
    runner.separator = '\\';
    runner.line_end = "\r\n";
    runner.root_text = WineRoot;
    // The locale decides the ANSI code page: C.UTF-8 gives 1252.
    runner.environment = {"WINELOADER=" ZAPEXT_WINE_LOADER, "WINESERVER=" ZAPEXT_WINESERVER,
                          "WINEDEBUG=-all", "WINEPREFIX=" ZAPEXT_WINE_DIR "/prefix",
                          "LC_ALL=C.UTF-8"};
    // Wine will not run in a prefix owned by someone else.
    runner.unprivileged_environment = {"WINEPREFIX=" ZAPEXT_WINE_DIR "/prefix-nobody"};
    // ERROR_ACCESS_DENIED, ERROR_FILENAME_EXCED_RANGE, ERROR_INVALID_NAME
    runner.error_codes = {{"{denied}", 5}, {"{too long}", 206}, {"{bad name}", 123}};
    runner.path_limit = 260;  // MAX_PATH
    runner.drive_link = ZAPEXT_WINE_DIR "/prefix/dosdevices/y:";
    runner.drive_root = "Y:\\";
    return runner;
  }
};

class WineTest : public Wine, public testing::WithParamInterface<Scenario> {};

TEST_P(WineTest, Scenario) {
  SCOPED_TRACE("Windows scenarios: " ZAPEXT_WINE_WAY);
  RunScenario(WineRunner(), GetParam());
}

// The stress suite's directory race. Its file race cannot be run here: wine
// follows a file link it is asked to remove and removes the link's target.
TEST_F(Wine, DirectoryLinkRace) {
  SCOPED_TRACE("Windows scenarios: " ZAPEXT_WINE_WAY);
  LinkRace(WineRunner(), true, 200);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineTest, testing::ValuesIn(ScenariosFor(kWine)),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return ScenarioName(info.param);
                         });

}  // namespace
