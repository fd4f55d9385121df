"""Faults of the plant around the station, for the whole line ([line] keys of a description):
what a station must survive besides its devices.

    records-stall = { at = 10, seconds = 20 }  another program holds the station's records
    outage = { at = 30, seconds = 15 }         the line unreachable from the test PC
    stray-frames = true                        a stranger on the line imitates the devices
    second-station = true                      a second ovikstation started on the same PC

`at` counts seconds into the run, from the end of the station's discovery; a window must end
within the run's duration. None of them changes a verdict: the station must report what the
devices earned, one record per device, and whole report files.

    faults = plant.PlantFaults(net, description.plant, run_start, duration, devices,
                               records=RecordsStall.sqlite(path), station=(args, cwd))
    ...                                        # the station runs
    faults.stop(); faults.summary(); faults.problems

- records-stall: an exclusive transaction on the station's SQLite file (a second program
  writing it), or every process of a PostgreSQL server stopped with SIGSTOP.
- outage: the test PC's cable pulled: an nftables netdev table on the PC's bridge drops every
  frame to and from the PC (both hooks, so the station's sends succeed and vanish, as on a
  dead link), counting the devices' frames it dropped.
- stray-frames: a stranger in a namespace of its own, cabled to the bridge, sends through a raw
  socket, every second of the run, frames with the devices' own addresses as source: idle
  announcements from port 1033, stop answers showing "passed" with wrong sequence numbers,
  and status reports with a failing item from a port other than 1033.
- second-station: the station's own command started again on the PC a second into the run; it
  must refuse the taken port (exit status other than 0, before listening) within seconds.
"""

import os
import signal
import socket
import sqlite3
import struct
import threading
import time
from pathlib import Path

from . import burnin, frames, netns
from .network import BRIDGE, PC_ADDRESS, PC_PREFIX

STRANGER_ADDRESS = "192.180.0.250"  # no device's: their third octet is never 0
STRANGER_PORT = "stranger"
WRONG_PORT = frames.AGENT_PORT + 1
STRAY_FROM = 2       # seconds into the run
STRAY_UNTIL = 3      # seconds before the run's end
SECOND_STATION_AT = 1
SECOND_STATION_LIMIT = 5  # seconds for it to refuse the port
LOCK_TIMEOUT = 5.0   # for the station's own transaction to end before the stall takes the file
OUTAGE_TABLE = "outage"
OUTAGE = """table netdev {table} {{
  chain to_pc {{
    type filter hook ingress device "{ifname}" priority 0; udp sport {port} counter drop; drop
  }}
  chain from_pc {{
    type filter hook egress device "{ifname}" priority 0; counter drop
  }}
}}"""


def _window(value):
    return (isinstance(value, dict) and set(value) == {"at", "seconds"}
            and type(value["at"]) is int and value["at"] >= 0
            and type(value["seconds"]) is int and value["seconds"] >= 1)


WINDOW = "a table { at = T, seconds = S } (whole seconds, T from 0, S from 1)"
# name: (check of the value, what the value must be, what it does)
FAULTS = {
    "records-stall": (_window, WINDOW,
                      "another program holds the station's records {seconds} s from {at} s "
                      "into the run"),
    "outage": (_window, WINDOW,
               "the line is unreachable from the test PC {seconds} s from {at} s into the run"),
    "stray-frames": (lambda v: v is True, "true",
                     "a stranger sends idle announcements, stop answers with wrong sequence "
                     "numbers and reports from wrong ports at the devices' addresses"),
    "second-station": (lambda v: v is True, "true",
                       f"a second ovikstation starts on the test PC {SECOND_STATION_AT} s into "
                       "the run and must refuse the taken port"),
}


def complaint(name, value, duration):
    """What is wrong with the line fault name = value in a run of duration seconds, or None."""
    valid, must_be, _ = FAULTS[name]
    if not valid(value):
        return f"[line] {name} must be {must_be}, not {value!r}"
    if isinstance(value, dict) and value["at"] + value["seconds"] > duration:
        return (f"[line] {name} must end within the run: at + seconds at most {duration} "
                "(the duration)")
    return None


def fault_text(name, value):
    return FAULTS[name][2].format(**value) if isinstance(value, dict) else FAULTS[name][2]


class RecordsStall:
    """Another program holding the station's records: begin() takes them, end() lets go."""

    def __init__(self, what, take, release):
        self.what = what
        self._take, self._release = take, release
        self.began = self.ended = None
        self._held = None

    @classmethod
    def sqlite(cls, path):
        """An exclusive transaction on the SQLite file path, as a second writer holds it."""
        def take():
            if not Path(path).exists():
                raise OSError(f"no records file {path} to hold")
            connection = sqlite3.connect(path, timeout=LOCK_TIMEOUT, isolation_level=None,
                                         check_same_thread=False)
            try:
                connection.execute("BEGIN EXCLUSIVE")
            except sqlite3.Error:
                connection.close()
                raise
            return connection

        def release(connection):
            connection.execute("ROLLBACK")
            connection.close()
        return cls(f"an exclusive transaction on {Path(path).name}", take, release)

    @classmethod
    def server(cls, pid):
        """The server process pid and every process below it stopped (SIGSTOP), the server
        first so that it starts none while they stop; a PostgreSQL server's backends are
        sessions of their own, so its process group would not do."""
        def take():
            stopped = [pid]
            os.kill(pid, signal.SIGSTOP)
            stopped += _descendants(pid)
            for child in stopped[1:]:
                _signal(child, signal.SIGSTOP)
            return stopped

        def release(stopped):
            for member in reversed(stopped):
                _signal(member, signal.SIGCONT)
        return cls(f"the server (process {pid} and those below it) stopped with SIGSTOP", take,
                   release)

    def begin(self):
        self._held = self._take()
        self.began = time.monotonic()

    def end(self):
        if self._held is not None:
            self._release(self._held)
            self._held = None
            self.ended = time.monotonic()


def _signal(pid, sig):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass


def _descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        try:
            stat = Path(f"/proc/{entry}/stat").read_text() if entry.isdigit() else ""
        except OSError:
            continue
        if stat:
            children.setdefault(int(stat.rsplit(")", 1)[1].split()[1]), []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


class Outage:
    """The test PC's cable pulled: every frame between the PC and its bridge dropped."""

    def __init__(self, namespace, ifname=BRIDGE):
        self.namespace, self.ifname = namespace, ifname
        self.began = self.ended = None
        self.dropped_reports = self.dropped_commands = 0

    def begin(self):
        netns.run(["ip", "netns", "exec", self.namespace, "nft", OUTAGE.format(
            table=OUTAGE_TABLE, ifname=self.ifname, port=frames.AGENT_PORT)])
        self.began = time.monotonic()

    def end(self):
        if self.began is None or self.ended is not None:
            return
        nft = ["ip", "netns", "exec", self.namespace, "nft"]
        listed = netns.run([*nft, "list", "table", "netdev", OUTAGE_TABLE]).stdout
        netns.run([*nft, "delete", "table", "netdev", OUTAGE_TABLE])
        self.ended = time.monotonic()
        counts = [int(part.split()[0]) for part in listed.split("counter packets ")[1:]]
        self.dropped_reports, self.dropped_commands = (counts + [0, 0])[:2]


class Stranger:
    """A stranger on the line: a namespace of its own on the bridge, and a raw socket there that
    sends frames to the station with the devices' addresses as their source."""

    def __init__(self, net, devices):
        self.devices = dict(devices)  # serial: address
        self.namespace = net.namespace("stranger")
        pc = ["ip", "-n", net.pc_netns]
        netns.run([*pc, "link", "add", STRANGER_PORT, "type", "veth", "peer", "name", "eth0",
                   "netns", self.namespace])
        netns.run([*pc, "link", "set", STRANGER_PORT, "master", BRIDGE, "up"])
        netns.run_batch(self.namespace, f"address add {STRANGER_ADDRESS}/{PC_PREFIX} dev eth0\n"
                                        "link set eth0 up\n")
        self.sock = netns.socket_in(self.namespace, socket.SOCK_RAW, proto=socket.IPPROTO_RAW)
        net.sockets.append(self.sock)
        self.sent = 0
        self.failed = None

    def round(self, n):
        """Three frames at every device's address; n numbers the round (the wrong sequence
        numbers count down from 0xFFFF)."""
        identity = {"softwareid": int(burnin.SOFTWARE_ID, 16) & 0xFFFF,
                    "apid": int(burnin.AP_ID, 16)}
        for serial, address in self.devices.items():
            fields = dict(identity, serial=serial, ip=address)
            idle = frames.encode_response(frames.RSP_ALIVE, status=frames.STATUS_IDLE, **fields)
            stop = frames.encode_response(frames.CMD_STOP | frames.ACK_BIT, ser=0xFFFF - n,
                                          status=frames.STATUS_OK, cycles=1, **fields)
            report = frames.encode_response(frames.RSP_DIAG, ser=0xFFFF - n,
                                            status=frames.STATUS_RUNNING, cycles=1,
                                            diagsent=1000000 + n, items=[("LAN2", 1)], **fields)
            for port, payload in ((frames.AGENT_PORT, idle), (frames.AGENT_PORT, stop),
                                  (WRONG_PORT, report)):
                self._send(address, port, payload)

    def _send(self, source, port, payload):
        udp = struct.pack(">HHHH", port, frames.PC_PORT, 8 + len(payload), 0)
        header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 28 + len(payload), 0, 0x4000, 64,
                             socket.IPPROTO_UDP, 0, socket.inet_aton(source),
                             socket.inet_aton(PC_ADDRESS))
        try:
            self.sock.sendto(header + udp + payload, (PC_ADDRESS, 0))
            self.sent += 1
        except OSError as exc:
            self.failed = self.failed or f"sending from {source}: {exc.strerror}"


class SecondStation:
    """The station's own command started again on the same PC while the first runs."""

    def __init__(self, net, args, cwd):
        self.net, self.args, self.cwd = net, args, cwd
        self.run = None

    def begin(self):
        self.run = self.net.start_station(*self.args, timeout=SECOND_STATION_LIMIT,
                                          cwd=self.cwd)

    def end(self):
        """Waits out the rest of its time; a station still running then is stopped."""
        if self.run is not None and self.run.returncode is None:
            self.run.wait(max(0.0, self.run.process.started + SECOND_STATION_LIMIT
                              - time.monotonic()))

    def problem(self):
        """Why its end is not a refusal of the taken port, or None."""
        if self.run is None:
            return None
        said = (self.run.stderr.strip().splitlines() or ["nothing"])[0]
        if self.run.timed_out:
            return (f"the second station still ran after {SECOND_STATION_LIMIT:g} s (stopped): "
                    "it did not refuse the taken port")
        if self.run.returncode == 0 or "listening on" in self.run.stdout:
            return (f"the second station listened beside the first (exit status "
                    f"{self.run.returncode}; stderr: {said})")
        if not self.run.stderr.strip():
            return f"the second station ended ({self.run.returncode}) without saying why"
        return None


class PlantFaults:
    """The line's faults (name: value, see FAULTS) played against one station run in a thread
    of its own that lives until stop(); run_start is time.monotonic() at the end of the
    station's discovery. devices maps the serial numbers to the addresses the stranger
    imitates; records is the RecordsStall to use; station is the first station's (argv, cwd)."""

    def __init__(self, net, faults, run_start, duration, devices, records=None, station=None):
        self.run_start = run_start
        self.faults = dict(faults)
        self.problems = []
        self._active = []
        events = []
        self.stall = self.outage = self.stranger = self.second = None
        if "records-stall" in faults:
            self.stall = records
            events += self._window(faults["records-stall"], records)
        if "outage" in faults:
            self.outage = Outage(net.pc_netns)
            events += self._window(faults["outage"], self.outage)
        if faults.get("stray-frames"):
            self.stranger = Stranger(net, devices)
            events += [(at, f"stray round {n}", lambda n=n: self.stranger.round(n))
                       for n, at in enumerate(range(STRAY_FROM, duration - STRAY_UNTIL + 1))]
        if faults.get("second-station"):
            self.second = SecondStation(net, *station)
            events += self._window({"at": SECOND_STATION_AT, "seconds": SECOND_STATION_LIMIT},
                                   self.second)
        self._events = sorted(events, key=lambda event: event[0])
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="plant", daemon=True)
        self._thread.start()

    def _window(self, window, fault):
        def begin():
            fault.begin()
            self._active.append(fault)

        def end():
            # A fault that began late (a lock the station's own writes held for a while) still
            # acts for its whole length.
            began = getattr(fault, "began", None)
            if began is not None:
                self._stopping.wait(max(0.0, began + window["seconds"] - time.monotonic()))
            if fault in self._active:
                self._active.remove(fault)
                fault.end()
        return [(window["at"], "begin", begin),
                (window["at"] + window["seconds"], "end", end)]

    def _run(self):
        for at, what, action in self._events:
            if self._stopping.wait(max(0.0, self.run_start + at - time.monotonic())):
                break
            try:
                action()
            except (OSError, sqlite3.Error, netns.NamespaceError) as exc:
                self.problems.append(f"the line's fault at {at} s into the run ({what}) could "
                                     f"not be injected: {exc}")

    def stop(self):
        """Ends the faults that still act, at the latest when the station has ended."""
        self._stopping.set()
        self._thread.join(timeout=SECOND_STATION_LIMIT + 10)
        for fault in self._active:
            try:
                fault.end()
            except (OSError, sqlite3.Error, netns.NamespaceError) as exc:
                self.problems.append(f"a fault of the line could not be ended: {exc}")
        self._active.clear()
        if self.stranger is not None and self.stranger.failed:
            self.problems.append(f"the stranger could not send: {self.stranger.failed}")
        if self.second is not None and self.second.problem():
            self.problems.append(self.second.problem())
        ended = time.monotonic() - self.run_start
        for name, fault in (("records-stall", self.stall), ("outage", self.outage)):
            seconds = self.faults.get(name, {}).get("seconds", 0)
            if fault is None:
                continue
            if fault.ended is None:
                self.problems.append(f"{name} never acted: the station ended {ended:.0f} s into "
                                     "the run, before it, or it could not be injected")
            elif fault.ended - fault.began < seconds - 0.5:
                self.problems.append(f"{name} lasted {fault.ended - fault.began:.1f} s, not "
                                     f"{seconds} s: the station ended before it")

    def _held(self, fault):
        if fault.began is None or fault.ended is None:
            return "never"
        return (f"{fault.ended - fault.began:.1f} s from {fault.began - self.run_start:.1f} s "
                "into the run")

    def summary(self):
        """What each fault did, one line each (after stop())."""
        lines = []
        if self.stall is not None:
            lines.append(f"records held: {self._held(self.stall)}, "
                         f"{self.stall.what}")
        if self.outage is not None:
            lines.append(f"outage: the test PC cut off {self._held(self.outage)}: "
                         f"{self.outage.dropped_reports} frames of the devices and "
                         f"{self.outage.dropped_commands} of the PC dropped")
        if self.stranger is not None:
            lines.append(f"stray frames: {self.stranger.sent} sent at "
                         f"{len(self.stranger.devices)} devices' addresses from "
                         f"{STRANGER_ADDRESS}'s namespace")
        if self.second is not None and self.second.run is not None:
            run = self.second.run
            said = (run.stderr.strip().splitlines() or ["nothing on stderr"])[0]
            lines.append("second station: " + (
                f"still running after {SECOND_STATION_LIMIT} s, stopped" if run.timed_out
                else f"exit status {run.returncode}") + f": {said}")
        return lines
