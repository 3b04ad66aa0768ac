// The server side of one pipe name in this process: the listening socket shared by every
// instance that CreateNamedPipeW made for the name, the handshake with each arriving client,
// and the hand-over of accepted clients to free instances.
//
// Lock order: the registry lock (process-wide, in pipe_listener.cpp), then a listener's lock_,
// then a pipe end's io_lock_.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/posix/reactor.h"

namespace tovi_posix {

class pipe_end;
class handshake_connection;
class handshake_timer;

class pipe_listener : public reactor_source {
  public:
    // A client that connects must send its request byte within this time; a half-open socket
    // that never does is closed then.
    static constexpr uint32_t handshake_deadline_ms = 3000;

    // Adds a new instance for the key: binds the name when this process does not serve it yet.
    // Fails with ERROR_ACCESS_DENIED when first_instance is asked for a name already served, or
    // when another process serves the name; with ERROR_PIPE_BUSY beyond max_instances.
    static pipe_end* create_instance(const std::string& key, DWORD max_instances,
                                     bool first_instance, DWORD access);

    // An instance's handle was closed: it leaves the listener, and the name is released when
    // no instance is left.
    void remove_instance(pipe_end* instance);

    // An instance started waiting for a client (ConnectNamedPipe).
    void instance_waiting(pipe_end* instance);

    void on_ready(uint32_t events) override;

    // Called by a handshake connection on the reactor thread once its request byte arrived,
    // or when it ended; the listener finishes the handshake.
    void on_request(handshake_connection* connection, int request);

  private:
    friend class handshake_connection;
    friend class handshake_timer;
    explicit pipe_listener(std::string key);
    ~pipe_listener() override;

    // Each REQUIRES lock_.
    pipe_end* free_instance() const;
    void answer_waiters();
    void drop_connection(handshake_connection* connection);
    // Arms the deadline for the oldest handshake without its request byte, or disarms it.
    void arm_handshake_timer();
    void expire_handshakes();
    void shut_down();

    const std::string key_;
    DWORD max_instances_ = 0;
    std::mutex lock_;
    int fd_ = -1;
    // Not owned; they remove themselves. Instances are free until a client is attached, then
    // connected for good, so that finding a free one never walks the connected ones.
    std::vector<pipe_end*> instances_;
    std::unordered_set<pipe_end*> connected_;
    std::vector<handshake_connection*> connections_;  // owned references
    handshake_timer* timer_ = nullptr;                // owned reference, made when first needed
};

}  // namespace tovi_posix
