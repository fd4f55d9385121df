"""The Wi-Fi presence check ("wlan:Detection"): the test item reads the Wi-Fi module's PCI
configuration space, which each simulated device gets as a file of its own under /sys/class
(an empty tmpfs over the machine's pci_bus class, the file bind-mounted into it)."""

import os
import struct

import pytest

import runs
from ovikline import burnin

PCI_CONFIG = "/sys/class/pci_bus/0000:01/device/0000:01:00.0/config"
OTHER_BUS = "/sys/class/pci_bus/0000:02/device/0000:02:00.0/config"
NO_FILE = "Can't open pci failed\n"


def config_space(revision):
    """256 bytes of a type-0 configuration header; byte 8 is the revision identifier, all ones
    when nothing answers at the address."""
    head = struct.pack("<HHHHB3s", 0x1AE0, 0x0042, 0x0006, 0x0010, revision, b"\x00\x80\x02")
    return head + bytes(256 - len(head))


CASES = [  # (what the file holds, where, passed, printed by each failing call)
    (config_space(0x01), PCI_CONFIG, True, ""),
    (config_space(0x00), PCI_CONFIG, True, ""),     # revision 0
    (config_space(0xFF), PCI_CONFIG, False, ""),    # nothing answers
    (b"", PCI_CONFIG, False, ""),                   # an empty read
    # Only a module on another bus: the file the agent opens does not exist.
    (config_space(0x01), OTHER_BUS, False, NO_FILE),
]


def test_wlan_detect_reads_the_module_revision(station_net):
    if not os.path.isdir("/sys/class/pci_bus"):
        pytest.skip("this kernel has no PCI bus class to lay the module's configuration over")
    duts = [runs.device(station_net, 5101 + i, "[wlan]\nTestWLAN = y\nDetection = y\n")
            for i in range(len(CASES))]
    for dut, (content, path, _, _) in zip(duts, CASES):
        (dut.dir / "pci-config").write_bytes(content)
        dut.start("-e", sys_files={path: dut.dir / "pci-config"})
    burns = runs.burn_all(station_net, duts, 3 + burnin.SLOW)
    for i, (dut, burn, (_, _, passed, printed)) in enumerate(zip(duts, burns, CASES)):
        cycles, fails = burn.record["cycles"], burn.items()["WLAN"]
        assert burn.run.returncode == (0 if passed else 1) and cycles >= 2, (i, burn.record)
        assert list(burn.items()) == ["WLAN"], i
        assert fails == 0 if passed else cycles <= fails <= cycles + 1, (i, burn.record)
        console = dut.console()
        assert fails <= console.count(NO_FILE) <= fails + 1 if printed else NO_FILE not in console
        # The check sets nothing up and logs nothing.
        assert dut.error_log() == "", i
        assert not any(line.startswith(("iw", "hostapd", "iwconfig"))
                       for line in dut.command_lines()), i
