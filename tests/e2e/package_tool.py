"""An independent reader and writer of the update package format, for tests.

A package is a run of entry records followed by an 8-byte trailer ("feof" and
the payload length, little-endian) at the very end of a file. A record is the
tag "file", a 16-bit unit count, the UTF-16LE name, three FILETIMEs
(creation, last access, last write) and one zlib stream.
"""
import struct
import zlib

EPOCH_OFFSET_100NS = 116444736000000000


def filetime_from_ns(ns):
    return ns // 100 + EPOCH_OFFSET_100NS


def ns_from_filetime(ft):
    return (ft - EPOCH_OFFSET_100NS) * 100


def encode_record(name, times, content, level=-1):
    units = name.encode("utf-16-le")
    return (b"file" + struct.pack("<H", len(units) // 2) + units +
            struct.pack("<QQQ", *times) + zlib.compress(content, level))


def encode_package(entries):
    """entries: list of (name, (creation, access, write), content)."""
    payload = b"".join(encode_record(*e) for e in entries)
    return payload + b"feof" + struct.pack("<I", len(payload))


class Entry:
    def __init__(self, offset, name, times, content, stream):
        self.offset, self.name, self.times = offset, name, times
        self.content, self.stream = content, stream


def parse_package(data):
    """Returns (payload_start, [Entry]) of the package ending `data`."""
    assert data[-8:-4] == b"feof", "no trailer"
    (length,) = struct.unpack("<I", data[-4:])
    start = len(data) - 8 - length
    pos, entries = start, []
    while True:
        tag = data[pos:pos + 4]
        if tag == b"feof":
            assert pos == len(data) - 8, "trailer met before the end"
            return start, entries
        assert tag == b"file", f"bad tag {tag!r} at {pos}"
        (count,) = struct.unpack_from("<H", data, pos + 4)
        name = data[pos + 6:pos + 6 + 2 * count].decode("utf-16-le")
        times = struct.unpack_from("<QQQ", data, pos + 6 + 2 * count)
        body = pos + 30 + 2 * count
        d = zlib.decompressobj()
        content = d.decompress(data[body:]) + d.flush()
        assert d.eof, "content stream does not end"
        end = len(data) - len(d.unused_data)
        entries.append(Entry(pos, name, times, content, data[body:end]))
        pos = end
