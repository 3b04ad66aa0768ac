// toviipc server: one server endpoint that prints its events, optionally echoes every message
// and takes commands on standard input.
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "event_output.h"
#include "process_control.h"
#include "toviipc.h"

namespace toviipc {

const char* const server_help =
    "usage: toviipc server NAME [--echo] [--control] [--log DIR] [--json]\n"
    "\n"
    "Listens on the pipe NAME and prints one line per event: listening, connect,\n"
    "message (with the client id, and the data as text when it is valid UTF-8, as\n"
    "hexadecimal otherwise), disconnect, stopped. Runs until interrupted (Ctrl+C,\n"
    "SIGTERM), then stops, telling every client, and exits.\n"
    "\n"
    "  --echo      send every message back to its sender, as a byte stream (the\n"
    "              library does not tell the host whether a message was a text)\n"
    "  --control   read commands from standard input, one per line; the end of\n"
    "              input stops the server:\n"
    "                send ID TEXT       send TEXT to client ID\n"
    "                send-hex ID HEX    send bytes to client ID\n"
    "                drop ID            disconnect client ID\n"
    "                stop               stop and exit\n"
    "  --log DIR   write the library's log to DIR/toviipc-server-PID.log\n"
    "  --json      print each event as one JSON object per line\n"
    "\n"
    "Exit status: 0 stopped, 1 the library failed, 2 bad arguments,\n"
    "4 another server holds NAME.\n";

namespace {

struct server_session {
    event_printer printer;
    ipc_server_functions f{};
    ipc_handle* handle = nullptr;
    bool echo = false;

    explicit server_session(bool json) : printer(json) {}

    void on_data(const char* client_id, const char* data, tovi_int32 length) {
        printer.print(
            event_record("message").client(client_id).data(data, static_cast<size_t>(length)));
        if (echo) {
            send_bytes(client_id, std::string(data, static_cast<size_t>(length)));
        }
    }

    void send_text(const std::string& id, const std::string& text) {
        const bool sent = f.send_string(handle, id.c_str(), text.c_str(),
                                        static_cast<tovi_int32>(text.size())) != 0;
        printer.print(
            event_record(sent ? "sent" : "send-failed").client(id).data(text.data(), text.size()));
    }

    void send_bytes(const std::string& id, const std::string& bytes) {
        const bool sent = f.send_bytestream(handle, id.c_str(), bytes.data(),
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
            if (verb == "drop") {
                if (id.empty() || !argument.empty()) {
                    throw usage_error("drop takes one client ID");
                }
                const bool dropped = f.disconnect_client(handle, id.c_str()) != 0;
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

// The callbacks carry no context; a server command has one session.
server_session* session = nullptr;

void TOVIIPC_CALL on_server_data(const char* client_id, const char* data, tovi_int32 length) {
    session->on_data(client_id, data, length);
}
void TOVIIPC_CALL on_server_connect(const char* client_id) {
    session->printer.print(event_record("connect").client(client_id));
}
void TOVIIPC_CALL on_server_disconnect(const char* client_id) {
    session->printer.print(event_record("disconnect").client(client_id));
}
const ipc_server_callbacks server_callbacks = {&on_server_data, &on_server_connect,
                                               &on_server_disconnect};

}  // namespace

int run_server(const std::vector<std::string>& arguments) {
    argument_cursor cursor(arguments);
    std::string name;
    std::string log_dir;
    bool echo = false;
    bool control = false;
    bool json = false;
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
    session = &state;
    state.handle = create_tovi_ipc_server(&state.f, &server_callbacks);
    if (state.handle == nullptr) {
        std::fprintf(stderr, "toviipc server: the library could not create a server\n");
        return exit_failed;
    }
    // Released on every way out, before the session that its callbacks use.
    const std::unique_ptr<ipc_handle, decltype(&release_tovi_ipc_server)> owned(
        state.handle, &release_tovi_ipc_server);
    if (!open_log(state.f.init_log, state.handle, log_dir, "server")) {
        return exit_failed;
    }
    if (!state.f.start(state.handle, name.c_str())) {
        std::fprintf(stderr, "toviipc server: cannot listen on %s (another server holds it?)\n",
                     name.c_str());
        return exit_unreachable;
    }
    state.printer.print(event_record("listening").text("pipe", name));
    if (control) {
        read_input_lines(board);
    }
    for (bool running = true; running;) {
        wake_board::news news = board->wait_until(wake_board::clock::now() + std::chrono::hours(1));
        for (const std::string& line : news.lines) {
            running = running && state.obey(line);
        }
        running = running && !news.interrupted && !news.input_ended;
    }
    state.f.stop(state.handle);
    state.printer.print(event_record("stopped").text("pipe", name));
    return exit_ok;
}

}  // namespace toviipc
