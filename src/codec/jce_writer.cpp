// Writing values of the tagged encoding in their shortest forms, into the writer's own bytes.
#include "codec/jce_writer.h"

#include <cstring>

#include "codec/jce_exceptions.h"
#include "codec/jce_put.h"

namespace taf {

char* JceWriter::reserve(size_t n) {
    if (capacity_ < length_ + n) {
        const size_t capacity = 2 * (length_ + n);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (length_ > 0) {
            std::memcpy(grown.get(), buffer_.get(), length_);
        }
        buffer_ = std::move(grown);
        capacity_ = capacity;
    }
    return buffer_.get() + length_;
}

void JceWriter::commit(const char* end) {
    length_ = static_cast<size_t>(end - buffer_.get());
}

void JceWriter::writeBuf(const void* bytes, size_t n) {
    if (n != 0) {
        commit(put::raw(reserve(n), bytes, n));
    }
}

void JceWriter::writeHead(uint8_t type, uint8_t tag) {
    commit(put::head(reserve(put::max_head_size), type, tag));
}

void JceWriter::write(int8_t value, uint8_t tag) {
    write(static_cast<int32_t>(value), tag);
}

void JceWriter::write(int16_t value, uint8_t tag) {
    write(static_cast<int32_t>(value), tag);
}

void JceWriter::write(int32_t value, uint8_t tag) {
    commit(put::int32(reserve(put::max_int_size), value, tag));
}

void JceWriter::write(const std::string& value, uint8_t tag) {
    const size_t size = value.size();
    if (size > max_string_bytes) {
        throw JceDecodeInvalidValue(format_message("invalid string size, tag: %d, size: %llu",
                                                   static_cast<int>(tag),
                                                   static_cast<unsigned long long>(size)));
    }
    char* p = put::string_head(reserve(put::max_head_size + 4 + size), size, tag);
    commit(put::raw(p, value.data(), size));
}

void JceWriter::write(const std::vector<char>& value, uint8_t tag) {
    const size_t size = value.size();
    char* p =
        put::bytes_head(reserve(put::max_head_size + 1 + put::max_int_size + size), size, tag);
    commit(put::raw(p, value.data(), size));
}

template <typename V>
void JceWriter::write_map(const std::map<std::string, V>& value, uint8_t tag) {
    // std::map<std::string, ...> already iterates in the wire order: std::char_traits<char>
    // compares bytes as unsigned char, and a prefix sorts before its extensions.
    writeHead(Map, tag);
    write(static_cast<int32_t>(value.size()), 0);
    for (const auto& entry : value) {
        write(entry.first, 0);
        write(entry.second, 1);
    }
}

void JceWriter::write(const std::map<std::string, std::string>& value, uint8_t tag) {
    write_map(value, tag);
}

void JceWriter::write(const std::map<std::string, std::vector<char>>& value, uint8_t tag) {
    write_map(value, tag);
}

void JceWriter::write(const std::map<std::string, std::map<std::string, std::vector<char>>>& value,
                      uint8_t tag) {
    write_map(value, tag);
}

}  // namespace taf
