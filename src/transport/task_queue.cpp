// A worker thread that runs posted tasks one at a time, in posting order.
#include "transport/task_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <list>
#include <mutex>
#include <system_error>

#include "log/log.h"
#include "log/utf8_to_utf16.h"

#include "transport/thread_role.h"

namespace {
// How long a worker that has just run tasks looks for the next one before it sleeps, when the
// last one came that soon. Tasks come in trains (a reply follows a request, a burst of
// messages): a worker found awake starts the next one without the cost of waking a sleeping
// thread, and a worker whose tasks come further apart does not burn a core looking.
constexpr std::chrono::microseconds busy_look{50};
}  // namespace

struct task_queue::shared_state {
    std::atomic<bool> stop{false};
    std::atomic<bool> posted{false};  // tasks are queued; looked at without the lock
    // Guards tasks. A leaf: held only to append or to exchange the list. A plain mutex and
    // condition: a wake-up is then one futex call, with no internal lock to contend for.
    std::mutex lock;
    std::condition_variable wake;
    std::list<task> tasks;
};

task_queue::task_queue() : state_(std::make_shared<shared_state>()) {
    try {
        worker_ = std::thread(&task_queue::run_tasks, state_);
        worker_id_ = worker_.get_id();
    } catch (const std::system_error& error) {
        state_->stop = true;
        log_error(L"task_queue::task_queue create thread failed: %s",
                  utf8_to_utf16(error.what(), -1).c_str());
    }
}

task_queue::~task_queue() {
    stop_tasks();
}

bool task_queue::is_running() const {
    return worker_id_ != std::thread::id() && !state_->stop;
}

void task_queue::post_task(task work) {
    if (state_->stop) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->tasks.push_back(std::move(work));
        state_->posted.store(true, std::memory_order_release);
    }
    state_->wake.notify_one();
}

void task_queue::stop_tasks() {
    state_->stop.exchange(true);
    {
        // Taken so that the worker is either before its check of the stop flag or already
        // waiting: the notification cannot fall in between and be lost.
        std::lock_guard<std::mutex> hold(state_->lock);
    }
    state_->wake.notify_one();
    if (!worker_.joinable()) {
        return;
    }
    if (worker_.get_id() == std::this_thread::get_id()) {
        // Called by a task: the worker ends when the task returns; it holds its own reference
        // to the state.
        worker_.detach();
        return;
    }
    worker_.join();
}

namespace {

// Returns once a task is posted or the queue stops, or after busy_look. It yields between
// looks rather than spinning hard: on a machine with few cores, the thread that is about to post
// may need this one's core.
void look_for_tasks(const std::atomic<bool>& posted, const std::atomic<bool>& stop) {
    const auto until = std::chrono::steady_clock::now() + busy_look;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (posted.load(std::memory_order_acquire) || stop) {
                return;
            }
            std::this_thread::yield();
        }
        if (std::chrono::steady_clock::now() >= until) {
            return;
        }
    }
}

}  // namespace

void task_queue::run_tasks(const std::shared_ptr<shared_state>& state) {
    using clock = std::chrono::steady_clock;
    tovi::set_thread_role(tovi::thread_role::task_queue);
    std::list<task> batch;
    bool look = false;  // the last task came within busy_look of the one before
    auto idle_since = clock::now();
    while (!state->stop) {
        if (look) {
            look_for_tasks(state->posted, state->stop);
        }
        {
            std::unique_lock<std::mutex> hold(state->lock);
            state->wake.wait(hold, [&state] { return state->stop || !state->tasks.empty(); });
            batch.swap(state->tasks);
            state->posted.store(false, std::memory_order_relaxed);
        }
        look = !batch.empty() && clock::now() - idle_since < busy_look;
        for (const task& work : batch) {
            if (state->stop) {
                break;
            }
            if (work == nullptr || !*work) {
                continue;
            }
            try {
                (*work)();
            } catch (const std::exception& error) {
                log_error(L"task_queue::run_tasks a task failed: %s",
                          utf8_to_utf16(error.what(), -1).c_str());
            } catch (...) {
                log_error(L"task_queue::run_tasks a task failed");
            }
        }
        if (!batch.empty()) {
            batch.clear();
            idle_since = clock::now();
        }
    }
}
