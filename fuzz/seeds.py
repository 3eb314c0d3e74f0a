#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the ordinary exchanges with a reader and the ordinary files:
the fuzzer starts from them and mutates. Run it again after changing the
input layout of a target (see the comment at the top of each fuzz_*.cpp).
"""
import hashlib
import os

HERE = os.path.dirname(os.path.abspath(__file__))
ESC, FS = b"\x1b", b"\x1c"

TRACK2 = b"222233021234567654321'44212038899913311"
TRACK3 = b"996888886543215533350201'123456700001003388999010000049120'0000000000'33333"

# reader target ----------------------------------------------------------
OPS = {"read": 0, "write": 1, "version": 2, "probe": 3, "openport": 4, "devinfo": 5}
MODES = {2: 0, 3: 1, 23: 2}


def reader(op, reply, mode=23, flags=0x30, a=b"", b=b""):
    head = bytes([OPS[op] | (MODES[mode] << 3), flags, len(a), len(b)])
    return head + a + b + reply


def status(text):
    return ESC + text


READER = [
    reader("read", b"s" + TRACK2 + b"A" + TRACK3 + b"?" + FS + status(b"Brp")),
    reader("read", b"s1234'5678?" + FS + status(b"rp"), mode=2),
    reader("read", b"sA5678?" + FS + status(b"Trp"), mode=3),
    reader("read", b"s12'34A5678?" + FS + status(b"Brp"), flags=0x31),  # trace on
    reader("read", b"\x00\x1bxy" + b"s12A34?" + FS + b"zz" + status(b"r\x00p")),
    reader("read", b"7"),
    reader("read", b"C", a=b"A"),
    reader("read", b"s" + TRACK2 + b"A" + TRACK3, flags=0x32),  # hang-up mid-reply
    reader("read", b"s12A34?" + FS + status(b"rs")),
    reader("write", status(b"Brp"), a=b"123", b=b"456"),
    reader("write", status(b"rp"), mode=2, a=b"12=34"),
    reader("write", status(b"rq"), mode=3, b=b"5678"),
    reader("write", b"ab" + status(b"rt"), a=b"1" * 100, b=b"2" * 93),
    reader("version", b"Ver5.13.2\r"),
    reader("version", b"\r"),
    reader("version", b"Ver3.2"),
    reader("probe", b"\xaa012" + b"01|A7-2506AB"),
    reader("probe", b"\xaa005" + b"01|A7"),
    reader("probe", b"X"),
    reader("openport", b"Ver3.1\r", a=b"A"),
    reader("openport", b"Ver5.13.2\r"),
    reader("devinfo", b"Ver5.13.2\r\xaa012" + b"01|A7-2506AB",
           a=b'{"RequestPort":"fuzzline","RequestBaudRate":"9600"}', b=b"xxxx"),
    reader("devinfo", b"Ver3.2\r", a=b'{"RequestPort":"fuzzline"}', b=b"xxxx"),
    reader("devinfo", b"Ver5.12.7\r", a=b'{"RequestPort":"fuzzline","RequestBaudRate":115200}',
           b=b"xxxxx"),
    reader("devinfo", b"Ver5.1\r\xaa009" + b"X|Y-25\"\\\x01", a=b'{"RequestPort":"fuzzline"}',
           b=b"xxxx"),
    reader("devinfo", b"", a=b'{"RequestPort":"3"}', b=b"x"),
]

# config target -----------------------------------------------------------
CONFIG = [
    b"DEVTRACE\nSwitch\n[DEVTRACE]\nSwitch=1\n",
    b"DEVTRACE\nSwitch\n[DEVTRACE]\r\nSwitch=1\r\n",
    b"DEVTRACE\nSwitch\n[OTHER]\nSwitch=0\n[DEVTRACE]\nNoSwitch=0\nSwitch=1\n",
    b"DEVTRACE\nSwitch\n[DEVTRACE] trailing\n#Switch=1\n//Switch=1\n #Switch=1\n",
    b"DEVTRACE\nSwitch\n [DEVTRACE]\nSwitch=1\n[LATER]\nSwitch=2\n",
    b"DEVTRACE\n\n[DEVTRACE]\nkey=a=b\nSwitch = 1\n",
    b"Section\nkey\n[Section]\nkey=value\nlast=no line end",
    b"DEVTRACE\nSwitch\n[DEVTRACE]\nSwitch=" + b"9" * 1100 + b"\n",
]

# reqjson target ----------------------------------------------------------
def req(field, text):
    return bytes([len(field)]) + field + text


REQJSON = [
    req(b"RequestPort", b'{"RequestPort":"ttyUSB0","RequestBaudRate":"9600"}'),
    req(b"RequestBaudRate", b'{"RequestPort":"3","RequestBaudRate":115200}'),
    req(b"RequestPort", b'{"RequestPort":"\\u4e32\\u53e3 \\"x\\"","n":[1,2,{"a":null}]}'),
    req(b"RequestPort", b'{"RequestPort":"' + "串口".encode() * 30 + b'"}'),
    req(b"RequestBaudRate", b'{"RequestBaudRate":-1.5e3}'),
    req(b"RequestPort", b'["RequestPort","x"]'),
    req(b"", b'{"":"empty name"}'),
    req(b"RequestPort", b'{"RequestPort":true}'),
    req(b"RequestPort", b'{"RequestPort":'),
]

# stripectl_args target: the arguments after the program name, NUL between.
def argv(*args):
    return b"\0".join(a.encode() for a in args)


STRIPECTL_ARGS = [
    argv(),
    argv("--help"),
    argv("help", "encode"),
    argv("--version"),
    argv("read", "--port", "pts/3", "--tracks", "2", "--json", "--quiet"),
    argv("read", "--port=/dev/ttyUSB0", "--baud", "115200", "--timeout", "0", "--ext-port"),
    argv("write", "--track2", "1234=5678", "--track3=", "--verify", "--tracks", "both"),
    argv("encode", "--start", "3", "--", "-cards.csv"),
    argv("info", "--json", "--port", "-x"),
    argv("reset", "extra"),
    argv("doctor", "--baud", "9601"),
    argv("ports", "--probe", "--port", "pts/1", "--json"),
    argv("read", "--track", "2", "--json=1", "-p"),
    argv("scan"),
]


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()[:16]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)


write("reader", READER)
write("config", CONFIG)
write("reqjson", REQJSON)
write("stripectl_args", STRIPECTL_ARGS)
