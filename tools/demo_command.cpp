// toviipc demo: one server, clients and a reader, each a separate process running this same
// executable, driven through their standard input and output (--json); prints a transcript
// with time stamps and checks that the library did what it promises.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "command_line.h"
#include "commands.h"
#include "event_output.h"
#include "json_line.h"
#include "process_control.h"

namespace toviipc {

const char* const demo_help =
    "usage: toviipc demo\n"
    "\n"
    "Runs a server, three clients, a client whose id is taken and a shared-memory\n"
    "reader, each in a process of its own (this program, run again), prints what\n"
    "each of them sees with time stamps, and checks: texts and byte streams both\n"
    "ways, the shared-memory block read back by another process, the refusal of a\n"
    "client id that is taken, a frozen client dropped by the server's heart beat\n"
    "after 12 to 15 seconds, disconnect_client, and stop. Ends with a summary and\n"
    "takes about 20 seconds.\n"
    "\n"
    "Exit status: 0 every check passed, 1 a check failed, 2 bad arguments.\n";

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using match = std::function<bool(const event_fields&)>;

// Generous, for a loaded machine: only what does not happen at all fails a check.
constexpr milliseconds step_limit{30000};        // for a process to start and answer
constexpr milliseconds heart_beat_limit{45000};  // from the freeze to the drop
// The server counts silent connections every 3 s and drops one over 3 counts: 12 to 15 s after
// its last heart beat, which the client sent up to 3 s before it was frozen.
constexpr double drop_earliest_s = 8.0;
constexpr double drop_latest_s = 15.0;

// Every event of every process, in arrival order, with waiting.
class transcript {
  public:
    transcript() : start_(clock::now()) {}

    double seconds_at(clock::time_point t) const {
        return std::chrono::duration<double>(t - start_).count();
    }

    void say(const std::string& text) { print_line("demo", text); }

    void add(const std::string& who, const std::string& line) {
        event_fields fields;
        const bool parsed = parse_event_line(line, &fields);
        std::lock_guard<std::mutex> hold(lock_);
        print_line(who, parsed ? describe(fields) : line);
        if (parsed) {
            records_.push_back({clock::now(), who, std::move(fields)});
        }
        changed_.notify_all();
    }

    // Waits until an event of who matches, searching from the first; the time it arrived.
    bool wait_for(const std::string& who, const match& wanted, milliseconds limit,
                  clock::time_point* when = nullptr) {
        std::unique_lock<std::mutex> hold(lock_);
        const record* found = nullptr;
        changed_.wait_for(hold, limit, [&] {
            found = find(who, wanted);
            return found != nullptr || interrupted_;
        });
        if (found != nullptr && when != nullptr) {
            *when = found->at;
        }
        return found != nullptr;
    }

    size_t count(const std::string& who, const match& wanted) {
        std::lock_guard<std::mutex> hold(lock_);
        size_t n = 0;
        for (const record& r : records_) {
            n += r.who == who && wanted(r.fields) ? 1 : 0;
        }
        return n;
    }

    // Ends every wait at once.
    void interrupt() {
        std::lock_guard<std::mutex> hold(lock_);
        interrupted_ = true;
        changed_.notify_all();
    }

  private:
    struct record {
        clock::time_point at;
        std::string who;
        event_fields fields;
    };

    const record* find(const std::string& who, const match& wanted) const {
        for (const record& r : records_) {
            if (r.who == who && wanted(r.fields)) {
                return &r;
            }
        }
        return nullptr;
    }

    void print_line(const std::string& who, const std::string& text) {
        std::printf("[%7.3fs] %-8s %s\n", seconds_at(clock::now()), who.c_str(), text.c_str());
        std::fflush(stdout);
    }

    static std::string value(const event_fields& f, const std::string& key) {
        const auto found = f.find(key);
        return found == f.end() ? std::string() : found->second;
    }

    static std::string describe(const event_fields& f) {
        const std::string event = value(f, "event");
        const std::string client = value(f, "client");
        std::string data;
        if (f.count("text") != 0) {
            data = "text " + readable_quote(value(f, "text"));
        } else if (f.count("hex") != 0) {
            data = "bytes " + value(f, "hex");
        }
        const bool server_side = !client.empty();
        if (event == "listening") {
            return "listening on pipe " + value(f, "pipe");
        }
        if (event == "connected") {
            return "connected to pipe " + value(f, "pipe") + " as " + client;
        }
        if (event == "connect") {
            return "client " + client + " connected";
        }
        if (event == "disconnect") {
            return server_side ? "client " + client + " disconnected"
                               : "disconnected by the server: " + value(f, "reason");
        }
        if (event == "message") {
            return server_side ? "received from " + client + ": " + data : "received: " + data;
        }
        if (event == "sent") {
            return server_side ? "sent to " + client + ": " + data : "sent: " + data;
        }
        if (event == "shm") {
            const std::string what = "info " + value(f, "info") + ", " + data;
            return f.count("slot") != 0 ? "read slot " + value(f, "slot") + ": " + what
                                        : "wrote the shared-memory block: " + what;
        }
        if (event == "drop") {
            return "called disconnect_client(" + client + ")";
        }
        if (event == "leave") {
            return "disconnected";
        }
        return event + (client.empty() ? "" : " " + client) + (data.empty() ? "" : " " + data);
    }

    const clock::time_point start_;
    std::mutex lock_;  // a leaf; also keeps transcript lines whole
    std::condition_variable changed_;
    std::vector<record> records_;
    bool interrupted_ = false;
};

// One process of the demo; a thread of its own copies its output onto the transcript.
class actor {
  public:
    actor(transcript& log, std::string who) : log_(log), who_(std::move(who)) {}
    ~actor() {
        process_.kill();
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    actor(const actor&) = delete;
    actor& operator=(const actor&) = delete;

    bool start(const std::vector<std::string>& arguments) {
        if (!process_.start(current_executable(), arguments)) {
            log_.say("could not start " + who_);
            return false;
        }
        reader_ = std::thread([this] {
            std::string line;
            while (process_.read_line(&line)) {
                log_.add(who_, line);
            }
        });
        return true;
    }
    void command(const std::string& line) { process_.write_input(line + "\n"); }
    bool freeze() { return process_.suspend(); }
    void kill() { process_.kill(); }
    // The exit status, or -1 when the process did not end in time.
    int wait_exit(milliseconds limit) {
        const int status = process_.wait(limit);
        log_.say(who_ +
                 (status < 0 ? " did not end" : " exited with status " + std::to_string(status)));
        return status;
    }

  private:
    transcript& log_;
    const std::string who_;
    child_process process_;
    std::thread reader_;
};

match event(const std::string& name, event_fields more = {}) {
    return [name, more](const event_fields& f) { return event_matches(f, name, more); };
}

class demo_run {
  public:
    demo_run() : pipe_("toviipc-demo-" + std::to_string(current_process_id())) {}

    transcript log;

    int run() {
        log.say("pipe " + pipe_ + "; every process below is this program, run again");
        if (start_server()) {
            freeze_beta();
            exchange_with_alpha();
            read_block_back();
            refuse_duplicate_id();
            disconnect_gamma();
            wait_for_heart_beat_drop();
            show_statistics();
            stop_server();
        }
        return summary();
    }

  private:
    void step(const std::string& title) { log.say("== " + title); }

    bool check(const std::string& what, bool passed) {
        checks_.emplace_back(what, passed);
        log.say(std::string(passed ? "PASS " : "FAIL ") + what);
        return passed;
    }

    bool start_server() {
        step("a server starts and takes commands on its standard input");
        server_.start({"server", pipe_, "--control", "--json"});
        return check("the server listens on its pipe",
                     log.wait_for("server", event("listening"), step_limit));
    }

    void freeze_beta() {
        step("beta connects, then is frozen without warning: no more heart beats");
        beta_.start({"client", pipe_, "beta", "--json"});
        const bool connected =
            log.wait_for("server", event("connect", {{"client", "beta"}}), step_limit);
        beta_frozen_ = connected && beta_.freeze();
        frozen_at_ = clock::now();
        check("beta connects and is frozen", beta_frozen_);
    }

    void exchange_with_alpha() {
        step("alpha connects, sends a text and bytes, and writes the shared-memory block");
        alpha_.start({"client", pipe_, "alpha", "--send", "hello from alpha", "--send-hex",
                      "000102ff", "--shm", "frame 42 from alpha", "--info", "1,2,3,4,5", "--json"});
        check("alpha connects and the server reports it",
              log.wait_for("server", event("connect", {{"client", "alpha"}}), step_limit));
        check("a text from alpha reaches the server intact",
              log.wait_for("server",
                           event("message", {{"client", "alpha"}, {"text", "hello from alpha"}}),
                           step_limit));
        check("bytes from alpha reach the server intact",
              log.wait_for("server", event("message", {{"client", "alpha"}, {"hex", "000102ff"}}),
                           step_limit));
        step("the server answers alpha with a text and bytes");
        server_.command("send alpha welcome, alpha");
        server_.command("send-hex alpha cafe00ff");
        check("a text from the server reaches alpha",
              log.wait_for("alpha", event("message", {{"text", "welcome, alpha"}}), step_limit));
        check("bytes from the server reach alpha",
              log.wait_for("alpha", event("message", {{"hex", "cafe00ff"}}), step_limit));
    }

    void read_block_back() {
        step("a reader process reads back the block alpha wrote");
        if (!log.wait_for("alpha", event("shm"), step_limit)) {
            check("alpha writes the shared-memory block", false);
            return;
        }
        actor reader(log, "reader");
        reader.start({"shm-read", pipe_, "--json"});
        const bool read = log.wait_for(
            "reader", event("shm", {{"info", "1,2,3,4,5"}, {"text", "frame 42 from alpha"}}),
            step_limit);
        check("the reader sees alpha's data and five values",
              read && reader.wait_exit(step_limit) == exit_ok);
    }

    void refuse_duplicate_id() {
        step("gamma connects; then another client claims the id alpha");
        gamma_.start({"client", pipe_, "gamma", "--json"});
        check("gamma connects",
              log.wait_for("server", event("connect", {{"client", "gamma"}}), step_limit));
        actor duplicate(log, "alpha#2");
        duplicate.start({"client", pipe_, "alpha", "--json"});
        const bool refused = log.wait_for("alpha#2", event("disconnect"), step_limit);
        check("the second alpha is refused: it sees its disconnect and exits 3",
              refused && duplicate.wait_exit(step_limit) == exit_peer_gone);
        server_.command("send alpha still yours, alpha");
        const bool kept =
            log.wait_for("alpha", event("message", {{"text", "still yours, alpha"}}), step_limit);
        check("the first alpha keeps its link and the server reports no second connect",
              kept && log.count("server", event("connect", {{"client", "alpha"}})) == 1 &&
                  log.count("server", event("disconnect", {{"client", "alpha"}})) == 0);
    }

    void disconnect_gamma() {
        step("the server disconnects gamma with disconnect_client");
        server_.command("drop gamma");
        const bool told = log.wait_for("gamma", event("disconnect"), step_limit);
        const bool reported =
            log.wait_for("server", event("disconnect", {{"client", "gamma"}}), step_limit);
        check("gamma sees its disconnect and exits 3; the server reports it",
              told && reported && gamma_.wait_exit(step_limit) == exit_peer_gone);
    }

    void wait_for_heart_beat_drop() {
        step("waiting for the server's heart beat to drop the frozen beta");
        if (!beta_frozen_) {
            check("the server drops the frozen beta", false);
            return;
        }
        clock::time_point dropped_at;
        const milliseconds left =
            heart_beat_limit - std::chrono::duration_cast<milliseconds>(clock::now() - frozen_at_);
        const bool dropped =
            log.wait_for("server", event("disconnect", {{"client", "beta"}}), left, &dropped_at);
        const double after = std::chrono::duration<double>(dropped_at - frozen_at_).count();
        char what[160];
        std::snprintf(what, sizeof(what),
                      "the server drops the frozen beta by its heart beat, %.1f s after the "
                      "freeze (expected %.0f to %.0f s)",
                      dropped ? after : -1.0, drop_earliest_s, drop_latest_s);
        check(what, dropped && after >= drop_earliest_s);
        beta_.kill();
        log.say("beta killed");
    }

    void show_statistics() {
        step("the server's statistics");
        server_.command("stats");
        // alpha's text and byte stream, at least.
        const match counted = [](const event_fields& fields) {
            const auto received = fields.find("messages_received");
            return event_matches(fields, "stats", {}) && received != fields.end() &&
                   std::strtoll(received->second.c_str(), nullptr, 10) >= 2;
        };
        check("the server's statistics count what its clients sent",
              log.wait_for("server", counted, step_limit));
    }

    void stop_server() {
        step("the server stops");
        server_.command("stop");
        const bool told = log.wait_for("alpha", event("disconnect"), step_limit);
        check("alpha sees the server go away and exits 3",
              told && alpha_.wait_exit(step_limit) == exit_peer_gone);
        const bool stopped = log.wait_for("server", event("stopped"), step_limit);
        check("the server stops and exits 0", stopped && server_.wait_exit(step_limit) == exit_ok);
    }

    int summary() {
        step("summary");
        size_t passed = 0;
        for (const auto& c : checks_) {
            std::printf("  %s  %s\n", c.second ? "PASS" : "FAIL", c.first.c_str());
            passed += c.second ? 1 : 0;
        }
        const bool all = passed == checks_.size() && !checks_.empty();
        std::printf("%zu of %zu checks passed in %.1f s: %s\n", passed, checks_.size(),
                    log.seconds_at(clock::now()), all ? "PASS" : "FAIL");
        std::fflush(stdout);
        return all ? exit_ok : exit_failed;
    }

    const std::string pipe_;
    actor server_{log, "server"};
    actor alpha_{log, "alpha"};
    actor beta_{log, "beta"};
    actor gamma_{log, "gamma"};
    bool beta_frozen_ = false;
    clock::time_point frozen_at_;
    std::vector<std::pair<std::string, bool>> checks_;
};

}  // namespace

int run_demo(const std::vector<std::string>& arguments) {
    if (!arguments.empty()) {
        if (is_option(arguments[0])) {
            throw unknown_option(arguments[0]);
        }
        throw usage_error("unexpected argument: " + arguments[0]);
    }
    auto board = std::make_shared<wake_board>();
    prepare_process(board);
    demo_run demo;
    // An interrupt ends every wait; the processes are then killed as the demo unwinds.
    std::thread interrupts([&] {
        for (;;) {
            const wake_board::news news = board->wait_until(clock::now() + std::chrono::hours(1));
            if (news.interrupted) {
                demo.log.interrupt();
            }
            if (news.interrupted || news.input_ended) {
                return;
            }
        }
    });
    const int status = demo.run();
    board->post_input_end();  // ends the interrupt watch
    interrupts.join();
    return status;
}

}  // namespace toviipc
