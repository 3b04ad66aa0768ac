// What the toviipc tool prints: one line per event, readable or as one JSON object, flushed at
// once so that a script reading the output sees every event when it happens.
//
// Readable:  10:02:03.790 message alpha 5 bytes "hello"
// JSON:      {"event":"message","client":"alpha","length":5,"hex":"68656c6c6f","text":"hello"}
//
// Data is shown as text when its bytes are valid UTF-8, and as hexadecimal otherwise; JSON
// always carries "hex", and "text" only for valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace toviipc {

// One event: its name and its fields, in the order added.
class event_record {
  public:
    explicit event_record(const std::string& name);

    // The client id, shown bare in readable lines.
    event_record& client(const std::string& id);
    event_record& text(const std::string& key, const std::string& value);
    event_record& number(const std::string& key, long long value);
    event_record& numbers(const std::string& key, const uint32_t* values, size_t count);
    // "length", "hex" and, for valid UTF-8, "text"; at most show_limit bytes are shown, and a
    // cut shows as "shown" with the number of bytes shown.
    event_record& data(const char* bytes, size_t length, size_t show_limit = SIZE_MAX);

    std::string json() const;
    std::string readable() const;

  private:
    struct field {
        std::string key;
        std::string json_value;
        std::string readable;
    };
    std::string name_;
    std::vector<field> fields_;
    std::string data_readable_;
};

// Prints events to standard output, one flushed line each; any thread.
class event_printer {
  public:
    explicit event_printer(bool json) : json_(json) {}
    void print(const event_record& record);

  private:
    std::mutex lock_;  // a leaf: held for one write
    bool json_;
};

// True when the bytes are valid UTF-8. With cut_allowed, an incomplete sequence at the very
// end (data cut short) is accepted.
bool is_utf8(const char* bytes, size_t length, bool cut_allowed = false);
std::string to_hex(const char* bytes, size_t length);
// A JSON string literal, quotes included; invalid UTF-8 becomes U+FFFD.
std::string json_quote(const std::string& text);
// A C-style quoted string for readable lines.
std::string readable_quote(const std::string& text);
// The same escapes without the quotes, for ids and other fields of a text-mode line: a peer's
// text can never start a line of its own.
std::string readable_field(const std::string& text);

}  // namespace toviipc
