// message_codec::received_reader: every payload a link receives, read as a host is handed it.
//
// Both endpoints read what their links receive with one of these: a run of alike messages
// through message_reader's one-pass comparison, anything else the long way (decode_message and
// the body's decoders, with exactly decode_record's results). A text is handed on followed by a
// NUL; a byte stream's declared length is what the host is given, cut to the data when it says
// more, and a negative one is no message. One reader per receiving link (or per client), one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/message_codec.h"

namespace message_codec {

class received_reader {
  public:
    struct message {
        int32_t msg_type = 0;
        const char* client_id = nullptr;
        size_t client_id_size = 0;
        int32_t state = 0;           // msg_clientstate
        const char* data = nullptr;  // msg_string: followed by a NUL; msg_bytestream
        int32_t length = 0;          // of data, as the host is given it
    };
    enum class result {
        ok,
        bad_message,  // the payload is no PipeProtocol record
        bad_body,     // its body does not decode as its msg_type says (msg_type is set)
    };
    // Reads one payload; what out points to lives until the next read or give_back_room.
    result read(const char* payload, size_t size, message* out);
    // Frees the storage of a large text or byte stream once it has been handed on.
    void give_back_room(size_t retained_bytes);

  private:
    result read_body(const message_view& view, message* out);

    message_reader fast_;
    decoded_message decoded_;
    std::string text_;
    std::vector<char> bytes_;
};

}  // namespace message_codec
