"""Faults of a simulated device that are not in what it is cabled to for its tests: a lossy
eth0 cable and a reboot in the middle of the run.

    faults.lose_frames(dut, 30)          # eth0 drops 30 % of the frames, in each direction
    faults.missing_frame_loss()          # why this machine cannot do that, or None
    restarts = faults.Restarts({dut: 12})  # reboots dut 12 s into its run; stop() with the line

The lossy cable is a pair of nftables netdev chains on the device's end of the cable, one on
the ingress hook (frames to the device) and one on the egress hook (frames from it), each
dropping frames at random. Both this machine's kernel and the virtual test machine's have
those hooks and the random number expression; neither needs netem.
"""

import functools
import os
import shutil
import threading
import time
import uuid

from . import netns

RUN_STARTED = ">>Receive command (0x4) "  # the agent's console line for a start command
WATCH_INTERVAL = 0.1

LOSSY_CABLE = """table netdev cable {{
  chain to_device {{
    type filter hook ingress device "{ifname}" priority 0; numgen random mod 100 < {percent} drop
  }}
  chain from_device {{
    type filter hook egress device "{ifname}" priority 0; numgen random mod 100 < {percent} drop
  }}
}}"""


def _lose(namespace, ifname, percent):
    return netns.run(["ip", "netns", "exec", namespace, "nft",
                      LOSSY_CABLE.format(ifname=ifname, percent=percent)], check=False)


def lose_frames(dut, percent, ifname="eth0"):
    """The device's cable on ifname loses percent of the frames in each direction, from now on
    (a reboot of the device keeps it)."""
    done = _lose(dut.netns, ifname, percent)
    if done.returncode != 0:
        raise netns.NamespaceError(f"{dut.name}: nft: {done.stderr.strip()}")


@functools.cache
def missing_frame_loss():
    """Why a cable cannot lose frames here, or None: tried on a veth in a scratch namespace."""
    if shutil.which("nft") is None:
        return "nft is not installed (Debian nftables)"
    probe = f"{netns.NAME_PREFIX}{os.getpid()}-probe-{uuid.uuid4().hex[:6]}"
    netns.add(probe)
    try:
        netns.run(["ip", "-n", probe, "link", "add", "p0", "type", "veth", "peer", "name", "p1"])
        done = _lose(probe, "p0", 1)
        if done.returncode != 0:
            return ("this kernel cannot drop frames at random on an interface: "
                    f"{done.stderr.strip()}")
    finally:
        netns.delete(probe)
    return None


class Restarts:
    """Reboots each device (Dut.reboot) its number of seconds after its run started (the start
    command reached its agent), in a thread of its own that lives until stop(): the agents it
    starts again die with that thread (their parent-death signal follows the thread that
    started them)."""

    def __init__(self, seconds_by_dut):
        self._seconds = dict(seconds_by_dut)
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="restarts", daemon=True)
        self._thread.start()

    def _run(self):
        pending, due = dict(self._seconds), {}
        while pending and not self._stopping.wait(WATCH_INTERVAL):
            now = time.monotonic()
            for dut, seconds in list(pending.items()):
                if dut not in due and RUN_STARTED in dut.console():
                    due[dut] = now + seconds
                if dut in due and now >= due[dut]:
                    dut.reboot()
                    del pending[dut]
        self._stopping.wait()

    def stop(self):
        self._stopping.set()
        self._thread.join()
