// toviipc: a command-line host of the ToviIPC library, for trying it out, for scripts, and for
// watching a shared-memory block.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "process_control.h"

namespace toviipc {

bool open_log(const std::function<bool(const char*, const char*)>& init_log, const std::string& dir,
              const std::string& role) {
    if (dir.empty()) {
        return true;
    }
    const std::string file =
        "toviipc-" + role + "-" + std::to_string(current_process_id()) + ".log";
    if (init_log(dir.c_str(), file.c_str())) {
        return true;
    }
    std::fprintf(stderr, "toviipc %s: cannot open a log in %s\n", role.c_str(), dir.c_str());
    return false;
}

}  // namespace toviipc

namespace {

const char* const tool_help =
    "usage: toviipc COMMAND [ARGUMENTS]\n"
    "\n"
    "Messages between processes on one machine, through the ToviIPC library.\n"
    "\n"
    "  server NAME     listen on pipe NAME and print what happens\n"
    "  client NAME ID  connect to NAME as ID, send, and print what arrives\n"
    "  shm-read NAME   print the newest write to the shared-memory block NAME\n"
    "  demo            run a server, clients and a reader in separate processes\n"
    "                  and check what the library does (about 20 seconds)\n"
    "\n"
    "An option's value may follow it or an '=' (--send=hi); '--' ends the options.\n"
    "'toviipc COMMAND --help' describes a command; 'toviipc --version' prints the\n"
    "version. Bad arguments exit with status 2.\n";

struct command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* help;
};

const command commands[] = {
    {"server", &toviipc::run_server, toviipc::server_help},
    {"client", &toviipc::run_client, toviipc::client_help},
    {"shm-read", &toviipc::run_shm_read, toviipc::shm_read_help},
    {"demo", &toviipc::run_demo, toviipc::demo_help},
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty()) {
        std::fprintf(stderr, "toviipc: missing a command (see toviipc --help)\n");
        return toviipc::exit_usage;
    }
    if (toviipc::is_help(all[0])) {
        std::fputs(tool_help, stdout);
        return toviipc::exit_ok;
    }
    if (all[0] == "--version") {
        std::printf("toviipc %s\n", TOVIIPC_VERSION_STRING);
        return toviipc::exit_ok;
    }
    for (const command& c : commands) {
        if (all[0] != c.name) {
            continue;
        }
        const std::vector<std::string> arguments(all.begin() + 1, all.end());
        for (const std::string& argument : arguments) {
            if (argument == "--") {
                break;
            }
            if (toviipc::is_help(argument)) {
                std::fputs(c.help, stdout);
                return toviipc::exit_ok;
            }
        }
        try {
            const int status = c.run(arguments);
            toviipc::command_finished();
            return status;
        } catch (const toviipc::usage_error& error) {
            std::fprintf(stderr, "toviipc %s: %s (see toviipc %s --help)\n", c.name, error.what(),
                         c.name);
            return toviipc::exit_usage;
        }
    }
    std::fprintf(stderr, "toviipc: unknown command '%s' (see toviipc --help)\n", all[0].c_str());
    return toviipc::exit_usage;
}
