// Building a frame's header, and assembling one incoming frame from the bytes read.
#include "transport/pipe_frame_buffer.h"

#include <cstring>

namespace win {

namespace {
constexpr char magic[4] = {'T', 'Q', 'N', 'P'};
}

void pipe_frame_buffer::append(const char* data, size_t count) {
    std::memcpy(reserve(count), data, count);
    commit(count);
}

char* pipe_frame_buffer::reserve(size_t count) {
    if (size_ == 0 && count <= frame_header_size) {
        return header_;
    }
    if (storage_.size() < size_ + count) {
        storage_.resize(size_ + count);
    }
    return storage_.data() + size_;
}

void pipe_frame_buffer::commit(size_t count) {
    if (size_ == 0 && count <= frame_header_size) {
        if (storage_.size() < count) {
            storage_.resize(frame_header_size);
        }
        std::memcpy(storage_.data(), header_, count);
    }
    size_ += count;
}

uint32_t pipe_frame_buffer::length_field() const {
    const auto* p = reinterpret_cast<const unsigned char*>(storage_.data()) + 4;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool pipe_frame_buffer::checkIfError() const {
    if (size_ < frame_header_size) {
        return false;
    }
    return std::memcmp(storage_.data(), magic, sizeof(magic)) != 0 ||
           length_field() > max_frame_size;
}

bool pipe_frame_buffer::is_complete() const {
    return size_ >= frame_header_size && length_field() == size_;
}

int32_t pipe_frame_buffer::bytes_needed() {
    if (is_complete()) {
        size_ = 0;
        return static_cast<int32_t>(frame_header_size);
    }
    if (size_ == 0) {
        return static_cast<int32_t>(frame_header_size);
    }
    if (size_ < frame_header_size) {
        return 0;
    }
    return static_cast<int32_t>(length_field() - static_cast<uint32_t>(size_));
}

void pipe_frame_buffer::give_back_room() {
    if ((size_ == 0 || is_complete()) && storage_.capacity() > retained_bytes) {
        storage_ = byte_buffer();
        size_ = 0;
    }
}

byte_buffer pipe_frame_buffer::take_frame() {
    byte_buffer frame;
    frame.swap(storage_);
    frame.resize(size_);
    size_ = 0;
    return frame;
}

void pipe_frame_buffer::adopt_room(byte_buffer& room) {
    if (room.capacity() <= storage_.capacity()) {
        return;
    }
    room.resize(size_);
    if (size_ > 0) {
        std::memcpy(room.data(), storage_.data(), size_);
    }
    storage_.swap(room);
    room = byte_buffer();
}

bool pipe_frame_buffer::payload(const char** data, size_t* size) const {
    if (!is_complete()) {
        return false;
    }
    *data = storage_.data() + frame_header_size;
    *size = size_ - frame_header_size;
    return true;
}

bool pipe_frame_buffer::get_payload(std::vector<char>& out) const {
    const char* data = nullptr;
    size_t size = 0;
    if (!payload(&data, &size)) {
        return false;
    }
    out.assign(data, data + size);
    return true;
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

}  // namespace win
