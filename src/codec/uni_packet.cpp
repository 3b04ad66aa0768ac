// The packet envelope: its header fields around the attribute map, behind a 4-byte length.
#include "codec/uni_packet.h"

#include <cstring>
#include <stdexcept>

namespace taf {

void UniPacket::encode(std::vector<char>& out) {
    writer_.reset();
    if (ServantName.empty()) {
        throw std::runtime_error("ServantName must not be empty");
    }
    if (FuncName.empty()) {
        throw std::runtime_error("FuncName must not be empty");
    }
    writer_.write(attributes_, 0);
    Buffer.assign(writer_.data(), writer_.data() + writer_.length());

    writer_.reset();
    writer_.write(Version, 1);
    writer_.write(PacketType, 2);
    writer_.write(MessageType, 3);
    writer_.write(RequestId, 4);
    writer_.write(ServantName, 5);
    writer_.write(FuncName, 6);
    writer_.write(Buffer, 7);
    writer_.write(Timeout, 8);
    writer_.write(Context, 9);
    writer_.write(Status, 10);

    const size_t header_bytes = writer_.length();
    const uint32_t total = static_cast<uint32_t>(header_bytes + 4);
    out.resize(header_bytes + 4);
    for (size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<char>(total >> (8 * (3 - i)));
    }
    std::memcpy(out.data() + 4, writer_.data(), header_bytes);
}

void UniPacket::decode(const char* data, size_t length) {
    if (length < 4) {
        throw std::runtime_error("packet length too short");
    }
    reader_.set_buffer(data + 4, length - 4);
    reader_.read(Version, 1, true);
    reader_.read(PacketType, 2, false);
    reader_.read(MessageType, 3, false);
    reader_.read(RequestId, 4, true);
    reader_.read(ServantName, 5, true);
    reader_.read(FuncName, 6, true);
    reader_.read(Buffer, 7, true);
    reader_.read(Timeout, 8, false);
    reader_.read(Context, 9, false);
    reader_.read(Status, 10, false);

    reader_.set_buffer(Buffer.data(), Buffer.size());
    attributes_.clear();
    reader_.read(attributes_, 0, true);
}

}  // namespace taf
