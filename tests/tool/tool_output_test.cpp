// The pieces of the tool that decide what a script reads: argument values, the text and JSON
// forms of events, and reading a JSON line back.
#include <gtest/gtest.h>

#include <cstdint>

#include "command_line.h"
#include "event_output.h"
#include "json_line.h"

using toviipc::event_fields;
using toviipc::event_matches;
using toviipc::event_record;
using toviipc::usage_error;

TEST(tool_arguments, info_takes_exactly_five_unsigned_32_bit_values) {
    uint32_t info[5] = {};
    toviipc::parse_info("4294967295,0,0x10,7,010", info);
    EXPECT_EQ(4294967295u, info[0]);
    EXPECT_EQ(0u, info[1]);
    EXPECT_EQ(16u, info[2]);
    EXPECT_EQ(7u, info[3]);
    EXPECT_EQ(8u, info[4]);  // a leading 0 is octal, as in C
    for (const char* bad : {"1,2,3,4", "1,2,3,4,5,6", "4294967296,0,0,0,0", "-1,0,0,0,0",
                            "1,,3,4,5", "1,2,3,4,x", ""}) {
        EXPECT_THROW(toviipc::parse_info(bad, info), usage_error) << bad;
    }
}

TEST(tool_output, utf8_is_recognised_strictly) {
    EXPECT_TRUE(toviipc::is_utf8("h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", 12));
    EXPECT_FALSE(toviipc::is_utf8("\xc0\x80", 2));          // overlong NUL
    EXPECT_FALSE(toviipc::is_utf8("\xed\xa0\x80", 3));      // a surrogate
    EXPECT_FALSE(toviipc::is_utf8("\xf4\x90\x80\x80", 4));  // above U+10FFFF
    EXPECT_FALSE(toviipc::is_utf8("\xff", 1));
    EXPECT_FALSE(toviipc::is_utf8("\xe2\x82", 2));
    EXPECT_TRUE(toviipc::is_utf8("\xe2\x82", 2, true));  // cut short by a limit
    EXPECT_FALSE(toviipc::is_utf8("\xe2\x28", 2, true));
}

TEST(tool_output, json_strings_escape_what_json_requires_and_read_back_unchanged) {
    std::string every_ascii;
    for (int c = 0; c < 128; ++c) {
        every_ascii.push_back(static_cast<char>(c));
    }
    const std::string text = every_ascii + "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80";
    const std::string line = event_record("message").client("a\"b").text("note", text).json();
    EXPECT_EQ(std::string::npos, line.find('\n'));
    event_fields fields;
    ASSERT_TRUE(toviipc::parse_event_line(line, &fields)) << line;
    EXPECT_EQ("message", fields["event"]);
    EXPECT_EQ("a\"b", fields["client"]);
    EXPECT_EQ(text, fields["note"]);
    // Invalid UTF-8 in a string becomes U+FFFD rather than breaking the line.
    EXPECT_EQ("\"a\\ufffdb\"", toviipc::json_quote("a\xff"
                                                   "b"));
}

TEST(tool_output, data_carries_length_and_hex_and_text_only_for_utf8_up_to_a_limit) {
    event_fields fields;
    ASSERT_TRUE(toviipc::parse_event_line(
        event_record("message").client("c").data("hi\0!", 4).json(), &fields));
    EXPECT_EQ((event_fields{{"event", "message"},
                            {"client", "c"},
                            {"length", "4"},
                            {"hex", "68690021"},
                            {"text", std::string("hi\0!", 4)}}),
              fields);
    ASSERT_TRUE(
        toviipc::parse_event_line(event_record("message").data("\x00\xff", 2).json(), &fields));
    EXPECT_EQ("00ff", fields["hex"]);
    EXPECT_EQ(0u, fields.count("text"));
    EXPECT_EQ("message c 2 bytes \"hi\"",
              event_record("message").client("c").data("hi", 2).readable());
    EXPECT_EQ("message 2 bytes hex 00ff", event_record("message").data("\x00\xff", 2).readable());
    // A limit shows the first bytes and drops a character it cuts (here the e-acute).
    const std::string cut = std::string(5, 'a') + "\xc3\xa9" + "zzz";
    ASSERT_TRUE(toviipc::parse_event_line(
        event_record("shm").data(cut.data(), cut.size(), 6).json(), &fields));
    EXPECT_EQ("10", fields["length"]);
    EXPECT_EQ("6", fields["shown"]);
    EXPECT_EQ("6161616161c3", fields["hex"]);
    EXPECT_EQ("aaaaa", fields["text"]);
    // A peer's id or text cannot forge a line of its own in text mode.
    EXPECT_EQ("connect x\\n10:00:00.000\\x1b disconnect admin note=a\\\\b\\r",
              event_record("connect")
                  .client("x\n10:00:00.000\x1b disconnect admin")
                  .text("note", "a\\b\r")
                  .readable());
}

TEST(tool_output, lines_that_are_no_flat_object_are_refused) {
    event_fields fields;
    for (const char* bad : {"", "{", "{\"a\":}", "{\"a\":\"x\"} tail", "{\"a\":\"\\q\"}",
                            "{\"a\":[1,2}", "[1]", "plain text"}) {
        EXPECT_FALSE(toviipc::parse_event_line(bad, &fields)) << bad;
    }
    ASSERT_TRUE(toviipc::parse_event_line(
        " {\"info\":[1, 2,3],\"ok\":true,\"s\":\"\\ud83d\\ude00\"} ", &fields));
    EXPECT_EQ("1,2,3", fields["info"]);
    EXPECT_EQ("true", fields["ok"]);
    EXPECT_EQ("\xf0\x9f\x98\x80", fields["s"]);
}

TEST(tool_output, an_event_matches_by_name_and_every_wanted_field) {
    event_fields fields;
    ASSERT_TRUE(
        toviipc::parse_event_line(R"({"event":"message","client":"a","text":"hi"})", &fields));
    EXPECT_TRUE(event_matches(fields, "message", {}));
    EXPECT_TRUE(event_matches(fields, "message", {{"client", "a"}, {"text", "hi"}}));
    EXPECT_FALSE(event_matches(fields, "connect", {}));
    EXPECT_FALSE(event_matches(fields, "message", {{"client", "b"}}));
    EXPECT_FALSE(event_matches(fields, "message", {{"hex", "6869"}}));
    EXPECT_FALSE(event_matches(event_fields{{"client", "a"}}, "message", {}));
}
