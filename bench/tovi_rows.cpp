// ToviIPC through include/toviipc.h only, linked as a host links the shared library: one
// endpoint per process, byte streams for every message.
//
// The receiving side answers from inside its data callback (the header allows sends from a
// callback), so no host thread stands between a message and its answer: server callbacks run
// on the server's pipe thread, client callbacks on the client's task thread. For rtt the
// initiator's callback also sends the next ping, as a blocking transport's single thread
// would; for rate and bandwidth the initiator's host thread sends every message and its
// callback takes the acknowledgement.
#include <condition_variable>
#include <functional>
#include <mutex>

#include "bench.h"
#include "toviipc.h"

namespace bench {

namespace {

const char* const client_id = "bench-client";
constexpr int connect_wait_ms = 10000;
// How long a responder waits for the initiator to end the link once the run is over.
constexpr int link_end_wait_ms = 10000;
// Waits for the measure itself are bounded only by the process's watchdog.
constexpr int unbounded_wait_ms = 24 * 3600 * 1000;

// The run of this process. The callbacks carry no context, so it is a single object; fields
// are written by the callbacks (on the library's threads) and read by the host thread under
// lock_, except those marked as the callback thread's own.
struct tovi_run {
    std::string row;
    workload work;
    bool initiator = false;

    // The callback thread's own once the hello is sent.
    bool saw_hello = false;
    int next = 0;  // sequence number expected next
    int64_t sent_at = 0;
    std::vector<char> message;
    std::vector<int64_t> samples;

    std::mutex lock_;
    std::condition_variable changed_;
    bool hello = false;      // the hello arrived
    bool done = false;       // the measure ended, or failed
    bool link_up = false;    // server: the client announced itself
    bool link_down = false;  // the link ended
    std::string error;
    std::string peer;  // server: the client's id
    int64_t finished_at = 0;
};

tovi_run run;
ipc_handle* endpoint = nullptr;
bool endpoint_is_server = false;
ipc_client_functions client_functions{};
ipc_server_functions server_functions{};

void update(const std::function<void()>& change) {
    {
        std::lock_guard<std::mutex> guard(run.lock_);
        change();
    }
    run.changed_.notify_all();
}

// Waits until the condition holds (checked under the lock); false after timeout_ms.
bool wait_for(const std::function<bool()>& condition, int timeout_ms) {
    std::unique_lock<std::mutex> guard(run.lock_);
    return run.changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), condition);
}

void failed(const std::string& what) {
    update([&] {
        if (run.error.empty())
            run.error = what;
        run.done = true;
    });
}

bool send_to(const char* peer, const char* data, size_t size) {
    const auto length = static_cast<tovi_int32>(size);
    return endpoint_is_server ? server_functions.send_bytestream(endpoint, peer, data, length) != 0
                              : client_functions.send_bytestream(endpoint, data, length) != 0;
}

// The initiator's side of every message: the hello starts an rtt chain, each echo sends the
// next ping, the acknowledgement ends a one-way run.
void initiator_receives(const char* peer, const char* data, size_t size) {
    const int64_t arrived = now_ns();
    if (!run.saw_hello) {
        run.saw_hello = true;
        if (!is_hello(data, size))
            return failed("no hello from the responder");
        update([] { run.hello = true; });
    } else if (run.work.kind != measure::rtt) {
        if (!is_ack(data, size, static_cast<uint32_t>(run.work.count)))
            return failed("wrong acknowledgement");
        return update([&] {
            run.finished_at = arrived;
            run.done = true;
        });
    } else {
        if (!is_message(run.work, data, size, static_cast<uint32_t>(run.next)))
            return failed("wrong or missing echo " + std::to_string(run.next));
        if (run.next >= run.work.warmup)
            run.samples.push_back(arrived - run.sent_at);
        if (++run.next == run.work.warmup + run.work.count)
            return update([] { run.done = true; });
    }
    if (run.work.kind == measure::rtt) {
        stamp(run.message.data(), static_cast<uint32_t>(run.next));
        run.sent_at = now_ns();
        if (!send_to(peer, run.message.data(), run.message.size()))
            failed("send failed");
    }
}

// The responder's side: answers the hello, echoes each ping, or counts and acknowledges.
void responder_receives(const char* peer, const char* data, size_t size) {
    if (!run.saw_hello) {
        run.saw_hello = true;
        if (!is_hello(data, size) || !send_to(peer, data, size))
            failed("no hello from the initiator");
        return;
    }
    const int total =
        run.work.kind == measure::rtt ? run.work.warmup + run.work.count : run.work.count;
    if (run.next >= total || !is_message(run.work, data, size, static_cast<uint32_t>(run.next))) {
        return failed("wrong or missing message " + std::to_string(run.next));
    }
    ++run.next;
    if (run.work.kind == measure::rtt) {
        if (!send_to(peer, data, size))
            return failed("echo failed");
    } else if (run.next == total) {
        char ack[control_bytes];
        make_ack(ack, static_cast<uint32_t>(total));
        if (!send_to(peer, ack, control_bytes))
            return failed("acknowledgement failed");
    }
    if (run.next == total)
        update([] { run.done = true; });
}

void receive(const char* peer, const char* data, tovi_int32 length) {
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    if (run.initiator)
        initiator_receives(peer, data, size);
    else
        responder_receives(peer, data, size);
}

void TOVIIPC_CALL client_data(const char* data, tovi_int32 length) {
    receive(nullptr, data, length);
}

void TOVIIPC_CALL client_link_lost() {
    update([] { run.link_down = true; });
}

void TOVIIPC_CALL server_data(const char* id, const char* data, tovi_int32 length) {
    receive(id, data, length);
}

void TOVIIPC_CALL server_client_connected(const char* id) {
    update([&] {
        run.peer = id;
        run.link_up = true;
    });
}

void TOVIIPC_CALL server_client_gone(const char*) {
    update([] { run.link_down = true; });
}

const ipc_client_callbacks client_callbacks{&client_data, &client_link_lost};
const ipc_server_callbacks server_callbacks{&server_data, &server_client_connected,
                                            &server_client_gone};

void prepare(const side_args& args, bool initiator) {
    run.row = args.row;
    run.work = args.work;
    run.initiator = initiator;
    fill_message(run.message, args.work.size);
    run.samples.reserve(static_cast<size_t>(args.work.count));
}

std::string error_of_run() {
    std::lock_guard<std::mutex> guard(run.lock_);
    return run.error;
}

// The initiator's host thread: hello, then the measure, then its report.
int initiate(const std::string& peer) {
    char hello[control_bytes];
    make_hello(hello);
    if (!send_to(peer.c_str(), hello, control_bytes))
        return fail(run.row, "hello could not be sent");
    if (run.work.kind == measure::rtt) {
        wait_for([] { return run.done; }, unbounded_wait_ms);
        if (!error_of_run().empty())
            return fail(run.row, error_of_run());
        report_round_trips(run.samples);
        return 0;
    }
    wait_for([] { return run.hello || run.done; }, unbounded_wait_ms);
    if (!error_of_run().empty())
        return fail(run.row, error_of_run());
    // A failure on the receiving side shows after the loop: it also ends the run.
    const int64_t start = now_ns();
    for (int i = 0; i < run.work.count; ++i) {
        stamp(run.message.data(), static_cast<uint32_t>(i));
        if (!send_to(peer.c_str(), run.message.data(), run.message.size()))
            return fail(run.row, "send failed at message " + std::to_string(i));
    }
    wait_for([] { return run.done; }, unbounded_wait_ms);
    if (!error_of_run().empty())
        return fail(run.row, error_of_run());
    report_throughput(run.work, run.finished_at - start);
    return 0;
}

// The responder's host thread: waits for the end of the run, then for the initiator to end
// the link.
int respond() {
    wait_for([] { return run.done; }, unbounded_wait_ms);
    if (!wait_for([] { return run.link_down; }, link_end_wait_ms))
        return fail(run.row, "the initiator did not end the link");
    const std::string error = error_of_run();
    return error.empty() ? 0 : fail(run.row, error);
}

std::string log_file(const side_args& args, const char* side) {
    return args.address + "-" + side + ".log";
}

int server_side(const side_args& args, bool initiator) {
    prepare(args, initiator);
    endpoint_is_server = true;
    endpoint = create_tovi_ipc_server(&server_functions, &server_callbacks);
    if (endpoint != nullptr && !args.tovi_log.empty())
        server_functions.init_log(endpoint, args.tovi_log.c_str(),
                                  log_file(args, "server").c_str());
    if (endpoint == nullptr || !server_functions.start(endpoint, args.address.c_str()))
        return fail(args.row, "server could not start on " + args.address);
    announce_ready();
    int code = 0;
    if (initiator) {
        wait_for([] { return run.link_up; }, unbounded_wait_ms);
        std::string peer;
        update([&] { peer = run.peer; });
        code = initiate(peer);
    } else {
        code = respond();
    }
    server_functions.stop(endpoint);
    release_tovi_ipc_server(endpoint);
    return code;
}

int client_side(const side_args& args, bool initiator) {
    prepare(args, initiator);
    endpoint = create_tovi_ipc_client(&client_functions, &client_callbacks);
    if (endpoint == nullptr)
        return fail(args.row, "client could not be created");
    if (!args.tovi_log.empty())
        client_functions.init_log(endpoint, args.tovi_log.c_str(),
                                  log_file(args, "client").c_str());
    const int64_t give_up = now_ns() + int64_t{connect_wait_ms} * 1000000;
    while (!client_functions.connect(endpoint, args.address.c_str(), client_id)) {
        if (now_ns() > give_up)
            return fail(args.row, "client could not connect to " + args.address);
    }
    const int code = initiator ? initiate(std::string()) : respond();
    client_functions.disconnect(endpoint);
    release_tovi_ipc_client(endpoint);
    return code;
}

int server_responds(const side_args& args) {
    return server_side(args, false);
}
int client_initiates(const side_args& args) {
    return client_side(args, true);
}
int server_initiates(const side_args& args) {
    return server_side(args, true);
}
int client_responds(const side_args& args) {
    return client_side(args, false);
}

}  // namespace

std::vector<row_def> tovi_rows() {
    return {{"tovi-c2s",
             "ToviIPC, client sends, server host answers from its data callback (pipe thread)",
             false, &server_responds, &client_initiates},
            {"tovi-s2c",
             "ToviIPC, server host sends, client answers from its data callback (task thread)",
             true, &server_initiates, &client_responds}};
}

}  // namespace bench
