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

    with toviipc.SharedMemoryReader("lab") as reader:
        for write in reader.writes(timeout=5):
            print(write.slot, write.info, write.data)

The libraries are found as described in toviipc._library (TOVIIPC_LIBRARY first). A call the
library answers with 0 raises toviipc.Error; wrong argument types raise TypeError.
"""

from ._endpoints import DEFAULT_QUEUE_LIMIT, Client, Event, Server
from ._shm import SharedMemoryReader, ShmHeader, ShmWrite
from .errors import Error, LibraryNotFoundError, NoBlockError

__all__ = [
    "Client",
    "DEFAULT_QUEUE_LIMIT",
    "Error",
    "Event",
    "LibraryNotFoundError",
    "NoBlockError",
    "Server",
    "SharedMemoryReader",
    "ShmHeader",
    "ShmWrite",
]
__version__ = "0.1.0"
