// Every test of the unit program starts with the program's modules as the
// program starts them, whatever the test before it left behind (a plain TEST
// as much as a fixture's).
#include <gtest/gtest.h>

#include "module_state.h"

namespace {
struct reset_before_each_test : ::testing::EmptyTestEventListener {
    // Before the fixture is made, so that its constructor and SetUp already
    // find the start.
    void OnTestStart(const ::testing::TestInfo&) override { module_state_reset(); }
};

const bool installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new reset_before_each_test);
    return true;
}();
}  // namespace
