// What an endpoint reported to its host, in order, with the thread each report came on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovi_test {

struct event {
    std::string kind;  // "data", "connect", "disconnect"
    std::string client_id;
    std::string data;
    std::thread::id thread;
};

// Thread-safe: the library's threads add, the test reads and waits.
class event_log {
  public:
    // Records a report made on the calling thread.
    void add(const std::string& kind, const std::string& client_id = "",
             const std::string& data = "") {
        {
            std::lock_guard<std::mutex> hold(lock_);
            events_.push_back({kind, client_id, data, std::this_thread::get_id()});
        }
        changed_.notify_all();
    }
    std::vector<event> all() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    std::vector<event> of_kind(const std::string& kind) {
        std::vector<event> out;
        for (event& e : all()) {
            if (e.kind == kind) {
                out.push_back(std::move(e));
            }
        }
        return out;
    }
    size_t count(const std::string& kind) { return of_kind(kind).size(); }
    // Waits until at least n events of the kind (of any kind for "") have come.
    bool wait_for(const std::string& kind, size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, timeout, [&] {
            size_t found = 0;
            for (const event& e : events_) {
                found += kind.empty() || e.kind == kind ? 1 : 0;
            }
            return found >= n;
        });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<event> events_;
};

}  // namespace tovi_test
