// taf::UniPacket: the envelope around every encoded record. A packet is an attribute
// container (UniAttribute) with a request-style header; encoding it writes the attribute
// map into the header's Buffer field, then the header, behind a 4-byte length. A packet is
// made for one message, used for one encode or one decode (then get calls) by one thread,
// and discarded.
//
// Wire layout:
//
//   offset 0  [ total:32 ]  packet size in bytes, these 4 included; unsigned, big-endian
//   offset 4  header fields as a struct body (no struct heads), every field always written:
//             tag 1  Version      int16    required when reading
//             tag 2  PacketType   int8
//             tag 3  MessageType  int32
//             tag 4  RequestId    int32    required
//             tag 5  ServantName  string   required
//             tag 6  FuncName     string   required
//             tag 7  Buffer       bytes    required; the encoded attribute map
//             tag 8  Timeout      int32
//             tag 9  Context      map string -> string
//             tag 10 Status       map string -> string
//
// On reading, the length prefix is not examined (the caller's length counts), and bytes
// after the last header field or after the attribute map are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "codec/uni_attribute.h"

namespace taf {

// Names defined for entries of Status; the library itself never stores them.
constexpr const char* status_result_code = "STATUS_RESULT_CODE";
constexpr const char* status_result_desc = "STATUS_RESULT_DESC";

class UniPacket : public UniAttribute {
  public:
    int16_t Version = 2;
    int8_t PacketType = 0;
    int32_t MessageType = 0;
    int32_t RequestId = 0;
    std::string ServantName;
    std::string FuncName;
    std::vector<char> Buffer;
    int32_t Timeout = 0;
    std::map<std::string, std::string> Context;
    std::map<std::string, std::string> Status;

    // Replaces the content of out with the complete packet, length prefix included. Raises
    // std::runtime_error "ServantName must not be empty" or, after that test,
    // "FuncName must not be empty" without writing anything, and the writer's
    // JceDecodeInvalidValue for a string over the size limit; out is untouched then.
    void encode(std::vector<char>& out);

    // Fills the header fields and the attribute map from length bytes at data. Raises
    // std::runtime_error "packet length too short" for fewer than 4 bytes, and the reader's
    // JceDecodeException family for malformed input (a missing required field among them);
    // the fields then hold whatever was read before the failure.
    void decode(const char* data, size_t length);
};

}  // namespace taf
