// A worker thread that calls a heart_beat_callback at a fixed interval until it is stopped.
//
// The first beat comes one interval after start, each later one an interval after the
// previous callback returned; no beat follows the exit signal. The client endpoint and the
// pipe server each own one, with an interval of 3000 ms.
//
// Ownership: the sender does not own the callback, which must outlive the sender's thread
// (stop_thread or the destructor ends it). start and stop_thread are called by the owner from
// one thread at a time, never from inside on_heart_beat.
#pragma once

#include <cstdint>

#include "transport/heart_beat_callback.h"
#include "transport/thread_base.h"

namespace win {

class heart_beat_sender final : public thread_base {
  public:
    // Does not start the thread.
    heart_beat_sender(heart_beat_callback* callback, uint32_t interval_ms);
    // Stops the thread: returns after a callback in progress has returned.
    ~heart_beat_sender();

    // Starts the thread unless it is running. True when it runs; false, with an error line,
    // when it could not be started.
    bool start();

  protected:
    void on_thread_run() override;

  private:
    const uint32_t interval_ms_;
    heart_beat_callback* const callback_;
};

}  // namespace win
