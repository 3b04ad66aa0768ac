// toviipc client: one client endpoint that sends what it is given, writes the shared-memory
// block, and prints what arrives until it has a reason to leave.
#include <atomic>
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "commands.h"
#include "event_output.h"
#include "process_control.h"
#include "toviipc.h"

namespace toviipc {

const char* const client_help =
    "usage: toviipc client NAME ID [--send TEXT]... [--send-hex HEX]...\n"
    "                              [--shm TEXT [--info A,B,C,D,E]]...\n"
    "                              [--stay SECONDS] [--log DIR] [--json]\n"
    "\n"
    "Connects to the server on pipe NAME as client ID, performs the --send,\n"
    "--send-hex and --shm actions in the order given, and prints one line per event:\n"
    "connected, sent, shm, message (data as text when it is valid UTF-8, as\n"
    "hexadecimal otherwise), disconnect (the server went away, dropped this client,\n"
    "or sent it away at once because ID is taken), leave.\n"
    "Without any action it sends each line of standard input as a text (empty lines\n"
    "are skipped).\n"
    "\n"
    "  --send TEXT         send TEXT as a text message\n"
    "  --send-hex HEX      send bytes, e.g. 00ff10 or \"00 ff 10\", as a byte stream\n"
    "  --shm TEXT          write TEXT into the shared-memory block named NAME\n"
    "  --info A,B,C,D,E    the five values written with the preceding --shm\n"
    "                      (decimal or 0x-prefixed; 0,0,0,0,0 when left out)\n"
    "  --stay SECONDS      leave after SECONDS (at most 10000000) instead of at the\n"
    "                      end of input\n"
    "  --log DIR           write the library's log to DIR/toviipc-client-PID.log\n"
    "  --json              print each event as one JSON object per line\n"
    "\n"
    "It leaves at the first of: standard input ends (without --stay), --stay runs\n"
    "out, an interrupt (Ctrl+C, SIGTERM), the server goes away.\n"
    "Exit status: 0 input ended, --stay ran out or interrupted; 1 a send or a write\n"
    "failed, or the library failed; 2 bad arguments; 3 the server went away or\n"
    "dropped this client (also when ID was taken); 4 no server to connect to.\n";

namespace {

struct action {
    enum kind { text, bytes, shm } what;
    std::string data;
    uint32_t info[5] = {0, 0, 0, 0, 0};
    bool has_info = false;
};

struct client_session {
    event_printer printer;
    std::shared_ptr<wake_board> board;
    ipc_client_functions f{};
    ipc_handle* handle = nullptr;
    std::atomic<bool> received{false};   // a message came from the server
    std::atomic<bool> sent_away{false};  // the server ended the link

    client_session(bool json, std::shared_ptr<wake_board> wake)
        : printer(json), board(std::move(wake)) {}

    bool perform(const action& a) {
        const auto size = static_cast<tovi_int32>(a.data.size());
        if (a.what == action::shm) {
            shared_memory_info info{};
            for (int i = 0; i < 5; ++i) {
                info.info[i] = a.info[i];
            }
            const bool written = f.write_shared_memory(handle, a.data.data(),
                                                       static_cast<tovi_uint32>(size), &info) != 0;
            printer.print(event_record(written ? "shm" : "shm-failed")
                              .numbers("info", a.info, 5)
                              .data(a.data.data(), a.data.size()));
            return written;
        }
        const bool sent = a.what == action::text
                              ? f.send_string(handle, a.data.c_str(), size) != 0
                              : f.send_bytestream(handle, a.data.data(), size) != 0;
        printer.print(
            event_record(sent ? "sent" : "send-failed").data(a.data.data(), a.data.size()));
        return sent;
    }
};

// The callbacks carry no context; a client command has one session.
client_session* session = nullptr;

void TOVIIPC_CALL on_client_data(const char* data, tovi_int32 length) {
    session->received = true;
    session->printer.print(event_record("message").data(data, static_cast<size_t>(length)));
}
// Also while the client leaves: the library reports a server that had sent this client away
// before it read the goodbye.
void TOVIIPC_CALL on_client_disconnect() {
    // A server sends a newcomer away before anything else when its id is taken.
    const char* reason = session->received ? "the server went away or dropped this client"
                                           : "the server sent this client away at once: "
                                             "the id is taken";
    session->printer.print(event_record("disconnect").text("reason", reason));
    session->sent_away = true;
    session->board->post_peer_gone();
}
const ipc_client_callbacks client_callbacks = {&on_client_data, &on_client_disconnect};

}  // namespace

int run_client(const std::vector<std::string>& arguments) {
    argument_cursor cursor(arguments);
    std::vector<std::string> positional;
    std::vector<action> actions;
    std::string log_dir;
    double stay_seconds = 0;
    bool json = false;
    while (!cursor.done()) {
        const argument a = cursor.take();
        const std::string& option = a.text;
        if (!a.is_option) {
            if (positional.size() == 2) {
                throw usage_error("unexpected argument: " + a.text);
            }
            positional.push_back(a.text);
        } else if (option == "--send") {
            actions.push_back(
                {action::text, cursor.nonempty_value_of(option, "a text of at least one byte")});
        } else if (option == "--send-hex") {
            actions.push_back({action::bytes, parse_hex(option, cursor.value_of(option))});
        } else if (option == "--shm") {
            actions.push_back(
                {action::shm, cursor.nonempty_value_of(option, "a text of at least one byte")});
        } else if (option == "--info") {
            if (actions.empty() || actions.back().what != action::shm || actions.back().has_info) {
                throw usage_error("--info must follow a --shm");
            }
            parse_info(cursor.value_of(option), actions.back().info);
            actions.back().has_info = true;
        } else if (option == "--stay") {
            stay_seconds = parse_seconds(option, cursor.value_of(option));
        } else if (option == "--log") {
            log_dir = cursor.nonempty_value_of(option, "a directory (an empty one keeps no log)");
        } else if (option == "--json") {
            json = true;
        } else {
            throw unknown_option(option);
        }
    }
    if (positional.size() < 2) {
        throw usage_error(positional.empty() ? "missing the pipe NAME and the client ID"
                                             : "missing the client ID");
    }
    const std::string& name = positional[0];
    const std::string& id = positional[1];
    if (name.empty() || id.empty()) {
        throw usage_error("the pipe NAME and the client ID must not be empty");
    }

    auto board = std::make_shared<wake_board>();
    prepare_process(board);
    client_session state(json, board);
    session = &state;
    state.handle = create_tovi_ipc_client(&state.f, &client_callbacks);
    if (state.handle == nullptr) {
        std::fprintf(stderr, "toviipc client: the library could not create a client\n");
        return exit_failed;
    }
    // Released on every way out, before the session that its callbacks use.
    const std::unique_ptr<ipc_handle, decltype(&release_tovi_ipc_client)> owned(
        state.handle, &release_tovi_ipc_client);
    if (!open_log([&](const char* dir,
                      const char* file) { return state.f.init_log(state.handle, dir, file) != 0; },
                  log_dir, "client")) {
        return exit_failed;
    }
    if (!state.f.connect(state.handle, name.c_str(), id.c_str())) {
        std::fprintf(stderr, "toviipc client: no server answers on %s\n", name.c_str());
        return exit_unreachable;
    }
    state.printer.print(event_record("connected").client(id).text("pipe", name));

    bool all_done = true;
    for (const action& a : actions) {
        all_done = state.perform(a) && all_done;
    }
    const bool stays = stay_seconds > 0;
    const bool sends_input = actions.empty();
    if (sends_input || !stays) {
        read_input_lines(board);
    }
    const auto deadline =
        stays ? wake_board::clock::now() + std::chrono::duration_cast<wake_board::clock::duration>(
                                               std::chrono::duration<double>(stay_seconds))
              : wake_board::clock::time_point::max();
    int status = exit_ok;
    for (;;) {
        const auto now = wake_board::clock::now();
        if (now >= deadline) {
            break;
        }
        const auto hour = now + std::chrono::hours(1);
        wake_board::news news = board->wait_until(deadline < hour ? deadline : hour);
        for (const std::string& line : news.lines) {
            if (sends_input && !line.empty()) {
                all_done = state.perform({action::text, line}) && all_done;
            }
        }
        if (news.peer_gone) {
            status = exit_peer_gone;
            break;
        }
        if (news.interrupted || (news.input_ended && !stays)) {
            break;
        }
    }
    if (status != exit_peer_gone) {
        state.f.disconnect(state.handle);
        if (state.sent_away) {
            status = exit_peer_gone;
        } else {
            state.printer.print(event_record("leave").client(id));
        }
    }
    if (status == exit_ok && !all_done) {
        status = exit_failed;
    }
    return status;
}

}  // namespace toviipc
