"""GPS receivers and cellular modems on a simulated device's serial ports.

Run as a fixture inside the device's namespaces (launch.py --fixture, Dut.start(fixtures=...)):

    peripherals.py gps PATH feed:FILE | text | noise | silent
    peripherals.py modem PATH sierra | other | lower | silent [--appear-when FILE]
                     [--answer-after SECONDS]

Each opens a pty in the device's own pty instance and makes PATH a link to its slave, the port
the agent opens. It holds the slave open itself, as a UART stays powered between the agent's
calls.

A receiver sends a block about twice a second, the way a 1 Hz receiver bursts its sentences:
feed:FILE plays the sentences of a recorded session in order, again and again (comment lines
of the recording are skipped); text sends only GNTXT text sentences; noise sends what a port
set to the wrong line speed makes of a receiver's output (no sentence survives); silent sends
nothing.

A modem answers "AT+CGMI\\r" the way the named modem does: sierra echoes the command and
answers with the manufacturer line and OK; other names a manufacturer the agent does not know;
lower gives the known name in lower case; silent never answers. --appear-when keeps PATH away
until FILE exists (the test makes it when the agent first looks for the modem), as a modem
still booting; --answer-after delays every answer, as a modem busy with its network.
"ready" on standard output says the fixture is set up (a late link may still be
missing); every transfer is logged on standard error.
"""

import argparse
import os
import random
import select
import sys
import threading
import time
import tty
from pathlib import Path

if __package__:
    from . import fixture
else:  # the fixture program itself: python3 -I leaves its folder off the path
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import fixture  # noqa: E402

BLOCK_PERIOD = 0.5
BLOCK_SIZE = 300  # whole sentences up to about this many bytes per block
GNTXT = b"$GNTXT,01,01,02,ANTSTATUS=OK*3B\r\n"
ANSWERS = {
    "sierra": b"AT+CGMI\r\r\nSierra Wireless, Incorporated\r\n\r\nOK\r\n",
    "other": b"\r\nQuectel\r\n\r\nOK\r\n",
    "lower": b"\r\nsierra wireless, incorporated\r\n\r\nOK\r\n",
    "silent": b"",
}
COMMAND = b"AT+CGMI\r"


def receiver(path, mode):
    """The fixture's argument vector for a GPS receiver on path."""
    return ["/usr/bin/python3", "-IBS", str(Path(__file__).resolve()), "gps", path, mode]


def modem(path, mode, appear_when=None, answer_after=None):
    """The fixture's argument vector for a modem on path."""
    late = ["--appear-when", str(appear_when)] if appear_when else []
    slow = ["--answer-after", str(answer_after)] if answer_after else []
    return ["/usr/bin/python3", "-IBS", str(Path(__file__).resolve()), "modem", path, mode,
            *late, *slow]


def recorded_blocks(path):
    with open(path, "rb") as recording:
        sentences = [line.rstrip(b"\r\n") + b"\r\n" for line in recording
                     if line.startswith(b"$")]
    if not sentences:
        raise SystemExit(f"peripherals: no NMEA sentences in {path}")
    blocks, block = [], b""
    for sentence in sentences:
        block += sentence
        if len(block) >= BLOCK_SIZE:
            blocks.append(block)
            block = b""
    return blocks + ([block] if block else [])


def noise_blocks():
    # A fixed seed: every run sees the same garble. Bytes with the high bit set cannot form a
    # sentence identifier, and none is zero, so the agent's printout shows all of it.
    garble = random.Random(4800)
    return [bytes(garble.randrange(0x80, 0x100) for _ in range(BLOCK_SIZE)) for _ in range(8)]


def receiver_blocks(mode):
    if mode.startswith("feed:"):
        return recorded_blocks(mode[len("feed:"):])
    if mode == "text":
        return [GNTXT * 4]
    if mode == "noise":
        return noise_blocks()
    if mode == "silent":
        return []
    raise SystemExit(f"peripherals: unknown receiver mode {mode!r}")


class Port:
    def __init__(self, path):
        self.path = path
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)

    def plug_in(self):
        os.symlink(os.ttyname(self.slave), self.path)


def play_receiver(port, blocks, log):
    sent = 0
    while blocks:
        block = blocks[sent % len(blocks)]
        try:
            written = os.write(port.master, block)
        except BlockingIOError:
            written = 0  # nobody reads: the line's buffer is full, the rest is lost
        sent += 1
        log.write(f"{time.time():.3f} block {sent}: {written} of {len(block)} bytes\n")
        log.flush()
        time.sleep(BLOCK_PERIOD)
    while True:
        time.sleep(3600)


def play_modem(port, answer, log, delay=0.0):
    def send():
        if answer:
            os.write(port.master, answer)
        log.write(f"{time.time():.3f} answered {answer!r}\n")
        log.flush()
    heard = b""
    while True:
        select.select([port.master], [], [])
        try:
            data = os.read(port.master, 4096)
        except (BlockingIOError, InterruptedError):
            continue
        heard += data
        log.write(f"{time.time():.3f} heard {data!r}\n")
        while COMMAND in heard:
            heard = heard.split(COMMAND, 1)[1]
            if delay:
                timer = threading.Timer(delay, send)
                timer.daemon = True
                timer.start()
            else:
                send()
        log.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=("gps", "modem"))
    parser.add_argument("path")
    parser.add_argument("mode")
    parser.add_argument("--appear-when")
    parser.add_argument("--answer-after", type=float, default=0.0)
    opts = parser.parse_args()
    # The links go into the device's private /dev only.
    fixture.refuse_outside_device("peripherals")
    if not opts.path.startswith("/dev/") or len(opts.path) > 15:
        sys.exit(f"peripherals: port path must be under /dev/ and at most 15 characters: "
                 f"{opts.path!r}")
    if opts.kind == "modem" and opts.mode not in ANSWERS:
        sys.exit(f"peripherals: unknown modem {opts.mode!r}")
    blocks = receiver_blocks(opts.mode) if opts.kind == "gps" else None
    port = Port(opts.path)
    log = sys.stderr
    if opts.appear_when:
        def plug_in_late():
            # Bounded: the test that asked for a late modem lasts minutes, not hours.
            for _ in range(6000):
                if os.path.exists(opts.appear_when):
                    break
                time.sleep(0.05)
            port.plug_in()
            log.write(f"{time.time():.3f} {opts.path} appears\n")
            log.flush()
        threading.Thread(target=plug_in_late, daemon=True).start()
    else:
        port.plug_in()
    log.write(f"{opts.path} -> {os.ttyname(port.slave)}: {opts.kind} {opts.mode}\n")
    log.flush()
    fixture.announce_ready()
    if opts.kind == "gps":
        play_receiver(port, blocks, log)
    else:
        play_modem(port, ANSWERS[opts.mode], log, opts.answer_after)


if __name__ == "__main__":
    main()
