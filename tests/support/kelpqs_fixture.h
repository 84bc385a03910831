// Test fixture of the library API: every test starts from the state at load
// (no tables, no file table selected, no EFS layout, empty catalogue filled)
// and leaves nothing allocated behind.
#ifndef DORV_TESTS_SUPPORT_KELPQS_FIXTURE_H
#define DORV_TESTS_SUPPORT_KELPQS_FIXTURE_H

#include <gtest/gtest.h>

#include "support/kelpqs_inputs.h"
#include "support/status_recorder.h"

namespace dorv::test {

class KelPqsFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace dorv::test

#endif
