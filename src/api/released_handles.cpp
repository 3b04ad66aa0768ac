// Released handle blocks, kept for the life of the process.
#include <mutex>
#include <vector>

#include "api/endpoint_factory.h"

namespace tovi_api {

void keep_released(ipc_handle* handle) {
    static std::mutex* lock = new std::mutex;
    static auto* kept = new std::vector<ipc_handle*>;
    std::lock_guard<std::mutex> hold(*lock);
    kept->push_back(handle);
}

}  // namespace tovi_api
