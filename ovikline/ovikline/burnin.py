"""PC-side steps of a burn-in run over the raw client, and the device configurations the
tests and the demo give their agents."""

import json
import os
import time

from . import frames

SOFTWARE_ID = "1A2B3C"   # the agent keeps the low 16 bits: 0x2B3C
AP_ID = "105"            # hexadecimal: 0x105
# Under emulation (the virtual test machine) programs start about ten times slower.
SLOW = 4.0 if os.environ.get("OVIK_VM") == "1" else 1.0
START_ANSWER_TIMEOUT = 10.0 * SLOW  # the start command is answered 1 to 4 s late by design
PC_TIME = 1700000000
READY_TIMEOUT = 8.0 * SLOW          # from starting the agent to its first answer
POLL_RETRY = 0.5


def config(download=False, extra=""):
    """An INI file that enables no hardware test: identity only, optionally a download."""
    text = f"[info]\nSOFTWARE_ID = {SOFTWARE_ID}\nAP_ID = {AP_ID}\n"
    if download:
        text += "DownloadFWR = y\n"
    return text + extra


class StepFailed(AssertionError):
    pass


def answer(client, cmd, expected_code, timeout=1.0, **fields):
    frame = client.exchange(cmd, timeout=timeout, **fields)
    if frame is None:
        raise StepFailed(f"no answer to command 0x{cmd:04x} within {timeout} s")
    if frame.code != expected_code:
        raise StepFailed(f"command 0x{cmd:04x}: expected 0x{expected_code:04x}, got "
                         f"{frame.describe()}")
    return frame


def poll(client, timeout=READY_TIMEOUT, ser=0):
    """Polls until the freshly started agent answers (its socket may not be up yet); returns
    the polling ACK."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        frame = client.exchange(frames.CMD_POLLING, timeout=POLL_RETRY, ser=ser)
        if frame is not None:
            if frame.code != 0x8001:
                raise StepFailed(f"polling: expected 0x8001, got {frame.describe()}")
            return frame
    raise StepFailed(f"no answer to polling within {timeout} s")


def start_run(client, baud=115200, fwr=b"", pc_time=PC_TIME):
    """Polling, query, set parameter and start, each checked; returns the start ACK."""
    poll(client)
    answer(client, frames.CMD_QUERY, 0x8002, ser=0)
    answer(client, frames.CMD_SET_PARAMETER, 0x8003, ser=1, baud=baud, fwr=fwr)
    ack = answer(client, frames.CMD_START, 0x8004, timeout=START_ANSWER_TIMEOUT, ser=2,
                 time=pc_time)
    if ack.status != frames.STATUS_RUNNING or ack.ser != 3:
        raise StepFailed(f"start accepted but not running: {ack.describe()}")
    return ack


def stop_run(client, fail=False, ser=3):
    return answer(client, frames.CMD_STOP, 0x8005, ser=ser, fail=1 if fail else 0)


def run_to_download(client, name, timeout, before_stop=None):
    """A run started with firmware name, stopped (once before_stop() has returned, when
    given), then the download followed to its end: returns (stop ACK, download ACK, every frame
    up to the final 0x8006 report)."""
    start_run(client, fwr=name)
    if before_stop is not None:
        before_stop()
    stop = stop_run(client)
    download = answer(client, frames.CMD_DOWNLOAD, 0x8006, ser=4)
    return stop, download, follow_download(client, timeout)


def follow_download(client, timeout):
    """After the download ACK: every frame up to the final 0x8006 report (inclusive)."""
    deadline = time.monotonic() + timeout
    reports = []
    while True:
        frame = client.expect(lambda f: True, deadline - time.monotonic())
        if frame is None:
            raise StepFailed(f"no final download report within {timeout} s")
        reports.append(frame)
        if frame.code == 0x8006:
            return reports


# --- whole runs driven by the station program ---------------------------------------------------

FIRST_STATION_PORT = 21032
# The station's own steps around the run's duration: the start answer comes 1 to 4 s late, the
# stop and the final record follow; under emulation everything is slower.
STATION_OVERHEAD = 30.0 * SLOW
TEST_THREAD_END_TIMEOUT = 15.0 * SLOW  # a cycle in progress at the stop runs to its end


class StationBurn:
    """One `ovikstation run` against one device, with the agents' final records as JSON."""

    def __init__(self, net, dut, duration, index=0, options=()):
        self.dut = dut
        self.report = net.dir / f"{dut.name}-run.json"
        self.run = net.start_station("run", "--agent", dut.address, "--duration", duration,
                                     "--json", self.report, "--port", FIRST_STATION_PORT + index,
                                     "--db", net.dir / f"{dut.name}-runs.db",
                                     *options, timeout=duration + STATION_OVERHEAD)
        self.entry = None

    def wait(self):
        """Waits for the station's end; afterwards entry is this device's JSON entry (serial,
        verdict, record with cycles, portfail and items) and record its final record."""
        self.run.wait()
        if self.run.timed_out:
            raise StepFailed(f"station run against {self.dut.address} did not end")
        entries = json.loads(self.report.read_text())
        if len(entries) != 1:
            raise StepFailed(f"station reported {len(entries)} agents: {entries}")
        self.entry = entries[0]
        return self

    @property
    def record(self):
        return self.entry["record"]

    def items(self):
        """Failure counts by item name."""
        return {item["name"]: item["fail"] for item in self.record["items"]}

    def portfail(self, port):
        return self.record["portfail"].get(f"port {port}", 0)

    def verdict_row(self):
        """The device's row of the station's verdict table: its columns after the address."""
        for line in self.run.stdout.splitlines():
            fields = line.split()
            if len(fields) >= 2 and fields[1] in (self.dut.address,
                                                  f"{self.dut.address}:{frames.AGENT_PORT}"):
                return fields[2:]
        return None


def station_burn(net, dut, duration, index=0, options=()):
    """Starts a station run of duration seconds against dut once its agent announces itself;
    index gives parallel runs station ports of their own, options go to the station."""
    if not dut.wait_console("<<Send ALIVE", READY_TIMEOUT):
        raise StepFailed(f"{dut.name}: the agent did not come up")
    return StationBurn(net, dut, duration, index, options)
