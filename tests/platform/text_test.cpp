// Win32 calls only: runs natively against our layer and under Wine against the real API.
#include <gtest/gtest.h>

#include "platform_test_util.h"

using conformance::narrow;
using conformance::widen;

TEST(utf8_conversion, round_trips_ascii_bmp_and_non_bmp_text) {
    // "A", e-acute, the euro sign, and U+1F600 (four bytes in UTF-8).
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::wstring wide = widen(text);
    // One unit per character, except the non-BMP one: two UTF-16 units, or one UTF-32 unit.
    EXPECT_EQ(3u + (sizeof(wchar_t) == 2 ? 2u : 1u), wide.size());
    EXPECT_EQ(L'A', wide[0]);
    EXPECT_EQ(static_cast<wchar_t>(0xE9), wide[1]);
    EXPECT_EQ(static_cast<wchar_t>(0x20AC), wide[2]);
    EXPECT_EQ(text, narrow(wide));
}

TEST(utf8_conversion, a_length_of_minus_one_counts_the_terminator) {
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    wchar_t out[4];
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 4));
    EXPECT_EQ(std::wstring(L"abc"), std::wstring(out));
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, L"abc", -1, nullptr, 0, nullptr, nullptr));
}

TEST(utf8_conversion, refuses_invalid_input_when_asked_to) {
    const char* invalid[] = {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"};
    for (const char* text : invalid) {
        SetLastError(0);
        EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0))
            << text;
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    }
}

TEST(utf8_conversion, replaces_invalid_input_otherwise) {
    wchar_t out[8] = {};
    const int n = MultiByteToWideChar(CP_UTF8, 0,
                                      "a\xFF"
                                      "b",
                                      3, out, 8);
    ASSERT_EQ(3, n);
    EXPECT_EQ(L'a', out[0]);
    EXPECT_EQ(static_cast<wchar_t>(0xFFFD), out[1]);
    EXPECT_EQ(L'b', out[2]);
}

TEST(utf8_conversion, reports_a_buffer_that_is_too_small) {
    wchar_t out[2];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, out, 2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    char bytes[2];
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, L"\x20AC", 1, bytes, 2, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}
