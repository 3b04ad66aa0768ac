// Win32 calls only: runs natively against our layer and under Wine against the real API.
#include <gtest/gtest.h>

#include "platform_test_util.h"
#include "support/test_support.h"

using conformance::widen;

namespace {

class files : public ::testing::Test {
  protected:
    // A path below the test's directory, written with backslashes as a Windows caller would.
    std::wstring path(const std::wstring& relative) const {
        return widen(root_.path()) + L"\\" + relative;
    }

    void write(const std::wstring& p, const char* content) {
        FILE* f = _wfopen(p.c_str(), L"w+b");
        ASSERT_NE(nullptr, f);
        fputs(content, f);
        fclose(f);
    }
    std::string read(const std::wstring& p) {
        FILE* f = _wfopen(p.c_str(), L"rb");
        if (f == nullptr) {
            return "<missing>";
        }
        char buffer[256] = {};
        const size_t n = fread(buffer, 1, sizeof(buffer) - 1, f);
        fclose(f);
        return std::string(buffer, n);
    }

    const tovi_test::temp_dir root_{"tovi_files"};
};

}  // namespace

TEST_F(files, sh_create_directory_ex_creates_every_missing_parent) {
    const std::wstring deep = path(L"a\\b\\c");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path(L"a").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, deep.c_str(), nullptr));
    const DWORD attributes = GetFileAttributesW(deep.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, SHCreateDirectoryExW(nullptr, deep.c_str(), nullptr));
    const std::string narrow_deep = root_.path() + "\\x\\y";
    EXPECT_EQ(ERROR_SUCCESS, SHCreateDirectoryExA(nullptr, narrow_deep.c_str(), nullptr));
    EXPECT_TRUE(GetFileAttributesW(path(L"x\\y").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(files, get_file_attributes_tells_files_from_directories_and_missing_paths) {
    write(path(L"file.txt"), "x");
    const DWORD file = GetFileAttributesW(path(L"file.txt").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, file);
    EXPECT_FALSE(file & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FAILS_WITH(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES,
                      GetFileAttributesW(path(L"none").c_str()));
    EXPECT_FAILS_WITH(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES,
                      GetFileAttributesW(path(L"none\\deeper").c_str()));
}

TEST_F(files, move_file_refuses_to_replace_an_existing_file_and_delete_file_a_missing_one) {
    write(path(L"from"), "from");
    write(path(L"to"), "to");
    EXPECT_FAILS_WITH(ERROR_ALREADY_EXISTS, FALSE,
                      MoveFileW(path(L"from").c_str(), path(L"to").c_str()));
    EXPECT_EQ("from", read(path(L"from")));
    EXPECT_EQ("to", read(path(L"to")));
    EXPECT_TRUE(MoveFileW(path(L"from").c_str(), path(L"new").c_str()));
    EXPECT_EQ("<missing>", read(path(L"from")));
    EXPECT_EQ("from", read(path(L"new")));
    EXPECT_FAILS_WITH(ERROR_FILE_NOT_FOUND, FALSE,
                      MoveFileW(path(L"from").c_str(), path(L"other").c_str()));
    EXPECT_TRUE(DeleteFileW(path(L"new").c_str()));
    EXPECT_FAILS_WITH(ERROR_FILE_NOT_FOUND, FALSE, DeleteFileW(path(L"new").c_str()));
}

TEST_F(files, wfopen_appends_in_a_plus_and_empties_in_w_plus) {
    write(path(L"log"), "one");
    FILE* f = _wfopen(path(L"log").c_str(), L"a+bN");
    ASSERT_NE(nullptr, f);
    fputs("two\r\n", f);
    fclose(f);
    EXPECT_EQ("onetwo\r\n", read(path(L"log")));
    f = _wfopen(path(L"log").c_str(), L"w+bN");
    ASSERT_NE(nullptr, f);
    fclose(f);
    EXPECT_EQ("", read(path(L"log")));
}
