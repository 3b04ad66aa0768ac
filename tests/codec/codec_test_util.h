// Helpers of the codec tests: bytes as readable hex, and packets built by hand around
// attribute bytes that encode_record would never produce.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/jce_writer.h"
#include "codec/uni_attribute.h"

namespace codec_test {

// "0a 0b ..." for bytes, so that a failed comparison shows where the bytes differ.
inline std::string hex(const char* data, size_t n) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x",
                      static_cast<unsigned>(static_cast<unsigned char>(data[i])));
        text += byte;
    }
    return text;
}
inline std::string hex(const std::vector<char>& bytes) {
    return hex(bytes.data(), bytes.size());
}
inline std::string hex(const taf::JceWriter& writer) {
    return hex(writer.data(), writer.length());
}

// The bytes of hex text; blanks and line breaks are ignored.
inline std::vector<char> unhex(const std::string& text) {
    std::vector<char> bytes;
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '\n') {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::vector<char> bytes_of(const taf::JceWriter& writer) {
    return std::vector<char>(writer.data(), writer.data() + writer.length());
}

// A packet with only the required header fields around the given attribute-map bytes.
inline std::vector<char> packet_around(const std::vector<char>& attribute_bytes) {
    taf::JceWriter writer;
    writer.write(int16_t{2}, 1);
    writer.write(int32_t{1}, 4);
    writer.write(std::string("1"), 5);
    writer.write(std::string("1"), 6);
    writer.write(attribute_bytes, 7);
    const size_t total = writer.length() + 4;
    std::vector<char> packet;
    for (int shift = 24; shift >= 0; shift -= 8) {
        packet.push_back(static_cast<char>(total >> shift));
    }
    packet.insert(packet.end(), writer.data(), writer.data() + writer.length());
    return packet;
}

// A record payload as encode_record builds it, but with any record bytes and return code.
inline std::vector<char> record_payload(const char* type_name, const std::vector<char>& record,
                                        int32_t return_code = 0) {
    taf::JceWriter code;
    code.write(return_code, 0);
    const taf::attribute_map attributes{{"", {{"int32", bytes_of(code)}}},
                                        {"tRsp", {{type_name, record}}}};
    taf::JceWriter writer;
    writer.write(attributes, 0);
    return packet_around(bytes_of(writer));
}

}  // namespace codec_test
