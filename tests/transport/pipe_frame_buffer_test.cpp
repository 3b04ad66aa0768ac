#include "transport/pipe_frame_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using tovi_test::frame;

TEST(pipe_frame_buffer, builds_a_one_byte_payload_as_nine_bytes) {
    byte_buffer frame;
    ASSERT_TRUE(win::pipe_frame_buffer::build_frame("x", 1, frame));
    EXPECT_EQ(std::string("TQNP\x09\0\0\0x", 9), std::string(frame.begin(), frame.end()));
    byte_buffer untouched{'a'};
    EXPECT_FALSE(win::pipe_frame_buffer::build_frame(nullptr, 1, untouched));
    EXPECT_FALSE(win::pipe_frame_buffer::build_frame("x", 0, untouched));
    EXPECT_EQ(byte_buffer{'a'}, untouched);
}

TEST(pipe_frame_buffer, asks_for_the_header_then_the_rest_then_the_next_header) {
    win::pipe_frame_buffer buffer;
    EXPECT_EQ(8, buffer.bytes_needed());
    const std::string h = frame("", 13);
    buffer.append(h.data(), 3);
    EXPECT_EQ(0, buffer.bytes_needed());  // the reader never leaves a header half-appended
    buffer.append(h.data() + 3, 5);
    EXPECT_FALSE(buffer.checkIfError());
    EXPECT_EQ(5, buffer.bytes_needed());
    std::vector<char> payload{'k'};
    EXPECT_FALSE(buffer.get_payload(payload));
    EXPECT_EQ(std::vector<char>{'k'}, payload);
    buffer.append("hello", 5);
    EXPECT_TRUE(buffer.is_complete());
    ASSERT_TRUE(buffer.get_payload(payload));
    EXPECT_EQ("hello", std::string(payload.begin(), payload.end()));
    EXPECT_EQ(8, buffer.bytes_needed());  // emptied for the next frame
    EXPECT_FALSE(buffer.is_complete());
}

// One byte more, a wrong magic and a short length end a link: pipe_connection_test.
TEST(pipe_frame_buffer, the_largest_and_an_empty_frame_are_whole_and_a_short_length_asks_below_0) {
    win::pipe_frame_buffer largest;
    const std::string ok = frame("", 52428800);
    largest.append(ok.data(), ok.size());
    EXPECT_FALSE(largest.checkIfError());
    EXPECT_EQ(52428792, largest.bytes_needed());

    win::pipe_frame_buffer empty;
    const std::string eight = frame("");
    empty.append(eight.data(), eight.size());
    std::vector<char> payload{'x'};
    ASSERT_TRUE(empty.get_payload(payload));
    EXPECT_TRUE(payload.empty());

    win::pipe_frame_buffer short_length;
    const std::string four = frame("", 4);
    short_length.append(four.data(), four.size());
    EXPECT_FALSE(short_length.checkIfError());
    EXPECT_EQ(-4, short_length.bytes_needed());
}
