"""Storage media for simulated devices, in the virtual test machine: a vfat image on a loop
device that a device sees under the name its configuration uses, and the fixture that mounts a
medium inside a device before its agent starts (the system's own mount, as at boot).

    medium = VfatMedium(net.dir / "usb.img")          # mkfs.vfat, losetup; files= puts
    dut.start("-e", devices={"sdb1": medium.node},
              fixtures=[premount("/dev/sdb1", "/media/sdb1", read_only=True)])
    ...
    medium.files()                                    # {name: bytes}, read in a namespace of
    medium.detach()                                   # its own

Run as a program (inside a device, or in a mount namespace of its own):

    media.py mount [--read-only] DEVICE DIR    mounts the vfat medium, says "ready", ends
    media.py list DEVICE DIR                   mounts it, prints its files as JSON, ends
    media.py put DEVICE DIR                    mounts it, writes the files given as JSON, ends
"""

import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

COMMAND_TIMEOUT = 30
IMAGE_KIB = 2048


def missing():
    """Why vfat media on loop devices cannot be used here, or None."""
    if os.environ.get("OVIK_VM") != "1":
        return ("needs vfat on a loop device and a device's own mounts: runs in the virtual "
                "test machine (ovikline vm)")
    for tool in ("mkfs.vfat", "losetup", "mount"):
        if shutil.which(tool) is None:
            return f"the tool {tool} is missing (dosfstools, util-linux)"
    with open("/proc/filesystems") as f:
        if "\tvfat\n" not in f.read():
            return "the kernel has no vfat file system"
    if not os.path.exists("/dev/loop-control"):
        return "the kernel has no loop devices"
    return None


def _run(argv, given=None):
    done = subprocess.run(argv, input=given, stdin=None if given else subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=COMMAND_TIMEOUT)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: exit status {done.returncode}: "
                           f"{done.stdout}{done.stderr}")
    return done.stdout


def _program():
    return ["/usr/bin/python3", "-IBS", str(Path(__file__).resolve())]


def premount(device, mount_point, read_only=False):
    """The fixture that mounts device (the device's own /dev/NAME) on mount_point (under its
    /media) before the agent starts."""
    return [*_program(), "mount", *(["--read-only"] if read_only else []), device, mount_point]


class VfatMedium:
    """A fresh vfat image on a loop device of this (virtual) machine."""

    def __init__(self, image, files=None):
        """files: {name: bytes} prepared on the medium, as a factory prepares its test file."""
        self.image = Path(image)
        _run(["mkfs.vfat", "-C", str(self.image), str(IMAGE_KIB)])
        self.device = _run(["losetup", "--find", "--show", str(self.image)]).strip()
        self.node = os.path.basename(self.device)  # as Dut.start(devices=...) takes it
        if files:
            self._alone("put", json.dumps({name: base64.b64encode(data).decode()
                                           for name, data in files.items()}))

    def files(self):
        """The files on the medium, read through a mount in a namespace of its own."""
        out = self._alone("list")
        return {name: base64.b64decode(data) for name, data in json.loads(out).items()}

    def _alone(self, action, given=None):
        mount_point = self.image.with_suffix(".check")
        mount_point.mkdir(exist_ok=True)
        return _run(["env", f"SIMNET_HOST_MNTNS={os.readlink('/proc/self/ns/mnt')}",
                     "unshare", "-m", "--propagation", "private", *_program(), action,
                     self.device, str(mount_point)], given)

    def detach(self):
        # A loop device still mounted somewhere goes once the last mount is gone.
        subprocess.run(["losetup", "--detach", self.device], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=COMMAND_TIMEOUT)


def _mount(device, mount_point, read_only):
    os.makedirs(mount_point, exist_ok=True)
    _run(["mount", "-t", "vfat", *(["-o", "ro"] if read_only else []), device, mount_point])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("mount", "list", "put"))
    parser.add_argument("--read-only", action="store_true")
    parser.add_argument("device")
    parser.add_argument("mount_point")
    opts = parser.parse_args()
    # Mounts only in a namespace other than the harness's (set by launch.py, or files()).
    harness = os.environ.get("SIMNET_HOST_MNTNS")
    if not harness or os.readlink("/proc/self/ns/mnt") == harness:
        sys.exit("media: mounts only inside a device or a mount namespace of its own")
    if opts.action == "mount":
        # Inside a device: its /media is its own.
        if not opts.mount_point.startswith("/media/") or not opts.device.startswith("/dev/"):
            sys.exit(f"media: mounts a /dev/NAME on /media/NAME only: {opts.device} "
                     f"{opts.mount_point}")
        _mount(opts.device, opts.mount_point, opts.read_only)
        print(f"{opts.device} on {opts.mount_point}", file=sys.stderr)
        print("ready", flush=True)
        return
    _mount(opts.device, opts.mount_point, read_only=False)
    if opts.action == "put":
        for name, data in json.load(sys.stdin).items():
            (Path(opts.mount_point) / name).write_bytes(base64.b64decode(data))
        return
    files = {}
    for entry in sorted(Path(opts.mount_point).iterdir()):
        if entry.is_file():
            files[entry.name] = base64.b64encode(entry.read_bytes()).decode()
    print(json.dumps(files))


if __name__ == "__main__":
    main()
