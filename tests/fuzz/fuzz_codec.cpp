// Feeds arbitrary bytes to decode_record for each record type. Whatever decodes is encoded
// again and decoded once more; the two decodes must agree, or the target aborts. The one-pass
// readers of whole messages must agree with decode_record wherever they accept the bytes, and
// the one-pass writers must write what encode_record writes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/message_codec.h"
#include "codec/records.h"

namespace {

template <typename R>
void check_round_trip(const char* data, int32_t length, const char* type_name) {
    R first;
    if (decode_record(first, data, length) != 0) {
        return;
    }
    std::vector<char> encoded;
    encode_record(encoded, first);
    R second;
    if (decode_record(second, encoded.data(), static_cast<int32_t>(encoded.size())) != 0 ||
        !(first == second)) {
        std::fprintf(stderr, "%s: decode, encode, decode does not reproduce the record\n",
                     type_name);
        std::abort();
    }
}

void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// What encode_record gives for a message from the server that carries the inner record.
template <typename R>
std::vector<char> encoded_message(int32_t msg_type, const R& inner) {
    PipeProtocol message;
    message.sender = 2;
    message.msg_type = msg_type;
    encode_record(message.body, inner);
    std::vector<char> out;
    encode_record(out, message);
    return out;
}

// Where the one-pass readers accept the bytes, decode_record must give the same, and writing
// the result in one pass must give what encode_record gives.
void check_one_pass(const char* data, int32_t length) {
    const size_t size = static_cast<size_t>(length);
    message_codec::message_view view;
    if (message_codec::read_message(data, size, &view)) {
        PipeProtocol record;
        if (decode_record(record, data, length) != 0 || record.sender != view.sender ||
            record.msg_type != view.msg_type ||
            record.client_id != std::string(view.client_id, view.client_id_size) ||
            record.body != std::vector<char>(view.body, view.body + view.body_size)) {
            fail("read_message disagrees with decode_record");
        }
    }
    const char* text = nullptr;
    size_t text_size = 0;
    if (message_codec::read_text(data, size, &text, &text_size)) {
        StringData record;
        if (decode_record(record, data, length) != 0 ||
            record.data != std::string(text, text_size)) {
            fail("read_text disagrees with decode_record");
        }
        byte_buffer fast;
        if (!message_codec::write_text(fast, 2, "", text, text_size) ||
            std::vector<char>(fast.begin(), fast.end()) != encoded_message(msg_string, record)) {
            fail("write_text disagrees with encode_record");
        }
    }
    int32_t number = 0;
    const char* bytes = nullptr;
    size_t bytes_size = 0;
    if (message_codec::read_bytes(data, size, &number, &bytes, &bytes_size)) {
        ByteStreamData record;
        if (decode_record(record, data, length) != 0 || record.length != number ||
            record.data != std::vector<char>(bytes, bytes + bytes_size)) {
            fail("read_bytes disagrees with decode_record");
        }
        byte_buffer fast;
        if (!message_codec::write_bytes(fast, 2, "", number, bytes, bytes_size) ||
            std::vector<char>(fast.begin(), fast.end()) !=
                encoded_message(msg_bytestream, record)) {
            fail("write_bytes disagrees with encode_record");
        }
    }
    if (message_codec::read_state(data, size, &number)) {
        StateNotice record;
        if (decode_record(record, data, length) != 0 || record.state != number) {
            fail("read_state disagrees with decode_record");
        }
        byte_buffer fast;
        if (!message_codec::write_state(fast, 2, "", number) ||
            std::vector<char>(fast.begin(), fast.end()) !=
                encoded_message(msg_clientstate, record)) {
            fail("write_state disagrees with encode_record");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT32_MAX) {
        return 0;
    }
    const char* bytes = reinterpret_cast<const char*>(data);
    const int32_t length = static_cast<int32_t>(size);
    check_round_trip<PipeProtocol>(bytes, length, PipeProtocol::type_name);
    check_round_trip<StringData>(bytes, length, StringData::type_name);
    check_round_trip<ByteStreamData>(bytes, length, ByteStreamData::type_name);
    check_round_trip<StateNotice>(bytes, length, StateNotice::type_name);
    check_one_pass(bytes, length);
    return 0;
}
