"""Server and Client: ToviIPC endpoints as Python objects.

Each object owns one handle of the library, its function table and its callback table; the
ctypes callback objects live as long as the Python object, and an open endpoint is referenced
from a module-level set until it is closed, so that they can never be collected while the
library may call them. Endpoints still open when the interpreter exits are closed by an atexit
handler, before the interpreter finalises; from then on callbacks return at once.

Events arrive on the library's threads. Each kind of event goes to the callable given for it,
called on that thread, or, when none was given, into the endpoint's queue, read with
get_event() or events().
"""

import asyncio
import atexit
import ctypes
import queue
import sys
import threading
import time
import traceback
from typing import (
    AsyncIterator,
    Callable,
    Dict,
    Iterator,
    NamedTuple,
    Optional,
    Set,
    Tuple,
    TypeVar,
    Union,
)

from . import _library
from ._values import (
    MAX_SHM_WRITE_BYTES,
    BytesLike,
    bytes_of,
    check_frame,
    message_bytes,
    name_bytes,
    text_bytes,
)
from .errors import (
    AlreadyConnectedError,
    AlreadyListeningError,
    BlockBusyError,
    ClosedError,
    Error,
    MessageTooLargeError,
    NameTakenError,
    NoServerError,
    NoSuchClientError,
    NotConnectedError,
    SendQueueFullError,
)

DEFAULT_QUEUE_LIMIT = 10000  # events waiting in a queue; beyond that a library thread waits
_QUEUE_SLICE_S = 0.1  # seconds; how often a waiting put or get looks at the endpoint's state
# How long a send from a host thread waits for room in a full send queue before the library
# refuses it; a refusal that comes sooner has another reason (the link is gone).
_SEND_QUEUE_WAIT_S = 3.0
_CLOCK_SLACK_S = 0.01


class Event(NamedTuple):
    """One event: kind is "message", "connect" or "disconnect"; client is the client id (on a
    server; None on a client); data is the message's bytes (None for other kinds)."""

    kind: str
    client: Optional[str] = None
    data: Optional[bytes] = None

    @property
    def text(self) -> Optional[str]:
        """The data as UTF-8 text (None for events without data)."""
        return None if self.data is None else self.data.decode("utf-8")


_live_lock = threading.Lock()
_live: Set["_Endpoint"] = set()
_exiting = False
_in_callback = threading.local()


def _close_all_at_exit() -> None:
    global _exiting
    _exiting = True
    with _live_lock:
        endpoints = list(_live)
    for endpoint in endpoints:
        endpoint.close()


atexit.register(_close_all_at_exit)


def _callbacks_unwanted() -> bool:
    return _exiting or sys.is_finalizing()


def _decode_id(raw: bytes) -> str:
    # Ids come back unchanged when sent to: undecodable bytes survive as surrogates.
    return raw.decode("utf-8", "surrogateescape")


def _encode_id(client: str) -> bytes:
    if not isinstance(client, str):
        raise TypeError("a client id must be str, not %s" % type(client).__name__)
    return name_bytes(client, "client id", errors="surrogateescape")


def _data_at(pointer: Optional[int], length: int) -> bytes:
    return ctypes.string_at(pointer, length) if pointer and length > 0 else b""


def _in_own_callback(endpoint: "_Endpoint") -> bool:
    return getattr(_in_callback, "endpoint", None) is endpoint


def _wake(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


_Self = TypeVar("_Self", bound="_Endpoint")
_Tables = Tuple[ctypes.Structure, ctypes.Structure]  # the function table, the callback table


class _Endpoint:
    _role = ""  # "server" or "client"

    def __init__(self, handlers: Dict[str, Optional[Callable[..., None]]], queue_limit: int):
        for name, handler in handlers.items():
            if handler is not None and not callable(handler):
                raise TypeError("on_%s must be callable or None" % name)
        if not isinstance(queue_limit, int) or queue_limit < 1:
            raise TypeError("queue_limit must be a positive int")
        self._handlers = handlers
        self._queue: "queue.Queue[Event]" = queue.Queue(maxsize=queue_limit)
        self._state = threading.Condition()
        self._async_waiters: Set["asyncio.Future[None]"] = set()
        self._active_calls = 0
        self._closing = False
        self._closed = False
        self._lib = _library.load("main")
        self._functions, self._callbacks = self._tables()
        self._handle = getattr(self._lib, "create_tovi_ipc_" + self._role)(
            ctypes.byref(self._functions), ctypes.byref(self._callbacks)
        )
        if not self._handle:
            raise Error("the library could not create a %s" % self._role)
        with _live_lock:
            _live.add(self)

    def _tables(self) -> _Tables:
        raise NotImplementedError

    def _or_close(self, call: Callable[..., None], *args: object) -> None:
        """For constructors: runs call, and closes the endpoint when it raises."""
        try:
            call(*args)
        except BaseException:
            self.close()
            raise

    # --- events -------------------------------------------------------------------------

    def _observe(self, kind: str, client: Optional[str]) -> None:
        """Runs on a library thread before an event is handed on: keeps the state in step."""

    def _dispatch(
        self, kind: str, client: Optional[str] = None, data: Optional[bytes] = None
    ) -> None:
        """Runs on a library thread: hands the event to its callable or to the queue."""
        self._observe(kind, client)
        if _callbacks_unwanted():
            return
        handler = self._handlers.get(kind)
        if handler is None:
            self._enqueue(Event(kind, client, data))
            return
        args: tuple = () if client is None else (client,)
        if kind == "message":
            args += (data,)
        _in_callback.endpoint = self
        try:
            handler(*args)
        except BaseException:
            role = self._role
            sys.stderr.write("toviipc: exception in the %s's on_%s, ignored:\n" % (role, kind))
            traceback.print_exc()
        finally:
            _in_callback.endpoint = None

    def _enqueue(self, event: Event) -> None:
        # A full queue holds up the library thread, which paces the peer; closing drops it.
        while True:
            try:
                self._queue.put(event, timeout=_QUEUE_SLICE_S)
                break
            except queue.Full:
                if self._closing:
                    return
        self._wake_async_waiters()

    def _wake_async_waiters(self) -> None:
        with self._state:
            waiters = list(self._async_waiters)
        for future in waiters:
            try:
                future.get_loop().call_soon_threadsafe(_wake, future)
            except RuntimeError:
                pass  # its event loop is closed

    def get_event(self, timeout: Optional[float] = None) -> Event:
        """The next event from the queue. Waits at most timeout seconds (None: no limit) and
        raises TimeoutError when none came; raises ClosedError once the endpoint is closed and
        its queue is empty."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                return self._queue.get_nowait()
            except queue.Empty:
                pass
            if self._closed:
                raise ClosedError("the %s is closed and has no more events" % self._role)
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                raise TimeoutError("no event within %s s" % timeout)
            wait = _QUEUE_SLICE_S if deadline is None else min(_QUEUE_SLICE_S, deadline - now)
            try:
                return self._queue.get(timeout=wait)
            except queue.Empty:
                continue

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Iterates over the queued events as they come; ends when none came for timeout
        seconds (None: never) or when the endpoint is closed and its queue is empty."""
        while True:
            try:
                yield self.get_event(timeout)
            except (TimeoutError, ClosedError):
                return

    async def aevents(self, timeout: Optional[float] = None) -> AsyncIterator[Event]:
        """The events of events(), for asyncio: ``async for event in endpoint.aevents()``.
        Waiting does not hold up the event loop; it ends as events() does."""
        future: "Optional[asyncio.Future[None]]" = None
        try:
            while True:
                try:
                    yield self._queue.get_nowait()
                    continue
                except queue.Empty:
                    pass
                if self._closed:
                    return
                future = asyncio.get_running_loop().create_future()
                with self._state:
                    self._async_waiters.add(future)
                if not self._queue.empty() or self._closed:
                    continue  # came while the waiter was put in place
                try:
                    await asyncio.wait_for(future, timeout)
                except asyncio.TimeoutError:
                    return
                finally:
                    with self._state:
                        self._async_waiters.discard(future)
        finally:
            if future is not None:
                with self._state:
                    self._async_waiters.discard(future)

    # --- calls --------------------------------------------------------------------------

    def _check_open(self) -> None:
        # A callback may still send while a close runs: release waits for its thread.
        if self._closed or (self._closing and not _in_own_callback(self)):
            raise ClosedError("the %s is closed" % self._role)

    def _call(self, entry: str, *args: object) -> int:
        with self._state:
            self._check_open()
            self._active_calls += 1
        try:
            return getattr(self._functions, entry)(self._handle, *args)
        finally:
            with self._state:
                self._active_calls -= 1
                self._state.notify_all()

    def _send(self, entry: str, args: tuple, payload: bytes) -> Optional[str]:
        """Sends; None when the library took the message, else why it did not: "queue" when
        its send queue stayed full, "gone" when the link was not there. A send from a host
        thread waits for room up to 3 s before it is refused for the queue, a send from a
        callback not at all."""
        started = time.monotonic()
        if self._call(entry, *args, payload, len(payload)):
            return None
        if _in_own_callback(self):
            return "callback"
        waited = time.monotonic() - started
        return "queue" if waited >= _SEND_QUEUE_WAIT_S - _CLOCK_SLACK_S else "gone"

    def _refuse_in_own_callback(self, what: str) -> None:
        if _in_own_callback(self):
            raise Error(
                "%s() cannot be called from a callback of the same %s: it waits for the very "
                "thread the callback runs on" % (what, self._role)
            )

    def init_log(self, directory: str, file_name: str) -> None:
        """Opens the process's log file directory/file_name (one log per process)."""
        if not self._call(
            "init_log", name_bytes(directory, "directory"), name_bytes(file_name, "file name")
        ):
            raise Error("the log file %r cannot be opened in %r" % (file_name, directory))

    def close(self) -> None:
        """Stops and releases the endpoint: its threads end and no event comes after this.
        Events already queued can still be read. Closing again does nothing."""
        self._refuse_in_own_callback("close")
        with self._state:
            if self._closing:
                while not self._closed:
                    self._state.wait()
                return
            self._closing = True
            while self._active_calls:
                self._state.wait()
        try:
            getattr(self._lib, "release_tovi_ipc_" + self._role)(self._handle)
        finally:
            with self._state:
                self._closed = True
                self._state.notify_all()
            with _live_lock:
                _live.discard(self)
            self._wake_async_waiters()

    @property
    def closed(self) -> bool:
        """True once close() has released the endpoint."""
        return self._closed

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


Data = Union[str, BytesLike]


class Server(_Endpoint):
    """A ToviIPC server. Server(name) starts listening at once; Server() waits for start().

    on_message(client, data), on_connect(client), on_disconnect(client): callables run on
    library threads; the events of a kind without one go to the queue (events(), aevents(),
    get_event()).
    """

    _role = "server"

    def __init__(
        self,
        name: Optional[str] = None,
        *,
        on_message: Optional[Callable[[str, bytes], None]] = None,
        on_connect: Optional[Callable[[str], None]] = None,
        on_disconnect: Optional[Callable[[str], None]] = None,
        queue_limit: int = DEFAULT_QUEUE_LIMIT,
    ):
        handlers = {"message": on_message, "connect": on_connect, "disconnect": on_disconnect}
        self.name: Optional[str] = None
        self._clients: Set[str] = set()
        super().__init__(handlers, queue_limit)
        if name is not None:
            self._or_close(self.start, name)

    def _tables(self) -> _Tables:
        callbacks = _library.ServerCallbacks(
            _library.server_data_cb(
                lambda client, data, length: self._dispatch(
                    "message", _decode_id(client), _data_at(data, length)
                )
            ),
            _library.server_client_cb(lambda client: self._dispatch("connect", _decode_id(client))),
            _library.server_client_cb(
                lambda client: self._dispatch("disconnect", _decode_id(client))
            ),
        )
        return _library.ServerFunctions(), callbacks

    def _observe(self, kind: str, client: Optional[str]) -> None:
        with self._state:
            if kind == "connect" and client is not None:
                self._clients.add(client)
            elif kind == "disconnect":
                self._clients.discard(client or "")

    @property
    def clients(self) -> Set[str]:
        """The ids of the clients connected now."""
        with self._state:
            return set(self._clients)

    def __repr__(self) -> str:
        if self.closed:
            return "<toviipc.Server closed>"
        if self.name is None:
            return "<toviipc.Server not listening>"
        count = len(self.clients)
        return "<toviipc.Server listening on %r, %d client%s>" % (
            self.name,
            count,
            "" if count == 1 else "s",
        )

    def start(self, name: str) -> None:
        """Listens on the pipe name. Raises NameTakenError when another server holds the
        name, AlreadyListeningError when this one listens on another name (stop() first)."""
        encoded = name_bytes(name, "pipe name")
        if self.name is not None and self.name != name:
            raise AlreadyListeningError(
                "cannot listen on %r: this server listens on %r (stop it first)" % (name, self.name)
            )
        if not self._call("start", encoded):
            raise NameTakenError("cannot listen on %r: another server holds the name" % name)
        self.name = name

    def stop(self) -> None:
        """Tells every client, lets what was sent drain (at most about 30 s) and stops."""
        self._refuse_in_own_callback("stop")
        self._call("stop")
        self.name = None
        with self._state:
            self._clients.clear()

    def send_text(self, client: str, text: str) -> None:
        """Sends text (UTF-8, without NUL) to the client as a text message."""
        self._sent(client, "send_string", text_bytes(text))

    def send_bytes(self, client: str, data: BytesLike) -> None:
        """Sends data to the client as a byte stream."""
        self._sent(client, "send_bytestream", bytes_of(data))

    def send(self, client: str, data: Data) -> None:
        """Sends a str as a text and anything bytes-like as a byte stream."""
        self._sent(client, *message_bytes(data))

    def _sent(self, client: str, entry: str, payload: bytes) -> None:
        encoded = _encode_id(client)
        check_frame(entry, payload)
        why = self._send(entry, (encoded,), payload)
        if why == "callback":
            why = "queue" if client in self.clients else "gone"
        if why == "queue":
            raise SendQueueFullError(
                "nothing was sent to %r: its send queue stayed full (the client does not read)"
                % client
            )
        if why == "gone":
            raise NoSuchClientError("nothing was sent: no client %r is connected" % client)

    def disconnect_client(self, client: str) -> None:
        """Tells the client and drops it once what was sent to it has drained."""
        if not self._call("disconnect_client", _encode_id(client)):
            raise NoSuchClientError("no client %r is connected" % client)


class Client(_Endpoint):
    """A ToviIPC client. Client(name, client_id) connects at once; Client() waits for
    connect().

    on_message(data), on_disconnect(): callables run on the client's library thread; the
    events of a kind without one go to the queue (events(), aevents(), get_event()).
    """

    _role = "client"

    def __init__(
        self,
        name: Optional[str] = None,
        client_id: Optional[str] = None,
        *,
        on_message: Optional[Callable[[bytes], None]] = None,
        on_disconnect: Optional[Callable[[], None]] = None,
        queue_limit: int = DEFAULT_QUEUE_LIMIT,
    ):
        self.name: Optional[str] = None
        self.client_id: Optional[str] = None
        self._encoded_id = b""
        self._connected = False
        super().__init__({"message": on_message, "disconnect": on_disconnect}, queue_limit)
        if name is not None:
            self._or_close(self.connect, name, client_id)

    def _tables(self) -> _Tables:
        callbacks = _library.ClientCallbacks(
            _library.client_data_cb(
                lambda data, length: self._dispatch("message", None, _data_at(data, length))
            ),
            _library.client_disconnect_cb(lambda: self._dispatch("disconnect")),
        )
        return _library.ClientFunctions(), callbacks

    def _observe(self, kind: str, client: Optional[str]) -> None:
        if kind == "disconnect":
            self._connected = False

    @property
    def connected(self) -> bool:
        """True from a successful connect() until disconnect() or the server went away."""
        return self._connected and not self._closing

    def __repr__(self) -> str:
        if self.closed:
            return "<toviipc.Client closed>"
        if not self.connected:
            return "<toviipc.Client not connected>"
        return "<toviipc.Client %r connected to %r>" % (self.client_id, self.name)

    def connect(self, name: str, client_id: str) -> None:
        """Connects to the server on the pipe name as client_id (waits at most about 300 ms).
        Raises NoServerError when no server answers, AlreadyConnectedError when this client
        is connected."""
        pipe = name_bytes(name, "pipe name")
        encoded = _encode_id(client_id)
        if self.connected:
            raise AlreadyConnectedError(
                "cannot connect to %r: this client is connected to %r already" % (name, self.name)
            )
        if not self._call("connect", pipe, encoded):
            raise NoServerError("cannot connect to %r: no server listens on that name" % name)
        self.name, self.client_id, self._encoded_id = name, client_id, encoded
        self._connected = True

    def disconnect(self) -> None:
        """Tells the server and closes the link once what was sent has been written."""
        self._refuse_in_own_callback("disconnect")
        self._call("disconnect")
        self._connected = False

    def send_text(self, text: str) -> None:
        """Sends text (UTF-8, without NUL) to the server as a text message."""
        self._sent("send_string", text_bytes(text))

    def send_bytes(self, data: BytesLike) -> None:
        """Sends data to the server as a byte stream."""
        self._sent("send_bytestream", bytes_of(data))

    def send(self, data: Data) -> None:
        """Sends a str as a text and anything bytes-like as a byte stream."""
        self._sent(*message_bytes(data))

    def _not_connected(self) -> NotConnectedError:
        return NotConnectedError("nothing was sent: this client is not connected")

    def _sent(self, entry: str, payload: bytes) -> None:
        self._check_open()
        if not self.connected:
            raise self._not_connected()
        check_frame(entry, payload, self._encoded_id)
        why = self._send(entry, (), payload)
        if why == "callback":
            why = "queue" if self.connected else "gone"
        if why == "queue":
            raise SendQueueFullError(
                "nothing was sent: the send queue stayed full (the server does not read)"
            )
        if why == "gone":
            raise self._not_connected()

    def write_shared_memory(
        self, data: BytesLike, info: Tuple[int, int, int, int, int] = (0, 0, 0, 0, 0)
    ) -> None:
        """Writes data (at most 15,663,103 bytes) and five unsigned 32-bit values into the
        shared-memory block named after the pipe, which is open while connected. Raises
        BlockBusyError when both of its slots were being read."""
        payload = bytes_of(data)
        values = _library.ShmInfo()
        values.info[:] = _five_values(info)
        if len(payload) > MAX_SHM_WRITE_BYTES:
            raise MessageTooLargeError(
                "nothing was written: %d bytes are above the %d that a slot of the "
                "shared-memory block holds" % (len(payload), MAX_SHM_WRITE_BYTES)
            )
        self._check_open()
        if not self.connected:
            raise NotConnectedError("nothing was written: this client is not connected")
        if not self._call("write_shared_memory", payload, len(payload), ctypes.byref(values)):
            raise BlockBusyError(
                "nothing was written: both slots of the shared-memory block were being read"
            )


def _five_values(info: Tuple[int, ...]) -> "list[int]":
    try:
        values = list(info)
    except TypeError:
        raise TypeError("info must be a sequence of five ints") from None
    if len(values) != 5 or not all(isinstance(v, int) and not isinstance(v, bool) for v in values):
        raise TypeError("info must be a sequence of five ints")
    if not all(0 <= v <= 0xFFFFFFFF for v in values):
        raise ValueError("each value of info must fit in 32 bits without sign")
    return values
