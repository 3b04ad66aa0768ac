// Reading a received payload: the one-pass way for a run of alike messages, the long way for the
// rest, and a byte stream's length as a host is given it.
#include "codec/received_reader.h"

namespace message_codec {

received_reader::result received_reader::read(const char* payload, size_t size, message* out) {
    *out = message{};
    message_reader::message whole;
    if (!fast_.read(payload, size, &whole)) {
        if (!decode_message(payload, size, &decoded_)) {
            return result::bad_message;
        }
        out->msg_type = decoded_.view.msg_type;
        out->client_id = decoded_.view.client_id;
        out->client_id_size = decoded_.view.client_id_size;
        return read_body(decoded_.view, out);
    }
    out->msg_type = whole.view.msg_type;
    out->client_id = whole.view.client_id;
    out->client_id_size = whole.view.client_id_size;
    switch (whole.view.msg_type) {
        case msg_string:
            text_.assign(whole.data, whole.data_size);  // handed on NUL-terminated
            out->data = text_.c_str();
            out->length = static_cast<int32_t>(whole.data_size);
            return result::ok;
        case msg_bytestream:
            // A negative length is no message; a length beyond the data is cut to the data.
            if (whole.number < 0) {
                return result::bad_body;
            }
            out->data = whole.data;
            out->length = static_cast<size_t>(whole.number) < whole.data_size
                              ? whole.number
                              : static_cast<int32_t>(whole.data_size);
            return result::ok;
        case msg_clientstate:
            out->state = whole.number;
            return result::ok;
        default:
            return result::ok;
    }
}

received_reader::result received_reader::read_body(const message_view& view, message* out) {
    switch (view.msg_type) {
        case msg_string:
            if (!decode_text(view.body, view.body_size, &text_)) {
                return result::bad_body;
            }
            out->data = text_.c_str();
            out->length = static_cast<int32_t>(text_.size());
            return result::ok;
        case msg_bytestream:
            return decode_bytes(view.body, view.body_size, &bytes_, &out->data, &out->length)
                       ? result::ok
                       : result::bad_body;
        case msg_clientstate:
            return decode_state(view.body, view.body_size, &out->state) ? result::ok
                                                                        : result::bad_body;
        default:
            return result::ok;
    }
}

void received_reader::give_back_room(size_t retained_bytes) {
    if (text_.capacity() > retained_bytes) {
        std::string().swap(text_);
    }
    if (bytes_.capacity() > retained_bytes) {
        std::vector<char>().swap(bytes_);
    }
    if (decoded_.storage.body.capacity() > retained_bytes) {
        decoded_.storage = PipeProtocol();
    }
}

}  // namespace message_codec
