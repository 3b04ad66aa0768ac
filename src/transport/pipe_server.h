// tovi::pipe_server: the server side of the transport, which knows links and frames.
//
// It serves one pipe name and keeps listen_instances instances waiting for clients; each
// client that connects is wrapped in a pipe_connection (a link), kept, and its instance
// replaced before the link is handed over, so the name is never unserved. It hands every frame
// a link receives to its link_watch, counts the links' silence at each heart beat (a timer of
// the loop) and drops those silent for longer than the limit, and takes out every link that
// leaves: broken, dropped by its owner or silent. What the frames mean (records, client ids)
// is the owner's business (the server endpoint). The server claims its name: the first instance
// is created as the name's first instance, so start_server fails when anybody else serves it,
// and no instance accepts remote clients.
//
// Threads: caller threads run start_server, stop_server and drop; the event-loop thread
// accepts, receives, counts and takes links out, and makes every call of the link_watch. So
// on_link_left comes after every on_link_frame of that link, and none follows it.
//
// Locks: the link table's lock is a leaf, never held while a link is sent to, closed or
// reported. heart_beat_lock_ guards the heart-beat timer. The two are never held together.
//
// Links are known by address and generation (link_table.h), so that work posted for a link
// never takes a new link at a recycled address for it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "transport/heart_beat_callback.h"
#include "transport/link_counters.h"
#include "transport/link_table.h"
#include "transport/pipe_handler_async.h"
#include "transport/pipe_receiver.h"
#include "transport/timing.h"

namespace tovi {

class heart_beat_timer;
class pipe_connection;

// What a pipe server tells its owner about its links; every call on the event-loop thread.
class link_watch {
  public:
    // A client's link was accepted: before any other call for it. The owner may set the
    // link's owner_state here. False: the link is not taken (its client sees the pipe end).
    virtual bool on_link_open(pipe_connection* link) = 0;
    // One payload the link received (data valid during the call), unless the link was
    // dropped. False says the link is leaving: it stops reading and leaves as a broken link
    // does.
    virtual bool on_link_frame(pipe_connection* link, const char* data, int32_t length) = 0;
    // The link has left the server (broken, dropped or silent) and is closing; what was queued
    // for it still drains. The last call for the link.
    virtual void on_link_left(pipe_connection* link) = 0;

  protected:
    ~link_watch() = default;
};

class pipe_server final : public pipe_receiver, public heart_beat_callback {
  public:
    // Instances waiting for a client at any time, so that clients starting together each find
    // one.
    static constexpr size_t listen_instances = 4;

    pipe_server();
    // Stops every thread; the owner calls stop_server first.
    ~pipe_server();
    pipe_server(const pipe_server&) = delete;
    pipe_server& operator=(const pipe_server&) = delete;

    // Opens the instances of "\\.\pipe\" + name and starts the heart beat. True only when the
    // server listens on the name; false, with an error line, when the name is empty or served
    // already, or no instance can wait for a client. Once per object.
    // endpoint: the totals that take in every link's counts (link_counters.h), or null.
    bool start_server(const std::string& name, link_watch* watch, const timing& limits,
                      endpoint_counters* endpoint = nullptr);

    // Stops taking clients, then hands every link to farewell (which may queue a last frame
    // for it) and closes it gracefully (what was queued drains, bounded), without telling the
    // watch; stops the heart beat and the event loop. Not on the loop thread.
    void stop_server(const std::function<void(pipe_connection&)>& farewell);

    // The owner lets go of the link: nothing more of it is handed to the watch, and it leaves
    // once the loop gets to it (on_link_left). Any thread.
    void drop(pipe_connection* link);

    // Runs work on the loop thread, after the dispatch in progress. Any thread.
    bool post(std::function<void()> work) { return loop_.post(std::move(work)); }
    // Calls visit for every link the server holds, without its lock. Loop thread.
    void for_each_link(const std::function<void(pipe_connection&)>& visit);
    bool is_loop_thread() const { return loop_.is_current_thread(); }
    // The loop, for a host thread that runs it as its guest (pipe_handler_async.h).
    pipe_handler_async& loop() { return loop_; }

    bool on_pipe_recv_data(pipe_connection* connection, const char* data, int32_t length) override;
    void on_pipe_disconnect(pipe_connection* connection) override;
    bool on_heart_beat() override;

  private:
    class listen_instance;

    // Loop thread, each.
    bool add_listen_pipe(bool first_instance);
    void on_instance_event(listen_instance* instance);
    void on_instance_connected(listen_instance* instance);
    void close_instance(listen_instance* instance);
    std::shared_ptr<listen_instance> take_instance(listen_instance* instance);
    // A link leaves on the loop thread: it is taken out, closed once what was queued for it
    // has drained, and reported to the watch.
    void post_leave(link_ref link);
    void on_leave(link_ref link);
    void stop_heart_beat();

    std::string pipe_name_;
    link_watch* watch_ = nullptr;
    timing limits_;
    endpoint_counters* endpoint_counters_ = nullptr;
    link_table links_;
    std::vector<std::shared_ptr<listen_instance>> instances_;  // loop thread
    bool closing_instances_ = false;                           // loop thread: stop_server has begun
    CRITICAL_SECTION heart_beat_lock_;
    heart_beat_timer* heart_beat_ = nullptr;  // heart_beat_lock_
    pipe_handler_async loop_;
};

}  // namespace tovi
