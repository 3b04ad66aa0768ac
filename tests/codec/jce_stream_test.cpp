#include <gtest/gtest.h>

#include <string>
#include <typeindex>
#include <vector>

#include "codec/jce_exceptions.h"
#include "codec_test_util.h"

using codec_test::hex;
using codec_test::reader_over;

namespace {

struct one_int {
    int32_t value = -7;
    void read_from(taf::JceReader& reader) { reader.read(value, 1, false); }
};

// Reads a value of type T at the tag, for the table of errors.
template <typename T, uint8_t tag = 2, bool required = true>
void read_at(taf::JceReader& reader) {
    T value{};
    reader.read(value, tag, required);
}

}  // namespace

// Tags from 15 on take a two-byte head.
TEST(jce_writer, writes_integers_in_their_shortest_form_and_reads_them_back) {
    const struct {
        int32_t value;
        uint8_t tag;
        const char* bytes;
    } cases[] = {{0, 0, "0c"},
                 {1, 0, "00 01"},
                 {-1, 0, "00 ff"},
                 {127, 0, "00 7f"},
                 {128, 0, "01 00 80"},
                 {-128, 0, "00 80"},
                 {-129, 0, "01 ff 7f"},
                 {32767, 0, "01 7f ff"},
                 {-32768, 0, "01 80 00"},
                 {32768, 0, "02 00 00 80 00"},
                 {-32769, 0, "02 ff ff 7f ff"},
                 {1, 14, "e0 01"},
                 {2, 15, "f0 0f 02"},
                 {3, 255, "f0 ff 03"}};
    for (const auto& c : cases) {
        taf::JceWriter writer;
        writer.write(c.value, c.tag);
        EXPECT_EQ(c.bytes, hex(writer)) << c.value;
        reader_over in(c.bytes);
        int32_t value = 99;
        in.reader.read(value, c.tag, true);
        EXPECT_EQ(c.value, value);
    }
    taf::JceWriter narrow;
    narrow.write(int8_t{0}, 1);
    narrow.write(int16_t{-129}, 2);
    EXPECT_EQ("1c 21 ff 7f", hex(narrow));
}

TEST(jce_writer, switches_from_string1_to_string4_at_256_bytes) {
    for (const std::string head : {"26 ff", "27 00 00 01 00"}) {
        const std::string text(head.size() == 5 ? 255 : 256, 'x');
        taf::JceWriter writer;
        writer.write(text, 2);
        EXPECT_EQ(head, hex(writer).substr(0, head.size()));
        reader_over in(hex(writer));
        std::string back;
        in.reader.read(back, 2, true);
        EXPECT_EQ(text, back);
    }
}

TEST(jce_writer, refuses_a_string_over_100_mib_and_accepts_one_of_exactly_100_mib) {
    std::string text(104857601, 'x');
    taf::JceWriter writer;
    try {
        writer.write(text, 3);
        ADD_FAILURE() << "no exception";
    } catch (const taf::JceDecodeInvalidValue& e) {
        EXPECT_STREQ("invalid string size, tag: 3, size: 104857601", e.what());
    }
    EXPECT_EQ(0u, writer.length());
    text.pop_back();
    writer.write(text, 3);
    EXPECT_EQ(104857600u + 5, writer.length());
    EXPECT_EQ("37 06 40 00 00", hex(writer.data(), 5));
}

TEST(jce_writer, writes_byte_vectors_as_simple_lists_and_maps_in_unsigned_key_order) {
    taf::JceWriter writer;
    writer.write(std::vector<char>{}, 0);
    writer.write(std::vector<char>{1, 2, 3}, 1);
    writer.write(std::map<std::string, std::string>{{"\xff", ""}, {"b", ""}, {"a", ""}}, 2);
    EXPECT_EQ("0d 00 0c 1d 00 00 03 01 02 03 28 00 03 06 01 61 16 00 06 01 62 16 00 06 01 ff 16 00",
              hex(writer));
}

TEST(jce_reader, finds_fields_by_tag_skipping_others_and_stops_at_the_end_of_a_struct) {
    reader_over in("00 01 10 02 26 01 41 30 05");
    EXPECT_TRUE(in.reader.skipToTag(3));
    EXPECT_EQ(3, in.reader.readHead().tag);
    reader_over gap("00 01 50 05");
    EXPECT_FALSE(gap.reader.skipToTag(3));
    EXPECT_EQ(5, gap.reader.readHead().tag);
    reader_over cut("f0");
    EXPECT_FALSE(cut.reader.skipToTag(1));
    reader_over empty_struct("0a 0b");
    one_int record;
    empty_struct.reader.read(record, 0, true);
    EXPECT_EQ(-7, record.value);
    // Unknown fields of every type are skipped.
    reader_over skipped(
        "03 0102030405060708 14 01020304 25 0102030405060708 37 00000002 4142 "
        "49 00 02 00 01 1c 58 00 01 06 00 16 01 61 6a 00 01 0b 7d 00 00 02 0102 "
        "81 00 01 90 09");
    int32_t value = 0;
    skipped.reader.read(value, 9, true);
    EXPECT_EQ(9, value);
    // A list of chars is a byte vector too; a repeated map key keeps its first value.
    reader_over list("09 00 03 00 01 00 02 00 03");
    std::vector<char> bytes;
    list.reader.read(bytes, 0, true);
    EXPECT_EQ((std::vector<char>{1, 2, 3}), bytes);
    reader_over map("08 00 02 06 01 6b 16 01 31 06 01 6b 16 01 32");
    std::map<std::string, std::string> m{{"old", "entry"}};
    map.reader.read(m, 0, true);
    EXPECT_EQ((std::map<std::string, std::string>{{"k", "1"}}), m);
}

TEST(jce_reader, raises_each_error_with_its_class_and_text) {
    using operation = void (*)(taf::JceReader&);
    const operation head = [](taf::JceReader& r) { r.readHead(); };
    const operation int32_at_0 = [](taf::JceReader& r) { read_at<int32_t, 0, false>(r); };
    const operation int8 = read_at<int8_t>, int16 = read_at<int16_t>, int32 = read_at<int32_t>;
    const operation text = read_at<std::string>, bytes = read_at<std::vector<char>>;
    const operation map = read_at<std::map<std::string, std::string>>, record = read_at<one_int>;
    const operation skip_14 = [](taf::JceReader& r) { r.skipField(14); };
    const operation skip_simple_list = [](taf::JceReader& r) { r.skipField(taf::SimpleList); };
    const std::type_index base = typeid(taf::JceDecodeException);
    const std::type_index mismatch = typeid(taf::JceDecodeMismatch);
    const std::type_index missing = typeid(taf::JceDecodeRequireNotExist);
    const std::type_index invalid = typeid(taf::JceDecodeInvalidValue);
    const struct {
        const char* input;
        operation op;
        std::type_index type;
        const char* text;
    } cases[] = {
        {"", head, base, "buffer overflow when peekBuf, over 0."},
        {"f0", head, base, "buffer overflow when peekBuf, over 1."},
        {"20", int32, base, "buffer overflow when peekBuf, over 1."},
        {"3c", int32, missing, "require field not exist, tag: 2"},
        {"3c", int8, missing, "require field not exist, tag: 2."},
        {"21 00 01", int8, mismatch, "read 'Char' type mismatch, tag: 2, get type: 1."},
        {"22 00 00 00 01", int16, mismatch, "read 'Short' type mismatch, tag: 2, get type: 2."},
        {"26 00", int32, mismatch, "read 'Int32' type mismatch, tag: 2, get type: 6."},
        {"0b", int32_at_0, mismatch, "read 'Int32' type mismatch, tag: 0, get type: 11."},
        {"2c", text, mismatch, "read 'string' type mismatch, tag: 2, get type: 12."},
        {"27 06 40 00 01", text, invalid, "invalid string size, tag: 2, size: 104857601"},
        {"27 ff ff ff ff", text, invalid, "invalid string size, tag: 2, size: -1"},
        {"2c", map, mismatch, "read 'map' type mismatch, tag: 2, get type: 12."},
        {"28 00 ff", map, invalid, "invalid map, tag: 2, size: -1"},
        {"22 00 00 00 01", bytes, mismatch, "type mismatch, tag: 2, type: 2"},
        {"2d 01 00 01", bytes, mismatch, "type mismatch, tag: 2, type: 13, 1"},
        {"29 00 ff", bytes, invalid, "invalid size, tag: 2, type: 9, size: -1"},
        {"2d 00 00 ff", bytes, invalid, "invalid size, tag: 2, type: 13, 0, size: -1"},
        {"2c", record, mismatch, "read 'struct' type mismatch, tag: 2, get type: 12."},
        {"", skip_14, mismatch, "skipField with invalid type, type value:14."},
        {"01", skip_simple_list, mismatch, "skipField with invalid type, type value: 13, 1."},
        {"00 00 ff", skip_simple_list, invalid,
         "skipField with invalid size, type value: 13, size: -1."},
        // Declared lengths and counts beyond the remaining bytes fail before any allocation.
        {"26 05 61", text, base, "buffer overflow when peekBuf, over 3."},
        {"2d 00 00 05 01 02", bytes, base, "buffer overflow when peekBuf, over 6."},
        {"29 00 04 00 01", bytes, base, "buffer overflow when peekBuf, over 5."},
        {"28 00 03 06 00 16 00", map, base, "buffer overflow when peekBuf, over 7."},
    };
    for (const auto& c : cases) {
        reader_over in(c.input);
        try {
            c.op(in.reader);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const taf::JceException& e) {
            EXPECT_TRUE(c.type == std::type_index(typeid(e)))
                << c.text << " raised as " << typeid(e).name();
            EXPECT_STREQ(c.text, e.what());
        }
    }
}

TEST(jce_reader, descends_at_most_64_levels_of_structs_lists_and_maps) {
    for (const std::string level : {"0a ", "09 00 01 ", "08 00 01 06 00 "}) {
        for (int depth : {64, 65}) {
            std::string input;
            for (int i = 0; i < depth; ++i) {
                input += level;
            }
            for (int i = 0; i < (level == "0a " ? depth : 1); ++i) {
                input += "0b ";
            }
            reader_over in(input);
            const uint8_t type = in.reader.readHead().type;
            if (depth == 64) {
                EXPECT_NO_THROW(in.reader.skipField(type)) << level;
            } else {
                EXPECT_THROW(in.reader.skipField(type), taf::JceDecodeException) << level;
                in.reader.reset();
                EXPECT_FALSE(in.reader.skipToTag(1)) << level;
            }
        }
    }
}
