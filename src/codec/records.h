// The protocol records that cross a pipe, and the only two entry points into the encoding
// that the rest of the library calls: encode_record and decode_record.
//
// Every message is one PipeProtocol record, encoded as a packet (codec/uni_packet.h), and
// those packet bytes are the payload of one pipe frame. Its body field carries the complete
// output of encode_record for the inner record named by msg_type: StringData for a text,
// ByteStreamData for bytes, StateNotice for a connection-state change; a heart beat has an
// empty body.
//
// The packet of every record has Version 2, ServantName "1", FuncName "1", RequestId 1, and
// an attribute map with exactly two names, in this order:
//
//   ""      -> "int32"      -> 0C                      the return code, int32 0
//   "tRsp"  -> record type  -> 0A <fields> 0B          the record as a struct at tag 0
//
// Record fields are written in ascending tag order, every field whatever its value:
//
//   PipeProtocol    0 sender int32, 1 msg_type int32, 2 client_id string, 3 body bytes
//   StringData      0 data string
//   ByteStreamData  0 length int32, 1 data bytes
//   StateNotice     0 state int32
//
// A text "hi" from client "A1" is a 175-byte payload whose body is an 82-byte packet.
//
// Both operations use only objects of their own, so any thread may call them at any time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/jce_reader.h"
#include "codec/jce_writer.h"

// Message kinds: the msg_type of a PipeProtocol. Receivers ignore any other value.
constexpr int32_t msg_bytestream = 0;   // body holds ByteStreamData
constexpr int32_t msg_string = 1;       // body holds StringData
constexpr int32_t msg_clientstate = 2;  // body holds StateNotice
constexpr int32_t msg_heartbeat = 3;    // body is empty

// States: the state of a StateNotice.
constexpr int32_t state_connect = 1;      // client to server, right after its pipe connects
constexpr int32_t state_client_exit = 2;  // client to server, on disconnect
constexpr int32_t state_server_exit = 3;  // server to client, before the server drops it

// Senders: the sender of a PipeProtocol; no receiver examines it.
constexpr int32_t sender_client = 1;
constexpr int32_t sender_server = 2;

// Each record writes its fields with write_to and reads them with read_from, the calls
// taf::JceWriter and taf::JceReader make between the struct's heads. read_from first resets
// the fields named below, then reads every field as optional, so a field missing from the
// input keeps the value the record held.

struct PipeProtocol {
    static constexpr const char* type_name = "TqIPC.PipeProtocol";
    int32_t sender = 0;
    int32_t msg_type = 0;
    std::string client_id;  // the sending client's id; empty from the server
    std::vector<char> body;

    void write_to(taf::JceWriter& writer) const;
    // Resets sender, msg_type and client_id; body keeps its value when absent.
    void read_from(taf::JceReader& reader);
};

struct StringData {
    static constexpr const char* type_name = "TqIPC.StringData";
    std::string data;

    void write_to(taf::JceWriter& writer) const;
    void read_from(taf::JceReader& reader);  // resets data
};

struct ByteStreamData {
    static constexpr const char* type_name = "TqIPC.ByteStreamData";
    // The byte count the sender gave; senders set it to data.size(), but a peer may send
    // anything, so a receiver must not trust it to describe data.
    int32_t length = 0;
    std::vector<char> data;

    void write_to(taf::JceWriter& writer) const;
    void read_from(taf::JceReader& reader);  // resets length and data
};

struct StateNotice {
    static constexpr const char* type_name = "TqIPC.StateNotice";
    int32_t state = 0;

    void write_to(taf::JceWriter& writer) const;
    void read_from(taf::JceReader& reader);  // resets nothing
};

bool operator==(const PipeProtocol& a, const PipeProtocol& b);
bool operator==(const StringData& a, const StringData& b);
bool operator==(const ByteStreamData& a, const ByteStreamData& b);
bool operator==(const StateNotice& a, const StateNotice& b);

// Replaces the content of out with the complete packet holding record. Never raises: on any
// failure (a string over 100 MiB, memory exhaustion) out keeps what it held, so a caller
// that passes an empty vector gets an empty one.
void encode_record(std::vector<char>& out, const PipeProtocol& record);
void encode_record(std::vector<char>& out, const StringData& record);
void encode_record(std::vector<char>& out, const ByteStreamData& record);
void encode_record(std::vector<char>& out, const StateNotice& record);

// Decodes the packet of length bytes at data into record and returns the packet's return
// code: 0 for everything encode_record produces, and any non-zero value is a failure. Never
// raises: malformed or hostile input of any kind, or a negative length, returns -1, and
// record may then be partly filled. A stored record of another type is read as this one
// when its fields allow it (a StateNotice reads as a ByteStreamData with length = state).
int32_t decode_record(PipeProtocol& record, const char* data, int32_t length);
int32_t decode_record(StringData& record, const char* data, int32_t length);
int32_t decode_record(ByteStreamData& record, const char* data, int32_t length);
int32_t decode_record(StateNotice& record, const char* data, int32_t length);
