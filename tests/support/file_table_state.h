// Test fixture that starts and ends every test with the file-table selection
// and the EFS layout in their load-time state.
#ifndef DORV_TESTS_SUPPORT_FILE_TABLE_STATE_H
#define DORV_TESTS_SUPPORT_FILE_TABLE_STATE_H

#include <gtest/gtest.h>

namespace dorv::test {

// No table selected, default EFS geometry, EFS_files released.
void reset_file_table_state();

class FileTableStateTest : public ::testing::Test {
protected:
    void SetUp() override { reset_file_table_state(); }
    void TearDown() override { reset_file_table_state(); }
};

}  // namespace dorv::test

#endif
