// taf::JceWriter: the output stream of the tagged encoding (layout in codec/jce_wire.h).
// It appends heads and values to one growable byte array that it owns; the bytes written
// are read through data() and length(). One thread uses a writer at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/jce_wire.h"

namespace taf {

class JceWriter {
  public:
    JceWriter() = default;
    JceWriter(const JceWriter&) = delete;
    JceWriter& operator=(const JceWriter&) = delete;
    JceWriter(JceWriter&&) = default;
    JceWriter& operator=(JceWriter&&) = default;

    // Forgets the bytes written; keeps the array for reuse.
    void reset() { length_ = 0; }
    // The bytes written so far; null before the first write.
    const char* data() const { return buffer_.get(); }
    size_t length() const { return length_; }

    // Appends n raw bytes. When they do not fit, the array is replaced by one of twice the
    // size needed, so a run of small appends costs amortised constant time.
    void writeBuf(const void* bytes, size_t n);
    // Appends the head of a field: one byte for tags below 15, two bytes otherwise.
    void writeHead(uint8_t type, uint8_t tag);

    // Integers, in their shortest form (ZeroTag, Char, Short or Int32).
    void write(int8_t value, uint8_t tag);
    void write(int16_t value, uint8_t tag);
    void write(int32_t value, uint8_t tag);

    // A string as String1 (below 256 bytes) or String4. Raises JceDecodeInvalidValue
    // "invalid string size, tag: %d, size: %u" for more than max_string_bytes, before any
    // byte of the field is written.
    void write(const std::string& value, uint8_t tag);

    // A byte vector as SimpleList.
    void write(const std::vector<char>& value, uint8_t tag);

    // Maps with string keys, entries in ascending key order: key at tag 0, value at tag 1.
    // Keys and string values are subject to the string size limit above.
    void write(const std::map<std::string, std::string>& value, uint8_t tag);
    void write(const std::map<std::string, std::vector<char>>& value, uint8_t tag);
    void write(const std::map<std::string, std::map<std::string, std::vector<char>>>& value,
               uint8_t tag);

    // A struct: StructBegin head, the record's own fields (its write_to), StructEnd head.
    template <typename R,
              typename = decltype(std::declval<const R&>().write_to(std::declval<JceWriter&>()))>
    void write(const R& record, uint8_t tag) {
        writeHead(StructBegin, tag);
        record.write_to(*this);
        writeHead(StructEnd, 0);
    }

  private:
    // Room for n more bytes at the end; the array is replaced by one of twice the size needed
    // when they do not fit. commit() then takes the end of what was written there.
    char* reserve(size_t n);
    void commit(const char* end);
    template <typename V>
    void write_map(const std::map<std::string, V>& value, uint8_t tag);

    std::unique_ptr<char[]> buffer_;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

}  // namespace taf
