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

import atexit
import ctypes
import queue
import sys
import threading
import time
import traceback
from typing import NamedTuple, Optional

from . import _library
from ._values import bytes_of, message_bytes, name_bytes, text_bytes
from .errors import Error

DEFAULT_QUEUE_LIMIT = 10000  # events waiting in a queue; beyond that a library thread waits
_QUEUE_SLICE_S = 0.1  # seconds; how often a waiting put or get looks at the endpoint's state


class Event(NamedTuple):
    """One event: kind is "message", "connect" or "disconnect"; client is the client id (on a
    server; None on a client); data is the message's bytes (None for other kinds)."""

    kind: str
    client: Optional[str] = None
    data: Optional[bytes] = None

    @property
    def text(self):
        """The data as UTF-8 text (None for events without data)."""
        return None if self.data is None else self.data.decode("utf-8")


_live_lock = threading.Lock()
_live = set()
_exiting = False
_in_callback = threading.local()


def _close_all_at_exit():
    global _exiting
    _exiting = True
    with _live_lock:
        endpoints = list(_live)
    for endpoint in endpoints:
        endpoint.close()


atexit.register(_close_all_at_exit)


def _callbacks_unwanted():
    return _exiting or sys.is_finalizing()


def _decode_id(raw):
    # Ids come back unchanged when sent to: undecodable bytes survive as surrogates.
    return raw.decode("utf-8", "surrogateescape")


def _encode_id(client):
    if not isinstance(client, str):
        raise TypeError("a client id must be str, not %s" % type(client).__name__)
    return name_bytes(client, "client id", errors="surrogateescape")


def _data_at(pointer, length):
    return ctypes.string_at(pointer, length) if pointer and length > 0 else b""


class _Endpoint:
    _role = ""  # "server" or "client"

    def __init__(self, handlers, queue_limit):
        for name, handler in handlers.items():
            if handler is not None and not callable(handler):
                raise TypeError("on_%s must be callable or None" % name)
        if not isinstance(queue_limit, int) or queue_limit < 1:
            raise TypeError("queue_limit must be a positive int")
        self._handlers = handlers
        self._queue = queue.Queue(maxsize=queue_limit)
        self._state = threading.Condition()
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

    def _tables(self):
        raise NotImplementedError

    def _or_close(self, call, *args):
        """For constructors: runs call, and closes the endpoint when it raises."""
        try:
            call(*args)
        except BaseException:
            self.close()
            raise

    # --- events -------------------------------------------------------------------------

    def _dispatch(self, kind, client=None, data=None):
        """Runs on a library thread: hands the event to its callable or to the queue."""
        if _callbacks_unwanted():
            return
        handler = self._handlers.get(kind)
        if handler is None:
            self._enqueue(Event(kind, client, data))
            return
        args = () if client is None else (client,)
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

    def _enqueue(self, event):
        # A full queue holds up the library thread, which paces the peer; closing drops it.
        while True:
            try:
                self._queue.put(event, timeout=_QUEUE_SLICE_S)
                return
            except queue.Full:
                if self._closing:
                    return

    def get_event(self, timeout=None):
        """The next event from the queue. Waits at most timeout seconds (None: no limit) and
        raises TimeoutError when none came; raises Error once the endpoint is closed and its
        queue is empty."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                return self._queue.get_nowait()
            except queue.Empty:
                pass
            if self._closed:
                raise Error("the %s is closed and has no more events" % self._role)
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                raise TimeoutError("no event within %s s" % timeout)
            wait = _QUEUE_SLICE_S if deadline is None else min(_QUEUE_SLICE_S, deadline - now)
            try:
                return self._queue.get(timeout=wait)
            except queue.Empty:
                continue

    def events(self, timeout=None):
        """Iterates over the queued events as they come; ends when none came for timeout
        seconds (None: never) or when the endpoint is closed and its queue is empty."""
        while True:
            try:
                yield self.get_event(timeout)
            except (TimeoutError, Error):
                return

    # --- calls --------------------------------------------------------------------------

    def _call(self, entry, *args):
        with self._state:
            # A callback may still send while a close runs: release waits for its thread.
            in_own_callback = getattr(_in_callback, "endpoint", None) is self
            if self._closed or (self._closing and not in_own_callback):
                raise Error("the %s is closed" % self._role)
            self._active_calls += 1
        try:
            return getattr(self._functions, entry)(self._handle, *args)
        finally:
            with self._state:
                self._active_calls -= 1
                self._state.notify_all()

    def _refuse_in_own_callback(self, what):
        if getattr(_in_callback, "endpoint", None) is self:
            raise Error(
                "%s() cannot be called from a callback of the same %s: it waits for the very "
                "thread the callback runs on" % (what, self._role)
            )

    def init_log(self, directory, file_name):
        """Opens the process's log file directory/file_name (one log per process)."""
        if not self._call(
            "init_log", name_bytes(directory, "directory"), name_bytes(file_name, "file name")
        ):
            raise Error("the log file %r cannot be opened in %r" % (file_name, directory))

    def close(self):
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

    @property
    def closed(self):
        return self._closed

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


class Server(_Endpoint):
    """A ToviIPC server. Server(name) starts listening at once; Server() waits for start().

    on_message(client, data), on_connect(client), on_disconnect(client): callables run on
    library threads; the events of a kind without one go to the queue (events(), get_event()).
    """

    _role = "server"

    def __init__(
        self,
        name=None,
        *,
        on_message=None,
        on_connect=None,
        on_disconnect=None,
        queue_limit=DEFAULT_QUEUE_LIMIT,
    ):
        handlers = {"message": on_message, "connect": on_connect, "disconnect": on_disconnect}
        super().__init__(handlers, queue_limit)
        self.name = None
        if name is not None:
            self._or_close(self.start, name)

    def _tables(self):
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

    def start(self, name):
        """Listens on the pipe name. Raises Error when another server holds the name, or this
        one listens on another name (stop() first)."""
        if not self._call("start", name_bytes(name, "pipe name")):
            raise Error(
                "cannot listen on %r: another server holds the name, or this server listens "
                "on another name (stop it first)" % name
            )
        self.name = name

    def stop(self):
        """Tells every client, lets what was sent drain (at most about 30 s) and stops."""
        self._refuse_in_own_callback("stop")
        self._call("stop")
        self.name = None

    def send_text(self, client, text):
        self._sent(client, "send_string", text_bytes(text))

    def send_bytes(self, client, data):
        self._sent(client, "send_bytestream", bytes_of(data))

    def send(self, client, data):
        """Sends a str as a text and anything bytes-like as a byte stream."""
        self._sent(client, *message_bytes(data))

    def _sent(self, client, entry, payload):
        if not self._call(entry, _encode_id(client), payload, len(payload)):
            raise Error(
                "nothing was sent to %r: no such client, a message above 50 MiB, or its send "
                "queue stayed full for 3 s" % client
            )

    def disconnect_client(self, client):
        """Tells the client and drops it once what was sent to it has drained."""
        if not self._call("disconnect_client", _encode_id(client)):
            raise Error("no client %r is connected" % client)


class Client(_Endpoint):
    """A ToviIPC client. Client(name, client_id) connects at once; Client() waits for
    connect().

    on_message(data), on_disconnect(): callables run on the client's library thread; the
    events of a kind without one go to the queue (events(), get_event()).
    """

    _role = "client"

    def __init__(
        self,
        name=None,
        client_id=None,
        *,
        on_message=None,
        on_disconnect=None,
        queue_limit=DEFAULT_QUEUE_LIMIT,
    ):
        super().__init__({"message": on_message, "disconnect": on_disconnect}, queue_limit)
        if name is not None:
            self._or_close(self.connect, name, client_id)

    def _tables(self):
        callbacks = _library.ClientCallbacks(
            _library.client_data_cb(
                lambda data, length: self._dispatch("message", None, _data_at(data, length))
            ),
            _library.client_disconnect_cb(lambda: self._dispatch("disconnect")),
        )
        return _library.ClientFunctions(), callbacks

    def connect(self, name, client_id):
        """Connects to the server on the pipe name as client_id (waits at most about 300 ms).
        Raises Error when no server answers or this client is connected already."""
        pipe = name_bytes(name, "pipe name")
        if not self._call("connect", pipe, _encode_id(client_id)):
            raise Error(
                "cannot connect to %r as %r: no server listens on that name, or this client "
                "is connected already" % (name, client_id)
            )

    def disconnect(self):
        """Tells the server and closes the link once what was sent has been written."""
        self._refuse_in_own_callback("disconnect")
        self._call("disconnect")

    def send_text(self, text):
        self._sent("send_string", text_bytes(text))

    def send_bytes(self, data):
        self._sent("send_bytestream", bytes_of(data))

    def send(self, data):
        """Sends a str as a text and anything bytes-like as a byte stream."""
        self._sent(*message_bytes(data))

    def _sent(self, entry, payload):
        if not self._call(entry, payload, len(payload)):
            raise Error(
                "nothing was sent: not connected, a message above 50 MiB, or the send queue "
                "stayed full for 3 s"
            )

    def write_shared_memory(self, data, info=(0, 0, 0, 0, 0)):
        """Writes data and five unsigned 32-bit values into the shared-memory block named
        after the pipe (open while connected)."""
        payload = bytes_of(data)
        values = _library.ShmInfo()
        values.info[:] = _five_values(info)
        if not self._call("write_shared_memory", payload, len(payload), ctypes.byref(values)):
            raise Error(
                "nothing was written into the shared-memory block: not connected, more than "
                "15,663,103 bytes, or both of its slots were being read"
            )


def _five_values(info):
    try:
        values = list(info)
    except TypeError:
        raise TypeError("info must be a sequence of five ints") from None
    if len(values) != 5 or not all(isinstance(v, int) and not isinstance(v, bool) for v in values):
        raise TypeError("info must be a sequence of five ints")
    if not all(0 <= v <= 0xFFFFFFFF for v in values):
        raise ValueError("each value of info must fit in 32 bits without sign")
    return values
