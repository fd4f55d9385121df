"""Plugs on a simulated device's serial ports.

Run as a fixture inside the device's namespaces (launch.py --fixture, Dut.start(fixtures=...)):

    serialplug.py --prefix /dev/ttyS WIRE...

It opens one pty per WIRE in the device's own pty instance, makes PREFIXn a link to the slave
of pty n (the port the agent opens by that name) and carries bytes between the master sides.
WIRE n says where the bytes that port n sends arrive: "M", the receive line of port M (n itself
for a loop-back plug), optionally followed by ":K" to pass only the first K of every 128 bytes
(a plug that loses the rest of each 128-byte pattern) and by "!I" to change byte I of every 128
(its lowest bit flipped), or "-", nowhere. It holds each slave
open itself, so the master never sees a hang-up between the agent's calls, and it logs every
transfer on standard error (the fixture's log), with the rate and flow control that the agent
had set on the port. "ready" on standard output says the ports
exist.

The harness builds the argument vector with loopbacks() or pairs().
"""

import argparse
import os
import select
import sys
import termios
import time
import tty
from pathlib import Path

if __package__:
    from . import fixture
else:  # the fixture program itself: python3 -I leaves its folder off the path
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import fixture  # noqa: E402

PATTERN_SIZE = 128  # what the agent's serial tests send per port and call
RATES = {getattr(termios, name): int(name[1:]) for name in dir(termios)
         if name[:1] == "B" and name[1:].isdigit()}


def _argv(prefix, wires):
    return ["/usr/bin/python3", "-IBS", str(Path(__file__).resolve()), "--prefix", prefix, *wires]


def _wires(targets, passed, corrupt):
    """passed maps a port to the number of bytes of every 128 that its wire lets through,
    corrupt to the byte of every 128 that it changes."""
    passed, corrupt = passed or {}, corrupt or {}
    return [f"{target}" + (f":{passed[n]}" if n in passed else "") +
            (f"!{corrupt[n]}" if n in corrupt else "") for n, target in enumerate(targets)]


def loopbacks(prefix, ports, passed=None, corrupt=None):
    """Loop-back plugs on ports 0 .. ports-1."""
    return _argv(prefix, _wires(range(ports), passed, corrupt))


def pairs(prefix, ports, passed=None):
    """Ports wired in pairs, 0 with 1, 2 with 3, ... (ports is even)."""
    return _argv(prefix, _wires([n ^ 1 for n in range(ports)], passed, None))


def parse_wire(text, ports):
    """(target port or None, bytes passed of every 128, byte changed or None)"""
    if text == "-":
        return None, 0, None
    text, _, corrupt = text.partition("!")
    target, _, count = text.partition(":")
    target = int(target)
    count = int(count) if count else PATTERN_SIZE
    corrupt = int(corrupt) if corrupt else None
    if not 0 <= target < ports or not 0 <= count <= PATTERN_SIZE or \
            not 0 <= (corrupt or 0) < PATTERN_SIZE:
        raise ValueError(f"bad wire {text!r} for {ports} ports")
    return target, count, corrupt


class Port:
    def __init__(self, number, prefix, wire, ports):
        self.number = number
        self.target, self.passed, self.corrupt = parse_wire(wire, ports)
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.name = f"{prefix}{number}"
        os.symlink(os.ttyname(self.slave), self.name)
        self.sent = 0  # bytes the agent has sent on this port so far


def line_settings(fd):
    """The rate and flow control of a port, as the agent left them on its side."""
    iflag, _, cflag, _, _, ospeed, _ = termios.tcgetattr(fd)
    flow = ("RTS/CTS" if cflag & termios.CRTSCTS
            else "XON/XOFF" if iflag & termios.IXON else "none")
    return f"{RATES.get(ospeed, ospeed)} baud, flow control {flow}"


def serve(ports, log):
    masters = {port.master: port for port in ports}
    poller = select.poll()
    for fd in masters:
        poller.register(fd, select.POLLIN)
    while True:
        for fd, _ in poller.poll():
            port = masters[fd]
            try:
                data = os.read(fd, 4096)
            except (BlockingIOError, InterruptedError):
                continue
            if not data:
                continue
            start = port.sent
            port.sent += len(data)
            keep = bytes(b ^ (i % PATTERN_SIZE == port.corrupt)
                         for i, b in enumerate(data, start) if i % PATTERN_SIZE < port.passed)
            delivered = 0
            if port.target is not None and keep:
                try:
                    delivered = os.write(ports[port.target].master, keep)
                except BlockingIOError:
                    delivered = 0
            log.write(f"{time.time():.3f} port {port.number}: {len(data)} bytes sent at "
                      f"{line_settings(port.slave)}, "
                      f"{delivered} delivered to "
                      f"{'nowhere' if port.target is None else f'port {port.target}'}\n")
            log.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("wires", nargs="+")
    opts = parser.parse_args()
    # The links go into the device's private /dev only.
    fixture.refuse_outside_device("serialplug")
    if not opts.prefix.startswith("/dev/") or len(opts.prefix) > 13:
        sys.exit(f"serialplug: port prefix must be under /dev/ and at most 13 characters: "
                 f"{opts.prefix!r}")
    count = len(opts.wires)
    ports = [Port(n, opts.prefix, wire, count) for n, wire in enumerate(opts.wires)]
    log = sys.stderr
    for port in ports:
        log.write(f"{port.name} -> {os.ttyname(port.slave)}: sends to "
                  f"{'nowhere' if port.target is None else f'port {port.target}'}, "
                  f"{port.passed} of every {PATTERN_SIZE} bytes\n")
    log.flush()
    fixture.announce_ready()
    serve(ports, log)


if __name__ == "__main__":
    main()
