// The line layout and the wide formatter, checked as pure functions.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "log/log_line.h"
#include "log/utf8_to_utf16.h"
#include "log/wide_format.h"

namespace {

std::wstring format(size_t max_units, const wchar_t* pattern, ...) {
    std::wstring out;
    va_list arguments;
    va_start(arguments, pattern);
    append_wide_format(out, max_units, pattern, arguments);
    va_end(arguments);
    return out;
}

SYSTEMTIME friday_morning(WORD milliseconds) {
    SYSTEMTIME time{};
    time.wYear = 2024;
    time.wMonth = 1;
    time.wDayOfWeek = 5;
    time.wDay = 5;
    time.wHour = 9;
    time.wMinute = 3;
    time.wSecond = 7;
    time.wMilliseconds = milliseconds;
    return time;
}

}  // namespace

// What it does not understand it copies, and consumes no argument for it. The output is cut at
// the limit, counted from what the string held before.
TEST(wide_format, formats_as_windows_does_copies_what_it_does_not_understand_and_cuts_at_a_limit) {
    EXPECT_EQ(L"name=h\u00e9llo id=-42", format(100, L"name=%s id=%d", L"h\u00e9llo", -42));
    EXPECT_EQ(L"(null)|", format(100, L"%s|", static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(L"-2147483648 4294967295 7", format(100, L"%d %u %lu", INT32_MIN, UINT32_MAX, 7u));
    EXPECT_EQ(L"000000AB 00c0ffee DEADBEEF",
              format(100, L"%.8X %.8x %X", 0xABu, 0xC0FFEEu, 0xDEADBEEFu));
    EXPECT_EQ(L"100% 0", format(100, L"100%% %d", 0));
    EXPECT_EQ(L"abc", format(100, L"%.3s", L"abcdef"));
    EXPECT_EQ(L"%5d 12 %q 3 %", format(100, L"%5d %d %q %d %", 12, 3));
    EXPECT_EQ(L"abc", format(3, L"abcdef"));
    EXPECT_EQ(L"x=12", format(4, L"x=%d", 12345));
    EXPECT_EQ(L"[he", format(3, L"[%s]", L"hello"));
    std::wstring existing = L"kept ";
    append_wide_format_args(existing, 2, L"%s", L"added");
    EXPECT_EQ(L"kept ad", existing);
}

TEST(log_line, has_the_fixed_layout_with_unpadded_milliseconds_and_crlf) {
    EXPECT_EQ(L"Fri Jan 05 09:03:07 2024: 7 [123] [4567] :error boom\r\n",
              compose_line(friday_morning(7), 123, 4567, std::wstring(L":error ") + L"boom"));
    SYSTEMTIME december = friday_morning(999);
    december.wMonth = 12;
    december.wDayOfWeek = 0;
    december.wDay = 31;
    december.wHour = 23;
    EXPECT_EQ(L"Sun Dec 31 23:03:07 2024:", format_time_stamp(december));
    EXPECT_STREQ(L":info ", level_prefix(7));  // an unknown level
}

TEST(log_line, a_line_longer_than_the_limit_is_cut_after_its_time_stamp_and_loses_its_line_end) {
    const std::wstring text = std::wstring(L":info ") + std::wstring(5000, L'x');
    const std::wstring line = compose_line(friday_morning(0), 1, 2, text);
    const std::wstring stamp = L"Fri Jan 05 09:03:07 2024:";
    ASSERT_EQ(stamp.size() + max_message_units, line.size());
    EXPECT_EQ(stamp + L" 0 [1] [2] :info xxx", line.substr(0, stamp.size() + 20));
    EXPECT_EQ(L'x', line.back());
}

TEST(utf8_to_utf16, converts_counted_and_terminated_text_and_refuses_bad_arguments) {
    const char* text = "caf\xC3\xA9 \xF0\x9F\x98\x80";  // "café 😀"
    EXPECT_EQ(L"caf\u00e9 \U0001F600", utf8_to_utf16(text, -1));
    EXPECT_EQ(L"caf\u00e9", utf8_to_utf16(text, 5));
    EXPECT_EQ(std::wstring(L"a\0b", 3), utf8_to_utf16("a\0b", 3));
    EXPECT_EQ(L"a\uFFFDb", utf8_to_utf16("a\xFF"
                                         "b",
                                         -1));
    EXPECT_EQ(L"", utf8_to_utf16(nullptr, 3));
    EXPECT_EQ(L"", utf8_to_utf16("abc", -2));
    EXPECT_EQ(L"", utf8_to_utf16("abc", 0));
}
