// One-pass writers and readers of whole messages, byte for byte what encode_record and
// decode_record give, and the endpoints' decoding with decode_record as the fallback.
#include "codec/message_codec.h"

#include <cstring>
#include <string>

#include "codec/jce_put.h"
#include "codec/records.h"

namespace message_codec {

namespace {

// The packet around every record (records.h): its length, header fields 1 to 6, the
// attribute map as the byte field 7, and header fields 8 to 10.
constexpr unsigned char packet_prefix[] = {0x10, 0x02, 0x2C, 0x3C, 0x40, 0x01,
                                           0x56, 0x01, 0x31, 0x66, 0x01, 0x31};
constexpr unsigned char packet_suffix[] = {0x8C, 0x98, 0x0C, 0xA8, 0x0C};
// The attribute map up to the record's type name: two names; "" holds int32 0; "tRsp" holds
// one entry.
constexpr unsigned char map_prefix[] = {0x08, 0x00, 0x02, 0x06, 0x00, 0x18, 0x00, 0x01, 0x06, 0x05,
                                        'i',  'n',  't',  '3',  '2',  0x1D, 0x00, 0x00, 0x01, 0x0C,
                                        0x06, 0x04, 't',  'R',  's',  'p',  0x18, 0x00, 0x01};
constexpr uint8_t struct_begin = 0x0A;
constexpr uint8_t struct_end = 0x0B;

// A record's type name with its length, counted once.
struct type_name {
    const char* text;
    size_t size;
};
constexpr type_name name_of(const char* text) {
    return {text, std::char_traits<char>::length(text)};
}
constexpr type_name pipe_protocol_name = name_of(PipeProtocol::type_name);
constexpr type_name string_data_name = name_of(StringData::type_name);
constexpr type_name byte_stream_name = name_of(ByteStreamData::type_name);
constexpr type_name state_notice_name = name_of(StateNotice::type_name);

// ---- sizes (every tag of a message is below 15)

namespace put = taf::put;
using put::bytes_size;
using put::int_size;
using put::string_size;

size_t map_size(const type_name& name, size_t struct_size) {
    return sizeof(map_prefix) + string_size(name.size) + bytes_size(struct_size);
}

size_t packet_size_of_map(size_t map_bytes) {
    return 4 + sizeof(packet_prefix) + bytes_size(map_bytes) + sizeof(packet_suffix);
}

size_t packet_size(const type_name& name, size_t struct_size) {
    return packet_size_of_map(map_size(name, struct_size));
}

// ---- writing (shortest integer forms, as the streams write them)

char* put_string(char* p, uint8_t tag, const char* text, size_t length) {
    return put::raw(put::string_head(p, length, tag), text, length);
}

// Everything of a packet in front of its record's struct.
char* put_packet_head(char* p, const type_name& name, size_t struct_size) {
    const size_t map_bytes = map_size(name, struct_size);
    p = put::big_endian(p, static_cast<uint32_t>(packet_size_of_map(map_bytes)), 4);
    p = put::raw(p, packet_prefix, sizeof(packet_prefix));
    p = put::bytes_head(p, map_bytes, 7);
    p = put::raw(p, map_prefix, sizeof(map_prefix));
    p = put_string(p, 0, name.text, name.size);
    return put::bytes_head(p, struct_size, 1);
}

char* put_packet_tail(char* p) {
    return put::raw(p, packet_suffix, sizeof(packet_suffix));
}

// The inner record of a message: its type name, the size of its struct and how to write it.
struct inner_record {
    const type_name* name = nullptr;  // null: an empty body (a heart beat)
    size_t struct_size = 0;
    int32_t number = 0;           // StateNotice state, ByteStreamData length
    const char* bytes = nullptr;  // StringData text, ByteStreamData data
    size_t bytes_size_ = 0;
    char** hole = nullptr;  // when set, the data is left unwritten and *hole is where it goes
    char* (*write)(char* p, const inner_record& record) = nullptr;
};

char* put_data(char* p, const inner_record& r) {
    if (r.hole != nullptr) {
        *r.hole = p;
        return p + r.bytes_size_;
    }
    return put::raw(p, r.bytes, r.bytes_size_);
}

char* write_text_struct(char* p, const inner_record& r) {
    *p++ = static_cast<char>(struct_begin);
    p = put_data(put::string_head(p, r.bytes_size_, 0), r);
    *p++ = static_cast<char>(struct_end);
    return p;
}

char* write_bytes_struct(char* p, const inner_record& r) {
    *p++ = static_cast<char>(struct_begin);
    p = put::int32(p, r.number, 0);
    p = put::bytes_head(p, r.bytes_size_, 1);
    p = put_data(p, r);
    *p++ = static_cast<char>(struct_end);
    return p;
}

char* write_state_struct(char* p, const inner_record& r) {
    *p++ = static_cast<char>(struct_begin);
    p = put::int32(p, r.number, 0);
    *p++ = static_cast<char>(struct_end);
    return p;
}

bool write_message(byte_buffer& out, int32_t sender, int32_t msg_type, const std::string& client_id,
                   const inner_record& inner) {
    if (client_id.size() > taf::max_string_bytes) {
        return false;
    }
    const size_t body_size =
        inner.name != nullptr ? packet_size(*inner.name, inner.struct_size) : 0;
    const size_t outer_struct = 1 + int_size(sender) + int_size(msg_type) +
                                string_size(client_id.size()) + bytes_size(body_size) + 1;
    const size_t total = packet_size(pipe_protocol_name, outer_struct);
    const size_t start = out.size();
    out.resize(start + total);
    char* p = out.data() + start;
    p = put_packet_head(p, pipe_protocol_name, outer_struct);
    *p++ = static_cast<char>(struct_begin);
    p = put::int32(p, sender, 0);
    p = put::int32(p, msg_type, 1);
    p = put_string(p, 2, client_id.data(), client_id.size());
    p = put::bytes_head(p, body_size, 3);
    if (inner.name != nullptr) {
        p = put_packet_head(p, *inner.name, inner.struct_size);
        p = inner.write(p, inner);
        p = put_packet_tail(p);
    }
    *p++ = static_cast<char>(struct_end);
    put_packet_tail(p);
    return true;
}

// ---- reading (exactly the layout above; any integer form, as the streams accept)

class cursor {
  public:
    cursor(const char* data, size_t size)
        : p_(reinterpret_cast<const unsigned char*>(data)), end_(p_ + size) {}

    size_t left() const { return static_cast<size_t>(end_ - p_); }
    const char* here() const { return reinterpret_cast<const char*>(p_); }
    bool skip(size_t n) {
        if (left() < n)
            return false;
        p_ += n;
        return true;
    }
    bool expect(const unsigned char* bytes, size_t n) {
        if (left() < n || std::memcmp(p_, bytes, n) != 0)
            return false;
        p_ += n;
        return true;
    }
    bool expect_byte(uint8_t b) {
        if (p_ == end_ || *p_ != b)
            return false;
        ++p_;
        return true;
    }
    bool read_int(uint8_t tag, int32_t* value) {
        if (left() < 1 || (*p_ >> 4) != tag)
            return false;
        const uint8_t type = *p_ & 0x0F;
        ++p_;
        switch (type) {
            case taf::ZeroTag:
                *value = 0;
                return true;
            case taf::Char:
                if (left() < 1)
                    return false;
                *value = static_cast<int8_t>(*p_++);
                return true;
            case taf::Short:
                if (left() < 2)
                    return false;
                *value = static_cast<int16_t>((p_[0] << 8) | p_[1]);
                p_ += 2;
                return true;
            case taf::Int32:
                if (left() < 4)
                    return false;
                *value = static_cast<int32_t>((static_cast<uint32_t>(p_[0]) << 24) |
                                              (static_cast<uint32_t>(p_[1]) << 16) |
                                              (static_cast<uint32_t>(p_[2]) << 8) | p_[3]);
                p_ += 4;
                return true;
            default:
                return false;
        }
    }
    bool read_string(uint8_t tag, const char** text, size_t* length) {
        if (left() < 1 || (*p_ >> 4) != tag)
            return false;
        const uint8_t type = *p_ & 0x0F;
        ++p_;
        size_t n = 0;
        if (type == taf::String1) {
            if (left() < 1)
                return false;
            n = *p_++;
        } else if (type == taf::String4) {
            if (left() < 4)
                return false;
            n = (static_cast<size_t>(p_[0]) << 24) | (static_cast<size_t>(p_[1]) << 16) |
                (static_cast<size_t>(p_[2]) << 8) | p_[3];
            p_ += 4;
            if (n > taf::max_string_bytes)
                return false;
        } else {
            return false;
        }
        *text = here();
        *length = n;
        return skip(n);
    }
    // A byte field written as SimpleList: its head, element head 00, count, bytes.
    bool read_bytes(uint8_t tag, const char** bytes, size_t* count) {
        int32_t n = 0;
        if (!expect_byte(static_cast<uint8_t>((tag << 4) | taf::SimpleList)) ||
            !expect_byte(0x00) || !read_int(0, &n) || n < 0) {
            return false;
        }
        *bytes = here();
        *count = static_cast<size_t>(n);
        return skip(*count);
    }

  private:
    const unsigned char* p_;
    const unsigned char* end_;
};

// Finds the record's struct in a packet of exactly the writers' layout.
bool read_packet(const char* data, size_t size, const type_name& type, cursor* record) {
    cursor packet(data, size);
    const char* map = nullptr;
    size_t map_bytes = 0;
    if (!packet.skip(4) || !packet.expect(packet_prefix, sizeof(packet_prefix)) ||
        !packet.read_bytes(7, &map, &map_bytes) ||
        !packet.expect(packet_suffix, sizeof(packet_suffix)) || packet.left() != 0) {
        return false;
    }
    cursor attributes(map, map_bytes);
    const char* name = nullptr;
    size_t name_size = 0;
    const char* fields = nullptr;
    size_t fields_size = 0;
    if (!attributes.expect(map_prefix, sizeof(map_prefix)) ||
        !attributes.read_string(0, &name, &name_size) || name_size != type.size ||
        std::memcmp(name, type.text, name_size) != 0 ||
        !attributes.read_bytes(1, &fields, &fields_size) || attributes.left() != 0) {
        return false;
    }
    *record = cursor(fields, fields_size);
    return record->expect_byte(struct_begin);
}

bool at_struct_end(cursor& record) {
    return record.expect_byte(struct_end) && record.left() == 0;
}

}  // namespace

bool write_text(byte_buffer& out, int32_t sender, const std::string& client_id, const char* text,
                size_t size) {
    if (size > taf::max_string_bytes) {
        // The text cannot be encoded: the message goes with an empty body, as encode_record
        // leaves it.
        return write_message(out, sender, msg_string, client_id, inner_record{});
    }
    inner_record inner;
    inner.name = &string_data_name;
    inner.struct_size = 2 + string_size(size);
    inner.bytes = text;
    inner.bytes_size_ = size;
    inner.write = &write_text_struct;
    return write_message(out, sender, msg_string, client_id, inner);
}

bool write_bytes(byte_buffer& out, int32_t sender, const std::string& client_id, int32_t length,
                 const char* data, size_t size) {
    if (size > 0x7FFFFFFF)
        return false;
    inner_record inner;
    inner.name = &byte_stream_name;
    inner.struct_size = 2 + int_size(length) + bytes_size(size);
    inner.number = length;
    inner.bytes = data;
    inner.bytes_size_ = size;
    inner.write = &write_bytes_struct;
    return write_message(out, sender, msg_bytestream, client_id, inner);
}

namespace {

// Writes the message with its data's room left unwritten, and says where that room is.
bool write_around(byte_buffer& out, int32_t sender, int32_t msg_type, const std::string& client_id,
                  inner_record& inner, size_t* data_at) {
    char* hole = nullptr;
    inner.hole = &hole;
    if (!write_message(out, sender, msg_type, client_id, inner)) {
        return false;
    }
    *data_at = static_cast<size_t>(hole - out.data());
    return true;
}

}  // namespace

bool write_text_around(byte_buffer& out, int32_t sender, const std::string& client_id, size_t size,
                       size_t* data_at) {
    if (size > taf::max_string_bytes) {
        return false;
    }
    inner_record inner;
    inner.name = &string_data_name;
    inner.struct_size = 2 + string_size(size);
    inner.bytes_size_ = size;
    inner.write = &write_text_struct;
    return write_around(out, sender, msg_string, client_id, inner, data_at);
}

bool write_bytes_around(byte_buffer& out, int32_t sender, const std::string& client_id,
                        int32_t length, size_t size, size_t* data_at) {
    if (size > 0x7FFFFFFF) {
        return false;
    }
    inner_record inner;
    inner.name = &byte_stream_name;
    inner.struct_size = 2 + int_size(length) + bytes_size(size);
    inner.number = length;
    inner.bytes_size_ = size;
    inner.write = &write_bytes_struct;
    return write_around(out, sender, msg_bytestream, client_id, inner, data_at);
}

bool write_state(byte_buffer& out, int32_t sender, const std::string& client_id, int32_t state) {
    inner_record inner;
    inner.name = &state_notice_name;
    inner.struct_size = 2 + int_size(state);
    inner.number = state;
    inner.write = &write_state_struct;
    return write_message(out, sender, msg_clientstate, client_id, inner);
}

bool write_heart_beat(byte_buffer& out, int32_t sender, const std::string& client_id) {
    return write_message(out, sender, msg_heartbeat, client_id, inner_record{});
}

namespace {
// What follows the data of a text or a byte stream: the inner struct's end and packet tail,
// then the outer struct's end and packet tail.
constexpr unsigned char data_tail[] = {struct_end, 0x8C, 0x98, 0x0C, 0xA8, 0x0C,
                                       struct_end, 0x8C, 0x98, 0x0C, 0xA8, 0x0C};
}  // namespace

bool message_writer::matches(int32_t sender, int32_t msg_type, const std::string& client_id,
                             int32_t length, size_t size) const {
    return kept_ && sender == sender_ && msg_type == msg_type_ && length == length_ &&
           size == size_ && client_id == client_id_;
}

void message_writer::write_kept(byte_buffer& out, const char* data, size_t size) const {
    const size_t start = out.size();
    out.resize(start + head_.size() + size + sizeof(data_tail));
    char* p = put::raw(out.data() + start, head_.data(), head_.size());
    p = put::raw(p, data, size);
    put::raw(p, data_tail, sizeof(data_tail));
}

void message_writer::keep(const byte_buffer& out, size_t start, int32_t sender, int32_t msg_type,
                          const std::string& client_id, int32_t length, size_t size) {
    const size_t written = out.size() - start;
    kept_ =
        written >= size + sizeof(data_tail) &&
        written - size - sizeof(data_tail) <= max_kept_head_bytes &&
        std::memcmp(out.data() + out.size() - sizeof(data_tail), data_tail, sizeof(data_tail)) == 0;
    if (!kept_) {
        return;  // no data in place (a text too long to encode): nothing to keep
    }
    head_.resize(0);
    head_.append(out.data() + start, written - size - sizeof(data_tail));
    sender_ = sender;
    msg_type_ = msg_type;
    length_ = length;
    size_ = size;
    client_id_ = client_id;
}

bool message_writer::write_text(byte_buffer& out, int32_t sender, const std::string& client_id,
                                const char* text, size_t size) {
    if (matches(sender, msg_string, client_id, 0, size)) {
        write_kept(out, text, size);
        return true;
    }
    const size_t start = out.size();
    if (!message_codec::write_text(out, sender, client_id, text, size)) {
        kept_ = false;
        return false;
    }
    keep(out, start, sender, msg_string, client_id, 0, size);
    return true;
}

bool message_writer::write_bytes(byte_buffer& out, int32_t sender, const std::string& client_id,
                                 int32_t length, const char* data, size_t size) {
    if (matches(sender, msg_bytestream, client_id, length, size)) {
        write_kept(out, data, size);
        return true;
    }
    const size_t start = out.size();
    if (!message_codec::write_bytes(out, sender, client_id, length, data, size)) {
        kept_ = false;
        return false;
    }
    keep(out, start, sender, msg_bytestream, client_id, length, size);
    return true;
}

bool message_reader::read(const char* payload, size_t size, message* out) {
    if (!kept_ || size != size_ || std::memcmp(payload, head_.data(), head_.size()) != 0 ||
        (has_data_ &&
         std::memcmp(payload + size - sizeof(data_tail), data_tail, sizeof(data_tail)) != 0)) {
        return read_anew(payload, size, out);
    }
    // The same bytes as the kept message's, but for the data: the same reading.
    out->view.sender = sender_;
    out->view.msg_type = msg_type_;
    out->view.client_id = payload + client_id_at_;
    out->view.client_id_size = client_id_size_;
    out->view.body = payload + body_at_;
    out->view.body_size = body_size_;
    out->number = number_;
    out->data = has_data_ ? payload + head_.size() : nullptr;
    out->data_size = has_data_ ? size - head_.size() - sizeof(data_tail) : 0;
    return true;
}

bool message_reader::read_anew(const char* payload, size_t size, message* out) {
    kept_ = false;
    *out = message{};
    message_view& view = out->view;
    if (!read_message(payload, size, &view)) {
        return false;
    }
    bool known = false;
    switch (view.msg_type) {
        case msg_string:
            known = read_text(view.body, view.body_size, &out->data, &out->data_size);
            break;
        case msg_bytestream:
            known =
                read_bytes(view.body, view.body_size, &out->number, &out->data, &out->data_size);
            break;
        case msg_clientstate:
            known = read_state(view.body, view.body_size, &out->number);
            break;
        case msg_heartbeat:
            known = view.body_size == 0;
            break;
        default:
            break;
    }
    if (!known) {
        return false;
    }
    has_data_ = out->data != nullptr;
    const size_t head = has_data_ ? static_cast<size_t>(out->data - payload) : size;
    // Kept only where the data is followed by exactly the tail, as the writers' layout has it.
    if (head > max_kept_head_bytes ||
        (has_data_ && head + out->data_size + sizeof(data_tail) != size)) {
        return true;
    }
    head_.resize(0);
    head_.append(payload, head);
    size_ = size;
    sender_ = view.sender;
    msg_type_ = view.msg_type;
    number_ = out->number;
    client_id_at_ = static_cast<size_t>(view.client_id - payload);
    client_id_size_ = view.client_id_size;
    body_at_ = static_cast<size_t>(view.body - payload);
    body_size_ = view.body_size;
    kept_ = true;
    return true;
}

bool read_message(const char* data, size_t size, message_view* out) {
    cursor record(nullptr, 0);
    return read_packet(data, size, pipe_protocol_name, &record) &&
           record.read_int(0, &out->sender) && record.read_int(1, &out->msg_type) &&
           record.read_string(2, &out->client_id, &out->client_id_size) &&
           record.read_bytes(3, &out->body, &out->body_size) && at_struct_end(record);
}

bool read_text(const char* body, size_t size, const char** text, size_t* text_size) {
    cursor record(nullptr, 0);
    return read_packet(body, size, string_data_name, &record) &&
           record.read_string(0, text, text_size) && at_struct_end(record);
}

bool read_bytes(const char* body, size_t size, int32_t* length, const char** data,
                size_t* data_size) {
    cursor record(nullptr, 0);
    return read_packet(body, size, byte_stream_name, &record) && record.read_int(0, length) &&
           record.read_bytes(1, data, data_size) && at_struct_end(record);
}

bool read_state(const char* body, size_t size, int32_t* state) {
    cursor record(nullptr, 0);
    return read_packet(body, size, state_notice_name, &record) && record.read_int(0, state) &&
           at_struct_end(record);
}

namespace {

int32_t size_of(size_t size) {
    return static_cast<int32_t>(size);
}

}  // namespace

bool decode_message(const char* data, size_t size, decoded_message* out) {
    if (read_message(data, size, &out->view)) {
        return true;
    }
    if (decode_record(out->storage, data, size_of(size)) != 0) {
        return false;
    }
    const PipeProtocol& record = out->storage;
    out->view.sender = record.sender;
    out->view.msg_type = record.msg_type;
    out->view.client_id = record.client_id.data();
    out->view.client_id_size = record.client_id.size();
    out->view.body = record.body.data();
    out->view.body_size = record.body.size();
    return true;
}

bool decode_text(const char* body, size_t size, std::string* text) {
    const char* view = nullptr;
    size_t view_size = 0;
    if (read_text(body, size, &view, &view_size)) {
        text->assign(view, view_size);
        return true;
    }
    StringData record;
    if (decode_record(record, body, size_of(size)) != 0) {
        return false;
    }
    *text = std::move(record.data);
    return true;
}

bool decode_bytes(const char* body, size_t size, std::vector<char>* storage, const char** data,
                  int32_t* length) {
    int32_t declared = 0;
    size_t available = 0;
    if (!read_bytes(body, size, &declared, data, &available)) {
        ByteStreamData record;
        if (decode_record(record, body, size_of(size)) != 0) {
            return false;
        }
        *storage = std::move(record.data);
        declared = record.length;
        *data = storage->data();
        available = storage->size();
    }
    // A negative length is no message; a length beyond the data is cut to the data.
    if (declared < 0) {
        return false;
    }
    *length =
        static_cast<size_t>(declared) < available ? declared : static_cast<int32_t>(available);
    return true;
}

bool decode_state(const char* body, size_t size, int32_t* state) {
    if (read_state(body, size, state)) {
        return true;
    }
    StateNotice record;
    if (decode_record(record, body, size_of(size)) != 0) {
        return false;
    }
    *state = record.state;
    return true;
}

}  // namespace message_codec
