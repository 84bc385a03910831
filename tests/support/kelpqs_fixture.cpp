#include "support/kelpqs_fixture.h"

#include "support/library_reset.h"

namespace dorv::test {

void KelPqsFixture::SetUp() {
    resetLibraryState();
    ZanErrors::init();
    clearReports();
}

void KelPqsFixture::TearDown() {
    resetLibraryState();
    clearReports();
}

}  // namespace dorv::test
