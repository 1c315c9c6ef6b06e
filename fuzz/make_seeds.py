#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/: a few
valid inputs of each, in the formats the harnesses read (see
fuzz_support.h for the datagram records). Run again after a format changes;
regression inputs that a fuzzer found are kept beside these."""
import gzip
import io
import os
import struct
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
DEV_ID = b"PT12345678"


def frame(cmd, payload, dev_id=DEV_ID):
    body = bytes([cmd]) + dev_id + payload
    length = len(payload) + 12
    return bytes([0x68]) + struct.pack("<H", length) + bytes([0x68]) + body + bytes([sum(body) & 0xFF, 0x03])


def record(datagram, flags=0):
    return bytes([flags]) + struct.pack("<H", len(datagram)) + datagram


def records(*datagrams):
    return b"".join(record(d) for d in datagrams)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def server_cmd():
    net = bytes([192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 1])
    write("fuzz_server_cmd", "power", records(frame(0x30, b"\x01")))
    write("fuzz_server_cmd", "net_param", records(frame(0x3F, net)))
    write("fuzz_server_cmd", "group_info", records(frame(0x45, b"\x08\x00\x02\x01\x05\x02\x06\x00")))
    write("fuzz_server_cmd", "version_and_url", records(frame(0x70, b""), frame(0x71, b"/upgrade/app.bin\x00")))
    write("fuzz_server_cmd", "broadcast", records(frame(0x83, bytes([1, 2, 0xE7, 0x0A, 5, 0x55, 0x20, 0x1F])),
                                                  frame(0x85, bytes([1, 2, 0, 0, 0, 0, 0, 0]))))


def announce():
    t = struct.pack("<I", 1765000000) + b"\x00" * 4
    write("fuzz_announce", "announce", records(frame(0x20, b"\x00\x00", t + b"\x00\x00")))
    write("fuzz_announce", "announce_ip", records(frame(0x29, b"\x00\x05", t + b"\x7f\x00")))
    write("fuzz_announce", "search", records(frame(0x81, b"")))
    login = b"super".ljust(16, b"\x00") + b"admin".ljust(16, b"\x00") + \
        bytes([192, 168, 1, 10, 255, 255, 255, 0, 192, 168, 1, 1])
    # The administrator's login ("super", "admin": the harness's password file).
    write("fuzz_announce", "login", records(frame(0x83, login)))


def cgi_channel():
    write("fuzz_cgi_channel", "requests", records(b"\x00", b"\x01\x02\x05", bytes([2]) + bytes(range(1, 17)),
                                                  b"\x04\x0a\x00\x01\x00\x00\x00\x00\x00"))
    write("fuzz_cgi_channel", "set_state", records(b"\x03" + bytes(32)))


def p2p():
    def link(id_, kind, port=9000):
        return frame(0xA1, bytes([id_, kind]) + struct.pack(">H", port))

    def data(payload):
        return frame(0xA0, bytes([0xFE]) + struct.pack(">H", len(payload)) + payload)

    def counted(payload):
        return bytes([len(payload)]) + payload

    block = b"\x1f\x8b" + bytes(30)
    begin = counted(bytes([0x22, 0x80, 1]) + struct.pack(">HHH", 0, len(block), 1))
    blk = counted(bytes([0x22, 0x81]) + struct.pack(">HH", 0, len(block)) + block)
    write("fuzz_p2p", "query", records(link(0xFE, 1), data(counted(b"\x21")), link(0xFE, 2)))
    write("fuzz_p2p", "probe", records(frame(0xA2, struct.pack(">H", 9000))))
    write("fuzz_p2p", "download", records(link(0xFE, 1), data(begin), data(blk), data(counted(b"\x22\x82"))))


def panel():
    def stuffed(payload):
        out = bytearray([0x7E])
        for b in payload:
            if b in (0x7E, 0x7D):
                out += bytes([0x7D, b ^ 0x40])
            else:
                out.append(b)
        return bytes(out + b"\x7e")

    write("fuzz_panel", "announce", stuffed(b"\x02\x80"))
    write("fuzz_panel", "keys", stuffed(b"\x04\x81\x03\x01") + stuffed(b"\x04\x81\x7e\x00") + stuffed(b"\x04\x82\x01\x7d"))


def player_event():
    def event(kind, value):
        return bytes([18]) + bytes(16) + bytes([kind, value])

    write("fuzz_player_event", "events", event(0, 0) + event(2, 5) + event(3, 0) + event(4, 0) + event(1, 0))
    write("fuzz_player_event", "short_and_eintr", bytes([17]) + bytes(17) + b"\xff" + event(2, 15))


def tgz(files):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, content in files:
            info = tarfile.TarInfo(name)
            if content is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
    return raw.getvalue()


def uimage(data):
    import zlib
    header = bytearray(struct.pack(">IIIIIIIBBBB32s", 0x27051956, 0, 0, len(data), 0x80008000, 0x80008000,
                                   zlib.crc32(data), 5, 2, 2, 0, b"fuzz"))
    struct.pack_into(">I", header, 4, zlib.crc32(bytes(header)))
    return bytes(header) + data


def package(entries):
    head = 16 + 16 * len(entries)
    descs = b""
    body = b""
    for kind0, kind1, version, data in entries:
        descs += struct.pack("<BBHIII", kind0, kind1, 0, version, len(data), head + len(body))
        body += data
    total = head + len(body)
    return b"nOrvaFiw" + struct.pack("<BBHI", len(entries), 0, 0, total) + descs + body


def upgrade():
    tar = tgz([("lpc3250/", None), ("lpc3250/paterm", b"\x7fELF"), ("lpc3250/www/index.html", b"<html>")])
    archive = gzip.compress(tar, mtime=0)
    image = uimage(b"kernel" * 20)
    write("fuzz_upgrade_pkg", "app_and_kernel", package([(0xA2, 0x50, 0x04060000, archive),
                                                          (0x50, 0x50, 0x04060000, image)]))
    write("fuzz_upgrade_pkg", "kernel_only", package([(0x50, 0x50, 0x04060000, image)]))
    write("fuzz_upgrade_image", "gzip_archive", b"\x00" + archive)
    write("fuzz_upgrade_image", "tar_archive", b"\x01" + tar)
    write("fuzz_upgrade_image", "kernel_image", b"\x00" + image)


def cgi_form():
    write("fuzz_cgi_form", "get", b"\x00\x00\x00auto_enabled=on&delay=10")
    write("fuzz_cgi_form", "post", b"\x01\x00\x00auto_enabled=off&delay=%2D5")
    body = (b"--XyZ\r\nContent-Disposition: form-data; name=\"delay\"\r\n\r\n70000\r\n"
            b"--XyZ\r\nContent-Disposition: form-data; name=\"auto_enabled\"\r\n\r\non\r\n--XyZ--\r\n")
    write("fuzz_cgi_form", "multipart", b"\x01\x01\x00" + body)


def mp3():
    write("fuzz_mp3_names", "names", b"\x0001song.mp3\n\x0102folder\n\x0003\xc4\xe3\xba\xc3\".mp3\n\x0004a\\b.mp3")
    write("fuzz_mp3_names", "gb2312", "你好 \"x\"".encode("gb2312"))
    # One MPEG-1 layer III frame header (128 kbit/s, 44.1 kHz) and silence, twice.
    mp3_frame = b"\xff\xfb\x90\x64" + bytes(413)
    write("fuzz_mp3_length", "frames", mp3_frame * 4)
    write("fuzz_mp3_length", "id3", b"ID3\x03\x00\x00\x00\x00\x00\x0a" + bytes(10) + mp3_frame * 2)


for make in (server_cmd, announce, cgi_channel, p2p, panel, player_event, upgrade, cgi_form, mp3):
    make()
