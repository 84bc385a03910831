#include "support/status_recorder.h"

namespace dorv::test {

std::ostream& operator<<(std::ostream& out, const Report& report) {
    return out << "{level " << report.level << ", key " << report.key << ", \"" << report.keyText
               << "\", \"" << report.message << "\"}";
}

Report error(int key, std::string message) {
    std::string text = key == 0 ? "" : ZanErrors::getErrorNameString(static_cast<ImageToolsErrorName>(key));
    return Report{ERROR_LEVEL_ERROR, key, std::move(text), std::move(message)};
}

std::vector<Report>& reports() {
    static std::vector<Report> recorded;
    return recorded;
}

void clearReports() { reports().clear(); }

void recordReport(ErrorLevel level, ImageToolsErrorName key, const char* keyText,
                  const char* message) {
    reports().push_back(Report{level, key, keyText, message});
}

}  // namespace dorv::test
