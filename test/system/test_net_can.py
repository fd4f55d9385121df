"""The CAN bus tests on SocketCAN (vxcan pairs, so only in the virtual test machine): the
one-port test against a responder node that answers right, with the wrong identifier, with
wrong data or not at all, a port that does not exist, and the two-port test with its ports
cabled to each other or to nothing."""

import re

import pytest

from ovikline import burnin, can

# A responder round: answer, wrong identifier, wrong data, silence (3 s); about 8 s a round.
DURATION = 12 + 2 * burnin.SLOW
OUTCOMES = {  # what the one-port test prints for each kind of answer
    can.ANSWER: "can0 test OK.\n",
    can.WRONG_ID: "DIE-[testCAN][3298] : Frame ID error. Receive can id: 301 \n",
    can.WRONG_DATA: "DIE-[testCAN][3307] : Frame data Error.\n",
    can.SILENT: "DIE-[testCAN][3271] : Frame time out!\n",
}
NO_CAN1 = "[testCAN][3247] : Error in socket bind.\n"
TWO_OK = "testTwoCAN OK!!\n"
TWO_FRAME = "frame_r.can_dlc = 8\n"
TWO_TIMEOUT = "[testTwoCAN][3408] : Select timeout!\n"
SCHEDULE = [can.WRONG_ID, can.ANSWER, can.WRONG_DATA, can.SILENT]


@pytest.fixture
def can_net(station_net):
    reason = can.missing()
    if reason:
        pytest.skip(reason)
    return station_net


def one_port_outcomes(console):
    """The one-port test's results on can0, in order, as responder schedule entries."""
    by_text = {text: mode for mode, text in OUTCOMES.items()}
    pattern = "|".join(re.escape(text) for text in OUTCOMES.values())
    return [by_text[m.group(0)] for m in re.finditer(pattern, console)]


def test_can_responder_answers_and_cabled_ports(can_net):
    net = can_net
    single = net.add_dut(bootenv={"serialnumber": "TB7001", "mm_flags": "0"},
                         config=burnin.config(extra="[can]\nTestCAN = y\nTestCAN2 = y\n"))
    node = can.Responder(net, can.add_bus(net, single, "can0"), SCHEDULE)
    cabled = net.add_dut(bootenv={"serialnumber": "TB7002", "mm_flags": "0"},
                         config=burnin.config(extra="[can]\nTestTwoCAN = y\n"))
    can.wire_ports(cabled, "can0", "can1")
    loose = net.add_dut(bootenv={"serialnumber": "TB7003", "mm_flags": "0"},
                        config=burnin.config(extra="[can]\nTestTwoCAN = y\n"))
    can.add_bus(net, loose, "can0")
    can.add_bus(net, loose, "can1")
    duts = (single, cabled, loose)
    try:
        for dut in duts:
            dut.start("-e")
        burns = [burnin.station_burn(net, dut, DURATION, index=i) for i, dut in enumerate(duts)]
        for burn in burns:
            burn.wait()
        for dut in duts:
            assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    finally:
        node.stop()

    # One port: each request gets what the responder gave it, in order; can1 does not exist.
    burn = burns[0]
    assert burn.run.returncode == 1
    cycles = burn.record["cycles"]
    assert cycles >= 4, burn.record
    console = single.console()
    outcomes = one_port_outcomes(console)
    assert outcomes == node.answered, (outcomes, node.answered)
    assert outcomes[:len(SCHEDULE)] == SCHEDULE, outcomes
    assert node.others == []
    failed = [mode for mode in outcomes if mode != can.ANSWER]
    items = burn.items()
    assert list(items) == ["CAN", "CAN2"], items
    assert len(failed) - 1 <= items["CAN"] <= len(failed), (items, outcomes)
    assert console.count("receive can id: 301\n") == outcomes.count(can.WRONG_ID)
    assert cycles <= items["CAN2"] <= cycles + 1, burn.record
    assert console.count("DIE-" + NO_CAN1) == len(outcomes)
    records = [message for _, message in single.error_records()]
    expected = sorted([OUTCOMES[mode][len("DIE-"):] for mode in failed]
                      + [NO_CAN1] * len(outcomes))
    assert sorted(records) == expected, records

    # Two ports cabled to each other: a frame each way, every cycle.
    burn = burns[1]
    assert burn.run.returncode == 0
    assert burn.items() == {"CAN0&CAN1": 0}
    console = cabled.console()
    # The host link's lines may fall between a cycle's lines; a cycle running at the stop may
    # have received one or both of its frames without reaching its verdict.
    passes = console.count(TWO_OK)
    assert passes >= burn.record["cycles"] >= 4, burn.record
    assert 2 * passes <= console.count(TWO_FRAME) <= 2 * passes + 2
    assert cabled.error_log() == ""

    # Two ports cabled to nothing: the first direction waits 3 s and fails, printed bare.
    burn = burns[2]
    assert burn.run.returncode == 1
    fails = burn.items()["CAN0&CAN1"]
    assert burn.record["cycles"] <= fails <= burn.record["cycles"] + 1, burn.record
    console = loose.console()
    assert fails <= console.count(TWO_TIMEOUT) <= fails + 1
    assert "DIE-" not in console and "frame_r.can_dlc" not in console
    records = [message for _, message in loose.error_records()]
    assert records == [TWO_TIMEOUT] * len(records)
    assert fails <= len(records) <= fails + 1
