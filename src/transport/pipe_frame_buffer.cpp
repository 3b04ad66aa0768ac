#include "transport/pipe_frame_buffer.h"

#include <cstring>

namespace win {

namespace {
constexpr char magic[4] = {'T', 'Q', 'N', 'P'};
}

void pipe_frame_buffer::append(const char* data, size_t count) {
    bytes_.insert(bytes_.end(), data, data + count);
}

uint32_t pipe_frame_buffer::length_field() const {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data()) + 4;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool pipe_frame_buffer::checkIfError() const {
    if (bytes_.size() < frame_header_size) {
        return false;
    }
    return std::memcmp(bytes_.data(), magic, sizeof(magic)) != 0 || length_field() > max_frame_size;
}

bool pipe_frame_buffer::is_complete() const {
    return bytes_.size() >= frame_header_size && length_field() == bytes_.size();
}

int32_t pipe_frame_buffer::bytes_needed() {
    if (is_complete()) {
        bytes_.clear();
        return static_cast<int32_t>(frame_header_size);
    }
    if (bytes_.empty()) {
        return static_cast<int32_t>(frame_header_size);
    }
    if (bytes_.size() < frame_header_size) {
        return 0;
    }
    return static_cast<int32_t>(length_field() - static_cast<uint32_t>(bytes_.size()));
}

bool pipe_frame_buffer::get_payload(std::vector<char>& out) const {
    if (!is_complete()) {
        return false;
    }
    out.assign(bytes_.begin() + frame_header_size, bytes_.end());
    return true;
}

bool pipe_frame_buffer::build_frame(const char* data, uint32_t count, std::vector<char>& out) {
    if (data == nullptr || static_cast<int32_t>(count) < 1) {
        return false;
    }
    out.assign(frame_header_size, '\0');
    out.insert(out.end(), data, data + count);
    const uint32_t length = static_cast<uint32_t>(out.size());
    std::memcpy(out.data(), magic, sizeof(magic));
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<char>(length >> (8 * i));
    }
    return true;
}

}  // namespace win
