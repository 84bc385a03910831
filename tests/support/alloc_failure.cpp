#include "support/alloc_failure.h"

#include <cstdlib>
#include <new>

// Set by the build when it links the test binary with --wrap for the C
// allocation functions.
#ifndef DORV_TESTS_WRAP_C_ALLOC
#define DORV_TESTS_WRAP_C_ALLOC 0
#endif

#if DORV_TESTS_WRAP_C_ALLOC
// With the linker's --wrap, every call of these in the test binary's objects
// reaches __wrap_*, and __real_* names the C library's own function.
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
}
#endif

namespace {

long g_countdown = -1;  // -1: disarmed
bool g_triggered = false;

// True when this allocation is the one to fail.
bool take_failure() {
    if (g_countdown < 0) return false;
    if (g_countdown > 0) {
        --g_countdown;
        return false;
    }
    g_countdown = -1;
    g_triggered = true;
    return true;
}

// The C library's malloc, never counted: operator new counts for itself.
void* plain_malloc(std::size_t size) {
#if DORV_TESTS_WRAP_C_ALLOC
    return __real_malloc(size);
#else
    return std::malloc(size);
#endif
}

void* allocate(std::size_t size) {
    if (take_failure()) return nullptr;
    return plain_malloc(size == 0 ? 1 : size);
}

void* allocate_or_throw(std::size_t size) {
    void* p = allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace dorv::test {

AllocFailure::AllocFailure(long successes) {
    g_triggered = false;
    g_countdown = successes;
}

AllocFailure::~AllocFailure() { g_countdown = -1; }

bool AllocFailure::triggered() const { return g_triggered; }

bool AllocFailure::coversCAllocations() { return DORV_TESTS_WRAP_C_ALLOC != 0; }

}  // namespace dorv::test

#if DORV_TESTS_WRAP_C_ALLOC
extern "C" {
void* __wrap_malloc(std::size_t size) { return take_failure() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(std::size_t count, std::size_t size) {
    return take_failure() ? nullptr : __real_calloc(count, size);
}
// A failed reallocation leaves the block as it was, as the C library's does.
void* __wrap_realloc(void* block, std::size_t size) {
    return take_failure() ? nullptr : __real_realloc(block, size);
}
}
#endif

void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
