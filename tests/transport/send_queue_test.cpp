#include "transport/send_queue.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/message_codec.h"
#include "codec/records.h"
#include "support/test_support.h"
#include "transport/pipe_frame_buffer.h"

namespace {

using tovi::send_queue;

// Encodes a text from client "A1" into the queue the way a link's send does.
size_t push_text(send_queue& queue, const std::string& text) {
    return queue.push_small(
        [](byte_buffer& out, message_codec::message_writer& writer, const void* context) {
            const auto* t = static_cast<const std::string*>(context);
            return writer.write_text(out, sender_client, "A1", t->data(), t->size());
        },
        &text);
}

// The frame a text goes out as.
std::string framed_text(const std::string& text) {
    byte_buffer payload;
    message_codec::write_text(payload, sender_client, "A1", text.data(), text.size());
    return tovi_test::frame(std::string(payload.data(), payload.size()));
}

byte_buffer large_frame(size_t payload_bytes, char fill) {
    byte_buffer frame(tovi::frame_header_size + payload_bytes);
    std::fill(frame.begin(), frame.end(), fill);
    tovi::pipe_frame_buffer::put_header(frame.data(), static_cast<uint32_t>(frame.size()));
    return frame;
}

// Takes writes until the queue has nothing more, as the link does; the bytes in order.
std::string write_all(send_queue& queue, size_t* writes = nullptr) {
    std::string out;
    while (queue.has_unwritten()) {
        const send_queue::piece piece = queue.begin_write(false);
        out.append(piece.data, piece.size);
        queue.write_done(false);
        if (writes != nullptr) {
            ++*writes;
        }
    }
    return out;
}

}  // namespace

// Small messages are encoded back to back into one batch, which a write takes whole, until the
// batch could not take another; a large frame goes alone, in its place in the order. The queue
// counts every byte until it is written, and reuses a written batch's allocation.
TEST(send_queue, batches_small_messages_in_order_around_large_frames) {
    send_queue queue;
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        const std::string text = "text " + std::to_string(i);
        EXPECT_EQ(framed_text(text).size(), push_text(queue, text));
        expected += framed_text(text);
    }
    byte_buffer large = large_frame(100000, 'L');
    expected += std::string(large.data(), large.size());
    queue.push_frame(std::move(large));
    const std::string after = "after the large one";
    push_text(queue, after);
    expected += framed_text(after);
    EXPECT_EQ(expected.size(), queue.queued_bytes());

    size_t writes = 0;
    const std::string written = write_all(queue, &writes);
    EXPECT_EQ(3u, writes);  // three small ones, the large one, the last small one
    EXPECT_TRUE(expected == written);
    EXPECT_EQ(0u, queue.queued_bytes());
    EXPECT_EQ(3u, queue.writes_taken());

    // A batch holds at most write_batch_bytes: a burst fills batches one after the other.
    const std::string chunk(1000, 'c');
    size_t pushed = 0;
    while (pushed < 3 * send_queue::write_batch_bytes) {
        pushed += push_text(queue, chunk);
    }
    writes = 0;
    EXPECT_EQ(pushed, write_all(queue, &writes).size());
    EXPECT_EQ(4u, writes);
    EXPECT_GE(queue.take_spare().capacity(), send_queue::write_batch_bytes);
}

// A write takes at most max_write_bytes, and while a close drains drain_write_bytes, each from
// where the last one ended; an encoder that fails queues nothing.
TEST(send_queue, writes_a_large_frame_in_pieces_and_an_encoder_that_fails_queues_nothing) {
    send_queue queue;
    EXPECT_EQ(0u, queue.push_small([](byte_buffer&, message_codec::message_writer&,
                                      const void*) { return false; },
                                   nullptr));
    EXPECT_FALSE(queue.has_unwritten());
    queue.push_frame(large_frame(10 * 1024 * 1024, 'x'));
    const send_queue::piece first = queue.begin_write(false);
    EXPECT_EQ(send_queue::max_write_bytes, first.size);
    EXPECT_TRUE(queue.is_writing());
    queue.write_done(false);
    const send_queue::piece drained = queue.begin_write(true);
    EXPECT_EQ(send_queue::drain_write_bytes, drained.size);
    EXPECT_EQ(first.data + first.size, drained.data);
    queue.write_done(true);
    EXPECT_NE(tovi::clock::time_point(), queue.last_progress());
    EXPECT_EQ(10u * 1024 * 1024 + 8 - send_queue::max_write_bytes - send_queue::drain_write_bytes,
              queue.queued_bytes());
}

// An empty queue takes a frame of any size; beyond that the mark holds. Pacing asks a sender
// to wait once more than pace_bytes wait, and not again at the same count once a wait ran out.
// A failed write and a drop count what was never written, the outstanding write included.
TEST(send_queue, bounds_its_bytes_paces_senders_and_counts_what_it_drops) {
    send_queue queue;
    EXPECT_TRUE(queue.has_room(send_queue::high_water_bytes * 2));
    queue.push_frame(large_frame(send_queue::high_water_bytes - 100, 'h'));
    EXPECT_TRUE(queue.has_room(92));
    EXPECT_FALSE(queue.has_room(93));
    EXPECT_TRUE(queue.should_pace());
    queue.pace_ran_out(queue.writes_taken());
    EXPECT_FALSE(queue.should_pace());

    queue.begin_write(false);
    queue.write_done(false);
    EXPECT_TRUE(queue.should_pace());  // the peer took a write: pacing again
    queue.begin_write(false);
    queue.write_failed(true);  // the rest of that frame is lost
    EXPECT_EQ(0u, queue.queued_bytes());

    push_text(queue, "a");
    push_text(queue, "b");
    queue.push_frame(large_frame(100, 'z'));
    queue.begin_write(false);  // the two texts, outstanding
    const send_queue::loss lost = queue.drop_unwritten();
    EXPECT_EQ(1u + 2u + 1u, lost.frames);
    EXPECT_EQ(send_queue::high_water_bytes - 100 + 8 - send_queue::max_write_bytes +
                  2 * framed_text("a").size() + 108,
              lost.bytes);
    EXPECT_EQ(2 * framed_text("a").size(), queue.queued_bytes());  // until the write returns
    queue.write_failed(false);
    EXPECT_EQ(0u, queue.queued_bytes());
    EXPECT_FALSE(queue.has_unwritten());
}
