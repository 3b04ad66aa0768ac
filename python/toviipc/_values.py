"""Checks and conversions of the values passed to the library: wrong types raise TypeError,
values the library would refuse raise ValueError, before anything is called."""

MAX_MESSAGE_BYTES = 2**31 - 1  # lengths are signed 32-bit in the library's interface


def name_bytes(name, what, errors="strict"):
    """A pipe name, client id or path as the NUL-terminated UTF-8 the library takes."""
    if not isinstance(name, str):
        raise TypeError("%s must be str, not %s" % (what, type(name).__name__))
    if not name:
        raise ValueError("%s must not be empty" % what)
    if "\0" in name:
        raise ValueError("%s must not contain NUL" % what)
    return name.encode("utf-8", errors)


def text_bytes(text):
    """A text message: UTF-8 without NUL (the library sends a text up to its first NUL)."""
    if not isinstance(text, str):
        raise TypeError(
            "a text must be str, not %s; send bytes with send_bytes" % type(text).__name__
        )
    if "\0" in text:
        raise ValueError("a text must not contain NUL; send such data with send_bytes")
    return _checked(text.encode("utf-8"))


def bytes_of(data):
    """A byte-stream message or block of data: anything bytes-like, copied."""
    if isinstance(data, str):
        raise TypeError("data must be bytes-like, not str; send a text with send_text")
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError("data must be bytes-like, not %s" % type(data).__name__) from None
    return _checked(view.tobytes())


def message_bytes(data):
    """The function-table entry and payload for a str (a text) or bytes-like data."""
    if isinstance(data, str):
        return "send_string", text_bytes(data)
    return "send_bytestream", bytes_of(data)


def _checked(payload):
    if not payload:
        raise ValueError("a message must hold at least one byte")
    if len(payload) > MAX_MESSAGE_BYTES:
        raise ValueError("a message may hold at most %d bytes" % MAX_MESSAGE_BYTES)
    return payload
