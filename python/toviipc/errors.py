"""The exceptions of the toviipc package. Error is the base of every one; each subclass stands
for one reason, which its message names."""


class Error(Exception):
    """A ToviIPC call did not do what was asked."""


class LibraryNotFoundError(Error, OSError):
    """The ToviIPC shared library could not be loaded; the message lists every place tried."""


class ClosedError(Error):
    """The endpoint or reader was closed."""


class MessageTooLargeError(Error, ValueError):
    """The message's frame would exceed the 50 MiB that any receiver takes; nothing was sent
    (raised before the library is called)."""


class NameTakenError(Error):
    """Another server holds the pipe name."""


class AlreadyListeningError(Error):
    """This server listens on another name already: stop() it first."""


class NoServerError(Error):
    """No server answered on the pipe name."""


class AlreadyConnectedError(Error):
    """This client is connected already: disconnect() it first."""


class NotConnectedError(Error):
    """This client is not connected (never, or no longer: it disconnected or its server went
    away)."""


class NoSuchClientError(Error):
    """No client of that id is connected to this server."""


class SendQueueFullError(Error):
    """The link's send queue stayed full for 3 s: the peer does not read."""


class NoBlockError(Error):
    """No shared-memory block of that name exists: no client is connected on that pipe name."""


class BlockBusyError(Error):
    """Both slots of the shared-memory block were being read: nothing was written."""
