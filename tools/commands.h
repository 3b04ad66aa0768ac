// The subcommands of the toviipc tool. Each takes the arguments after its own name, prints
// its events on standard output and returns the process's exit status (see command_line.h);
// bad arguments throw usage_error.
#pragma once

#include <string>
#include <vector>

namespace toviipc {

int run_server(const std::vector<std::string>& arguments);
int run_client(const std::vector<std::string>& arguments);
int run_shm_read(const std::vector<std::string>& arguments);
int run_demo(const std::vector<std::string>& arguments);

extern const char* const server_help;
extern const char* const client_help;
extern const char* const shm_read_help;
extern const char* const demo_help;

// The log file a command opens with --log DIR: one per process.
std::string log_file_name(const std::string& role);

}  // namespace toviipc
