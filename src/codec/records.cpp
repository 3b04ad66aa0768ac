// The protocol records' fields in the tagged encoding, and encode_record / decode_record, which
// wrap them in packets and keep every codec exception inside.
#include "codec/records.h"

#include <utility>

#include "codec/uni_packet.h"

namespace {

// The attribute names of every record packet: the return code and the record itself.
const char* const return_code_name = "";
const char* const record_name = "tRsp";

template <typename R>
void encode_any(std::vector<char>& out, const R& record) {
    try {
        taf::UniPacket packet;
        packet.ServantName = "1";
        packet.FuncName = "1";
        packet.RequestId = 1;
        packet.put(return_code_name, int32_t{0});
        packet.put(record_name, record);
        std::vector<char> encoded;
        packet.encode(encoded);
        out = std::move(encoded);
    } catch (...) {
        // out keeps what it held; callers see an empty payload.
    }
}

template <typename R>
int32_t decode_any(R& record, const char* data, int32_t length) {
    if (length < 0 || (data == nullptr && length > 0)) {
        return -1;
    }
    try {
        taf::UniPacket packet;
        packet.decode(data, static_cast<size_t>(length));
        int32_t return_code = 0;
        packet.get(return_code_name, return_code);
        packet.get(record_name, record);
        return return_code;
    } catch (...) {
        return -1;
    }
}

}  // namespace

void PipeProtocol::write_to(taf::JceWriter& writer) const {
    writer.write(sender, 0);
    writer.write(msg_type, 1);
    writer.write(client_id, 2);
    writer.write(body, 3);
}

void PipeProtocol::read_from(taf::JceReader& reader) {
    sender = 0;
    msg_type = 0;
    client_id.clear();
    reader.read(sender, 0, false);
    reader.read(msg_type, 1, false);
    reader.read(client_id, 2, false);
    reader.read(body, 3, false);
}

void StringData::write_to(taf::JceWriter& writer) const {
    writer.write(data, 0);
}

void StringData::read_from(taf::JceReader& reader) {
    data.clear();
    reader.read(data, 0, false);
}

void ByteStreamData::write_to(taf::JceWriter& writer) const {
    writer.write(length, 0);
    writer.write(data, 1);
}

void ByteStreamData::read_from(taf::JceReader& reader) {
    length = 0;
    data.clear();
    reader.read(length, 0, false);
    reader.read(data, 1, false);
}

void StateNotice::write_to(taf::JceWriter& writer) const {
    writer.write(state, 0);
}

void StateNotice::read_from(taf::JceReader& reader) {
    reader.read(state, 0, false);
}

bool operator==(const PipeProtocol& a, const PipeProtocol& b) {
    return a.sender == b.sender && a.msg_type == b.msg_type && a.client_id == b.client_id &&
           a.body == b.body;
}

bool operator==(const StringData& a, const StringData& b) {
    return a.data == b.data;
}

bool operator==(const ByteStreamData& a, const ByteStreamData& b) {
    return a.length == b.length && a.data == b.data;
}

bool operator==(const StateNotice& a, const StateNotice& b) {
    return a.state == b.state;
}

void encode_record(std::vector<char>& out, const PipeProtocol& record) {
    encode_any(out, record);
}
void encode_record(std::vector<char>& out, const StringData& record) {
    encode_any(out, record);
}
void encode_record(std::vector<char>& out, const ByteStreamData& record) {
    encode_any(out, record);
}
void encode_record(std::vector<char>& out, const StateNotice& record) {
    encode_any(out, record);
}

int32_t decode_record(PipeProtocol& record, const char* data, int32_t length) {
    return decode_any(record, data, length);
}
int32_t decode_record(StringData& record, const char* data, int32_t length) {
    return decode_any(record, data, length);
}
int32_t decode_record(ByteStreamData& record, const char* data, int32_t length) {
    return decode_any(record, data, length);
}
int32_t decode_record(StateNotice& record, const char* data, int32_t length) {
    return decode_any(record, data, length);
}
