#include "command_line.h"

#include <cerrno>
#include <cstdlib>

namespace toviipc {

std::string argument_cursor::value_of(const std::string& option) {
    if (done() || (is_option(peek()) && peek() != "-")) {
        throw usage_error(option + " needs a value");
    }
    return take();
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

std::string parse_hex(const std::string& text) {
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' && high < 0) {
            continue;
        }
        const int digit = hex_digit(c);
        if (digit < 0) {
            throw usage_error("not hexadecimal bytes: '" + text + "'");
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty()) {
        throw usage_error("not hexadecimal bytes: '" + text + "'");
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

double parse_seconds(const std::string& text) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds > 0) || seconds > 1e7) {
        throw usage_error("not a positive number of seconds: '" + text + "'");
    }
    return seconds;
}

}  // namespace toviipc
