// What an idle ToviIPC server costs: its CPU time with connected, silent clients, and the
// resident memory of a server and of client processes holding many connections. Linux only
// (read from /proc); elsewhere resources_supported() is false and nothing is measured.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bench {

struct resource_settings {
    int idle_seconds = 30;      // how long the idle server is watched
    int idle_clients = 100;     // clients connected to it meanwhile
    int memory_clients = 1000;  // clients connected to the server whose memory is read
    int client_processes = 4;   // processes the clients are spread over
    int wakeup_clients = 10;    // client handles of the process whose wake-ups are counted
    int slow_seconds = 10;      // how long the server sends to the slow consumer
    int slow_delay_ms = 50;     // what the slow consumer's callback takes per message
    int timeout_seconds = 300;  // watchdog of each child
    std::string token;          // prefix of the pipe names, unique to this run
};

// One measured figure, printed as "label: value unit".
struct resource_figure {
    std::string key;  // short name for the CSV
    std::string label;
    double value = 0;
    std::string unit;
};

bool resources_supported();

// Each scenario appends its figures, or returns false with the reason in *error.
bool measure_idle_cpu(const resource_settings& settings, std::vector<resource_figure>& figures,
                      std::string* error);
bool measure_memory(const resource_settings& settings, std::vector<resource_figure>& figures,
                    std::string* error);
// What idleness costs in wake-ups: the context switches per second of a process holding
// wakeup_clients connected, silent client handles, and of their server, over idle_seconds.
bool measure_idle_wakeups(const resource_settings& settings, std::vector<resource_figure>& figures,
                          std::string* error);
// A server that sends 64 KiB messages as fast as it may to a client whose callback takes
// slow_delay_ms each: peak memory of both sides, sends accepted and refused, and whether every
// accepted message arrived.
bool measure_slow_consumer(const resource_settings& settings, std::vector<resource_figure>& figures,
                           std::string* error);

// Runs a child role of these scenarios ("idle-server", "clients", "slow-server",
// "slow-client") with its --key=value
// arguments; returns the exit code, or -1 when the role is none of these.
int run_resource_role(const std::string& role, const std::map<std::string, std::string>& args);

}  // namespace bench
