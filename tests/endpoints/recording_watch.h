// Observers that record what an endpoint reports, with the thread each report came on.
#pragma once

#include <string>

#include "endpoints/ipc_client_watch.h"
#include "endpoints/ipc_server_watch.h"
#include "support/event_log.h"
#include "transport/timing.h"

// Endpoints made while one lives beat every 250 ms (a silent link goes after 750 to 1,000 ms),
// wait 300 ms for an answer to a goodbye, and give up a full queue or a stalled drain after
// 300 ms: the waits that tests of those limits would otherwise spend in real seconds. As the
// first base of a fixture, it is made before the fixture's endpoints.
struct short_waits {
    static constexpr uint32_t beat_ms = 250;
    short_waits() {
        tovi::timing limits;
        limits.heart_beat_interval_ms = beat_ms;
        limits.exit_answer_wait_ms = 300;
        limits.send_wait_ms = 300;
        limits.drain_stall_ms = 300;
        tovi::set_timing(limits);
    }
    ~short_waits() { tovi::set_timing(tovi::timing()); }
};

class recording_client_watch : public tovi::ipc_client_watch, public tovi_test::event_log {
  public:
    void on_recv_data(const char* data, int32_t length, bool) override {
        add("data", "", std::string(data, static_cast<size_t>(length)));
    }
    void on_disconnect() override { add("disconnect"); }
};

class recording_server_watch : public tovi::ipc_server_watch, public tovi_test::event_log {
  public:
    void on_recv_data(const char* id, const char* data, int32_t length, bool) override {
        add("data", id, std::string(data, static_cast<size_t>(length)));
    }
    void on_client_connect(const char* id, const tovi_platform::peer_identity&) override {
        add("connect", id);
    }
    void on_client_disconnect(const char* id) override { add("disconnect", id); }
};
