// The end-to-end scenarios, run against the native build.
#include <errno.h>

#include <gtest/gtest.h>

#include "tests/e2e.h"

namespace {

std::string NativeRoot(const std::string& path) { return path; }

class NativeTest : public testing::TestWithParam<Scenario> {};

TEST_P(NativeTest, Scenario) {
  Runner runner;
  runner.command = {ZAPEXT_BINARY};
  runner.root_text = NativeRoot;
  runner.error_codes = {{"{denied}", EACCES}};
  RunScenario(runner, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Native, NativeTest, testing::ValuesIn(ScenariosFor(kNative)),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return ScenarioName(info.param);
                         });

}  // namespace
