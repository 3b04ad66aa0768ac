// Observers that record what an endpoint reports, with the thread each report came on.
#pragma once

#include <string>

#include "endpoints/ipc_client_watch.h"
#include "endpoints/ipc_server_watch.h"
#include "support/event_log.h"

class recording_client_watch : public tovi::ipc_client_watch, public tovi_test::event_log {
  public:
    void on_recv_data(const char* data, int32_t length) override {
        add("data", "", std::string(data, static_cast<size_t>(length)));
    }
    void on_disconnect() override { add("disconnect"); }
};

class recording_server_watch : public tovi::ipc_server_watch, public tovi_test::event_log {
  public:
    void on_recv_data(const char* id, const char* data, int32_t length) override {
        add("data", id, std::string(data, static_cast<size_t>(length)));
    }
    void on_client_connect(const char* id) override { add("connect", id); }
    void on_client_disconnect(const char* id) override { add("disconnect", id); }
};
