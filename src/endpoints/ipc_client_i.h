// The client endpoint as the exported function table sees it.
#pragma once

#include <cstdint>

#include "endpoints/ipc_client_watch.h"

namespace tovi {

class ipc_client_i {
  public:
    virtual bool set_watch(ipc_client_watch* watch) = 0;
    virtual bool init_log(const char* directory, const char* file_name) = 0;
    virtual bool connect(const char* pipe_name, const char* client_id) = 0;
    virtual void disconnect() = 0;
    virtual bool send_string(const char* text, int32_t length) = 0;
    virtual bool send_bytestream(const char* data, int32_t length) = 0;
    virtual bool write_shared_memory(const char* data, uint32_t size, uint32_t v0, uint32_t v1,
                                     uint32_t v2, uint32_t v3, uint32_t v4) = 0;

  protected:
    ~ipc_client_i() = default;  // the owner destroys the concrete class
};

}  // namespace tovi
