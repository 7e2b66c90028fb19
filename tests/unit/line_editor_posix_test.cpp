#include "platform/posix/line_editor_posix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "module_state.h"

namespace {

const char* const WORDS[] = {"help", "?", "configure", "dconfigure", "drules", "disconnect", "download", nullptr};

edit_completion words_of(const char* const* words) { return {0, words, false, ", \t", ' '}; }
edit_completion files() { return {0, nullptr, false, ",\t", '\0'}; }
edit_completion devices() { return {0, nullptr, true, ", \t", ' '}; }

std::vector<std::string> listed() {
    std::vector<std::string> names;
    for (int i = 0; edit_listed(i) != nullptr; ++i) names.push_back(edit_listed(i));
    return names;
}

int find(const edit_completion& what, const std::string& fragment) {
    return edit_find_matches(what, fragment.data(), fragment.size());
}

TEST(EditMatches, WordsByTheirBeginningInAnyLetterCase) {
    struct row {
        const char* fragment;
        int count;
        const char* common;
        std::vector<std::string> listed;
    };
    const std::vector<row> rows = {
        {"conf", 1, "configure", {"configure"}},
        {"CONF", 1, "configure", {"configure"}},
        {"d", 4, "d", {"dconfigure", "disconnect", "download", "drules"}},
        {"di", 1, "disconnect", {"disconnect"}},
        {"?", 1, "?", {"?"}},
        {"x", 0, "", {}},
        {"helpme", 0, "", {}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(find(words_of(WORDS), r.fragment), r.count) << r.fragment;
        EXPECT_STREQ(edit_common_text(), r.common) << r.fragment;
        EXPECT_EQ(listed(), r.listed) << r.fragment;
        EXPECT_FALSE(edit_match_is_directory());
    }
    // The fragment need not be terminated: only its length counts, and a
    // NUL byte within it matches nothing.
    EXPECT_EQ(edit_find_matches(words_of(WORDS), "dox", 2), 1);
    EXPECT_STREQ(edit_common_text(), "download");
    EXPECT_EQ(edit_find_matches(words_of(WORDS), "do\0w", 4), 0);
}

struct EditPaths : ::testing::Test {
    std::string dir;
    void SetUp() override {
        module_state_reset();
        char name[] = "/tmp/qv_edit_paths_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        for (const char* file : {"my station.cfg", "my,other.cfg", "rules.txt", ".hidden", "tab\there"}) {
            std::FILE* f = std::fopen((dir + "/" + file).c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fclose(f);
        }
        ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
        ASSERT_EQ(symlink("/dev/null", (dir + "/usb-port0").c_str()), 0);   // a character device
        ASSERT_EQ(symlink("/nonexistent/qv", (dir + "/usb-gone").c_str()), 0);  // dangling
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
};

TEST_F(EditPaths, FileNamesAsTheFileCommandsTakeThem) {
    // A comma or a tab would end the name: such names are no match.
    EXPECT_EQ(find(files(), dir + "/my"), 1);
    EXPECT_EQ(std::string(edit_common_text()), dir + "/my station.cfg");
    EXPECT_EQ(find(files(), dir + "/"), 4);  // hidden names and dangling links left out
    EXPECT_EQ(std::string(edit_common_text()), dir + "/");
    EXPECT_EQ(listed(), (std::vector<std::string>{"my station.cfg", "rules.txt", "sub/", "usb-port0"}));
    EXPECT_EQ(find(files(), dir + "/su"), 1);
    EXPECT_TRUE(edit_match_is_directory());
    EXPECT_EQ(std::string(edit_common_text()), dir + "/sub/");
    EXPECT_EQ(find(files(), dir + "/."), 1);
    EXPECT_EQ(listed(), std::vector<std::string>{".hidden"});
    EXPECT_EQ(find(files(), dir + "/none"), 0);
    EXPECT_EQ(find(files(), dir + std::string("/ru\0x", 5)), 0);
    EXPECT_EQ(find(files(), "/nonexistent/qv/x"), 0);
}

TEST_F(EditPaths, DevicePathsAreDirectoriesAndDevices) {
    EXPECT_EQ(find(devices(), dir + "/"), 2);
    EXPECT_EQ(listed(), (std::vector<std::string>{"sub/", "usb-port0"}));
    EXPECT_EQ(find(devices(), dir + "/usb"), 1);
    EXPECT_EQ(std::string(edit_common_text()), dir + "/usb-port0");
    EXPECT_FALSE(edit_match_is_directory());
}

TEST_F(EditPaths, TheWorkingDirectoryWithoutASlash) {
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    int count = find(files(), "ru");
    std::string common = edit_common_text();
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(common, "rules.txt");
}

}  // namespace
