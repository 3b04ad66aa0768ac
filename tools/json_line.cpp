#include "json_line.h"

#include <cstdint>
#include <cstdlib>

namespace toviipc {

namespace {

class json_cursor {
  public:
    explicit json_cursor(const std::string& text) : text_(text) {}

    void skip_blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }
    bool take(char c) {
        skip_blanks();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool at_end() {
        skip_blanks();
        return at_ == text_.size();
    }
    char peek() {
        skip_blanks();
        return at_ < text_.size() ? text_[at_] : '\0';
    }

    bool string(std::string* out) {
        if (!take('"')) {
            return false;
        }
        out->clear();
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            const char e = text_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out->push_back(e);
                    break;
                case 'b':
                    out->push_back('\b');
                    break;
                case 'f':
                    out->push_back('\f');
                    break;
                case 'n':
                    out->push_back('\n');
                    break;
                case 'r':
                    out->push_back('\r');
                    break;
                case 't':
                    out->push_back('\t');
                    break;
                case 'u':
                    if (!unicode_escape(out)) {
                        return false;
                    }
                    break;
                default:
                    return false;
            }
        }
        return false;
    }

    // A number, true, false or null, kept as written.
    bool scalar(std::string* out) {
        skip_blanks();
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != '}' && text_[at_] != ']' &&
               text_[at_] != ' ') {
            ++at_;
        }
        out->assign(text_, start, at_ - start);
        return !out->empty();
    }

    bool array(std::string* out) {
        out->clear();
        if (!take('[')) {
            return false;
        }
        if (take(']')) {
            return true;
        }
        do {
            std::string item;
            if (!scalar(&item)) {
                return false;
            }
            *out += (out->empty() ? "" : ",") + item;
        } while (take(','));
        return take(']');
    }

  private:
    bool hex4(uint32_t* code) {
        if (at_ + 4 > text_.size()) {
            return false;
        }
        char* end = nullptr;
        const std::string digits = text_.substr(at_, 4);
        *code = static_cast<uint32_t>(std::strtoul(digits.c_str(), &end, 16));
        at_ += 4;
        return *end == '\0';
    }

    bool unicode_escape(std::string* out) {
        uint32_t code = 0;
        if (!hex4(&code)) {
            return false;
        }
        if (code >= 0xD800 && code <= 0xDBFF && text_.compare(at_, 2, "\\u") == 0) {
            at_ += 2;
            uint32_t low = 0;
            if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (code >> 6)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (code >> 12)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (code >> 18)));
            out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

bool parse_event_line(const std::string& line, event_fields* out) {
    out->clear();
    json_cursor cursor(line);
    if (!cursor.take('{')) {
        return false;
    }
    if (!cursor.take('}')) {
        do {
            std::string key;
            std::string value;
            if (!cursor.string(&key) || !cursor.take(':')) {
                return false;
            }
            const char first = cursor.peek();
            const bool ok = first == '"'   ? cursor.string(&value)
                            : first == '[' ? cursor.array(&value)
                                           : cursor.scalar(&value);
            if (!ok) {
                return false;
            }
            (*out)[key] = value;
        } while (cursor.take(','));
        if (!cursor.take('}')) {
            return false;
        }
    }
    return cursor.at_end();
}

bool event_matches(const event_fields& fields, const std::string& event, const event_fields& with) {
    const auto name = fields.find("event");
    if (name == fields.end() || name->second != event) {
        return false;
    }
    for (const auto& want : with) {
        const auto field = fields.find(want.first);
        if (field == fields.end() || field->second != want.second) {
            return false;
        }
    }
    return true;
}

}  // namespace toviipc
