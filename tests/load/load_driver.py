"""Load on a local CONNECT proxy from Linux, for the launcher under Wine (the
native load test is load_main.cpp). Python 3, standard library only.

The tunnels lead to an echo target on 127.0.0.1 (run it in a process of its
own: `load_driver.py --serve-echo` prints its port, then echoes until killed).
Every tunnel sends a pseudo-random stream of its own and checks that every
byte comes back, so a lost, reordered or mixed-up byte fails it.

    import load_driver
    load_driver.concurrent(proxy_port, target_port, tunnels=1000, seconds=3)
    load_driver.silent_then_tunnels(proxy_port, target_port, 500, 100, held)
    load_driver.sequential(proxy_port, target_port, 10000)

Each returns a dict of figures with "failures" (a list of the first few
reasons) and "failed" (their count).
"""

import argparse
import asyncio
import random
import resource
import socket
import sys
import threading
import time

ROUND_BYTES = 16 * 1024
ECHO_BYTES = 64
LIMIT = 60.0  # seconds any one step of a tunnel may take

# One period of the streams; a tunnel's stream is this pattern from an offset
# of its own, so two tunnels' bytes never line up.
_PATTERN = random.Random(0x4C4F4144).randbytes(1 << 20)
_PATTERN2 = _PATTERN + _PATTERN


def stream(seed, offset, length):
    start = (seed * 7919 + offset) % len(_PATTERN)
    return _PATTERN2[start:start + length]


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


class Results:
    def __init__(self):
        self.failures = []
        self.failed = 0
        self._lock = threading.Lock()

    def fail(self, reason):
        with self._lock:
            self.failed += 1
            if len(self.failures) < 5:
                self.failures.append(reason)


async def open_tunnel(proxy_port, target_port):
    """Connects through the proxy; returns (reader, writer) at the first tunnel byte."""
    reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", proxy_port), LIMIT)
    target = "127.0.0.1:%d" % target_port
    writer.write(("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target, target)).encode())
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), LIMIT)
    if not head.startswith(b"HTTP/1.1 200 "):
        writer.close()
        raise ConnectionError("answer %r" % head[:40])
    return reader, writer


async def echo_round(reader, writer, seed, offset, length):
    """Sends length bytes of the stream and checks that they come back."""
    sent = stream(seed, offset, length)
    writer.write(sent)
    back = await asyncio.wait_for(reader.readexactly(length), LIMIT)
    if back != sent:
        first = next(i for i in range(length) if back[i] != sent[i])
        raise ValueError("byte %d of the stream came back wrong" % (offset + first))


def _close(writer):
    writer.close()


async def _concurrent(proxy_port, target_port, tunnels, seconds, on_all_open):
    results = Results()
    all_open = asyncio.Event()
    opened = [0]
    settled = [0]
    rounds = [0] * tunnels
    deadline = [0.0]

    async def tunnel(index):
        writer = None
        try:
            reader, writer = await open_tunnel(proxy_port, target_port)
            opened[0] += 1
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ConnectionError) as error:
            results.fail("tunnel %d did not open: %r" % (index, error))
        settled[0] += 1
        if settled[0] == tunnels:
            all_open.set()
        await all_open.wait()
        if writer is None:
            return
        try:
            while rounds[index] == 0 or time.monotonic() < deadline[0]:
                await echo_round(reader, writer, index, rounds[index] * ROUND_BYTES, ROUND_BYTES)
                rounds[index] += 1
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError) as error:
            results.fail("tunnel %d, round %d: %r" % (index, rounds[index], error))
        _close(writer)

    started = time.monotonic()
    tasks = [asyncio.ensure_future(tunnel(i)) for i in range(tunnels)]
    await all_open.wait()
    open_seconds = time.monotonic() - started
    peak = on_all_open() if on_all_open else None
    moving = time.monotonic()
    deadline[0] = moving + seconds
    await asyncio.gather(*tasks)
    data_seconds = time.monotonic() - moving
    moved = sum(rounds) * ROUND_BYTES
    return {"tunnels": tunnels, "opened": opened[0], "open_seconds": open_seconds,
            "data_seconds": data_seconds, "bytes_each_way": moved, "fewest_rounds": min(rounds),
            "mb_per_s": 2 * moved / 1e6 / data_seconds, "peak": peak,
            "failed": results.failed, "failures": results.failures}


def concurrent(proxy_port, target_port, tunnels=1000, seconds=3.0, on_all_open=None):
    """Opens tunnels at once; when all are open, calls on_all_open() (its
    result is reported as "peak"), then every tunnel echoes rounds of
    ROUND_BYTES until seconds have passed (at least one round each)."""
    return asyncio.run(_concurrent(proxy_port, target_port, tunnels, seconds, on_all_open))


async def _silent_then_tunnels(proxy_port, target_port, silent, tunnels, wait_held):
    results = Results()
    held = []
    line = ("CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % target_port).encode()
    for _ in range(silent):
        try:
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection("127.0.0.1", proxy_port), LIMIT)
            writer.write(line)
            held.append((reader, writer))
        except (OSError, asyncio.TimeoutError) as error:
            results.fail("silent client did not connect: %r" % (error,))
    holding = wait_held() if wait_held else None
    times = []

    async def tunnel(index):
        started = time.monotonic()
        try:
            reader, writer = await open_tunnel(proxy_port, target_port)
            await echo_round(reader, writer, 100000 + index, 0, ROUND_BYTES)
            _close(writer)
            times.append(time.monotonic() - started)
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError,
                ConnectionError) as error:
            results.fail("tunnel %d beside the silent clients: %r" % (index, error))

    started = time.monotonic()
    await asyncio.gather(*(tunnel(i) for i in range(tunnels)))
    all_seconds = time.monotonic() - started
    answered = 0
    for reader, writer in held:
        try:
            if await asyncio.wait_for(reader.read(1), 0.001):
                answered += 1
        except asyncio.TimeoutError:
            pass
        _close(writer)
    times.sort()
    return {"silent": silent, "held": len(held), "holding": holding, "answered": answered,
            "tunnels": tunnels, "succeeded": len(times), "seconds": all_seconds,
            "p50": times[len(times) // 2] if times else None, "max": times[-1] if times else None,
            "failed": results.failed + answered, "failures": results.failures}


def silent_then_tunnels(proxy_port, target_port, silent=500, tunnels=100, wait_held=None):
    """Opens silent connections that send a request line and nothing more;
    calls wait_held() (reported as "holding") once they are all connected;
    then opens tunnels at once, each echoing one round. The silent clients
    must get no answer."""
    return asyncio.run(_silent_then_tunnels(proxy_port, target_port, silent, tunnels, wait_held))


def sequential(proxy_port, target_port, count=10000, clients=1):
    """Opens count tunnels one after the other, each echoing ECHO_BYTES, then
    closing (blocking sockets; no event loop costs in the way). With clients
    above 1, that many threads share the count, each one tunnel at a time."""
    results = Results()
    started = time.monotonic()
    threads = [threading.Thread(target=_sequential_client,
                                args=(proxy_port, target_port, range(i, count, clients), results))
               for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seconds = time.monotonic() - started
    return {"count": count, "clients": clients, "seconds": seconds, "per_second": count / seconds,
            "failed": results.failed, "failures": results.failures}


def _sequential_client(proxy_port, target_port, indexes, results):
    target = "127.0.0.1:%d" % target_port
    head = ("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target, target)).encode()
    for index in indexes:
        try:
            with socket.create_connection(("127.0.0.1", proxy_port), timeout=LIMIT) as client:
                client.sendall(head)
                answer = b""
                while not answer.endswith(b"\r\n\r\n"):
                    byte = client.recv(1)
                    if not byte:
                        raise ConnectionError("closed after %r" % answer)
                    answer += byte
                if not answer.startswith(b"HTTP/1.1 200 "):
                    raise ConnectionError("answer %r" % answer[:40])
                sent = stream(index, 0, ECHO_BYTES)
                client.sendall(sent)
                back = b""
                while len(back) < ECHO_BYTES:
                    chunk = client.recv(ECHO_BYTES - len(back))
                    if not chunk:
                        raise ConnectionError("closed after %d echoed bytes" % len(back))
                    back += chunk
                if back != sent:
                    raise ValueError("echo differs")
        except (OSError, ConnectionError, ValueError) as error:
            results.fail("tunnel %d: %r" % (index, error))


async def _serve_echo():
    async def echo(reader, writer):
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                writer.write(data)
                await writer.drain()
        except OSError:
            pass
        writer.close()

    server = await asyncio.start_server(echo, "127.0.0.1", 0, backlog=4096)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve-echo", action="store_true", help="run the echo target")
    arguments = parser.parse_args()
    if arguments.serve_echo:
        raise_descriptor_limit()
        asyncio.run(_serve_echo())
    else:
        parser.error("nothing to do")


if __name__ == "__main__":
    sys.exit(main())
