#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "codec/records.h"
#include "codec/uni_packet.h"
#include "codec_test_util.h"

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

TEST(uni_packet, round_trips_the_header_whatever_the_length_prefix_says) {
    taf::UniPacket packet;
    packet.PacketType = 1;
    packet.MessageType = 70000;
    packet.ServantName = "servant";
    packet.FuncName = "func";
    packet.Context = {{"a", "b"}};
    packet.Status = {{taf::status_result_code, "0"}};
    std::vector<char> bytes;
    packet.encode(bytes);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(bytes[3]));
    bytes[0] = 0x7f;
    taf::UniPacket back;
    back.decode(bytes.data(), bytes.size());
    EXPECT_EQ(
        std::vector<int32_t>({2, 1, 70000, 0}),
        std::vector<int32_t>({back.Version, back.PacketType, back.MessageType, back.RequestId}));
    EXPECT_EQ("servant", back.ServantName);
    EXPECT_EQ("func", back.FuncName);
    EXPECT_EQ(packet.Context, back.Context);
    EXPECT_EQ(packet.Status, back.Status);
}

TEST(uni_packet, decodes_without_optional_fields_and_refuses_short_or_headless_input) {
    // Attribute map: the name "x" with no typed value at all.
    const std::vector<char> packet =
        codec_test::packet_around(codec_test::unhex("08 00 01 06 01 78 18 0c"));
    taf::UniPacket back;
    back.decode(packet.data(), packet.size());
    EXPECT_EQ(0, back.PacketType + back.MessageType + back.Timeout);
    EXPECT_TRUE(back.Context.empty() && back.Status.empty());
    int32_t value = 0;
    EXPECT_EQ("UniAttribute type match fail,key:x,type:int32,",
              error_of([&] { back.get("x", value); }));
    EXPECT_EQ("UniAttribute not found key:y,type:int32", error_of([&] { back.get("y", value); }));

    taf::UniPacket other;
    EXPECT_EQ("packet length too short", error_of([&] { other.decode(packet.data(), 3); }));
    EXPECT_EQ("require field not exist, tag: 1", error_of([&] { other.decode(packet.data(), 4); }));
}

TEST(uni_attribute, keeps_one_value_per_type_and_falls_back_only_to_dotted_type_names) {
    taf::UniPacket packet;
    packet.put("a", int32_t{5});
    packet.put("a", StateNotice{2});
    packet.put("a", int32_t{6});
    packet.put("bytes", ByteStreamData{4, {}});
    int32_t number = 0;
    StateNotice notice;
    packet.get("a", number);
    EXPECT_EQ(6, number);
    packet.get("a", notice);
    EXPECT_EQ(2, notice.state);
    packet.get("bytes", notice);
    EXPECT_EQ(4, notice.state);
    packet.put("number", int32_t{4});
    EXPECT_EQ("UniAttribute type match fail,key:number,type:TqIPC.StateNotice,may be:int32",
              error_of([&] { packet.get("number", notice); }));
    EXPECT_TRUE(taf::UniAttribute::accepts_by_fallback("?"));
}
