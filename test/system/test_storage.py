"""Storage tests of a device burning in, on vfat media (images on loop devices) that the
device sees under the names its configuration gives. Needs vfat and loop devices, and mounts
inside the device: only in the virtual test machine."""

import pytest

from ovikline import burnin, media

DURATION = 3 + burnin.SLOW
BAR = "=======================\n"


@pytest.fixture
def vfat(station_net):
    """Makes vfat media for the test's devices; detaches them after the devices have gone."""
    reason = media.missing()
    if reason:
        pytest.skip(reason)
    made = []

    def make(name):
        made.append(media.VfatMedium(station_net.dir / f"{name}.img"))
        return made[-1]

    yield make
    for dut in station_net.duts:
        dut.stop()
    for medium in made:
        medium.detach()


def storage_config(**keys):
    return burnin.config(extra="[storage]\n" + "".join(f"{k} = {v}\n" for k, v in keys.items()))


def mounts_of(pid):
    with open(f"/proc/{pid}/mounts") as f:
        return [line.split()[:3] for line in f]


def test_storage_merged_usb1_missing_and_sd_read_only_fail(station_net, vfat):
    net = station_net
    sd = vfat("sd")
    # USB1 (sdb1) is not there at all; the SD card (sdc1) was mounted read-only at boot.
    dut = net.add_dut(bootenv={"serialnumber": "TB5001", "mm_flags": "0"},
                      config=storage_config(TestUSB1="y", USB1DEVICE="sdb1", TestSD="y",
                                            SDDEVICE="sdc1", Storage_merge="y"))
    dut.start("-e", devices={"sdc1": sd.node},
              fixtures=[media.premount("/dev/sdc1", "/media/sdc1", read_only=True)])
    burn = burnin.station_burn(net, dut, DURATION).wait()

    assert burn.run.returncode == 1
    assert burn.entry["verdict"] == "failed"
    cycles = burn.record["cycles"]
    assert cycles >= 1, burn.record
    # The separate items are gone; the merged one counts one failure per cycle, not per medium.
    assert list(burn.items()) == ["exStorage"]
    fails = burn.items()["exStorage"]
    assert cycles <= fails <= cycles + 1, burn.record
    assert burn.verdict_row()[3] == f"exStorage:{fails}", burn.run.stdout

    assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    every_cycle = [
        "createTestFileOnExternalStorage[924]mount /media/sdb1 in vfat format fail\n",
        "testUSB1[992]: createTestFileOnExternalStorage on /media/sdb1!\n",
        "[USB1] testUSB1 error\n",
        "random_testing[810]: open new file, /media/sdc1/mptest.txt, fail !\r\n",
        "[SD] testmSD error\n",
    ]
    messages = [m for _, m in dut.error_records()]
    calls = len(messages) // len(every_cycle)
    assert messages == every_cycle * calls
    assert fails <= calls <= fails + 1

    console = dut.console(exact=True)
    # USB1 is looked for again in every cycle; the SD card's boot-time mount is found once and
    # then trusted.
    for line in ["We are going to mount /media/sdb1\n",
                 "createTestFileOnExternalStorage[923]mount /media/sdb1 in vfat format fail\n",
                 "testUSB1[991]: createTestFileOnExternalStorage on /media/sdb1!\n",
                 "random_testing[809]: open new file, /media/sdc1/mptest.txt, fail !\r\n",
                 f"{BAR}FAIL : testSD \n{BAR}"]:
        assert console.count(line) == calls, line
    assert console.count("createTestFileOnExternalStorage[937]/media/sdc1 has been mounted\n") == 1
    assert "We are going to mount /media/sdc1" not in console
    assert "testUSB1 \n" not in console  # no banner after a failed mount step
    assert ["/dev/sdc1", "/media/sdc1", "vfat"] in mounts_of(dut.pid)


def test_storage_usb1_mounted_by_the_agent_and_written(station_net, vfat):
    net = station_net
    usb = vfat("usb")
    dut = net.add_dut(bootenv={"serialnumber": "TB5002", "mm_flags": "0"},
                      config=storage_config(TestUSB1="y", USB1DEVICE="sdb1"))
    dut.start("-e", devices={"sdb1": usb.node})
    burn = burnin.station_burn(net, dut, DURATION).wait()

    assert burn.run.returncode == 0
    assert burn.entry["verdict"] == "passed"
    cycles = burn.record["cycles"]
    assert cycles >= 2, burn.record
    assert burn.items() == {"USB1": 0}

    assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    console = dut.console()
    # Mounted once, by the agent, as vfat; every cycle writes and reads back its file.
    assert console.count("We are going to mount /media/sdb1\n") == 1
    assert console.count("createTestFileOnExternalStorage[937]/media/sdb1 has been mounted\n") == 1
    assert console.count(f"{BAR}PASS : testUSB1 \n{BAR}") >= cycles
    assert "FAIL" not in console
    assert dut.error_log() == ""
    assert [m for m in mounts_of(dut.pid) if m[1] == "/media/sdb1"] == \
        [["/dev/sdb1", "/media/sdb1", "vfat"]]

    dut.stop()
    files = usb.files()
    assert [name.lower() for name in files] == ["mptest.txt"], sorted(files)
    data = next(iter(files.values()))
    assert len(data) == 4096 and data != bytes(4096)
