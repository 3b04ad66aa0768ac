// Idle CPU and resident memory of ToviIPC endpoints, read from /proc. The conductor starts
// one server process and several client processes (this executable re-run), waits until
// every client is connected, and reads the processes' CPU time or memory from outside.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench.h"
#include "resources.h"
#include "system.h"
#include "toviipc.h"

namespace bench {

namespace {

// How long all clients of one process may take to connect, retries included.
constexpr int connect_all_seconds = 120;

// --- reading /proc --------------------------------------------------------------------------

// User plus system CPU time of a process in clock ticks, or -1.
long long cpu_ticks(unsigned long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos)
        return -1;
    // After the name: state (field 3) ... utime (14), stime (15).
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    long long utime = -1, stime = -1;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoll(field);
        if (index == 15)
            stime = std::stoll(field);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// A numeric field of /proc/PID/status ("self" for this process), such as VmRSS in kB or
// Threads, or -1.
long long status_value(const std::string& pid, const std::string& field) {
    std::ifstream file("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stoll(line.substr(field.size() + 1));
    }
    return -1;
}

long long status_value(unsigned long pid, const std::string& field) {
    return status_value(std::to_string(pid), field);
}

// Context switches of every thread of a process so far, voluntary and not: each is a thread
// that went to sleep or was put aside, so their growth counts the process's wake-ups.
long long context_switches(unsigned long pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = opendir(tasks.c_str());
    if (directory == nullptr)
        return -1;
    long long sum = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = std::to_string(pid) + "/task/" + entry->d_name;
        const long long voluntary = status_value(task, "voluntary_ctxt_switches");
        const long long forced = status_value(task, "nonvoluntary_ctxt_switches");
        sum += (voluntary > 0 ? voluntary : 0) + (forced > 0 ? forced : 0);
    }
    closedir(directory);
    return sum;
}

// --- the child roles ------------------------------------------------------------------------

std::mutex server_lock;
std::condition_variable server_changed;
int server_connects = 0;
int server_disconnects = 0;

void TOVIIPC_CALL count_connect(const char*) {
    {
        std::lock_guard<std::mutex> guard(server_lock);
        ++server_connects;
    }
    server_changed.notify_all();
}

void TOVIIPC_CALL count_disconnect(const char*) {
    std::lock_guard<std::mutex> guard(server_lock);
    ++server_disconnects;
}

const ipc_server_callbacks counting_callbacks{nullptr, &count_connect, &count_disconnect};

// The idle server answers every client that announces itself, from its callback.
ipc_handle* answering_server = nullptr;
ipc_server_functions answering_functions{};

void TOVIIPC_CALL answer_connect(const char* id) {
    answering_functions.send_string(answering_server, id, "welcome", 7);
    count_connect(id);
}

const ipc_server_callbacks answering_callbacks{nullptr, &answer_connect, &count_disconnect};

// Answers that the clients of this process received.
std::atomic<long long> answers{0};

void TOVIIPC_CALL count_answer(const char*, tovi_int32) {
    ++answers;
}

const ipc_client_callbacks answer_counting_callbacks{&count_answer, nullptr};

// Blocks until the conductor closes this process's standard input.
void wait_for_end_of_input() {
    while (std::fgetc(stdin) != EOF) {
    }
}

// A server that answers every client that announces itself, announces "ready", then
// "connected N" once N clients have announced themselves, and, when its input ends,
// "dropped D": the clients it lost meanwhile.
int idle_server(const std::map<std::string, std::string>& args) {
    const int expected = std::stoi(args.at("expect"));
    ipc_server_functions& functions = answering_functions;
    ipc_handle* server = create_tovi_ipc_server(&functions, &answering_callbacks);
    answering_server = server;
    if (server == nullptr || !functions.start(server, args.at("address").c_str()))
        return fail("idle-server", "could not start");
    announce_ready();
    {
        std::unique_lock<std::mutex> guard(server_lock);
        server_changed.wait(guard, [&] { return server_connects >= expected; });
    }
    announce("connected " + std::to_string(expected));
    wait_for_end_of_input();
    {
        std::lock_guard<std::mutex> guard(server_lock);
        announce("dropped " + std::to_string(server_disconnects));
    }
    functions.stop(server);
    release_tovi_ipc_server(server);
    return 0;
}

// count clients, each connected as a careful host does: a connect that finds no free pipe
// instance (another client took it) is tried again. Announces "rss_before KB" first, then,
// once every client has its server's answer (or the time is up), "connected N retries R
// answered A rss KB threads T"; leaves when its input ends.
int client_swarm(const std::map<std::string, std::string>& args) {
    announce("rss_before " + std::to_string(status_value("self", "VmRSS")));
    const int count = std::stoi(args.at("count"));
    const std::string address = args.at("address");
    const std::string prefix = args.at("prefix");
    std::vector<ipc_client_functions> functions(static_cast<size_t>(count));
    std::vector<ipc_handle*> clients;
    long long retries = 0;
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::seconds(connect_all_seconds);
    for (int i = 0; i < count; ++i) {
        ipc_client_functions& f = functions[static_cast<size_t>(i)];
        ipc_handle* client = create_tovi_ipc_client(&f, &answer_counting_callbacks);
        if (client == nullptr)
            return fail("clients", "client " + std::to_string(i) + " could not be created");
        clients.push_back(client);
        const std::string id = prefix + std::to_string(i);
        while (!f.connect(client, address.c_str(), id.c_str())) {
            if (std::chrono::steady_clock::now() > give_up)
                return fail("clients", "client " + id + " could not connect");
            ++retries;
        }
    }
    while (answers < count && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    announce("connected " + std::to_string(count) + " retries " + std::to_string(retries) +
             " answered " + std::to_string(answers.load()) + " rss " +
             std::to_string(status_value("self", "VmRSS")) + " threads " +
             std::to_string(status_value("self", "Threads")));
    wait_for_end_of_input();
    for (size_t i = 0; i < clients.size(); ++i) {
        functions[i].disconnect(clients[i]);
        release_tovi_ipc_client(clients[i]);
    }
    return 0;
}

// The slow consumer: its callback takes delay-ms per message until its input ends, then
// none; at the server's closing text "end" it announces "received N", the messages before it.
std::atomic<int> slow_delay_ms{0};
std::atomic<long long> slow_received{0};
std::atomic<bool> slow_ended{false};

void TOVIIPC_CALL slow_data(const char* data, tovi_int32 length) {
    if (length == 3 && std::string(data, 3) == "end") {
        announce("received " + std::to_string(slow_received.load()));
        slow_ended = true;
        return;
    }
    ++slow_received;
    const int delay = slow_delay_ms;
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

const ipc_client_callbacks slow_callbacks{&slow_data, nullptr};

int slow_client(const std::map<std::string, std::string>& args) {
    slow_delay_ms = std::stoi(args.at("delay-ms"));
    ipc_client_functions f{};
    ipc_handle* client = create_tovi_ipc_client(&f, &slow_callbacks);
    const std::string address = args.at("address");
    bool connected = false;
    for (int attempt = 0; client != nullptr && attempt < 100 && !connected; ++attempt)
        connected = f.connect(client, address.c_str(), "slow") != 0;
    if (!connected)
        return fail("slow-client", "could not connect");
    announce("connected");
    wait_for_end_of_input();
    slow_delay_ms = 0;  // the measure is over: take the rest at once
    while (!slow_ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    f.disconnect(client);
    release_tovi_ipc_client(client);
    return 0;
}

// Sends 64 KiB messages to the slow client for seconds, then announces "sent A refused R";
// once its input ends, sends "end" (a careful host tries again while the queue is full).
int slow_server(const std::map<std::string, std::string>& args) {
    ipc_server_functions functions{};
    ipc_handle* server = create_tovi_ipc_server(&functions, &counting_callbacks);
    if (server == nullptr || !functions.start(server, args.at("address").c_str()))
        return fail("slow-server", "could not start");
    announce_ready();
    {
        std::unique_lock<std::mutex> guard(server_lock);
        server_changed.wait(guard, [&] { return server_connects >= 1; });
    }
    const std::vector<char> message(64 * 1024, 'm');
    long long sent = 0, refused = 0;
    const int64_t end = now_ns() + std::stoll(args.at("seconds")) * 1000000000LL;
    while (now_ns() < end) {
        if (functions.send_bytestream(server, "slow", message.data(),
                                      static_cast<tovi_int32>(message.size())))
            ++sent;
        else
            ++refused;
    }
    announce("sent " + std::to_string(sent) + " refused " + std::to_string(refused));
    wait_for_end_of_input();
    while (!functions.send_string(server, "slow", "end", 3)) {
    }
    functions.stop(server);
    release_tovi_ipc_server(server);
    return 0;
}

// --- the conductor's side -------------------------------------------------------------------

// The value after "key " in a line of words, or -1.
long long value_after(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        if (word == key && words >> word)
            return std::stoll(word);
    }
    return -1;
}

// A server and its client processes, all connected.
struct swarm {
    std::unique_ptr<child> server;
    std::vector<std::unique_ptr<child>> clients;
    long long server_rss_idle_kb = -1;  // before any client
    long long server_hwm_idle_kb = -1;
    long long clients_rss_before_kb = 0;  // sum over the client processes
    long long clients_rss_after_kb = 0;
    long long retries = 0;
    long long client_threads = 0;  // sum over the client processes, all clients connected
    long long answered = 0;        // clients that got the server's answer, over the processes
    double connect_seconds = 0;    // from starting the client processes to the last answer

    // Tells every process to end and waits; false unless all ended cleanly and the server
    // dropped no client.
    bool finish(long long* dropped) {
        std::string line;
        server->close_input();
        *dropped = read_line_starting(*server, "dropped", line) ? value_after(line, "dropped") : -1;
        bool clean = server->wait() == 0;
        for (auto& c : clients) {
            c->close_input();
            clean = c->wait() == 0 && clean;
        }
        return clean && *dropped == 0;
    }
};

bool start_swarm(const resource_settings& settings, const std::string& name, int total, swarm& s,
                 std::string* error) {
    const std::string address = settings.token + "-" + name;
    const std::string timeout = "--timeout=" + std::to_string(settings.timeout_seconds);
    s.server.reset(new child({"--role=idle-server", "--address=" + address,
                              "--expect=" + std::to_string(total), timeout}));
    std::string line;
    if (!s.server->started() || !read_line_starting(*s.server, "ready", line)) {
        *error = "the server did not start";
        return false;
    }
    s.server_rss_idle_kb = status_value(s.server->id(), "VmRSS");
    s.server_hwm_idle_kb = status_value(s.server->id(), "VmHWM");
    const auto started = std::chrono::steady_clock::now();
    for (int p = 0; p < settings.client_processes; ++p) {
        const int count =
            total / settings.client_processes + (p < total % settings.client_processes ? 1 : 0);
        s.clients.emplace_back(
            new child({"--role=clients", "--address=" + address, "--count=" + std::to_string(count),
                       "--prefix=p" + std::to_string(p) + "-", timeout}));
    }
    for (auto& c : s.clients) {
        if (!read_line_starting(*c, "rss_before", line)) {
            *error = "a client process did not start";
            return false;
        }
        s.clients_rss_before_kb += value_after(line, "rss_before");
    }
    for (auto& c : s.clients) {
        if (!read_line_starting(*c, "connected", line)) {
            *error = "a client process could not connect all its clients";
            return false;
        }
        s.retries += value_after(line, "retries");
        s.clients_rss_after_kb += value_after(line, "rss");
        s.client_threads += value_after(line, "threads");
        s.answered += value_after(line, "answered");
    }
    s.connect_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!read_line_starting(*s.server, "connected", line)) {
        *error = "the server did not see every client";
        return false;
    }
    return true;
}

}  // namespace

bool resources_supported() {
    return true;
}

bool measure_idle_cpu(const resource_settings& settings, std::vector<resource_figure>& figures,
                      std::string* error) {
    resource_settings longer = settings;
    longer.timeout_seconds += settings.idle_seconds;
    swarm s;
    if (!start_swarm(longer, "idle", settings.idle_clients, s, error))
        return false;
    auto total_ticks = [&](bool clients) {
        long long sum = 0;
        if (!clients)
            return cpu_ticks(s.server->id());
        for (auto& c : s.clients)
            sum += cpu_ticks(c->id());
        return sum;
    };
    const long long server_before = total_ticks(false);
    const long long clients_before = total_ticks(true);
    const int64_t start = now_ns();
    std::this_thread::sleep_for(std::chrono::seconds(settings.idle_seconds));
    const long long server_after = total_ticks(false);
    const long long clients_after = total_ticks(true);
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    long long dropped = 0;
    if (!s.finish(&dropped)) {
        *error =
            "the idle run did not end cleanly (clients dropped: " + std::to_string(dropped) + ")";
        return false;
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::string clients = std::to_string(settings.idle_clients) + " clients in " +
                                std::to_string(settings.client_processes) + " processes";
    const std::string over = ", over " + std::to_string(settings.idle_seconds) + " s";
    figures.push_back({"idle_server_cpu", "idle server CPU, " + clients + over,
                       100.0 * static_cast<double>(server_after - server_before) / tick / seconds,
                       "% of one core"});
    figures.push_back({"idle_clients_cpu", "their client processes' CPU, all together" + over,
                       100.0 * static_cast<double>(clients_after - clients_before) / tick / seconds,
                       "% of one core"});
    figures.push_back({"idle_cpu_tick", "resolution of these CPU times", 1000.0 / tick, "ms"});
    figures.push_back({"idle_clients_answered", "idle clients that got the server's answer",
                       static_cast<double>(s.answered), ""});
    return true;
}

bool measure_idle_wakeups(const resource_settings& settings, std::vector<resource_figure>& figures,
                          std::string* error) {
    resource_settings one_process = settings;
    one_process.idle_clients = settings.wakeup_clients;
    one_process.client_processes = 1;
    one_process.timeout_seconds += settings.idle_seconds;
    swarm s;
    if (!start_swarm(one_process, "wakeups", one_process.idle_clients, s, error))
        return false;
    const unsigned long client = s.clients.front()->id();
    const long long client_before = context_switches(client);
    const long long server_before = context_switches(s.server->id());
    const int64_t start = now_ns();
    std::this_thread::sleep_for(std::chrono::seconds(settings.idle_seconds));
    const long long client_after = context_switches(client);
    const long long server_after = context_switches(s.server->id());
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    const long long client_threads = status_value(client, "Threads");
    const long long server_threads = status_value(s.server->id(), "Threads");
    long long dropped = 0;
    if (!s.finish(&dropped) || client_before < 0 || server_before < 0) {
        *error =
            "the idle run did not end cleanly (clients dropped: " + std::to_string(dropped) + ")";
        return false;
    }
    const std::string clients =
        std::to_string(one_process.idle_clients) + " connected client handles";
    figures.push_back({"idle_client_wakeups",
                       "wake-ups of an idle process holding " + clients + ", per second",
                       static_cast<double>(client_after - client_before) / seconds, "/s"});
    figures.push_back(
        {"idle_client_threads", "its threads", static_cast<double>(client_threads), ""});
    figures.push_back({"idle_server_wakeups", "wake-ups of their idle server, per second",
                       static_cast<double>(server_after - server_before) / seconds, "/s"});
    figures.push_back(
        {"idle_server_threads", "its threads", static_cast<double>(server_threads), ""});
    return true;
}

bool measure_memory(const resource_settings& settings, std::vector<resource_figure>& figures,
                    std::string* error) {
    swarm s;
    if (!start_swarm(settings, "memory", settings.memory_clients, s, error))
        return false;
    const long long rss = status_value(s.server->id(), "VmRSS");
    const long long hwm = status_value(s.server->id(), "VmHWM");
    const long long server_threads = status_value(s.server->id(), "Threads");
    long long dropped = 0;
    if (!s.finish(&dropped)) {
        *error =
            "the memory run did not end cleanly (clients dropped: " + std::to_string(dropped) + ")";
        return false;
    }
    const double n = settings.memory_clients;
    const std::string clients = std::to_string(settings.memory_clients) + " clients";
    figures.push_back({"server_rss_0", "server VmRSS, started, no client",
                       static_cast<double>(s.server_rss_idle_kb), "kB"});
    figures.push_back(
        {"server_rss", "server VmRSS, " + clients + " connected", static_cast<double>(rss), "kB"});
    figures.push_back({"server_hwm", "server VmHWM (peak), " + clients + " connected",
                       static_cast<double>(hwm), "kB"});
    figures.push_back({"server_rss_per_client", "server VmRSS added per connected client",
                       static_cast<double>(rss - s.server_rss_idle_kb) / n, "kB"});
    figures.push_back({"client_rss_per_client",
                       "client processes' VmRSS added per client (" +
                           std::to_string(settings.client_processes) + " processes)",
                       static_cast<double>(s.clients_rss_after_kb - s.clients_rss_before_kb) / n,
                       "kB"});
    figures.push_back({"server_threads", "server threads, " + clients + " connected",
                       static_cast<double>(server_threads), ""});
    figures.push_back({"client_threads_per_client", "client processes' threads per client",
                       static_cast<double>(s.client_threads) / n, ""});
    figures.push_back({"connect_retries", "connects tried again because no pipe instance was free",
                       static_cast<double>(s.retries), ""});
    figures.push_back({"clients_answered", "clients that got the server's answer",
                       static_cast<double>(s.answered), ""});
    figures.push_back({"connect_seconds", "time until every client had the server's answer",
                       s.connect_seconds, "s"});
    return true;
}

bool measure_slow_consumer(const resource_settings& settings, std::vector<resource_figure>& figures,
                           std::string* error) {
    const std::string address = settings.token + "-slow";
    const std::string timeout =
        "--timeout=" + std::to_string(settings.timeout_seconds + settings.slow_seconds);
    child server({"--role=slow-server", "--address=" + address,
                  "--seconds=" + std::to_string(settings.slow_seconds), timeout});
    std::string line;
    if (!server.started() || !read_line_starting(server, "ready", line)) {
        *error = "the server did not start";
        return false;
    }
    child client({"--role=slow-client", "--address=" + address,
                  "--delay-ms=" + std::to_string(settings.slow_delay_ms), timeout});
    if (!client.started() || !read_line_starting(client, "connected", line)) {
        *error = "the client did not connect";
        return false;
    }
    if (!read_line_starting(server, "sent", line)) {
        *error = "the server did not finish sending";
        return false;
    }
    const long long sent = value_after(line, "sent");
    const long long refused = value_after(line, "refused");
    const long long server_hwm = status_value(server.id(), "VmHWM");
    const long long client_hwm = status_value(client.id(), "VmHWM");
    const long long server_threads = status_value(server.id(), "Threads");
    const long long client_threads = status_value(client.id(), "Threads");
    client.close_input();
    server.close_input();
    const long long received =
        read_line_starting(client, "received", line) ? value_after(line, "received") : -1;
    const bool clean = client.wait() == 0 && server.wait() == 0;
    if (!clean || received < 0) {
        *error = "the slow consumer run did not end cleanly";
        return false;
    }
    const std::string what = "64 KiB messages for " + std::to_string(settings.slow_seconds) +
                             " s to a client taking " + std::to_string(settings.slow_delay_ms) +
                             " ms each";
    figures.push_back({"slow_server_hwm", "server VmHWM (peak), sending " + what,
                       static_cast<double>(server_hwm), "kB"});
    figures.push_back(
        {"slow_client_hwm", "slow client VmHWM (peak)", static_cast<double>(client_hwm), "kB"});
    figures.push_back({"slow_server_threads", "server threads at the end of sending",
                       static_cast<double>(server_threads), ""});
    figures.push_back({"slow_client_threads", "slow client threads at the end of sending",
                       static_cast<double>(client_threads), ""});
    figures.push_back({"slow_sent", "sends that returned 1", static_cast<double>(sent), ""});
    figures.push_back({"slow_refused", "sends refused (the queue stayed full for 3 s)",
                       static_cast<double>(refused), ""});
    figures.push_back({"slow_lost", "messages that returned 1 and did not arrive",
                       static_cast<double>(sent - received), ""});
    return true;
}

int run_resource_role(const std::string& role, const std::map<std::string, std::string>& args) {
    if (role == "idle-server")
        return idle_server(args);
    if (role == "clients")
        return client_swarm(args);
    if (role == "slow-server")
        return slow_server(args);
    if (role == "slow-client")
        return slow_client(args);
    return -1;
}

}  // namespace bench
