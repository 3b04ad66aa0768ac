#include "host.h"

#include <array>
#include <utility>

namespace e2e {

namespace {

constexpr int client_slots = 512;
constexpr int server_slots = 8;
std::array<std::atomic<client_host*>, client_slots> clients{};
std::array<std::atomic<server_host*>, server_slots> servers{};

template <int N>
void TOVIIPC_CALL client_data(const char* data, tovi_int32 length) {
    if (client_host* host = clients[N].load())
        host->on_data(data, length);
}
template <int N>
void TOVIIPC_CALL client_gone() {
    if (client_host* host = clients[N].load())
        host->on_disconnect();
}
template <int N>
void TOVIIPC_CALL server_data(const char* id, const char* data, tovi_int32 length) {
    if (server_host* host = servers[N].load())
        host->on_data(id, data, length);
}
template <int N>
void TOVIIPC_CALL server_connect(const char* id) {
    if (server_host* host = servers[N].load())
        host->on_connect(id);
}
template <int N>
void TOVIIPC_CALL server_disconnect(const char* id) {
    if (server_host* host = servers[N].load())
        host->on_disconnect(id);
}

template <int... N>
std::array<ipc_client_callbacks, sizeof...(N)> client_tables(std::integer_sequence<int, N...>) {
    return {{{&client_data<N>, &client_gone<N>}...}};
}
template <int... N>
std::array<ipc_server_callbacks, sizeof...(N)> server_tables(std::integer_sequence<int, N...>) {
    return {{{&server_data<N>, &server_connect<N>, &server_disconnect<N>}...}};
}

std::array<ipc_client_callbacks, client_slots>& client_callbacks() {
    static auto tables = client_tables(std::make_integer_sequence<int, client_slots>());
    return tables;
}
std::array<ipc_server_callbacks, server_slots>& server_callbacks() {
    static auto tables = server_tables(std::make_integer_sequence<int, server_slots>());
    return tables;
}
// A table per server host slot and mask, kept alive for the process.
ipc_server_callbacks masked[server_slots];

template <class T, size_t N>
int take_slot(std::array<std::atomic<T*>, N>& slots, T* host) {
    for (size_t i = 0; i < N; ++i) {
        T* expected = nullptr;
        if (slots[i].compare_exchange_strong(expected, host))
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

server_host::server_host(unsigned mask) {
    slot_ = take_slot(servers, this);
    if (slot_ < 0)
        return;
    const ipc_server_callbacks& all = server_callbacks()[static_cast<size_t>(slot_)];
    masked[slot_] = {(mask & 1) ? all.on_recv_data : nullptr,
                     (mask & 2) ? all.on_client_connect : nullptr,
                     (mask & 4) ? all.on_client_disconnect : nullptr};
    handle = create_tovi_ipc_server(&f, &masked[slot_]);
}

void server_host::release() {
    if (handle != nullptr)
        release_tovi_ipc_server(handle);
    if (slot_ >= 0)
        servers[static_cast<size_t>(slot_)] = nullptr;
    slot_ = -1;
}

bool server_host::send_string(const std::string& id, const std::string& text) {
    return f.send_string(handle, id.c_str(), text.c_str(), static_cast<tovi_int32>(text.size())) !=
           0;
}

bool server_host::send_bytes(const std::string& id, const std::string& bytes) {
    return f.send_bytestream(handle, id.c_str(), bytes.data(),
                             static_cast<tovi_int32>(bytes.size())) != 0;
}

void server_host::on_data(const char* id, const char* data, int32_t length) {
    if (record_data) {
        events.add("data", id, std::string(data, static_cast<size_t>(length)));
    }
    if (echo) {
        f.send_bytestream(handle, id, data, length);
    }
    if (on_data_hook) {
        on_data_hook(id, data, length);
    }
}

void server_host::on_connect(const char* id) {
    if (on_connect_hook) {
        on_connect_hook(id);
    }
    events.add("connect", id);
}

void server_host::on_disconnect(const char* id) {
    if (on_disconnect_hook) {
        on_disconnect_hook(id);
    }
    events.add("disconnect", id);
}

client_host::client_host(bool with_callbacks) {
    slot_ = take_slot(clients, this);
    if (slot_ < 0)
        return;
    handle = create_tovi_ipc_client(
        &f, with_callbacks ? &client_callbacks()[static_cast<size_t>(slot_)] : nullptr);
}

void client_host::release() {
    if (handle != nullptr)
        release_tovi_ipc_client(handle);
    if (slot_ >= 0)
        clients[static_cast<size_t>(slot_)] = nullptr;
    slot_ = -1;
}

bool client_host::send_string(const std::string& text) {
    return f.send_string(handle, text.c_str(), static_cast<tovi_int32>(text.size())) != 0;
}

bool client_host::send_bytes(const std::string& bytes) {
    return f.send_bytestream(handle, bytes.data(), static_cast<tovi_int32>(bytes.size())) != 0;
}

void client_host::on_data(const char* data, int32_t length) {
    if (record_data) {
        events.add("data", "", std::string(data, static_cast<size_t>(length)));
    }
    messages += 1;
    bytes += static_cast<uint64_t>(length);
    if (on_data_hook) {
        on_data_hook(data, length);
    }
}

void client_host::on_disconnect() {
    events.add("disconnect");
}

bool connect_within(client_host& client, const std::string& name, const std::string& id,
                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (client.connect(name, id)) {
            return true;
        }
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace e2e
