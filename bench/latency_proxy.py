#!/usr/bin/env python3
"""A simulated network between bench/run.sh's clients and nginx.

  latency_proxy.py [--listen PORT] [--upstream PORT] [--latency-ms MS] [--rate RATE]
                   [--count-file PATH] [--cut-every BYTES]

Listens on 127.0.0.1:PORT (18480) and forwards every connection to
127.0.0.1:UPSTREAM (18479). A new connection waits one latency before it is
connected upstream (the handshake's round trip); every chunk read from the
server reaches the client one latency after it was read, in order, so the
bandwidth is kept and each response's first byte comes one latency after the
request. Requests go upstream at once. RATE caps the bytes per second towards
the clients of all connections together (10M = 10,000,000; suffixes k, M, G).
COUNT_FILE receives, when the proxy stops, the bytes sent to the clients in
all. With --cut-every, the connection that carries the bytes at which the
total passes each multiple of BYTES is closed right there, as a line that
drops (sizes take the suffixes of RATE).
"""
import argparse
import asyncio
import collections
import signal
import sys

HOST = "127.0.0.1"
# Bytes held for one client (delayed plus unsent) above which the server side
# stops being read, and below which it is read again.
HIGH_WATER = 16 * 1024 * 1024
LOW_WATER = 4 * 1024 * 1024
RATE_SUFFIXES = {"": 1, "k": 1000, "M": 1000 ** 2, "G": 1000 ** 3}


def parse_amount(text):
    number, suffix = (text[:-1], text[-1]) if text[-1:] in RATE_SUFFIXES else (text, "")
    amount = float(number) * RATE_SUFFIXES[suffix]
    if amount <= 0:
        raise argparse.ArgumentTypeError("must be above 0: %s" % text)
    return amount


class SentBytes:
    """The bytes written to all clients, and where the next cut falls."""

    def __init__(self, cut_every):
        self.total = 0
        self.cut_every = int(cut_every) if cut_every else 0
        self.next_cut = self.cut_every or None

    def take(self, size):
        """How many of size bytes go out, and whether the connection is cut
        after them."""
        if self.next_cut is None or self.total + size < self.next_cut:
            self.total += size
            return size, False
        allowed = self.next_cut - self.total
        self.total = self.next_cut
        self.next_cut += self.cut_every
        return allowed, True


class RateLimit:
    """Bytes per second shared by every connection: each write reserves its
    share of time after the previous ones."""

    def __init__(self, bytes_per_second):
        self.bytes_per_second = bytes_per_second
        self.free_at = 0.0
        # Pieces of a hundredth of a second keep the flow smooth.
        self.piece_bytes = max(4096, int(bytes_per_second / 100))

    def start_time(self, now):
        return max(now, self.free_at)

    def spend(self, now, size):
        # A late wake-up may catch up one piece, so timer lateness does not add up.
        catch_up = self.piece_bytes / self.bytes_per_second
        self.free_at = max(now - catch_up, self.free_at) + size / self.bytes_per_second


class DelayedWriter:
    """Writes chunks to a transport when they fall due, in order."""

    def __init__(self, loop, transport, settings, on_drained):
        self.loop = loop
        self.transport = transport
        self.latency = settings.latency
        self.rate_limit = settings.rate_limit
        self.sent = settings.sent
        self.on_drained = on_drained
        self.queue = collections.deque()  # (due time, bytes or None for the end)
        self.queued_bytes = 0
        self.timer = None
        self.is_cut = False

    def held_bytes(self):
        return self.queued_bytes + self.transport.get_write_buffer_size()

    def push(self, data):
        if self.is_cut:
            return
        if self.latency == 0 and self.rate_limit is None and not self.queue:
            if data is None:
                self.transport.close()
            else:
                self.send(data)
            return
        due = self.loop.time() + self.latency
        if data is not None and self.rate_limit is not None:
            step = self.rate_limit.piece_bytes
            for start in range(0, len(data), step):
                self.queue.append((due, data[start:start + step]))
        else:
            self.queue.append((due, data))
        self.queued_bytes += len(data or b"")
        if self.timer is None:
            self.flush()

    def flush(self):
        self.timer = None
        now = self.loop.time()
        while self.queue:
            due, data = self.queue[0]
            when = due
            if data is not None and self.rate_limit is not None:
                when = max(due, self.rate_limit.start_time(now))
            if when > now:
                self.timer = self.loop.call_at(when, self.flush)
                return
            self.queue.popleft()
            if data is None:
                self.transport.close()
                return
            self.queued_bytes -= len(data)
            if self.rate_limit is not None:
                self.rate_limit.spend(now, len(data))
            if not self.send(data):
                return
        self.on_drained()

    def send(self, data):
        """Writes data, or its part up to a cut and then closes the
        connection; False once it is cut."""
        allowed, cut = self.sent.take(len(data))
        self.transport.write(data[:allowed] if cut else data)
        if not cut:
            return True
        self.is_cut = True
        self.cancel()
        self.transport.close()
        return False

    def cancel(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.queue.clear()


class ServerSide(asyncio.Protocol):
    """The upstream connection of one client: what it reads goes to the
    client's delayed writer."""

    def __init__(self, client):
        self.client = client
        self.transport = None
        self.paused = False

    def connection_made(self, transport):
        self.transport = transport

    # asyncio reads up to 256 KiB a call.
    def data_received(self, data):
        if self.client.closed:
            return
        writer = self.client.writer
        writer.push(data)
        if not self.paused and writer.held_bytes() > HIGH_WATER:
            self.paused = True
            self.transport.pause_reading()

    def resume_if_low(self):
        if self.paused and self.client.writer.held_bytes() < LOW_WATER:
            self.paused = False
            self.transport.resume_reading()

    def connection_lost(self, error):
        self.client.server_gone()


class ClientSide(asyncio.Protocol):
    def __init__(self, settings):
        self.settings = settings
        self.transport = None
        self.writer = None
        self.server = None
        self.closed = False

    def connection_made(self, transport):
        self.transport = transport
        loop = asyncio.get_running_loop()
        self.writer = DelayedWriter(loop, transport, self.settings, self.drained)
        transport.pause_reading()
        loop.create_task(self.connect_upstream())

    async def connect_upstream(self):
        loop = asyncio.get_running_loop()
        if self.settings.latency:
            await asyncio.sleep(self.settings.latency)
        if self.closed:
            return
        try:
            _, self.server = await loop.create_connection(
                lambda: ServerSide(self), HOST, self.settings.upstream)
        except OSError:
            self.transport.close()
            return
        if self.closed:
            self.server.transport.close()
            return
        self.transport.resume_reading()

    def data_received(self, data):
        self.server.transport.write(data)

    def pause_writing(self):
        pass  # the server side is paused on held bytes

    def resume_writing(self):
        self.drained()

    def drained(self):
        if self.server is not None:
            self.server.resume_if_low()

    def eof_received(self):
        if self.server is not None and self.server.transport.can_write_eof():
            self.server.transport.write_eof()
        return True

    def server_gone(self):
        if not self.closed:
            self.writer.push(None)  # closes the client once the delayed bytes are out

    def connection_lost(self, error):
        self.closed = True
        self.writer.cancel()
        if self.server is not None:
            self.server.transport.close()


async def serve(settings):
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: ClientSide(settings), HOST, settings.listen,
                                      reuse_address=True, backlog=256)
    stop = loop.create_future()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, lambda: stop.done() or stop.set_result(None))
    async with server:
        await stop
    if settings.count_file:
        with open(settings.count_file, "w") as out:
            out.write("%d\n" % settings.sent.total)


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--listen", type=int, default=18480)
    parser.add_argument("--upstream", type=int, default=18479)
    parser.add_argument("--latency-ms", type=float, default=0.0)
    parser.add_argument("--rate", type=parse_amount, default=None,
                        help="bytes per second towards all clients together (k, M, G: 10^3, 10^6, 10^9)")
    parser.add_argument("--count-file", default=None,
                        help="where to write, on stopping, the bytes sent to the clients")
    parser.add_argument("--cut-every", type=parse_amount, default=None,
                        help="cut the connection at every multiple of this many bytes sent in all")
    settings = parser.parse_args(arguments)
    settings.sent = SentBytes(settings.cut_every)
    settings.latency = settings.latency_ms / 1000.0
    settings.rate_limit = RateLimit(settings.rate) if settings.rate else None
    asyncio.run(serve(settings))


if __name__ == "__main__":
    main(sys.argv[1:])
