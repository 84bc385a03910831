#include "support/file_table_state.h"

#include "efs/efs_layout.h"
#include "fcs/file_table_internal.h"

namespace dorv::test {

void reset_file_table_state() {
    dorv::fcs::reset_file_table();
    dorv::efs::reset_layout();
}

}  // namespace dorv::test
