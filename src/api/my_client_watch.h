// Turns a client's events into calls of the host's client callbacks. Holds the host's table
// without copying or owning it; a null table or entry drops the event. No lock, no state.
#pragma once

#include "endpoints/ipc_client_watch.h"
#include "toviipc.h"

class my_client_watch final : public tovi::ipc_client_watch {
  public:
    explicit my_client_watch(const ipc_client_callbacks* callbacks) : callbacks_(callbacks) {}

    void on_recv_data(const char* data, int32_t length, bool) override {
        if (callbacks_ != nullptr && callbacks_->on_recv_data != nullptr) {
            callbacks_->on_recv_data(data, length);
        }
    }
    void on_disconnect() override {
        if (callbacks_ != nullptr && callbacks_->on_disconnect != nullptr) {
            callbacks_->on_disconnect();
        }
    }

  private:
    const ipc_client_callbacks* const callbacks_;
};
