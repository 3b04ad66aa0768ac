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

// One argument as the cursor reads it: an option ("--send", "-e"), or, when is_option is
// false, a positional argument (anything after "--", "-" alone, or a text without a dash).
struct argument {
    std::string text;
    bool is_option;
};

// The arguments after the subcommand's name, read front to back. "--" ends the options;
// "--NAME=VALUE" is read as the option --NAME with the value VALUE.
class argument_cursor {
  public:
    explicit argument_cursor(std::vector<std::string> arguments)
        : arguments_(std::move(arguments)) {}

    // True when nothing is left; a usage_error when the option just taken was given a value
    // with '=' that it did not read.
    bool done();
    argument take();
    // The value of the option just taken: the text after its '=', or else the next argument,
    // whatever it begins with ("--send -5" sends "-5"); a usage_error when there is none.
    std::string value_of(const std::string& option);
    // value_of for an option whose value may not be empty; the error names what it needs.
    std::string nonempty_value_of(const std::string& option, const std::string& needs);

  private:
    std::vector<std::string> arguments_;
    size_t next_ = 0;
    bool options_ended_ = false;
    bool has_inline_value_ = false;
    std::string inline_value_;
    std::string last_option_;
};

// The usage_error for an option that the command does not know.
usage_error unknown_option(const std::string& option);

// True for "--help" and "-h".
bool is_help(const std::string& argument);
bool is_option(const std::string& argument);

// "00 ff" or "00ff" (any case, blanks allowed between bytes) to bytes; a usage_error that
// begins with what (the option or command that took the text) and says what is wrong.
std::string parse_hex(const std::string& what, const std::string& text);
// "1,2,3,4,5": five unsigned 32-bit values, decimal or 0x-prefixed.
void parse_info(const std::string& text, uint32_t out[5]);

// The longest --stay: longer waits are surely a mistake (and would overflow the clock).
constexpr double max_stay_seconds = 1e7;  // about 115 days
// A positive number of seconds up to max_stay_seconds, fractions allowed; a usage_error that
// begins with option otherwise.
double parse_seconds(const std::string& option, const std::string& text);

}  // namespace toviipc
