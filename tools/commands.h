// The subcommands of the toviipc tool. Each takes the arguments after its own name, prints
// its events on standard output and returns the process's exit status (see command_line.h);
// bad arguments throw usage_error.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "toviipc.h"

namespace toviipc {

int run_server(const std::vector<std::string>& arguments);
int run_client(const std::vector<std::string>& arguments);
int run_shm_read(const std::vector<std::string>& arguments);
int run_demo(const std::vector<std::string>& arguments);

extern const char* const server_help;
extern const char* const client_help;
extern const char* const shm_read_help;
extern const char* const demo_help;

// For --log DIR: opens the library's log DIR/toviipc-ROLE-PID.log (one per process) through
// init_log(directory, file). True when dir is empty (no log asked for); false, with a line on
// standard error, when the log cannot be opened.
bool open_log(const std::function<bool(const char*, const char*)>& init_log, const std::string& dir,
              const std::string& role);

}  // namespace toviipc
