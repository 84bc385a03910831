// Loads the built shared library with dlopen and resolves every name listed
// in the .syms files; names marked "!" must not resolve.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct SymbolLists {
    std::vector<std::string> exported;
    std::vector<std::string> hidden;
};

SymbolLists read_lists() {
    SymbolLists lists;
    const std::string width = sizeof(void*) == 8 ? "lp64:" : "ilp32:";
    for (const auto& entry : std::filesystem::directory_iterator(DORV_SYMS_DIR)) {
        if (entry.path().extension() != ".syms") continue;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            std::erase_if(line, [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
            if (line.empty()) continue;
            if (line.rfind("lp64:", 0) == 0 || line.rfind("ilp32:", 0) == 0) {
                if (line.rfind(width, 0) != 0) continue;
                line = line.substr(line.find(':') + 1);
            }
            if (line[0] == '!') {
                lists.hidden.push_back(line.substr(1));
            } else {
                lists.exported.push_back(line);
            }
        }
    }
    return lists;
}

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(DORV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) dlclose(handle_);
    }
    void* handle_ = nullptr;
};

TEST_F(ExportsTest, EveryListedNameResolvesAndNoInternalHelperDoes) {
    const SymbolLists lists = read_lists();
    ASSERT_FALSE(lists.exported.empty());
    for (const std::string& name : lists.exported) {
        EXPECT_NE(dlsym(handle_, name.c_str()), nullptr) << "not exported: " << name;
    }
    for (const std::string& name : lists.hidden) {
        EXPECT_EQ(dlsym(handle_, name.c_str()), nullptr) << "exported but internal: " << name;
    }
}

TEST_F(ExportsTest, ByteCopyWorksThroughTheLoadedLibrary) {
    using Fn = unsigned (*)(void*, size_t, const void*, size_t);
    auto byte_copy = reinterpret_cast<Fn>(dlsym(handle_, "ByteCopy"));
    ASSERT_NE(byte_copy, nullptr);
    char dst[4] = {};
    EXPECT_EQ(byte_copy(dst, sizeof dst, "abcd", 4), 0u);
    EXPECT_EQ(std::string(dst, 4), "abcd");
    EXPECT_EQ(byte_copy(dst, sizeof dst, "abcde", 5), 40u);
}

}  // namespace
