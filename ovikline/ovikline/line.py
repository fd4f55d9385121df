"""A simulated production line built from a line description, a small TOML file:

    [line]
    name = "rack-a"                       # optional: the line's name (default: the file's)
    duration = 30                         # burn-in seconds
    tests = ["serial", "ethernet", "cellular"]
    firmware = "fw-1.2.bin"               # optional: devices that pass install it
    config = "cfg_ovikburn"               # optional: every device's own configuration
    emulate = 1000                        # optional: emulated devices besides the real ones
    records-stall = { at = 10, seconds = 20 }   # optional: faults of the plant (plant.py)

    [[device]]
    serial = 201                          # a clean device

    [[device]]
    serial = "KX2024-0203"                # the boot loader's serialnumber text
    faults = { serial-drops = 2 }         # the plug on serial port 2 loses bytes
    config = "cfg_ovikburn.rev-b"         # optional: this device's own configuration

The tests every device's configuration enables, and what each device is cabled to:
  serial    4 serial ports (/dev/ttyS0..3) with loop-back plugs
  ethernet  eth1 to eth3 (raw-frame loop-back test) with loop-back plugs
  can       can0 on a bus with a responder node (virtual test machine only)
  cellular  a Sierra Wireless modem on /dev/ttyUSB2
  gps       a receiver on /dev/ttyGPS0 that sends text sentences
  dio       a digital I/O board with outputs wired to inputs (virtual test machine only)

A device's configuration is the one its config file holds (a path relative to the
description), else [line] config, else the one made from the tests; the station's findings
match the injected faults only when it enables just the line's tests.

Faults a device can have, and what the station must then report for it:
  serial-drops = PORT         the plug loses bytes: that serial port fails
  ethernet-no-loopback = "ethN"   nothing on that port's far end: item LAN2/LAN3/LAN4 fails
  can-wrong-id = true         the responder answers with the wrong identifier: item CAN fails
  modem-silent = true         the modem never answers: item Cellular fails (a call takes
                              about 38 s, so the run must last 50 s or more)
  di-stuck-high = LINE        that input line reads high: item DIO fails
  upgrade-fails = true        the run passes, the firmware download fails (needs firmware)
  agent-restart = SECONDS     the device reboots that long after its run started (the start
                              command reached it): the station must see it idle again, and
                              the run fails; /dev/shm is as at boot, clock and environment stay
  cable-loss = PERCENT        its eth0 cable drops that share of the frames each way: the
                              station records it passed, or unknown or lost when the answers
                              it needed were lost, never failed

Emulated devices (emulate = N, or --emulate N) serve the host link from one emulator process
(see emulate.py): serial numbers 1, 2, 3, ... skipping any whose eth0 address a device before it
has. They run the line's configuration and pass, unless [[emulated]] entries script faults,
one kind per entry:

    [[emulated]]
    serials = [3, 17]                     # or serial = 3
    fail-item = "LAN2"                    # or fail-port = 2, silent = true, reboot = true,
                                          # upgrade-fails = true
    after = 20                            # seconds into their run (default 0)

Faults of the plant around the station ([line] records-stall, outage, stray-frames,
second-station; see plant.py) change no verdict: the station must still report what each
device earned, keep one record per device and write whole report files (check_files()).

load() checks a description and says exactly what is wrong (also serial numbers whose eth0
addresses collide); Line builds it in a Network; expected() and observed() put the
description's faults and the station's report side by side.
"""

import contextlib
import csv
import json
import os
import re
import sqlite3
import tomllib
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from pathlib import Path

from . import burnin, can, dio, emulate, ethernet, peripherals, plant, serialplug
from .faults import Restarts, lose_frames, missing_frame_loss
from .network import eth0_address, serial_from_text

TESTS = ("serial", "ethernet", "can", "cellular", "gps", "dio")
VM_TESTS = ("can", "dio")  # their drivers exist in the virtual test machine only
SERIAL_PREFIX = "/dev/ttyS"
SERIAL_PORTS = 4
SHORT_PLUG = 100  # bytes of every 128 a dropping plug lets through
ETHERNET_PORTS = {"eth1": "LAN2", "eth2": "LAN3", "eth3": "LAN4"}
MODEM_PORT = "/dev/ttyUSB2"
GPS_PORT = "/dev/ttyGPS0"
DIO_LINES = 4
SILENT_MODEM_DURATION = 50
MAX_SERIAL = 9999  # the agent reads the last four digits of the serialnumber text
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,31}")
FAULTS = {  # name: (test it needs, check of its value, what the value must be, what it does)
    "serial-drops": ("serial", lambda v: type(v) is int and 0 <= v < SERIAL_PORTS,
                     f"a serial port number 0 to {SERIAL_PORTS - 1}",
                     "the plug on serial port {} loses bytes"),
    "ethernet-no-loopback": ("ethernet", lambda v: v in ETHERNET_PORTS,
                             "one of " + ", ".join(f'"{p}"' for p in ETHERNET_PORTS),
                             "nothing plugged into {}"),
    "can-wrong-id": ("can", lambda v: v is True, "true",
                     "the CAN node answers with the wrong identifier"),
    "modem-silent": ("cellular", lambda v: v is True, "true", "the modem never answers"),
    "di-stuck-high": ("dio", lambda v: type(v) is int and 0 <= v < DIO_LINES,
                      f"an input line 0 to {DIO_LINES - 1}", "input line DI{} is stuck high"),
    "upgrade-fails": (None, lambda v: v is True, "true", "its upgrade script fails"),
    "agent-restart": (None, lambda v: type(v) is int and v >= 1,
                      "a whole number of seconds from 1", "it reboots {} s into its run"),
    "cable-loss": (None, lambda v: type(v) is int and 1 <= v <= 100,
                   "a whole number of percent from 1 to 100",
                   "its eth0 cable loses {} % of the frames each way"),
}
ANY = "any"  # an outcome the line cannot foretell
MAX_EMULATED = 10000
SILENT_VERDICTS = ("lost", "unknown")  # a device that fell silent during its run
# A lossy cable may cost the station the stop's answer or the device itself, but the station
# must never record a verdict the device did not give: never failed for a device that passed.
LOSSY_VERDICTS = ("passed", "unknown", "lost")
CABLING = {  # test: what each device has for it
    "serial": f"{SERIAL_PREFIX}0-{SERIAL_PORTS - 1} loop-back plugs",
    "ethernet": "eth1-3 loop-back plugs",
    "can": "can0 on a bus with a responder node",
    "cellular": f"modem on {MODEM_PORT}",
    "gps": f"GPS receiver on {GPS_PORT}",
    "dio": "/dev/dio, outputs wired to inputs",
}
UPGRADE_OUTPUT = ["mp_upgrade: fetching {name} from the TFTP server",
                  "mp_upgrade: received 4096 KiB", "mp_upgrade: writing the image to flash",
                  "mp_upgrade: done"]
FAILING_UPGRADE_OUTPUT = ["mp_upgrade: fetching {name} from the TFTP server",
                          "tftp: Connection failed"]


class LineError(ValueError):
    """A line description that cannot be run; the text says what to change."""


@dataclass
class Device:
    serial: int                # the number the agent derives from serialnumber
    faults: dict = field(default_factory=dict)
    serialnumber: str = ""     # the boot loader's text
    config: str = None         # the device's own configuration (INI text), or None

    @property
    def address(self):
        return eth0_address(self.serial)

    def fault_texts(self):
        return [FAULTS[name][3].format(value) for name, value in self.faults.items()]


@dataclass
class Description:
    path: str
    duration: int
    tests: list
    firmware: str
    devices: list
    name: str = "line"
    config: str = None         # every device's configuration (INI text), or None
    emulated: dict = field(default_factory=dict)  # serial: [(fault, value, after), ...]
    emulated_entries: list = field(default_factory=list)  # the [[emulated]] tables
    plant: dict = field(default_factory=dict)  # the line's faults: name: value (plant.FAULTS)

    def addresses(self):
        """Every device's eth0 address by serial number, real and emulated."""
        return {**{device.serial: device.address for device in self.devices},
                **{serial: eth0_address(serial) for serial in self.emulated}}

    def with_emulated(self, count, entries=()):
        """The description with count emulated devices and the faults of entries
        ([[emulated]] tables); LineError when they are wrong."""
        where = f"{self.path}: "
        if type(count) is not int or not 0 <= count <= MAX_EMULATED:
            raise LineError(f"{where}emulate must be a number of devices from 0 to "
                            f"{MAX_EMULATED}")
        chosen = emulate.serials(count, {device.address for device in self.devices})
        emulated = {serial: [] for serial in chosen}
        for n, entry in enumerate(entries, 1):
            at = f"{where}[[emulated]] entry {n}: "
            if not isinstance(entry, dict):
                raise LineError(f"{at}must be a table")
            kinds = [k for k in entry if k in emulate.FAULTS]
            unknown = set(entry) - {"serial", "serials", "after", *emulate.FAULTS}
            if unknown or len(kinds) != 1:
                raise LineError(f"{at}give serial or serials, after, and one of "
                                f"{', '.join(emulate.FAULTS)}"
                                + (f" (unknown: {', '.join(sorted(unknown))})" if unknown
                                   else ""))
            kind = kinds[0]
            value, after = entry[kind], entry.get("after", 0)
            valid, expected_value = emulate.FAULTS[kind][:2]
            if not valid(value):
                raise LineError(f"{at}{kind} must be {expected_value}, not {value!r}")
            if type(after) is not int or after < 0:
                raise LineError(f"{at}after must be a whole number of seconds from 0")
            serials = entry.get("serials", [entry.get("serial")])
            if not isinstance(serials, list) or not serials or any(
                    s not in emulated for s in serials):
                raise LineError(f"{at}serial(s) must be among the emulated devices' "
                                f"({chosen[0] if chosen else '-'} to "
                                f"{chosen[-1] if chosen else '-'}, addresses not shared)")
            if kind == "fail-port" and "serial" not in self.tests and self.config is None:
                raise LineError(f"{at}fail-port needs the test 'serial' in [line] tests")
            if kind == "upgrade-fails" and not self.firmware:
                raise LineError(f"{at}upgrade-fails needs a firmware file in [line]")
            for serial in serials:
                emulated[serial].append((kind, value, after))
        self.emulated = emulated
        self.emulated_entries = list(entries)
        return self


def load(path):
    """The line description in the file path, checked."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as exc:
        raise LineError(f"{path}: cannot read the line description: {exc.strerror}") from exc
    except tomllib.TOMLDecodeError as exc:
        raise LineError(f"{path}: not a TOML file: {exc}") from exc
    return parse(data, str(path))


def parse(data, path="<line>"):
    def fail(text):
        raise LineError(f"{path}: {text}")

    def read_config(value, where):
        if not isinstance(value, str) or not value:
            fail(f"{where}: config must be the path of a cfg_ovikburn file")
        file = Path(path).parent / value
        try:
            return file.read_text()
        except (OSError, UnicodeDecodeError) as exc:
            fail(f"{where}: cannot read the configuration {file}: "
                 f"{getattr(exc, 'strerror', None) or exc}")

    line = data.get("line")
    if not isinstance(line, dict):
        fail("no [line] table (duration, tests, optional name, firmware, config)")
    unknown = set(data) - {"line", "device", "emulated"} or (
        set(line) - {"name", "duration", "tests", "firmware", "config", "emulate",
                     *plant.FAULTS})
    if unknown:
        fail(f"unknown key(s) {', '.join(sorted(unknown))}")
    name = line.get("name", Path(path).stem)
    if not isinstance(name, str) or not NAME.fullmatch(name):
        fail(f"[line] name must be 1 to 32 letters, digits, '.', '_' or '-', not {name!r}")
    duration = line.get("duration")
    if type(duration) is not int or not 5 <= duration <= 86400:
        fail("[line] duration must be a whole number of seconds from 5 to 86400")
    tests = line.get("tests", [])
    if not isinstance(tests, list) or any(t not in TESTS for t in tests):
        fail(f"[line] tests must be a list of: {', '.join(TESTS)}")
    firmware = line.get("firmware", "")
    if not isinstance(firmware, str) or len(firmware.encode()) > 63 or "/" in firmware:
        fail("[line] firmware must be a file name of at most 63 bytes, without '/'")
    line_config = read_config(line["config"], "[line]") if "config" in line else None
    entries = data.get("device", [])
    if not isinstance(entries, list) or not (entries or line.get("emulate")):
        fail("no [[device]] entries (and no emulated devices)")
    devices, by_serial, by_address = [], {}, {}
    for n, entry in enumerate(entries, 1):
        where = f"device {n}"
        given = entry.get("serial") if isinstance(entry, dict) else None
        if type(given) is int and 1 <= given <= MAX_SERIAL:
            serial, text = given, f"TB{given:04d}"
        elif (isinstance(given, str) and given.isprintable() and "=" not in given
              and 1 <= serial_from_text(given) <= MAX_SERIAL):
            serial, text = serial_from_text(given), given
        else:
            fail(f"{where}: serial must be a number from 1 to {MAX_SERIAL}, or the boot "
                 "loader's serialnumber text whose last four characters are digits")
        where = f"device {n} (serial {serial})"
        if serial in by_serial:
            fail(f"{where}: serial {serial} is used twice (also by device {by_serial[serial]})")
        address = eth0_address(serial)
        if address in by_address:
            other, other_serial = by_address[address]
            fail(f"{where}: its eth0 address {address} is also device {other}'s (serial "
                 f"{other_serial}): the agent derives the address from the serial number "
                 "(third octet (serial / 254 + 1) mod 256, fourth serial mod 253); give one "
                 "of them another serial")
        by_serial[serial] = n
        by_address[address] = (n, serial)
        unknown = set(entry) - {"serial", "faults", "config"}
        if unknown:
            fail(f"{where}: unknown key(s) {', '.join(sorted(unknown))}")
        faults = entry.get("faults", {})
        if not isinstance(faults, dict):
            fail(f"{where}: faults must be a table, e.g. faults = {{ serial-drops = 1 }}")
        for fault, value in faults.items():
            if fault not in FAULTS:
                fail(f"{where}: unknown fault {fault!r}; known: {', '.join(FAULTS)}")
            needs, valid, expected_value, _ = FAULTS[fault]
            if not valid(value):
                fail(f"{where}: fault {fault} must be {expected_value}, not {value!r}")
            if needs and needs not in tests:
                fail(f"{where}: fault {fault} needs the test {needs!r} in [line] tests")
            if fault == "upgrade-fails" and not firmware:
                fail(f"{where}: fault upgrade-fails needs a firmware file in [line]")
            if fault == "modem-silent" and duration < SILENT_MODEM_DURATION:
                fail(f"{where}: a silent modem's call takes about 38 s: make [line] duration "
                     f"{SILENT_MODEM_DURATION} s or more")
            if fault == "agent-restart" and value >= duration:
                fail(f"{where}: fault agent-restart must come before the stop: make it 1 to "
                     f"{duration - 1} s, or [line] duration longer than {value} s")
        config = read_config(entry["config"], where) if "config" in entry else None
        devices.append(Device(serial, dict(faults), text, config))
    for fault in plant.FAULTS:
        if fault in line and plant.complaint(fault, line[fault], duration):
            fail(plant.complaint(fault, line[fault], duration))
    emulated = data.get("emulated", [])
    if not isinstance(emulated, list):
        fail("[[emulated]] entries must be tables")
    description = Description(path, duration, list(tests), firmware, devices, name,
                              line_config,
                              plant={k: v for k, v in line.items() if k in plant.FAULTS})
    return description.with_emulated(line.get("emulate", 0), emulated)


def missing(description):
    """Why this machine cannot build the line, or None (emulated devices need no drivers)."""
    if "outage" in description.plant:
        reason = missing_frame_loss()
        if reason:
            return f"the line has an outage, which drops frames as a lossy cable does and {reason}"
    if not description.devices:
        return None
    if "can" in description.tests:
        reason = can.missing()
        if reason:
            return f"the line tests CAN, which {reason}"
    if "dio" in description.tests:
        reason = dio.missing()
        if reason:
            return f"the line tests digital I/O, which {reason}"
    if any("cable-loss" in device.faults for device in description.devices):
        reason = missing_frame_loss()
        if reason:
            return f"a device's cable loses frames, which {reason}"
    return None



def configuration(description):
    """The device configuration (INI) that enables the line's tests."""
    extra = ""
    if description.firmware:
        extra += "DownloadFWR = y\n"
    if "ethernet" in description.tests:
        # Raw-frame loop-back on every port, without a peer device.
        extra += "AloneBurn = y\n[ethernet]\nTestLAN2 = y\nTestLAN3 = y\nTestLAN4 = y\n"
    if "serial" in description.tests:
        extra += (f"[uart]\nTestSerial = y\nMODEMDEVICE = {SERIAL_PREFIX}\n"
                  f"portnum = {SERIAL_PORTS}\n")
    if "can" in description.tests:
        extra += "[can]\nTestCAN = y\n"
    if "cellular" in description.tests:
        extra += f"[cellular]\nTestCELL = y\nCELLDEVICE = {MODEM_PORT}\nINTERVAL = 0\n"
    if "gps" in description.tests:
        extra += f"[gps]\nTestGPS = y\nGPSDEVICE = {GPS_PORT}\n"
    if "dio" in description.tests:
        extra += "[dio]\nTestDIO = y\n"
    return burnin.config(extra=extra)


def expected(description):
    """What the station must report for each serial number: verdict, failing item names,
    failing serial ports and the download's result."""
    outcome = {}
    for device in description.devices:
        faults = device.faults
        items = set()
        if "ethernet-no-loopback" in faults:
            items.add(ETHERNET_PORTS[faults["ethernet-no-loopback"]])
        if "can-wrong-id" in faults:
            items.add("CAN")
        if "modem-silent" in faults:
            items.add("Cellular")
        if "di-stuck-high" in faults:
            items.add("DIO")
        ports = {faults["serial-drops"]} if "serial-drops" in faults else set()
        # A device that rebooted is idle again when the station looks: its run failed.
        burn_passed = not items and not ports and "agent-restart" not in faults
        if not description.firmware:
            download = "not requested"
        elif not burn_passed:
            download = "skipped"
        else:
            download = "failed" if "upgrade-fails" in faults else "done"
        if "cable-loss" in faults and burn_passed:
            outcome[device.serial] = {"verdict": LOSSY_VERDICTS, "items": [], "ports": [],
                                      "download": ANY}
            continue
        # The verdict is the burn-in's; a failed download shows in its own column.
        outcome[device.serial] = {"verdict": "passed" if burn_passed else "failed", "items": sorted(items),
                                  "ports": sorted(ports), "download": download}
    for serial, faults in description.emulated.items():
        due = [(kind, value) for kind, value, after in faults if after < description.duration]
        items = {value for kind, value in due if kind == "fail-item"}
        ports = {value for kind, value in due if kind == "fail-port"}
        if any(kind == "silent" for kind, _ in due):
            outcome[serial] = {"verdict": SILENT_VERDICTS, "items": [], "ports": [],
                               "download": ANY}
            continue
        burn_passed = not items and not ports and not any(kind == "reboot" for kind, _ in due)
        if not description.firmware:
            download = "not requested"
        elif not burn_passed:
            download = "skipped"
        else:
            download = ("failed" if any(kind == "upgrade-fails" for kind, _ in due)
                        else "done")
        outcome[serial] = {"verdict": "passed" if burn_passed else "failed",
                           "items": sorted(items), "ports": sorted(ports), "download": download}
    return outcome


def observed(report_entries):
    """The station's JSON report in the shape of expected()."""
    outcome = {}
    for entry in report_entries:
        record = entry.get("record") or {}
        items = sorted(i["name"] for i in record.get("items", []) if i["fail"] > 0)
        ports = sorted(int(name.split()[1]) for name, count in record.get("portfail", {}).items()
                       if count > 0)
        outcome[entry["serial"]] = {"verdict": entry["verdict"], "items": items,
                                    "ports": ports, "download": entry["download"]}
    return outcome


class Line:
    """The devices of a description on a Network, each with its agent running; stop() with the
    network (the stand-ins and plugs are threads and processes of this process)."""

    def __init__(self, net, description):
        self.net = net
        self.description = description
        self.duts = {}
        self.plant_active = False  # the line's own faults act in a station run only
        self._stoppable = []
        made = description.config or configuration(description)
        for device in description.devices:
            dut = net.add_dut(bootenv={"serialnumber": device.serialnumber, "mm_flags": "0"},
                              config=device.config or made)
            self.duts[device.serial] = dut
            fixtures, dio_name = self._cable(dut, device.faults)
            if description.firmware:
                lines = (FAILING_UPGRADE_OUTPUT if "upgrade-fails" in device.faults
                         else UPGRADE_OUTPUT)
                dut.script_upgrade([text.format(name=description.firmware) for text in lines],
                                   delay=0.3)
            dut.start("-e", dio=dio_name, fixtures=fixtures)
        self._restarts = Restarts({self.duts[device.serial]: device.faults["agent-restart"]
                                   for device in description.devices
                                   if "agent-restart" in device.faults})
        self.emulation = None
        if description.emulated:
            program = emulate.program()
            if not program or not os.access(program, os.X_OK):
                raise RuntimeError(f"no ovikline-emulator program ({program or 'none found'}): "
                                   "build it, install the ovikline package, or name it with "
                                   "OVIK_EMULATOR")
            self.emulation = emulate.Emulation(net, description.emulated, made, program)

    def _cable(self, dut, faults):
        tests = self.description.tests
        fixtures, dio_name = [], None
        if "serial" in tests:
            passed = ({faults["serial-drops"]: SHORT_PLUG} if "serial-drops" in faults
                      else None)
            fixtures.append(serialplug.loopbacks(SERIAL_PREFIX, SERIAL_PORTS, passed=passed))
        if "ethernet" in tests:
            for ifname in ETHERNET_PORTS:
                dead = faults.get("ethernet-no-loopback") == ifname
                ethernet.add_port(self.net, dut, ifname,
                                  plug=ethernet.SILENT if dead else ethernet.LOOP)
        if "can" in tests:
            far = can.add_bus(self.net, dut, "can0")
            answer = can.WRONG_ID if faults.get("can-wrong-id") else can.ANSWER
            self._stoppable.append(can.Responder(self.net, far, [answer]))
        if "cellular" in tests:
            fixtures.append(peripherals.modem(
                MODEM_PORT, "silent" if faults.get("modem-silent") else "sierra"))
        if "gps" in tests:
            fixtures.append(peripherals.receiver(GPS_PORT, "text"))
        if "dio" in tests:
            holds = (("--high", str(faults["di-stuck-high"])) if "di-stuck-high" in faults
                     else ())
            standin = dio.Standin(dio.program(), dut, holds)
            self._stoppable.append(standin)
            dio_name = standin.name
        if "cable-loss" in faults:
            lose_frames(dut, faults["cable-loss"])
        return fixtures, dio_name

    def wait_announced(self, timeout):
        """The devices whose agent has not announced itself within timeout; the emulation
        among them when its devices did not come up."""
        silent = [dut for dut in self.duts.values()
                  if not dut.wait_console("<<Send ALIVE", timeout)]
        if self.emulation is not None and not self.emulation.wait_ready(
                max(timeout, emulate.READY_TIMEOUT)):
            silent.append(self.emulation)
        return silent

    def station_args(self, discover, reports):
        """`ovikstation run` for this line; reports maps json/csv/junit/db to file paths."""
        args = ["run", "--discover", discover, "--duration", self.description.duration]
        if self.description.firmware:
            args += ["--firmware", self.description.firmware]
        for kind, path in reports.items():
            args += [f"--{kind}", path]
        return [str(a) for a in args]

    def station_timeout(self, discover):
        # A silent modem's call runs on past the stop; the station does not wait for it, but
        # a download waits for the agents' end of run.
        stall = self.description.plant.get("records-stall", {}).get("seconds", 0)
        return discover + self.description.duration + burnin.STATION_OVERHEAD + 60 + stall

    def stop(self):
        self._restarts.stop()  # first: no reboot while the devices stop
        for dut in self.duts.values():
            dut.stop()
        if self.emulation is not None:
            self.emulation.stop()
        for thing in self._stoppable:
            thing.stop()


def matches(want, got):
    """Whether the station's outcome got for a device is the expected one, want."""
    if want is None or got is None:
        return want == got
    if isinstance(want["verdict"], tuple):
        if got["verdict"] not in want["verdict"]:
            return False
        if got["verdict"] != "passed":
            return True  # what a device that was not heard to the end counted is unknown
        return (got["items"], got["ports"]) == (want["items"], want["ports"])
    return want == got


def compare(description, reports, records_after=0):
    """(expected, observed, differences) for a station run of this line: reports maps json, and
    optionally csv, junit and db (an SQLite file), to the run's files; the run's records are
    those of station runs after the number records_after."""
    want = expected(description)
    try:
        entries = json.loads(Path(reports["json"]).read_text())
        got = observed(entries)
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return want, {}, [f"{reports['json']}: not a whole JSON report: {exc!r}"]
    differences = []
    for serial in sorted(set(want) | set(got)):
        if not matches(want.get(serial), got.get(serial)):
            differences.append(f"serial {serial}: expected {want.get(serial)}, "
                               f"station reported {got.get(serial)}")
    verdicts = sorted(((e["serial"], e["verdict"]) for e in entries), key=str)
    for kind, read in (("csv", _csv_verdicts), ("junit", _junit_serials),
                       ("db", lambda path: _recorded(path, records_after))):
        if kind not in reports:
            continue
        try:
            found = sorted(read(reports[kind]), key=str)
        except (OSError, ValueError, KeyError, TypeError, sqlite3.Error,
                ElementTree.ParseError) as exc:
            differences.append(f"{reports[kind]}: not whole or unreadable: {exc!r}")
            continue
        wanted = [serial for serial, _ in verdicts] if kind == "junit" else verdicts
        if found != wanted:
            differences.append(f"{reports[kind]}: holds {_shown(found)}; the JSON report "
                               f"{_shown(wanted)} (one entry per device)")
    return want, got, differences


def _shown(pairs, most=8):
    return ", ".join(map(str, pairs[:most])) + (f" ... ({len(pairs)} in all)"
                                                if len(pairs) > most else "")


def _csv_verdicts(path):
    rows = csv.DictReader(Path(path).read_text().splitlines())
    return [(int(row["serial"]), row["verdict"]) for row in rows]


def _junit_serials(path):
    suites = ElementTree.parse(path).getroot().findall("testsuite")
    return [int(suite.get("name").split("@")[0]) for suite in suites]


def last_station_run(db):
    """The number of the last station run in the SQLite records db (0: none, or no file)."""
    if not Path(db).exists():
        return 0
    with contextlib.closing(sqlite3.connect(f"file:{db}?mode=ro", uri=True)) as connection:
        try:
            return connection.execute("SELECT MAX(id) FROM station_runs").fetchone()[0] or 0
        except sqlite3.OperationalError:
            return 0  # a file without the station's tables yet


def _recorded(db, after):
    with contextlib.closing(sqlite3.connect(f"file:{db}?mode=ro", uri=True,
                                            timeout=plant.LOCK_TIMEOUT)) as connection:
        return connection.execute("SELECT serial, verdict FROM device_runs WHERE station_run > ?",
                                  (after,)).fetchall()
