"""AsyncServer and AsyncClient: ToviIPC endpoints for asyncio, over the events library.

An endpoint pulls its events: the library queues them, and the event loop's own thread takes
them when the endpoint's waitable says they wait (loop.add_reader on its file descriptor;
on Windows, or with a loop that has no add_reader, a waiting thread only watches the
waitable and wakes the loop). No event enters Python on a library thread.

Calls that may wait (connect, the sends, stop, disconnect, close) are awaitable: they run on
one worker thread per endpoint, so the sends of an endpoint keep their order.

    async with toviipc.AsyncServer("lab") as server:
        async for event in server:
            if event.kind == "message":
                await server.send(event.client, event.data)
"""

import asyncio
import concurrent.futures
import ctypes
import select
import sys
from typing import AsyncIterator, NamedTuple, Optional, TypeVar

from . import _library
from ._values import BytesLike, bytes_of, check_frame, message_bytes, name_bytes, text_bytes
from .errors import (
    ClosedError,
    NameTakenError,
    NoServerError,
    NoSuchClientError,
    NotConnectedError,
    SendQueueFullError,
)

_KINDS = {1: "connect", 2: "message", 3: "disconnect"}
# The events library's send for each message kind, by the name message_bytes gives it.
_SENDS = {"send_string": "toviipc_send_text", "send_bytestream": "toviipc_send_bytes"}
_RECORD_OF = {value: key for key, value in _SENDS.items()}
_WAIT_SLICE_MS = 200  # how often a waiting thread looks whether it is still wanted


class Peer(NamedTuple):
    """Who is at the other end of a link, as the system knows it: process id, user id (POSIX;
    None on Windows) and user (POSIX: the uid in decimal; Windows: the SID, or "")."""

    process_id: int
    user_id: Optional[int]
    user: str


class Stats(NamedTuple):
    """An endpoint's or a link's statistics (see toviipc_events(3))."""

    links: int
    messages_sent: int
    bytes_sent: int
    messages_received: int
    bytes_received: int
    queued_bytes: int
    queued_peak_bytes: int
    refused_full: int
    refused_too_large: int
    heart_beats_sent: int
    heart_beats_received: int
    ms_since_heard: Optional[int]


class PulledEvent(NamedTuple):
    """kind: "connect", "message" or "disconnect"; client: the client id (a server's events;
    "" on a client); data: a message's bytes; is_text: the message was a text; peer: on a
    server's connect, the client's Peer."""

    kind: str
    client: str
    data: Optional[bytes] = None
    is_text: bool = False
    peer: Optional[Peer] = None

    @property
    def text(self) -> Optional[str]:
        return None if self.data is None else self.data.decode("utf-8")


def _peer_of(struct: "_library.Peer") -> Peer:
    user_id = int(struct.user_id)
    return Peer(int(struct.process_id), None if user_id < 0 else user_id, struct.user.decode())


def _id_bytes(client: str) -> bytes:
    return b"" if client == "" else name_bytes(client, "client id", errors="surrogateescape")


_Self = TypeVar("_Self", bound="_AsyncEndpoint")


def _wait_for_signal(waitable: int, timeout_ms: int) -> bool:
    """Waits on a thread of its own until the waitable is signalled (True) or the time is up."""
    if sys.platform == "win32":
        wait = ctypes.windll.kernel32.WaitForSingleObject  # type: ignore[attr-defined]
        return bool(wait(ctypes.c_void_p(waitable), timeout_ms) == 0)
    readable, _, _ = select.select([waitable], [], [], timeout_ms / 1000.0)
    return bool(readable)


class _AsyncEndpoint:
    _create = ""

    def __init__(self) -> None:
        self._lib = _library.load("events")
        self._endpoint: Optional[int] = getattr(self._lib, self._create)(None, None)
        if not self._endpoint:
            raise MemoryError("the library could not make an endpoint")
        self._worker = concurrent.futures.ThreadPoolExecutor(max_workers=1)
        self._event = _library.EventStruct()

    def _handle(self) -> int:
        if self._endpoint is None:
            raise ClosedError("the endpoint is closed")
        return self._endpoint

    async def _in_worker(self, function, *args):  # type: ignore[no-untyped-def]
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._worker, function, *args)

    def next_event(self) -> Optional[PulledEvent]:
        """The next event waiting, or None; never waits."""
        event = self._event
        if self._lib.toviipc_next_event(self._handle(), ctypes.byref(event), 0) != 1:
            return None
        data = None
        if event.kind == 2:
            data = ctypes.string_at(event.data, event.length) if event.length > 0 else b""
        return PulledEvent(
            _KINDS.get(event.kind, "unknown"),
            (event.client_id or b"").decode("utf-8", "surrogateescape"),
            data,
            bool(event.is_text),
            _peer_of(event.peer.contents) if event.peer else None,
        )

    async def _ready(self) -> None:
        """Returns once the waitable says events wait."""
        loop = asyncio.get_running_loop()
        waitable = self._lib.toviipc_waitable_of(self._handle())
        if sys.platform != "win32":
            ready = loop.create_future()
            try:
                loop.add_reader(waitable, lambda: ready.done() or ready.set_result(None))
            except NotImplementedError:
                pass  # a loop that watches no descriptors: the waiting thread below
            else:
                try:
                    await ready
                finally:
                    loop.remove_reader(waitable)
                return
        while self._endpoint is not None:
            if await loop.run_in_executor(None, _wait_for_signal, waitable, _WAIT_SLICE_MS):
                return

    async def get_event(self, timeout: Optional[float] = None) -> PulledEvent:
        """The next event, waiting on the loop for up to timeout seconds (asyncio.TimeoutError)."""
        while True:
            event = self.next_event()
            if event is not None:
                return event
            await asyncio.wait_for(self._ready(), timeout)

    def __aiter__(self) -> AsyncIterator[PulledEvent]:
        return self._events()

    async def _events(self) -> AsyncIterator[PulledEvent]:
        while self._endpoint is not None:
            yield await self.get_event()

    def stats(self, client: Optional[str] = None) -> Stats:
        """The endpoint's statistics, or one link's (a server names the client; a client
        passes "" for its link)."""
        struct = _library.StatsStruct()
        struct.size = ctypes.sizeof(struct)
        name = None if client is None else _id_bytes(client)
        if not self._lib.toviipc_stats_of(self._handle(), name, ctypes.byref(struct)):
            raise NoSuchClientError("no link %r" % client)
        values = [int(getattr(struct, field)) for field in _library.STATS_FIELDS]
        heard = int(struct.ms_since_heard)
        return Stats(int(struct.links), *values, None if heard < 0 else heard)

    def _peer(self, client: Optional[bytes]) -> Optional[Peer]:
        struct = _library.Peer()
        if not self._lib.toviipc_peer_of(self._handle(), client, ctypes.byref(struct)):
            return None
        return _peer_of(struct)

    async def _send(self, client: Optional[bytes], entry: str, payload: bytes) -> bool:
        check_frame(_RECORD_OF[entry], payload, client or b"")
        function = getattr(self._lib, entry)
        handle = self._handle()
        return bool(await self._in_worker(function, handle, client, payload, len(payload)))

    async def close(self) -> None:
        """Stops or disconnects the endpoint and frees it; events not taken are dropped."""
        if self._endpoint is None:
            return
        endpoint, self._endpoint = self._endpoint, None
        await self._in_worker(self._lib.toviipc_release, endpoint)
        self._worker.shutdown(wait=False)

    @property
    def closed(self) -> bool:
        return self._endpoint is None

    async def __aenter__(self: _Self) -> _Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()


class AsyncServer(_AsyncEndpoint):
    """A server for asyncio. AsyncServer(name) listens at once; ``async with`` closes it."""

    _create = "toviipc_server_create"

    def __init__(self, name: Optional[str] = None) -> None:
        super().__init__()
        self.name: Optional[str] = None
        if name is not None:
            self.start(name)

    def start(self, name: str) -> None:
        """Listens on the pipe name (does not wait)."""
        if not self._lib.toviipc_server_start(self._handle(), name_bytes(name, "pipe name")):
            raise NameTakenError("cannot listen on %r: another server holds it" % name)
        self.name = name

    async def stop(self) -> None:
        """Tells every client, lets what was sent drain, and stops listening."""
        await self._in_worker(self._lib.toviipc_server_stop, self._handle())
        self.name = None

    def peer(self, client: str) -> Optional[Peer]:
        """Who the system says the client is, or None."""
        return self._peer(_id_bytes(client))

    async def send_text(self, client: str, text: str) -> None:
        await self._sent(client, "toviipc_send_text", text_bytes(text))

    async def send_bytes(self, client: str, data: BytesLike) -> None:
        await self._sent(client, "toviipc_send_bytes", bytes_of(data))

    async def send(self, client: str, data: "str | BytesLike") -> None:
        """Sends a str as a text and anything bytes-like as a byte stream."""
        entry, payload = message_bytes(data)
        await self._sent(client, _SENDS[entry], payload)

    async def _sent(self, client: str, entry: str, payload: bytes) -> None:
        encoded = _id_bytes(client)
        if await self._send(encoded, entry, payload):
            return
        if not self._has_link(encoded):
            raise NoSuchClientError("nothing was sent: no client %r is connected" % client)
        raise SendQueueFullError("nothing was sent to %r: its send queue stayed full" % client)

    def _has_link(self, encoded: bytes) -> bool:
        struct = _library.StatsStruct()
        struct.size = ctypes.sizeof(struct)
        return bool(self._lib.toviipc_stats_of(self._handle(), encoded, ctypes.byref(struct)))

    async def disconnect_client(self, client: str) -> None:
        encoded = _id_bytes(client)
        if not self._lib.toviipc_server_disconnect_client(self._handle(), encoded):
            raise NoSuchClientError("no client %r is connected" % client)


class AsyncClient(_AsyncEndpoint):
    """A client for asyncio: ``async with AsyncClient() as client: await client.connect(...)``,
    or AsyncClient.open(name, client_id)."""

    _create = "toviipc_client_create"

    @classmethod
    async def open(cls, name: str, client_id: str) -> "AsyncClient":
        client = cls()
        try:
            await client.connect(name, client_id)
        except BaseException:
            await client.close()
            raise
        return client

    async def connect(self, name: str, client_id: str) -> None:
        """Connects (waiting up to about 300 ms for the server) and announces client_id."""
        connected = await self._in_worker(
            self._lib.toviipc_client_connect,
            self._handle(),
            name_bytes(name, "pipe name"),
            _id_bytes(client_id),
        )
        if not connected:
            raise NoServerError("no server answered on %r (or connected already)" % name)

    async def disconnect(self) -> None:
        await self._in_worker(self._lib.toviipc_client_disconnect, self._handle())

    @property
    def server_peer(self) -> Optional[Peer]:
        """Who the system says the server is, or None while not connected."""
        return self._peer(None)

    async def send_text(self, text: str) -> None:
        await self._sent("toviipc_send_text", text_bytes(text))

    async def send_bytes(self, data: BytesLike) -> None:
        await self._sent("toviipc_send_bytes", bytes_of(data))

    async def send(self, data: "str | BytesLike") -> None:
        entry, payload = message_bytes(data)
        await self._sent(_SENDS[entry], payload)

    async def _sent(self, entry: str, payload: bytes) -> None:
        if await self._send(None, entry, payload):
            return
        if self._peer(None) is None:
            raise NotConnectedError("nothing was sent: the client is not connected")
        raise SendQueueFullError("nothing was sent: the send queue stayed full")
