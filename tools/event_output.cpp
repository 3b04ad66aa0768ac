#include "event_output.h"

#include <cstdio>

#include "process_control.h"

namespace toviipc {

namespace {

// The length of the valid UTF-8 sequence at p (at most n bytes), 0 when invalid, or -1 when
// the bytes are a valid start cut short by the end.
int utf8_sequence(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        return 1;
    }
    int length = 0;
    uint32_t low = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        low = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = 0x10000;
    } else {
        return 0;
    }
    uint32_t code = c & (0x3F >> (length - 1));
    for (int i = 1; i < length; ++i) {
        if (static_cast<size_t>(i) >= n) {
            return -1;
        }
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

bool is_utf8(const char* bytes, size_t length, bool cut_allowed) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < length) {
        const int n = utf8_sequence(p + i, length - i);
        if (n == -1) {
            return cut_allowed;
        }
        if (n == 0) {
            return false;
        }
        i += static_cast<size_t>(n);
    }
    return true;
}

std::string to_hex(const char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

namespace {

// Appends one ASCII byte as it shows inside quotes: JSON escapes or C-style ones.
void append_escaped(std::string& out, unsigned char c, bool json) {
    const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
    if (named != nullptr) {
        out += named;
    } else if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
        char escape[8];
        std::snprintf(escape, sizeof(escape), json ? "\\u%04x" : "\\x%02x", c);
        out += escape;
    } else {
        out += static_cast<char>(c);
    }
}

}  // namespace

std::string json_quote(const std::string& text) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        const int n = utf8_sequence(p + i, text.size() - i);
        if (n <= 0) {
            out += "\\ufffd";
            ++i;
        } else {
            if (n > 1) {
                out.append(text, i, static_cast<size_t>(n));
            } else {
                append_escaped(out, p[i], true);
            }
            i += static_cast<size_t>(n);
        }
    }
    return out + "\"";
}

std::string readable_field(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            append_escaped(out, c, false);
        } else {
            out += ch;
        }
    }
    return out;
}

std::string readable_quote(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80) {
            out += ch;
        } else {
            append_escaped(out, c, false);
        }
    }
    return out + "\"";
}

event_record::event_record(const std::string& name) : name_(name) {}

event_record& event_record::client(const std::string& id) {
    fields_.push_back({"client", json_quote(id), readable_field(id)});
    return *this;
}

event_record& event_record::text(const std::string& key, const std::string& value) {
    fields_.push_back({key, json_quote(value), key + "=" + readable_field(value)});
    return *this;
}

event_record& event_record::number(const std::string& key, long long value) {
    fields_.push_back({key, std::to_string(value), key + "=" + std::to_string(value)});
    return *this;
}

event_record& event_record::numbers(const std::string& key, const uint32_t* values, size_t count) {
    std::string json = "[";
    std::string readable = key + "=";
    for (size_t i = 0; i < count; ++i) {
        const std::string value = std::to_string(values[i]);
        json += (i ? "," : "") + value;
        readable += (i ? "," : "") + value;
    }
    fields_.push_back({key, json + "]", readable});
    return *this;
}

event_record& event_record::data(const char* bytes, size_t length, size_t show_limit) {
    const size_t shown = length < show_limit ? length : show_limit;
    const bool cut = shown < length;
    const std::string hex = to_hex(bytes, shown);
    fields_.push_back({"length", std::to_string(length), ""});
    if (cut) {
        fields_.push_back({"shown", std::to_string(shown), ""});
    }
    fields_.push_back({"hex", "\"" + hex + "\"", ""});
    data_readable_ = std::to_string(length) + " bytes";
    if (cut) {
        data_readable_ += " (first " + std::to_string(shown) + ")";
    }
    if (is_utf8(bytes, shown, cut)) {
        // A character cut by the limit is left out of the text.
        size_t whole = shown;
        while (cut && whole > 0 && !is_utf8(bytes, whole)) {
            --whole;
        }
        const std::string text(bytes, whole);
        fields_.push_back({"text", json_quote(text), ""});
        data_readable_ += " " + readable_quote(text);
    } else {
        data_readable_ += " hex " + hex;
    }
    return *this;
}

std::string event_record::json() const {
    std::string out = "{\"event\":" + json_quote(name_);
    for (const field& f : fields_) {
        out += "," + json_quote(f.key) + ":" + f.json_value;
    }
    return out + "}";
}

std::string event_record::readable() const {
    std::string out = name_;
    for (const field& f : fields_) {
        if (!f.readable.empty()) {
            out += " " + f.readable;
        }
    }
    if (!data_readable_.empty()) {
        out += " " + data_readable_;
    }
    return out;
}

void event_printer::print(const event_record& record) {
    std::lock_guard<std::mutex> hold(lock_);
    const std::string line = json_ ? record.json() : time_of_day() + " " + record.readable();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace toviipc
