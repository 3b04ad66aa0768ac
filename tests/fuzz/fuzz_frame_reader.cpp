// Feeds arbitrary bytes through a real pipe to a connection's receive path and checks it
// against a model of the frame format: only whole framed payloads are delivered, in order; a
// broken frame (a wrong magic, a length above the limit or below the header's) is reported
// once and reading stops after it; an incomplete frame is waited for without a report.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_frame_buffer.h"
#include "transport/pipe_handler_async.h"

namespace {

struct expectation {
    std::vector<std::string> payloads;
    bool broken = false;
};

expectation model(const uint8_t* data, size_t size) {
    expectation out;
    size_t at = 0;
    while (size - at >= 8) {
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i)
            length |= static_cast<uint32_t>(data[at + 4 + i]) << (8 * i);
        if (std::memcmp(data + at, "TQNP", 4) != 0 || length > tovi::max_frame_size || length < 8) {
            out.broken = true;
            break;
        }
        if (size - at < length) {
            break;  // the frame never completes
        }
        out.payloads.emplace_back(reinterpret_cast<const char*>(data) + at + 8, length - 8);
        at += length;
    }
    return out;
}

class recorder : public tovi::pipe_receiver {
  public:
    bool on_pipe_recv_data(tovi::pipe_connection*, const char* data, int32_t length) override {
        std::lock_guard<std::mutex> lock(lock_);
        payloads.emplace_back(data, static_cast<size_t>(length));
        return true;
    }
    void on_pipe_disconnect(tovi::pipe_connection*) override { ++disconnects; }
    size_t count() {
        std::lock_guard<std::mutex> lock(lock_);
        return payloads.size();
    }
    std::mutex lock_;
    std::vector<std::string> payloads;
    std::atomic<int> disconnects{0};
};

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool wait_for(const std::function<bool()>& done) {
    for (int i = 0; i < 5000; ++i) {
        if (done())
            return true;
        Sleep(1);
    }
    return done();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tovi::pipe_handler_async loop;
    static int counter = 0;
    const expectation expected = model(data, size);

    const std::string name = "tovi_fuzz_frames_" + std::to_string(GetCurrentProcessId()) + "_" +
                             std::to_string(counter++);
    std::wstring path = L"\\\\.\\pipe\\";
    for (char c : name)
        path += static_cast<wchar_t>(c);
    HANDLE server = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 1,
                                     1024, 1024, 0, nullptr);
    check(server != INVALID_HANDLE_VALUE);
    recorder receiver;
    std::shared_ptr<tovi::pipe_connection> client =
        tovi::pipe_connection::connect_to_server(name, 3, tovi::timing(), &receiver, &loop);
    check(client != nullptr);

    OVERLAPPED write{};
    write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (size != 0 && !WriteFile(server, data, static_cast<DWORD>(size), &written, &write)) {
        check(GetLastError() == ERROR_IO_PENDING);
    }
    check(wait_for([&] {
        return receiver.count() >= expected.payloads.size() &&
               receiver.disconnects == (expected.broken ? 1 : 0);
    }));
    Sleep(1);  // room for a delivery that should not come
    {
        std::lock_guard<std::mutex> lock(receiver.lock_);
        check(receiver.payloads == expected.payloads);
    }
    check(receiver.disconnects == (expected.broken ? 1 : 0));

    tovi::pipe_connection::release_pipe_connection(client);  // before the server end goes
    check(wait_for([] { return loop.attached_count() == 0; }));
    CancelIoEx(server, nullptr);
    GetOverlappedResult(server, &write, &written, TRUE);
    CloseHandle(server);
    CloseHandle(write.hEvent);
    return 0;
}
