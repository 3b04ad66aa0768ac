#include "command_line.h"

#include <cerrno>
#include <cstdlib>

namespace toviipc {

bool argument_cursor::done() {
    if (has_inline_value_) {
        throw usage_error(last_option_ + " takes no value");
    }
    if (!options_ended_ && next_ < arguments_.size() && arguments_[next_] == "--") {
        options_ended_ = true;
        ++next_;
    }
    return next_ >= arguments_.size();
}

argument argument_cursor::take() {
    argument taken{arguments_[next_++], false};
    taken.is_option = !options_ended_ && is_option(taken.text);
    if (taken.is_option && taken.text.rfind("--", 0) == 0) {
        const size_t equals = taken.text.find('=');
        if (equals != std::string::npos) {
            inline_value_ = taken.text.substr(equals + 1);
            has_inline_value_ = true;
            taken.text.resize(equals);
        }
    }
    last_option_ = taken.text;
    return taken;
}

std::string argument_cursor::value_of(const std::string& option) {
    if (has_inline_value_) {
        has_inline_value_ = false;
        return inline_value_;
    }
    if (next_ >= arguments_.size()) {
        throw usage_error(option + " needs a value");
    }
    return arguments_[next_++];
}

std::string argument_cursor::nonempty_value_of(const std::string& option,
                                               const std::string& needs) {
    std::string value = value_of(option);
    if (value.empty()) {
        throw usage_error(option + " needs " + needs);
    }
    return value;
}

usage_error unknown_option(const std::string& option) {
    return usage_error("unknown option: " + option);
}

bool is_help(const std::string& argument) {
    return argument == "--help" || argument == "-h";
}

bool is_option(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

namespace {
int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
}  // namespace

std::string parse_hex(const std::string& what, const std::string& text) {
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' && high < 0) {
            continue;
        }
        const int digit = hex_digit(c);
        if (digit < 0) {
            throw usage_error(what + ": '" + std::string(1, c) +
                              "' is not a hexadecimal digit (in '" + text + "')");
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        throw usage_error(what + ": an odd number of hexadecimal digits (in '" + text +
                          "'); each byte takes two");
    }
    if (bytes.empty()) {
        throw usage_error(what + " needs at least one byte");
    }
    return bytes;
}

void parse_info(const std::string& text, uint32_t out[5]) {
    size_t start = 0;
    for (int i = 0; i < 5; ++i) {
        const size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (i == 4)) {
            throw usage_error("--info needs five values A,B,C,D,E: '" + text + "'");
        }
        const std::string field =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(field.c_str(), &end, 0);
        if (field.empty() || field[0] == '-' || *end != '\0' || errno != 0 ||
            value > 0xFFFFFFFFull) {
            throw usage_error("--info value is no unsigned 32-bit number: '" + field + "'");
        }
        out[i] = static_cast<uint32_t>(value);
        start = comma + 1;
    }
}

double parse_seconds(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') {
        throw usage_error(option + " needs a number of seconds, not '" + text + "'");
    }
    if (!(seconds > 0)) {
        throw usage_error(option + " needs a positive number of seconds, not '" + text + "'");
    }
    if (seconds > max_stay_seconds) {
        throw usage_error(option + " may be at most 10000000 seconds (about 115 days), not '" +
                          text + "'");
    }
    return seconds;
}

}  // namespace toviipc
