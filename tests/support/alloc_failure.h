// Injects one allocation failure into the code under test. The test binary
// replaces the global operator new; while no AllocFailure is alive it only
// forwards to malloc.
#ifndef DORV_TESTS_SUPPORT_ALLOC_FAILURE_H
#define DORV_TESTS_SUPPORT_ALLOC_FAILURE_H

namespace dorv::test {

class AllocFailure {
public:
    // The allocation that follows `successes` successful ones fails (throws
    // std::bad_alloc, or returns null for the nothrow forms); later ones succeed.
    explicit AllocFailure(long successes);
    ~AllocFailure();
    AllocFailure(const AllocFailure&) = delete;
    AllocFailure& operator=(const AllocFailure&) = delete;

    // True once the failure has been handed out.
    bool triggered() const;
};

}  // namespace dorv::test

#endif
