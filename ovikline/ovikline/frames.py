"""Host link frames as bytes: 128-byte commands from the PC, 512-byte responses from the agent.

Every number is big-endian and both frames are packed, so some fields sit at odd offsets.
"""

import struct
from dataclasses import dataclass, field

COMMAND_SIZE = 128
RESPONSE_SIZE = 512
AGENT_PORT = 1033
PC_PORT = 1032

CMD_POLLING = 1
CMD_QUERY = 2
CMD_SET_PARAMETER = 3
CMD_START = 4
CMD_STOP = 5
CMD_DOWNLOAD = 6
CMD_DOWNLOAD_RESET = 7
CMD_DOWNLOAD_CHECK = 8
CMD_SAVE = 9
CMD_RESET = 0x3FFF
CMD_ALIVE_CHECK = 0x8000
CMD_DIAGNOSTIC = 0xC000

RSP_ALIVE = 0x8000
RSP_DIAG = 0xC000
ACK_BIT = 0x8000
NAK_BIT = 0x4000

STATUS_IDLE = 0
STATUS_RUNNING = 1
STATUS_FAIL = 2
STATUS_OK = 16
STATUS_DOWNLOAD = 32
STATUS_DOWNLOAD_FAIL = 48
STATUS_DOWNLOAD_OK = 256

ERR_SEQUENCE = 3
ERR_BAUD = 4
ERR_STATE = 5
ERR_RUN_FAILED = 6

FWR_SIZE = 16
ITEM_COUNT = 8
PORT_COUNT = 64


def encode_command(cmd, ser=0, baud=0, time=0, fail=0, fwr=b"", reserved=0):
    """One 128-byte command frame. fwr is bytes or text, at most 16 bytes, zero-filled."""
    if isinstance(fwr, str):
        fwr = fwr.encode()
    if len(fwr) > FWR_SIZE:
        raise ValueError(f"firmware name longer than {FWR_SIZE} bytes: {fwr!r}")
    frame = bytearray(COMMAND_SIZE)
    struct.pack_into(">HHHII", frame, 0, cmd, ser, reserved, baud, time)
    struct.pack_into(">H", frame, 27, fail)
    frame[29:29 + len(fwr)] = fwr
    return bytes(frame)


def encode_response(code, ser=0, serial=0, ip="0.0.0.0", softwareid=0, apid=0, status=0,
                    burntime=0, cycles=0, diagsent=0, items=()):
    """One 512-byte response frame as an agent sends it; items are (name, failures) pairs."""
    frame = bytearray(RESPONSE_SIZE)
    struct.pack_into(">HHI4sHIHHIIIII", frame, 0, code, ser, serial,
                     bytes(int(part) for part in ip.split(".")), softwareid, apid, status, 0,
                     burntime, 0, cycles, diagsent, 0)
    for i, (name, fail) in enumerate(items):
        struct.pack_into(">12sI", frame, 309 + 16 * i, name.encode(), fail)
    return bytes(frame)


def _text(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1")


@dataclass
class Item:
    name: str
    fail: int


@dataclass
class Response:
    code: int
    ser: int
    serial: int
    ip: str
    softwareid: int
    apid: int
    status: int
    error: int
    burntime: int
    reserved1: int
    cycles: int
    diagsent: int
    diagrecv: int
    datetime: tuple  # sec, min, hour, mday, mon (0-11), year - 1900
    reserved2: bytes
    portnum: int
    portfail: list
    items: list
    wlan_ping_sent: int
    wlan_ping_recv: int
    wlan_signal: int
    wlan_bitrate: int
    wlan0_ssid: str
    wlan0_channel: str
    wlan1_ssid: str
    wlan1_channel: str
    tail: bytes
    raw: bytes = field(repr=False)

    def describe(self):
        return (f"code=0x{self.code:04x} ser={self.ser} serial={self.serial} ip={self.ip} "
                f"status={self.status} error={self.error} burntime={self.burntime} "
                f"cycles={self.cycles} diagsent={self.diagsent} diagrecv={self.diagrecv}")


def decode_response(data):
    """Decodes a 512-byte response frame; ValueError for any other length."""
    if len(data) != RESPONSE_SIZE:
        raise ValueError(f"response frame of {len(data)} bytes, expected {RESPONSE_SIZE}")
    code, ser, serial = struct.unpack_from(">HHI", data, 0)
    ip = ".".join(str(b) for b in data[8:12])
    softwareid, apid, status, error = struct.unpack_from(">HIHH", data, 12)
    burntime, reserved1, cycles, diagsent, diagrecv = struct.unpack_from(">IIIII", data, 22)
    datetime = tuple(data[42:48])
    (portnum,) = struct.unpack_from(">H", data, 51)
    portfail = list(struct.unpack_from(f">{PORT_COUNT}I", data, 53))
    items = []
    for i in range(ITEM_COUNT):
        base = 309 + 16 * i
        items.append(Item(_text(data[base:base + 12]),
                          struct.unpack_from(">I", data, base + 12)[0]))
    wlan_ping_sent, wlan_ping_recv = struct.unpack_from(">II", data, 437)
    return Response(
        code=code, ser=ser, serial=serial, ip=ip, softwareid=softwareid, apid=apid,
        status=status, error=error, burntime=burntime, reserved1=reserved1, cycles=cycles,
        diagsent=diagsent, diagrecv=diagrecv, datetime=datetime, reserved2=bytes(data[48:51]),
        portnum=portnum, portfail=portfail, items=items, wlan_ping_sent=wlan_ping_sent,
        wlan_ping_recv=wlan_ping_recv, wlan_signal=data[445], wlan_bitrate=data[446],
        wlan0_ssid=_text(data[447:460]), wlan0_channel=_text(data[460:465]),
        wlan1_ssid=_text(data[465:478]), wlan1_channel=_text(data[478:483]),
        tail=bytes(data[483:512]), raw=bytes(data))
