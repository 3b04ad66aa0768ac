// The primitive forms of the tagged encoding (codec/jce_wire.h), written straight into memory
// that the caller has sized, and the sizes of those forms. taf::JceWriter appends with them;
// the one-pass message codec writes whole messages with them, so both write the same bytes.
//
// Each writer returns the position just after what it wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/jce_wire.h"

namespace taf {
namespace put {

// Room to reserve for a head, and for a head with the largest integer form.
constexpr size_t max_head_size = 2;
constexpr size_t max_int_size = max_head_size + 4;

inline char* raw(char* p, const void* bytes, size_t n) {
    if (n != 0) {
        std::memcpy(p, bytes, n);
    }
    return p + n;
}

// The low n bytes (2 or 4) of bits, most significant first.
inline char* big_endian(char* p, uint32_t bits, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        *p++ = static_cast<char>(bits >> (8 * (n - 1 - i)));
    }
    return p;
}

// One byte for tags below 15, two bytes otherwise.
inline char* head(char* p, uint8_t type, uint8_t tag) {
    if (tag < 15) {
        *p++ = static_cast<char>((tag << 4) | type);
    } else {
        *p++ = static_cast<char>(0xF0 | type);
        *p++ = static_cast<char>(tag);
    }
    return p;
}

// An integer in its shortest form: ZeroTag, Char, Short or Int32.
inline char* int32(char* p, int32_t value, uint8_t tag) {
    if (value == 0) {
        return head(p, ZeroTag, tag);
    }
    if (value >= -128 && value <= 127) {
        p = head(p, Char, tag);
        *p++ = static_cast<char>(value);
        return p;
    }
    if (value >= -32768 && value <= 32767) {
        return big_endian(head(p, Short, tag), static_cast<uint16_t>(value), 2);
    }
    return big_endian(head(p, Int32, tag), static_cast<uint32_t>(value), 4);
}

// The head and length of a string: String1 below 256 bytes, String4 from there. The caller
// has checked the length against max_string_bytes; the bytes follow.
inline char* string_head(char* p, size_t length, uint8_t tag) {
    if (length < 256) {
        p = head(p, String1, tag);
        *p++ = static_cast<char>(length);
        return p;
    }
    return big_endian(head(p, String4, tag), static_cast<uint32_t>(length), 4);
}

// The head of a byte field: SimpleList, its element head (Char at tag 0) and its count. The
// bytes follow.
inline char* bytes_head(char* p, size_t count, uint8_t tag) {
    p = head(p, SimpleList, tag);
    p = head(p, Char, 0);
    return int32(p, static_cast<int32_t>(count), 0);
}

// Sizes of the forms above for a tag below 15 (one-byte head), contents included.
inline size_t int_size(int32_t value) {
    if (value == 0) {
        return 1;
    }
    if (value >= -128 && value <= 127) {
        return 2;
    }
    return value >= -32768 && value <= 32767 ? 3 : 5;
}

inline size_t string_size(size_t length) {
    return (length < 256 ? 2 : 5) + length;
}

inline size_t bytes_size(size_t count) {
    return 2 + int_size(static_cast<int32_t>(count)) + count;
}

}  // namespace put
}  // namespace taf
