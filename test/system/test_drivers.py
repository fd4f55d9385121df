"""The device tests that need the device kernel's drivers, so only in the virtual test machine:
a device on the machine's real RTC first (it moves the machine's clock), then one run of every
other kind at once, each on its fixtures: vfat media on loop devices, /dev/dio through CUSE,
SocketCAN buses, and mac80211_hwsim radios that the devices drive with the real iw and
hostapd. The station runs each device; the Wi-Fi devices answer raw clients instead, which keep
every status report (the stop clears the ping counters before it answers)."""

import contextlib
import os
import re
import threading
import time

import pytest

import runs
from ovikline import burnin, can, dio, ethernet, frames, media, radio
from ovikline.client import RawClient

PC_TIME = 1893456000  # 2030-01-01 00:00:00 UTC: far from the machine's own time
DURATION = 12 + 2 * burnin.SLOW  # a CAN responder round (answer, wrong id, wrong data, none) is 8 s
RADIO_DURATION = 6 + 2 * burnin.SLOW  # a ping a second
# Pair exchange, then 5 s before the station joins and 5 s after; the association up to 25 s.
RADIO_SETUP_TIMEOUT = 30.0 * burnin.SLOW
BAR = "=======================\n"
REAL_TOOLS = ("iw", "hostapd", "iwconfig")


def error_messages(dut):
    return [message for _, message in dut.error_records()]


def mounts_of(pid):
    with open(f"/proc/{pid}/mounts") as f:
        return [line.split()[:3] for line in f]


def real_clock(net):
    """The start sets the device's RTC as soon as the clock is free (the answer follows the 1 s
    pause, not a retry 3 s later) and hwclock -s takes the machine's clock along; the burn time
    runs from it."""
    dut = net.add_dut()
    dut.start("-s", "1234", "-i", "192.180.7.7", rtc=True)
    pc = RawClient(net, dut.address)
    burnin.poll(pc)
    # Another program holds the clock for the first 0.3 s: the start's setting waits for it.
    for _ in range(100):  # once the agent's own reading has let it go
        with contextlib.suppress(OSError):
            held = os.open("/dev/rtc0", os.O_RDONLY)
            break
        time.sleep(0.01)
    threading.Timer(0.3, os.close, [held]).start()
    sent = time.monotonic()
    ack = burnin.start_run(pc, pc_time=PC_TIME)
    assert 0.9 <= time.monotonic() - sent < 3.5
    # The PC's time in the run's zone (UTC+8): 2030-01-01 08:00.
    assert list(ack.datetime[2:]) == [8, 1, 0, 130], ack.describe()
    assert dut.wait_command("hwclock -s", 2.0)
    assert time.gmtime().tm_year == 2030, time.ctime()
    time.sleep(3.5)
    stop = burnin.stop_run(pc)
    assert stop.status == frames.STATUS_OK and 3 <= stop.burntime <= 7, stop.describe()
    assert "Cannot open /dev/rtc0" not in dut.stderr()
    dut.stop()


def storage(net, stops):
    """USB1 mounted by the agent and written; a merged item over a missing USB1 and an SD card
    mounted read-only at boot."""
    usb, sd = media.VfatMedium(net.dir / "usb.img"), media.VfatMedium(net.dir / "sd.img")
    stops += [usb.detach, sd.detach]
    written = runs.device(net, 5002, "[storage]\nTestUSB1 = y\nUSB1DEVICE = sdb1\n")
    merged = runs.device(net, 5001, "[storage]\nTestUSB1 = y\nUSB1DEVICE = sdb1\nTestSD = y\n"
                                    "SDDEVICE = sdc1\nStorage_merge = y\n")
    # Reference files: 100 bytes on the SSD; 200 on the mSATA module (its node named by the
    # image), the 128th not an a.
    ssd = media.VfatMedium(net.dir / "ssd.img", {"mptest.txt": b"a" * 100})
    msata = media.VfatMedium(net.dir / "msata.img", {"mptest.txt": b"a" * 127 + b"b" * 73})
    stops += [ssd.detach, msata.detach]
    refs = [runs.device(net, 5003, "[storage]\nTestSSD = y\n"),
            runs.device(net, 5004, "[storage]\nTestmSATA = y\n")]
    refs[1].write_shm("mSATA_node", "sdd1")
    yield
    written.start("-e", devices={"sdb1": usb.node})
    refs[0].start("-e", devices={"sda1": ssd.node})
    refs[1].start("-e", devices={"sdd1": msata.node})
    merged.start("-e", devices={"sdc1": sd.node},
                 fixtures=[media.premount("/dev/sdc1", "/media/sdc1", read_only=True)])
    yield [written, merged, *refs]
    written_burn, merged_burn, *ref_burns = yield

    for dut, burn, (item, file, fault, site) in zip(refs, ref_burns, (
            ("SSD", "/media/usb-sda1/mptest.txt", "length", 748),
            ("mSATA", "/media/sdd1/mptest.txt", "context", 757))):
        cycles, fails = burn.record["cycles"], burn.items()[item]
        assert burn.run.returncode == 1 and cycles <= fails <= cycles + 1, burn.record
        failure = "CompareTestFile[%d]: read " + file + f" data {fault} fail !\r\n"
        messages = error_messages(dut)
        assert messages == [failure % (site + 1)] * len(messages), messages
        # The banner comes first and does not depend on the file (the main thread's lines may
        # come between the two at the stop).
        console = dut.console(exact=True)
        banners = console.count(f"{BAR}PASS : test{item} \n{BAR}")
        assert fails <= banners == console.count(failure % site) == len(messages) <= fails + 1

    assert (written_burn.run.returncode, written_burn.items()) == (0, {"USB1": 0})
    console = written.console()
    # Mounted once, by the agent, as vfat; every cycle writes and reads back its file.
    assert console.count("We are going to mount /media/sdb1\n") == 1
    assert console.count("createTestFileOnExternalStorage[937]/media/sdb1 has been mounted\n") == 1
    assert console.count(f"{BAR}PASS : testUSB1 \n{BAR}") >= written_burn.record["cycles"] >= 2
    assert "FAIL" not in console and written.error_log() == ""
    assert [m for m in mounts_of(written.pid) if m[1] == "/media/sdb1"] == \
        [["/dev/sdb1", "/media/sdb1", "vfat"]]
    written.stop()
    files = usb.files()
    assert [name.lower() for name in files] == ["mptest.txt"], sorted(files)
    data = next(iter(files.values()))
    assert len(data) == 4096 and data != bytes(4096)

    # The merged item counts one failure per cycle, not per medium.
    assert merged_burn.run.returncode == 1
    cycles, fails = merged_burn.record["cycles"], merged_burn.items()["exStorage"]
    assert list(merged_burn.items()) == ["exStorage"] and cycles <= fails <= cycles + 1
    assert merged_burn.verdict_row()[3] == f"exStorage:{fails}", merged_burn.run.stdout
    every_cycle = [
        "createTestFileOnExternalStorage[924]mount /media/sdb1 in vfat format fail\n",
        "testUSB1[992]: createTestFileOnExternalStorage on /media/sdb1!\n",
        "[USB1] testUSB1 error\n",
        "random_testing[810]: open new file, /media/sdc1/mptest.txt, fail !\r\n",
        "[SD] testmSD error\n"]
    messages = error_messages(merged)
    calls = len(messages) // len(every_cycle)
    assert messages == every_cycle * calls and fails <= calls <= fails + 1
    console = merged.console(exact=True)
    # USB1 is looked for in every cycle; the SD card's boot-time mount is found once, then
    # trusted.
    for line in ["We are going to mount /media/sdb1\n",
                 "createTestFileOnExternalStorage[923]mount /media/sdb1 in vfat format fail\n",
                 "testUSB1[991]: createTestFileOnExternalStorage on /media/sdb1!\n",
                 "random_testing[809]: open new file, /media/sdc1/mptest.txt, fail !\r\n",
                 f"{BAR}FAIL : testSD \n{BAR}"]:
        assert console.count(line) == calls, line
    assert console.count("createTestFileOnExternalStorage[937]/media/sdc1 has been mounted\n") == 1
    assert "We are going to mount /media/sdc1" not in console
    assert "testUSB1 \n" not in console  # no banner after a failed mount step
    assert ["/dev/sdc1", "/media/sdc1", "vfat"] in mounts_of(merged.pid)


def dio_requests(level, stuck=None):
    """One phase of a call as dio-standin logs it: every output set to level, then the inputs
    read from channel 0 on; a stuck channel reads the other level and ends the reading."""
    last = 3 if stuck is None else stuck
    return ([f"set {c} {level}" for c in range(4)] + [f"get {c} {level}" for c in range(last)]
            + [f"get {last} {level if stuck is None else 1 - level}"])


DIO_CASES = [  # (serial, dio-standin options, what a failing call prints, requests per call)
    # Every line wired; only -1 from the driver is a failure, not the line's level that some
    # boards' drivers answer with.
    (6001, ("--answer-level",), "", dio_requests(0) + dio_requests(1)),
    # Checking stops at the stuck line and the outputs are never driven high.
    (6002, ("--high", "2"), "DI != 0\n", dio_requests(0, stuck=2)),
    (6003, ("--low", "1"), "DI != 1\n", dio_requests(0) + dio_requests(1, stuck=1)),
]


def digital_io(net, stops):
    devices = []
    for serial, options, _, _ in DIO_CASES:
        dut = runs.device(net, serial, "[dio]\nTestDIO = y\n")
        standin = dio.Standin(dio.program(), dut, options)
        stops.append(standin.stop)
        devices.append((dut, standin))
    absent = runs.device(net, 6004, "[dio]\nTestDIO = y\n")  # no /dev/dio on this one
    yield
    for dut, standin in devices:
        dut.start("-e", dio=standin.name)
    absent.start("-e")
    yield [dut for dut, _ in devices] + [absent]
    *burns, absent_burn = yield

    fails = absent_burn.items()["DIO"]
    assert absent_burn.run.returncode == 1 and fails >= absent_burn.record["cycles"] >= 1
    console = absent.console()
    assert fails <= console.count("Failed to get DIN state\n") <= fails + 1
    assert "DI != " not in console and "PASS" not in console and absent.error_log() == ""

    for (serial, _, failing, per_call), (dut, standin), burn in zip(DIO_CASES, devices, burns):
        cycles, fails = burn.record["cycles"], burn.items()["DIO"]
        assert list(burn.items()) == ["DIO"] and cycles >= 1, (serial, burn.record)
        assert burn.run.returncode == (1 if failing else 0), serial
        assert (cycles <= fails <= cycles + 1) if failing else fails == 0, (serial, burn.record)
        made = standin.requests()
        calls = len(made) // len(per_call)
        assert made == per_call * calls and calls >= cycles, serial
        console = dut.console()
        banners = console.count(f"{BAR}PASS : testDIO\n{BAR}")
        assert banners == (0 if failing else calls), serial
        assert console.count(failing) == calls if failing else "DI != " not in console, serial
        assert "Failed to get DIN state" not in console and dut.error_log() == "", serial


CAN_SCHEDULE = [can.WRONG_ID, can.ANSWER, can.WRONG_DATA, can.SILENT]
CAN_OUTCOMES = {  # what the one-port test prints for each kind of answer
    can.ANSWER: "can0 test OK.\n",
    can.WRONG_ID: "DIE-[testCAN][3298] : Frame ID error. Receive can id: 301 \n",
    can.WRONG_DATA: "DIE-[testCAN][3307] : Frame data Error.\n",
    can.SILENT: "DIE-[testCAN][3271] : Frame time out!\n",
}
NO_CAN1 = "[testCAN][3247] : Error in socket bind.\n"
TWO_TIMEOUT = "[testTwoCAN][3408] : Select timeout!\n"
NO_BIND1 = "[testTwoCAN][3369] : FAIL to bind can1.\n"


def can_buses(net, stops):
    """can0 against a responder node (and a can1 that does not exist); the two-port test with
    its ports cabled to each other, and to nothing."""
    single = runs.device(net, 7001, "[can]\nTestCAN = y\nTestCAN2 = y\n")
    node = can.Responder(net, can.add_bus(net, single, "can0"), CAN_SCHEDULE)
    stops.append(node.stop)
    cabled = runs.device(net, 7002, "[can]\nTestTwoCAN = y\n")
    can.wire_ports(cabled, "can0", "can1")
    loose = runs.device(net, 7003, "[can]\nTestTwoCAN = y\n")
    can.add_bus(net, loose, "can0")
    can.add_bus(net, loose, "can1")
    half = runs.device(net, 7004, "[can]\nTestTwoCAN = y\n")
    can.add_bus(net, half, "can0")  # and no can1
    yield
    for dut in (single, cabled, loose, half):
        dut.start("-e")
    yield [single, cabled, loose, half]
    single_burn, cabled_burn, loose_burn, half_burn = yield

    # A second port that is not there: the bind fails at once, printed bare and logged.
    fails, cycles = half_burn.items()["CAN0&CAN1"], half_burn.record["cycles"]
    assert half_burn.run.returncode == 1 and cycles <= fails <= cycles + 1, half_burn.record
    records = error_messages(half)
    assert records == [NO_BIND1] * len(records) and fails <= len(records) <= fails + 1
    assert half.console().count(NO_BIND1) == len(records) and "DIE-" not in half.console()

    # One port: each request got what the responder gave it, in order.
    pattern = "|".join(re.escape(text) for text in CAN_OUTCOMES.values())
    by_text = {text: mode for mode, text in CAN_OUTCOMES.items()}
    console = single.console()
    outcomes = [by_text[m.group(0)] for m in re.finditer(pattern, console)]
    assert outcomes == node.answered and outcomes[:4] == CAN_SCHEDULE, outcomes
    assert node.others == [] and single_burn.run.returncode == 1
    failed = [mode for mode in outcomes if mode != can.ANSWER]
    items, cycles = single_burn.items(), single_burn.record["cycles"]
    assert list(items) == ["CAN", "CAN2"] and cycles >= 4, single_burn.record
    assert len(failed) - 1 <= items["CAN"] <= len(failed), (items, outcomes)
    assert cycles <= items["CAN2"] <= cycles + 1, single_burn.record
    assert console.count("receive can id: 301\n") == outcomes.count(can.WRONG_ID)
    assert console.count("DIE-" + NO_CAN1) == len(outcomes)
    assert sorted(error_messages(single)) == sorted(
        [CAN_OUTCOMES[mode][len("DIE-"):] for mode in failed] + [NO_CAN1] * len(outcomes))

    # Cabled to each other: a frame each way every cycle. A cycle running at the stop may
    # have received its frames without reaching its verdict.
    assert (cabled_burn.run.returncode, cabled_burn.items()) == (0, {"CAN0&CAN1": 0})
    console = cabled.console()
    passes = console.count("testTwoCAN OK!!\n")
    assert passes >= cabled_burn.record["cycles"] >= 4, cabled_burn.record
    assert 2 * passes <= console.count("frame_r.can_dlc = 8\n") <= 2 * passes + 2
    assert cabled.error_log() == ""

    # Cabled to nothing: the first direction waits 3 s and fails, printed bare.
    assert loose_burn.run.returncode == 1
    fails, cycles = loose_burn.items()["CAN0&CAN1"], loose_burn.record["cycles"]
    assert cycles <= fails <= cycles + 1, loose_burn.record
    console = loose.console()
    assert fails <= console.count(TWO_TIMEOUT) <= fails + 1
    assert "DIE-" not in console and "frame_r.can_dlc" not in console
    records = error_messages(loose)
    assert records == [TWO_TIMEOUT] * len(records) and fails <= len(records) <= fails + 1


def radios(net, stops):
    """Pair mode: 1234 and 1300, their eth1 on one switch, agree that 1300 is the access point
    and ping each other over Wi-Fi. Stand-alone: 1500 joins the factory's access point and
    pings it, reading bit rate and link quality each cycle."""
    lan = ethernet.Segment(net, "lan1")
    station, access_point = pair = [runs.device(net, serial, "[wlan]\nTestWLAN = y\n")
                                    for serial in (1234, 1300)]
    for serial, dut in zip((1234, 1300), pair):
        lan.attach(dut, "eth1").give_address(ethernet.plan_address(serial, "eth1"))
    factory = radio.AccessPoint(net, "factoryap", "172.16.0.1")
    stops.append(factory.stop)
    alone = runs.device(net, 1500, "AloneBurn = y\n[wlan]\nTestWLAN = y\n"
                                   "APPIP_0 = 172.16.0.1\nAPPESSID_0 = factoryap\n")
    duts = [station, access_point, alone]
    for dut in duts:
        radio.take(dut.netns)
    yield
    for dut in duts:
        dut.start("-e", real_tools=REAL_TOOLS)
    for dut in duts:  # associated before the other kinds' agents load the machine
        assert dut.wait_console("<<Send ALIVE", RADIO_SETUP_TIMEOUT), (dut.name,
                                                                       factory.log_text())
    yield []
    clients = runs.start_all(net, duts)
    began = time.monotonic()
    yield
    time.sleep(max(0.0, began + RADIO_DURATION - time.monotonic()))
    answers = runs.stop_all(clients)

    # 1300 is the access point of burnin1300 on channel 2 (1300 % 10 = 0), and 1234 joined it
    # on 2417 MHz (the exchange itself is in test_net_wlan_pair.py); 1500 has 172.16.0.235.
    assert "SSID: burnin1300" in radio.link(station.netns)
    console = alone.console()
    for line in ("start wlan0 set_wireless!\n", "wlan0 set WEPKEY off !\n",
                 "wlan0 set ESSID ok !\n", "wlan0 get AP address ok!\n",
                 "ifup : ifconfig wlan0 172.16.0.235 netmask 255.255.0.0 up\n"):
        assert console.count(line) == 1, line
    assert alone.command_lines()[1:2] == ["iwconfig wlan0 key off"], alone.command_lines()
    assert len(factory.stations()) == 1, factory.log_text()

    # Every status report: no Wi-Fi failure, every ping but one in flight answered, counters
    # growing; the network name and channel of the link.
    for dut, pc, stop, link in zip(duts, clients, answers, (("burnin1300", "2417"),
                                                          ("burnin1300", "2"),
                                                          ("factoryap", None))):
        assert stop.status == frames.STATUS_OK, (dut.name, stop.describe())
        seen = runs.reports(pc)
        assert len(seen) >= 3 and seen[-1].wlan_ping_recv > max(2, seen[0].wlan_ping_recv)
        for report in seen:
            assert runs.item_fails(report) == {"WLAN": 0}, (dut.name, report.describe())
            assert report.wlan_ping_sent - 1 <= report.wlan_ping_recv <= report.wlan_ping_sent
            if link[1]:
                assert (report.wlan0_ssid, report.wlan0_channel) == link, dut.name
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
        console = dut.console()
        assert console.count("wlan0 test OK.\n") >= seen[-1].wlan_ping_recv, dut.name
        assert "ping machine timeout" not in console and dut.error_log() == "", dut.name
    last = seen[-1]  # the stand-alone device: link quality and bit rate of its association
    assert last.wlan_signal > 0 and last.wlan_bitrate > 0
    assert f"speed is {last.wlan_bitrate}\n" in console
    for line in ("wlan0 get BIT RATE OK !\n", "wlan0 get SIGNAL LEVEL OK !\n"):
        assert console.count(line) >= last.wlan_ping_recv, line


@pytest.fixture
def drivers_net(station_net):
    in_vm = os.environ.get("OVIK_VM") == "1" and os.path.exists("/dev/rtc0")
    reason = ((None if in_vm else "needs the virtual test machine (ovikline vm)")
              or media.missing() or dio.missing() or can.missing() or radio.missing(4))
    if reason:
        pytest.skip(reason)
    # The real clock moves the machine's to 2030: the later devices get the real time back.
    wall, mono = time.time(), time.monotonic()
    try:
        real_clock(station_net)
    finally:
        time.clock_settime(time.CLOCK_REALTIME, wall + time.monotonic() - mono)
    stops = []
    yield station_net, stops
    for dut in station_net.duts:
        dut.stop()
    for stop in reversed(stops):
        stop()


def test_drivers_every_kind_in_one_run(drivers_net):
    """Each kind is a generator: it sets its devices and fixtures up, starts the agents and
    names those the station runs, starts its own runs, and checks what its devices showed."""
    net, stops = drivers_net
    kinds = [kind(net, stops) for kind in (radios, storage, digital_io, can_buses)]
    for kind in kinds:
        next(kind)  # set up, before any agent takes the machine's time
    wanted = [kind.send(None) for kind in kinds]
    station_duts = [dut for duts in wanted for dut in duts]
    for dut in station_duts:  # all at once under emulation: they come up slowly
        assert dut.wait_console("<<Send ALIVE", 3 * burnin.READY_TIMEOUT), dut.name
    burns = [burnin.station_burn(net, dut, DURATION, index=i)
             for i, dut in enumerate(station_duts)]
    for kind in kinds:
        kind.send(None)  # the raw clients' runs start
    for burn in burns:
        burn.wait()
    for dut in station_duts:
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT), dut.name
    done = iter(burns)
    for kind, duts in zip(kinds, wanted):
        with contextlib.suppress(StopIteration):  # each kind checks what it showed
            kind.send([next(done) for _ in duts])
