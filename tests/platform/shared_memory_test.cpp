// Win32 calls only: runs natively against our layer and under Wine against the real API.
// Cross-process cases re-run this executable with --child=ROLE.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform_test_util.h"
#include "support/test_support.h"

using conformance::widen;

namespace {

constexpr DWORD one_mib = 1024 * 1024;

HANDLE create_mapping(const std::string& name, DWORD size) {
    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                              widen(name).c_str());
}

HANDLE create_mutex(const std::string& name) {
    return CreateMutexW(nullptr, FALSE, widen(name).c_str());
}

}  // namespace

TOVI_CHILD_ROLE(write_mapping) {
    HANDLE mapping = create_mapping(arguments.at(0), one_mib);
    if (mapping == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
        return 2;
    }
    auto* view =
        static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 65536, 65536));
    if (view == nullptr || std::strcmp(view, "from the parent") != 0) {
        return 3;
    }
    std::strcpy(view + 100, "from the child");
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return 0;
}

TOVI_CHILD_ROLE(try_mutex) {
    HANDLE mutex = create_mutex(arguments.at(0));
    const DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
    return result == WAIT_TIMEOUT ? 0 : 1;
}

TOVI_CHILD_ROLE(take_mutex_and_exit) {
    static HANDLE mutex = create_mutex(arguments.at(0));  // never closed: the process exits
    return WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 ? 0 : 1;  // still holding it
}

TEST(file_mapping, a_new_mapping_is_zero_filled_and_views_at_granularity_offsets_share_it) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    EXPECT_EQ(65536u, system.dwAllocationGranularity);  // as the shared-memory layout has it
    const std::string name = tovi_test::unique_name("tovi_map");
    HANDLE mapping = create_mapping(name, 4 * 65536);
    ASSERT_NE(nullptr, mapping);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    auto* whole =
        static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, whole);
    for (DWORD i = 0; i < 4 * 65536; i += 4093) {
        ASSERT_EQ(0, whole[i]) << i;
    }
    auto* third = static_cast<char*>(
        MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 2 * 65536, 65536));
    ASSERT_NE(nullptr, third);
    third[5] = 'z';
    EXPECT_EQ('z', whole[2 * 65536 + 5]);
    SetLastError(0);
    EXPECT_EQ(nullptr, MapViewOfFile(mapping, FILE_MAP_READ, 0, 4096, 4096));  // not aligned
    EXPECT_NE(0u, GetLastError());
    EXPECT_TRUE(UnmapViewOfFile(third));
    EXPECT_TRUE(UnmapViewOfFile(whole));
    CloseHandle(mapping);
}

// A second create opens the mapping as it is. The handles left after the first closed keep the
// object whole; the name goes with the last handle.
TEST(file_mapping, an_existing_mapping_is_opened_as_it_is_and_goes_with_its_last_handle) {
    const std::string name = tovi_test::unique_name("tovi_map");
    HANDLE first = create_mapping(name, one_mib);
    ASSERT_NE(nullptr, first);
    auto* view = static_cast<char*>(MapViewOfFile(first, FILE_MAP_WRITE, 0, 0, 16));
    std::strcpy(view, "kept");
    HANDLE second = create_mapping(name, 2 * one_mib);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    UnmapViewOfFile(view);
    CloseHandle(first);
    auto* again = static_cast<char*>(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(nullptr, again);
    EXPECT_STREQ("kept", again);
    // Nothing lies beyond the first size.
    EXPECT_EQ(nullptr, MapViewOfFile(second, FILE_MAP_READ, 0, one_mib, 65536));
    UnmapViewOfFile(again);
    HANDLE opened = OpenFileMappingW(FILE_MAP_READ, FALSE, widen(name).c_str());
    ASSERT_NE(nullptr, opened);
    CloseHandle(second);
    CloseHandle(opened);
    EXPECT_FAILS_WITH(ERROR_FILE_NOT_FOUND, nullptr,
                      OpenFileMappingW(FILE_MAP_READ, FALSE, widen(name).c_str()));
}

TEST(file_mapping, two_processes_see_the_same_bytes) {
    const std::string name = tovi_test::unique_name("tovi_map");
    HANDLE mapping = create_mapping(name, one_mib);
    ASSERT_NE(nullptr, mapping);
    auto* view =
        static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    std::strcpy(view + 65536, "from the parent");
    tovi_test::child_process child("write_mapping", {name});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(0, child.wait(std::chrono::seconds(60)));
    EXPECT_STREQ("from the child", view + 65536 + 100);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

// Also through a second handle that a second create opened.
TEST(named_mutex, is_reentrant_for_its_owner_and_busy_for_another_thread_and_process) {
    const std::string name = tovi_test::unique_name("tovi_mtx");
    HANDLE mutex = create_mutex(name);
    ASSERT_NE(nullptr, mutex);
    HANDLE second = create_mutex(name);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, INFINITE));
    DWORD other_thread = 0;
    std::thread([&] { other_thread = WaitForSingleObject(second, 0); }).join();
    EXPECT_EQ(WAIT_TIMEOUT, other_thread);
    tovi_test::child_process child("try_mutex", {name});
    EXPECT_EQ(0, child.wait(std::chrono::seconds(60)));
    EXPECT_TRUE(ReleaseMutex(mutex));
    std::thread([&] { other_thread = WaitForSingleObject(second, 0); }).join();
    EXPECT_EQ(WAIT_TIMEOUT, other_thread);  // still held once
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FAILS_WITH(ERROR_NOT_OWNER, FALSE, ReleaseMutex(mutex));
    CloseHandle(second);
    CloseHandle(mutex);
}

TEST(named_mutex, a_mutex_left_by_an_exited_owner_process_is_abandoned_to_the_next_waiter) {
    const std::string name = tovi_test::unique_name("tovi_mtx");
    HANDLE mutex = create_mutex(name);
    ASSERT_NE(nullptr, mutex);
    tovi_test::child_process child("take_mutex_and_exit", {name});
    ASSERT_EQ(0, child.wait(std::chrono::seconds(60)));
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 30000));
    DWORD other_thread = 0;
    std::thread([&] { other_thread = WaitForSingleObject(mutex, 0); }).join();
    EXPECT_EQ(WAIT_TIMEOUT, other_thread);  // the waiter owns it now
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
