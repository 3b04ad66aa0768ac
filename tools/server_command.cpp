// toviipc server: one server endpoint that prints its events, optionally echoes every message
// and takes commands on standard input.
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "event_output.h"
#include "process_control.h"
#include "toviipc_events.h"

namespace toviipc {

const char* const server_help =
    "usage: toviipc server NAME [--echo] [--control] [--stats SECONDS] [--log DIR]\n"
    "                           [--json]\n"
    "\n"
    "Listens on the pipe NAME and prints one line per event: listening, connect,\n"
    "message (with the client id, and the data as text when it is valid UTF-8, as\n"
    "hexadecimal otherwise), disconnect, stopped. A connect names the client's\n"
    "process id and user as the system knows them. Runs until interrupted (Ctrl+C,\n"
    "SIGTERM), then stops, telling every client, and exits.\n"
    "\n"
    "  --echo      send every message back to its sender, as a byte stream\n"
    "  --control   read commands from standard input, one per line; the end of\n"
    "              input stops the server:\n"
    "                send ID TEXT       send TEXT to client ID\n"
    "                send-hex ID HEX    send bytes to client ID\n"
    "                drop ID            disconnect client ID\n"
    "                stats              print the statistics now\n"
    "                stop               stop and exit\n"
    "  --stats SECONDS\n"
    "              every SECONDS (fractions allowed), print the server's statistics:\n"
    "              links, messages and bytes sent and received, bytes queued now\n"
    "              and at most, sends refused (queue full, too large), heart beats\n"
    "              received, and the milliseconds since a client was last heard\n"
    "  --log DIR   write the library's log to DIR/toviipc-server-PID.log\n"
    "  --json      print each event as one JSON object per line\n"
    "\n"
    "Exit status: 0 stopped, 1 the library failed, 2 bad arguments,\n"
    "4 another server holds NAME.\n";

namespace {

struct server_session {
    event_printer printer;
    toviipc_endpoint* handle = nullptr;
    bool echo = false;

    explicit server_session(bool json) : printer(json) {}

    // The library's threads, with this session as the endpoint's context.
    static void TOVIIPC_CALL on_event(toviipc_endpoint*, void* context,
                                      const toviipc_event* event) {
        auto* self = static_cast<server_session*>(context);
        if (event->kind == TOVIIPC_EVENT_MESSAGE) {
            self->on_data(event->client_id, event->data, event->length);
        } else if (event->kind == TOVIIPC_EVENT_CONNECT) {
            self->printer.print(event_record("connect")
                                    .client(event->client_id)
                                    .number("pid", event->peer->process_id)
                                    .text("user", event->peer->user));
        } else {
            self->printer.print(event_record("disconnect").client(event->client_id));
        }
    }

    void print_stats() {
        toviipc_stats stats;
        stats.size = sizeof stats;
        if (!toviipc_stats_of(handle, nullptr, &stats)) {
            return;
        }
        printer.print(
            event_record("stats")
                .number("links", stats.links)
                .number("messages_sent", static_cast<long long>(stats.messages_sent))
                .number("bytes_sent", static_cast<long long>(stats.bytes_sent))
                .number("messages_received", static_cast<long long>(stats.messages_received))
                .number("bytes_received", static_cast<long long>(stats.bytes_received))
                .number("queued_bytes", static_cast<long long>(stats.queued_bytes))
                .number("queued_peak_bytes", static_cast<long long>(stats.queued_peak_bytes))
                .number("refused_full", static_cast<long long>(stats.refused_full))
                .number("refused_too_large", static_cast<long long>(stats.refused_too_large))
                .number("heart_beats_received", static_cast<long long>(stats.heart_beats_received))
                .number("ms_since_heard", stats.ms_since_heard));
    }

    void on_data(const char* client_id, const char* data, tovi_int32 length) {
        printer.print(
            event_record("message").client(client_id).data(data, static_cast<size_t>(length)));
        if (echo) {
            send_bytes(client_id, std::string(data, static_cast<size_t>(length)));
        }
    }

    void send_text(const std::string& id, const std::string& text) {
        const bool sent = toviipc_send_text(handle, id.c_str(), text.c_str(),
                                            static_cast<tovi_int32>(text.size())) != 0;
        printer.print(
            event_record(sent ? "sent" : "send-failed").client(id).data(text.data(), text.size()));
    }

    void send_bytes(const std::string& id, const std::string& bytes) {
        const bool sent = toviipc_send_bytes(handle, id.c_str(), bytes.data(),
                                             static_cast<tovi_int32>(bytes.size())) != 0;
        printer.print(event_record(sent ? "sent" : "send-failed")
                          .client(id)
                          .data(bytes.data(), bytes.size()));
    }

    // One line of --control input; false for "stop". A line that is no command is reported
    // on standard error, with what it lacks, and the server goes on.
    bool obey(const std::string& line) {
        const size_t verb_end = line.find(' ');
        const std::string verb = line.substr(0, verb_end);
        const std::string rest = verb_end == std::string::npos ? "" : line.substr(verb_end + 1);
        const size_t id_end = rest.find(' ');
        const std::string id = rest.substr(0, id_end);
        const std::string argument = id_end == std::string::npos ? "" : rest.substr(id_end + 1);
        try {
            if (verb == "stop") {
                if (!rest.empty()) {
                    throw usage_error("stop takes nothing after it");
                }
                return false;
            }
            if (verb == "stats") {
                if (!rest.empty()) {
                    throw usage_error("stats takes nothing after it");
                }
                print_stats();
            } else if (verb == "drop") {
                if (id.empty() || !argument.empty()) {
                    throw usage_error("drop takes one client ID");
                }
                const bool dropped = toviipc_server_disconnect_client(handle, id.c_str()) != 0;
                printer.print(event_record(dropped ? "drop" : "drop-failed").client(id));
            } else if (verb == "send" || verb == "send-hex") {
                const char* const what = verb == "send" ? "TEXT" : "HEX";
                if (id.empty()) {
                    throw usage_error(verb + " needs a client ID and a " + what);
                }
                if (argument.empty()) {
                    throw usage_error(verb + " needs a " + what + " after the client ID");
                }
                if (verb == "send") {
                    send_text(id, argument);
                } else {
                    send_bytes(id, parse_hex(verb, argument));
                }
            } else if (!line.empty()) {
                throw usage_error("unknown command: " + verb);
            }
        } catch (const usage_error& error) {
            std::fprintf(stderr, "toviipc server: %s\n", error.what());
        }
        return true;
    }
};

}  // namespace

int run_server(const std::vector<std::string>& arguments) {
    argument_cursor cursor(arguments);
    std::string name;
    std::string log_dir;
    bool echo = false;
    bool control = false;
    bool json = false;
    double stats_seconds = 0;
    while (!cursor.done()) {
        const argument a = cursor.take();
        if (!a.is_option) {
            if (!name.empty()) {
                throw usage_error("unexpected argument: " + a.text);
            }
            name = a.text;
        } else if (a.text == "--echo") {
            echo = true;
        } else if (a.text == "--control") {
            control = true;
        } else if (a.text == "--json") {
            json = true;
        } else if (a.text == "--stats") {
            stats_seconds = parse_seconds(a.text, cursor.value_of(a.text));
        } else if (a.text == "--log") {
            log_dir = cursor.nonempty_value_of(a.text, "a directory (an empty one keeps no log)");
        } else {
            throw unknown_option(a.text);
        }
    }
    if (name.empty()) {
        throw usage_error("missing the pipe NAME");
    }

    auto board = std::make_shared<wake_board>();
    prepare_process(board);
    server_session state(json);
    state.echo = echo;
    state.handle = toviipc_server_create(&server_session::on_event, &state);
    if (state.handle == nullptr) {
        std::fprintf(stderr, "toviipc server: the library could not create a server\n");
        return exit_failed;
    }
    // Released on every way out, before the session that its callbacks use.
    const std::unique_ptr<toviipc_endpoint, decltype(&toviipc_release)> owned(state.handle,
                                                                              &toviipc_release);
    if (!open_log([&](const char* dir,
                      const char* file) { return toviipc_init_log(state.handle, dir, file) != 0; },
                  log_dir, "server")) {
        return exit_failed;
    }
    if (!toviipc_server_start(state.handle, name.c_str())) {
        std::fprintf(stderr, "toviipc server: cannot listen on %s (another server holds it?)\n",
                     name.c_str());
        return exit_unreachable;
    }
    state.printer.print(event_record("listening").text("pipe", name));
    if (control) {
        read_input_lines(board);
    }
    const auto period = std::chrono::milliseconds(
        stats_seconds > 0 ? static_cast<long long>(stats_seconds * 1000 + 0.5) : 3600000);
    auto next_stats = wake_board::clock::now() + period;
    for (bool running = true; running;) {
        wake_board::news news = board->wait_until(next_stats);
        if (stats_seconds > 0 && wake_board::clock::now() >= next_stats) {
            state.print_stats();
            next_stats += period;
        }
        for (const std::string& line : news.lines) {
            running = running && state.obey(line);
        }
        running = running && !news.interrupted && !news.input_ended;
    }
    toviipc_server_stop(state.handle);
    state.printer.print(event_record("stopped").text("pipe", name));
    return exit_ok;
}

}  // namespace toviipc
