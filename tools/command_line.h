// Command-line parsing for the toviipc tool: a cursor over the arguments of one subcommand,
// and the error that ends the tool with a one-line message and exit status 2.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace toviipc {

// Exit statuses shared by every subcommand.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;       // the library refused something (logged on stderr)
constexpr int exit_usage = 2;        // bad arguments
constexpr int exit_peer_gone = 3;    // client: the server went away or dropped it
constexpr int exit_unreachable = 4;  // no server to connect to, name taken, or no block

// Thrown for bad arguments; the message is one line without the program's name.
class usage_error : public std::runtime_error {
  public:
    explicit usage_error(const std::string& message) : std::runtime_error(message) {}
};

// The arguments after the subcommand's name, read front to back.
class argument_cursor {
  public:
    explicit argument_cursor(std::vector<std::string> arguments)
        : arguments_(std::move(arguments)) {}

    bool done() const { return next_ >= arguments_.size(); }
    const std::string& peek() const { return arguments_[next_]; }
    std::string take() { return arguments_[next_++]; }
    // The value of an option such as "--log DIR"; a usage_error when it is missing.
    std::string value_of(const std::string& option);

  private:
    std::vector<std::string> arguments_;
    size_t next_ = 0;
};

// True for "--help" and "-h".
bool is_help(const std::string& argument);
bool is_option(const std::string& argument);

// "00 ff" or "00ff" (any case, blanks allowed between bytes) to bytes; usage_error otherwise.
std::string parse_hex(const std::string& text);
// "1,2,3,4,5": five unsigned 32-bit values, decimal or 0x-prefixed.
void parse_info(const std::string& text, uint32_t out[5]);
// A positive number of seconds, fractions allowed.
double parse_seconds(const std::string& text);

}  // namespace toviipc
