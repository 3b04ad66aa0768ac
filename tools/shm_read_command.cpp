// toviipc shm-read: prints the newest data of the shared-memory block a client writes.
//
// It reads the block through the public reader library (include/toviipc_shm.h), as any reader
// process outside the library would.
#include <cstdio>
#include <memory>
#include <thread>

#include "command_line.h"
#include "commands.h"
#include "event_output.h"
#include "process_control.h"
#include "toviipc_shm.h"

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
    "             polled every 2 ms; writes closer together than that may show\n"
    "             as one)\n"
    "  --json     print each event as one JSON object per line\n"
    "\n"
    "Exit status: 0 read (or followed until interrupted), 1 the block could not be\n"
    "read or is not this user's own, 2 bad arguments, 4 no block of that name.\n";

namespace {

constexpr size_t preview_bytes = 256;
constexpr tovi_uint32 poll_slice_ms = 20;  // how long each wait may keep an interrupt waiting
constexpr auto busy_limit = std::chrono::seconds(1);
constexpr auto busy_pause = std::chrono::milliseconds(1);

using reader_ptr = std::unique_ptr<toviipc_shm_reader, decltype(&toviipc_shm_close)>;

// Reads the newest write into buffer, which grows to fit it. Busy passes within a copy of
// another reader, so it is tried again for up to busy_limit.
toviipc_shm_result read_newest(toviipc_shm_reader* reader, std::vector<char>* buffer,
                               toviipc_shm_data* data) {
    const auto deadline = wake_board::clock::now() + busy_limit;
    for (;;) {
        const toviipc_shm_result result = toviipc_shm_read(
            reader, buffer->data(), static_cast<tovi_uint32>(buffer->size()), data);
        if (result == TOVIIPC_SHM_TOO_SMALL) {
            buffer->resize(data->length);
        } else if (result != TOVIIPC_SHM_BUSY || wake_board::clock::now() >= deadline) {
            return result;
        } else {
            std::this_thread::sleep_for(busy_pause);
        }
    }
}

// Prints the newest write; false when it could not be read.
bool print_newest(toviipc_shm_reader* reader, std::vector<char>* buffer, event_printer& printer) {
    toviipc_shm_data data;
    const toviipc_shm_result result = read_newest(reader, buffer, &data);
    if (result == TOVIIPC_SHM_EMPTY) {
        printer.print(event_record("empty").numbers("info", data.info, 5));
        return true;
    }
    if (result != TOVIIPC_SHM_OK) {
        std::fprintf(stderr, "toviipc shm-read: the block could not be read (%s)\n",
                     toviipc_shm_result_text(result));
        return false;
    }
    printer.print(event_record("shm")
                      .number("slot", data.slot)
                      .numbers("info", data.info, 5)
                      .data(buffer->data(), data.length, preview_bytes));
    return true;
}

}  // namespace

int run_shm_read(const std::vector<std::string>& arguments) {
    argument_cursor cursor(arguments);
    std::string name;
    bool follow = false;
    bool json = false;
    while (!cursor.done()) {
        const argument a = cursor.take();
        if (!a.is_option) {
            if (!name.empty()) {
                throw usage_error("unexpected argument: " + a.text);
            }
            name = a.text;
        } else if (a.text == "--follow") {
            follow = true;
        } else if (a.text == "--json") {
            json = true;
        } else {
            throw unknown_option(a.text);
        }
    }
    if (name.empty()) {
        throw usage_error("missing the block NAME");
    }

    auto board = std::make_shared<wake_board>();
    prepare_process(board);
    event_printer printer(json);
    toviipc_shm_reader* opened = nullptr;
    const toviipc_shm_result result = toviipc_shm_open(name.c_str(), &opened);
    if (result != TOVIIPC_SHM_OK) {
        std::fprintf(stderr, "toviipc shm-read: %s: %s\n", name.c_str(),
                     toviipc_shm_result_text(result));
        return result == TOVIIPC_SHM_NO_BLOCK ? exit_unreachable : exit_failed;
    }
    const reader_ptr reader(opened, &toviipc_shm_close);
    std::vector<char> buffer;
    toviipc_shm_header seen;
    toviipc_shm_peek(reader.get(), &seen);
    if (!print_newest(reader.get(), &buffer, printer)) {
        return exit_failed;
    }
    while (follow && !board->wait_until(wake_board::clock::now()).interrupted) {
        if (toviipc_shm_wait(reader.get(), &seen, poll_slice_ms, &seen) == TOVIIPC_SHM_OK &&
            !print_newest(reader.get(), &buffer, printer)) {
            return exit_failed;
        }
    }
    return exit_ok;
}

}  // namespace toviipc
