// The benchmark: one executable that is both the conductor of a run and, re-run with
// --role=..., each side of one measure. Every row (a transport) runs the same three measures
// with the same messages, server and client in separate processes:
//
//   rtt        warm-up round trips, then timed round trips of 64 bytes; p50 and p99 in µs, and
//              p10, p90 and p99.9 for the chart of their distribution
//   rate       one-way 64-byte messages, ended by an acknowledgement from the receiver
//   bandwidth  one-way 1 MiB messages, ended by an acknowledgement; decimal MB/s
//
// The initiator (the side that sends first and keeps the clock) prints its figures on its
// standard output as "result ..." lines, which the conductor reads; the responder echoes or
// counts. Both check every message they receive (length and sequence number) and end with a
// non-zero exit code on any mismatch, so a figure is only ever printed for a correct run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

enum class measure { rtt, rate, bandwidth };

// Name used on the command line and in the results ("rtt", "rate", "bw").
const char* measure_name(measure m);
// False when the text names no measure.
bool parse_measure(const std::string& text, measure* m);

// What one run of a measure does; both processes of the run get the same.
struct workload {
    measure kind = measure::rtt;
    int warmup = 0;  // untimed round trips before the timed ones (rtt only)
    int count = 0;   // timed round trips, or messages sent one way
    int size = 0;    // payload bytes of each timed message
};

// The size in bytes of the hello and acknowledgement messages that open and close a run.
constexpr int control_bytes = 8;

// One side of one run, as given to a child process.
struct side_args {
    std::string row;
    workload work;
    std::string address;   // the transport's name for this run, unique per run
    std::string tovi_log;  // ToviIPC rows: directory of the endpoint's log file, or empty
};

// A transport under test. listen runs the side that waits for the peer and prints "ready"
// once the peer may connect; connect runs the other side. Each returns the process's exit
// code. The initiator is the connecting side unless listener_initiates.
struct row_def {
    std::string name;
    std::string description;
    bool listener_initiates = false;
    int (*listen)(const side_args&) = nullptr;
    int (*connect)(const side_args&) = nullptr;
};

// The rows of this build, the baseline (the raw transport every ratio refers to) first.
std::vector<row_def> platform_rows();      // one file per system
std::vector<row_def> tovi_rows();          // ToviIPC, through include/toviipc.h only
std::vector<row_def> tovi_pull_rows();     // ToviIPC, pulling through include/toviipc_events.h
std::vector<row_def> tovi_handoff_rows();  // ToviIPC's callbacks handing over to a host thread

// Tries connect until it succeeds or timeout_ms pass (the listening side may not be up yet).
bool connect_until(int timeout_ms, const std::function<bool()>& connect);

// Message contents shared by every row. Each timed message carries its sequence number in
// its first four bytes (little-endian); the rest is a fixed pattern.
void fill_message(std::vector<char>& message, int size);
void stamp(char* message, uint32_t sequence);
uint32_t stamp_of(const char* message);
void make_hello(char* out);
bool is_hello(const char* data, std::size_t size);
// The acknowledgement carries the number of messages its sender counted.
void make_ack(char* out, uint32_t count);
bool is_ack(const char* data, std::size_t size, uint32_t count);
// True when a received timed message has the workload's size and the expected number.
bool is_message(const workload& work, const char* data, std::size_t size, uint32_t sequence);

// Little-endian 32-bit integers in messages and frame headers.
void put_u32(char* out, uint32_t value);
uint32_t get_u32(const char* in);

// The 8-byte frame header of the raw baseline rows: magic, then the body's length.
constexpr std::size_t frame_header_bytes = 8;
void put_frame_header(char* out, uint32_t length);
// False when the magic is wrong.
bool get_frame_header(const char* in, uint32_t* length);

// The file of a Unix domain socket named after a run's address (raw, nng and ZeroMQ rows).
std::string socket_file(const std::string& address);

// Output of a child to the conductor, one line each, flushed at once.
void announce(const std::string& line);
void announce_ready();
// Prints "result P50 P99 P10 P90 P99.9" (µs) from the round-trip times in nanoseconds.
void report_round_trips(std::vector<int64_t>& samples_ns);
// Prints "result VALUE": messages/s for rate, decimal MB/s for bandwidth.
void report_throughput(const workload& work, int64_t elapsed_ns);
// Writes "ROW: what" to standard error and returns the exit code of a failed side.
int fail(const std::string& row, const std::string& what);

// Monotonic time in nanoseconds.
int64_t now_ns();

// Ends this process with exit code 3 after the given number of seconds: a hung transport
// ends the run instead of stopping it.
void start_watchdog(int seconds);

// A blocking, message-oriented connection: raw sockets, nng, ZeroMQ and Win32 pipes are all
// driven through this by the same two functions below.
class message_channel {
  public:
    virtual ~message_channel() = default;
    // Sends size bytes as one message; false on failure.
    virtual bool send(const char* data, std::size_t size) = 0;
    // Receives one message into buffer; its size, or -1 on failure or when the peer left. A
    // message larger than capacity is a failure.
    virtual long long receive(char* buffer, std::size_t capacity) = 0;
    // Bounds the waits of later receives (for the last, optional message of a run).
    virtual void limit_receive_wait(int milliseconds) {}
};

// The two sides of a measure over a channel. The initiator reports its figures; both return
// the process's exit code.
int run_initiator(const std::string& row, message_channel& channel, const workload& work);
int run_responder(const std::string& row, message_channel& channel, const workload& work);

// Opens the transport of a channel row: the listening side announces "ready" once the peer
// may connect, then waits for it. Null on failure.
using channel_opener = std::unique_ptr<message_channel> (*)(const side_args&, bool listening);

// Runs one side of a channel row over the channel that open gives; the initiator reports.
int run_channel_side(const side_args& args, channel_opener open, bool listening, bool initiator);

template <channel_opener open, bool listener_initiates>
int listen_channel(const side_args& args) {
    return run_channel_side(args, open, true, listener_initiates);
}

template <channel_opener open, bool listener_initiates>
int connect_channel(const side_args& args) {
    return run_channel_side(args, open, false, !listener_initiates);
}

// A row driven through a message channel: the connecting side initiates, unless
// listener_initiates.
template <channel_opener open, bool listener_initiates = false>
row_def channel_row(const std::string& name, const std::string& description) {
    return {name, description, listener_initiates, &listen_channel<open, listener_initiates>,
            &connect_channel<open, listener_initiates>};
}

}  // namespace bench
