#!/usr/bin/env python3
"""ovik-vm: runs one command inside a QEMU machine with Debian's own kernel, so that lines and
tests can use kernel drivers this machine's kernel lacks (RTC, CAN, mac80211_hwsim, vfat, CUSE).

The guest sees this machine's root file system read-only over virtio-9p, with overlays or
tmpfs where it must write (changes stay in guest memory), and the working directory (or
--share) writable at the same path, so build trees and tool paths stay valid. The command runs
as root with a filtered environment; its output comes back through files on a private 9p share,
its exit status becomes ours (124: the guest ran out of time, 125: it could not run).

  ovikline vm prepare [--refresh]     fetch and unpack the kernel, build the initramfs (cached)
  ovikline vm run [options] -- COMMAND ARGS...
  ovikline vm status                  what is cached, whether a run can start

The kernel cache lives outside the work tree: $OVIK_VM_CACHE, else /var/cache/ovikburn-vm.
"""

import argparse
import fcntl
import io
import lzma
import os
import shlex
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

CACHE_DEFAULT = "/var/cache/ovikburn-vm"
KERNEL_PACKAGE = "linux-image-amd64"
QEMU = "qemu-system-x86_64"
BUSYBOX = "/bin/busybox"
DEBUG_EXIT_PORT = 0xF4

# Loaded from the initramfs at boot, each after what it needs: the shared file systems, then
# the drivers the tests use. Anything else the kernel asks for later (a dummy link, a tc action,
# tun, ...) comes on demand from the guest kernel's module tree through the host's modprobe.
BOOT_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay",
                "vcan", "vxcan", "can-raw", "can-bcm", "mac80211_hwsim", "vfat", "nls_ascii",
                "nls_cp437", "cuse", "veth", "bridge", "loop"]
MODULE_PARAMETERS = {"mac80211_hwsim": "radios=4"}

# Places the guest writes to: where the host's files should stay visible (programs built in
# /tmp, root's home), an overlay whose changes stay in guest memory ...
GUEST_OVERLAYS = ["/tmp", "/var/tmp", "/etc", "/root", "/var/log"]
# ... elsewhere a fresh, empty tmpfs.
GUEST_TMPFS = {"/media": 0o755, "/mnt": 0o755}
# Variables handed to the command as they are set here; everything else starts clean.
ENV_NAMES = {"PATH", "LANG", "LANGUAGE", "TZ", "TERM", "CI"}
ENV_PREFIXES = ("OVIK_", "LC_", "PYTHON", "PYTEST_", "ASAN_", "UBSAN_", "TSAN_", "LSAN_",
                "GTEST_", "CTEST_")
# Host directories that may never be shared writable with the guest.
PROTECTED = ["/bin", "/boot", "/dev", "/etc", "/lib", "/lib32", "/lib64", "/libx32", "/media",
             "/proc", "/sbin", "/sys", "/usr", "/var/cache", "/var/lib", "/run"]

EXIT_VM_FAILED = 125
EXIT_TIMEOUT = 124

INIT_SCRIPT = r"""#!/bin/sh
# First stage inside the guest: mount the host root and the run's control share, then hand
# over to the job script that ovik-vm wrote for this run.
export PATH=/bin
fail() {
    echo "ovik-vm init: $*"
    poweroff -f
    sleep 10
}
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module parameters; do
    insmod "/lib/modules/$module.ko" $parameters || fail "cannot load $module"
done </etc/boot-modules
opts=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o "$opts,ro,cache=loose" hostroot /newroot || fail "cannot mount the host root"
mount -t tmpfs -o mode=0755,size=25% tmpfs /newroot/run || fail "cannot mount /run"
mkdir -p /newroot/run/ovik-vm
mount -t 9p -o "$opts" ovikctl /newroot/run/ovik-vm || fail "cannot mount the control share"
. /newroot/run/ovik-vm/job.sh
fail "job script returned"
"""

# The kernel's own module requests (a bridge, a tc action, ...) run in the initramfs root; they
# are answered by the host's modprobe reading the guest kernel's module tree.
MODPROBE_HELPER = """#!/bin/sh
exec /bin/chroot /newroot /sbin/modprobe "$@"
"""
INITRAMFS_SOURCES = INIT_SCRIPT + MODPROBE_HELPER + repr((BOOT_MODULES, MODULE_PARAMETERS))


def log(message):
    print(f"ovik-vm: {message}", file=sys.stderr, flush=True)


class VmError(RuntimeError):
    pass


def run_checked(argv, **kwargs):
    """Runs a helper program to its end; raises VmError naming the command on failure."""
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          **kwargs)
    if done.returncode != 0:
        raise VmError(f"{shlex.join(argv)}: exit status {done.returncode}: "
                      f"{done.stderr.strip()}")
    return done.stdout


# ---------------------------------------------------------------------------------------------
# Kernel cache


class Cache:
    """The kernel cache: one folder per kernel release, and `current` naming the one in use.

    RELEASE/vmlinuz, RELEASE/vmlinux (when it could be extracted), the module tree under
    RELEASE (lib/modules/..., unpacked from the package into its "root" folder)
    (with modules.dep), RELEASE/initramfs.cpio, RELEASE/complete once all of them are there.
    """

    def __init__(self, root=None):
        self.root = Path(root or os.environ.get("OVIK_VM_CACHE") or CACHE_DEFAULT)

    def current(self):
        """The prepared release folder, or None."""
        link = self.root / "current"
        try:
            release = os.readlink(link)
        except OSError:
            return None
        folder = self.root / release
        return folder if (folder / "complete").is_file() else None

    def lock(self):
        self.root.mkdir(parents=True, exist_ok=True)
        f = open(self.root / "lock", "w")
        fcntl.flock(f, fcntl.LOCK_EX)
        return f


def resolve_kernel_package():
    """The versioned image package that linux-image-amd64 currently stands for."""
    out = run_checked(["apt-cache", "depends", KERNEL_PACKAGE])
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Depends:") and "linux-image-" in line:
            return line.split(":", 1)[1].strip()
    raise VmError(f"apt-cache knows no {KERNEL_PACKAGE} (run apt-get update first)")


def extract_vmlinux(bzimage, target):
    """Writes the uncompressed kernel from a bzImage; it boots in about half the time since
    the guest skips decompressing itself under emulation. False when the payload's compression
    is one Python cannot undo."""
    data = Path(bzimage).read_bytes()
    if data[0x202:0x206] != b"HdrS":
        return False
    setup_sects = data[0x1F1] or 4
    start = (setup_sects + 1) * 512
    offset, length = struct.unpack_from("<II", data, 0x248)
    payload = data[start + offset:start + offset + length]
    if payload.startswith(b"\xfd7zXZ\x00"):
        decompressor = lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
    elif payload.startswith(b"\x1f\x8b"):
        decompressor = zlib.decompressobj(16 + zlib.MAX_WBITS)
    else:
        return False
    kernel = decompressor.decompress(payload)
    if not kernel.startswith(b"\x7fELF"):
        return False
    tmp = Path(f"{target}.tmp")
    tmp.write_bytes(kernel)
    tmp.rename(target)
    return True


class Cpio:
    """A newc cpio archive built in memory, so device nodes need no mknod on the host."""

    def __init__(self):
        self.out = io.BytesIO()
        self.ino = 1

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_bytes = name.encode() + b"\0"
        header = ("070701" + "%08X" * 13) % (
            self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
            len(name_bytes), 0)
        self.ino += 1
        self.out.write(header.encode() + name_bytes)
        self.out.write(b"\0" * (-self.out.tell() % 4))
        self.out.write(data)
        self.out.write(b"\0" * (-self.out.tell() % 4))

    def directory(self, name):
        self._entry(name, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o644):
        self._entry(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, name, major, minor):
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        self.out.write(b"\0" * (-self.out.tell() % 512))
        return self.out.getvalue()


def module_load_order(modules_dir, names):
    """Paths (relative to modules_dir) of the named modules and what they need, each after
    its dependencies, read from modules.dep."""
    deps = {}
    by_name = {}
    for line in (modules_dir / "modules.dep").read_text().splitlines():
        path, _, needs = line.partition(":")
        deps[path] = needs.split()
        by_name[Path(path).name.removesuffix(".ko").replace("-", "_")] = path
    order = []

    def visit(path):
        if path in order:
            return
        for need in reversed(deps[path]):
            visit(need)
        order.append(path)

    for name in names:
        path = by_name.get(name.replace("-", "_"))
        if path is None:
            raise VmError(f"kernel module {name} not found in {modules_dir}")
        visit(path)
    return order


def build_initramfs(release_dir, release):
    modules_dir = release_dir / "root/lib/modules" / release
    cpio = Cpio()
    for d in ("bin", "dev", "etc", "lib", "lib/modules", "newroot", "proc", "sys"):
        cpio.directory(d)
    cpio.chardev("dev/console", 5, 1)
    cpio.file("bin/busybox", Path(BUSYBOX).read_bytes(), 0o755)
    applets = run_checked([BUSYBOX, "--list"]).split()
    for applet in applets:
        if applet != "busybox":
            cpio.symlink(f"bin/{applet}", "busybox")
    names = []
    for path in module_load_order(modules_dir, BOOT_MODULES):
        name = Path(path).name.removesuffix(".ko")
        cpio.file(f"lib/modules/{name}.ko", (modules_dir / path).read_bytes())
        names.append(f"{name} {MODULE_PARAMETERS.get(name, '')}".rstrip())
    cpio.file("etc/boot-modules", ("\n".join(names) + "\n").encode())
    cpio.file("init", INIT_SCRIPT.encode(), 0o755)
    cpio.file("bin/ovik-vm-modprobe", MODPROBE_HELPER.encode(), 0o755)
    target = release_dir / "initramfs.cpio"
    tmp = Path(f"{target}.tmp")
    tmp.write_bytes(cpio.finish())
    tmp.rename(target)


def initramfs_current(release_dir):
    sources = release_dir / "init"
    return sources.is_file() and sources.read_text() == INITRAMFS_SOURCES


def refresh_initramfs(release_dir):
    """Rebuilds the initramfs when this program's part of it has changed since it was built."""
    if not initramfs_current(release_dir):
        build_initramfs(release_dir, release_dir.name)
        (release_dir / "init").write_text(INITRAMFS_SOURCES)
        log(f"rebuilt the initramfs of {release_dir.name}")


def prepare(cache, refresh=False):
    """Makes the cache ready; each step is skipped when its result is already there."""
    with cache.lock():
        current = cache.current()
        if current is not None and not refresh:
            refresh_initramfs(current)
            return current
        package = resolve_kernel_package()
        release = package[len("linux-image-"):]
        release_dir = cache.root / release
        release_dir.mkdir(parents=True, exist_ok=True)
        debs = sorted(release_dir.glob(f"{package}_*.deb"))
        if not debs:
            log(f"downloading {package}")
            run_checked(["apt-get", "download", "-o", "APT::Sandbox::User=root", package],
                        cwd=release_dir)
            debs = sorted(release_dir.glob(f"{package}_*.deb"))
        deb = debs[-1]
        root = release_dir / "root"
        modules_dir = root / "lib/modules" / release
        if not (modules_dir / "modules.dep").is_file():
            log(f"unpacking {deb.name}")
            shutil.rmtree(root, ignore_errors=True)
            unpack = release_dir / "root.tmp"
            shutil.rmtree(unpack, ignore_errors=True)
            run_checked(["dpkg-deb", "-x", str(deb), str(unpack)])
            run_checked(["depmod", "-b", str(unpack), release])
            unpack.rename(root)
        vmlinuz = release_dir / "vmlinuz"
        if not vmlinuz.is_file():
            shutil.copyfile(root / "boot" / f"vmlinuz-{release}", vmlinuz)
        vmlinux = release_dir / "vmlinux"
        if not vmlinux.is_file() and not extract_vmlinux(vmlinuz, vmlinux):
            log("the kernel payload cannot be extracted here; booting the compressed image")
        build_initramfs(release_dir, release)
        (release_dir / "init").write_text(INITRAMFS_SOURCES)
        (release_dir / "complete").write_text(deb.name + "\n")
        link = cache.root / "current.tmp"
        if link.is_symlink():
            link.unlink()
        link.symlink_to(release)
        link.rename(cache.root / "current")
        return release_dir


# ---------------------------------------------------------------------------------------------
# Running a command


def missing_for_run(cache):
    """Why a run cannot start here, or None."""
    if os.geteuid() != 0:
        return "ovik-vm runs as root (the guest works as root on the shared folders)"
    if shutil.which(QEMU) is None:
        return f"{QEMU} is missing (Debian package qemu-system-x86)"
    if shutil.which("timeout") is None:
        return "timeout (coreutils) is missing"
    if cache.current() is None:
        return f"no kernel prepared in {cache.root} (run: ovik-vm prepare)"
    return None


def protected(path):
    if path == Path("/"):
        return True
    return any(path == Path(p) or Path(p) in path.parents for p in PROTECTED)


def guest_environment(extra):
    env = {k: v for k, v in os.environ.items()
           if k in ENV_NAMES or k.startswith(ENV_PREFIXES)}
    env.setdefault("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")
    env["HOME"] = "/root"
    env["USER"] = env["LOGNAME"] = "root"
    env["OVIK_VM"] = "1"
    for item in extra:
        name, sep, value = item.partition("=")
        if sep:
            env[name] = value
        elif name in os.environ:
            env[name] = os.environ[name]
    return env


JOB_PRELUDE = r"""# Written by ovik-vm for one run; sourced by the guest's init.
R=/newroot
C=/newroot/run/ovik-vm
L=/newroot/run/ovik-vm-layers
layers=0
tmpfs_on() {  # PATH MODE: a fresh, empty tmpfs
    mkdir -p "$R$1" && mount -t tmpfs -o "mode=$2" tmpfs "$R$1" || fail "cannot mount tmpfs on $1"
}
overlay_on() {  # PATH: the host's files stay visible, changes stay in guest memory
    layers=$((layers + 1))
    mkdir -p "$L/$layers/upper" "$L/$layers/work" &&
        chmod "$(stat -c %a "$R$1")" "$L/$layers/upper" &&
        chown "$(stat -c %u:%g "$R$1")" "$L/$layers/upper" &&
        mount -t overlay overlay \
            -o "lowerdir=$R$1,upperdir=$L/$layers/upper,workdir=$L/$layers/work" "$R$1" ||
        fail "cannot lay an overlay on $1"
}
share_on() {  # TAG PATH: a host folder, writable
    mkdir -p "$R$2" &&
        mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=mmap "$1" "$R$2" ||
        fail "cannot mount the shared folder $2"
}
mount -t proc proc $R/proc && mount -t sysfs sysfs $R/sys &&
    mount -t devtmpfs devtmpfs $R/dev || fail "cannot mount /proc, /sys, /dev"
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts $R/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $R/dev/shm
ln -sf /proc/self/fd $R/dev/fd
ln -sf /proc/self/fd/0 $R/dev/stdin
ln -sf /proc/self/fd/1 $R/dev/stdout
ln -sf /proc/self/fd/2 $R/dev/stderr
mount -t cgroup2 cgroup2 $R/sys/fs/cgroup 2>/dev/null
mount -t debugfs debugfs $R/sys/kernel/debug 2>/dev/null
mkdir -p $L && mount -t tmpfs -o mode=0700,size=75% tmpfs $L || fail "cannot mount $L"
"""

JOB_EPILOGUE = r"""echo $? >$C/status.tmp && mv $C/status.tmp $C/status
# Whatever the command left running is stopped before the shared folders go away.
if kill -TERM -1 2>/dev/null; then
    sleep 0.2
    kill -KILL -1 2>/dev/null
fi
sync
printf '\001' | dd of=/dev/port bs=1 seek=%d count=1 2>/dev/null
poweroff -f
""" % DEBUG_EXIT_PORT


def job_script(command, cwd, env, shares, overlays, tmpfs, modules_dir):
    """The second stage, run by the guest's init: mounts, the command, its exit status, and
    the way out."""
    q = shlex.quote
    lines = [JOB_PRELUDE]
    for path, mode in tmpfs.items():
        lines.append(f"tmpfs_on {q(path)} {mode:04o}")
    for path in overlays:
        lines.append(f"overlay_on {q(path)}")
    for i, path in enumerate(shares):
        lines.append(f"share_on share{i} {q(path)}")
    if not os.path.isdir("/lib/modules"):
        # A host without kernel modules has no mount point for the guest's.
        lines.append("overlay_on /usr/lib && mkdir -p $R/usr/lib/modules")
    # The guest's modprobe is the host's, reading the guest kernel's module tree; the kernel's
    # own requests go through the initramfs' helper to it.
    lines.append(f"mount --bind $R{q(modules_dir)} $R/lib/modules || "
                 "fail 'cannot bind the module tree'")
    lines.append("echo /bin/ovik-vm-modprobe >/proc/sys/kernel/modprobe")
    lines.append("ip link set lo up")
    lines.append("hostname ovik-vm")
    lines.append("touch $C/started")
    lines.append("echo 'ovik-vm: the command starts' >/dev/kmsg")
    argv = " ".join(q(a) for a in command)
    assignments = " ".join(q(f"{k}={v}") for k, v in sorted(env.items()))
    lines.append(f"env -i {assignments} chroot $R /bin/sh -c 'cd -- \"$1\" || exit 125; "
                 f"shift; exec \"$@\"' ovik-vm {q(cwd)} {argv} "
                 "</dev/null >$C/stdout 2>$C/stderr")
    lines.append(JOB_EPILOGUE)
    return "\n".join(lines)


class Relay:
    """Copies what the guest appends to a file on the control share to one of our streams."""

    def __init__(self, path, out):
        self.path = path
        self.out = out
        self.file = None

    def pump(self):
        if self.file is None:
            try:
                self.file = open(self.path, "rb")
            except FileNotFoundError:
                return
        data = self.file.read()
        if data:
            self.out.write(data)
            self.out.flush()

    def close(self):
        if self.file is not None:
            self.file.close()


class Milestones:
    """Says how long the guest took to reach each stage of a run (for -v)."""

    STAGES = [("started", "the command starts"), ("status", "the command has ended")]

    def __init__(self, ctl, started):
        self.ctl = ctl
        self.started = started
        self.pending = list(self.STAGES)

    def check(self):
        while self.pending:
            name, what = self.pending[0]
            path = self.ctl / name
            if not path.exists():
                return
            log(f"{what} after {time.monotonic() - self.started:.2f} s")
            self.pending.pop(0)


class Interrupted(Exception):
    pass


def _interrupt(signum, frame):
    raise Interrupted(signum)


def option_value(text):
    """Text as one value in a QEMU option list, where a comma is written twice."""
    return str(text).replace(",", ",,")


def qemu_command(release_dir, ctl, shares, memory, cpus, kernel_args):
    kernel = release_dir / "vmlinux"
    if not kernel.is_file():
        kernel = release_dir / "vmlinuz"
    append = ["console=ttyS0", "loglevel=4", "panic=-1", "rdinit=/init", "mitigations=off",
              "i8042.noaux", "i8042.nokbd", "random.trust_cpu=on", "tsc=reliable",
              *kernel_args]
    argv = [
        QEMU, "-accel", "tcg", "-M", "pc", "-cpu", "max", "-m", str(memory), "-smp", str(cpus),
        "-nodefaults", "-no-user-config", "-display", "none", "-vga", "none", "-no-reboot",
        "-monitor", "none", "-serial", f"file:{ctl}/console",
        "-device", f"isa-debug-exit,iobase={DEBUG_EXIT_PORT:#x},iosize=1",
        "-kernel", str(kernel), "-initrd", str(release_dir / "initramfs.cpio"),
        "-append", " ".join(append),
        "-virtfs", "local,path=/,mount_tag=hostroot,readonly=on,multidevs=remap,"
                   "security_model=none",
        "-virtfs", f"local,path={option_value(ctl)},mount_tag=ovikctl,security_model=none",
    ]
    for i, path in enumerate(shares):
        argv += ["-virtfs", f"local,path={option_value(path)},mount_tag=share{i},"
                            "multidevs=remap,security_model=none"]
    return argv


def run(cache, args, started_qemu=None):
    reason = missing_for_run(cache)
    if reason:
        log(reason)
        return EXIT_VM_FAILED
    release_dir = cache.current()
    release = release_dir.name
    if not initramfs_current(release_dir):
        with cache.lock():
            refresh_initramfs(release_dir)
    command = args.command
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        log("no command given")
        return 2
    shares = [Path(s).resolve() for s in (args.share or [os.getcwd()])]
    for share in shares:
        if protected(share) or not share.is_dir():
            log(f"cannot share {share} writable with the guest")
            return 2
    overlays = GUEST_OVERLAYS + [str(Path(o).resolve()) for o in args.overlay]
    tmpfs = dict(GUEST_TMPFS)
    tmpfs.update((str(Path(t)), 0o755) for t in args.tmpfs)
    env = guest_environment(args.env)
    modules_dir = release_dir / "root/lib/modules"

    ctl = Path(tempfile.mkdtemp(prefix="ovik-vm.", dir=os.environ.get("OVIK_VM_TMPDIR")))
    qemu = None
    previous = {s: signal.signal(s, _interrupt)
                for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
    started = time.monotonic()
    try:
        (ctl / "job.sh").write_text(job_script(command, os.getcwd(), env,
                                               [str(s) for s in shares], overlays, tmpfs,
                                               str(modules_dir)))
        (ctl / "console").touch()
        argv = qemu_command(release_dir, ctl, shares, args.memory, args.cpus, args.kernel_arg)
        if args.verbose:
            log(shlex.join(argv))
        # timeout is the last word should this process be killed before it can stop QEMU.
        guard = ["timeout", "-k", "5", str(int(args.timeout) + 15)]
        with open(ctl / "qemu.log", "wb") as qemu_log:
            qemu = subprocess.Popen(guard + argv, stdin=subprocess.DEVNULL, stdout=qemu_log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        if started_qemu is not None:
            started_qemu(qemu.pid)
        relays = [Relay(ctl / "stdout", sys.stdout.buffer),
                  Relay(ctl / "stderr", sys.stderr.buffer)]
        deadline = started + args.timeout
        milestones = Milestones(ctl, started) if args.verbose else None
        while qemu.poll() is None:
            if time.monotonic() > deadline:
                break
            time.sleep(0.02)
            for relay in relays:
                relay.pump()
            if milestones:
                milestones.check()
        if milestones:
            milestones.check()
            log(f"QEMU ended after {time.monotonic() - started:.2f} s")
        timed_out = qemu.poll() is None
        if timed_out:
            stop(qemu)
        for relay in relays:
            relay.pump()
            relay.close()
        elapsed = time.monotonic() - started
        status_file = ctl / "status"
        if status_file.is_file():
            status = int(status_file.read_text().strip())
            if args.verbose:
                log(f"{release}: exit status {status} after {elapsed:.2f} s in all")
            return status
        if timed_out:
            log(f"no end after {args.timeout} s; the guest was stopped")
        else:
            log(f"the guest ended without an exit status (QEMU exit status {qemu.returncode})")
        report(ctl)
        return EXIT_TIMEOUT if timed_out else EXIT_VM_FAILED
    except Interrupted as exc:
        log(f"interrupted by signal {exc.args[0]}")
        return 128 + exc.args[0]
    finally:
        if qemu is not None and qemu.poll() is None:
            stop(qemu)
        for s, handler in previous.items():
            signal.signal(s, handler)
        if args.keep:
            log(f"kept {ctl}")
        else:
            shutil.rmtree(ctl, ignore_errors=True)


def stop(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def report(ctl):
    for name in ("console", "qemu.log"):
        path = ctl / name
        if path.is_file():
            text = path.read_text(errors="replace").splitlines()[-40:]
            log(f"last lines of the guest's {name}:")
            for line in text:
                print(f"  {line}", file=sys.stderr)


def status(cache):
    current = cache.current()
    print(f"cache: {cache.root}")
    print(f"kernel: {current.name if current else 'not prepared'}")
    if current:
        kernel = "vmlinux" if (current / "vmlinux").is_file() else "vmlinuz"
        print(f"boot image: {current / kernel}")
    reason = missing_for_run(cache)
    print(f"runnable: {'yes' if reason is None else 'no: ' + reason}")
    return 0 if reason is None else 1


def main(argv=None, prog="ovik-vm", started_qemu=None):
    """started_qemu(pid), when given, learns QEMU's process (which leads its process group)."""
    parser = argparse.ArgumentParser(prog=prog, description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    p = sub.add_parser("prepare", help="fetch and unpack the kernel, build the initramfs")
    p.add_argument("--refresh", action="store_true",
                   help="look for a newer kernel package even when one is prepared")
    sub.add_parser("status", help="say what is cached and whether a run can start")
    r = sub.add_parser("run", help="run a command in the guest")
    r.add_argument("--share", action="append", metavar="HOSTDIR",
                   help="folder the guest may write, at the same path (default: the current "
                        "folder); may be repeated")
    r.add_argument("--overlay", action="append", default=[], metavar="DIR",
                   help="make DIR writable in the guest, changes kept in guest memory")
    r.add_argument("--tmpfs", action="append", default=[], metavar="DIR",
                   help="another empty tmpfs in the guest")
    r.add_argument("--env", action="append", default=[], metavar="NAME[=VALUE]",
                   help="hand this variable to the command too")
    r.add_argument("--timeout", type=float, default=600, metavar="S",
                   help="seconds from start to the guest's end (default 600)")
    r.add_argument("--memory", type=int, default=2048, metavar="M", help="MiB (default 2048)")
    r.add_argument("--cpus", type=int, default=1)
    r.add_argument("--kernel-arg", action="append", default=[], metavar="ARG")
    r.add_argument("--keep", action="store_true", help="keep the control folder (logs)")
    r.add_argument("-v", "--verbose", action="store_true", help="say what happens and when")
    r.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    cache = Cache()
    try:
        if args.action == "prepare":
            began = time.monotonic()
            release_dir = prepare(cache, args.refresh)
            log(f"{release_dir.name} ready in {cache.root} "
                f"({time.monotonic() - began:.1f} s)")
            return 0
        if args.action == "status":
            return status(cache)
        return run(cache, args, started_qemu)
    except VmError as exc:
        log(str(exc))
        return EXIT_VM_FAILED


if __name__ == "__main__":
    sys.exit(main())
