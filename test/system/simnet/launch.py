"""Starts a program inside a simulated device.

Run as: ip netns exec NS unshare -m --propagation private python3 launch.py
            --dut DIR --host-netns ID --host-mntns ID -- PROGRAM ARG...

Refuses to go on unless it really is in a network and mount namespace of its own; then gives
the device a /dev of its own (the usual character devices, its own pty instance, and its shm/
directory as /dev/shm, but none of this machine's hardware such as its clock), lays the
device's stand-ins over /usr/bin and /usr/sbin (read-only overlays, the real directories
below), and replaces itself with the program, in the device's work/ directory and with a plain
PATH.
"""

import argparse
import os
import stat
import subprocess
import sys

REFUSED = 97
REAL_SBIN = "/dev/.host-sbin"  # the real /usr/sbin, for devices that have real drivers
DEV_NODES = (("null", 1, 3), ("zero", 1, 5), ("full", 1, 7), ("random", 1, 8),
             ("urandom", 1, 9), ("tty", 5, 0))
DEV_LINKS = (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
             ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2"),
             ("ptmx", "pts/ptmx"))


def refuse(message):
    print(f"launch: {message}", file=sys.stderr)
    sys.exit(REFUSED)


def mount(*args):
    # No stdin redirection: /dev/null may not exist yet while /dev is being built.
    done = subprocess.run(["/usr/bin/mount", *args], capture_output=True, text=True, timeout=10)
    if done.returncode != 0:
        refuse(f"mount {' '.join(args)}: {done.stderr.strip()}")


def pass_device(host_path, name):
    """Makes one of the machine's device nodes visible in the private /dev under name."""
    target = f"/dev/{name}"
    open(target, "w").close()
    # -c: the source is a path through a descriptor of the old /dev, which must not be
    # resolved by name (the name now means the new /dev).
    mount("-c", "--bind", host_path, target)


def private_dev(shm):
    mount("-t", "tmpfs", "-o", "mode=755,size=1m", "tmpfs", "/dev")
    for name, major, minor in DEV_NODES:
        path = f"/dev/{name}"
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(major, minor))
        os.chmod(path, 0o666)
    for name, target in DEV_LINKS:
        os.symlink(target, f"/dev/{name}")
    os.mkdir("/dev/pts")
    mount("-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=620", "devpts", "/dev/pts")
    os.mkdir("/dev/shm")
    mount("--bind", shm, "/dev/shm")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dut", required=True)
    parser.add_argument("--host-netns", required=True)
    parser.add_argument("--host-mntns", required=True)
    # Real drivers exist only in the virtual test machine: there the device may use its clock
    # and a digital I/O stand-in; on a development machine its own clock is never exposed.
    parser.add_argument("--rtc", action="store_true")
    parser.add_argument("--dio")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    program = opts.program[1:] if opts.program[:1] == ["--"] else opts.program
    if not program:
        refuse("no program given")

    if os.readlink("/proc/self/ns/net") == opts.host_netns:
        refuse("still in the harness's network namespace")
    if os.readlink("/proc/self/ns/mnt") == opts.host_mntns:
        refuse("still in the harness's mount namespace")

    # Nothing mounted from here on may reach the harness's mount namespace.
    mount("--make-rprivate", "/")
    dut = os.path.abspath(opts.dut)
    shm = os.path.join(dut, "shm")
    in_vm = os.environ.get("OVIK_VM") == "1"
    if (opts.rtc or opts.dio) and not in_vm:
        refuse("--rtc and --dio are for the virtual test machine only")
    # Held open before /dev is replaced, so the machine's nodes stay reachable.
    host_dev = os.open("/dev", os.O_RDONLY | os.O_DIRECTORY)
    private_dev(shm)
    if opts.rtc:
        pass_device(f"/proc/{os.getpid()}/fd/{host_dev}/rtc0", "rtc0")
        # The clock stand-in records its call, then hands over to the real hwclock kept here.
        os.mkdir(REAL_SBIN)
        mount("--bind", "/usr/sbin", REAL_SBIN)
    if opts.dio:
        pass_device(f"/proc/{os.getpid()}/fd/{host_dev}/{opts.dio}", "dio")
    os.close(host_dev)
    for sub in ("bin", "sbin"):
        lower = f"{dut}/stubs/{sub}:/usr/{sub}"
        mount("-t", "overlay", "overlay", "-o", f"ro,lowerdir={lower}", f"/usr/{sub}")

    mine, seen = os.stat(shm), os.stat("/dev/shm")
    if (mine.st_dev, mine.st_ino) != (seen.st_dev, seen.st_ino):
        refuse("/dev/shm is not the device's own directory")

    work = os.path.join(dut, "work")
    os.chdir(work)
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": work, "LANG": "C"}
    # Sanitizer settings of the test run reach sanitizer builds of the program.
    env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
    try:
        os.execve(program[0], program, env)
    except OSError as exc:
        refuse(f"cannot start {program[0]}: {exc}")


if __name__ == "__main__":
    main()
