// Helpers of the codec tests: bytes as readable hex, readers over hex text, and packets built
// by hand around attribute bytes that encode_record would never produce.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/jce_reader.h"
#include "codec/jce_writer.h"
#include "codec/uni_attribute.h"

namespace codec_test {

// "0a 0b ...", so that a failed comparison shows where the bytes differ.
inline std::string hex(const char* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        text += std::string(i == 0 ? "" : " ") + digits[byte >> 4] + digits[byte & 15];
    }
    return text;
}
inline std::string hex(const std::vector<char>& bytes) {
    return hex(bytes.data(), bytes.size());
}
inline std::string hex(const taf::JceWriter& writer) {
    return hex(writer.data(), writer.length());
}

// The bytes of hex text; blanks are ignored.
inline std::vector<char> unhex(const std::string& text) {
    std::vector<char> bytes;
    for (size_t i = text.find_first_not_of(' '); i < text.size();
         i = text.find_first_not_of(' ', i)) {
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

inline std::vector<char> bytes_of(const taf::JceWriter& writer) {
    return std::vector<char>(writer.data(), writer.data() + writer.length());
}

// A reader over its own copy of the bytes.
struct reader_over {
    explicit reader_over(const std::string& hex_text) : bytes(unhex(hex_text)) {
        reader.set_buffer(bytes.data(), bytes.size());
    }
    std::vector<char> bytes;
    taf::JceReader reader;
};

// A packet with only the required header fields around the given attribute-map bytes.
inline std::vector<char> packet_around(const std::vector<char>& attribute_bytes) {
    taf::JceWriter writer;
    writer.write(int16_t{2}, 1);
    writer.write(int32_t{1}, 4);
    writer.write(std::string("1"), 5);
    writer.write(std::string("1"), 6);
    writer.write(attribute_bytes, 7);
    // The length prefix stays zero: decode does not examine it.
    std::vector<char> packet(writer.length() + 4, '\0');
    std::copy(writer.data(), writer.data() + writer.length(), packet.begin() + 4);
    return packet;
}

// A record payload as encode_record builds it, but with any record bytes and return code.
inline std::vector<char> record_payload(const char* type_name, const std::vector<char>& record,
                                        int32_t return_code = 0) {
    taf::JceWriter code;
    code.write(return_code, 0);
    taf::JceWriter writer;
    writer.write(
        taf::attribute_map{{"", {{"int32", bytes_of(code)}}}, {"tRsp", {{type_name, record}}}}, 0);
    return packet_around(bytes_of(writer));
}

}  // namespace codec_test
