// The waits and limits of links and endpoints, in one place that tests can shorten.
//
// Every value has its default here, the one a host gets. An endpoint copies the timing in force
// when it is made (current_timing) and hands it to what it creates, so a test that shortens the
// heart beat or a drain (set_timing, before it makes its endpoints) does so for its own
// endpoints only, and a change never reaches an endpoint in the middle of its life. The clock of
// every wait is the monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace tovi {

using clock = std::chrono::steady_clock;

struct timing {
    // A client beats, and a server counts its links, every heart_beat_interval_ms; a link from
    // which no frame came for more than silent_beats counts is dropped (12 to 15 s).
    uint32_t heart_beat_interval_ms = 3000;
    uint32_t silent_beats = 3;
    // A client's connect tries for a free instance of the server's pipe this long.
    uint32_t connect_wait_ms = 300;
    // disconnect waits this long for the server to close its end after the goodbye.
    uint32_t exit_answer_wait_ms = 3000;
    // A host thread's send waits this long for room in a full send queue.
    uint32_t send_wait_ms = 3000;
    // A host thread that runs ahead of its reader waits this long for the reader's next take.
    uint32_t pace_wait_ms = 50;
    // A graceful close drains while the peer takes something every drain_stall_ms, and for
    // drain_limit_ms at most.
    uint32_t drain_stall_ms = 5000;
    uint32_t drain_limit_ms = 30000;
    // A link whose writes fail waits this long for its read side to end it.
    uint32_t write_failure_grace_ms = 1000;
};

// The timing that endpoints made from now on take. Any thread.
timing current_timing();
// For tests: endpoints made from now on take this timing (the defaults until it is called).
void set_timing(const timing& values);

}  // namespace tovi
