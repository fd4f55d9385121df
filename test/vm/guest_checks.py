"""Checks that run inside the test machine (ovik-vm): the kernel drivers and places the system
tests rely on. test_vm.py runs this file in one guest and reports each check on its own.

Every check changes only the guest (links, modules, mounts, the guest's RTC), so outside the
test machine the whole file skips.
"""

import errno
import fcntl
import os
import select
import socket
import struct
import subprocess
import time
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(os.environ.get("OVIK_VM") != "1",
                                reason="runs only inside the test machine (test/vm/ovik-vm)")

COMMAND_TIMEOUT = 20

# <linux/rtc.h>: struct rtc_time is nine ints.
RTC_TIME = struct.Struct("9i")
RTC_RD_TIME = 0x80000000 | (RTC_TIME.size << 16) | (ord("p") << 8) | 0x09
RTC_SET_TIME = 0x40000000 | (RTC_TIME.size << 16) | (ord("p") << 8) | 0x0A

# <linux/wireless.h>
SIOCGIWNAME = 0x8B01

# The digital I/O driver's requests and record: channel, value (two native 32-bit words).
DIO_SET_DOUT = 15
DIO_GET_DIN = 17
DIO_RECORD = struct.Struct("=II")


def run(argv, check=True):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=COMMAND_TIMEOUT)
    if check and done.returncode != 0:
        raise AssertionError(f"{' '.join(argv)}: exit status {done.returncode}\n"
                             f"{done.stdout}{done.stderr}")
    return done.stdout


def wait_for(predicate, what, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} after {timeout} s")
        time.sleep(0.02)


# --- real-time clock -------------------------------------------------------------------------


def test_guest_rtc_set_and_read():
    """/dev/rtc0 takes a time and gives it back, through the requests the agent uses."""
    assert Path("/dev/rtc0").is_char_device()
    fd = os.open("/dev/rtc0", os.O_RDONLY)
    try:
        before = RTC_TIME.unpack(fcntl.ioctl(fd, RTC_RD_TIME, bytes(RTC_TIME.size)))
        assert before[5] >= 120, f"RTC year field {before[5]} (years since 1900)"
        # 2031-02-03 04:05:06; seconds, minutes, hours, day, month 0-11, year - 1900, ...
        wanted = (6, 5, 4, 3, 1, 131, 0, 0, 0)
        fcntl.ioctl(fd, RTC_SET_TIME, RTC_TIME.pack(*wanted))
        got = RTC_TIME.unpack(fcntl.ioctl(fd, RTC_RD_TIME, bytes(RTC_TIME.size)))
        assert got[1:6] == wanted[1:6] and got[0] - wanted[0] in (0, 1), got
        fcntl.ioctl(fd, RTC_SET_TIME, RTC_TIME.pack(*before))
    finally:
        os.close(fd)


def test_guest_rtc_busy_while_open():
    """The RTC admits one opener at a time: a second open fails with EBUSY until the first
    closes, so a test can hold the clock busy."""
    holder = os.open("/dev/rtc0", os.O_RDONLY)
    try:
        with pytest.raises(OSError) as failure:
            os.close(os.open("/dev/rtc0", os.O_RDONLY))
        assert failure.value.errno == errno.EBUSY
    finally:
        os.close(holder)
    os.close(os.open("/dev/rtc0", os.O_RDONLY))


def test_guest_rtc_hwclock_sets_system_clock():
    """`hwclock -s` (what the agent runs after setting the RTC) moves the guest's clock."""
    now = time.time()
    run(["hwclock", "--utc", "--noadjfile", "--set", "--date", "2031-02-03 04:05:06"])
    run(["hwclock", "--utc", "--noadjfile", "-s"])
    assert time.gmtime()[:4] == (2031, 2, 3, 4), time.gmtime()
    run(["hwclock", "--utc", "--noadjfile", "--set", "--date",
         time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(now))])
    run(["hwclock", "--utc", "--noadjfile", "-s"])


# --- CAN ---------------------------------------------------------------------------------------


def can_socket(interface):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.settimeout(2)
    s.bind((interface,))
    return s


def exchange_frame(sender, receiver):
    with can_socket(sender) as tx, can_socket(receiver) as rx:
        frame = struct.pack("=IB3x8s", 0x123, 4, b"\xde\xad\xbe\xef")
        tx.send(frame)
        got = rx.recv(16)
    can_id, length, data = struct.unpack("=IB3x8s", got)
    assert (can_id, length, data[:4]) == (0x123, 4, b"\xde\xad\xbe\xef")


def test_guest_can_vcan():
    run(["ip", "link", "add", "dev", "vcantest", "type", "vcan"])
    try:
        run(["ip", "link", "set", "vcantest", "up"])
        exchange_frame("vcantest", "vcantest")
    finally:
        run(["ip", "link", "del", "vcantest"], check=False)


def test_guest_can_vxcan_pair():
    run(["ip", "link", "add", "vxcantest0", "type", "vxcan", "peer", "name", "vxcantest1"])
    try:
        run(["ip", "link", "set", "vxcantest0", "up"])
        run(["ip", "link", "set", "vxcantest1", "up"])
        exchange_frame("vxcantest0", "vxcantest1")
    finally:
        run(["ip", "link", "del", "vxcantest0"], check=False)


# --- Wi-Fi ---------------------------------------------------------------------------------------


def test_guest_wifi_hwsim_radios():
    """Four simulated radios, each with a station interface that answers wireless extensions."""
    phys = sorted(p.name for p in Path("/sys/class/ieee80211").iterdir())
    assert len(phys) == 4, f"radios: {phys}\n{run(['iw', 'dev'], check=False)}"
    wlans = sorted(p.name for p in Path("/sys/class/net").iterdir()
                   if (p / "wireless").is_dir() or (p / "phy80211").exists())
    assert len(wlans) == 4, f"wireless interfaces: {wlans}"
    assert Path("/proc/net/wireless").is_file()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16s16s", wlans[0].encode(), b"")
        name = fcntl.ioctl(s.fileno(), SIOCGIWNAME, request)[16:32].rstrip(b"\0")
    assert name == b"IEEE 802.11", name


# --- storage -------------------------------------------------------------------------------------


def test_guest_vfat_on_loop_device(tmp_path):
    if not Path("/usr/sbin/mkfs.vfat").exists():
        pytest.skip("mkfs.vfat is missing (Debian package dosfstools)")
    image = tmp_path / "card.img"
    run(["mkfs.vfat", "-C", str(image), "8192"])
    device = run(["losetup", "--find", "--show", str(image)]).strip()
    mount_point = Path("/media/vmcheck")
    mount_point.mkdir()
    try:
        run(["mount", "-t", "vfat", device, str(mount_point)])
        try:
            (mount_point / "PROBE.TXT").write_bytes(b"burn-in\n")
            assert (mount_point / "PROBE.TXT").read_bytes() == b"burn-in\n"
            mounts = Path("/proc/mounts").read_text()
            assert f"{device} {mount_point} vfat" in mounts, mounts
        finally:
            run(["umount", str(mount_point)])
    finally:
        run(["losetup", "--detach", device], check=False)
        mount_point.rmdir()


# --- digital I/O through CUSE --------------------------------------------------------------------


def dio_standin():
    path = os.environ.get("OVIK_DIO_STANDIN")
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"dio-standin not built (set OVIK_DIO_STANDIN): {path}")
    return path


class Dio:
    """A running dio-standin and the requests a client makes of its device."""

    def __init__(self, tmp_path, *options):
        self.device = Path("/dev/dio")
        self.log = tmp_path / "dio.log"
        self.process = subprocess.Popen([dio_standin(), "--log", str(self.log), *options],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        readable, _, _ = select.select([self.process.stdout], [], [], COMMAND_TIMEOUT)
        ready = self.process.stdout.readline() if readable else "(nothing)"
        if ready != "dio-standin: /dev/dio ready\n":
            self.stop()
            raise AssertionError(f"dio-standin said {ready!r}, exit status "
                                 f"{self.process.returncode}: {self.process.stderr.read()}")
        assert self.device.is_char_device()

    def request(self, number, channel, value=0):
        """The request's answer and the record it leaves."""
        fd = os.open(self.device, os.O_RDWR)
        try:
            record = bytearray(DIO_RECORD.pack(channel, value))
            answer = fcntl.ioctl(fd, number, record, True)
            return (answer, *DIO_RECORD.unpack(record))
        finally:
            os.close(fd)

    def set_output(self, channel, value):
        self.request(DIO_SET_DOUT, channel, value)

    def input(self, channel):
        _, got_channel, value = self.request(DIO_GET_DIN, channel, 0xFFFF)
        assert got_channel == channel
        return value

    def requests(self):
        return self.log.read_text().splitlines()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=COMMAND_TIMEOUT)


@pytest.fixture
def dio(tmp_path):
    made = []

    def start(*options):
        made.append(Dio(tmp_path, *options))
        return made[-1]

    yield start
    for d in made:
        d.stop()
        d.process.stdout.close()
        d.process.stderr.close()
    wait_for(lambda: not Path("/dev/dio").exists(), "/dev/dio removal")


def test_guest_dio_cuse_device():
    assert Path("/dev/cuse").is_char_device()


@pytest.mark.parametrize("holds, written, expected", [
    ((), 0, [0, 0, 0, 0]),
    ((), 1, [1, 1, 1, 1]),
    (("--high", "2"), 0, [0, 0, 1, 0]),
    (("--low", "1", "--low", "3"), 1, [1, 0, 1, 0]),
], ids=["low", "high", "di2-stuck-high", "di1-di3-stuck-low"])
def test_guest_dio_outputs_wired_to_inputs(dio, holds, written, expected):
    d = dio(*holds)
    for channel in range(4):
        d.set_output(channel, written)
    assert [d.input(channel) for channel in range(4)] == expected
    requests = d.requests()
    assert [r for r in requests if r.startswith("set ")] == [f"set {c} {written}"
                                                             for c in range(4)]
    assert [r for r in requests if r.startswith("get ")] == [f"get {c} {v}"
                                                             for c, v in enumerate(expected)]
    assert requests.count("open") == 8
    # The kernel reports the last close after close() has returned.
    wait_for(lambda: d.requests().count("close") == 8, "eighth close")


@pytest.mark.parametrize("options, answers", [
    ((), [0, 0, 0, 0]),
    (("--answer-level",), [1, 1, 0, 0]),
], ids=["zero", "level"])
def test_guest_dio_answers(dio, options, answers):
    """A request answers 0, or the line's level: output 0 set high and read back, input 1 held
    low, output 2 set low."""
    d = dio("--low", "1", *options)
    made = [d.request(DIO_SET_DOUT, 0, 1), d.request(DIO_GET_DIN, 0), d.request(DIO_GET_DIN, 1),
            d.request(DIO_SET_DOUT, 2, 0)]
    assert [answer for answer, _, _ in made] == answers
    assert [value for _, _, value in made[1:3]] == [1, 0]


def test_guest_dio_refuses_bad_requests(dio):
    d = dio()
    for number, channel, value, code in [(DIO_SET_DOUT, 4, 1, errno.EINVAL),
                                         (DIO_GET_DIN, 7, 0, errno.EINVAL),
                                         (DIO_SET_DOUT, 0, 2, errno.EINVAL),
                                         (16, 0, 1, errno.ENOTTY)]:
        with pytest.raises(OSError) as failure:
            d.request(number, channel, value)
        assert failure.value.errno == code, (number, channel, value)


def test_guest_dio_vanishes_on_signal(dio):
    d = dio()
    d.set_output(0, 1)
    d.process.send_signal(10)  # SIGUSR1
    assert d.process.wait(timeout=COMMAND_TIMEOUT) == 0
    wait_for(lambda: not d.device.exists(), "/dev/dio removal")
    with pytest.raises(FileNotFoundError):
        os.open(d.device, os.O_RDWR)


def test_guest_dio_vanishes_after_count(dio):
    d = dio("--vanish-after", "2")
    d.set_output(0, 1)
    assert d.input(0) == 1
    assert d.process.wait(timeout=COMMAND_TIMEOUT) == 0
    wait_for(lambda: not d.device.exists(), "/dev/dio removal")
    assert d.requests()[-2:] == ["vanish", "gone"]


# --- the guest's own set-up --------------------------------------------------------------------


def test_guest_module_loaded_on_demand():
    """Modules not loaded at boot come when the kernel asks for them (here: dummy)."""
    run(["ip", "link", "add", "dummytest", "type", "dummy"])
    run(["ip", "link", "del", "dummytest"])


def test_guest_namespaces_veth_and_bridge():
    """A bridge in one network namespace, a veth to another, and a ping across."""
    bridge_ns, port_ns = "vmcheck-pc", "vmcheck-dut"
    run(["ip", "netns", "add", bridge_ns])
    run(["ip", "netns", "add", port_ns])
    try:
        pc = ["ip", "-n", bridge_ns]
        run([*pc, "link", "add", "br0", "type", "bridge"])
        run([*pc, "link", "add", "v0", "type", "veth", "peer", "name", "eth0", "netns", port_ns])
        run([*pc, "link", "set", "v0", "master", "br0", "up"])
        run([*pc, "link", "set", "br0", "up"])
        run([*pc, "addr", "add", "10.77.0.1/24", "dev", "br0"])
        run(["ip", "-n", port_ns, "addr", "add", "10.77.0.2/24", "dev", "eth0"])
        run(["ip", "-n", port_ns, "link", "set", "eth0", "up"])
        run(["ip", "netns", "exec", port_ns, "busybox", "ping", "-c", "1", "-W", "5", "10.77.0.1"])
    finally:
        run(["ip", "netns", "del", port_ns], check=False)
        run(["ip", "netns", "del", bridge_ns], check=False)


@pytest.mark.parametrize("place", ["/tmp", "/var/tmp", "/run", "/dev/shm", "/root", "/media",
                                   "/mnt", "/var/log"])
def test_guest_writable_places(place):
    probe = Path(place) / f"vmcheck-{os.getpid()}"
    probe.write_text("x")
    probe.unlink()


def test_guest_host_system_read_only():
    with pytest.raises(OSError) as failure:
        Path("/usr/vmcheck").write_text("x")
    assert failure.value.errno == errno.EROFS


def test_guest_own_kernel():
    release = os.uname().release
    assert Path("/lib/modules", release, "modules.dep").is_file(), release
