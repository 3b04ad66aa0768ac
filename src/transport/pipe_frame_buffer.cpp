// Building a frame's header, and taking incoming frames off the bytes read (many small frames
// to a read).
#include "transport/pipe_frame_buffer.h"

#include <cstring>

namespace tovi {

namespace {
constexpr char magic[4] = {'T', 'Q', 'N', 'P'};
}

uint32_t pipe_frame_buffer::length_at(size_t offset) const {
    const auto* p = reinterpret_cast<const unsigned char*>(current().data()) + offset + 4;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void pipe_frame_buffer::compact() {
    if (begin_ > 0) {
        std::memmove(current().data(), current().data() + begin_, held());
        end_ -= begin_;
        begin_ = 0;
    }
}

bool pipe_frame_buffer::reads_large_frame() const {
    if (in_large_) {
        return true;
    }
    if (held() < frame_header_size) {
        return false;
    }
    const uint32_t length = length_at(begin_);
    return length > read_ahead_bytes && length <= max_frame_size;
}

char* pipe_frame_buffer::read_room(size_t* count) {
    took_large_ = false;
    compact();
    if (!in_large_ && reads_large_frame()) {
        // The start of a large frame came with small ones: it moves to storage of its size.
        const uint32_t length = length_at(0);
        large_.resize(length);
        std::memcpy(large_.data(), small_.data(), end_);
        in_large_ = true;
    }
    byte_buffer& storage = current();
    // Small frames: read_ahead_bytes of room whatever is held (never more than one frame short
    // of read_ahead_bytes), so that the system is asked for that much at a time.
    const size_t room_end = in_large_ ? length_at(0) : end_ + read_ahead_bytes;
    if (storage.size() < room_end) {
        storage.resize(room_end);
    }
    *count = room_end - end_;
    return storage.data() + end_;
}

void pipe_frame_buffer::commit(size_t count) {
    end_ += count;
}

pipe_frame_buffer::next pipe_frame_buffer::next_frame(const char** payload, size_t* size,
                                                      int32_t* short_by) {
    took_large_ = false;
    if (held() < frame_header_size) {
        return next::more;
    }
    const uint32_t length = length_at(begin_);
    if (std::memcmp(current().data() + begin_, magic, sizeof(magic)) != 0 ||
        length > max_frame_size) {
        return next::bad_header;
    }
    if (length < frame_header_size) {
        if (short_by != nullptr) {
            *short_by = static_cast<int32_t>(length - static_cast<uint32_t>(frame_header_size));
        }
        return next::short_length;
    }
    if (held() < length) {
        return next::more;
    }
    *payload = current().data() + begin_ + frame_header_size;
    *size = length - frame_header_size;
    given_begin_ = begin_;
    given_end_ = end_;
    given_in_large_ = in_large_;
    begin_ += length;
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (in_large_) {
            // A large frame is read alone: the next reads land in the small storage again.
            in_large_ = false;
            took_large_ = true;
            large_taken_bytes_ = length;
        }
    }
    return next::frame;
}

void pipe_frame_buffer::put_back() {
    begin_ = given_begin_;
    end_ = given_end_;
    in_large_ = given_in_large_;
    took_large_ = false;
}

void pipe_frame_buffer::give_back_room() {
    if (!in_large_ && !took_large_ && large_.capacity() > retained_bytes) {
        large_ = byte_buffer();
    }
}

byte_buffer pipe_frame_buffer::take_frame() {
    byte_buffer frame;
    if (took_large_) {
        frame.swap(large_);
        frame.resize(large_taken_bytes_);
        took_large_ = false;
    }
    return frame;
}

void pipe_frame_buffer::adopt_room(byte_buffer& room) {
    if (!in_large_ && room.capacity() > large_.capacity()) {
        large_.swap(room);
        room = byte_buffer();
    }
}

void pipe_frame_buffer::put_header(char* frame, uint32_t total) {
    std::memcpy(frame, magic, sizeof(magic));
    for (int i = 0; i < 4; ++i) {
        frame[4 + i] = static_cast<char>(total >> (8 * i));
    }
}

bool pipe_frame_buffer::build_frame(const char* data, uint32_t count, byte_buffer& out) {
    if (data == nullptr || static_cast<int32_t>(count) < 1) {
        return false;
    }
    out.resize(frame_header_size + count);
    std::memcpy(out.data() + frame_header_size, data, count);
    put_header(out.data(), static_cast<uint32_t>(out.size()));
    return true;
}

}  // namespace tovi
