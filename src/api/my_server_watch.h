// Turns a server's events into calls of the host's server callbacks. Holds the host's table
// without copying or owning it; a null table or entry drops the event. No lock, no state.
#pragma once

#include "endpoints/ipc_server_watch.h"
#include "toviipc.h"

class my_server_watch final : public tovi::ipc_server_watch {
  public:
    explicit my_server_watch(const ipc_server_callbacks* callbacks) : callbacks_(callbacks) {}

    void on_recv_data(const char* client_id, const char* data, int32_t length, bool) override {
        if (callbacks_ != nullptr && callbacks_->on_recv_data != nullptr) {
            callbacks_->on_recv_data(client_id, data, length);
        }
    }
    void on_client_connect(const char* client_id, const tovi_platform::peer_identity&) override {
        if (callbacks_ != nullptr && callbacks_->on_client_connect != nullptr) {
            callbacks_->on_client_connect(client_id);
        }
    }
    void on_client_disconnect(const char* client_id) override {
        if (callbacks_ != nullptr && callbacks_->on_client_disconnect != nullptr) {
            callbacks_->on_client_disconnect(client_id);
        }
    }

  private:
    const ipc_server_callbacks* const callbacks_;
};
