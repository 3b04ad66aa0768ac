// The server endpoint as the exported function table sees it.
#pragma once

#include <cstdint>

#include "endpoints/ipc_server_watch.h"

namespace tovi {

class ipc_server_i {
  public:
    virtual bool set_watch(ipc_server_watch* watch) = 0;
    virtual bool init_log(const char* directory, const char* file_name) = 0;
    virtual bool start(const char* pipe_name) = 0;
    virtual void stop() = 0;
    virtual bool send_string(const char* client_id, const char* text, int32_t length) = 0;
    virtual bool send_bytestream(const char* client_id, const char* data, int32_t length) = 0;
    virtual bool disconnect_client(const char* client_id) = 0;

  protected:
    ~ipc_server_i() = default;  // the owner destroys the concrete class
};

}  // namespace tovi
