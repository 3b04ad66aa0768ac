"""The Python package against the C examples and the toviipc tool, each in its own process."""

import importlib.metadata
import json
import subprocess

import pytest

import toviipc
from conftest import PYTHON


def json_events(child, event, **fields):
    """Waits for the child's JSON line of this event with these fields and returns it."""

    def matches(line):
        try:
            record = json.loads(line)
        except ValueError:
            return False
        return record.get("event") == event and all(record.get(k) == v for k, v in fields.items())

    return json.loads(child.wait_line(matches))


def next_event(endpoint, kind, timeout=60):
    """The next queued event, which must be of this kind."""
    event = endpoint.get_event(timeout)
    assert event.kind == kind, event
    return event


def test_a_python_server_answers_the_c_example_client_and_the_tool_from_its_callback(
    name, run, example_client, tool
):
    received = []

    def on_message(client, data):
        received.append((client, data))
        server.send_bytes(client, data)  # a send from inside a callback is allowed

    connected = []
    with toviipc.Server(name, on_message=on_message, on_connect=connected.append) as server:
        example = run([example_client, name, "E1", "hello"])
        assert example.finish() == 0
        assert example.lines == ["answer: hello"]
        text = "gr\u00fc\u00df"
        client = run(
            [tool, "client", name, "T1", "--send", text, "--send-hex", "00ff", "--json"],
            stdin=subprocess.PIPE,
        )
        assert json_events(client, "message", hex="00ff")["length"] == 2
        assert json_events(client, "message", text=text)["length"] == 6
        assert received == [("E1", b"hello"), ("T1", text.encode()), ("T1", b"\x00\xff")]
        assert connected == ["E1", "T1"]
        # Unwanted kinds still go to the queue.
        client.process.stdin.close()
        assert client.finish() == 0
        assert next_event(server, "disconnect").client == "E1"
        assert next_event(server, "disconnect").client == "T1"
        assert list(server.events(timeout=0.2)) == []


def test_a_python_client_gets_the_tool_servers_sends_and_is_dropped(name, run, tool):
    server = run([tool, "server", name, "--control", "--json"], stdin=subprocess.PIPE)
    json_events(server, "listening")
    messages = []
    with toviipc.Client(name, "P2", on_message=messages.append) as client:
        client.send(b"\x00\x01\xff")
        client.send("text")
        assert json_events(server, "message", client="P2", hex="0001ff")
        assert json_events(server, "message", client="P2", text="text")
        server.process.stdin.write("send P2 from the tool\ndrop P2\n")
        server.process.stdin.flush()
        assert next_event(client, "disconnect") == toviipc.Event("disconnect")
        assert messages == [b"from the tool"]
        # The server dropped this client: a send now says so.
        assert repr(client) == "<toviipc.Client not connected>"
        with pytest.raises(toviipc.NotConnectedError, match="not connected"):
            client.send_text("late")
    server.process.stdin.close()
    assert server.finish() == 0


def test_the_shared_memory_block_goes_both_ways_between_python_and_the_tool(name, run, tool):
    server = run([tool, "server", name, "--json"])
    json_events(server, "listening")
    # The tool writes, Python reads.
    writer = run(
        [tool, "client", name, "W1", "--shm", "from the tool", "--info", "1,2,3,4,4294967295"],
        stdin=subprocess.PIPE,
    )
    writer.wait_line(lambda line: " shm " in line)
    with toviipc.SharedMemoryReader(name) as reader:
        first = reader.read()
        assert first == toviipc.ShmWrite(0, (1, 2, 3, 4, 4294967295), b"from the tool")
        follow = reader.writes(timeout=30)
        assert next(follow) == first
        # Python writes, as a second client of the same pipe; the tool and the follower read it.
        with toviipc.Client(name, "W2") as client:
            client.write_shared_memory(b"\x00from python", info=(9, 8, 7, 6, 5))
            following = next(follow)
            assert (following.slot, following.info, following.data) == (
                1,
                (9, 8, 7, 6, 5),
                b"\x00from python",
            )
            header = reader.peek()
            assert (header.next_slot, header.slot_length) == (0, (13, 12))
            shm = run([tool, "shm-read", name, "--json"])
            assert shm.finish() == 0
            assert json.loads(shm.lines[0]) == {
                "event": "shm",
                "slot": 1,
                "info": [9, 8, 7, 6, 5],
                "length": 12,
                "hex": b"\x00from python".hex(),
                "text": "\x00from python",
            }
            assert reader.wait(timeout=0.1) is None
    writer.process.stdin.close()
    assert writer.finish() == 0


def test_python_m_toviipc_mirrors_the_tools_commands(name, run, tool, example_client):
    server = run([PYTHON, "-m", "toviipc", "server", name, "--echo", "--json"])
    assert json_events(server, "listening") == {"event": "listening", "pipe": name}
    client = run([example_client, name, "M1", "ping"])
    assert client.finish() == 0
    assert client.lines == ["answer: ping"]
    assert json_events(server, "message", client="M1")["text"] == "ping"
    assert json_events(server, "sent", client="M1")["hex"] == b"ping".hex()
    json_events(server, "disconnect", client="M1")

    # Its client writes the block; the tool reads it back. Then its shm-read.
    py_client = run(
        [PYTHON, "-m", "toviipc", "client", name, "M2", "--shm", "abc", "--info", "5,0,0,0,0x10"]
        + ["--send", "-5 degrees"],
        stdin=subprocess.PIPE,
    )
    py_client.wait_line(lambda line: " shm " in line)
    assert json_events(server, "message", client="M2")["text"] == "-5 degrees"
    shm = run([tool, "shm-read", name, "--json"])
    assert shm.finish() == 0
    assert json.loads(shm.lines[0])["info"] == [5, 0, 0, 0, 16]
    py_shm = run([PYTHON, "-m", "toviipc", "shm-read", name, "--json"])
    assert py_shm.finish() == 0
    assert py_shm.lines == shm.lines
    py_client.process.stdin.close()
    assert py_client.finish() == 0

    # What the tool tells apart by its exit status, this does too: a client whose id is taken
    # hears so before it leaves, and exits 3.
    holder = run([tool, "client", name, "M3", "--stay", "60"])
    json_events(server, "connect", client="M3")
    impostor = run([PYTHON, "-m", "toviipc", "client", name, "M3", "--json"])
    assert impostor.finish() == 3
    assert "the id is taken" in json_events(impostor, "disconnect")["reason"]
    holder.process.terminate()
    missing = run([PYTHON, "-m", "toviipc", "shm-read", name + "-none"])
    assert missing.finish() == 4
    taken = run([PYTHON, "-m", "toviipc", "server", name])
    assert taken.finish() == 4
    # Bad arguments: one line that gives the reason, and status 2, as from the tool.
    for arguments in [[name], [name, "x", "--stay=inf"], [name, "x", "--stay", "nan"]] + [
        [name, "x", "--stay", seconds] for seconds in ("-1", "0")
    ]:
        usage = subprocess.run(
            [PYTHON, "-m", "toviipc", "client"] + arguments, capture_output=True, text=True
        )
        assert (usage.returncode, usage.stdout, usage.stderr.count("\n")) == (2, "", 1), usage
    # The version: the package's, as installed with its metadata, is the tool's.
    version = subprocess.run([PYTHON, "-m", "toviipc", "--version"], capture_output=True, text=True)
    tool_version = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout
    assert version.stdout == "python -m toviipc %s\n" % toviipc.__version__
    assert tool_version == "toviipc %s\n" % importlib.metadata.version("toviipc")
    server.process.terminate()
    assert server.finish() == 0
    assert json.loads(server.lines[-1]) == {"event": "stopped", "pipe": name}
