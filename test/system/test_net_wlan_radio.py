"""The Wi-Fi tests with real radios (mac80211_hwsim, so only in the virtual test machine): the
devices run the machine's real iw and hostapd (their stand-ins record the call and hand over).

Pair mode: two devices, their eth1 on one switch, agree over eth1 which of them is the access
point and then ping each other over Wi-Fi in every cycle. Stand-alone mode: a device joins an
access point of the factory (hostapd in a namespace of its own) and pings it, reading its bit
rate and link quality each cycle."""

import time

import pytest

import runs
from ovikline import burnin, ethernet, frames, radio

DURATION = 6 + 2 * burnin.SLOW
# Pair exchange, then 5 s before the station joins and 5 s after; set_wireless waits 5 s and
# up to 20 s more for the association.
SETUP_TIMEOUT = 30.0 * burnin.SLOW
REAL_TOOLS = ("iw", "hostapd", "iwconfig")
FACTORY_AP = "172.16.0.1"
FACTORY_SSID = "factoryap"


def wifi_net(net, radios):
    reason = radio.missing(radios)
    if reason:
        pytest.skip(reason)
    return net


def check_reports(pc, name):
    """Each status report: the Wi-Fi item never failed, every ping but one in flight was
    answered; the counters grow. Returns the reports."""
    seen = runs.reports(pc)
    assert len(seen) >= 3, name
    for report in seen:
        assert runs.item_fails(report) == {"WLAN": 0}, (name, report.describe())
        assert report.wlan_ping_sent - 1 <= report.wlan_ping_recv <= report.wlan_ping_sent, \
            (name, report.wlan_ping_sent, report.wlan_ping_recv)
    assert seen[-1].wlan_ping_recv >= 3, name
    assert seen[-1].wlan_ping_recv > seen[0].wlan_ping_recv, name
    return seen


def test_wlan_radio_pair_access_point_and_station(net):
    net = wifi_net(net, 2)
    lan = ethernet.Segment(net, "lan1")
    station, access_point = duts = [
        net.add_dut(bootenv={"serialnumber": f"TB{serial}", "mm_flags": "0"},
                    config=burnin.config(extra="[wlan]\nTestWLAN = y\n"))
        for serial in (1234, 1300)]
    for serial, dut in zip((1234, 1300), duts):
        lan.attach(dut, "eth1").give_address(ethernet.plan_address(serial, "eth1"))
        radio.take(dut.netns)
    for dut in duts:
        dut.start("-e", real_tools=REAL_TOOLS)
    for dut in duts:
        assert dut.wait_console("<<Send ALIVE", SETUP_TIMEOUT), dut.name

    # 1300 is the access point of burnin1300 on channel 2 (index 1300 % 10 = 0) at
    # 172.17.0.101; 1234 joined it on 2417 MHz at 172.17.0.102.
    assert "final_sn: 1300\n" in station.console() and "final_sn: 1300\n" in \
        access_point.console()
    for dut, channel in ((station, "2417"), (access_point, "2")):
        assert (dut.shm / "wlan0_ssid").read_text() == "burnin1300", dut.name
        assert (dut.shm / "wlan0_channel").read_text() == channel, dut.name
    assert "channel=2\n" in (access_point.shm / "hostapd.conf").read_text()
    assert access_point.command_lines().count("hostapd /dev/shm/hostapd.conf -B") == 1
    assert [line for line in station.command_lines() if line.startswith("iw ")] == \
        ["iw wlan0 connect burnin1300", "iw wlan0 link"]
    joined = radio.link(station.netns)
    assert "Connected to" in joined and "SSID: burnin1300" in joined and "freq: 2417" in joined

    clients = runs.start_all(net, duts)
    time.sleep(DURATION)
    stops = runs.stop_all(clients)
    for dut, pc, stop, peer in zip(duts, clients, stops, ("172.17.0.101", "172.17.0.102")):
        assert stop.status == frames.STATUS_OK, (dut.name, stop.describe())
        seen = check_reports(pc, dut.name)
        channel = "2417" if dut is station else "2"
        assert {(r.wlan0_ssid, r.wlan0_channel) for r in seen} == {("burnin1300", channel)}
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
        console = dut.console()
        assert console.count("wlan0 test OK.\n") >= seen[-1].wlan_ping_recv
        assert "ping machine timeout" not in console, dut.name
        assert dut.error_log() == "", dut.name


def test_wlan_radio_alone_joins_the_factory_access_point(net):
    net = wifi_net(net, 2)
    ap = radio.AccessPoint(net, FACTORY_SSID, FACTORY_AP)
    try:
        # Serial 1500: wlan0 gets 172.16.0.(1500 % 253) = 172.16.0.235.
        dut = net.add_dut(bootenv={"serialnumber": "TB1500", "mm_flags": "0"},
                          config=burnin.config(extra=f"AloneBurn = y\n[wlan]\nTestWLAN = y\n"
                                                     f"APPIP_0 = {FACTORY_AP}\n"
                                                     f"APPESSID_0 = {FACTORY_SSID}\n"))
        radio.take(dut.netns)
        dut.start("-e", real_tools=REAL_TOOLS)
        assert dut.wait_console("<<Send ALIVE", SETUP_TIMEOUT), ap.log_text()
        console = dut.console()
        for line in ("start wlan0 set_wireless!\n", "wlan0 set WEPKEY off !\n",
                     "wlan0 set ESSID ok !\n", "wlan0 get AP address ok!\n",
                     "ifup : ifconfig wlan0 172.16.0.235 netmask 255.255.0.0 up\n"):
            assert console.count(line) == 1, line
        assert "set APP ADRESS timeout" not in console
        assert dut.command_lines()[1:2] == ["iwconfig wlan0 key off"], dut.command_lines()
        assert len(ap.stations()) == 1, ap.log_text()

        clients = runs.start_all(net, [dut])
        time.sleep(DURATION)
        (stop,) = runs.stop_all(clients)
        assert stop.status == frames.STATUS_OK, stop.describe()
        seen = check_reports(clients[0], dut.name)
        # Link quality and bit rate of the association, as the radio reports them.
        last = seen[-1]
        assert last.wlan_signal > 0 and last.wlan_bitrate > 0, (last.wlan_signal,
                                                                 last.wlan_bitrate)
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
        console = dut.console()
        assert f"speed is {last.wlan_bitrate}\n" in console
        for line in ("wlan0 get BIT RATE OK !\n", "wlan0 get SIGNAL LEVEL OK !\n",
                     "wlan0 test OK.\n"):
            assert console.count(line) >= last.wlan_ping_recv, line
        assert "BIT RATE fail" not in console
        assert dut.error_log() == ""
    finally:
        ap.stop()
