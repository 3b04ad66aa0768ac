// The three measures over a blocking message channel: raw sockets, nng, ZeroMQ and Win32
// pipes all run exactly this code, so they differ only in their transport.
#include "bench.h"

namespace bench {

namespace {
// How long the responder waits, after its last message, for the initiator's goodbye: long
// enough for any transport, short enough not to hold up a run whose goodbye was dropped.
constexpr int goodbye_wait_ms = 2000;
}  // namespace

int run_initiator(const std::string& row, message_channel& channel, const workload& work) {
    char control[control_bytes];
    make_hello(control);
    if (!channel.send(control, control_bytes) ||
        channel.receive(control, control_bytes) != control_bytes ||
        !is_hello(control, control_bytes)) {
        return fail(row, "no hello from the responder");
    }
    std::vector<char> message;
    fill_message(message, work.size);
    std::vector<char> reply(message.size());
    if (work.kind == measure::rtt) {
        std::vector<int64_t> samples;
        samples.reserve(static_cast<size_t>(work.count));
        const int total = work.warmup + work.count;
        for (int i = 0; i < total; ++i) {
            stamp(message.data(), static_cast<uint32_t>(i));
            const int64_t start = now_ns();
            if (!channel.send(message.data(), message.size()))
                return fail(row, "send failed");
            const long long got = channel.receive(reply.data(), reply.size());
            const int64_t end = now_ns();
            if (got < 0 || !is_message(work, reply.data(), static_cast<size_t>(got),
                                       static_cast<uint32_t>(i))) {
                return fail(row, "wrong or missing echo " + std::to_string(i));
            }
            if (i >= work.warmup)
                samples.push_back(end - start);
        }
        report_round_trips(samples);
    } else {
        const int64_t start = now_ns();
        for (int i = 0; i < work.count; ++i) {
            stamp(message.data(), static_cast<uint32_t>(i));
            if (!channel.send(message.data(), message.size()))
                return fail(row, "send failed at message " + std::to_string(i));
        }
        const long long got = channel.receive(control, control_bytes);
        const int64_t end = now_ns();
        if (got < 0 ||
            !is_ack(control, static_cast<size_t>(got), static_cast<uint32_t>(work.count))) {
            return fail(row, "no acknowledgement");
        }
        report_throughput(work, end - start);
    }
    // Goodbye: the responder leaves once it has it, after its last message has arrived here.
    make_hello(control);
    channel.send(control, control_bytes);
    return 0;
}

int run_responder(const std::string& row, message_channel& channel, const workload& work) {
    char control[control_bytes];
    if (channel.receive(control, control_bytes) != control_bytes ||
        !is_hello(control, control_bytes) || !channel.send(control, control_bytes)) {
        return fail(row, "no hello from the initiator");
    }
    std::vector<char> message(static_cast<size_t>(work.size));
    const int total = work.kind == measure::rtt ? work.warmup + work.count : work.count;
    for (int i = 0; i < total; ++i) {
        const long long got = channel.receive(message.data(), message.size());
        if (got < 0 ||
            !is_message(work, message.data(), static_cast<size_t>(got), static_cast<uint32_t>(i)))
            return fail(row, "wrong or missing message " + std::to_string(i));
        if (work.kind == measure::rtt && !channel.send(message.data(), message.size()))
            return fail(row, "echo failed");
    }
    if (work.kind != measure::rtt) {
        make_ack(control, static_cast<uint32_t>(work.count));
        if (!channel.send(control, control_bytes))
            return fail(row, "acknowledgement failed");
    }
    channel.limit_receive_wait(goodbye_wait_ms);
    channel.receive(control, control_bytes);
    return 0;
}

bool connect_until(int timeout_ms, const std::function<bool()>& connect) {
    const int64_t give_up = now_ns() + int64_t{timeout_ms} * 1000000;
    while (!connect()) {
        if (now_ns() > give_up)
            return false;
    }
    return true;
}

int run_channel_side(const side_args& args, channel_opener open, bool listening, bool initiator) {
    std::unique_ptr<message_channel> channel = open(args, listening);
    if (!channel)
        return fail(args.row, "could not open the transport at " + args.address);
    return initiator ? run_initiator(args.row, *channel, args.work)
                     : run_responder(args.row, *channel, args.work);
}

}  // namespace bench
