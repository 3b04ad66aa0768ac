// The errors of the tagged encoding. The codec is the only part of the library that raises
// exceptions; encode_record and decode_record catch every one of them, so none crosses into
// the rest of the library.
//
//   JceException                  std::runtime_error; the common base, never raised itself
//     JceDecodeException          malformed or truncated input, nesting too deep
//       JceDecodeMismatch         a field holds a type other than the one read
//       JceDecodeRequireNotExist  a required field is absent
//       JceDecodeInvalidValue     a negative count or a string over the size limit
//
// what() returns the message text; the texts are fixed, peers' logs and tests rely on them.
#pragma once

#include <stdexcept>
#include <string>

namespace taf {

class JceException : public std::runtime_error {
  public:
    explicit JceException(const std::string& message) : std::runtime_error(message) {}
};

class JceDecodeException : public JceException {
  public:
    explicit JceDecodeException(const std::string& message) : JceException(message) {}
};

class JceDecodeMismatch : public JceDecodeException {
  public:
    explicit JceDecodeMismatch(const std::string& message) : JceDecodeException(message) {}
};

class JceDecodeRequireNotExist : public JceDecodeException {
  public:
    explicit JceDecodeRequireNotExist(const std::string& message) : JceDecodeException(message) {}
};

class JceDecodeInvalidValue : public JceDecodeException {
  public:
    explicit JceDecodeInvalidValue(const std::string& message) : JceDecodeException(message) {}
};

// Fills a printf-style format into a message text. Arguments are int or unsigned long long
// only (%d, %llu); every text of the codec is far below the 128 characters kept.
std::string format_message(const char* format, ...);

}  // namespace taf
