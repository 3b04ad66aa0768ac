"""SharedMemoryReader: reads the shared-memory block that a ToviIPC client writes, through the
reader library (ToviIPCReader.dll, libtoviipc_reader.so)."""

import ctypes
import threading
import time
from typing import Iterator, NamedTuple, Optional, Tuple

from . import _library
from ._values import name_bytes
from .errors import ClosedError, Error, NoBlockError

# Results of the reader library (include/toviipc_shm.h).
_OK, _EMPTY, _BUSY, _TOO_SMALL, _TIMEOUT, _NO_BLOCK = 0, 1, 2, 3, 4, 5

_WAIT_SLICE_MS = 100  # a wait in the library at a time, so that Ctrl+C and close() get a turn
_BUSY_PAUSE_S = 0.001  # between reads while another reader copies the newest write
_DEFAULT_BUSY_TIMEOUT_S = 1.0
_FIRST_BUFFER_BYTES = 64 * 1024


class ShmWrite(NamedTuple):
    """One write: the slot it was in, its five values, its data."""

    slot: int
    info: Tuple[int, int, int, int, int]
    data: bytes


class ShmHeader(NamedTuple):
    """The block's header: the values of the newest write, the slot the writer tries next
    (the newest data is in the other), and the bytes last written to each slot (0: never)."""

    info: Tuple[int, int, int, int, int]
    next_slot: int
    slot_length: Tuple[int, int]


def _header_of(raw: _library.ShmHeaderStruct) -> ShmHeader:
    return ShmHeader(tuple(raw.info), raw.next_slot, tuple(raw.slot_length))


class SharedMemoryReader:
    """Opens the block of the pipe name; raises NoBlockError when no client has it open.

    While the reader is open the block stays, also after its writer disconnected. One reader
    may be used from several threads; its calls take turns.
    """

    def __init__(self, name: str):
        encoded = name_bytes(name, "pipe name")
        self._lib = _library.load("reader")
        self._lock = threading.Lock()
        self._reader = ctypes.c_void_p()
        self._buffer = ctypes.create_string_buffer(_FIRST_BUFFER_BYTES)
        self.name = name
        result = self._lib.toviipc_shm_open(encoded, ctypes.byref(self._reader))
        if result == _NO_BLOCK:
            raise NoBlockError("no shared-memory block %r: is a client connected on it?" % name)
        if result != _OK:
            raise Error("cannot open the block %r: %s" % (name, self._text(result)))

    def _text(self, result: int) -> str:
        return self._lib.toviipc_shm_result_text(result).decode("utf-8")

    def _open_reader(self) -> ctypes.c_void_p:
        if not self._reader:
            raise ClosedError("the reader of %r is closed" % self.name)
        return self._reader

    def read(self, busy_timeout: float = _DEFAULT_BUSY_TIMEOUT_S) -> Optional[ShmWrite]:
        """The newest write, or None when nothing was written yet. While other readers copy it,
        tries again for up to busy_timeout seconds, then raises Error."""
        deadline = time.monotonic() + busy_timeout
        data = _library.ShmDataStruct()
        while True:
            with self._lock:
                result = self._lib.toviipc_shm_read(
                    self._open_reader(), self._buffer, len(self._buffer), ctypes.byref(data)
                )
                if result == _OK:
                    payload = ctypes.string_at(self._buffer, data.length)
                    return ShmWrite(data.slot, tuple(data.info), payload)
                if result == _TOO_SMALL:
                    self._buffer = ctypes.create_string_buffer(data.length)
                    continue
            if result == _EMPTY:
                return None
            if result != _BUSY or time.monotonic() >= deadline:
                raise Error("cannot read the block %r: %s" % (self.name, self._text(result)))
            time.sleep(_BUSY_PAUSE_S)

    def peek(self) -> ShmHeader:
        """The header as it is now, read without a lock."""
        raw = _library.ShmHeaderStruct()
        with self._lock:
            result = self._lib.toviipc_shm_peek(self._open_reader(), ctypes.byref(raw))
        if result != _OK:
            raise Error("cannot read the header of %r: %s" % (self.name, self._text(result)))
        return _header_of(raw)

    def wait(
        self, since: Optional[ShmHeader] = None, timeout: Optional[float] = None
    ) -> Optional[ShmHeader]:
        """Waits until the header differs from since (default: the header now) and returns
        the new header, or None when timeout seconds (None: no limit) passed first."""
        if since is not None and not isinstance(since, ShmHeader):
            raise TypeError("since must be a ShmHeader, not %s" % type(since).__name__)
        seen = self.peek() if since is None else since
        raw = _library.ShmHeaderStruct(
            (ctypes.c_uint32 * 5)(*seen.info),
            seen.next_slot,
            (ctypes.c_uint32 * 2)(*seen.slot_length),
        )
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            slice_ms = _WAIT_SLICE_MS
            if deadline is not None:
                left_ms = int((deadline - time.monotonic()) * 1000)
                if left_ms <= 0:
                    return None
                slice_ms = min(slice_ms, left_ms)
            with self._lock:
                result = self._lib.toviipc_shm_wait(
                    self._open_reader(), ctypes.byref(raw), slice_ms, ctypes.byref(raw)
                )
            if result == _OK:
                return _header_of(raw)
            if result != _TIMEOUT:
                raise Error("cannot watch the block %r: %s" % (self.name, self._text(result)))

    def writes(self, timeout: Optional[float] = None) -> Iterator[ShmWrite]:
        """Iterates over the newest write (when there is one) and then each new write; ends
        when none came for timeout seconds (None: never). Writes closer together than a few
        milliseconds may show as one."""
        seen = self.peek()
        newest = self.read()
        if newest is not None:
            yield newest
        while True:
            seen = self.wait(seen, timeout)
            if seen is None:
                return
            newest = self.read()
            if newest is not None:
                yield newest

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return "<toviipc.SharedMemoryReader of %r, %s>" % (self.name, state)

    def close(self) -> None:
        """Closes the reader; closing again does nothing."""
        with self._lock:
            if self._reader:
                self._lib.toviipc_shm_close(self._reader)
                self._reader = ctypes.c_void_p()

    @property
    def closed(self) -> bool:
        """True once close() has closed the reader."""
        return not self._reader

    def __enter__(self) -> "SharedMemoryReader":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_reader", None):
            self.close()
