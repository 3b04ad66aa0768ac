"""The Python package in one process: what bad input raises, how events and lifetimes behave,
and that an interpreter may exit while the library's threads still deliver events."""

import asyncio
import gc
import os
import subprocess
import threading
import time
import weakref

import pytest

import toviipc
from conftest import PYTHON


def test_wrong_types_raise_type_error_and_bad_values_value_error(name):
    with pytest.raises(TypeError):
        toviipc.Server(42)
    with pytest.raises(TypeError):
        toviipc.Server(on_message="not callable")
    with pytest.raises(TypeError):
        toviipc.SharedMemoryReader(None)
    with toviipc.Server(name) as server, toviipc.Client(name, "A1") as client:
        for call, arguments in [
            (client.send_text, (b"bytes",)),
            (client.send_bytes, ("text",)),
            (client.send, (12,)),
            (client.write_shared_memory, ("text",)),
            (client.write_shared_memory, (b"x", (1, 2, 3))),
            (client.write_shared_memory, (b"x", (1, 2, 3, 4, "5"))),
            (server.send_text, (7, "hi")),
            (server.disconnect_client, (None,)),
        ]:
            with pytest.raises(TypeError):
                call(*arguments)
        for call, arguments in [
            (client.send_text, ("nul\0inside",)),
            (client.send, (b"",)),
            (client.write_shared_memory, (b"x", (1, 2, 3, 4, -1))),
            (client.write_shared_memory, (b"x", (1, 2, 3, 4, 2**32))),
            (server.start, ("",)),
        ]:
            with pytest.raises(ValueError):
                call(*arguments)
        # Nothing was sent by any of them.
        client.send_text("last")
        assert server.get_event(30) == toviipc.Event("connect", "A1")
        assert server.get_event(30) == toviipc.Event("message", "A1", b"last")


def test_each_refusal_raises_its_own_error_naming_the_reason_and_endpoints_show_their_state(
    name,
):
    with pytest.raises(toviipc.NoServerError, match="no server listens"):
        toviipc.Client(name, "nobody")
    with pytest.raises(toviipc.NoBlockError, match="is a client connected"):
        toviipc.SharedMemoryReader(name)
    with toviipc.Server(name) as server:
        assert repr(server) == "<toviipc.Server listening on %r, 0 clients>" % name
        with pytest.raises(toviipc.NameTakenError, match="another server holds the name"):
            toviipc.Server(name)
        with pytest.raises(toviipc.AlreadyListeningError, match="listens on %r" % name):
            server.start(name + "-other")
        with pytest.raises(toviipc.NoSuchClientError, match="no client 'ghost'"):
            server.disconnect_client("ghost")
        with pytest.raises(toviipc.NoSuchClientError, match="no client 'ghost'"):
            server.send_text("ghost", "hello")
        client = toviipc.Client(name, "A2")
        assert repr(client) == "<toviipc.Client 'A2' connected to %r>" % name
        with pytest.raises(toviipc.AlreadyConnectedError, match="connected to %r already" % name):
            client.connect(name, "A2")
        with pytest.raises(toviipc.MessageTooLargeError, match="15663103"):
            client.write_shared_memory(bytes(15663104))
        # The largest message that fits a frame goes; one byte more is refused before the call.
        largest = 52428800 - 206 - len("A2")
        client.send_bytes(bytes(largest))
        with pytest.raises(toviipc.MessageTooLargeError, match="%d bytes is above" % (largest + 1)):
            client.send_bytes(bytes(largest + 1))
        with pytest.raises(toviipc.MessageTooLargeError):
            server.send_text("A2", "x" * (52428800 - 196 + 1))
        assert server.get_event(30) == toviipc.Event("connect", "A2")
        assert len(server.get_event(30).data) == largest
        client.close()
        client.close()  # closing again does nothing
        assert repr(client) == "<toviipc.Client closed>"
        with pytest.raises(toviipc.ClosedError, match="closed"):
            client.send_text("after close")


def test_events_come_from_the_queue_or_asyncio_until_a_timeout_or_the_close(name):
    gone = threading.Event()
    server = toviipc.Server(name, on_disconnect=lambda client: gone.set())
    started = time.monotonic()
    assert list(server.events(timeout=0.3)) == []
    assert time.monotonic() - started >= 0.3
    with pytest.raises(TimeoutError):
        server.get_event(0)

    def send_fifty():
        with toviipc.Client(name, "Q1") as client:
            for i in range(50):
                client.send_bytes(bytes([i]))

    async def receive_while_a_client_sends():
        sender = threading.Thread(target=send_fifty)
        sender.start()
        received = []
        async for event in server.aevents(timeout=30):
            received.append((event.kind, event.data))
            if event.data == bytes([49]):
                break
        sender.join()
        assert gone.wait(30)  # after every message of the link
        return received, [event async for event in server.aevents(timeout=0.1)]

    # The asyncio iterator wakes for each event as it comes, and ends after its timeout.
    assert asyncio.run(receive_while_a_client_sends()) == (
        [("connect", None)] + [("message", bytes([i])) for i in range(50)],
        [],
    )
    gone.clear()
    with toviipc.Client(name, "Q2") as client:
        client.send_bytes(b"last")
    assert gone.wait(30)
    server.close()
    # What was queued before the close can still be read, in order; then the events end.
    kinds = [(event.kind, event.data) for event in server.events()]
    assert kinds == [("connect", None), ("message", b"last")]
    with pytest.raises(toviipc.ClosedError, match="no more events"):
        server.get_event(1)


def test_callbacks_live_as_long_as_the_endpoint_without_a_reference_of_the_host(name):
    arrived = threading.Event()
    server = weakref.ref(toviipc.Server(name, on_message=lambda client, data: arrived.set()))
    gc.collect()
    with toviipc.Client(name, "G1") as client:
        client.send_text("still there?")
        assert arrived.wait(30)
    server().close()
    gc.collect()
    assert server() is None  # a closed endpoint is the host's to drop


def test_close_from_a_callback_of_the_same_endpoint_raises_and_the_endpoint_goes_on(name):
    outcome = []

    def on_message(client, data):
        for call in (server.close, server.stop):
            try:
                call()
                outcome.append("returned")
            except toviipc.Error as error:
                outcome.append(str(error))
        server.send_text(client, "still serving")

    server = toviipc.Server(name, on_message=on_message)
    with server, toviipc.Client(name, "C1") as client:
        client.send_text("close yourself")
        assert client.get_event(30).data == b"still serving"
    assert len(outcome) == 2
    assert all("cannot be called from a callback" in text for text in outcome)
    assert server.closed


def test_a_missing_library_says_where_it_looked():
    env = dict(os.environ, TOVIIPC_LIBRARY="/nonexistent/dir/libtoviipc.so")
    env.pop("TOVIIPC_READER_LIBRARY", None)
    script = (
        "import toviipc\n"
        "try:\n"
        "    toviipc.Server()\n"
        "except toviipc.LibraryNotFoundError as e:\n"
        "    print(e)\n"
    )

    def run(script):
        return subprocess.run(
            [PYTHON, "-c", script], env=env, capture_output=True, text=True, timeout=60
        )

    result = run(script)
    assert result.returncode == 0, result.stderr
    for expected in [
        "set TOVIIPC_LIBRARY",
        "/nonexistent/dir/libtoviipc.so (TOVIIPC_LIBRARY)",
        "the package's directory",
        "the system loader's search",
    ]:
        assert expected in result.stdout
    # The reader is looked for beside TOVIIPC_LIBRARY first.
    result = run(script.replace("toviipc.Server()", "toviipc.SharedMemoryReader('x')"))
    assert "/nonexistent/dir/libtoviipc_reader.so.0 (beside TOVIIPC_LIBRARY)" in result.stdout


EXIT_WHILE_BUSY = """
import sys, threading, time, toviipc
name, log_dir = sys.argv[1:3]
busy = threading.Event()

def on_message(client, data):
    busy.set()
    time.sleep(0.05)  # the interpreter starts to exit while callbacks run

server = toviipc.Server(name, on_message=on_message)
server.init_log(log_dir, "exit.log")
client = toviipc.Client(name, "X1")

def flood():
    try:
        while True:
            client.send_bytes(b"x" * 1000)
    except toviipc.Error:
        pass  # closed by the exit

threading.Thread(target=flood, daemon=True).start()
busy.wait(30)
print("exiting", flush=True)
"""


def test_the_interpreter_exits_cleanly_while_library_threads_deliver_events(name, tmp_path):
    started = time.monotonic()
    result = subprocess.run(
        [PYTHON, "-c", EXIT_WHILE_BUSY, name, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exiting\n"
    assert "Fatal" not in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert time.monotonic() - started < 60
    # The endpoints left open were released before the interpreter went: the server stopped.
    log = (tmp_path / "exit.log").read_text(errors="replace")
    assert "win::pipe_server::stop_server" in log
    # Nothing was left behind: the name is free again.
    with toviipc.Server(name):
        pass
