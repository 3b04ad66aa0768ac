// The reactor: one thread per process that finishes the I/O that could not finish at once.
//
// Sources (pipe ends, listening sockets, connections in their handshake) register a socket;
// the reactor thread calls their on_ready when the socket becomes ready in a direction the
// source asked for (edge-triggered: a source that stopped at EAGAIN hears of the next change).
// A source must therefore drain its socket as far as its pending operations allow each time
// it is called.
//
// Lifetime: the reactor holds a reference to every registered source, and keeps it after
// remove() until the dispatch pass that might still name the source has ended, so a source is
// never destroyed under its own on_ready.
#pragma once

#include <cstdint>

#include "platform/posix/kernel_object.h"

namespace tovi_posix {

class reactor_source : public kernel_object {
  public:
    using kernel_object::kernel_object;
    // Runs on the reactor thread with no lock of the reactor held. events holds EPOLL* bits.
    // Also run by a waiting thread that polls the source's socket itself (see waitable.h).
    virtual void on_ready(uint32_t events) = 0;

    // A waiting thread takes over (true) or gives back (false) the watch on the readable side
    // of the source's socket. While some thread has taken it over, the reactor need not watch
    // it. Called without wait_lock() held.
    virtual void set_polled(bool polled) { (void)polled; }
};

namespace reactor {

// The readiness the reactor watches (EPOLL* bits), edge-triggered; by default both directions.
constexpr uint32_t edge_triggered = 1u << 31;     // ET
constexpr uint32_t readable_side = 0x1 | 0x2000;  // IN, RDHUP
constexpr uint32_t writable_side = 0x4;           // OUT
constexpr uint32_t both_directions = edge_triggered | readable_side | writable_side;

// Registers the socket of a source for the given readiness (EPOLL* bits). The thread starts
// with the first registration and runs until the process ends. Returns false with the last
// error set when the socket cannot be registered.
bool add(int fd, reactor_source* source, uint32_t events = both_directions);

// Changes the readiness watched for a registered socket. A change that adds a direction that
// is ready already reports it at once.
void modify(int fd, reactor_source* source, uint32_t events);

// Unregisters the socket; the reactor's reference to the source goes after the current
// dispatch pass. Callable from any thread, the reactor's own included.
void remove(int fd, reactor_source* source);

// True on the reactor thread.
bool on_reactor_thread();

}  // namespace reactor
}  // namespace tovi_posix
