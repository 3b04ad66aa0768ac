"""The asyncio endpoints: events pulled on the loop's thread, awaitable sends, the peer's
identity and the statistics, against the C example client and the tool."""

import asyncio
import os
import threading

import pytest

import toviipc
from conftest import PYTHON

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def test_the_asyncio_echo_example_answers_the_c_client_on_the_loop_thread(name, run, example_client):
    server = run([PYTHON, os.path.join(EXAMPLES, "asyncio_echo.py"), name])
    server.wait_line(lambda line: line == "listening on " + name)
    client = run([example_client, name, "c-1", "hi there"])
    assert client.finish() == 0
    assert "answer: echo: hi there" in client.lines
    assert server.finish() == 0
    connected = server.wait_line(lambda line: line.startswith("c-1 connected from process "))
    assert connected.endswith("(user %d)" % os.geteuid())
    assert "c-1 left; 1 received, 1 sent" in server.lines


class _LoopWithoutReaders(asyncio.SelectorEventLoop):
    """A loop that watches no descriptors, as Windows' loops watch no event handles: the
    endpoints fall back to a thread that only waits on the waitable."""

    def add_reader(self, *args, **kwargs):
        raise NotImplementedError


async def waiting(call):
    """Starts an awaitable and gives it time to reach its wait (it stays correct without)."""
    task = asyncio.ensure_future(call)
    await asyncio.sleep(0.05)
    return task


@pytest.mark.parametrize("loop_kind", [asyncio.SelectorEventLoop, _LoopWithoutReaders])
def test_events_reach_python_on_the_loop_thread_in_order_with_identity_and_statistics(name, loop_kind):
    async def main():
        loop_thread = threading.get_ident()
        seen_on = set()
        async with toviipc.AsyncServer(name) as server:
            client = await toviipc.AsyncClient.open(name, "py-async")
            async with client:
                assert client.server_peer.process_id == os.getpid()
                events = [await server.get_event(timeout=60)]
                # Each side waits on its waitable before its message is sent.
                first = await waiting(server.get_event(timeout=60))
                for i in range(50):
                    await client.send_bytes(b"%d" % i)
                await client.send_text("last")
                events.append(await first)
                while len(events) < 52:
                    events.append(await server.get_event(timeout=60))
                    seen_on.add(threading.get_ident())
                assert events[0].kind == "connect"
                assert events[0].peer.process_id == os.getpid()
                assert events[0].peer.user == str(os.geteuid())
                assert [e.data for e in events[1:51]] == [b"%d" % i for i in range(50)]
                assert not any(e.is_text for e in events[1:51])
                assert events[51].is_text and events[51].text == "last"
                answered = await waiting(client.get_event(timeout=60))
                await server.send("py-async", "thanks")
                answer = await answered
                assert (answer.kind, answer.text, answer.is_text) == ("message", "thanks", True)
                stats = server.stats()
                assert (stats.links, stats.messages_received, stats.messages_sent) == (1, 51, 1)
                assert client.stats("").messages_sent == 51
                with pytest.raises(toviipc.NoSuchClientError):
                    await server.send("nobody", b"x")
                with pytest.raises(toviipc.MessageTooLargeError):
                    await client.send(bytes(50 * 1024 * 1024))
            left = await server.get_event(timeout=60)
            assert (left.kind, left.client) == ("disconnect", "py-async")
        assert seen_on == {loop_thread}
        with pytest.raises(asyncio.TimeoutError):
            async with toviipc.AsyncServer(name + "-quiet") as quiet:
                await quiet.get_event(timeout=0.2)

    loop = loop_kind()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()
