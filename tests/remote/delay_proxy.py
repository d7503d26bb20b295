#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that adds a round-trip time: every chunk is passed on half the
delay after it arrived, in each direction, in order, without holding up the chunks behind
it. It stops by itself after --max-connections connections or --max-seconds."""
import argparse
import asyncio
import os
import sys


def close(writer):
    if not writer.is_closing():
        writer.close()


async def pipe(reader, writer, delay):
    """Passes each chunk on at its arrival plus delay. Timers rather than a task that sleeps
    per chunk: with dozens of connections busy, the proxy's own cost must not add to the
    delay. Due times only grow, so chunks keep their order."""
    loop = asyncio.get_running_loop()
    last = 0.0
    while True:
        try:
            chunk = await reader.read(1 << 18)
        except (ConnectionError, OSError):
            chunk = b""
        # asyncio's epoll selector rounds a timer's wait up to the next millisecond: aimed half a
        # millisecond early, a chunk leaves on average at its due time, not half a millisecond late.
        last = max(loop.time() + delay - 0.0005, last + 1e-6)
        if not chunk:
            loop.call_at(last, close, writer)
            return
        loop.call_at(last, writer.write, chunk)


async def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--target-port", type=int, required=True)
    ap.add_argument("--rtt-ms", type=float, required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--max-connections", type=int, default=5000)
    ap.add_argument("--max-seconds", type=float, default=900)
    args = ap.parse_args()
    delay = args.rtt_ms / 2000.0
    accepted = [0]
    done = asyncio.Event()

    async def handle(client_reader, client_writer):
        accepted[0] += 1
        if accepted[0] >= args.max_connections:
            done.set()
        # Connecting to the server costs its half round trip each way, as a real one would.
        await asyncio.sleep(2 * delay)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay), pipe(server_reader, client_writer, delay))

    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=512)
    port = server.sockets[0].getsockname()[1]
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.rename(args.port_file + ".tmp", args.port_file)
    try:
        await asyncio.wait_for(done.wait(), args.max_seconds)
    except asyncio.TimeoutError:
        pass
    server.close()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
