#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "payload/extract.h"

namespace {

struct NameCase {
    const char* name;
    bool safe;
};

class SafeEntryName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SafeEntryName, JudgesName) {
    const NameCase& c = GetParam();
    EXPECT_EQ(payload::is_safe_entry_name(c.name), c.safe) << "name: " << c.name;
}

INSTANTIATE_TEST_SUITE_P(Names, SafeEntryName,
                         ::testing::Values(NameCase{"a", true}, NameCase{"a/b", true}, NameCase{"..x", true},
                                           NameCase{"x..", true}, NameCase{"a/..b", true},
                                           NameCase{"a/b../c", true}, NameCase{".", true},
                                           NameCase{"/abs", true}, NameCase{"1:x", true},
                                           NameCase{"a:b", false},
                                           NameCase{"..", false}, NameCase{"../x", false},
                                           NameCase{"a/../../x", false}, NameCase{"a\\..\\x", false},
                                           NameCase{"..\\x", false}, NameCase{"a/..\\x", false},
                                           NameCase{"C:x", false}, NameCase{"C:\\x", false},
                                           NameCase{"z:/x", false}, NameCase{"\\x", false},
                                           NameCase{"a/..", false}));

// make_parent_dirs works on the current directory, so each test runs in a
// fresh scratch directory of its own.
class ParentDirs : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("holm_dirs_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::filesystem::path old_;
    std::filesystem::path dir_;
};

TEST_F(ParentDirs, NoSlashCreatesNothing) {
    EXPECT_EQ(payload::make_parent_dirs("file.bin"), 0);
    EXPECT_TRUE(std::filesystem::is_empty("."));
}

TEST_F(ParentDirs, CreatesEveryPrefixButNotTheLastPart) {
    EXPECT_EQ(payload::make_parent_dirs("fw/sub/image.bin"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("fw/sub"));
    EXPECT_FALSE(std::filesystem::exists("fw/sub/image.bin"));
}

TEST_F(ParentDirs, ExistingDirectoryCounts) {
    std::filesystem::create_directory("fw");
    EXPECT_EQ(payload::make_parent_dirs("fw/sub/x"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("fw/sub"));
}

TEST_F(ParentDirs, LeadingSlashFailsOnEmptyPrefix) { EXPECT_EQ(payload::make_parent_dirs("/x/y"), 1); }

// Components of 100 characters keep each one below the system's name limit
// while the whole prefix reaches the buffer size.
std::string long_prefix(std::size_t length) {
    std::string s;
    while (s.size() < length) {
        if (s.size() % 101 == 100)
            s += '/';
        else
            s += 'd';
    }
    return s;
}

TEST_F(ParentDirs, PrefixFillingTheBufferIsMade) {
    std::string prefix = long_prefix(1023);
    ASSERT_NE(prefix.back(), '/');
    EXPECT_EQ(payload::make_parent_dirs((prefix + "/f").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(prefix));
}

TEST_F(ParentDirs, PrefixTooLongForTheBufferFails) {
    std::string prefix = long_prefix(1024);
    ASSERT_NE(prefix.back(), '/');
    EXPECT_EQ(payload::make_parent_dirs((prefix + "/f").c_str()), 1);
    EXPECT_FALSE(std::filesystem::exists(prefix));
}

}  // namespace
