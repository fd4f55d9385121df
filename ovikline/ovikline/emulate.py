"""Emulated devices: the host links of many devices served by one `ovikline-emulator` process,
for rehearsing a station at the scale of a burn-in room. The emulator is built from the agent's
own record, configuration, test plan, command handler and link code; each device has its own
clock and a download that advances with time, and its tests pass unless a scripted fault says
otherwise. The devices live in one namespace, NAME-emu, whose eth0 is cabled to the line's
bridge and carries every device's address.
"""

import json
import os
import signal

from . import netns
from .network import PC_ADDRESS, _Process, _read, built_program, eth0_address

EMULATOR = ("OVIK_EMULATOR", "ovikline/ovikline-emulator")
READY_TIMEOUT = 30.0
EMULATOR_PORT = "emu"
# Faults of emulated devices, one kind per [[emulated]] entry: (check of the value, what the
# value must be, the emulator's word for it, the text `up` and `run` show).
FAULTS = {
    "fail-item": (lambda v: isinstance(v, str) and 0 < len(v) < 12 and v.isprintable(),
                  "a test item's name such as \"LAN2\"", "item:{}:{after}",
                  "item {} fails from {after} s into its run"),
    "fail-port": (lambda v: type(v) is int and 0 <= v < 64, "a serial port number 0 to 63",
                  "port:{}:{after}", "serial port {} fails from {after} s into its run"),
    "silent": (lambda v: v is True, "true", "silent:{after}",
               "it falls silent {after} s into its run"),
    "reboot": (lambda v: v is True, "true", "reboot:{after}",
               "it reboots {after} s into its run"),
    "upgrade-fails": (lambda v: v is True, "true", "upgrade-fails", "its download fails"),
}


def serials(count, taken_addresses):
    """count serial numbers from 1 up whose eth0 addresses are none of taken_addresses nor
    each other's."""
    chosen, used = [], set(taken_addresses)
    serial = 0
    while len(chosen) < count:
        serial += 1
        address = eth0_address(serial)
        if address not in used:
            used.add(address)
            chosen.append(serial)
    return chosen


def fault_text(kind, value, after):
    return FAULTS[kind][3].format(value, after=after)


def program():
    return built_program(*EMULATOR)


class Emulation:
    """The emulated devices of a line on a Network: serials_faults maps each serial number to
    its faults, a list of (kind, value, after); config is the devices' configuration (INI
    text), None for none (identity fields 0, as an agent started with -s and -i)."""

    def __init__(self, net, serials_faults, config, emulator):
        self.net = net
        self.count = len(serials_faults)
        self.name = "emulator"
        self.address = f"{self.count} emulated devices"
        self.netns = net.namespace("emu")
        self.dir = net.dir / "emulated"
        self.dir.mkdir()
        pc = ["ip", "-n", net.pc_netns]
        netns.run([*pc, "link", "add", EMULATOR_PORT, "type", "veth", "peer", "name", "eth0",
                   "netns", self.netns])
        netns.run([*pc, "link", "set", EMULATOR_PORT, "master", "br0", "up"])
        addresses = [eth0_address(s) for s in serials_faults]
        netns.run_batch(self.netns, "".join(f"address add {a}/16 dev eth0\n" for a in addresses)
                        + "link set eth0 up\n")
        # The bridge keeps the address it has now (it would take a later port's lower one). Set
        # before the neighbour entries below: a change of a device's address flushes its
        # neighbour table, permanent entries too.
        bridge = json.loads(netns.run([*pc, "-j", "link", "show", "br0"]).stdout)[0]["address"]
        netns.run([*pc, "link", "set", "br0", "address", bridge])
        # The neighbour table's limits (gc_thresh3: 1024 by default) are the whole machine's,
        # not a namespace's: the test PC learns the devices' addresses from permanent entries,
        # which those limits do not count, instead of resolving each one.
        mac = json.loads(netns.run(["ip", "-n", self.netns, "-j", "link", "show", "eth0"])
                         .stdout)[0]["address"]
        netns.run_batch(net.pc_netns, "".join(
            f"neigh replace {a} lladdr {mac} dev br0 nud permanent\n" for a in addresses))
        # And the devices the PC's, so that a PC cut off for a while (plant.Outage) costs them
        # no failed resolution that would drop their frames after it.
        netns.run(["ip", "-n", self.netns, "neigh", "replace", PC_ADDRESS, "lladdr", bridge,
                   "dev", "eth0", "nud", "permanent"])
        devices = self.dir / "devices"
        devices.write_text("".join(
            " ".join([str(serial), *(FAULTS[kind][2].format(value, after=after)
                                     for kind, value, after in faults)]) + "\n"
            for serial, faults in serials_faults.items()))
        self.argv = [os.path.abspath(emulator), str(devices)]
        if config is not None:
            (self.dir / "cfg_ovikburn").write_text(config)
            self.argv[1:1] = ["--config", str(self.dir / "cfg_ovikburn")]
        self.process = _Process(["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec",
                                 self.netns, *self.argv],
                                self.dir / "emulator.out", self.dir / "emulator.err")
        net.track(self.process.pid)
        net.emulations.append(self)

    def wait_ready(self, timeout=READY_TIMEOUT):
        """Whether every device announces itself within timeout seconds."""
        return bool(netns.wait_for(
            lambda: "ready " in self.output() or self.process.poll() is not None, timeout)
            and self.process.poll() is None)

    def output(self):
        return _read(self.dir / "emulator.out")

    def console(self):
        return self.output()

    def stderr(self):
        return _read(self.dir / "emulator.err")

    def running(self):
        return self.process.poll() is None

    def stop(self):
        self.process.stop(first=signal.SIGTERM)

    def dump(self):
        state = "running" if self.running() else f"exit status {self.process.poll()}"
        return (f"=== {self.count} emulated devices (namespace {self.netns}): "
                f"{' '.join(self.argv)} ({state})\n"
                f"--- emulator stderr:\n{_read(self.dir / 'emulator.err')}\n")
