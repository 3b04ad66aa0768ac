"""Checks and conversions of the values passed to the library: wrong types raise TypeError,
values the library would refuse raise ValueError (or MessageTooLargeError), before anything is
called."""

from typing import Tuple, Union

from .errors import MessageTooLargeError

MAX_FRAME_BYTES = 52428800  # the largest frame any receiver takes, header included (50 MiB)
# What a frame adds to a message's data near that limit: its header and the record around the
# data. A client's record also holds its id, whose length takes 3 bytes more past 255 bytes.
_RECORD_BYTES = {"send_string": 196, "send_bytestream": 206}
_SHORT_ID_BYTES = 255
_LONG_ID_EXTRA_BYTES = 3
MAX_SHM_WRITE_BYTES = 15663103  # what one slot of the shared-memory block holds

BytesLike = Union[bytes, bytearray, memoryview]


def name_bytes(name: str, what: str, errors: str = "strict") -> bytes:
    """A pipe name, client id or path as the NUL-terminated UTF-8 the library takes."""
    if not isinstance(name, str):
        raise TypeError("%s must be str, not %s" % (what, type(name).__name__))
    if not name:
        raise ValueError("%s must not be empty" % what)
    if "\0" in name:
        raise ValueError("%s must not contain NUL" % what)
    return name.encode("utf-8", errors)


def text_bytes(text: str) -> bytes:
    """A text message: UTF-8 without NUL (the library sends a text up to its first NUL)."""
    if not isinstance(text, str):
        raise TypeError(
            "a text must be str, not %s; send bytes with send_bytes" % type(text).__name__
        )
    if "\0" in text:
        raise ValueError("a text must not contain NUL; send such data with send_bytes")
    return _not_empty(text.encode("utf-8"))


def bytes_of(data: BytesLike) -> bytes:
    """A byte-stream message or block of data: anything bytes-like, copied."""
    if isinstance(data, str):
        raise TypeError("data must be bytes-like, not str; send a text with send_text")
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError("data must be bytes-like, not %s" % type(data).__name__) from None
    return _not_empty(view.tobytes())


def message_bytes(data: Union[str, BytesLike]) -> Tuple[str, bytes]:
    """The function-table entry and payload for a str (a text) or bytes-like data."""
    if isinstance(data, str):
        return "send_string", text_bytes(data)
    return "send_bytestream", bytes_of(data)


def check_frame(entry: str, payload: bytes, client_id: bytes = b"") -> None:
    """Raises MessageTooLargeError when the frame of this message would exceed the limit;
    client_id is the sending client's id (a server's messages carry none)."""
    id_bytes = len(client_id)
    if id_bytes > _SHORT_ID_BYTES:
        id_bytes += _LONG_ID_EXTRA_BYTES
    largest = MAX_FRAME_BYTES - _RECORD_BYTES[entry] - id_bytes
    if len(payload) > largest:
        raise MessageTooLargeError(
            "nothing was sent: a message of %d bytes is above the %d that fit into the largest "
            "frame a receiver takes (%d bytes)" % (len(payload), largest, MAX_FRAME_BYTES)
        )


def _not_empty(payload: bytes) -> bytes:
    if not payload:
        raise ValueError("a message must hold at least one byte")
    return payload
