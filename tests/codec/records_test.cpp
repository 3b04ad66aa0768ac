#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "allocation_counter.h"
#include "codec/records.h"
#include "codec/uni_packet.h"
#include "codec_test_util.h"

using codec_test::hex;
using codec_test::unhex;

namespace {

const char* const hi_from_a1 =
    "00 00 00 af 10 02 2c 3c 40 01 56 01 31 66 01 31 7d 00 01 00 95 08 00 02 06 00"
    "18 00 01 06 05 69 6e 74 33 32 1d 00 00 01 0c 06 04 74 52 73 70 18 00 01 06 12"
    "54 71 49 50 43 2e 50 69 70 65 50 72 6f 74 6f 63 6f 6c 1d 00 00 60 0a 00 01 10"
    "01 26 02 41 31 3d 00 00 52 00 00 00 52 10 02 2c 3c 40 01 56 01 31 66 01 31 7d"
    "00 00 39 08 00 02 06 00 18 00 01 06 05 69 6e 74 33 32 1d 00 00 01 0c 06 04 74"
    "52 73 70 18 00 01 06 10 54 71 49 50 43 2e 53 74 72 69 6e 67 44 61 74 61 1d 00"
    "00 06 0a 06 02 68 69 0b 8c 98 0c a8 0c 0b 8c 98 0c a8 0c";

const char* const heart_beat_from_a1 =
    "00 00 00 5b 10 02 2c 3c 40 01 56 01 31 66 01 31 7d 00 00 42 08 00 02 06 00 18"
    "00 01 06 05 69 6e 74 33 32 1d 00 00 01 0c 06 04 74 52 73 70 18 00 01 06 12 54"
    "71 49 50 43 2e 50 69 70 65 50 72 6f 74 6f 63 6f 6c 1d 00 00 0d 0a 00 01 10 03"
    "26 02 41 31 3d 00 0c 0b 8c 98 0c a8 0c";

template <typename R>
std::vector<char> encoded(const R& record) {
    std::vector<char> out;
    encode_record(out, record);
    return out;
}

template <typename R>
std::string struct_bytes(const R& record) {
    taf::JceWriter writer;
    writer.write(record, 0);
    return hex(writer);
}

template <typename R>
int32_t decode(R& record, const std::vector<char>& bytes) {
    return decode_record(record, bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace

// The worked examples: a text "hi" from client A1 in 175 bytes, its heart beat in 91. Decoding
// overwrites what the record held.
TEST(records, encode_a_text_and_a_heart_beat_as_the_worked_examples_and_decode_them_back) {
    const PipeProtocol hi{sender_client, msg_string, "A1", encoded(StringData{"hi"})};
    const PipeProtocol beat{sender_client, msg_heartbeat, "A1", {}};
    for (const auto& example : {std::make_pair(hi, hi_from_a1), {beat, heart_beat_from_a1}}) {
        const std::vector<char> payload = encoded(example.first);
        EXPECT_EQ(hex(unhex(example.second)), hex(payload));
        PipeProtocol back{7, 7, "old", {'x'}};
        ASSERT_EQ(0, decode(back, payload));
        EXPECT_EQ(example.first, back);
    }
    StringData text;
    ASSERT_EQ(0, decode(text, hi.body));
    EXPECT_EQ("hi", text.data);
}

TEST(records, write_empty_fields_in_their_short_forms) {
    EXPECT_EQ("0a 00 02 10 02 26 00 3d 00 0c 0b",
              struct_bytes(PipeProtocol{sender_server, msg_clientstate, "", {}}));
    EXPECT_EQ("0a 0c 1d 00 0c 0b", struct_bytes(ByteStreamData{}));
    EXPECT_EQ("0a 06 00 0b", struct_bytes(StringData{}));
    StringData empty{"was here"};
    ASSERT_EQ(0, decode(empty, encoded(StringData{})));
    EXPECT_EQ("", empty.data);
}

TEST(records, decode_returns_minus_one_for_anything_but_a_whole_packet) {
    const std::vector<char> payload = unhex(hi_from_a1);
    PipeProtocol record;
    for (int32_t length = 0; length < 4; ++length) {
        EXPECT_EQ(-1, decode_record(record, payload.data(), length));
    }
    EXPECT_EQ(-1, decode_record(record, payload.data(), -1));
    EXPECT_EQ(-1, decode_record(record, payload.data(), 100));
    StateNotice notice;
    EXPECT_EQ(-1, decode(notice, codec_test::record_payload("TqIPC.StateNotice", unhex("0c"))));
}

TEST(records, read_a_body_of_another_record_type_through_the_type_name_fallback) {
    ByteStreamData bytes{5, {'x'}};
    ASSERT_EQ(0, decode(bytes, encoded(StateNotice{state_client_exit})));
    EXPECT_EQ((ByteStreamData{state_client_exit, {}}), bytes);
    StateNotice notice;
    EXPECT_EQ(-1, decode(notice, encoded(StringData{"hi"})));
    PipeProtocol protocol;
    EXPECT_EQ(-1, decode(protocol, codec_test::record_payload("int32", unhex("0c"))));
}

TEST(records, decode_returns_a_non_zero_return_code_of_the_packet) {
    const std::vector<char> payload =
        codec_test::record_payload("TqIPC.StringData", unhex("0a 06 01 78 0b"), 7);
    StringData text;
    EXPECT_EQ(7, decode(text, payload));
    EXPECT_EQ("x", text.data);
}

TEST(records, decode_refuses_huge_declared_sizes_without_allocating_them) {
    const std::vector<char> payloads[] = {
        // A byte vector of 2,000,000,000 bytes as ByteStreamData::data.
        codec_test::record_payload("TqIPC.ByteStreamData",
                                   unhex("0a 00 01 1d 00 02 77 35 94 00 0b")),
        // A string of 100,000,000 bytes as StringData::data.
        codec_test::record_payload("TqIPC.StringData", unhex("0a 07 05 f5 e1 00 0b")),
        // An attribute map of 1,000,000,000 entries.
        codec_test::packet_around(unhex("08 02 3b 9a ca 00 06 00 18 0c")),
        // The packet's Buffer field itself declares 2,000,000,000 bytes.
        unhex("00 00 00 00 10 02 40 01 56 01 31 66 01 31 7d 00 02 77 35 94 00 08"),
    };
    for (const std::vector<char>& payload : payloads) {
        ASSERT_LT(payload.size(), 100u);
        ByteStreamData bytes;
        StringData text;
        allocation_counter::scope counted;
        EXPECT_EQ(-1, decode(bytes, payload));
        EXPECT_EQ(-1, decode(text, payload));
        const allocation_counter::totals totals = counted.result();
        EXPECT_LE(totals.largest, 4 * payload.size()) << hex(payload);
        EXPECT_LE(totals.bytes, 64 * payload.size()) << hex(payload);
    }
}

TEST(records, decode_refuses_deep_nesting_without_exhausting_the_stack) {
    for (const char* level : {"0a", "09 00 01", "08 00 01 06 00"}) {
        const std::vector<char> one = unhex(level);
        std::vector<char> record = unhex("0a 00 01 10 01 26 00 3d 00 0c 4a");
        for (int i = 0; i < 100000; ++i) {
            record.insert(record.end(), one.begin(), one.end());
        }
        PipeProtocol protocol;
        EXPECT_EQ(-1, decode(protocol, codec_test::record_payload("TqIPC.PipeProtocol", record)))
            << level;
    }
}
