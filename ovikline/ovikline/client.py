"""A raw host link client in the PC namespace: hand-made command frames out, response frames
in, every datagram kept with its arrival time for the test and for the failure report."""

import socket
import struct
import time

from . import frames

TRAFFIC_DUMP_LINES = 60
TIMEVAL = struct.Struct("@ll")
# Linux's value on the usual architectures; Python does not export the name.
SO_TIMESTAMP = getattr(socket, "SO_TIMESTAMP", 29)


class Received:
    """One datagram; t is its arrival time as the kernel stamped it (seconds, wall clock), so
    intervals stay exact however late the test gets round to reading it."""

    def __init__(self, t, source, data):
        self.t = t
        self.source = source
        self.data = data
        self.frame = frames.decode_response(data) if len(data) == frames.RESPONSE_SIZE else None

    def describe(self):
        what = self.frame.describe() if self.frame else f"{len(self.data)} bytes"
        stamp = time.strftime("%H:%M:%S", time.localtime(self.t)) + f"{self.t % 1:.3f}"[1:]
        return f"{stamp} from {self.source[0]}:{self.source[1]} {what}"


class RawClient:
    def __init__(self, network, agent_address=None, port=0, broadcast=False):
        self.network = network
        self.agent = agent_address
        self.sock = network.pc_socket(port=port, broadcast=broadcast)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
        self.received = []
        self.sent = []
        network.clients.append(self)

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def send(self, data, to=None):
        self.sent.append((time.time(), len(data)))
        self.sock.sendto(data, (to or self.agent, frames.AGENT_PORT))

    def command(self, cmd, to=None, pad_to=None, **fields):
        data = frames.encode_command(cmd, **fields)
        if pad_to is not None:
            data = data[:pad_to] + bytes(max(0, pad_to - len(data)))
        self.send(data, to)

    def receive(self, timeout):
        """The next datagram within timeout seconds, or None."""
        if timeout <= 0:
            timeout = 0.001
        self.sock.settimeout(timeout)
        try:
            data, ancillary, _, source = self.sock.recvmsg(4096, socket.CMSG_SPACE(TIMEVAL.size))
        except (socket.timeout, BlockingIOError):
            return None
        arrival = time.time()
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMP:
                sec, usec = TIMEVAL.unpack(value[:TIMEVAL.size])
                arrival = sec + usec / 1e6
        item = Received(arrival, source, data)
        self.received.append(item)
        return item

    def expect(self, match, timeout):
        """The first response frame for which match(frame) holds, within timeout seconds;
        other datagrams are skipped (and kept in self.received)."""
        deadline = time.monotonic() + timeout
        while True:
            item = self.receive(deadline - time.monotonic())
            if item is None:
                return None
            if item.frame is not None and match(item.frame):
                return item.frame

    def exchange(self, cmd, timeout=1.0, **fields):
        """Sends a command and returns its ACK or NAK within timeout seconds, or None."""
        self.command(cmd, **fields)
        answers = {cmd | frames.ACK_BIT, cmd | frames.NAK_BIT}
        return self.expect(lambda f: f.code in answers, timeout)

    def collect(self, seconds, match=lambda f: True):
        """Every response frame matching within the next seconds, with arrival times."""
        deadline = time.monotonic() + seconds
        got = []
        while True:
            item = self.receive(deadline - time.monotonic())
            if item is None:
                return got
            if item.frame is not None and match(item.frame):
                got.append(item)

    def drain(self):
        while self.receive(0.001) is not None:
            pass

    def dump(self):
        lines = [i.describe() for i in self.received[-TRAFFIC_DUMP_LINES:]]
        return (f"--- raw client on port {self.port}: {len(self.sent)} datagrams sent, "
                f"{len(self.received)} received; last ones:\n" + "\n".join(lines) + "\n")
