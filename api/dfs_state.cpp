// The module state of DFS, all in one place.
#include <cstdlib>

#include "api/dfs_internal.h"

DORV_C_BEGIN

afs_context_t* dfs_context = nullptr;

DORV_C_END

namespace dorv::dfs {

bool g_mounted = false;

void release_context() {
    afs_context_t* ctx = dfs_context;
    dfs_context = nullptr;
    g_mounted = false;
    if (ctx == nullptr) return;
    afs_free_context(ctx);
    std::free(ctx->bounce_buffer);
    std::free(ctx);
}

}  // namespace dorv::dfs
