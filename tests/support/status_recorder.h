// Test-side status callback that records every report of the library API.
#ifndef DORV_TESTS_SUPPORT_STATUS_RECORDER_H
#define DORV_TESTS_SUPPORT_STATUS_RECORDER_H

#include <ostream>
#include <string>
#include <vector>

#include "dorv/kelpqs.h"

namespace dorv::test {

struct Report {
    int level;
    int key;
    std::string keyText;
    std::string message;

    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report);

// A level-4 report under `key` with its catalogue text and `message`.
Report error(int key, std::string message = "");

// The reports recorded since the last clear(), in the order they arrived.
std::vector<Report>& reports();
void clearReports();
// The callback to hand to the library.
void recordReport(ErrorLevel level, ImageToolsErrorName key, const char* keyText,
                  const char* message);

}  // namespace dorv::test

#endif
