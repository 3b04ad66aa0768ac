// Whole messages in one pass: the payload of a PipeProtocol record with its inner record,
// written and read without the packets' intermediate containers.
//
// The writers produce, byte for byte, what encode_record gives for the inner record followed
// by encode_record for the PipeProtocol that carries it as its body (records.h shows the
// layout). The readers accept exactly that layout and give what decode_record would; for
// anything else (another valid but differently written packet, a stored type name that only
// the type-name fallback accepts, malformed bytes) they answer false, and the caller decodes
// with decode_record, which accepts every valid form. So the two paths never disagree; they
// only differ in cost.
//
// Threads: no shared state; any thread. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/records.h"

namespace message_codec {

// A message's body with nothing copied: text, bytes or state, by msg_type.
struct message_view {
    int32_t sender = 0;
    int32_t msg_type = 0;
    const char* client_id = nullptr;
    size_t client_id_size = 0;
    const char* body = nullptr;
    size_t body_size = 0;
};

// Each writer appends the message's payload to out (whatever out holds already stays in
// front, for instance room for a frame header), exactly as encode_record of the inner record
// and then of the PipeProtocol give it, failures included: a text that cannot be encoded (above
// 100 MiB) leaves the body empty. False, with nothing appended, where encode_record of the
// PipeProtocol fails too (a client id above 100 MiB) or for more than 2^31 - 1 bytes.
bool write_text(byte_buffer& out, int32_t sender, const std::string& client_id, const char* text,
                size_t size);
bool write_bytes(byte_buffer& out, int32_t sender, const std::string& client_id, int32_t length,
                 const char* data, size_t size);
bool write_state(byte_buffer& out, int32_t sender, const std::string& client_id, int32_t state);
// As write_text and write_bytes, but the data's size bytes are left unwritten: *data_at is where
// in out they belong, for a sender that writes the data from where it lies. False, with nothing
// appended, where those fail, and for a text that cannot be encoded (above 100 MiB: its message
// carries no data).
bool write_text_around(byte_buffer& out, int32_t sender, const std::string& client_id, size_t size,
                       size_t* data_at);
bool write_bytes_around(byte_buffer& out, int32_t sender, const std::string& client_id,
                        int32_t length, size_t size, size_t* data_at);
bool write_heart_beat(byte_buffer& out, int32_t sender, const std::string& client_id);

// The writers of texts and byte streams for a run of messages that differ only in their data:
// the bytes around the data are encoded once and kept with the sender, kind, client id and
// sizes they were encoded for, and a message that matches them is written as those bytes with
// its data between. Writes exactly what write_text and write_bytes write. One user at a time.
class message_writer {
  public:
    bool write_text(byte_buffer& out, int32_t sender, const std::string& client_id,
                    const char* text, size_t size);
    bool write_bytes(byte_buffer& out, int32_t sender, const std::string& client_id, int32_t length,
                     const char* data, size_t size);

  private:
    bool matches(int32_t sender, int32_t msg_type, const std::string& client_id, int32_t length,
                 size_t size) const;
    // Appends the kept head, the data and the tail.
    void write_kept(byte_buffer& out, const char* data, size_t size) const;
    // Keeps the head of the message just written at start of out.
    void keep(const byte_buffer& out, size_t start, int32_t sender, int32_t msg_type,
              const std::string& client_id, int32_t length, size_t size);

    bool kept_ = false;
    int32_t sender_ = 0;
    int32_t msg_type_ = 0;
    int32_t length_ = 0;
    size_t size_ = 0;
    std::string client_id_;
    byte_buffer head_;  // the message's bytes in front of its data
};

// Reads messages of exactly the writers' layout in one pass, both records, and keeps the bytes
// in front of the data of the last one with what they said: a message alike but for its data is
// then read by comparing those bytes. One user at a time.
class message_reader {
  public:
    struct message {
        message_view view;           // the outer record
        const char* data = nullptr;  // a text's or a byte stream's bytes
        size_t data_size = 0;
        int32_t number = 0;  // a byte stream's declared length, or a state
    };
    // False when the payload is not of exactly that layout, or is no text, byte stream, state
    // or heart beat: decode_message and the body's decoders tell then what it is.
    bool read(const char* payload, size_t size, message* out);

  private:
    bool read_anew(const char* payload, size_t size, message* out);

    bool kept_ = false;
    bool has_data_ = false;  // the kept message carries data between head_ and the tail
    size_t size_ = 0;
    byte_buffer head_;  // the payload in front of the data (all of it without data)
    int32_t sender_ = 0;
    int32_t msg_type_ = 0;
    int32_t number_ = 0;
    size_t client_id_at_ = 0;
    size_t client_id_size_ = 0;
    size_t body_at_ = 0;
    size_t body_size_ = 0;
};

// The bytes in front of the data that a message_writer or message_reader keeps at most (a client
// id longer than a few KiB is encoded each time).
constexpr size_t max_kept_head_bytes = 4096;

// Reads a payload written in exactly the writers' layout. False otherwise.
bool read_message(const char* data, size_t size, message_view* out);

// Read a body (the inner packet) written in exactly the writers' layout. False otherwise.
bool read_text(const char* body, size_t size, const char** text, size_t* text_size);
bool read_bytes(const char* body, size_t size, int32_t* length, const char** data,
                size_t* data_size);
bool read_state(const char* body, size_t size, int32_t* state);

// ---- For the endpoints: the fast path where it applies, decode_record otherwise, with
// exactly its results.

// Decode as decode_record does (true exactly where it returns 0). The views point into data,
// or into storage when the slow path was taken; they live as long as both.
struct decoded_message {
    message_view view;
    PipeProtocol storage;
};
bool decode_message(const char* data, size_t size, decoded_message* out);
// The text is copied into *text, where it is followed by a NUL.
bool decode_text(const char* body, size_t size, std::string* text);
// A byte stream as it is reported to a host: false also for a negative length; a length
// beyond the data is cut to the data's size.
bool decode_bytes(const char* body, size_t size, std::vector<char>* storage, const char** data,
                  int32_t* length);
bool decode_state(const char* body, size_t size, int32_t* state);

}  // namespace message_codec
