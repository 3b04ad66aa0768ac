// taf::JceReader: the input stream of the tagged encoding (layout in codec/jce_wire.h).
// It reads from bytes it does not own; they must stay valid while the reader uses them.
// One thread uses a reader at a time.
//
// Input comes from other processes and is not trusted. Every read checks that its bytes lie
// inside the buffer; every declared string length and count is checked against the bytes
// that remain before anything is allocated for it; nesting of structs, lists and maps is
// limited to max_nesting_depth levels. Every failure is a JceDecodeException (or one of its
// subclasses); after one, the cursor is wherever the failing step left it and the caller
// discards or resets the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/jce_wire.h"

namespace taf {

// A decoded head: type code, tag, and its size on the wire (1 or 2 bytes).
struct JceHead {
    uint8_t type;
    uint8_t tag;
    size_t size;
};

class JceReader {
  public:
    JceReader() = default;

    // Points the reader at length bytes at buffer, cursor at the first.
    void set_buffer(const char* buffer, size_t length);
    // Moves the cursor back to the first byte.
    void reset() { cursor_ = 0; }

    // Copies n bytes starting at cursor + offset without moving the cursor. Raises
    // JceDecodeException "buffer overflow when peekBuf, over %u." (with the buffer's length)
    // when they do not all lie inside the buffer.
    void peekBuf(void* destination, size_t n, size_t offset = 0) const;
    // Moves the cursor n bytes on, unchecked: the next read checks.
    void skip(size_t n);

    // The head at the cursor, without moving it; readHead also moves past it. Raise the
    // buffer-overflow error when the head does not lie inside the buffer.
    JceHead peekHead() const;
    JceHead readHead();

    // Moves forward, skipping fields, to the first head whose tag is at least tag, or to the
    // end of the enclosing struct. True when it stopped on a head with exactly this tag (the
    // cursor stays on that head). Any decode error on the way reports false; never raises.
    bool skipToTag(uint8_t tag);
    // Skips the content of a value of this type; the cursor is just after its head. Raises
    // JceDecodeMismatch for type codes 14 and 15 and for a SimpleList whose element head is
    // not Char, JceDecodeInvalidValue for a negative SimpleList count, JceDecodeException
    // when the input ends early or nests too deeply.
    void skipField(uint8_t type);
    // Skips heads and values up to and including the next StructEnd of this level.
    void skipToStructEnd();

    // Every read finds its field with skipToTag. An absent field raises
    // JceDecodeRequireNotExist when required, and otherwise leaves value untouched. A field
    // of a type the destination cannot take raises JceDecodeMismatch.
    //
    // Integers accept every narrower form: an int32 reads ZeroTag, Char, Short or Int32,
    // sign-extended.
    void read(int8_t& value, uint8_t tag, bool required);
    void read(int16_t& value, uint8_t tag, bool required);
    void read(int32_t& value, uint8_t tag, bool required);
    // String1 or String4; a String4 longer than max_string_bytes raises
    // JceDecodeInvalidValue.
    void read(std::string& value, uint8_t tag, bool required);
    // SimpleList, or a List of Char elements. A negative count raises
    // JceDecodeInvalidValue.
    void read(std::vector<char>& value, uint8_t tag, bool required);
    // Maps with string keys; a negative count raises JceDecodeInvalidValue. The map is
    // emptied first; for a repeated key the first value stays.
    void read(std::map<std::string, std::string>& value, uint8_t tag, bool required);
    void read(std::map<std::string, std::vector<char>>& value, uint8_t tag, bool required);
    void read(std::map<std::string, std::map<std::string, std::vector<char>>>& value, uint8_t tag,
              bool required);

    // A struct: its StructBegin head, the record's own field reads (its read_from), then
    // everything up to and including its StructEnd, so unknown fields are passed over.
    template <typename R,
              typename = decltype(std::declval<R&>().read_from(std::declval<JceReader&>()))>
    void read(R& record, uint8_t tag, bool required) {
        if (!begin_struct(tag, required)) {
            return;
        }
        nesting_scope scope(*this);
        record.read_from(*this);
        skipToStructEnd();
    }

  private:
    // One level of nesting for as long as it lives; raises JceDecodeException when it
    // would be level max_nesting_depth + 1.
    class nesting_scope {
      public:
        explicit nesting_scope(JceReader& reader);
        ~nesting_scope() { --reader_.depth_; }
        nesting_scope(const nesting_scope&) = delete;
        nesting_scope& operator=(const nesting_scope&) = delete;

      private:
        JceReader& reader_;
    };

    // skipToTag, then the required/optional rule with the given "not exist" text.
    bool find_field(uint8_t tag, bool required, const char* missing_format);
    bool begin_struct(uint8_t tag, bool required);
    template <typename T>
    void read_integer(T& value, uint8_t tag, bool required, uint8_t widest_type,
                      const char* mismatch_format, const char* missing_format);
    template <typename V>
    void read_map(std::map<std::string, V>& value, uint8_t tag, bool required);
    // The parts of skipField: a map's or list's values, and a SimpleList's bytes.
    void skipContainer(uint8_t type);
    void skipSimpleList();
    // Reads the count of a map or list: a required int32 at tag 0.
    int32_t read_count();
    // Reads n (1, 2 or 4) bytes as an unsigned big-endian number and moves past them.
    uint32_t read_big_endian(size_t n);
    // Raises the buffer-overflow error unless n bytes remain after the cursor.
    void require_remaining(uint64_t n) const;
    [[noreturn]] void throw_overflow() const;

    const char* buffer_ = nullptr;
    size_t buffer_length_ = 0;
    size_t cursor_ = 0;
    int depth_ = 0;
};

}  // namespace taf
