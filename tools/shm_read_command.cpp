// toviipc shm-read: prints the newest data of the shared-memory block a client writes.
//
// This command reads the block with the library's own reader unit (linked statically from
// tovi_core): it only opens the mapping and the two slot mutexes by name and copies from them,
// as any reader process outside the library would. Everything else the tool does goes through
// include/toviipc.h.
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "command_line.h"
#include "commands.h"
#include "event_output.h"
#include "process_control.h"
#include "shm/shared_memory_reader.h"

namespace toviipc {

const char* const shm_read_help =
    "usage: toviipc shm-read NAME [--follow] [--json]\n"
    "\n"
    "Opens the shared-memory block that the clients of pipe NAME write and prints\n"
    "its newest write: the slot it is in, the five values, the length and the first\n"
    "256 bytes (as text when they are valid UTF-8, as hexadecimal otherwise), or\n"
    "\"empty\" when nothing was written yet. The block exists while a client is\n"
    "connected on NAME.\n"
    "\n"
    "  --follow   then print each new write until interrupted (the header is\n"
    "             polled every 20 ms; writes closer together than that may show\n"
    "             as one)\n"
    "  --json     print each event as one JSON object per line\n"
    "\n"
    "Exit status: 0 read (or followed until interrupted), 1 the block could not be\n"
    "read, 2 bad arguments, 4 no block of that name.\n";

namespace {

constexpr size_t preview_bytes = 256;
constexpr auto poll_interval = std::chrono::milliseconds(20);
constexpr auto busy_limit = std::chrono::seconds(1);

// Reads the newest write and prints it; false when it could not be read within busy_limit.
bool print_newest(shared_memory_reader& reader, event_printer& printer) {
    const auto deadline = wake_board::clock::now() + busy_limit;
    shared_memory_snapshot snapshot;
    shared_memory_reader::result result;
    // Both slots are busy only while a writer copies into one and another reader holds the
    // other: that passes within a copy.
    while ((result = reader.read(&snapshot)) == shared_memory_reader::result::busy &&
           wake_board::clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (result == shared_memory_reader::result::empty) {
        printer.print(event_record("empty").numbers("info", snapshot.info, 5));
        return true;
    }
    if (result != shared_memory_reader::result::ok) {
        std::fprintf(stderr, "toviipc shm-read: the block could not be read (%s)\n",
                     result == shared_memory_reader::result::busy ? "both slots stayed busy"
                                                                  : "a slot cannot be mapped");
        return false;
    }
    printer.print(
        event_record("shm")
            .number("slot", snapshot.slot)
            .numbers("info", snapshot.info, 5)
            .data(snapshot.data.data(), static_cast<size_t>(snapshot.length), preview_bytes));
    return true;
}

bool same_header(const shared_memory_snapshot& a, const shared_memory_snapshot& b) {
    return a.next_slot == b.next_slot && std::memcmp(a.info, b.info, sizeof(a.info)) == 0;
}

}  // namespace

int run_shm_read(const std::vector<std::string>& arguments) {
    argument_cursor cursor(arguments);
    std::string name;
    bool follow = false;
    bool json = false;
    while (!cursor.done()) {
        const std::string argument = cursor.take();
        if (argument == "--follow") {
            follow = true;
        } else if (argument == "--json") {
            json = true;
        } else if (is_option(argument) || !name.empty()) {
            throw usage_error("unexpected argument: " + argument);
        } else {
            name = argument;
        }
    }
    if (name.empty()) {
        throw usage_error("missing the block NAME");
    }

    auto board = std::make_shared<wake_board>();
    prepare_process(board);
    event_printer printer(json);
    shared_memory_reader reader;
    if (!reader.open(name)) {
        std::fprintf(stderr, "toviipc shm-read: no block named %s (is a client connected?)\n",
                     name.c_str());
        return exit_unreachable;
    }
    shared_memory_snapshot seen;
    reader.peek(&seen);
    if (!print_newest(reader, printer)) {
        return exit_failed;
    }
    while (follow) {
        if (board->wait_until(wake_board::clock::now() + poll_interval).interrupted) {
            break;
        }
        shared_memory_snapshot now;
        reader.peek(&now);
        if (!same_header(now, seen)) {
            seen = now;
            if (!print_newest(reader, printer)) {
                return exit_failed;
            }
        }
    }
    return exit_ok;
}

}  // namespace toviipc
