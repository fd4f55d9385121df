"""CAN buses of simulated devices, in the virtual test machine (vxcan, can-raw):

    far = can.add_bus(net, dut, "can0")               # can0, its other end in PREFIX-wire
    node = can.Responder(net, far, [can.ANSWER, can.WRONG_ID, can.SILENT])
    can.wire_ports(dut, "can0", "can1")               # a cable between two ports of dut

A Responder is the node the one-port test expects on the bus: it answers every request
(identifier 0x200) as its schedule says, one entry per request, round and round, and keeps
what each request got. It is a thread of the test with a raw CAN socket in the wire namespace.
"""

import os
import shutil
import socket
import struct

from . import netns
from .ethernet import wire_namespace

CAN_FRAME = struct.Struct("=IB3x8s")  # struct can_frame: id, length, padding, data
REQUEST_ID = 0x200
ANSWER_ID = 0x300
COUNTING = bytes(range(8))

ANSWER = "answer"           # 0x300, data 0 to 7
WRONG_ID = "wrong id"       # 0x301, data 0 to 7
WRONG_DATA = "wrong data"   # 0x300, data 0, 1, 5, 3, ...
SILENT = "silent"           # no answer at all
ANSWERS = {ANSWER: (ANSWER_ID, COUNTING), WRONG_ID: (0x301, COUNTING),
           WRONG_DATA: (ANSWER_ID, bytes([0, 1, 5, 3, 4, 5, 6, 7]))}


def missing():
    """Why CAN buses cannot be simulated here, or None."""
    if os.environ.get("OVIK_VM") != "1":
        return ("needs SocketCAN (vxcan, can-raw): runs in the virtual test machine "
                "(ovikline vm)")
    if not hasattr(socket, "AF_CAN"):
        return "this Python has no CAN sockets"
    for module in ("vxcan", "can_raw"):
        if not os.path.isdir(f"/sys/module/{module}"):
            return f"the kernel module {module} is not loaded"
    if shutil.which("ip") is None:
        return "the tool ip is missing"
    return None


def _up(ns, *names):
    for name in names:
        netns.run(["ip", "-n", ns, "link", "set", name, "up"])


def add_bus(net, dut, ifname):
    """Gives dut the CAN port ifname whose bus ends in the wire namespace; returns the name of
    that end there (DUT-IFNAME)."""
    wire = wire_namespace(net)
    far = f"{dut.name}-{ifname}"
    netns.run(["ip", "-n", wire, "link", "add", far, "type", "vxcan",
               "peer", "name", ifname, "netns", dut.netns])
    _up(wire, far)
    _up(dut.netns, ifname)
    return far


def wire_ports(dut, first, second):
    """A cable between two CAN ports of the same device."""
    netns.run(["ip", "-n", dut.netns, "link", "add", first, "type", "vxcan",
               "peer", "name", second])
    _up(dut.netns, first, second)


class Responder(netns.SocketResponder):
    def __init__(self, net, far, schedule=(ANSWER,)):
        self.schedule = list(schedule)
        self.answered = []  # per request, the schedule entry it got
        self.others = []    # identifiers of any other frames on the bus
        sock = netns.socket_in(wire_namespace(net), socket.SOCK_RAW, family=socket.AF_CAN,
                               proto=socket.CAN_RAW)
        net.sockets.append(sock)
        sock.bind((far,))
        super().__init__(sock, f"can-{far}")

    def answer(self, data, address):
        can_id, _, _ = CAN_FRAME.unpack(data[:CAN_FRAME.size])
        if can_id != REQUEST_ID:
            self.others.append(can_id)
            return
        mode = self.schedule[len(self.answered) % len(self.schedule)]
        if mode in ANSWERS:
            answer_id, payload = ANSWERS[mode]
            self.sock.send(CAN_FRAME.pack(answer_id, len(payload), payload))
        self.answered.append(mode)
