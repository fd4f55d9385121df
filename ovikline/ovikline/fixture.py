"""What every fixture program that launch.py starts inside a device does."""

import os
import sys


def refuse_outside_device(name):
    """Stops the program unless it runs in a device's mount namespace (launch.py sets
    SIMNET_HOST_MNTNS to the harness's one), so it never changes this machine's /dev."""
    harness = os.environ.get("SIMNET_HOST_MNTNS")
    if not harness or os.readlink("/proc/self/ns/mnt") == harness:
        sys.exit(f"{name}: runs as a device's fixture only (launch.py --fixture)")


def announce_ready():
    """Says "ready" to the launcher, which then stops listening: nothing more may go to
    standard output."""
    print("ready", flush=True)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
