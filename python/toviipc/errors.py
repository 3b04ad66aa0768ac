"""The exceptions of the toviipc package."""


class Error(Exception):
    """A ToviIPC call did not do what was asked: the library answered 0, or the endpoint or
    reader is closed. The message says which call and what the usual reasons are."""


class LibraryNotFoundError(Error, OSError):
    """The ToviIPC shared library could not be loaded; the message lists every place tried."""


class NoBlockError(Error):
    """No shared-memory block of that name exists: no client is connected on that pipe name."""
