// The end-to-end scenarios, run against a build for Linux: the native one,
// or another (the arm64 one, tests/aarch64.cmake) under an emulator that
// starts the command.
#include <errno.h>

#include <gtest/gtest.h>

#include "tests/e2e.h"

namespace {

std::string NativeRoot(const std::string& path) { return path; }

class NativeTest : public testing::TestWithParam<Scenario> {};

TEST_P(NativeTest, Scenario) {
  if (*ZAPEXT_RUNNER_MISSING) return RunnerMissing(ZAPEXT_RUNNER_MISSING);
  Runner runner;
  if (*ZAPEXT_EMULATOR) runner.command.push_back(ZAPEXT_EMULATOR);
  runner.command.push_back(ZAPEXT_BINARY);
  runner.root_text = NativeRoot;
  runner.error_codes = {{"{denied}", EACCES}};
  RunScenario(runner, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Native, NativeTest, testing::ValuesIn(ScenariosFor(kNative)),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return ScenarioName(info.param);
                         });

}  // namespace
