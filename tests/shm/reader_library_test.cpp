// The reader library through include/toviipc_shm.h only, against blocks written by the
// library's own writer unit (and, for damaged headers, by hand).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "shm/shared_memory.h"
#include "shm/shm_test_util.h"
#include "support/test_support.h"
#include "toviipc_shm.h"

using namespace std::chrono_literals;
using tovi_test::pattern;

namespace {

constexpr uint64_t block_data_size = 1 << 20;  // bytes; small blocks keep the tests quick
constexpr uint64_t large_block_data_size = 8 << 20;
constexpr tovi_uint32 buffer_bytes = 4 << 20;

// A reader that closes itself.
struct open_reader {
    toviipc_shm_reader* reader = nullptr;
    toviipc_shm_result opened;
    explicit open_reader(const std::string& name)
        : opened(toviipc_shm_open(name.c_str(), &reader)) {}
    ~open_reader() { toviipc_shm_close(reader); }
};

struct read_result {
    toviipc_shm_result result;
    toviipc_shm_data data;
    std::string bytes;
};

// Reads the newest write into a fresh buffer of buffer_bytes.
read_result read_newest(toviipc_shm_reader* reader) {
    read_result out{};
    out.bytes.assign(buffer_bytes, '\0');
    out.result = toviipc_shm_read(reader, out.bytes.data(), buffer_bytes, &out.data);
    out.bytes.resize(out.result == TOVIIPC_SHM_OK ? out.data.length : 0);
    return out;
}

// A block of the library's writer under a name of the test's own.
class reader_library : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(block.create(name, block_data_size, 3)); }

    // Writes size bytes of pattern(size, seed) with the values first, 0, 0, 0, 0.
    void write(uint32_t size, uint32_t seed, uint32_t first) {
        const std::string data = pattern(size, seed);
        ASSERT_TRUE(block.write(data.data(), size, first, 0, 0, 0, 0));
    }

    const std::string name = tovi_test::unique_name("tovi_rd");
    shared_memory block;
};

}  // namespace

// Writes 64 bytes with the values 9, 0, 0, 0, 0 into the parent's block after a while.
TOVI_CHILD_ROLE(write_later) {
    Sleep(200);
    shared_memory block;
    const std::string data = pattern(64, 5);
    if (!block.create(arguments.at(0), block_data_size, 3) ||
        !block.write(data.data(), 64, 9, 0, 0, 0, 0))
        return 2;
    return 0;
}

// Reads while the parent writes, each write's values naming its size, its seed and its
// number: every read must return data that matches the values returned with it. Exit 0 once
// enough distinct writes were read.
TOVI_CHILD_ROLE(check_reads) {
    constexpr int reads_wanted = 400;
    open_reader opened(arguments.at(0));
    if (opened.opened != TOVIIPC_SHM_OK)
        return 2;
    std::map<uint32_t, std::string> expected_data;  // by seed; a seed has one size
    int good = 0;                                   // reads of distinct writes
    uint32_t last_write = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (good < reads_wanted && std::chrono::steady_clock::now() < deadline) {
        const read_result r = read_newest(opened.reader);
        if (r.result == TOVIIPC_SHM_BUSY || r.result == TOVIIPC_SHM_EMPTY)
            continue;
        if (r.result != TOVIIPC_SHM_OK)
            return 3;
        auto expected = expected_data.find(r.data.info[1]);
        if (expected == expected_data.end()) {
            expected =
                expected_data.emplace(r.data.info[1], pattern(r.data.info[0], r.data.info[1]))
                    .first;
        }
        if (r.data.info[0] != r.data.length || r.bytes != expected->second)
            return 4;
        if (r.data.info[2] != last_write) {
            last_write = r.data.info[2];
            ++good;
        }
    }
    return good == reads_wanted ? 0 : 5;
}

TEST_F(reader_library, open_names_a_missing_block_and_refuses_bad_arguments) {
    toviipc_shm_reader* reader = reinterpret_cast<toviipc_shm_reader*>(&reader);
    EXPECT_EQ(TOVIIPC_SHM_NO_BLOCK, toviipc_shm_open((name + "-missing").c_str(), &reader));
    EXPECT_EQ(nullptr, reader);
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_open("", &reader));
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_open(nullptr, &reader));
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_open("name", nullptr));
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_open(std::string(231, 'n').c_str(), &reader));
    EXPECT_EQ(nullptr, reader);

    toviipc_shm_data data;
    toviipc_shm_header header;
    char byte;
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_read(nullptr, &byte, 1, &data));
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_peek(nullptr, &header));
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_wait(nullptr, &header, 0, &header));
    toviipc_shm_close(nullptr);

    std::set<std::string> texts;
    for (int r = TOVIIPC_SHM_OK; r <= TOVIIPC_SHM_FAILED; ++r)
        texts.insert(toviipc_shm_result_text(static_cast<toviipc_shm_result>(r)));
    EXPECT_EQ(8u, texts.size());
    EXPECT_STREQ("unknown result", toviipc_shm_result_text(static_cast<toviipc_shm_result>(99)));
}

TEST_F(reader_library, reads_the_newest_write_with_its_values_also_after_its_writer_left) {
    open_reader opened(name);
    ASSERT_EQ(TOVIIPC_SHM_OK, opened.opened);
    read_result r = read_newest(opened.reader);
    EXPECT_EQ(TOVIIPC_SHM_EMPTY, r.result);
    EXPECT_EQ(0u, r.data.length);

    // The writes alternate between the slots; each read finds the newest.
    for (uint32_t slot : {0u, 1u}) {
        const uint32_t size = 1000 + 2000 * slot;
        write(size, slot, 11 + slot);
        r = read_newest(opened.reader);
        ASSERT_EQ(TOVIIPC_SHM_OK, r.result);
        EXPECT_EQ(slot, r.data.slot);
        EXPECT_EQ(pattern(size, slot), r.bytes);
        EXPECT_EQ(11 + slot, r.data.info[0]);
    }

    toviipc_shm_header header;
    ASSERT_EQ(TOVIIPC_SHM_OK, toviipc_shm_peek(opened.reader, &header));
    EXPECT_EQ(0u, header.next_slot);
    EXPECT_EQ(1000u, header.slot_length[0]);
    EXPECT_EQ(3000u, header.slot_length[1]);
    EXPECT_EQ(12u, header.info[0]);

    // A buffer too small gets nothing and learns the size; a null one of size 0 asks for it.
    std::vector<char> small(2999, 'x');
    toviipc_shm_data data;
    EXPECT_EQ(TOVIIPC_SHM_TOO_SMALL, toviipc_shm_read(opened.reader, small.data(), 2999, &data));
    EXPECT_EQ(3000u, data.length);
    EXPECT_EQ(std::vector<char>(2999, 'x'), small);
    EXPECT_EQ(TOVIIPC_SHM_TOO_SMALL, toviipc_shm_read(opened.reader, nullptr, 0, &data));
    EXPECT_EQ(3000u, data.length);
    EXPECT_EQ(TOVIIPC_SHM_BAD_ARGUMENT, toviipc_shm_read(opened.reader, nullptr, 10, &data));

    // The block outlives its writer while a reader holds it; a writer that comes back under the
    // same name writes into the same block.
    block.close();
    r = read_newest(opened.reader);
    ASSERT_EQ(TOVIIPC_SHM_OK, r.result);
    EXPECT_EQ(pattern(3000, 1), r.bytes);
    ASSERT_TRUE(block.create(name, block_data_size, 3));
    write(20, 4, 43);
    r = read_newest(opened.reader);
    ASSERT_EQ(TOVIIPC_SHM_OK, r.result);
    EXPECT_EQ(43u, r.data.info[0]);
    EXPECT_EQ(20u, r.data.length);
}

TEST_F(reader_library, wait_returns_on_a_write_and_times_out_without_one) {
    open_reader opened(name);
    ASSERT_EQ(TOVIIPC_SHM_OK, opened.opened);
    toviipc_shm_header seen;
    ASSERT_EQ(TOVIIPC_SHM_OK, toviipc_shm_peek(opened.reader, &seen));

    const auto started = std::chrono::steady_clock::now();
    toviipc_shm_header now;
    EXPECT_EQ(TOVIIPC_SHM_TIMEOUT, toviipc_shm_wait(opened.reader, &seen, 100, &now));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 90ms);
    EXPECT_EQ(0, std::memcmp(&seen, &now, sizeof(now)));

    // The writer is another process, as it would be for a real reader.
    tovi_test::child_process writer("write_later", {name});
    EXPECT_EQ(TOVIIPC_SHM_OK, toviipc_shm_wait(opened.reader, &seen, 60000, &seen));
    EXPECT_EQ(0, writer.wait(60s));
    EXPECT_EQ(9u, seen.info[0]);
    EXPECT_EQ(64u, seen.slot_length[0]);
}

TEST_F(reader_library, a_damaged_header_gives_failed_and_never_a_crash) {
    write(100, 7, 1);
    open_reader opened(name);
    ASSERT_EQ(TOVIIPC_SHM_OK, opened.opened);
    shm_test::header_view raw(name, true);
    ASSERT_TRUE(raw.ok());
    const uint64_t slot0 = raw.offset(0);

    struct damage {
        uint64_t offset;
        uint64_t length;
    };
    const damage cases[] = {
        {slot0 + 1, 100},                    // not on the allocation granularity
        {uint64_t{1} << 40, 100},            // far beyond the mapping
        {slot0, block_data_size},            // runs past the mapping's end
        {slot0, (uint64_t{1} << 32) + 100},  // longer than any write can be
    };
    std::vector<char> buffer(block_data_size + shm_layout::header_bytes);
    for (const damage& d : cases) {
        shm_layout::put_u64(raw.view(), shm_layout::slot_offset_at[0], d.offset);
        shm_layout::put_u64(raw.view(), shm_layout::slot_length_at[0], d.length);
        toviipc_shm_data out;
        EXPECT_EQ(TOVIIPC_SHM_FAILED,
                  toviipc_shm_read(opened.reader, buffer.data(),
                                   static_cast<tovi_uint32>(buffer.size()), &out))
            << "offset " << d.offset << " length " << d.length;
    }
    toviipc_shm_header header;
    ASSERT_EQ(TOVIIPC_SHM_OK, toviipc_shm_peek(opened.reader, &header));
    EXPECT_EQ(0xFFFFFFFFu, header.slot_length[0]);
}

TEST_F(reader_library, values_read_in_another_process_always_belong_to_the_data_read) {
    // Large writes in quick bursts, so that writes often finish while the reader copies.
    constexpr uint32_t burst_writes = 16;
    constexpr auto burst_pause = 2ms;
    block.close();
    ASSERT_TRUE(block.create(name, large_block_data_size, 3));
    std::vector<std::string> writes;
    for (uint32_t seed = 0; seed < 7; ++seed)  // 7 and 16 share no factor: bursts end in turn
        writes.push_back(pattern(1000 + 200000 * seed, seed));

    tovi_test::child_process reader("check_reads", {name});
    int exit_code = -1;
    const auto deadline = std::chrono::steady_clock::now() + 150s;
    for (uint32_t n = 1; exit_code == -1 && std::chrono::steady_clock::now() < deadline; ++n) {
        const std::string& w = writes[n % writes.size()];
        block.write(w.data(), static_cast<uint32_t>(w.size()), static_cast<uint32_t>(w.size()),
                    n % writes.size(), n, 0, 0);
        // Bursts of writes race the reader's copies; the pauses between them let reads finish.
        exit_code = reader.wait(n % burst_writes == 0 ? burst_pause : 0ms);
    }
    EXPECT_EQ(0, exit_code);
}
