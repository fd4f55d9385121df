"""The Wi-Fi presence check ("wlan:Detection"): the test item reads the Wi-Fi module's PCI
configuration space, which each simulated device gets as a file of its own under /sys/class
(an empty tmpfs over the machine's pci_bus class, the file bind-mounted into it)."""

import os
import struct
from dataclasses import dataclass

import pytest

from ovikline import burnin

DURATION = 3 + burnin.SLOW
CONFIG = burnin.config(extra="[wlan]\nTestWLAN = y\nDetection = y\n")
PCI_CONFIG = "/sys/class/pci_bus/0000:01/device/0000:01:00.0/config"
OTHER_BUS = "/sys/class/pci_bus/0000:02/device/0000:02:00.0/config"
NO_FILE = "Can't open pci failed\n"


def config_space(revision):
    """256 bytes of a type-0 configuration header; byte 8 is the revision identifier, all ones
    when nothing answers at the address."""
    head = struct.pack("<HHHHB3s", 0x1AE0, 0x0042, 0x0006, 0x0010, revision, b"\x00\x80\x02")
    return head + bytes(256 - len(head))


@dataclass
class Case:
    name: str
    serial: int
    content: bytes       # what the file holds
    path: str = PCI_CONFIG
    passed: bool = False
    console: str = ""    # printed by each failing call


CASES = [
    Case("module answers", 5101, config_space(0x01), passed=True),
    Case("module answers, revision 0", 5102, config_space(0x00), passed=True),
    Case("nothing answers", 5103, config_space(0xFF)),
    Case("empty read", 5104, b""),
    # Only a module on another bus: the file the agent opens does not exist.
    Case("no module at the address", 5105, config_space(0x01), path=OTHER_BUS, console=NO_FILE),
]


def test_wlan_detect_reads_the_module_revision(station_net):
    if not os.path.isdir("/sys/class/pci_bus"):
        pytest.skip("this kernel has no PCI bus class to lay the module's configuration over")
    net = station_net
    started = []
    for i, case in enumerate(CASES):
        dut = net.add_dut(bootenv={"serialnumber": f"TB{case.serial}", "mm_flags": "0"},
                          config=CONFIG)
        fixture = dut.dir / "pci-config"
        fixture.write_bytes(case.content)
        dut.start("-e", sys_files={case.path: fixture})
        started.append((case, dut, burnin.station_burn(net, dut, DURATION, index=i)))

    for case, dut, burn in started:
        burn.wait()
        assert burn.run.returncode == (0 if case.passed else 1), case.name
        cycles = burn.record["cycles"]
        assert cycles >= 2, (case.name, burn.record)
        assert list(burn.items()) == ["WLAN"], case.name
        fails = burn.items()["WLAN"]
        if case.passed:
            assert fails == 0, case.name
        else:
            assert cycles <= fails <= cycles + 1, (case.name, burn.record)
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT), case.name
        console = dut.console()
        if case.console:
            assert fails <= console.count(case.console) <= fails + 1, case.name
        else:
            assert NO_FILE not in console, case.name
        # The check sets nothing up and logs nothing.
        assert dut.error_log() == "", case.name
        assert not any(line.startswith(("iw", "hostapd", "iwconfig"))
                       for line in dut.command_lines()), case.name
