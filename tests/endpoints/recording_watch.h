// Observers that record what an endpoint reports, with the thread each report came on.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "endpoints/ipc_client_watch.h"
#include "endpoints/ipc_server_watch.h"

struct report {
    std::string kind;  // "data", "connect", "disconnect"
    std::string client_id;
    std::string data;
    std::thread::id thread;
};

class report_log {
  public:
    void add(report r) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            reports_.push_back(std::move(r));
        }
        changed_.notify_all();
    }
    std::vector<report> all() {
        std::lock_guard<std::mutex> lock(lock_);
        return reports_;
    }
    size_t count(const std::string& kind) {
        std::lock_guard<std::mutex> lock(lock_);
        size_t n = 0;
        for (const report& r : reports_)
            n += r.kind == kind ? 1 : 0;
        return n;
    }
    bool wait_for(const std::string& kind, size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, timeout, [&] {
            size_t found = 0;
            for (const report& r : reports_)
                found += r.kind == kind ? 1 : 0;
            return found >= n;
        });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<report> reports_;
};

class recording_client_watch : public tovi::ipc_client_watch, public report_log {
  public:
    void on_recv_data(const char* data, int32_t length) override {
        add({"data", "", std::string(data, static_cast<size_t>(length)),
             std::this_thread::get_id()});
    }
    void on_disconnect() override { add({"disconnect", "", "", std::this_thread::get_id()}); }
};

class recording_server_watch : public tovi::ipc_server_watch, public report_log {
  public:
    void on_recv_data(const char* id, const char* data, int32_t length) override {
        add({"data", id, std::string(data, static_cast<size_t>(length)),
             std::this_thread::get_id()});
    }
    void on_client_connect(const char* id) override {
        add({"connect", id, "", std::this_thread::get_id()});
    }
    void on_client_disconnect(const char* id) override {
        add({"disconnect", id, "", std::this_thread::get_id()});
    }
};
