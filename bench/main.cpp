// toviipc_bench: runs every row and measure of the benchmark and writes one report; re-run
// with --role=... it is one side of one run. See the README's Benchmarks section.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "bench.h"
#include "report.h"
#include "resources.h"
#include "system.h"

#ifndef TOVI_BENCH_BUILD_TYPE
#define TOVI_BENCH_BUILD_TYPE "unknown"
#endif

namespace bench {

bool read_line_starting(child& process, const std::string& prefix, std::string& line) {
    while (process.read_line(line)) {
        if (line.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

namespace {

const char* const usage_text =
    "usage: toviipc_bench [options]\n"
    "  --only LIST        rows and scenarios to run, comma-separated (default: all; the\n"
    "                     baseline row is added unless --no-baseline)\n"
    "  --measure LIST     rtt,rate,bw (default: all three)\n"
    "  --reps N           repetitions of each figure; the median is reported (default 5)\n"
    "  --scale F          multiplies every message count, e.g. 0.1 for a quick look (default 1)\n"
    "  --out DIR          where bench-results.md and bench-results.csv go (default .)\n"
    "  --label TEXT       written into the report, e.g. the commit\n"
    "  --timeout S        a side of a run that takes longer ends (default 300)\n"
    "  --idle-seconds S   how long the idle server is watched (default 30)\n"
    "  --idle-clients N   clients of the idle server (default 100)\n"
    "  --memory-clients N clients of the server whose memory is read (default 1000)\n"
    "  --slow-seconds S   how long the server sends to the slow consumer (default 10)\n"
    "  --slow-delay-ms M  what the slow consumer takes per message (default 50)\n"
    "  --client-processes N  processes the clients are spread over (default 4)\n"
    "  --tovi-log DIR     ToviIPC endpoints write their log files there (default: none)\n"
    "  --no-baseline      do not add the baseline row to --only\n"
    "  --rows-only        run the rows, none of the scenarios at rest\n"
    "  --list             list the rows and scenarios\n";

// Scenarios of ToviIPC at rest, selected like rows.
const char* const idle_cpu_scenario = "idle-cpu";
const char* const idle_wakeups_scenario = "idle";
const char* const memory_scenario = "memory";
const char* const slow_consumer_scenario = "slow-consumer";

struct options {
    std::vector<std::string> only;
    std::vector<measure> measures{measure::rtt, measure::rate, measure::bandwidth};
    int reps = 5;
    double scale = 1.0;
    std::string out_dir = ".";
    std::string label;
    std::string tovi_log;
    int timeout_seconds = 300;
    bool add_baseline = true;
    bool list = false;
    bool rows_only = false;
    resource_settings resources;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

// "--key=value" and "--key value" arguments (and "--flag") as a map.
bool parse_arguments(int argc, char** argv, std::map<std::string, std::string>& out) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0)
            return false;
        word = word.substr(2);
        const size_t equals = word.find('=');
        if (equals != std::string::npos) {
            out[word.substr(0, equals)] = word.substr(equals + 1);
        } else if (word == "no-baseline" || word == "rows-only" || word == "list" ||
                   word == "help") {
            out[word] = "1";
        } else if (i + 1 < argc) {
            out[word] = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

bool read_options(const std::map<std::string, std::string>& args, options& o) {
    static const char* const known[] = {"only",
                                        "measure",
                                        "reps",
                                        "scale",
                                        "out",
                                        "label",
                                        "timeout",
                                        "idle-seconds",
                                        "idle-clients",
                                        "memory-clients",
                                        "slow-seconds",
                                        "slow-delay-ms",
                                        "client-processes",
                                        "no-baseline",
                                        "list",
                                        "rows-only",
                                        "tovi-log"};
    for (const auto& entry : args) {
        bool ok = false;
        for (const char* k : known)
            ok = ok || entry.first == k;
        if (!ok)
            return false;
    }
    auto integer = [&](const char* key, int* value) {
        auto it = args.find(key);
        if (it != args.end())
            *value = std::atoi(it->second.c_str());
    };
    if (args.count("only"))
        o.only = split(args.at("only"));
    if (args.count("measure")) {
        o.measures.clear();
        for (const std::string& name : split(args.at("measure"))) {
            measure m;
            if (!parse_measure(name, &m))
                return false;
            o.measures.push_back(m);
        }
    }
    integer("reps", &o.reps);
    integer("timeout", &o.timeout_seconds);
    integer("idle-seconds", &o.resources.idle_seconds);
    integer("idle-clients", &o.resources.idle_clients);
    integer("memory-clients", &o.resources.memory_clients);
    integer("slow-seconds", &o.resources.slow_seconds);
    integer("slow-delay-ms", &o.resources.slow_delay_ms);
    integer("client-processes", &o.resources.client_processes);
    if (args.count("scale"))
        o.scale = std::atof(args.at("scale").c_str());
    if (args.count("out"))
        o.out_dir = args.at("out");
    if (args.count("label"))
        o.label = args.at("label");
    if (args.count("tovi-log"))
        o.tovi_log = args.at("tovi-log");
    o.add_baseline = args.count("no-baseline") == 0;
    o.list = args.count("list") != 0;
    o.rows_only = args.count("rows-only") != 0;
    o.resources.timeout_seconds = o.timeout_seconds;
    return o.reps >= 1 && o.scale > 0 && o.timeout_seconds > 0 &&
           o.resources.client_processes >= 1 && !o.measures.empty();
}

// The full workloads, scaled: counts never fall below one.
workload workload_of(measure m, double scale) {
    auto scaled = [&](int n) { return std::max(1, static_cast<int>(n * scale + 0.5)); };
    switch (m) {
        case measure::rtt:
            return {m, scaled(1000), scaled(20000), 64};
        case measure::rate:
            return {m, 0, scaled(200000), 64};
        case measure::bandwidth:
            break;
    }
    return {m, 0, scaled(1000), 1024 * 1024};
}

// The machine's load averages over 1, 5 and 15 minutes, or "n/a". Under Wine the host's
// /proc is reached through drive Z:.
std::string load_average() {
    for (const char* path : {"/proc/loadavg", "Z:\\proc\\loadavg"}) {
        std::ifstream file(path);
        std::string one, five, fifteen;
        if (file >> one >> five >> fifteen)
            return one + " " + five + " " + fifteen;
    }
    return "n/a";
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
    return text;
}

// The figures of one repetition.
struct repetition {
    std::vector<double> figures;  // as the initiator's "result" line gives them
    long long initiator_peak_kb = -1;
    long long responder_peak_kb = -1;
};

// Reads a child's output to its end (it ends with the child) for its "peak_rss_kb" line.
long long peak_of(child& process) {
    std::string line;
    long long peak = -1;
    while (process.read_line(line)) {
        if (line.rfind("peak_rss_kb ", 0) == 0)
            peak = std::atoll(line.c_str() + 12);
    }
    return peak;
}

// One repetition: a fresh listening process, then a fresh connecting one; the initiator's
// "result" line gives the figures, each side's last line its peak resident memory.
bool run_once(const options& o, const row_def& row, const workload& work,
              const std::string& address, repetition& out, std::string& error) {
    std::vector<std::string> common{"--row=" + row.name,
                                    "--measure=" + std::string(measure_name(work.kind)),
                                    "--warmup=" + std::to_string(work.warmup),
                                    "--count=" + std::to_string(work.count),
                                    "--size=" + std::to_string(work.size),
                                    "--address=" + address,
                                    "--timeout=" + std::to_string(o.timeout_seconds)};
    if (!o.tovi_log.empty())
        common.push_back("--tovi-log=" + o.tovi_log);
    auto with_role = [&](const char* role) {
        std::vector<std::string> args{std::string("--role=") + role};
        args.insert(args.end(), common.begin(), common.end());
        return args;
    };
    child listener(with_role("listen"));
    std::string line;
    if (!listener.started() || !read_line_starting(listener, "ready", line)) {
        error =
            "the listening side did not start (exit code " + std::to_string(listener.wait()) + ")";
        return false;
    }
    child connector(with_role("connect"));
    child& initiator = row.listener_initiates ? listener : connector;
    child& responder = row.listener_initiates ? connector : listener;
    const bool reported = read_line_starting(initiator, "result ", line);
    out.initiator_peak_kb = peak_of(initiator);
    // A responder whose initiator failed may wait for messages that never come.
    if (initiator.wait() != 0)
        responder.kill();
    out.responder_peak_kb = peak_of(responder);
    const int listener_code = listener.wait();
    const int connector_code = connector.wait();
    if (!reported || listener_code != 0 || connector_code != 0) {
        error = "exit codes: listening side " + std::to_string(listener_code) +
                ", connecting side " + std::to_string(connector_code) +
                (reported ? "" : ", no result");
        return false;
    }
    std::istringstream values(line.substr(7));
    double value = 0;
    out.figures.clear();
    while (values >> value)
        out.figures.push_back(value);
    return !out.figures.empty();
}

bool selected(const options& o, const std::string& name) {
    if (o.only.empty())
        return true;
    for (const std::string& n : o.only) {
        if (n == name)
            return true;
    }
    return false;
}

std::string counts_fact(const options& o) {
    const workload rtt = workload_of(measure::rtt, o.scale);
    const workload rate = workload_of(measure::rate, o.scale);
    const workload bw = workload_of(measure::bandwidth, o.scale);
    return "method: server and client in separate processes (this executable re-run), " +
           placement_description() +
           ", a fresh pair for every repetition; rtt: " + std::to_string(rtt.warmup) +
           " warm-up then " + std::to_string(rtt.count) + " timed " + std::to_string(rtt.size) +
           "-byte round trips, p50 and p99 in µs (the CSV adds p10, p90 and p99.9); rate: " +
           std::to_string(rate.count) + " one-way " + std::to_string(rate.size) +
           "-byte messages ended by the receiver's acknowledgement, messages/s; bw: " +
           std::to_string(bw.count) + " one-way " + std::to_string(bw.size) +
           "-byte (1 MiB) messages ended by an acknowledgement, MB/s with 1 MB = 1,000,000 "
           "bytes; each figure the median of " +
           std::to_string(o.reps) + " repetitions";
}

// ToviIPC's rows (answering in the callback, on a host thread after a hand-over, pulling),
// then the platform's (the baseline first of those).
std::vector<row_def> every_row() {
    std::vector<row_def> all = tovi_rows();
    for (const auto& more : {tovi_handoff_rows(), tovi_pull_rows(), platform_rows()})
        all.insert(all.end(), more.begin(), more.end());
    return all;
}

int conduct(const options& o) {
    const std::vector<row_def> all = every_row();
    const std::vector<row_def> platform = platform_rows();
    const std::string baseline = platform.front().name;
    const bool at_rest = resources_supported() && !o.rows_only;
    if (o.list) {
        for (const row_def& r : all)
            std::printf("%-14s %s\n", r.name.c_str(), r.description.c_str());
        if (at_rest) {
            std::printf("%-14s idle ToviIPC server with connected clients: CPU time\n",
                        idle_cpu_scenario);
            std::printf("%-14s idle process with 10 client handles, and its server: wake-ups\n",
                        idle_wakeups_scenario);
            std::printf("%-14s ToviIPC server and client processes with many clients: RSS\n",
                        memory_scenario);
            std::printf("%-14s ToviIPC server sending to a client slower than itself: peak RSS\n",
                        slow_consumer_scenario);
        }
        return 0;
    }
    // Names of another build's rows are skipped, so one command line serves both builds.
    std::vector<std::string> skipped;
    for (const std::string& name : o.only) {
        bool known = at_rest && (name == idle_cpu_scenario || name == idle_wakeups_scenario ||
                                 name == memory_scenario || name == slow_consumer_scenario);
        for (const row_def& r : all)
            known = known || r.name == name;
        if (!known)
            skipped.push_back(name);
    }
    if (!o.only.empty() && skipped.size() == o.only.size()) {
        std::fprintf(stderr, "no row or scenario of this build selected (see --list)\n");
        return 2;
    }
    std::vector<row_def> rows;
    for (const row_def& r : all) {
        if (selected(o, r.name))
            rows.push_back(r);
    }
    if (!rows.empty() && !selected(o, baseline) && o.add_baseline)
        rows.push_back(platform.front());

    run_report report;
    report.title = "ToviIPC benchmark";
    report.baseline = baseline;
    report.measures = o.measures;
    const int64_t started = now_ns();
    const std::string load_before = load_average();
    report.facts.push_back("date: " + utc_now());
    report.facts.push_back("system: " + system_description());
    report.facts.push_back(std::string("build: ") + TOVI_BENCH_BUILD_TYPE + ", " +
                           (o.label.empty() ? "no label" : o.label));
    report.facts.push_back(counts_fact(o));
    report.facts.push_back("ratios: to " + baseline +
                           " in this run; rtt: p50 of the row / p50 of " + baseline +
                           " (above 1 = slower); rate and bw: throughput of the row / of " +
                           baseline + " (below 1 = slower)");

    const std::string token = "tovi-bench-" + std::to_string(process_id());
    int run_number = 0;
    bool all_ok = true;
    for (const row_def& row : rows) {
        row_results results;
        results.row = row;
        for (measure m : o.measures) {
            const workload work = workload_of(m, o.scale);
            measure_results& r = results.measures[m];
            for (int rep = 1; rep <= o.reps && r.error.empty(); ++rep) {
                repetition once;
                const std::string address = token + "-" + std::to_string(++run_number);
                std::fprintf(stderr, "%-13s %-4s %d/%d: ", row.name.c_str(), measure_name(m), rep,
                             o.reps);
                std::fflush(stderr);
                if (!run_once(o, row, work, address, once, r.error)) {
                    std::fprintf(stderr, "FAILED: %s\n", r.error.c_str());
                    all_ok = false;
                    continue;
                }
                const std::vector<double>& f = once.figures;
                r.first.push_back(f[0]);
                if (f.size() > 1)
                    r.second.push_back(f[1]);
                for (size_t i = 0; i + 2 < f.size() && i < rtt_more_count; ++i)
                    r.more[i].push_back(f[i + 2]);
                r.initiator_peak_kb = std::max(r.initiator_peak_kb, once.initiator_peak_kb);
                r.responder_peak_kb = std::max(r.responder_peak_kb, once.responder_peak_kb);
                if (m == measure::rtt)
                    std::fprintf(stderr, "p50 %.2f µs, p99 %.2f µs", f[0],
                                 f.size() > 1 ? f[1] : 0.0);
                else
                    std::fprintf(stderr, "%.1f %s", f[0], m == measure::rate ? "msg/s" : "MB/s");
                std::fprintf(stderr, "; peak RSS %lld / %lld kB\n", once.initiator_peak_kb,
                             once.responder_peak_kb);
            }
        }
        report.rows.push_back(results);
    }

    const std::string load_after_rows = load_average();
    if (at_rest) {
        resource_settings settings = o.resources;
        settings.token = token;
        const struct {
            const char* name;
            bool (*run)(const resource_settings&, std::vector<resource_figure>&, std::string*);
        } scenarios[] = {{idle_cpu_scenario, &measure_idle_cpu},
                         {idle_wakeups_scenario, &measure_idle_wakeups},
                         {memory_scenario, &measure_memory},
                         {slow_consumer_scenario, &measure_slow_consumer}};
        for (const auto& scenario : scenarios) {
            if (!selected(o, scenario.name))
                continue;
            std::fprintf(stderr, "%s: running\n", scenario.name);
            std::string error;
            if (!scenario.run(settings, report.resources, &error)) {
                report.resource_errors.push_back(std::string(scenario.name) + " failed: " + error);
                std::fprintf(stderr, "%s FAILED: %s\n", scenario.name, error.c_str());
                all_ok = false;
            }
        }
    }

    const double minutes = static_cast<double>(now_ns() - started) / 60e9;
    char duration[64];
    std::snprintf(duration, sizeof(duration), "%.1f min", minutes);
    report.facts.push_back("load average (1, 5, 15 min) before: " + load_before +
                           "; after the rows: " + load_after_rows +
                           "; at the end: " + load_average() + "; the run took " + duration);
    report.notes.push_back(
        "ToviIPC rows call the libraries only through their public headers (shared libraries), "
        "send byte streams and open no log file; the callback rows (include/toviipc.h) answer "
        "from inside the data callback, the pulling rows (include/toviipc_events.h) from the "
        "host thread that pulls");
    if (running_under_wine()) {
        report.notes.push_back(
            "Windows build under Wine: Wine's named pipes and its wineserver carry every "
            "message, so only the ratios between rows of this run mean anything; absolute "
            "figures say nothing about Windows");
    }
    if (!report.resources.empty()) {
        report.notes.push_back(
            "the memory scenario's burst of client threads raises the load average at the end; "
            "the load after the rows is the one that speaks for the table");
    }
    for (const std::string& name : skipped)
        report.notes.push_back("not in this build, skipped: " + name);
    if (!at_rest)
        report.notes.push_back("CPU and memory at rest are measured by the native build only");

    const std::string markdown = markdown_of(report);
    std::fputs(("\n" + markdown).c_str(), stdout);
    const std::string base = o.out_dir + "/bench-results";
    std::ofstream(base + ".md") << markdown;
    std::ofstream(base + ".csv") << csv_of(report);
    std::fprintf(stderr, "written: %s.md, %s.csv\n", base.c_str(), base.c_str());
    return all_ok ? 0 : 1;
}

int play_side(const std::string& role, const std::map<std::string, std::string>& args);

// A child: one side of one run, which ends by printing its peak resident memory, or a role
// of the scenarios at rest.
int play_role(const std::map<std::string, std::string>& args) {
    start_watchdog(args.count("timeout") ? std::atoi(args.at("timeout").c_str()) : 300);
    const std::string role = args.at("role");
    const int code = run_resource_role(role, args);
    if (code >= 0)
        return code;
    const int side_code = play_side(role, args);
    announce("peak_rss_kb " + std::to_string(peak_resident_kb()));
    return side_code;
}

// One side of one run of a row.
int play_side(const std::string& role, const std::map<std::string, std::string>& args) {
    side_args side;
    side.row = args.count("row") ? args.at("row") : "";
    side.address = args.count("address") ? args.at("address") : "";
    side.tovi_log = args.count("tovi-log") ? args.at("tovi-log") : "";
    if (!args.count("measure") || !parse_measure(args.at("measure"), &side.work.kind))
        return fail(side.row, "no measure given");
    side.work.warmup = std::atoi(args.at("warmup").c_str());
    side.work.count = std::atoi(args.at("count").c_str());
    side.work.size = std::atoi(args.at("size").c_str());
    const std::vector<row_def> all = every_row();
    for (const row_def& r : all) {
        if (r.name == side.row)
            return role == "listen" ? r.listen(side) : r.connect(side);
    }
    return fail(side.row, "unknown row");
}

}  // namespace

}  // namespace bench

int main(int argc, char** argv) {
    std::map<std::string, std::string> args;
    if (!bench::parse_arguments(argc, argv, args)) {
        std::fputs(bench::usage_text, stderr);
        return 2;
    }
    bench::raise_open_file_limit();  // for every role too: a swarm's clients need descriptors
    if (args.count("role"))
        return bench::play_role(args);
    bench::options o;
    if (args.count("help") || !bench::read_options(args, o)) {
        std::fputs(bench::usage_text, stderr);
        return args.count("help") ? 0 : 2;
    }
    return bench::conduct(o);
}
