"""ToviIPC for Python: servers, clients and readers of the shared-memory block, over the
installed ToviIPC libraries through ctypes (no compiled extension).

    import toviipc

    with toviipc.Server("lab") as server:
        for event in server.events(timeout=10):
            if event.kind == "message":
                server.send(event.client, b"thanks")

    with toviipc.Client("lab", "py-1") as client:
        client.send_text("hello")
        print(client.get_event(timeout=5).data)

    async with toviipc.AsyncServer("lab") as server:    # events pulled on the loop's thread
        async for event in server:
            if event.kind == "message":
                await server.send(event.client, event.data)

    with toviipc.SharedMemoryReader("lab") as reader:
        for write in reader.writes(timeout=5):
            print(write.slot, write.info, write.data)

The libraries are found as described in toviipc._library (TOVIIPC_LIBRARY first). Every
failure raises a subclass of toviipc.Error that names its reason (NoServerError,
NameTakenError, MessageTooLargeError, NotConnectedError...); wrong argument types raise
TypeError, values the library would refuse ValueError.
"""

from ._aio import AsyncClient, AsyncServer, Peer, PulledEvent, Stats
from ._endpoints import DEFAULT_QUEUE_LIMIT, Client, Event, Server
from ._shm import SharedMemoryReader, ShmHeader, ShmWrite
from ._version import __version__
from .errors import (
    AlreadyConnectedError,
    AlreadyListeningError,
    BlockBusyError,
    ClosedError,
    Error,
    LibraryNotFoundError,
    MessageTooLargeError,
    NameTakenError,
    NoBlockError,
    NoServerError,
    NoSuchClientError,
    NotConnectedError,
    SendQueueFullError,
)

__all__ = [
    "AlreadyConnectedError",
    "AsyncClient",
    "AsyncServer",
    "Peer",
    "PulledEvent",
    "Stats",
    "AlreadyListeningError",
    "BlockBusyError",
    "Client",
    "ClosedError",
    "DEFAULT_QUEUE_LIMIT",
    "Error",
    "Event",
    "LibraryNotFoundError",
    "MessageTooLargeError",
    "NameTakenError",
    "NoBlockError",
    "NoServerError",
    "NoSuchClientError",
    "NotConnectedError",
    "SendQueueFullError",
    "Server",
    "SharedMemoryReader",
    "ShmHeader",
    "ShmWrite",
    "__version__",
]
