// Message contents, reports of the children to the conductor, and the watchdog.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench.h"

namespace bench {

namespace {
constexpr char hello_text[control_bytes] = {'H', 'E', 'L', 'L', 'O', '!', '!', '!'};
constexpr char ack_tag[4] = {'A', 'C', 'K', '!'};
constexpr uint32_t frame_magic = 0x4e425654;  // "TVBN"
}  // namespace

void put_u32(char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

uint32_t get_u32(const char* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return value;
}

void put_frame_header(char* out, uint32_t length) {
    put_u32(out, frame_magic);
    put_u32(out + 4, length);
}

bool get_frame_header(const char* in, uint32_t* length) {
    *length = get_u32(in + 4);
    return get_u32(in) == frame_magic;
}

std::string socket_file(const std::string& address) {
    return "/tmp/" + address + ".sock";
}

const char* measure_name(measure m) {
    switch (m) {
        case measure::rtt:
            return "rtt";
        case measure::rate:
            return "rate";
        case measure::bandwidth:
            return "bw";
    }
    return "?";
}

bool parse_measure(const std::string& text, measure* m) {
    for (measure candidate : {measure::rtt, measure::rate, measure::bandwidth}) {
        if (text == measure_name(candidate)) {
            *m = candidate;
            return true;
        }
    }
    return false;
}

void fill_message(std::vector<char>& message, int size) {
    message.resize(static_cast<size_t>(size));
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>('a' + i % 26);
}

void stamp(char* message, uint32_t sequence) {
    put_u32(message, sequence);
}

uint32_t stamp_of(const char* message) {
    return get_u32(message);
}

void make_hello(char* out) {
    std::memcpy(out, hello_text, control_bytes);
}

bool is_hello(const char* data, std::size_t size) {
    return size == control_bytes && std::memcmp(data, hello_text, control_bytes) == 0;
}

void make_ack(char* out, uint32_t count) {
    std::memcpy(out, ack_tag, 4);
    put_u32(out + 4, count);
}

bool is_ack(const char* data, std::size_t size, uint32_t count) {
    return size == control_bytes && std::memcmp(data, ack_tag, 4) == 0 &&
           get_u32(data + 4) == count;
}

bool is_message(const workload& work, const char* data, std::size_t size, uint32_t sequence) {
    return size == static_cast<std::size_t>(work.size) && stamp_of(data) == sequence;
}

void announce(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void announce_ready() {
    announce("ready");
}

void report_round_trips(std::vector<int64_t>& samples_ns) {
    std::sort(samples_ns.begin(), samples_ns.end());
    // Nearest rank: the smallest sample with at least p of the samples at or below it.
    auto percentile = [&](double p) {
        size_t rank = static_cast<size_t>(p * static_cast<double>(samples_ns.size()) + 0.999999);
        rank = std::max<size_t>(1, std::min(rank, samples_ns.size()));
        return static_cast<double>(samples_ns[rank - 1]) / 1000.0;
    };
    char line[160];
    std::snprintf(line, sizeof(line), "result %.3f %.3f %.3f %.3f %.3f", percentile(0.50),
                  percentile(0.99), percentile(0.10), percentile(0.90), percentile(0.999));
    announce(line);
}

void report_throughput(const workload& work, int64_t elapsed_ns) {
    const double seconds = static_cast<double>(elapsed_ns) / 1e9;
    const double value = work.kind == measure::bandwidth
                             ? static_cast<double>(work.count) * work.size / 1e6 / seconds
                             : work.count / seconds;
    char line[128];
    std::snprintf(line, sizeof(line), "result %.1f", value);
    announce(line);
}

int fail(const std::string& row, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", row.c_str(), what.c_str());
    std::fflush(stderr);
    return 1;
}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void start_watchdog(int seconds) {
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::fprintf(stderr, "watchdog: no end after %d s, giving up\n", seconds);
        std::fflush(stderr);
        std::_Exit(3);
    }).detach();
}

}  // namespace bench
