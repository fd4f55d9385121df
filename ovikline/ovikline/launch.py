"""Starts a program inside a simulated device.

Run as: ip netns exec NS unshare -m --propagation private python3 launch.py
            --dut DIR --host-netns ID --host-mntns ID -- PROGRAM ARG...

Refuses to go on unless it really is in a network and mount namespace of its own; then gives
the device a /dev of its own (the usual character devices, its own pty instance, its shm/
directory as /dev/shm and, with --clock, a hardware clock of its own as /dev/rtc0, but none of
this machine's hardware such as its clock), an empty /media of its own, lays the device's
stand-ins over /usr/bin and /usr/sbin (read-only overlays, the real directories below), starts
the device's fixtures (--fixture: plugs on its serial ports, media mounted before the agent
starts) and replaces itself with the program, in the device's work/ directory and with a plain
PATH (--path TEXT gives it another, --no-path none, as an init system may start it). The
machine's /usr/local/bin and /usr/local/sbin are hidden behind empty directories: a device
image has nothing there, and a program that searches them first must not find this machine's
tools.

A fixture is an argument vector (JSON) run inside the device's namespaces, sharing its /dev.
It says "ready" on its standard output, as its first line, once the agent may start; after
that it writes to its log only (fixture-N.log in the device's directory). It dies with the
agent (parent-death signal) and is in the agent's process group. SIMNET_HOST_MNTNS names the
harness's mount namespace, in which a fixture refuses to change anything.

--clock PROGRAM starts rtc-clock (ovikline/rtc) over /dev/rtc0 before the fixtures, as the first
of them (fixture-clock.log); the clock's time stays in the device's rtc-state across starts.

--sys-file PATH=FILE shows the device FILE at PATH under /sys/class (over an empty tmpfs that
hides the machine's entries of that class); --real-tool NAME (virtual test machine only) lets
the stand-in NAME hand over to the machine's real tool after recording its call.
"""

import argparse
import json
import os
import select
import stat
import subprocess
import sys
import time

REFUSED = 97
REAL_SBIN = "/dev/.host-sbin"  # the real /usr/sbin, for devices that have real drivers
REAL_TOOLS = "real-tools"  # in the device's directory: the stand-ins that hand over (--real-tool)
DEVICE_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
LOCAL_DIRS = ("/usr/local/bin", "/usr/local/sbin")
DEV_NODES = (("null", 1, 3), ("zero", 1, 5), ("full", 1, 7), ("random", 1, 8),
             ("urandom", 1, 9), ("tty", 5, 0))
DEV_LINKS = (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
             ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2"),
             ("ptmx", "pts/ptmx"))
FIXTURE_READY = "ready"
HOST_MNTNS_VARIABLE = "SIMNET_HOST_MNTNS"
CLOCK_STATE = "rtc-state"  # in the device's directory: the clock's battery
# Fixtures are Python programs: under emulation (the virtual test machine) they start slowly.
FIXTURE_READY_TIMEOUT = 60.0


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


def private_media():
    """Media the agent mounts (under /media/NAME) stay in the device, never on the machine."""
    if os.path.isdir("/media"):
        mount("-t", "tmpfs", "-o", "mode=755,size=1m", "tmpfs", "/media")


def device_option(text):
    """HOST_NODE:NAME, as given to --device."""
    host, sep, name = text.partition(":")
    if not sep or not host or not name or "/" in name or "/" in host or name.startswith("."):
        raise argparse.ArgumentTypeError(f"not HOST_NODE:NAME (both names under /dev): {text!r}")
    return host, name


def fixture_option(text):
    try:
        argv = json.loads(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"not a JSON argument vector: {exc}") from exc
    if not isinstance(argv, list) or not argv or not all(isinstance(a, str) for a in argv):
        raise argparse.ArgumentTypeError(f"not a JSON argument vector: {text!r}")
    return argv


def tool_option(text):
    if not text or "/" in text or text.startswith("."):
        raise argparse.ArgumentTypeError(f"not a tool name: {text!r}")
    return text


def sys_file_option(text):
    """PATH=FILE, as given to --sys-file: PATH under /sys/class/CLASS/, FILE absolute."""
    path, sep, source = text.partition("=")
    parts = path.split("/")
    if (not sep or not os.path.isabs(source) or len(parts) < 5 or parts[:3] != ["", "sys", "class"]
            or any(p in ("", ".", "..") for p in parts[3:])):
        raise argparse.ArgumentTypeError(f"not /sys/class/CLASS/...=FILE: {text!r}")
    return path, source


def private_sys_files(files):
    """Files the device reads under /sys/class (a module's PCI configuration space, say): each
    class named gets an empty tmpfs over the machine's, so the device sees none of the
    machine's entries there, and each file is a bind mount of a file of the device's own, which
    the test may rewrite while the agent runs."""
    covered = set()
    for path, source in files:
        top = "/".join(path.split("/")[:4])
        if top not in covered:
            if not os.path.isdir(top):
                refuse(f"{top} does not exist here")
            mount("-t", "tmpfs", "-o", "mode=755,size=1m", "tmpfs", top)
            covered.add(top)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "a").close()
        mount("--bind", source, path)


def start_clock(program, dut, env, fuse_node):
    """The device's own hardware clock over /dev/rtc0. It needs /dev/fuse only to mount: the
    node is gone again before anything else of the device starts."""
    os.mknod("/dev/fuse", 0o600 | stat.S_IFCHR, fuse_node)
    try:
        start_fixture("clock", [program, "--state", os.path.join(dut, CLOCK_STATE), "/dev/rtc0"],
                      dut, env)
    finally:
        os.unlink("/dev/fuse")


def start_fixture(index, argv, dut, env):
    """Starts one fixture and waits for its ready line; refuses when it does not come."""
    log_path = os.path.join(dut, f"fixture-{index}.log")
    with open(log_path, "ab") as log:
        try:
            fixture = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", *argv],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=log, cwd=dut, env=env)
        except OSError as exc:
            refuse(f"cannot start fixture {argv}: {exc}")
    deadline = time.monotonic() + FIXTURE_READY_TIMEOUT
    line = b""
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        readable, _, _ = select.select([fixture.stdout], [], [], deadline - time.monotonic())
        if not readable:
            break
        chunk = os.read(fixture.stdout.fileno(), 256)
        if not chunk:
            break
        line += chunk
    fixture.stdout.close()
    if line.decode(errors="replace").strip() != FIXTURE_READY:
        fixture.kill()
        fixture.wait(timeout=10)
        refuse(f"fixture {argv} not ready (exit status {fixture.returncode}, said {line!r}); "
               f"see {log_path}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dut", required=True)
    parser.add_argument("--host-netns", required=True)
    parser.add_argument("--host-mntns", required=True)
    # Real drivers exist only in the virtual test machine: there the device may use its clock
    # and a digital I/O stand-in; on a development machine its own clock is never exposed.
    parser.add_argument("--rtc", action="store_true")
    # rtc-clock: a hardware clock of the device's own, on either machine.
    parser.add_argument("--clock")
    parser.add_argument("--dio")
    # HOST_NODE:NAME: the machine's /dev/HOST_NODE (a loop device, say) as the device's /dev/NAME.
    parser.add_argument("--device", action="append", type=device_option, default=[])
    parser.add_argument("--fixture", action="append", type=fixture_option, default=[])
    # Stand-ins that record their call and then hand over to the machine's real tool (iw,
    # hostapd: the radios of the virtual test machine).
    parser.add_argument("--real-tool", action="append", type=tool_option, default=[])
    parser.add_argument("--sys-file", action="append", type=sys_file_option, default=[])
    # The program's PATH: another text (empty, say), or none at all.
    path = parser.add_mutually_exclusive_group()
    path.add_argument("--path", default=DEVICE_PATH)
    path.add_argument("--no-path", action="store_true")
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
    if (opts.rtc or opts.dio or opts.device) and not in_vm:
        refuse("--rtc, --dio and --device are for the virtual test machine only")
    if opts.real_tool and not in_vm:
        refuse("--real-tool is for the virtual test machine only")
    if opts.rtc and opts.clock:
        refuse("--rtc and --clock: a device has one clock")
    # Held open before /dev is replaced, so the machine's nodes stay reachable.
    host_dev = os.open("/dev", os.O_RDONLY | os.O_DIRECTORY)
    if opts.clock:
        try:
            fuse_node = os.stat("fuse", dir_fd=host_dev).st_rdev
        except FileNotFoundError:
            refuse("--clock needs FUSE, and this machine has no /dev/fuse")
    private_dev(shm)
    if opts.rtc:
        pass_device(f"/proc/{os.getpid()}/fd/{host_dev}/rtc0", "rtc0")
        # The clock stand-in records its call, then hands over to the real hwclock kept here.
        os.mkdir(REAL_SBIN)
        mount("--bind", "/usr/sbin", REAL_SBIN)
    if opts.dio:
        pass_device(f"/proc/{os.getpid()}/fd/{host_dev}/{opts.dio}", "dio")
    for host, name in opts.device:
        pass_device(f"/proc/{os.getpid()}/fd/{host_dev}/{host}", name)
    os.close(host_dev)
    if opts.real_tool:
        if not os.path.isdir(REAL_SBIN):
            os.mkdir(REAL_SBIN)
            mount("--bind", "/usr/sbin", REAL_SBIN)
        with open(os.path.join(dut, REAL_TOOLS), "w") as f:
            f.write("".join(f"{name}\n" for name in opts.real_tool))
    private_sys_files(opts.sys_file)
    private_media()
    for local in LOCAL_DIRS:
        if os.path.isdir(local):
            mount("-t", "tmpfs", "-o", "ro,mode=755,size=4k", "tmpfs", local)
    for sub in ("bin", "sbin"):
        lower = f"{dut}/stubs/{sub}:/usr/{sub}"
        mount("-t", "overlay", "overlay", "-o", f"ro,lowerdir={lower}", f"/usr/{sub}")

    mine, seen = os.stat(shm), os.stat("/dev/shm")
    if (mine.st_dev, mine.st_ino) != (seen.st_dev, seen.st_ino):
        refuse("/dev/shm is not the device's own directory")

    work = os.path.join(dut, "work")
    env = {"PATH": DEVICE_PATH, "HOME": work, "LANG": "C"}
    # The harness's mount namespace, which fixtures refuse to work in.
    fixture_env = {**env, HOST_MNTNS_VARIABLE: opts.host_mntns}
    if opts.clock:
        start_clock(opts.clock, dut, fixture_env, fuse_node)
    for index, argv in enumerate(opts.fixture, 1):
        start_fixture(index, argv, dut, fixture_env)
    os.chdir(work)
    if opts.no_path:
        del env["PATH"]
    else:
        env["PATH"] = opts.path
    # Sanitizer settings of the test run reach sanitizer builds of the program.
    env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
    try:
        os.execve(program[0], program, env)
    except OSError as exc:
        refuse(f"cannot start {program[0]}: {exc}")


if __name__ == "__main__":
    main()
