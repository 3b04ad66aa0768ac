"""An asyncio echo server: answers every message with "echo: " and the message, on the event
loop's own thread, and prints who connected (process and user, from the system) and the
server's statistics when its first client has left.

    python3 asyncio_echo.py NAME
"""

import asyncio
import sys

import toviipc


async def serve(name: str) -> None:
    async with toviipc.AsyncServer(name) as server:
        print("listening on", name, flush=True)
        async for event in server:
            if event.kind == "connect":
                print("%s connected from process %d (user %s)"
                      % (event.client, event.peer.process_id, event.peer.user), flush=True)
            elif event.kind == "message":
                await server.send_text(event.client, "echo: " + event.data.decode(errors="replace"))
            elif event.kind == "disconnect":
                stats = server.stats()
                print("%s left; %d received, %d sent"
                      % (event.client, stats.messages_received, stats.messages_sent), flush=True)
                return


if __name__ == "__main__":
    asyncio.run(serve(sys.argv[1] if len(sys.argv) > 1 else "toviipc-example"))
