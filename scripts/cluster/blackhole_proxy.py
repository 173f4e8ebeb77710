#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A TCP proxy on loopback that can turn into a black hole, for the cluster
tests: it forwards LISTEN_PORT to TARGET_PORT (each pair an argument,
LISTEN:TARGET, on 127.0.0.1) until SIGUSR1; then the listen port named in
the file CONTROL stops forwarding in both directions without closing
anything, as a network path that drops every packet would (new connections
to it are accepted and go nowhere). SIGUSR2 forwards again.

    blackhole_proxy.py CONTROL LISTEN:TARGET...

With PROXY_LOG set, each connection accepted is logged there as one line:
the time (seconds since the epoch) and the listen port.
"""
import asyncio
import os
import signal
import sys
import time

holes = set()  # listen ports that forward nothing


async def pump(reader, writer, port):
    try:
        while data := await reader.read(65536):
            while port in holes:  # hold the bytes, as a lost packet is never seen
                await asyncio.sleep(0.05)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


def handler(port, target):
    async def handle(reader, writer):
        if os.environ.get("PROXY_LOG"):
            with open(os.environ["PROXY_LOG"], "a") as log:
                log.write(f"{time.time():.3f} {port}\n")
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            writer.close()
            return
        await asyncio.gather(pump(reader, up_writer, port), pump(up_reader, writer, port))
    return handle


async def main(control, pairs):
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGUSR1, lambda: holes.add(int(open(control).read())))
    loop.add_signal_handler(signal.SIGUSR2, holes.clear)
    servers = []
    for pair in pairs:
        listen, target = (int(p) for p in pair.split(":"))
        servers.append(await asyncio.start_server(handler(listen, target), "127.0.0.1", listen))
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    asyncio.run(main(sys.argv[1], sys.argv[2:]))
