// The end-to-end scenarios, run against the Windows build under wine, in the
// prefix that the CTest fixture (wine_prefix.sh) makes and serves.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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
    runner.may_not_start = true;
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

// Ctrl-C (wine turns SIGINT into the console's event) twice in the middle of
// a sweep: the second one must not cut the lines short. The process ends
// with STATUS_CONTROL_C_EXIT, of which a Linux parent sees the low byte.
TEST_F(Wine, CtrlCTwice) {
  SCOPED_TRACE("Windows scenarios: " ZAPEXT_WINE_WAY);
  int status = InterruptSweep(WineRunner(), {SIGINT, SIGINT});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (0xC000013A & 0xff)) << status;
}

// A 32-bit program sees SysWOW64 where it names System32 unless it turns
// WOW64's redirection off: started in system32 it must sweep system32, and
// started in C:\windows both folders as they are.
TEST_F(Wine, System32IsNotRedirected) {
  if (strcmp(ZAPEXT_WINE_BUILD, "win32") != 0)
    GTEST_SKIP() << "needs the 32-bit zapext.exe, the one WOW64 redirects; here: " ZAPEXT_WINE_WAY;
  const std::string windows = ZAPEXT_WINE_DIR "/prefix/drive_c/windows";
  const std::string in32 = windows + "/system32/in32.zzprobe", in64 = windows + "/syswow64/in64.zzprobe";
  Runner runner = WineRunner();
  Launch launch;
  launch.command = runner.command;
  launch.command.push_back("zzprobe");
  launch.environment = runner.environment;
  launch.output = ZAPEXT_WINE_DIR "/system32-output";
  for (const char* start : {"system32", ""}) {
    SCOPED_TRACE(std::string("started in C:\\windows\\") + start);
    for (const std::string& file : {in32, in64}) close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    launch.cwd = windows + (*start ? "/" : "") + start;
    int status = Wait(Start(launch));
    std::vector<std::string> lines = LinesOf(launch.output, runner.line_end);
    std::vector<std::string> probes;
    for (const std::string& line : lines)
      if (line.find("zzprobe") != std::string::npos) probes.push_back(line);
    std::sort(probes.begin(), probes.end());
    std::vector<std::string> expected = {"removing C:\\windows\\system32\\in32.zzprobe"};
    if (!*start) expected.push_back("removing C:\\windows\\syswow64\\in64.zzprobe");
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(expected, probes);
    EXPECT_EQ(static_cast<long>(expected.size()), TotalOf(lines));
    EXPECT_NE(0, access(in32.c_str(), F_OK));
    EXPECT_EQ(*start != 0, access(in64.c_str(), F_OK) == 0);
    unlink(in64.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, WineTest, testing::ValuesIn(ScenariosFor(kWine)),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return ScenarioName(info.param);
                         });

}  // namespace
