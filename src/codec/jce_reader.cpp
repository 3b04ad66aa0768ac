// Reading the tagged encoding from untrusted bytes: heads, values and skipped fields, each
// checked against the bytes that remain before anything is allocated.
#include "codec/jce_reader.h"

#include <cstring>

#include "codec/jce_exceptions.h"

namespace taf {

namespace {

const char* const missing_text = "require field not exist, tag: %d";

}  // namespace

JceReader::nesting_scope::nesting_scope(JceReader& reader) : reader_(reader) {
    if (reader_.depth_ >= max_nesting_depth) {
        throw JceDecodeException(format_message(
            "nesting deeper than %d levels of structs, lists and maps", max_nesting_depth));
    }
    ++reader_.depth_;
}

void JceReader::set_buffer(const char* buffer, size_t length) {
    buffer_ = buffer;
    buffer_length_ = length;
    cursor_ = 0;
}

void JceReader::throw_overflow() const {
    throw JceDecodeException(format_message("buffer overflow when peekBuf, over %llu.",
                                            static_cast<unsigned long long>(buffer_length_)));
}

void JceReader::require_remaining(uint64_t n) const {
    if (cursor_ > buffer_length_ || n > buffer_length_ - cursor_) {
        throw_overflow();
    }
}

void JceReader::peekBuf(void* destination, size_t n, size_t offset) const {
    if (cursor_ > buffer_length_ || offset > buffer_length_ - cursor_ ||
        n > buffer_length_ - cursor_ - offset) {
        throw_overflow();
    }
    if (n > 0) {
        std::memcpy(destination, buffer_ + cursor_ + offset, n);
    }
}

void JceReader::skip(size_t n) {
    // Saturates instead of wrapping, so a huge skip can never bring the cursor back into
    // the buffer; any position past the end fails the next read alike.
    const size_t room = cursor_ <= buffer_length_ ? buffer_length_ - cursor_ : 0;
    cursor_ = n > room ? buffer_length_ + 1 : cursor_ + n;
}

int32_t JceReader::read_count() {
    int32_t count = 0;
    read(count, 0, true);
    return count;
}

uint32_t JceReader::read_big_endian(size_t n) {
    unsigned char bytes[4];
    peekBuf(bytes, n);
    cursor_ += n;
    uint32_t value = 0;
    for (size_t i = 0; i < n; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

JceHead JceReader::peekHead() const {
    unsigned char first = 0;
    peekBuf(&first, 1);
    JceHead head{static_cast<uint8_t>(first & 0x0F), static_cast<uint8_t>(first >> 4), 1};
    if (head.tag == 15) {
        unsigned char tag = 0;
        peekBuf(&tag, 1, 1);
        head.tag = tag;
        head.size = 2;
    }
    return head;
}

JceHead JceReader::readHead() {
    const JceHead head = peekHead();
    cursor_ += head.size;
    return head;
}

bool JceReader::skipToTag(uint8_t tag) {
    try {
        for (;;) {
            const JceHead head = peekHead();
            if (tag <= head.tag) {
                return tag == head.tag;
            }
            if (head.type == StructEnd) {
                return false;
            }
            skip(head.size);
            skipField(head.type);
        }
    } catch (const JceDecodeException&) {
        return false;
    }
}

void JceReader::skipField(uint8_t type) {
    switch (type) {
        case Char:
            skip(1);
            break;
        case Short:
            skip(2);
            break;
        case Int32:
        case Float:
            skip(4);
            break;
        case Int64:
        case Double:
            skip(8);
            break;
        case String1:
            skip(read_big_endian(1));
            break;
        case String4:
            skip(read_big_endian(4));
            break;
        case Map:
        case List:
            skipContainer(type);
            break;
        case StructBegin: {
            nesting_scope scope(*this);
            skipToStructEnd();
            break;
        }
        case StructEnd:
        case ZeroTag:
            break;
        case SimpleList:
            skipSimpleList();
            break;
        default:
            throw JceDecodeMismatch(format_message("skipField with invalid type, type value:%d.",
                                                   static_cast<int>(type)));
    }
}

void JceReader::skipContainer(uint8_t type) {
    nesting_scope scope(*this);
    const int32_t count = read_count();
    // A map holds two values per entry. The product is taken in 32 bits and wraps, as peers
    // compute it; each value costs at least one byte, so the loop ends with the input in any
    // case.
    const int32_t values =
        type == Map ? static_cast<int32_t>(static_cast<uint32_t>(count) * 2u) : count;
    for (int32_t i = 0; i < values; ++i) {
        skipField(readHead().type);
    }
}

void JceReader::skipSimpleList() {
    const JceHead element = readHead();
    if (element.type != Char) {
        throw JceDecodeMismatch(format_message("skipField with invalid type, type value: %d, %d.",
                                               static_cast<int>(SimpleList),
                                               static_cast<int>(element.type)));
    }
    const int32_t count = read_count();
    if (count < 0) {
        throw JceDecodeInvalidValue(
            format_message("skipField with invalid size, type value: %d, size: %d.",
                           static_cast<int>(SimpleList), static_cast<int>(count)));
    }
    skip(static_cast<size_t>(count));
}

void JceReader::skipToStructEnd() {
    for (;;) {
        const JceHead head = readHead();
        skipField(head.type);
        if (head.type == StructEnd) {
            return;
        }
    }
}

bool JceReader::find_field(uint8_t tag, bool required, const char* missing_format) {
    if (skipToTag(tag)) {
        return true;
    }
    if (required) {
        throw JceDecodeRequireNotExist(format_message(missing_format, static_cast<int>(tag)));
    }
    return false;
}

template <typename T>
void JceReader::read_integer(T& value, uint8_t tag, bool required, uint8_t widest_type,
                             const char* mismatch_format, const char* missing_format) {
    if (!find_field(tag, required, missing_format)) {
        return;
    }
    const JceHead head = readHead();
    switch (head.type) {
        case ZeroTag:
            value = 0;
            return;
        case Char:
            value = static_cast<T>(static_cast<int8_t>(read_big_endian(1)));
            return;
        case Short:
            if (widest_type >= Short) {
                value = static_cast<T>(static_cast<int16_t>(read_big_endian(2)));
                return;
            }
            break;
        case Int32:
            if (widest_type >= Int32) {
                value = static_cast<T>(static_cast<int32_t>(read_big_endian(4)));
                return;
            }
            break;
        default:
            break;
    }
    throw JceDecodeMismatch(
        format_message(mismatch_format, static_cast<int>(tag), static_cast<int>(head.type)));
}

void JceReader::read(int8_t& value, uint8_t tag, bool required) {
    // The int8 reader's "not exist" text alone ends with a full stop.
    read_integer(value, tag, required, Char, "read 'Char' type mismatch, tag: %d, get type: %d.",
                 "require field not exist, tag: %d.");
}

void JceReader::read(int16_t& value, uint8_t tag, bool required) {
    read_integer(value, tag, required, Short, "read 'Short' type mismatch, tag: %d, get type: %d.",
                 missing_text);
}

void JceReader::read(int32_t& value, uint8_t tag, bool required) {
    read_integer(value, tag, required, Int32, "read 'Int32' type mismatch, tag: %d, get type: %d.",
                 missing_text);
}

void JceReader::read(std::string& value, uint8_t tag, bool required) {
    if (!find_field(tag, required, missing_text)) {
        return;
    }
    const JceHead head = readHead();
    size_t size = 0;
    if (head.type == String1) {
        size = read_big_endian(1);
    } else if (head.type == String4) {
        const uint32_t declared = read_big_endian(4);
        if (declared > max_string_bytes) {
            throw JceDecodeInvalidValue(format_message("invalid string size, tag: %d, size: %d",
                                                       static_cast<int>(tag),
                                                       static_cast<int>(declared)));
        }
        size = declared;
    } else {
        throw JceDecodeMismatch(
            format_message("read 'string' type mismatch, tag: %d, get type: %d.",
                           static_cast<int>(tag), static_cast<int>(head.type)));
    }
    require_remaining(size);
    value.assign(buffer_ + cursor_, size);
    cursor_ += size;
}

void JceReader::read(std::vector<char>& value, uint8_t tag, bool required) {
    if (!find_field(tag, required, missing_text)) {
        return;
    }
    const JceHead head = readHead();
    if (head.type == List) {
        const int32_t count = read_count();
        if (count < 0) {
            throw JceDecodeInvalidValue(
                format_message("invalid size, tag: %d, type: %d, size: %d", static_cast<int>(tag),
                               static_cast<int>(List), static_cast<int>(count)));
        }
        // Every element takes at least its head byte.
        require_remaining(static_cast<uint64_t>(count));
        value.resize(static_cast<size_t>(count));
        for (char& byte : value) {
            int8_t element = 0;
            read(element, 0, true);
            byte = static_cast<char>(element);
        }
    } else if (head.type == SimpleList) {
        const JceHead element = readHead();
        if (element.type != Char) {
            throw JceDecodeMismatch(
                format_message("type mismatch, tag: %d, type: %d, %d", static_cast<int>(tag),
                               static_cast<int>(SimpleList), static_cast<int>(element.type)));
        }
        const int32_t count = read_count();
        if (count < 0) {
            throw JceDecodeInvalidValue(
                format_message("invalid size, tag: %d, type: %d, %d, size: %d",
                               static_cast<int>(tag), static_cast<int>(SimpleList),
                               static_cast<int>(element.type), static_cast<int>(count)));
        }
        require_remaining(static_cast<uint64_t>(count));
        value.assign(buffer_ + cursor_, buffer_ + cursor_ + count);
        cursor_ += static_cast<size_t>(count);
    } else {
        throw JceDecodeMismatch(format_message("type mismatch, tag: %d, type: %d",
                                               static_cast<int>(tag), static_cast<int>(head.type)));
    }
}

template <typename V>
void JceReader::read_map(std::map<std::string, V>& value, uint8_t tag, bool required) {
    if (!find_field(tag, required, missing_text)) {
        return;
    }
    const JceHead head = readHead();
    if (head.type != Map) {
        throw JceDecodeMismatch(format_message("read 'map' type mismatch, tag: %d, get type: %d.",
                                               static_cast<int>(tag), static_cast<int>(head.type)));
    }
    nesting_scope scope(*this);
    const int32_t count = read_count();
    if (count < 0) {
        throw JceDecodeInvalidValue(format_message("invalid map, tag: %d, size: %d",
                                                   static_cast<int>(tag), static_cast<int>(count)));
    }
    // Every entry takes at least a key head and a value head.
    require_remaining(2 * static_cast<uint64_t>(count));
    value.clear();
    for (int32_t i = 0; i < count; ++i) {
        std::string key;
        V item;
        read(key, 0, true);
        read(item, 1, true);
        value.emplace(std::move(key), std::move(item));
    }
}

void JceReader::read(std::map<std::string, std::string>& value, uint8_t tag, bool required) {
    read_map(value, tag, required);
}

void JceReader::read(std::map<std::string, std::vector<char>>& value, uint8_t tag, bool required) {
    read_map(value, tag, required);
}

void JceReader::read(std::map<std::string, std::map<std::string, std::vector<char>>>& value,
                     uint8_t tag, bool required) {
    read_map(value, tag, required);
}

bool JceReader::begin_struct(uint8_t tag, bool required) {
    if (!find_field(tag, required, missing_text)) {
        return false;
    }
    const JceHead head = readHead();
    if (head.type != StructBegin) {
        throw JceDecodeMismatch(
            format_message("read 'struct' type mismatch, tag: %d, get type: %d.",
                           static_cast<int>(tag), static_cast<int>(head.type)));
    }
    return true;
}

}  // namespace taf
