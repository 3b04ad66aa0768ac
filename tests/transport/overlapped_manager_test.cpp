// The pool of OVERLAPPED records.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/win32.h"
#include "support/test_support.h"
#include "transport/overlapped_manager.h"

using namespace std::chrono_literals;

TEST(overlapped_manager, a_reused_record_keeps_its_event_and_comes_back_zeroed_and_reset) {
    win::overlapped_manager manager;
    std::shared_ptr<OVERLAPPED> first = manager.get_overlapped();
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, first->hEvent);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(first->hEvent, 0));
    OVERLAPPED* const record = first.get();
    const HANDLE event = first->hEvent;
    // As a finished operation leaves it: status, count, offsets and a signalled event.
    first->Internal = 0xC000014B;
    first->InternalHigh = 17;
    first->Offset = 3;
    first->OffsetHigh = 4;
    SetEvent(event);
    first.reset();

    std::shared_ptr<OVERLAPPED> again = manager.get_overlapped();
    ASSERT_EQ(record, again.get());
    EXPECT_EQ(event, again->hEvent);
    EXPECT_EQ(0u, again->Internal);
    EXPECT_EQ(0u, again->InternalHigh);
    EXPECT_EQ(0u, again->Offset);
    EXPECT_EQ(0u, again->OffsetHigh);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
    // The event still works as a manual-reset event.
    SetEvent(event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
}

TEST(overlapped_manager, records_come_back_first_in_first_out) {
    win::overlapped_manager manager;
    std::shared_ptr<OVERLAPPED> a = manager.get_overlapped();
    std::shared_ptr<OVERLAPPED> b = manager.get_overlapped();
    ASSERT_NE(a.get(), b.get());
    OVERLAPPED* const first = a.get();
    OVERLAPPED* const second = b.get();
    a.reset();
    b.reset();
    EXPECT_EQ(first, manager.get_overlapped().get());
    // The record just released went to the back, behind the second.
    std::shared_ptr<OVERLAPPED> next = manager.get_overlapped();
    EXPECT_EQ(second, next.get());
}

TEST(overlapped_manager, a_record_shared_by_two_holders_returns_once_after_both_let_go) {
    win::overlapped_manager manager;
    std::shared_ptr<OVERLAPPED> holder = manager.get_overlapped();
    std::shared_ptr<OVERLAPPED> other = holder;
    OVERLAPPED* const record = holder.get();
    holder.reset();
    std::shared_ptr<OVERLAPPED> while_held = manager.get_overlapped();
    EXPECT_NE(record, while_held.get());
    other.reset();
    std::shared_ptr<OVERLAPPED> reused = manager.get_overlapped();
    EXPECT_EQ(record, reused.get());
    std::shared_ptr<OVERLAPPED> fresh = manager.get_overlapped();
    EXPECT_NE(record, fresh.get()) << "the record was pooled twice";
}

TEST(overlapped_manager, releasing_logs_its_line_and_records_in_use_outlive_the_manager) {
    const std::string root = tovi_test::make_temp_dir("tovi_overlapped");
    const std::string log = root + "/pool.log";
    ASSERT_TRUE(log_open(utf8_to_utf16((root + "\\pool.log").c_str(), -1).c_str()));
    std::shared_ptr<OVERLAPPED> in_use;
    {
        win::overlapped_manager manager;
        manager.release_all_overlappeds();  // empty pool: the line and nothing else
        in_use = manager.get_overlapped();
        manager.get_overlapped();  // released at once: pooled, then freed with the manager
        ASSERT_NE(nullptr, in_use);
    }
    // The manager is gone; the record and its event are still usable, then freed on release.
    SetEvent(in_use->hEvent);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(in_use->hEvent, 0));
    in_use.reset();
    // Once for the explicit call, once from the destructor.
    const std::string line = ":info win::overlapped_manager::release_all_overlappeds\r\n";
    EXPECT_TRUE(tovi_test::wait_until(
        [&] {
            const std::string content = tovi_test::read_file(log);
            const size_t first = content.find(line);
            return first != std::string::npos && content.find(line, first + 1) != std::string::npos;
        },
        10s));
    log_release();
    tovi_test::remove_tree(root);
}
