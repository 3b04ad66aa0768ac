#include "codec/jce_writer.h"

#include <cstring>

#include "codec/jce_exceptions.h"

namespace taf {

void JceWriter::writeBuf(const void* bytes, size_t n) {
    if (n == 0) {
        return;
    }
    if (capacity_ < length_ + n) {
        const size_t capacity = 2 * (length_ + n);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (length_ > 0) {
            std::memcpy(grown.get(), buffer_.get(), length_);
        }
        buffer_ = std::move(grown);
        capacity_ = capacity;
    }
    std::memcpy(buffer_.get() + length_, bytes, n);
    length_ += n;
}

void JceWriter::write_big_endian(uint32_t bits, size_t n) {
    unsigned char bytes[4];
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>(bits >> (8 * (n - 1 - i)));
    }
    writeBuf(bytes, n);
}

void JceWriter::writeHead(uint8_t type, uint8_t tag) {
    if (tag < 15) {
        const unsigned char head = static_cast<unsigned char>((tag << 4) | type);
        writeBuf(&head, 1);
    } else {
        const unsigned char head[2] = {static_cast<unsigned char>(0xF0 | type), tag};
        writeBuf(head, 2);
    }
}

void JceWriter::write(int8_t value, uint8_t tag) {
    if (value == 0) {
        writeHead(ZeroTag, tag);
    } else {
        writeHead(Char, tag);
        writeBuf(&value, 1);
    }
}

void JceWriter::write(int16_t value, uint8_t tag) {
    if (value >= -128 && value <= 127) {
        write(static_cast<int8_t>(value), tag);
        return;
    }
    writeHead(Short, tag);
    write_big_endian(static_cast<uint16_t>(value), 2);
}

void JceWriter::write(int32_t value, uint8_t tag) {
    if (value >= -32768 && value <= 32767) {
        write(static_cast<int16_t>(value), tag);
        return;
    }
    writeHead(Int32, tag);
    write_big_endian(static_cast<uint32_t>(value), 4);
}

void JceWriter::write(const std::string& value, uint8_t tag) {
    const size_t size = value.size();
    if (size < 256) {
        const unsigned char length = static_cast<unsigned char>(size);
        writeHead(String1, tag);
        writeBuf(&length, 1);
    } else {
        if (size > max_string_bytes) {
            throw JceDecodeInvalidValue(format_message("invalid string size, tag: %d, size: %llu",
                                                       static_cast<int>(tag),
                                                       static_cast<unsigned long long>(size)));
        }
        writeHead(String4, tag);
        write_big_endian(static_cast<uint32_t>(size), 4);
    }
    writeBuf(value.data(), size);
}

void JceWriter::write(const std::vector<char>& value, uint8_t tag) {
    writeHead(SimpleList, tag);
    writeHead(Char, 0);
    write(static_cast<int32_t>(value.size()), 0);
    writeBuf(value.data(), value.size());
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
