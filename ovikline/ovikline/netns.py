"""Network namespaces: creation through `ip`, sockets opened inside them, and checks of what
this machine offers. Every name made here starts with NAME_PREFIX and the owning process id,
so parallel runs never collide and leftovers of a killed run can be recognised."""

import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
import uuid

NAME_PREFIX = "ovk"
CLONE_NEWNET = 0x40000000
NETNS_DIR = "/run/netns"
COMMAND_TIMEOUT = 20

_libc = ctypes.CDLL(None, use_errno=True)


class NamespaceError(RuntimeError):
    pass


def run(argv, timeout=COMMAND_TIMEOUT, check=True):
    """Runs a short helper command to its end; bounded; raises NamespaceError on failure."""
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        raise NamespaceError(f"{' '.join(argv)}: no end after {timeout} s") from exc
    if check and done.returncode != 0:
        raise NamespaceError(f"{' '.join(argv)}: exit status {done.returncode}: "
                             f"{done.stderr.strip()}")
    return done


def run_batch(namespace, commands, timeout=COMMAND_TIMEOUT):
    """Runs `ip` commands, one a line, in the named namespace through one `ip -batch`."""
    argv = ["ip", "-n", namespace, "-batch", "-"]
    try:
        done = subprocess.run(argv, input=commands, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        raise NamespaceError(f"{' '.join(argv)}: no end after {timeout} s") from exc
    if done.returncode != 0:
        raise NamespaceError(f"{' '.join(argv)}: exit status {done.returncode}: "
                             f"{done.stderr.strip()}")


def own_netns_id():
    return os.readlink("/proc/self/ns/net")


def missing_facilities():
    """Why namespaces cannot be used here, or None when they can."""
    if os.geteuid() != 0:
        return "network and mount namespaces need root"
    for tool in ("ip", "unshare", "setpriv", "mount"):
        if shutil.which(tool) is None:
            return f"the tool {tool} is missing"
    with open("/proc/filesystems") as f:
        if "overlay" not in f.read():
            return "the kernel has no overlay file system"
    probe = f"{NAME_PREFIX}{os.getpid()}-probe-{uuid.uuid4().hex[:6]}"
    done = run(["ip", "netns", "add", probe], check=False)
    if done.returncode != 0:
        return f"cannot create a network namespace: {done.stderr.strip()}"
    try:
        done = run(["ip", "-n", probe, "link", "add", "p0", "type", "veth", "peer", "name", "p1"],
                   check=False)
        if done.returncode != 0:
            return f"cannot create a veth pair: {done.stderr.strip()}"
        done = run(["ip", "-n", probe, "link", "add", "b0", "type", "bridge"], check=False)
        if done.returncode != 0:
            return f"cannot create a bridge: {done.stderr.strip()}"
    finally:
        run(["ip", "netns", "del", probe], check=False)
    return None


def add(name):
    run(["ip", "netns", "add", name])
    run(["ip", "-n", name, "link", "set", "lo", "up"])


def delete(name):
    """Ends the processes still inside the namespace (ours by construction), then removes it."""
    if not os.path.exists(os.path.join(NETNS_DIR, name)):
        return
    done = run(["ip", "netns", "pids", name], check=False)
    for pid in done.stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    run(["ip", "netns", "del", name], check=False)


def pid_alive(pid):
    """Whether the process exists and has not ended (a zombie counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, IndexError):
        return False
    return state != "Z"


def remove_stale():
    """Removes namespaces left by runs of this harness whose process no longer exists."""
    if not os.path.isdir(NETNS_DIR):
        return
    pattern = re.compile(rf"^{NAME_PREFIX}(\d+)-")
    for name in os.listdir(NETNS_DIR):
        m = pattern.match(name)
        if m and not pid_alive(int(m.group(1))):
            delete(name)


def socket_in(netns, kind=socket.SOCK_DGRAM, family=socket.AF_INET, proto=0):
    """A socket (IPv4 unless family says otherwise) that lives in the named network namespace.

    A helper thread enters the namespace and opens the socket there; the socket keeps its
    namespace for life while this process's own threads stay where they are."""
    result = {}

    def body():
        try:
            fd = os.open(os.path.join(NETNS_DIR, netns), os.O_RDONLY | os.O_CLOEXEC)
        except OSError as exc:
            result["error"] = exc
            return
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                result["error"] = OSError(err, f"setns {netns}: {os.strerror(err)}")
                return
            result["socket"] = socket.socket(family, kind, proto)
        except OSError as exc:
            result["error"] = exc
        finally:
            os.close(fd)

    worker = threading.Thread(target=body, name=f"setns-{netns}")
    worker.start()
    worker.join(timeout=5)
    if "error" in result:
        raise result["error"]
    if "socket" not in result:
        raise NamespaceError(f"no socket in {netns}")
    return result["socket"]


def wait_for(predicate, timeout, interval=0.05):
    """Polls predicate until it returns a true value or timeout seconds pass; returns the last
    value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class SocketResponder:
    """A thread of the test that answers whatever arrives at sock, until stop() or until the
    network closes the socket. Subclasses set their own state first, then call this
    constructor, and implement answer(data, address); an OSError there ends the thread."""

    def __init__(self, sock, name):
        self.sock = sock
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def answer(self, data, address):
        raise NotImplementedError

    def _run(self):
        self.sock.settimeout(0.2)
        while not self._stop.is_set():
            try:
                data, address = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return  # the network is being closed
            try:
                self.answer(data, address)
            except OSError:
                return

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=5)
