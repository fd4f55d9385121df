"""The simulated factory network: a PC namespace with a bridge, devices under test on it.

    with Network(agent=..., station=...) as net:
        dut = net.add_dut(bootenv={"serialnumber": "TB1234"}, config=burnin.config())
        dut.start("-e")
        run = net.station("run", "--agent", dut.address, "--duration", "3")

Everything it creates (namespaces, veths, the bridge, the per-run directory, the processes it
started) is removed by close(), which the context manager, an atexit hook and the parent-death
signal of every started process make sure of. Given a line's state (state.LineState), it also
records each namespace, directory and outside process there before making it, so that
`ovikline down` removes them after a holder that was killed. Nothing here touches this
machine's own network or mount namespace: devices run behind `ip netns exec` and `unshare -m`,
the launcher refuses to start anything unless both namespaces are really its own, and each
device gets a /dev of its own without this machine's hardware.
"""

import atexit
import itertools
import json
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import netns, standin

PACKAGE_PARENT = str(Path(__file__).resolve().parent.parent)
LAUNCHER = str(Path(__file__).resolve().parent / "launch.py")
PYTHON = "/usr/bin/python3"

PC_ADDRESS = "192.180.0.1"
PC_PREFIX = 16
BRIDGE = "br0"
STOP_GRACE = 2.0
DUMP_TAIL_LINES = 300
SANITIZER_REPORT = re.compile(r"(ERROR|WARNING): (Address|Thread|Leak|Memory)Sanitizer|"
                              r"runtime error:|UndefinedBehaviorSanitizer")
# One record of /dev/shm/ErrorLog.txt: a UTC time stamp, " - ", the message up to the next
# record (messages bring their own line ends, "\n" or "\r\n").
ERROR_RECORD = re.compile(r"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d) - "
                          r"(.*?(?:\n|\Z))(?=\d{4}/\d\d/\d\d \d\d:\d\d:\d\d - |\Z)", re.S)
KEPT_MARK = ".kept"  # in a per-run directory kept for inspection: never removed as stale
PLAIN_PATH = object()  # Dut.start(path=...) not given: the launcher's own PATH

_network_ids = itertools.count(1)


REPO = Path(__file__).resolve().parents[2]
BUILD_DIRS = ("sim", "release", "debug")
# Where the packages install the programs a line runs (the stand-ins beside this package).
INSTALLED = {"src/main/ovikburn": "/usr/sbin/ovikburn",
             "src/station/ovikstation": "/usr/bin/ovikstation",
             "ovikline/dio-standin": str(Path(PACKAGE_PARENT) / "dio-standin"),
             "ovikline/rtc-clock": str(Path(PACKAGE_PARENT) / "rtc-clock"),
             "ovikline/ovikline-emulator": str(Path(PACKAGE_PARENT) / "ovikline-emulator")}


def built_program(variable, relative):
    """A program of the build: $variable when set, else the first build directory of this
    source tree that has relative in it, else the installed one, else None."""
    path = os.environ.get(variable)
    if path:
        return path
    for build in BUILD_DIRS:
        candidate = REPO / "build" / build / relative
        if candidate.is_file():
            return str(candidate)
    installed = INSTALLED.get(relative)
    return installed if installed and os.path.isfile(installed) else None


def eth0_address(serial):
    """The eth0 address the agent derives from its numeric serial number."""
    t = (serial // 254 + 1) % 256
    if t in (0, 255):
        t = 1
    return f"192.180.{t}.{serial % 253}"


def serial_from_text(text):
    """The numeric serial number the agent reads from the boot-loader's serialnumber text."""
    m = re.match(r"\d*", text[:16][-4:])
    return int(m.group(0)) if m.group(0) else 0


def _tail(text, lines=DUMP_TAIL_LINES):
    parts = text.splitlines()
    if len(parts) <= lines:
        return text
    return f"[... {len(parts) - lines} earlier lines left out ...]\n" + "\n".join(parts[-lines:])


def _read(path, exact=False):
    """The file's text ("" when missing); exact keeps line ends as written ("\r\n")."""
    try:
        with open(path, errors="replace", newline="" if exact else None) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def _absolute(path):
    # Devices start their programs from their own work directory.
    return os.path.abspath(path) if path else None


def _remove_stale_dirs():
    """Per-run directories of earlier runs of this harness whose process has gone."""
    pattern = re.compile(rf"^{netns.NAME_PREFIX}(\d+)-\d+-")
    base = Path(tempfile.gettempdir())
    for entry in base.iterdir():
        m = pattern.match(entry.name)
        if (m and entry.is_dir() and not (entry / KEPT_MARK).exists()
                and not netns.pid_alive(int(m.group(1)))):
            shutil.rmtree(entry, ignore_errors=True)


class _Process:
    """A process this harness started, in a process group of its own. Started from the main
    thread: the parent-death signal that setpriv arms fires when the starting thread ends."""

    def __init__(self, argv, stdout_path, stderr_path, append=False, cwd=None):
        self.argv = argv
        self.stdout_path = stdout_path
        self.stderr_path = stderr_path
        mode = "ab" if append else "wb"
        with open(stdout_path, mode) as out, open(stderr_path, mode) as err:
            self.popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, start_new_session=True, cwd=cwd)
        self.started = time.monotonic()

    @property
    def pid(self):
        return self.popen.pid

    def poll(self):
        return self.popen.poll()

    def wait(self, timeout):
        """The exit status, or None when the process is still running after timeout seconds."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, first=signal.SIGTERM):
        """Ends the process and whatever it started that is still in its process group (with
        SIGKILL after first, when first was not enough)."""
        if self.popen.poll() is None:
            self._signal_group(first)
            if self.wait(STOP_GRACE) is None:
                self._signal_group(signal.SIGKILL)
                self.wait(STOP_GRACE)
        # A stand-in the agent left running stays in the group after the agent has gone.
        for pid in _group_members(self.popen.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _signal_group(self, sig):
        try:
            os.killpg(self.popen.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass


def _group_members(pgid):
    """Processes whose process group is pgid (ours: every started process leads its own)."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError, IndexError):
            continue
        if int(fields[2]) == pgid:
            members.append(int(entry))
    return members


class StationRun:
    """One run of the station program: its command line, exit status and output."""

    def __init__(self, process, command, timeout):
        self.process = process
        self.command = command  # the station's own argument vector
        self.timeout = timeout
        self.returncode = None
        self.timed_out = False

    @property
    def argv(self):
        return self.process.argv

    def wait(self, timeout=None):
        status = self.process.wait(self.timeout if timeout is None else timeout)
        if status is None:
            self.timed_out = True
            self.process.stop()
            status = self.process.poll()
        self.returncode = status
        return self

    @property
    def stdout(self):
        return _read(self.process.stdout_path)

    @property
    def stderr(self):
        return _read(self.process.stderr_path)

    def dump(self):
        state = "timed out" if self.timed_out else f"exit status {self.returncode}"
        return (f"--- station: {shlex.join(self.command)} ({state})\n"
                f"--- station stdout:\n{_tail(self.stdout)}\n"
                f"--- station stderr:\n{_tail(self.stderr)}\n")


class Dut:
    """One simulated device: its namespace, directory, stand-ins and agent process."""

    def __init__(self, network, index):
        self.network = network
        self.index = index
        self.name = f"dut{index}"
        self.netns = f"{network.prefix}-d{index}"
        self.dir = network.dir / self.name
        self.shm = self.dir / "shm"
        self.work = self.dir / "work"
        self.stubs = self.dir / "stubs"
        self.bootenv_path = self.dir / standin.BOOTENV
        self.command_log = self.dir / standin.COMMAND_LOG
        self.console_path = self.dir / "console.out"
        self.stderr_path = self.dir / "console.err"
        self.process = None
        self.agent_argv = []
        self.address = None
        for d in (self.shm, self.work, self.stubs):
            d.mkdir(parents=True)
        standin.install(str(self.dir), str(self.stubs), PACKAGE_PARENT)
        self.bootenv_path.touch()

    # --- what the device holds before the agent starts

    def set_bootenv(self, **values):
        env = standin.read_env(self.bootenv_path)
        env.update({k: str(v) for k, v in values.items()})
        standin.write_env(self.bootenv_path, env)
        if "serialnumber" in values:
            self.address = eth0_address(serial_from_text(str(values["serialnumber"])))

    def bootenv(self):
        return standin.read_env(self.bootenv_path)

    def write_shm(self, name, text):
        (self.shm / name).write_text(text)

    def write_config(self, text):
        self.write_shm("cfg_ovikburn", text)

    def script_output(self, tool, text):
        """What the stand-in of tool prints on standard output from now on."""
        standin.script_output(str(self.dir), tool, text)

    def drop_interpreter_lines(self, *names):
        """The stand-in scripts names (PassLED.sh, mp_upgrade.sh, ...) as plain shell commands
        without a "#!" line, as older device images ship them."""
        for name in names:
            standin.drop_interpreter_line(str(self.dir), str(self.stubs), PACKAGE_PARENT, name)

    def remove_tools(self, *names):
        """An image without the tools names (fw_printenv, grep, ...): overlay whiteouts hide
        them, stand-in or this machine's own, from the device's /usr/bin and /usr/sbin."""
        for name in names:
            for sub in ("bin", "sbin"):
                path = self.stubs / sub / name
                path.unlink(missing_ok=True)
                os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(0, 0))

    def script_upgrade(self, lines, delay=0.0, status=0):
        """What the upgrade script stand-in prints (one line every delay seconds) and its exit
        status."""
        (self.dir / standin.UPGRADE_SCRIPT).write_text(
            json.dumps({"lines": list(lines), "delay": delay, "status": status}))

    # --- the agent

    def start(self, *args, program=None, rtc=False, dio=None, devices=None, fixtures=(),
              real_tools=(), sys_files=None, path=PLAIN_PATH):
        """Starts the agent (or program) with args inside this device's namespaces. The device
        has a hardware clock of its own (rtc-clock, when built; its time stays across starts);
        in the virtual test machine, rtc=True gives it the machine's clock instead, dio names a
        digital I/O stand-in's node (under /dev) that the device sees as /dev/dio, and devices
        maps names under the device's /dev to the machine's nodes ({"sdb1": "loop3"}).
        fixtures are argument vectors started inside the device's namespaces before the agent
        (see launch.py); each logs to fixture-N.log in the device's directory. real_tools
        names stand-ins that hand over to the machine's real tool (virtual test machine only:
        iw, hostapd for its radios); sys_files maps paths under /sys/class that the device
        reads to files of the test ({"/sys/class/pci_bus/.../config": path}). path is the
        agent's PATH: the launcher's plain one unless given, None for no PATH at all."""
        if self.process is not None:
            raise RuntimeError(f"{self.name}: already started")
        program = _absolute(program or self.network.agent)
        if not program or not os.access(program, os.X_OK):
            raise RuntimeError(f"no agent program to start: {program!r}")
        if "-i" in args:
            self.address = args[list(args).index("-i") + 1]
        extra = []
        for name, host in (devices or {}).items():
            extra += ["--device", f"{os.path.basename(host)}:{name}"]
        for argv in fixtures:
            extra += ["--fixture", json.dumps([str(a) for a in argv])]
        for tool in real_tools:
            extra += ["--real-tool", tool]
        for sys_path, source in (sys_files or {}).items():
            extra += ["--sys-file", f"{sys_path}={os.path.abspath(source)}"]
        clock = None if rtc else _absolute(built_program("OVIK_RTC_CLOCK", "ovikline/rtc-clock"))
        if clock:
            extra += ["--clock", clock]
        if path is None:
            extra.append("--no-path")
        elif path is not PLAIN_PATH:
            extra.append(f"--path={path}")
        argv = ["setpriv", "--pdeathsig", "KILL",
                "ip", "netns", "exec", self.netns,
                "unshare", "-m", "--propagation", "private",
                PYTHON, "-IB", LAUNCHER, "--dut", str(self.dir),
                "--host-netns", netns.own_netns_id(),
                "--host-mntns", os.readlink("/proc/self/ns/mnt"),
                *(["--rtc"] if rtc else []), *(["--dio", dio] if dio else []), *extra,
                "--", str(program), *args]
        # What the device image puts into /dev/shm at boot: there again after a reboot.
        self.boot_shm = {f.name: f.read_bytes() for f in self.shm.iterdir() if f.is_file()}
        self.process = _Process(argv, self.console_path, self.stderr_path)
        self.network.track(self.process.pid)
        self.agent_argv = [str(program), *args]
        return self

    @property
    def pid(self):
        """The agent's process id: the wrappers before it replace themselves with it."""
        return self.process.pid if self.process is not None else None

    def wait_exit(self, timeout):
        """The agent's exit status, or None while it still runs after timeout seconds."""
        return self.process.wait(timeout)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        if self.process is not None:
            self.process.stop()

    def reboot(self):
        """Power-cycles the started device: its agent, fixtures and clock program are killed,
        /dev/shm holds again what it held at the first start, and the launcher starts the agent
        again with the same arguments, its console going on in the same files. The boot-loader
        environment, the clock's time (rtc-state) and the cabling stay."""
        self.process.stop(first=signal.SIGKILL)
        for entry in self.shm.iterdir():
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()
        for name, data in self.boot_shm.items():
            (self.shm / name).write_bytes(data)
        self.process = _Process(self.process.argv, self.console_path, self.stderr_path,
                                append=True)
        self.network.track(self.process.pid)

    # --- what the device shows

    def console(self, exact=False):
        """The agent's standard output; exact keeps line ends as written ("\r\n")."""
        return _read(self.console_path, exact)

    def stderr(self):
        return _read(self.stderr_path)

    def error_log(self):
        return _read(self.shm / "ErrorLog.txt")

    def error_records(self):
        """The error log as (time stamp, message) pairs; each message keeps its own line end,
        "\r\n" included."""
        return ERROR_RECORD.findall(_read(self.shm / "ErrorLog.txt", exact=True))

    def fixture_logs(self):
        return {path.name: _read(path) for path in sorted(self.dir.glob("fixture-*.log"))}

    def wait_console(self, text, timeout, count=1):
        """Waits until the console holds the line fragment text (a str, or a compiled regular
        expression) at least count times; returns whether it did."""
        def seen():
            out = self.console()
            n = len(text.findall(out)) if isinstance(text, re.Pattern) else out.count(text)
            return n >= count
        return bool(netns.wait_for(seen, timeout))

    def wait_console_settled(self, quiet_for, timeout):
        """Waits until the console has not grown for quiet_for seconds; returns whether it
        settled within timeout seconds."""
        deadline = time.monotonic() + timeout
        size, since = -1, time.monotonic()
        while time.monotonic() < deadline:
            now_size = self.console_path.stat().st_size
            if now_size != size:
                size, since = now_size, time.monotonic()
            elif time.monotonic() - since >= quiet_for:
                return True
            time.sleep(0.05)
        return False

    def command_records(self):
        """Every stand-in call so far, in order: argv, t, and the caller's ppid and name
        (parent)."""
        return [json.loads(line) for line in _read(self.command_log).splitlines()
                if line.strip()]

    def commands(self):
        """Argument vectors of every stand-in call so far, in order."""
        return [record["argv"] for record in self.command_records()]

    def command_lines(self):
        """The stand-in calls as command lines, the program named as the agent named it for
        programs found through PATH (its base name) and in full otherwise."""
        lines = []
        for argv in self.commands():
            prog = argv[0]
            if os.path.basename(prog) in standin.PATH_TOOLS:
                prog = os.path.basename(prog)
            lines.append(shlex.join([prog, *argv[1:]]))
        return lines

    def wait_command(self, line, timeout):
        return bool(netns.wait_for(lambda: line in self.command_lines(), timeout))

    def dump(self):
        state = "not started"
        if self.process is not None:
            code = self.process.poll()
            state = "running" if code is None else f"exit status {code}"
        return "\n".join([
            f"=== {self.name} (namespace {self.netns}, eth0 {self.address}): "
            f"{shlex.join(self.agent_argv)} ({state})",
            f"--- {self.name} console (stdout):", _tail(self.console()),
            f"--- {self.name} console (stderr):", _tail(self.stderr()),
            f"--- {self.name} error log /dev/shm/ErrorLog.txt:", _tail(self.error_log()),
            f"--- {self.name} command log:", "\n".join(self.command_lines()),
            f"--- {self.name} boot-loader environment:", _read(self.bootenv_path),
            *[f"--- {self.name} {name}:\n{_tail(text)}"
              for name, text in self.fixture_logs().items()],
            ""])


class Network:
    """PC namespace with bridge br0 (192.180.0.1/16) and the devices added to it."""

    def __init__(self, agent=None, station=None, keep=None, state=None):
        self.agent = _absolute(agent or os.environ.get("OVIK_AGENT"))
        self.station_program = _absolute(station or os.environ.get("OVIK_STATION"))
        self.keep = os.environ.get("OVIK_SIM_KEEP") == "1" if keep is None else keep
        self.prefix = f"{netns.NAME_PREFIX}{os.getpid()}-{next(_network_ids)}"
        self.state = state
        self.pc_netns = f"{self.prefix}-pc"
        self.duts = []
        self.emulations = []  # emulate.Emulation: each stopped with the network
        self.station_runs = []
        self.clients = []
        self.sockets = []
        self.dir = None
        self._namespaces = []
        self._closed = False

    def __enter__(self):
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _open(self):
        netns.remove_stale()
        _remove_stale_dirs()
        atexit.register(self.close)
        self.dir = Path(tempfile.mkdtemp(prefix=f"{self.prefix}-"))
        if self.state is not None:
            self.state.record("files", self.dir)
        self._add_namespace(self.pc_netns)
        pc = ["ip", "-n", self.pc_netns]
        netns.run([*pc, "link", "add", BRIDGE, "type", "bridge"])
        netns.run([*pc, "link", "set", BRIDGE, "up"])
        netns.run([*pc, "addr", "add", f"{PC_ADDRESS}/{PC_PREFIX}", "dev", BRIDGE])

    def add_dut(self, bootenv=None, config=None, shm=None, upgrade=None):
        """A new device on the bridge; its eth0 is down and without address until the agent
        configures it."""
        index = len(self.duts) + 1
        dut = Dut(self, index)
        self.duts.append(dut)
        self._add_namespace(dut.netns)
        port = f"d{index}"
        # Created from inside the PC namespace, so neither end ever exists in ours.
        netns.run(["ip", "-n", self.pc_netns, "link", "add", port, "type", "veth",
                   "peer", "name", "eth0", "netns", dut.netns])
        netns.run(["ip", "-n", self.pc_netns, "link", "set", port, "master", BRIDGE, "up"])
        if bootenv:
            dut.set_bootenv(**bootenv)
        if config is not None:
            dut.write_config(config)
        for name, text in (shm or {}).items():
            dut.write_shm(name, text)
        if upgrade is not None:
            dut.script_upgrade(**upgrade)
        return dut

    def namespace(self, suffix):
        """A namespace of this network besides the PC's and the devices' (for cables, plugs,
        buses, access points), named PREFIX-suffix; made on first use, removed by close()."""
        name = f"{self.prefix}-{suffix}"
        if name not in self._namespaces:
            self._add_namespace(name)
        return name

    def _add_namespace(self, name):
        # On record before it exists: whatever ends this process, close() or `ovikline down`
        # removes it.
        self._namespaces.append(name)
        if self.state is not None:
            self.state.record("namespace", name)
        netns.add(name)

    def track(self, pid):
        """A process started outside the namespaces for this network (a stand-in serving a
        device): on record in the line's state, so `ovikline down` ends it."""
        if self.state is not None:
            self.state.record_process(pid)

    # --- the PC side

    def pc_socket(self, port=0, broadcast=False, timeout=None):
        """A UDP socket in the PC namespace bound to port (0: any free port)."""
        sock = netns.socket_in(self.pc_netns)
        self.sockets.append(sock)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if broadcast:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.bind(("0.0.0.0", port))
        sock.settimeout(timeout)
        return sock

    def start_station(self, *args, timeout=120, cwd=None):
        """Starts the station program in the PC namespace; wait() on the result. It runs in cwd,
        by default the network's folder: a station's default records file (ovikstation.db) is
        then this network's own, never shared with stations of other tests running at once."""
        if not self.station_program or not os.access(self.station_program, os.X_OK):
            raise RuntimeError(f"no station program to start: {self.station_program!r}")
        n = len(self.station_runs) + 1
        command = [_absolute(str(self.station_program)), *[str(a) for a in args]]
        argv = ["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", self.pc_netns, *command]
        process = _Process(argv, self.dir / f"station{n}.out", self.dir / f"station{n}.err",
                           cwd=cwd or self.dir)
        self.track(process.pid)
        run = StationRun(process, command, timeout)
        self.station_runs.append(run)
        return run

    def station(self, *args, timeout=120):
        """Runs the station program in the PC namespace to its end (at most timeout s)."""
        return self.start_station(*args, timeout=timeout).wait()

    # --- state and cleanup

    def dump(self):
        parts = [f"##### simulated network {self.prefix} in {self.dir}"]
        parts += [run.dump() for run in self.station_runs]
        parts += [client.dump() for client in self.clients]
        parts += [dut.dump() for dut in self.duts]
        return "\n".join(parts)

    def sanitizer_reports(self):
        """Sanitizer findings printed by any program of this network (sanitizer builds)."""
        found = []
        sources = [(f"{dut.name} stderr", dut.stderr()) for dut in self.duts]
        sources += [(f"station {shlex.join(run.command)}", run.stderr)
                    for run in self.station_runs]
        for label, text in sources:
            lines = text.splitlines()
            for i, line in enumerate(lines):
                if SANITIZER_REPORT.search(line):
                    found.append(f"{label}:\n" + "\n".join(lines[i:i + 30]))
                    break
        return found

    def close(self):
        if self._closed:
            return
        self._closed = True
        for run in self.station_runs:
            run.process.stop()
        for dut in self.duts:
            dut.stop()
        for emulation in self.emulations:
            emulation.stop()
        for sock in self.sockets:
            sock.close()
        for name in reversed(self._namespaces):
            netns.delete(name)
        if self.dir is not None and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)
        elif self.dir is not None:
            (self.dir / KEPT_MARK).touch()
            print(f"simulated network files kept in {self.dir}", file=sys.stderr)
        atexit.unregister(self.close)
