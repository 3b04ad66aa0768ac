// Feeds arbitrary bytes to decode_record for each record type. Whatever decodes is encoded
// again and decoded once more; the two decodes must agree, or the target aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/records.h"

namespace {

template <typename R>
void check_round_trip(const char* data, int32_t length, const char* type_name) {
    R first;
    if (decode_record(first, data, length) != 0) {
        return;
    }
    std::vector<char> encoded;
    encode_record(encoded, first);
    R second;
    if (decode_record(second, encoded.data(), static_cast<int32_t>(encoded.size())) != 0 ||
        !(first == second)) {
        std::fprintf(stderr, "%s: decode, encode, decode does not reproduce the record\n",
                     type_name);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT32_MAX) {
        return 0;
    }
    const char* bytes = reinterpret_cast<const char*>(data);
    const int32_t length = static_cast<int32_t>(size);
    check_round_trip<PipeProtocol>(bytes, length, PipeProtocol::type_name);
    check_round_trip<StringData>(bytes, length, StringData::type_name);
    check_round_trip<ByteStreamData>(bytes, length, ByteStreamData::type_name);
    check_round_trip<StateNotice>(bytes, length, StateNotice::type_name);
    return 0;
}
