"""Radios of simulated devices, in the virtual test machine: its mac80211_hwsim radios, one
moved into a device's namespace as wlan0, and an open access point of our own.

    radio.take(net, dut.netns)                        # a free radio, as wlan0, up
    ap = radio.AccessPoint(net, "factoryap", "172.16.0.1")

A radio is moved from the machine's initial namespace by its index (`iw phy#N set netns name
NS`); it comes back when its namespace is deleted, so each test finds the radios that earlier
ones used free again (under another interface name, perhaps). All the radios share one medium.
"""

import os
import re
import shutil
import subprocess

from . import burnin, netns

TOOLS = ("iw", "hostapd")  # the tools a device with a radio runs for real
RADIO_TIMEOUT = 20.0 * burnin.SLOW  # radios of a namespace just deleted come back late
AP_READY_TIMEOUT = 20.0 * burnin.SLOW
AP_SUFFIX = "ap"


def missing(count):
    """Why count radios cannot be had here, or None."""
    if os.environ.get("OVIK_VM") != "1":
        return ("needs mac80211_hwsim radios: runs in the virtual test machine "
                "(ovikline vm)")
    for tool in TOOLS:
        if shutil.which(tool) is None:
            return f"the tool {tool} is missing (Debian packages iw, hostapd)"
    if not os.path.isdir("/sys/module/mac80211_hwsim"):
        return "the kernel module mac80211_hwsim is not loaded"
    if not netns.wait_for(lambda: len(free_radios()) >= count, RADIO_TIMEOUT):
        return f"fewer than {count} free radios: {free_radios()}"
    return None


def free_radios():
    """(index, interface) of each radio in the machine's own namespace, by `iw dev`."""
    radios, index = [], None
    for line in netns.run(["iw", "dev"]).stdout.splitlines():
        m = re.match(r"phy#(\d+)$", line.strip())
        if m:
            index = int(m.group(1))
            continue
        m = re.match(r"Interface (\S+)$", line.strip())
        if m and index is not None:
            radios.append((index, m.group(1)))
            index = None
    return radios


def take(ns, name="wlan0"):
    """Moves a free radio into namespace ns, its interface named name and up; returns the
    radio's index."""
    found = netns.wait_for(free_radios, RADIO_TIMEOUT)
    if not found:
        raise RuntimeError(f"no free radio within {RADIO_TIMEOUT} s")
    index, interface = found[0]
    # An access point of an earlier test that was killed leaves its radio in that mode.
    netns.run(["ip", "link", "set", interface, "down"])
    netns.run(["iw", "dev", interface, "set", "type", "managed"])
    netns.run(["iw", f"phy#{index}", "set", "netns", "name", ns])
    netns.run(["ip", "-n", ns, "link", "set", interface, "name", name])
    netns.run(["ip", "-n", ns, "link", "set", name, "up"])
    return index


def link(ns, name="wlan0"):
    """What `iw dev NAME link` says in namespace ns."""
    return netns.run(["ip", "netns", "exec", ns, "iw", "dev", name, "link"]).stdout


class AccessPoint:
    """An open access point (hostapd, nl80211) in a namespace of its own, its address on its
    wlan0 with a /16 network."""

    def __init__(self, net, ssid, address, channel=1, suffix=AP_SUFFIX):
        self.ns = net.namespace(suffix)
        self.ssid = ssid
        take(self.ns)
        netns.run(["ip", "-n", self.ns, "addr", "add", f"{address}/16", "dev", "wlan0"])
        self.conf = net.dir / f"{suffix}-hostapd.conf"
        self.conf.write_text(f"interface=wlan0\ndriver=nl80211\nssid={ssid}\nhw_mode=g\n"
                             f"channel={channel}\n")
        self.log = net.dir / f"{suffix}-hostapd.log"
        with open(self.log, "wb") as out:
            self.process = subprocess.Popen(
                ["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", self.ns,
                 "hostapd", str(self.conf)],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True)
        net.track(self.process.pid)
        if not netns.wait_for(lambda: "AP-ENABLED" in self.log_text()
                              or self.process.poll() is not None, AP_READY_TIMEOUT) \
                or "AP-ENABLED" not in self.log_text():
            self.stop()
            raise RuntimeError(f"hostapd did not enable the access point:\n{self.log_text()}")

    def log_text(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def stations(self):
        """The addresses of the associated stations."""
        out = netns.run(["ip", "netns", "exec", self.ns, "iw", "dev", "wlan0", "station",
                         "dump"]).stdout
        return re.findall(r"^Station (\S+)", out, re.M)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
