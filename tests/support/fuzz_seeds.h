// Writing the seed corpus of a fuzz target from the test that checks it.
#ifndef DORV_TESTS_SUPPORT_FUZZ_SEEDS_H
#define DORV_TESTS_SUPPORT_FUZZ_SEEDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace dorv::test {

// With DORV_WRITE_FUZZ_SEEDS=<dir> set, writes `bytes` to <dir>/<name> and
// tells whether that succeeded; without it, writes nothing and answers true.
bool writeSeedIfAsked(const std::string& name, const std::vector<uint8_t>& bytes);

}  // namespace dorv::test

#endif
