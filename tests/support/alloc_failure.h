// Injects one allocation failure into the code under test. The test binary
// replaces the global operator new and, on Linux, wraps malloc, calloc and
// realloc at link time (the library archive included); while no AllocFailure
// is alive they only forward to the C library.
#ifndef DORV_TESTS_SUPPORT_ALLOC_FAILURE_H
#define DORV_TESTS_SUPPORT_ALLOC_FAILURE_H

namespace dorv::test {

class AllocFailure {
public:
    // The allocation that follows `successes` successful ones fails (operator
    // new throws std::bad_alloc, its nothrow forms and the C functions return
    // null); later ones succeed.
    explicit AllocFailure(long successes);
    ~AllocFailure();
    AllocFailure(const AllocFailure&) = delete;
    AllocFailure& operator=(const AllocFailure&) = delete;

    // True once the failure has been handed out.
    bool triggered() const;

    // Whether malloc, calloc and realloc count and fail as well (only
    // operator new otherwise).
    static bool coversCAllocations();
};

// Runs `call` with the allocation that follows `successes` successful ones
// failing; `triggered` tells whether that failure was handed out. The result
// is the call's.
template <typename Call>
auto runWithAllocFailure(long successes, bool& triggered, Call call) {
    AllocFailure failure(successes);
    auto result = call();
    triggered = failure.triggered();
    return result;
}

}  // namespace dorv::test

#endif
