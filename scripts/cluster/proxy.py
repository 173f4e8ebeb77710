#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A TCP proxy of the cluster tests' own, a faulty network path on demand:
it forwards 127.0.0.1:LISTEN to HOST:PORT (HOST 127.0.0.1 unless given),
one argument a pair. On SIGUSR1 it reads one command from the file CONTROL:

    hole LISTEN    that path stops forwarding in both directions without
                   closing anything, as a path that drops every packet would
                   (new connections to it are accepted and go nowhere)
    delay MS JIT   every path holds each chunk MS +- JIT milliseconds (the
                   delay drawn at random for each, uniform), in order

SIGUSR2 undoes them all.

    proxy.py CONTROL LISTEN:[HOST:]PORT...

With PROXY_LOG set, each connection accepted is logged there as one line:
the time (CLOCK_BOOTTIME, as /proc/uptime counts) and the listen port.
"""
import asyncio
import os
import random
import signal
import sys
import time

holes = set()  # listen ports that forward nothing
delay = (0.0, 0.0)  # seconds, and the jitter either side


async def pump(reader, writer, port):
    due = 0.0  # when the last chunk leaves: a later chunk never overtakes it
    try:
        while data := await reader.read(65536):
            mean, jitter = delay
            if mean:
                due = max(due, time.monotonic() + random.uniform(mean - jitter, mean + jitter))
                await asyncio.sleep(max(0.0, due - time.monotonic()))
            while port in holes:  # hold the bytes, as a lost packet is never seen
                await asyncio.sleep(0.05)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


def handler(port, host, target):
    async def handle(reader, writer):
        if os.environ.get("PROXY_LOG"):
            with open(os.environ["PROXY_LOG"], "a") as log:
                log.write(f"{time.clock_gettime(time.CLOCK_BOOTTIME):.3f} {port}\n")
        try:
            up_reader, up_writer = await asyncio.open_connection(host, target)
        except OSError:
            writer.close()
            return
        await asyncio.gather(pump(reader, up_writer, port), pump(up_reader, writer, port))
    return handle


def command(control):
    global delay
    words = open(control).read().split()
    if words[0] == "hole":
        holes.add(int(words[1]))
    elif words[0] == "delay":
        delay = (int(words[1]) / 1000, int(words[2]) / 1000)


def undo():
    global delay
    holes.clear()
    delay = (0.0, 0.0)


async def main(control, pairs):
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGUSR1, command, control)
    loop.add_signal_handler(signal.SIGUSR2, undo)
    servers = []
    for pair in pairs:
        listen, *host, target = pair.split(":")
        servers.append(await asyncio.start_server(
            handler(int(listen), host[0] if host else "127.0.0.1", int(target)), "127.0.0.1", int(listen)))
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    asyncio.run(main(sys.argv[1], sys.argv[2:]))
