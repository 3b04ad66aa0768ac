#include "transport/pipe_handler_async.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/pipe_test_util.h"
#include "support/test_support.h"

namespace {

using tovi_test::wait_until;
using namespace std::chrono_literals;

// Owns the server end of a pipe: reads through the loop, records each completion and the
// thread it came on, and on stop cancels its read and detaches once the read is back.
class reading_owner : public tovi::pipe_handler_listener {
  public:
    reading_owner(tovi::pipe_handler_async* loop, HANDLE pipe) : loop_(loop), pipe_(pipe) {
        read_.listener = this;
    }
    ~reading_owner() {
        destroyed_inside_dispatch = in_dispatch_;
        CloseHandle(pipe_);
    }
    void read() {  // on the loop thread; a read that finishes at once queues no packet
        for (;;) {
            read_.reset();
            DWORD n = 0;
            if (!ReadFile(pipe_, buffer_, sizeof(buffer_), &n, &read_.overlapped)) {
                pending_ = GetLastError() == ERROR_IO_PENDING;
                return;
            }
            record(n);
        }
    }
    void on_handle_event(HANDLE key) override {
        in_dispatch_ = true;
        pending_ = false;
        DWORD n = 0;
        if (key == read_.key() && GetOverlappedResult(pipe_, &read_.overlapped, &n, FALSE)) {
            record(n);
            read();
        }
        if (stopping_ && !pending_) {
            loop_->detach(pipe_);  // released after this dispatch, not inside it
        }
        in_dispatch_ = false;
    }
    void on_loop_stopping() override {
        stopping_ = true;
        CancelIoEx(pipe_, nullptr);
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> lock(lock_);
        return received_;
    }
    std::vector<DWORD> threads() {
        std::lock_guard<std::mutex> lock(lock_);
        return threads_;
    }
    static bool destroyed_inside_dispatch;

  private:
    void record(DWORD n) {
        std::lock_guard<std::mutex> lock(lock_);
        received_.emplace_back(buffer_, n);
        threads_.push_back(GetCurrentThreadId());
    }
    tovi::pipe_handler_async* loop_;
    HANDLE pipe_;
    tovi::io_record read_;
    char buffer_[64];
    bool pending_ = false;
    bool stopping_ = false;
    bool in_dispatch_ = false;
    std::mutex lock_;
    std::vector<std::string> received_;
    std::vector<DWORD> threads_;
};
bool reading_owner::destroyed_inside_dispatch = false;

// A loop, and a connected pipe for the cases that need one.
class pipe_handler_async : public conformance::connected_pipe {};

}  // namespace

TEST_F(pipe_handler_async, runs_posted_work_and_timers_in_order_on_one_thread_started_on_demand) {
    tovi::pipe_handler_async loop;
    EXPECT_FALSE(loop.is_running());
    std::mutex lock;
    std::vector<int> order;
    std::vector<DWORD> threads;
    const auto note = [&](int n) {
        std::lock_guard<std::mutex> hold(lock);
        order.push_back(n);
        threads.push_back(GetCurrentThreadId());
    };
    ASSERT_TRUE(loop.post_after(100, [&] { note(4); }));
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(loop.post([&, i] { note(i); }));
    }
    EXPECT_TRUE(loop.call([&] { note(0); }));  // returns once it ran
    ASSERT_TRUE(wait_until(
        [&] {
            std::lock_guard<std::mutex> hold(lock);
            return order.size() == 5;
        },
        30s));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 0, 4}), order);
    for (DWORD thread : threads) {
        EXPECT_EQ(threads[0], thread);
        EXPECT_NE(GetCurrentThreadId(), thread);
    }
}

TEST_F(pipe_handler_async, completes_io_on_its_thread_and_stops_once_every_owner_has_finished) {
    HANDLE server = server_;  // the owner closes it
    server_ = INVALID_HANDLE_VALUE;
    reading_owner::destroyed_inside_dispatch = true;
    {
        tovi::pipe_handler_async loop;
        auto owner = std::make_shared<reading_owner>(&loop, server);
        ASSERT_TRUE(loop.attach(server, owner));
        EXPECT_FALSE(loop.attach(INVALID_HANDLE_VALUE, owner));
        ASSERT_TRUE(loop.post([owner] { owner->read(); }));
        ASSERT_TRUE(conformance::write_all(client_, "one", 3));
        ASSERT_TRUE(wait_until([&] { return owner->received().size() == 1; }, 30s));
        ASSERT_TRUE(conformance::write_all(client_, "two", 3));
        ASSERT_TRUE(wait_until([&] { return owner->received().size() == 2; }, 30s));
        EXPECT_EQ((std::vector<std::string>{"one", "two"}), owner->received());
        EXPECT_NE(GetCurrentThreadId(), owner->threads()[0]);
        EXPECT_EQ(owner->threads()[0], owner->threads()[1]);
        std::weak_ptr<reading_owner> watch = owner;
        owner.reset();
        EXPECT_EQ(1u, loop.attached_count());  // the loop keeps its owner
        loop.stop_thread();
        EXPECT_EQ(0u, loop.attached_count());
        EXPECT_TRUE(watch.expired());
    }
    EXPECT_FALSE(reading_owner::destroyed_inside_dispatch);
}
