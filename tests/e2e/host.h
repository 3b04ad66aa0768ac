// Test hosts: a server and a client driven through include/toviipc.h, recording every event
// they receive, with the thread it arrived on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "support/event_log.h"
#include "toviipc.h"

namespace e2e {

using tovi_test::event;
using tovi_test::event_log;

class server_host {
  public:
    // callbacks_mask: bit 0 on_recv_data, bit 1 on_client_connect, bit 2 on_client_disconnect.
    explicit server_host(unsigned callbacks_mask = 7);
    ~server_host() { release(); }

    ipc_server_functions f{};
    ipc_handle* handle = nullptr;
    event_log events;
    // Sent back to the sender of every message when set.
    std::atomic<bool> echo{false};
    // Called on every message after it is recorded (set before start). Messages are not
    // recorded when record_data is false, for long runs.
    std::function<void(const char* id, const char* data, int32_t length)> on_data_hook;
    std::atomic<bool> record_data{true};
    // Called on every client connect and disconnect, before it is recorded (set before start).
    std::function<void(const char* id)> on_connect_hook;
    std::function<void(const char* id)> on_disconnect_hook;

    bool start(const std::string& name) { return f.start(handle, name.c_str()) != 0; }
    void stop() { f.stop(handle); }
    bool send_string(const std::string& id, const std::string& text);
    bool send_bytes(const std::string& id, const std::string& bytes);
    void release();

    // Called by the callbacks of this host's slot.
    void on_data(const char* id, const char* data, int32_t length);
    void on_connect(const char* id);
    void on_disconnect(const char* id);

  private:
    int slot_ = -1;
};

// The C callbacks carry no context, so every host takes a slot with callbacks of its own; a
// process holds at most 512 client hosts and 8 server hosts at a time.
class client_host {
  public:
    explicit client_host(bool with_callbacks = true);
    ~client_host() { release(); }

    ipc_client_functions f{};
    ipc_handle* handle = nullptr;
    event_log events;
    // Every message counts here; it is recorded as an event only while record_data is true,
    // and then handed to on_data_hook when one is set (set it before connect).
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<bool> record_data{true};
    std::function<void(const char* data, int32_t length)> on_data_hook;

    bool connect(const std::string& name, const std::string& id) {
        return f.connect(handle, name.c_str(), id.c_str()) != 0;
    }
    void disconnect() { f.disconnect(handle); }
    bool send_string(const std::string& text);
    bool send_bytes(const std::string& bytes);
    void release();

    void on_data(const char* data, int32_t length);
    void on_disconnect();

  private:
    int slot_ = -1;
};

// Connects, trying again until the time-out: when several clients wait for the one listening
// instance, only one of them gets it and the others wait for the next (each attempt waits at
// most 300 ms).
bool connect_within(client_host& client, const std::string& name, const std::string& id,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace e2e
