#include "support/alloc_failure.h"

#include <cstdlib>
#include <new>

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

void* allocate(std::size_t size) {
    if (take_failure()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
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

}  // namespace dorv::test

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
