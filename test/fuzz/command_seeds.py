#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_command_handler into corpus/fuzz_command_handler/: the
command sequences of a whole run, a run with a download, a failed run, every refusal, and a run
whose hardware clock passes its 32-bit wrap. Each input is two set-up bytes (see the target's
header) and 128-byte command frames.

    test/fuzz/command_seeds.py
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "ovikline"))

from ovikline import frames  # noqa: E402  (the frame layout of the line simulator)

PC_TIME = 1700000000


def frame(cmd, ser=0, **fields):
    return frames.encode_command(cmd, ser=ser, **fields)


def seed(setup, clock_step, *commands):
    return bytes([setup, clock_step]) + b"".join(commands)


def run_start(fwr=b"fw-1.2.bin"):
    return [frame(frames.CMD_POLLING), frame(frames.CMD_QUERY, 0),
            frame(frames.CMD_SET_PARAMETER, 1, baud=115200, fwr=fwr),
            frame(frames.CMD_START, 2, time=PC_TIME)]


SEEDS = {
    "passed-run": seed(0, 0, *run_start(), frame(frames.CMD_DIAGNOSTIC),
                       frame(frames.CMD_QUERY, 3), frame(frames.CMD_STOP, 4)),
    "download": seed(1, 0, *run_start(), frame(frames.CMD_STOP, 3),
                     frame(frames.CMD_DOWNLOAD, 4), frame(frames.CMD_QUERY, 5),
                     frame(frames.CMD_RESET), frame(frames.CMD_POLLING)),
    "download-cancelled": seed(1, 0, *run_start(fwr=b"na"), frame(frames.CMD_STOP, 3)),
    "failed-run": seed(0x10, 0, *run_start(), frame(frames.CMD_STOP, 3, fail=1)),
    "refusals": seed(2, 0, frame(frames.CMD_QUERY, 5),
                     frame(frames.CMD_SET_PARAMETER, 0, baud=921601),
                     frame(frames.CMD_STOP, 0), frame(frames.CMD_START, 0, time=PC_TIME),
                     frame(frames.CMD_START, 1, time=PC_TIME),
                     frame(frames.CMD_SET_PARAMETER, 2, baud=9600),
                     frame(0x1234, 2), frame(frames.CMD_ALIVE_CHECK, 2), frame(7, 2),
                     frame(8, 2), frame(9, 2), frame(frames.CMD_RESET),
                     frame(frames.CMD_DIAGNOSTIC)),
    "clock-wrap": seed(0, 0, *run_start()[:3],
                       frame(frames.CMD_START, 2, time=0x7FFFFFF0),
                       frame(frames.CMD_QUERY, 3), frame(frames.CMD_STOP, 4)),
}


def main():
    out = HERE / "corpus" / "fuzz_command_handler"
    out.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (out / f"{name}.bin").write_bytes(data)


if __name__ == "__main__":
    main()
