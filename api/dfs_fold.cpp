// The two folding rules of DFS, as tables of the codes each lets through.
#include <algorithm>
#include <array>
#include <span>

#include "api/dfs_internal.h"

namespace dorv::dfs {

namespace {

// Reading, sizing and deleting: a missing file is an answer the caller acts on.
constexpr std::array<int64_t, 3> kReadPasses = {STORAGE_OK, STORAGE_NO_FILE, STORAGE_INVALID_ARGUMENT};
// Writing: a missing file cannot happen to a writer that works, but a value
// too large or a full store is the caller's to report.
constexpr std::array<int64_t, 4> kWritePasses = {STORAGE_OK, STORAGE_INVALID_ARGUMENT, STORAGE_FILE_TOO_LARGE,
                                                 STORAGE_NO_SPACE};

}  // namespace

int fold(FoldRule rule, int64_t code) {
    const std::span<const int64_t> passes =
        rule == FoldRule::Read ? std::span<const int64_t>(kReadPasses) : std::span<const int64_t>(kWritePasses);
    if (std::find(passes.begin(), passes.end(), code) != passes.end()) return static_cast<int>(code);
    return static_cast<int>(STORAGE_IO_ERROR);
}

}  // namespace dorv::dfs
