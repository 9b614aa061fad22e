#!/usr/bin/env python3
"""Writes the seed corpus of the two fuzz harnesses (tests/fuzz/corpus/).

Input formats are described in harnesses.h. Restore seeds named "ok-..." are
whole restores that the replay test expects to succeed; receiver seeds named
"capture-..." arrive while a capture is on. Run again after changing a seed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# The harness's own unit (restore_harness.cpp, kUnit): DE-1, 24 parameters,
# 3 effects, ROM "99/03/09 18:34".
STAMP = b"99/03/09 18:34".ljust(16, b"\0")
UNIT = bytes([2, 4, 0, 3, 7, 1, 2, 24, 3]) + STAMP
MAXIMA = [id % 40 + 1 for id in range(24)]  # as the harness defines them

ADOPT = 0x01
SAVE_CAPTURE, PARAM_CAPTURE, SWEEP, RELOADING, HEARD, WINDOW = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20


def packet(code, data=b""):
    data = bytes(data)
    return bytes([0xF1, len(data) + 3, code, len(data)]) + data + bytes([0xF2])


def chunks(*parts):
    out = b""
    for part in parts:
        assert len(part) <= 64
        out += bytes([len(part)]) + part
    return out


def config_file(unit=UNIT, names=None, custom=b"Living Room", values=None, effects=3, magic=0xAB871245):
    names = names or [b"Tape", b"Tuner", b"CD", b"Aux", b"TV", b"V-Disc", b"DVD", b"VCR"]
    total = unit[7]
    values = values if values is not None else [v // 2 for v in MAXIMA[:total]]
    header = struct.pack("<I", magic) + bytes(4) + unit + bytes(35)
    for name in names:
        header += name[:13].ljust(14, b"\0")
    header += custom[:20].ljust(21, b"\0") + bytes(3)
    assert len(header) == 204
    body = bytes([0x84, len(values)]) + bytes(values)
    for id in range(effects):
        params = bytes([id] + [id * 3 % 7] * (id + 2))
        body += bytes([0x87, len(params)]) + params
    return header + body


def restore_input(file, answers=b"", flags=0):
    return bytes([flags]) + struct.pack("<H", len(file)) + file + answers


def ack(code):
    return packet(0xE0, [code])


GOOD_ANSWERS = chunks(*([ack(0x2E)] * 8), ack(0x2C), ack(0x1E), packet(0x01))

RESTORE = {
    "ok-full": restore_input(config_file(), GOOD_ANSWERS),
    "ok-clamped": restore_input(config_file(values=[255] * 24), GOOD_ANSWERS),
    "ok-wrong-magic": restore_input(config_file(magic=0), GOOD_ANSWERS),
    "ok-long-names": restore_input(
        config_file(names=[b"ABCDEFGHIJKLMNOP"] * 8, custom=b"123456789012345678901"), GOOD_ANSWERS),
    "ok-other-unit-adopted": restore_input(
        config_file(unit=bytes([1, 2, 0, 1, 0, 1, 0, 5, 0]) + b"00/01/01 00:00".ljust(16, b"\0"),
                    values=[0, 1, 2, 3, 4], effects=0), GOOD_ANSWERS, ADOPT),
    "ok-with-chatter": restore_input(config_file(), chunks(
        *([packet(0x04, [3, 40]) + ack(0x2E)] * 8),
        packet(0x03, b"VOLUME -40".ljust(42, b" ")) + ack(0x2C), ack(0x1E), packet(0x01))),
    # Names padded with blanks, as units that send whole fields leave them.
    "ok-padded-names": restore_input(
        config_file(names=[b"Tape    ", b"Tuner   ", b"CD", b"Aux", b"TV", b"V-Disc", b"DVD", b"VCR     "],
                    custom=b"Living Room         "), GOOD_ANSWERS),
    # Name fields without a NUL anywhere, as only another writer would leave them.
    "ok-unterminated-names": restore_input(
        config_file()[:68] + b"N" * 112 + b"C" * 21 + b"R" * 3 + config_file()[204:], GOOD_ANSWERS),
    "short-header": restore_input(config_file()[:150], GOOD_ANSWERS),
    "short-values": restore_input(config_file()[:214], GOOD_ANSWERS),
    # Whole but for its last byte: refused like any cut file.
    "short-one-byte": restore_input(config_file()[:-1], GOOD_ANSWERS),
    # The effect records right after the header: no system parameter record.
    "no-system-record": restore_input(config_file()[:204] + config_file()[204 + 2 + 24:], GOOD_ANSWERS),
    "other-firmware": restore_input(
        config_file(unit=UNIT[:9] + b"99/03/09 18:35".ljust(16, b"\0")), GOOD_ANSWERS),
    "nak-custom-name": restore_input(
        config_file(), chunks(*([ack(0x2E)] * 8), packet(0xE1, [0x2C, 0x16]))),
    "no-wakeup": restore_input(config_file(), chunks(*([ack(0x2E)] * 8), ack(0x2C), ack(0x1E))),
    "silent-unit": restore_input(config_file()),
    "nak-values": restore_input(
        config_file(), chunks(*([ack(0x2E)] * 8), ack(0x2C), packet(0xE1, [0x1E, 0x12]))),
}

SYS_STATUS = packet(0x81, [45, 6, 2, 2, 1, 0, 0, 16, 16])
ZONE2 = packet(0x82, [40, 2, 0, 0, 16])
NAMES = [packet(0x8A, bytes([i]) + name + b"\0")
         for i, name in enumerate([b"Tape", b"Tuner   ", b"CD", b"Aux", b"TV", b"V-Disc", b"DVD", b"VCR"])]


def param_def(id, maximum, value, name):
    return packet(0x83, bytes([id, maximum, value]) + name + b"\0")


def effect_def(id, count, name):
    return packet(0x85, bytes([id, count]) + name + b"\0")


RECEIVER = {
    "sweep": bytes([SWEEP | HEARD]) + chunks(
        SYS_STATUS, ZONE2, packet(0x80, UNIT), packet(0x89, b"Living Room  \0"), *NAMES,
        packet(0x84, bytes(MAXIMA))),
    "download": bytes([SWEEP | RELOADING | HEARD]) + chunks(
        packet(0x80, UNIT),
        *[param_def(id, MAXIMA[id], 1, b"VOLUME" if id == 2 else b"PARAM_%d" % id) for id in range(24)],
        *[effect_def(id, id + 2, b"Effect %d" % id) for id in range(3)]),
    "split-and-noise": bytes([HEARD]) + chunks(
        b"\x00\x13", SYS_STATUS[:3], SYS_STATUS[3:], b"\xf1\x00", b"\xf1\x03\x16\x01\xf2",
        b"", ZONE2 + NAMES[1][:4], NAMES[1][4:], bytes(range(0x20, 0x40))),
    "unsolicited": bytes([HEARD]) + chunks(
        packet(0x04, [2, 50]), packet(0x04, [0, 7]), packet(0x03, b"  DVD  Dolby Digital".ljust(42, b" ")),
        packet(0x02), packet(0x01), packet(0xE1, [0x21, 0x12]), ack(0x21), packet(0x88, [1, 2, 3, 4])),
    "unsolicited-window-open": bytes([HEARD | WINDOW]) + chunks(
        packet(0x04, [2, 60]), effect_def(31, 4, b"Stadium"), effect_def(40, 1, b"A")),
    "timeout-prompts": bytes([SWEEP | HEARD]) + chunks(SYS_STATUS, b"", b"", b"", ack(0x16), b""),
    "ring-overflow": bytes([0]) + chunks(*([b"\xf1\xff" + bytes(62)] * 20), SYS_STATUS),
    "capture-save": bytes([SAVE_CAPTURE | SWEEP]) + chunks(
        packet(0x80, UNIT), NAMES[0], packet(0x87, [0, 1, 2, 3]), packet(0x04, [1, 1])),
    "capture-param": bytes([PARAM_CAPTURE]) + chunks(ack(0x1E), packet(0x01), packet(0xE1, [0x1E, 0x05])),
}


# Capture seeds (link/capture_file.h): "ok-..." are read, the rest refused.
CAPTURE_HEADER = (b'{"capture":"brennmark","format":1,"version":"1.02","product":"DE-1",'
                  b'"rom":"99/03/09 18:34","port":"/dev/pts/3","line":{"baud":19200,"data":8,'
                  b'"parity":"odd","stop":1,"flow":"none"},"timing":{"WritePacketAckWaitCount":10},'
                  b'"redacted":false}\n')


def cap_line(t, direction, data):
    return b'{"t":%.6f,"dir":"%s","hex":"%s"}\n' % (t, direction.encode(), data.hex().encode())


def cap_mark(t, kind, field, value):
    return b'{"t":%.6f,"mark":"%s","%s":"%s"}\n' % (t, kind.encode(), field.encode(), value.encode())


CAPTURE_OK = (CAPTURE_HEADER + cap_mark(0, "port", "state", "open") + cap_mark(0.0001, "op", "name", "start-up chain")
              + cap_line(0.001, "tx", packet(0x11)) + cap_line(0.01, "rx", packet(0xE0, [0x11])[:3])
              + cap_line(0.011, "rx", packet(0xE0, [0x11])[3:]) + cap_line(0.02, "tx", packet(0x16))
              + cap_line(0.03, "rx", b"\x55" + packet(0x81, bytes(9))) + cap_mark(0.5, "line", "state", "lost"))
CAPTURE = {
    "ok-start": CAPTURE_OK,
    "ok-gzip": __import__("gzip").compress(CAPTURE_OK, mtime=0),
    "ok-blank-lines-and-unknown-fields": CAPTURE_HEADER + b"\n" + cap_line(0, "tx", packet(0x16))[:-2]
    + b',"extra":[1,{"a":null}]}\n\n',
    "truncated-gzip": __import__("gzip").compress(CAPTURE_OK, mtime=0)[:60],
    "bad-hex": CAPTURE_HEADER + b'{"t":0,"dir":"tx","hex":"f1g3"}\n',
    "out-of-order": CAPTURE_HEADER + cap_line(0.5, "tx", packet(0x16)) + cap_line(0.4, "rx", packet(0x81)),
    "no-header": cap_line(0, "tx", packet(0x16)),
    "not-json": CAPTURE_HEADER + b"t=0 tx f1031600f2\n",
}


def write(area, seeds):
    folder = os.path.join(HERE, "corpus", area)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("restore", RESTORE)
    write("receiver", RECEIVER)
    write("capture", CAPTURE)
