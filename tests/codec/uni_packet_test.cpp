#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "codec/jce_exceptions.h"
#include "codec/records.h"
#include "codec/uni_packet.h"
#include "codec_test_util.h"

using codec_test::hex;
using codec_test::unhex;

namespace {

// The text of the std::runtime_error that action raises, or "" when it raises none.
template <typename F>
std::string error_of(F action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(uni_packet, refuses_to_encode_without_servant_or_function_name) {
    taf::UniPacket packet;
    std::vector<char> out{'k'};
    EXPECT_EQ("ServantName must not be empty", error_of([&] { packet.encode(out); }));
    packet.ServantName = "s";
    EXPECT_EQ("FuncName must not be empty", error_of([&] { packet.encode(out); }));
    EXPECT_EQ(std::vector<char>{'k'}, out);
}

TEST(uni_packet, round_trips_every_header_field_whatever_the_length_prefix_says) {
    taf::UniPacket packet;
    packet.Version = 3;
    packet.PacketType = 1;
    packet.MessageType = 70000;
    packet.RequestId = -5;
    packet.ServantName = "servant";
    packet.FuncName = "func";
    packet.Timeout = 300;
    packet.Context = {{"a", "b"}};
    packet.Status = {{taf::status_result_code, "0"}};
    packet.put("n", int32_t{42});
    std::vector<char> bytes;
    packet.encode(bytes);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(static_cast<unsigned char>(bytes[3])));
    bytes[0] = 0x7f;

    taf::UniPacket back;
    back.decode(bytes.data(), bytes.size());
    EXPECT_EQ(3, back.Version);
    EXPECT_EQ(1, back.PacketType);
    EXPECT_EQ(70000, back.MessageType);
    EXPECT_EQ(-5, back.RequestId);
    EXPECT_EQ("servant", back.ServantName);
    EXPECT_EQ("func", back.FuncName);
    EXPECT_EQ(300, back.Timeout);
    EXPECT_EQ(packet.Context, back.Context);
    EXPECT_EQ(packet.Status, back.Status);
    int32_t n = 0;
    back.get("n", n);
    EXPECT_EQ(42, n);
}

TEST(uni_packet, decodes_without_optional_fields_and_refuses_short_or_headless_input) {
    // Attribute map: "x" with no typed value at all.
    const std::vector<char> packet = codec_test::packet_around(unhex("08 00 01 06 01 78 18 0c"));
    taf::UniPacket back;
    back.Timeout = 9;
    back.decode(packet.data(), packet.size());
    EXPECT_EQ(0, back.PacketType);
    EXPECT_EQ(0, back.MessageType);
    EXPECT_EQ(9, back.Timeout);  // absent optional fields keep their value
    EXPECT_TRUE(back.Context.empty() && back.Status.empty());
    int32_t value = 0;
    EXPECT_EQ("UniAttribute type match fail,key:x,type:int32,",
              error_of([&] { back.get("x", value); }));
    EXPECT_EQ("UniAttribute not found key:y,type:int32", error_of([&] { back.get("y", value); }));

    taf::UniPacket other;
    EXPECT_EQ("packet length too short", error_of([&] { other.decode(packet.data(), 3); }));
    EXPECT_EQ("require field not exist, tag: 1", error_of([&] { other.decode(packet.data(), 4); }));
}

TEST(uni_attribute, keeps_one_value_per_type_name_under_each_name) {
    taf::UniPacket packet;
    packet.put("a", int32_t{5});
    packet.put("a", StateNotice{2});
    packet.put("a", int32_t{6});
    int32_t number = 0;
    StateNotice notice;
    packet.get("a", number);
    packet.get("a", notice);
    EXPECT_EQ(6, number);
    EXPECT_EQ(2, notice.state);
}

TEST(uni_attribute, falls_back_to_the_first_stored_type_only_when_its_name_is_dotted) {
    taf::UniPacket packet;
    packet.put("record", ByteStreamData{4, {}});
    packet.put("number", int32_t{4});
    StateNotice notice;
    packet.get("record", notice);
    EXPECT_EQ(4, notice.state);
    EXPECT_EQ("UniAttribute type match fail,key:number,type:TqIPC.StateNotice,may be:int32",
              error_of([&] { packet.get("number", notice); }));
    EXPECT_TRUE(taf::UniAttribute::accepts_by_fallback("?"));
    EXPECT_FALSE(taf::UniAttribute::accepts_by_fallback("int32"));
}

TEST(uni_attribute, encodes_names_in_unsigned_byte_order_with_the_empty_name_first) {
    taf::UniPacket packet;
    packet.ServantName = packet.FuncName = "1";
    packet.put("\xc3\xa9", int32_t{1});
    packet.put("tRsp", int32_t{2});
    packet.put("", int32_t{3});
    std::vector<char> bytes;
    packet.encode(bytes);
    EXPECT_NE(std::string::npos,
              hex(bytes).find("08 00 03 06 00 18 00 01 06 05 69 6e 74 33 32 1d 00 00 02 00 03 "
                              "06 04 74 52 73 70"));
    EXPECT_LT(hex(bytes).find("74 52 73 70"), hex(bytes).find("06 02 c3 a9"));
}
