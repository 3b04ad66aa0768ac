#include "codec/message_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/records.h"

namespace {

// What the two encode_record calls give for a message.
template <class Inner>
std::vector<char> generic(int32_t sender, int32_t msg_type, const std::string& id,
                          const Inner* inner) {
    PipeProtocol message;
    message.sender = sender;
    message.msg_type = msg_type;
    message.client_id = id;
    if (inner != nullptr)
        encode_record(message.body, *inner);
    std::vector<char> out;
    encode_record(out, message);
    return out;
}

std::vector<char> plain(const byte_buffer& bytes) {
    return std::vector<char>(bytes.begin(), bytes.end());
}

// Sizes at the edges of every integer and string form.
const size_t sizes[] = {0, 1, 127, 128, 255, 256, 32767, 32768, 70000};

}  // namespace

// The writer that keeps the bytes around the data writes the same, for a run of alike
// messages (each second one reuses them) and for every change of id, sender, size or length.
TEST(message_codec, writes_every_message_as_encode_record_does) {
    message_codec::message_writer writer;
    for (size_t id_size : {size_t{0}, size_t{2}, size_t{255}, size_t{256}}) {
        const std::string id(id_size, 'i');
        for (size_t n : sizes) {
            for (const char fill : {'t', 'u'}) {
                const std::string text(n, fill);
                StringData string;
                string.data = text;
                byte_buffer out{'x'};  // what is there stays in front
                ASSERT_TRUE(message_codec::write_text(out, 1, id, text.data(), n));
                std::vector<char> expected{'x'};
                const auto body = generic(1, msg_string, id, &string);
                expected.insert(expected.end(), body.begin(), body.end());
                EXPECT_EQ(expected, plain(out)) << "text of " << n << ", id of " << id_size;
                out = byte_buffer{'x'};
                ASSERT_TRUE(writer.write_text(out, 1, id, text.data(), n));
                EXPECT_EQ(expected, plain(out)) << "kept text of " << n << ", " << fill;

                ByteStreamData bytes;
                bytes.length = static_cast<int32_t>(n) - 3;  // any length, as a peer may send
                bytes.data.assign(text.begin(), text.end());
                const auto written = generic(2, msg_bytestream, id, &bytes);
                out.clear();
                ASSERT_TRUE(message_codec::write_bytes(out, 2, id, bytes.length, text.data(), n));
                EXPECT_EQ(written, plain(out)) << "bytes of " << n;
                out.clear();
                ASSERT_TRUE(writer.write_bytes(out, 2, id, bytes.length, text.data(), n));
                EXPECT_EQ(written, plain(out)) << "kept bytes of " << n << ", " << fill;
            }
        }
        for (int32_t state : {0, 1, 3, -1, 200, 70000}) {
            StateNotice notice;
            notice.state = state;
            byte_buffer out;
            ASSERT_TRUE(message_codec::write_state(out, 1, id, state));
            EXPECT_EQ(generic(1, msg_clientstate, id, &notice), plain(out)) << state;
        }
        byte_buffer beat;
        ASSERT_TRUE(message_codec::write_heart_beat(beat, 1, id));
        EXPECT_EQ(generic<StateNotice>(1, msg_heartbeat, id, nullptr), plain(beat));
    }
    // Alike but for the client id, then the sender: written anew.
    ByteStreamData bytes;
    bytes.length = 3;
    bytes.data = {'a', 'b', 'c'};
    for (const auto& [sender, id] :
         {std::pair<int32_t, std::string>{1, "ab"}, {1, "cd"}, {2, "cd"}}) {
        byte_buffer out;
        ASSERT_TRUE(writer.write_bytes(out, sender, id, 3, "abc", 3));
        EXPECT_EQ(generic(sender, msg_bytestream, id, &bytes), plain(out)) << sender << id;
    }
}

// encode_record leaves its output as it was for a text above 100 MiB, so the message goes with an
// empty body.
TEST(message_codec, a_text_too_long_to_encode_goes_with_an_empty_body_as_encode_record_gives) {
    const std::string text(taf::max_string_bytes + 1, 't');
    StringData string;
    string.data = text;
    std::vector<char> kept{'k'};
    encode_record(kept, string);
    EXPECT_EQ(std::vector<char>{'k'}, kept);
    byte_buffer out;
    ASSERT_TRUE(message_codec::write_text(out, 1, "id", text.data(), text.size()));
    EXPECT_EQ(generic(1, msg_string, "id", &string), plain(out));
    message_codec::message_view view;
    ASSERT_TRUE(message_codec::read_message(out.data(), out.size(), &view));
    EXPECT_EQ(0u, view.body_size);
}

TEST(message_codec, reads_what_it_writes_as_decode_record_does) {
    byte_buffer out;
    ASSERT_TRUE(message_codec::write_text(out, 1, "A1", "hi", 2));
    EXPECT_EQ(175u, out.size());  // the worked example
    message_codec::message_view view;
    ASSERT_TRUE(message_codec::read_message(out.data(), out.size(), &view));
    EXPECT_EQ(1, view.sender);
    EXPECT_EQ(msg_string, view.msg_type);
    EXPECT_EQ("A1", std::string(view.client_id, view.client_id_size));
    const char* text = nullptr;
    size_t size = 0;
    ASSERT_TRUE(message_codec::read_text(view.body, view.body_size, &text, &size));
    EXPECT_EQ("hi", std::string(text, size));

    out.clear();
    const std::string data(300, 'd');
    ASSERT_TRUE(message_codec::write_bytes(out, 2, "", 300, data.data(), data.size()));
    ASSERT_TRUE(message_codec::read_message(out.data(), out.size(), &view));
    int32_t length = 0;
    const char* bytes = nullptr;
    ASSERT_TRUE(message_codec::read_bytes(view.body, view.body_size, &length, &bytes, &size));
    EXPECT_EQ(300, length);
    EXPECT_EQ(data, std::string(bytes, size));
    // A body of another record type is left to decode_record and its type-name fallback.
    int32_t state = 0;
    EXPECT_FALSE(message_codec::read_state(view.body, view.body_size, &state));
    EXPECT_FALSE(message_codec::read_text(view.body, view.body_size, &text, &size));

    // A reader keeps what the bytes in front of the data said: a message alike but for its data
    // reads the same; one that differs anywhere else, also in a byte of the same size, anew.
    message_codec::message_reader reader;
    message_codec::message_reader::message read;
    for (const auto& [fill, declared] :
         {std::pair<char, int32_t>{'d', 300}, {'e', 300}, {'e', 299}}) {
        const std::string filled(300, fill);
        out.clear();
        ASSERT_TRUE(message_codec::write_bytes(out, 2, "id", declared, filled.data(), 300));
        ASSERT_TRUE(reader.read(out.data(), out.size(), &read)) << fill << declared;
        EXPECT_EQ(msg_bytestream, read.view.msg_type);
        EXPECT_EQ("id", std::string(read.view.client_id, read.view.client_id_size));
        EXPECT_EQ(declared, read.number);
        EXPECT_EQ(filled, std::string(read.data, read.data_size));
    }
    out.data()[out.size() - 3] ^= 1;  // the tail behind the data
    EXPECT_FALSE(reader.read(out.data(), out.size(), &read));
    out.clear();
    ASSERT_TRUE(message_codec::write_state(out, 2, "id", state_server_exit));
    ASSERT_TRUE(reader.read(out.data(), out.size(), &read));
    EXPECT_EQ(state_server_exit, read.number);
}

TEST(message_codec, leaves_other_layouts_and_damage_to_decode_record) {
    byte_buffer out;
    ASSERT_TRUE(message_codec::write_state(out, 1, "id", state_connect));
    message_codec::message_view view;
    message_codec::message_reader reader;  // with the whole message kept
    message_codec::message_reader::message read;
    ASSERT_TRUE(reader.read(out.data(), out.size(), &read));
    for (size_t cut = 0; cut < out.size(); ++cut) {
        EXPECT_FALSE(message_codec::read_message(out.data(), cut, &view)) << cut;
        EXPECT_FALSE(reader.read(out.data(), cut, &read)) << cut;
    }
    std::vector<char> longer(out.begin(), out.end());
    longer.push_back(0);  // decode_record ignores trailing bytes; the fast reader does not
    EXPECT_FALSE(message_codec::read_message(longer.data(), longer.size(), &view));
    PipeProtocol record;
    EXPECT_EQ(0, decode_record(record, longer.data(), static_cast<int32_t>(longer.size())));
}
