#include "shm/shared_memory.h"

#include <gtest/gtest.h>

#include <thread>

#include "shm/shared_memory_layout.h"
#include "shm/shm_test_util.h"
#include "support/test_support.h"
#include "toviipc_shm.h"

namespace {

constexpr uint64_t client_data_size = 31457280;

using shm_test::header_view;
using shm_test::wide;
using tovi_test::pattern;

// True when another thread of this process cannot take the mutex now.
bool held_elsewhere(HANDLE mutex) {
    DWORD result = 0;
    std::thread probe([&] {
        result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex);
    });
    probe.join();
    return result == WAIT_TIMEOUT;
}

HANDLE open_slot_mutex(const std::string& name, int slot) {
    return CreateMutexW(nullptr, FALSE, shm_layout::mutex_name(wide(name), slot).c_str());
}

}  // namespace

// Holds a slot's mutex until killed. It waits for the mutex: the parent's check that it is
// held takes the same mutex for a moment.
TOVI_CHILD_ROLE(hold_slot) {
    static HANDLE mutex = open_slot_mutex(arguments.at(0), std::stoi(arguments.at(1)));
    if (WaitForSingleObject(mutex, 30000) != WAIT_OBJECT_0)
        return 2;
    for (;;)
        Sleep(1000);
}

// A write of the whole slot capacity is refused, one byte less taken.
TEST(shared_memory, lays_out_the_client_block_with_two_slots_of_fixed_offsets_and_capacity) {
    shared_memory block;
    ASSERT_TRUE(block.create(tovi_test::unique_name("tovi_shm"), client_data_size, 3));
    EXPECT_EQ(65536u, block.slot_offset(0));
    EXPECT_EQ(15794176u, block.slot_offset(1));
    EXPECT_EQ(15663104, block.slot_capacity());
    EXPECT_FALSE(block.create("again", client_data_size, 3));  // already open
    const std::string data(static_cast<size_t>(block.slot_capacity()), 'c');
    EXPECT_FALSE(block.write(data.data(), static_cast<uint32_t>(data.size()), 0, 0, 0, 0, 0));
    EXPECT_TRUE(block.write(data.data(), static_cast<uint32_t>(data.size() - 1), 0, 0, 0, 0, 0));
    EXPECT_FALSE(block.write(nullptr, 10, 0, 0, 0, 0, 0));
    EXPECT_FALSE(block.write(data.data(), 0, 0, 0, 0, 0, 0));
}

TEST(shared_memory, writes_alternate_between_slots_and_fill_the_header) {
    const std::string name = tovi_test::unique_name("tovi_shm");
    shared_memory block;
    ASSERT_TRUE(block.create(name, client_data_size, 3));
    header_view header(name);
    ASSERT_TRUE(header.ok());
    EXPECT_EQ(std::string(64, '\0'), header.bytes());

    const std::string first = pattern(1000, 1);
    ASSERT_TRUE(block.write(first.data(), 1000, 1, 2, 3, 4, 5));
    EXPECT_EQ(1000, block.mapped_size(0));  // exactly the size written
    EXPECT_EQ(0, block.mapped_size(1));
    EXPECT_EQ(1u, header.next_slot());
    EXPECT_EQ(65536u, header.offset(0));
    EXPECT_EQ(0u, header.offset(1));
    EXPECT_EQ(1000u, header.length(0));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(static_cast<uint32_t>(i + 1), header.info(i));

    ASSERT_TRUE(block.write(first.data(), 10, 6, 7, 8, 9, 10));
    EXPECT_EQ(0u, header.next_slot());
    EXPECT_EQ(15794176u, header.offset(1));
    EXPECT_EQ(10u, header.length(1));
    EXPECT_EQ(10u, header.info(4));

    ASSERT_TRUE(block.write(first.data(), 500, 0, 0, 0, 0, 0));  // slot 0 again, view kept
    EXPECT_EQ(1u, header.next_slot());
    EXPECT_EQ(1000, block.mapped_size(0));
    EXPECT_EQ(500u, header.length(0));
    ASSERT_TRUE(block.write(first.data(), 20, 0, 0, 0, 0, 0));  // slot 1 grows its view
    EXPECT_EQ(20, block.mapped_size(1));
}

// A name takes at most 230 UTF-16 units: 115 characters outside the BMP take two units each.
// A closed block refuses writes, and a new create maps each slot afresh.
TEST(shared_memory, create_refuses_an_empty_or_too_long_name_and_maps_each_slot_afresh) {
    shared_memory block;
    EXPECT_FALSE(block.create("", client_data_size, 3));
    EXPECT_FALSE(block.is_open());
    const std::string too_long = tovi_test::unique_name("tovi_shm") + std::string(231, 'n');
    EXPECT_FALSE(block.create(too_long, client_data_size, 3));
    EXPECT_FALSE(block.is_open());
    EXPECT_EQ(nullptr, OpenFileMappingW(FILE_MAP_READ, FALSE, wide(too_long).c_str()));
    std::string longest;
    for (int i = 0; i < 115; ++i)
        longest += "\xF0\x9F\x98\x80";
    EXPECT_FALSE(block.create(longest + "x", client_data_size, 3));
    ASSERT_TRUE(block.create(longest, client_data_size, 3));
    const std::string data = pattern(4000, 2);
    ASSERT_TRUE(block.write(data.data(), 4000, 0, 0, 0, 0, 0));
    ASSERT_TRUE(block.write(data.data(), 4000, 0, 0, 0, 0, 0));
    block.close();
    EXPECT_FALSE(block.write(data.data(), 10, 0, 0, 0, 0, 0));
    EXPECT_EQ(0, block.mapped_size(0));
    ASSERT_TRUE(block.create(longest, client_data_size, 3));
    ASSERT_TRUE(block.write(data.data(), 10, 0, 0, 0, 0, 0));
    EXPECT_EQ(10, block.mapped_size(0));
    ASSERT_TRUE(block.write(data.data(), 10, 0, 0, 0, 0, 0));
    EXPECT_EQ(10, block.mapped_size(1));
}

// A reader holds a slot's mutex only while it copies; the writer never waits for it. A write
// goes to the other slot when the one it prefers is held, and fails when both are; a reader
// that holds the newest slot makes other readers busy until the next write.
TEST(shared_memory, a_write_avoids_a_slot_held_by_a_reader_and_fails_when_both_are_held) {
    const std::string name = tovi_test::unique_name("tovi_shm");
    shared_memory block;
    ASSERT_TRUE(block.create(name, client_data_size, 3));
    header_view header(name);
    const std::string data = pattern(100, 3);
    ASSERT_TRUE(block.write(data.data(), 100, 1, 1, 1, 1, 1));  // next_slot is now 1
    HANDLE slot1 = open_slot_mutex(name, 1);
    HANDLE slot0 = open_slot_mutex(name, 0);

    tovi_test::child_process holder1("hold_slot", {name, "1"});
    ASSERT_TRUE(
        tovi_test::wait_until([&] { return held_elsewhere(slot1); }, std::chrono::seconds(30)));
    ASSERT_TRUE(block.write(data.data(), 50, 2, 2, 2, 2, 2));  // slot 1 is held: slot 0
    EXPECT_EQ(50u, header.length(0));
    EXPECT_EQ(0u, header.length(1));
    EXPECT_EQ(1u, header.next_slot());  // still names the slot not written

    tovi_test::child_process holder0("hold_slot", {name, "0"});
    ASSERT_TRUE(
        tovi_test::wait_until([&] { return held_elsewhere(slot0); }, std::chrono::seconds(30)));
    toviipc_shm_reader* reader = nullptr;
    ASSERT_EQ(TOVIIPC_SHM_OK, toviipc_shm_open(name.c_str(), &reader));
    char copy[100];
    toviipc_shm_data read;
    EXPECT_EQ(TOVIIPC_SHM_BUSY, toviipc_shm_read(reader, copy, sizeof(copy), &read));
    const std::string before = header.bytes();
    EXPECT_FALSE(block.write(data.data(), 70, 3, 3, 3, 3, 3));
    EXPECT_EQ(before, header.bytes());

    // A reader killed while holding a slot does not stop the writer.
    holder1.kill();
    EXPECT_TRUE(block.write(data.data(), 70, 4, 4, 4, 4, 4));
    ASSERT_EQ(TOVIIPC_SHM_OK, toviipc_shm_read(reader, copy, sizeof(copy), &read));
    EXPECT_EQ(1u, read.slot);
    EXPECT_EQ(4u, read.info[0]);
    holder0.kill();
    EXPECT_TRUE(block.write(data.data(), 80, 5, 5, 5, 5, 5));
    EXPECT_EQ(70u, header.length(1));
    EXPECT_EQ(80u, header.length(0));
    EXPECT_FALSE(held_elsewhere(slot0));  // each abandoned mutex was released by its write
    EXPECT_FALSE(held_elsewhere(slot1));
    toviipc_shm_close(reader);
    CloseHandle(slot0);
    CloseHandle(slot1);
}
