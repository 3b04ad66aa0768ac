#include "transport/pipe_frame_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using win::pipe_frame_buffer;

std::string header(const char* magic, uint32_t length) {
    std::string h(magic, 4);
    for (int i = 0; i < 4; ++i)
        h += static_cast<char>(length >> (8 * i));
    return h;
}

std::string frame(const std::string& payload) {
    return header("TQNP", static_cast<uint32_t>(payload.size() + 8)) + payload;
}

// The next frame's payload, or "<more>" / "<broken>".
std::string next(pipe_frame_buffer& buffer) {
    const char* payload = nullptr;
    size_t size = 0;
    switch (buffer.next_frame(&payload, &size)) {
        case pipe_frame_buffer::next::frame:
            return std::string(payload, size);
        case pipe_frame_buffer::next::more:
            return "<more>";
        default:
            return "<broken>";
    }
}

}  // namespace

TEST(pipe_frame_buffer, builds_a_one_byte_payload_as_nine_bytes) {
    byte_buffer built;
    ASSERT_TRUE(pipe_frame_buffer::build_frame("x", 1, built));
    EXPECT_EQ(std::string("TQNP\x09\0\0\0x", 9), std::string(built.begin(), built.end()));
    byte_buffer untouched{'a'};
    EXPECT_FALSE(pipe_frame_buffer::build_frame(nullptr, 1, untouched));
    EXPECT_FALSE(pipe_frame_buffer::build_frame("x", 0, untouched));
    EXPECT_EQ(byte_buffer{'a'}, untouched);
}

// Small frames come several to a read, and in pieces; a large one is read alone, exactly to
// its end, and can be handed over whole.
TEST(pipe_frame_buffer, takes_small_frames_in_order_and_reads_a_large_one_alone) {
    pipe_frame_buffer buffer;
    const std::string small = frame("one") + frame("") + frame("three");
    buffer.append(small.data(), 5);
    EXPECT_EQ("<more>", next(buffer));
    buffer.append(small.data() + 5, small.size() - 5);
    EXPECT_EQ("one", next(buffer));
    EXPECT_TRUE(buffer.take_frame().empty());  // a small frame shares the storage
    EXPECT_EQ("", next(buffer));
    EXPECT_EQ("three", next(buffer));
    EXPECT_EQ("<more>", next(buffer));
    size_t room = 0;
    buffer.read_room(&room);
    EXPECT_EQ(pipe_frame_buffer::read_ahead_bytes, room);

    const std::string large_payload(pipe_frame_buffer::read_ahead_bytes + 1, 'L');
    const std::string large = frame(large_payload);
    buffer.append(large.data(), 100);  // as a read-ahead brings its start
    EXPECT_TRUE(buffer.reads_large_frame());
    buffer.read_room(&room);
    EXPECT_EQ(large.size() - 100, room);  // never past its end
    buffer.append(large.data() + 100, large.size() - 100);
    EXPECT_EQ(large_payload, next(buffer));
    const byte_buffer whole = buffer.take_frame();
    EXPECT_EQ(large, std::string(whole.begin(), whole.end()));
    EXPECT_EQ("<more>", next(buffer));
}

// A wrong magic, a length above the limit or below the header's end a link
// (pipe_connection_test); the largest length is waited for.
TEST(pipe_frame_buffer, tells_a_broken_header_from_a_frame_not_yet_whole) {
    const struct {
        std::string bytes;
        std::string expected;
        int32_t short_by;
    } rows[] = {
        {header("TQNP", 52428800), "<more>", 0},
        {header("TQNP", 52428801), "<broken>", 0},
        {header("TQNX", 9) + "x", "<broken>", 0},
        {header("TQNP", 4), "<broken>", -4},
    };
    for (const auto& row : rows) {
        pipe_frame_buffer buffer;
        buffer.append(row.bytes.data(), row.bytes.size());
        EXPECT_EQ(row.expected, next(buffer)) << row.bytes.size();
        const char* payload = nullptr;
        size_t size = 0;
        int32_t short_by = 0;
        if (buffer.next_frame(&payload, &size, &short_by) ==
            pipe_frame_buffer::next::short_length) {
            EXPECT_EQ(row.short_by, short_by);
        }
    }
}
