"""Finds and loads ToviIPC's three shared libraries and declares their C interfaces for ctypes.

The main library (ToviIPC.dll, libtoviipc.so.0) serves Server and Client; the reader library
(ToviIPCReader.dll, libtoviipc_reader.so.0) serves SharedMemoryReader; the events library
(ToviIPCEvents.dll, libtoviipc_events.so.0) serves AsyncServer and AsyncClient. Each is loaded
on first use, from the first of these places that works:

1. the file named by TOVIIPC_LIBRARY (TOVIIPC_READER_LIBRARY for the reader,
   TOVIIPC_EVENTS_LIBRARY for the events library; without it, that library is looked for
   beside the file TOVIIPC_LIBRARY names),
2. this package's own directory,
3. the installed tree this package belongs to (bin/ of a Windows zip, lib/ of a Linux prefix),
4. the system loader's search by file name (LD_LIBRARY_PATH, the loader's cache and /usr/lib;
   on Windows the directory of python.exe, the system directories and those added with
   os.add_dll_directory, but not PATH),
5. ctypes.util.find_library.

On Windows the same code loads the DLLs: their functions are declared __stdcall, which x64
ignores, and WINFUNCTYPE is used for the callbacks.
"""

import ctypes
import ctypes.util
import os
import sys
import sysconfig
import threading

from .errors import LibraryNotFoundError

MAIN_ENV = "TOVIIPC_LIBRARY"
READER_ENV = "TOVIIPC_READER_LIBRARY"
EVENTS_ENV = "TOVIIPC_EVENTS_LIBRARY"
_ENVS = {"main": MAIN_ENV, "reader": READER_ENV, "events": EVENTS_ENV}

if sys.platform == "win32":
    FUNCTYPE = ctypes.WINFUNCTYPE
    _load = ctypes.WinDLL
    _FILE_NAMES = {
        "main": "ToviIPC.dll",
        "reader": "ToviIPCReader.dll",
        "events": "ToviIPCEvents.dll",
    }
else:
    FUNCTYPE = ctypes.CFUNCTYPE
    _load = ctypes.CDLL
    # The names the loader knows the libraries by (their SONAMEs): the unversioned link names
    # come only with the development files.
    _FILE_NAMES = {
        "main": "libtoviipc.so.0",
        "reader": "libtoviipc_reader.so.0",
        "events": "libtoviipc_events.so.0",
    }
_SHORT_NAMES = {"main": "toviipc", "reader": "toviipc_reader", "events": "toviipc_events"}

tovi_bool = ctypes.c_ubyte
handle_p = ctypes.c_void_p

# Callback and function-table entries. Data pointers are void pointers, so that ctypes does not
# cut the bytes at a NUL; client ids and names are NUL-terminated.
client_data_cb = FUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32)
client_disconnect_cb = FUNCTYPE(None)
server_data_cb = FUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int32)
server_client_cb = FUNCTYPE(None, ctypes.c_char_p)


class ShmInfo(ctypes.Structure):
    _fields_ = [("info", ctypes.c_uint32 * 5)]


class ClientCallbacks(ctypes.Structure):
    _fields_ = [("on_recv_data", client_data_cb), ("on_disconnect", client_disconnect_cb)]


class ServerCallbacks(ctypes.Structure):
    _fields_ = [
        ("on_recv_data", server_data_cb),
        ("on_client_connect", server_client_cb),
        ("on_client_disconnect", server_client_cb),
    ]


_log_entry = FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_char_p)


class ClientFunctions(ctypes.Structure):
    _fields_ = [
        ("init_log", _log_entry),
        ("connect", FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_char_p)),
        ("disconnect", FUNCTYPE(None, handle_p)),
        ("send_string", FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_int32)),
        ("send_bytestream", FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_int32)),
        (
            "write_shared_memory",
            FUNCTYPE(
                tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_uint32, ctypes.POINTER(ShmInfo)
            ),
        ),
    ]


class ServerFunctions(ctypes.Structure):
    _fields_ = [
        ("init_log", _log_entry),
        ("start", FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p)),
        ("stop", FUNCTYPE(None, handle_p)),
        (
            "send_string",
            FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32),
        ),
        (
            "send_bytestream",
            FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32),
        ),
        ("disconnect_client", FUNCTYPE(tovi_bool, handle_p, ctypes.c_char_p)),
    ]


class ShmHeaderStruct(ctypes.Structure):
    _fields_ = [
        ("info", ctypes.c_uint32 * 5),
        ("next_slot", ctypes.c_uint32),
        ("slot_length", ctypes.c_uint32 * 2),
    ]


class ShmDataStruct(ctypes.Structure):
    _fields_ = [
        ("info", ctypes.c_uint32 * 5),
        ("slot", ctypes.c_uint32),
        ("length", ctypes.c_uint32),
    ]


def _declare_main(lib):
    for kind in ("client", "server"):
        functions = ClientFunctions if kind == "client" else ServerFunctions
        callbacks = ClientCallbacks if kind == "client" else ServerCallbacks
        create = getattr(lib, "create_tovi_ipc_" + kind)
        create.argtypes = [ctypes.POINTER(functions), ctypes.POINTER(callbacks)]
        create.restype = handle_p
        release = getattr(lib, "release_tovi_ipc_" + kind)
        release.argtypes = [handle_p]
        release.restype = None


def _declare_reader(lib):
    reader_p = ctypes.c_void_p
    result = ctypes.c_int
    lib.toviipc_shm_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(reader_p)]
    lib.toviipc_shm_open.restype = result
    lib.toviipc_shm_read.argtypes = [
        reader_p,
        ctypes.c_void_p,
        ctypes.c_uint32,
        ctypes.POINTER(ShmDataStruct),
    ]
    lib.toviipc_shm_read.restype = result
    lib.toviipc_shm_peek.argtypes = [reader_p, ctypes.POINTER(ShmHeaderStruct)]
    lib.toviipc_shm_peek.restype = result
    lib.toviipc_shm_wait.argtypes = [
        reader_p,
        ctypes.POINTER(ShmHeaderStruct),
        ctypes.c_uint32,
        ctypes.POINTER(ShmHeaderStruct),
    ]
    lib.toviipc_shm_wait.restype = result
    lib.toviipc_shm_close.argtypes = [reader_p]
    lib.toviipc_shm_close.restype = None
    lib.toviipc_shm_result_text.argtypes = [result]
    lib.toviipc_shm_result_text.restype = ctypes.c_char_p


class Peer(ctypes.Structure):
    _fields_ = [
        ("process_id", ctypes.c_int64),
        ("user_id", ctypes.c_int64),
        ("user", ctypes.c_char * 192),
    ]


class EventStruct(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int32),
        ("is_text", ctypes.c_int32),
        ("client_id", ctypes.c_char_p),
        ("data", ctypes.c_void_p),
        ("length", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("peer", ctypes.POINTER(Peer)),
    ]


STATS_FIELDS = (
    "messages_sent",
    "bytes_sent",
    "messages_received",
    "bytes_received",
    "queued_bytes",
    "queued_peak_bytes",
    "refused_full",
    "refused_too_large",
    "heart_beats_sent",
    "heart_beats_received",
)


class StatsStruct(ctypes.Structure):
    _fields_ = (
        [("size", ctypes.c_uint32), ("links", ctypes.c_uint32)]
        + [(name, ctypes.c_uint64) for name in STATS_FIELDS]
        + [("ms_since_heard", ctypes.c_int64)]
    )


# The waitable: a file descriptor elsewhere, an event HANDLE on Windows.
waitable_t = ctypes.c_void_p if sys.platform == "win32" else ctypes.c_int


def _declare_events(lib):
    endpoint_p = ctypes.c_void_p
    declarations = {
        "toviipc_server_create": ([ctypes.c_void_p, ctypes.c_void_p], endpoint_p),
        "toviipc_client_create": ([ctypes.c_void_p, ctypes.c_void_p], endpoint_p),
        "toviipc_release": ([endpoint_p], None),
        "toviipc_init_log": ([endpoint_p, ctypes.c_char_p, ctypes.c_char_p], tovi_bool),
        "toviipc_server_start": ([endpoint_p, ctypes.c_char_p], tovi_bool),
        "toviipc_server_stop": ([endpoint_p], None),
        "toviipc_server_disconnect_client": ([endpoint_p, ctypes.c_char_p], tovi_bool),
        "toviipc_client_connect": ([endpoint_p, ctypes.c_char_p, ctypes.c_char_p], tovi_bool),
        "toviipc_client_disconnect": ([endpoint_p], None),
        "toviipc_send_text": (
            [endpoint_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32],
            tovi_bool,
        ),
        "toviipc_send_bytes": (
            [endpoint_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32],
            tovi_bool,
        ),
        "toviipc_waitable_of": ([endpoint_p], waitable_t),
        "toviipc_next_event": (
            [endpoint_p, ctypes.POINTER(EventStruct), ctypes.c_int32],
            ctypes.c_int32,
        ),
        "toviipc_peer_of": ([endpoint_p, ctypes.c_char_p, ctypes.POINTER(Peer)], tovi_bool),
        "toviipc_stats_of": (
            [endpoint_p, ctypes.c_char_p, ctypes.POINTER(StatsStruct)],
            tovi_bool,
        ),
    }
    for name, (argtypes, restype) in declarations.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype


_DECLARE = {"main": _declare_main, "reader": _declare_reader, "events": _declare_events}


def _installed_tree_candidates(file_name):
    """Where an installed tree keeps the library, seen from this package's directory."""
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.platform == "win32":
        # ROOT/python/toviipc beside ROOT/bin in the Windows zip.
        return [os.path.join(here, "..", "..", "bin", file_name)]
    # PREFIX/lib/python3/dist-packages/toviipc, the library in PREFIX/lib or its multiarch
    # directory.
    prefix = os.path.join(here, "..", "..", "..", "..")
    places = [os.path.join(prefix, "lib", file_name)]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        places.append(os.path.join(prefix, "lib", multiarch, file_name))
    return places


def _candidates(which):
    """The places to try, in order, each as (what is tried, how it is described)."""
    file_name = _FILE_NAMES[which]
    places = []
    own_env = _ENVS[which]
    if os.environ.get(own_env):
        places.append((os.environ[own_env], own_env))
    elif which != "main" and os.environ.get(MAIN_ENV):
        beside = os.path.join(os.path.dirname(os.environ[MAIN_ENV]), file_name)
        places.append((beside, "beside " + MAIN_ENV))
    here = os.path.dirname(os.path.abspath(__file__))
    places.append((os.path.join(here, file_name), "the package's directory"))
    for path in _installed_tree_candidates(file_name):
        places.append((os.path.normpath(path), "the installed tree"))
    places.append((file_name, "the system loader's search"))
    found = ctypes.util.find_library(_SHORT_NAMES[which])
    if found and found != file_name:
        places.append((found, "ctypes.util.find_library"))
    return places


_lock = threading.Lock()
_loaded = {}


def load(which):
    """The loaded library ("main", "reader" or "events"), with its functions declared. Raises
    LibraryNotFoundError naming every place tried and why each failed."""
    with _lock:
        if which in _loaded:
            return _loaded[which]
        tried = []
        for path, origin in _candidates(which):
            if os.path.isabs(path) and not os.path.exists(path):
                tried.append("  %s (%s): no such file" % (path, origin))
                continue
            try:
                lib = _load(path)
                _DECLARE[which](lib)
            except (OSError, AttributeError) as error:
                tried.append("  %s (%s): %s" % (path, origin, error))
                continue
            _loaded[which] = lib
            return lib
        env = _ENVS[which]
        raise LibraryNotFoundError(
            "cannot load %s; set %s to its path. Tried:\n%s"
            % (_FILE_NAMES[which], env, "\n".join(tried))
        )
