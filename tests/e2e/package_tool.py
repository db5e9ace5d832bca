"""An independent reader and writer of the update package format, for tests.

A package is a run of entry records followed by an 8-byte trailer ("feof" and
the payload length, little-endian) at the very end of a file. A "file" record
is the tag, a 16-bit unit count, the UTF-16LE name, three FILETIMEs (creation,
last access, last write) and one zlib stream. A delta ("dstr") has the old
file's name (none for its own), the old and new sizes and SHA-256s and the
lengths of its four streams (operations, the gaps and values of the
differences, literals) after the times; a removal ("gone") has the name and
the old file's size and SHA-256; a version label ("vers", first only) is a
name.
"""
import hashlib
import lzma
import os
import struct
import zlib

LITERAL, COPY, DIFFERENCE = 0, 1, 2

EPOCH_OFFSET_100NS = 116444736000000000


def filetime_from_ns(ns):
    return ns // 100 + EPOCH_OFFSET_100NS


def ns_from_filetime(ft):
    return (ft - EPOCH_OFFSET_100NS) * 100


def encode_record(name, times, content, level=-1):
    units = name.encode("utf-16-le")
    return (b"file" + struct.pack("<H", len(units) // 2) + units +
            struct.pack("<QQQ", *times) + zlib.compress(content, level))


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    return bytes(out + bytes([v]))


def delta_op(kind, length, step=0):
    """One operation: a literal, or a copy or difference `step` bytes from the
    end of the previous one."""
    zigzag = step << 1 if step >= 0 else -step * 2 - 1
    return varint(length << 2 | kind) + (varint(zigzag) if kind != LITERAL else b"")


def encode_delta(name, old, new, ops, differences=b"", literals=b"", old_name=None,
                 streams=None, times=(1, 2, 3)):
    """A delta record that claims to make `new` from `old`, given its
    operations, its differences (coded here as gaps and values) and literals;
    `streams` replaces the four compressed streams."""
    gaps, values, zeros = bytearray(), bytearray(), 0
    for d in differences:  # as gaps of zeros before each value
        if d:
            gaps += varint(zeros)
            values.append(d)
        zeros = 0 if d else zeros + 1
    streams = streams or [zlib.compress(part) for part in
                          (b"".join(ops), bytes(gaps), bytes(values), literals)]
    return (b"dstr" + encode_name(name) + struct.pack("<QQQ", *times) +
            encode_name(old_name or "") + struct.pack("<Q", len(old)) +
            hashlib.sha256(old).digest() + struct.pack("<Q", len(new)) +
            hashlib.sha256(new).digest() + struct.pack("<IIII", *map(len, streams)) +
            b"".join(streams))


def encode_alts(name, new, versions, patches, whole=b"", current_in=0, times=(1, 2, 3)):
    """An "alts" record making `new`: `versions` of (old name, old bytes,
    releases, patch number), `patches` each four compressed streams, `whole`
    a zlib stream of the file."""
    digest = lambda data: struct.pack("<Q", len(data)) + hashlib.sha256(data).digest()
    head = (b"alts" + encode_name(name) + struct.pack("<QQQ", *times) + digest(new) +
            struct.pack("<IB", current_in, len(versions)))
    for old_name, old, releases, patch in versions:
        head += encode_name(old_name) + digest(old) + struct.pack("<IB", releases, patch)
    head += struct.pack("<B", len(patches)) + b"".join(
        struct.pack("<IIII", *map(len, p)) for p in patches) + struct.pack("<I", len(whole))
    return head + b"".join(b"".join(p) for p in patches) + whole


def encode_name(name):
    units = name.encode("utf-16-le")
    return struct.pack("<H", len(units) // 2) + units


def encode_package(entries):
    """entries: list of (name, (creation, access, write), content)."""
    payload = b"".join(encode_record(*e) for e in entries)
    return payload + b"feof" + struct.pack("<I", len(payload))


class Entry:
    def __init__(self, offset, name, times, content, stream, kind="file", old_name=None):
        self.offset, self.name, self.times = offset, name, times
        self.content, self.stream, self.kind, self.old_name = content, stream, kind, old_name


class Entries(list):
    label = None  # the version label the package starts with, if any


def read_name(data, pos):
    (count,) = struct.unpack_from("<H", data, pos)
    return data[pos + 2:pos + 2 + 2 * count].decode("utf-16-le"), pos + 2 + 2 * count


def decode_lzma(props, dictionary, size, stream):
    """liblzma's reading of a raw stream, as an .lzma file of known size."""
    header = struct.pack("<BIQ", props, dictionary, size)
    return lzma.LZMADecompressor(format=lzma.FORMAT_ALONE).decompress(header + stream)


def parse_solid(data, pos, entries):
    """Appends the files of the solid block at `pos` (their stream decoded
    by liblzma, each checked against its SHA-256); returns the block's end."""
    (count,), body, members = struct.unpack_from("<I", data, pos + 4), pos + 8, []
    for _ in range(count):
        name, body = read_name(data, body)
        times, (size,) = struct.unpack_from("<QQQ", data, body), struct.unpack_from("<Q", data, body + 24)
        members.append((name, times, size, data[body + 32:body + 64], data[body + 64]))
        body += 65
    props, dictionary, packed = struct.unpack_from("<BII", data, body)
    stream = data[body + 9:body + 9 + packed]
    content = decode_lzma(props, dictionary, sum(m[2] for m in members), stream)
    at = 0
    for name, times, size, digest, branches in members:
        part = content[at:at + size]
        if branches:
            part = unfilter_branches(part)
        assert hashlib.sha256(part).digest() == digest, f"{name}: not its SHA-256"
        entries.append(Entry(pos, name, times, part, stream, kind="solid"))
        entries[-1].branches = bool(branches)
        at += size
    assert at == len(content)
    return body + 9 + packed


def unfilter_branches(data):
    """The x86 branch filter undone: each CALL or JMP displacement (E8, E9)
    whose top byte is 00 or FF made relative again, 25 bits kept; the four
    bytes after such an opcode are never taken for one."""
    out, i = bytearray(data), 0
    while i + 5 <= len(out):
        if out[i] & 0xFE != 0xE8:
            i += 1
            continue
        if out[i + 4] in (0, 0xFF):
            v = (int.from_bytes(out[i + 1:i + 5], "little") - (i + 5)) & 0xFFFFFFFF
            v = v | 0xFF000000 if v & 0x01000000 else v & 0x00FFFFFF
            out[i + 1:i + 5] = v.to_bytes(4, "little")
        i += 5
    return bytes(out)


def solid_block():
    """A block our encoder made (the fuzzer's seed: .\\e empty, .\\a.txt and
    .\\d\\b.txt), and where its last file's SHA-256, its settings byte and
    its stream lie in it."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "corpus",
                           "solid"), "rb") as f:
        data = f.read()[:-8]
    body = 8
    for _ in range(struct.unpack_from("<I", data, 4)[0]):
        body = read_name(data, body)[1] + 65
    return data, {"hash": body - 33, "props": body, "stream": body + 9}


def parse_package(data):
    """Returns (payload_start, Entries) of the package ending `data`. A delta's
    content is its four streams inflated, its stream everything after its
    old name; a removal's content is the old file's SHA-256."""
    assert data[-8:-4] == b"feof", "no trailer"
    (length,) = struct.unpack("<I", data[-4:])
    start = len(data) - 8 - length
    pos, entries = start, Entries()
    while True:
        tag = data[pos:pos + 4]
        if tag == b"feof":
            assert pos == len(data) - 8, "trailer met before the end"
            return start, entries
        if tag == b"vers" and pos == start:
            entries.label, pos = read_name(data, pos + 4)
            continue
        if tag == b"sold":
            pos = parse_solid(data, pos, entries)
            continue
        assert tag in (b"file", b"dstr", b"gone"), f"bad tag {tag!r} at {pos}"
        name, body = read_name(data, pos + 4)
        if tag == b"gone":
            size, digest = struct.unpack_from("<Q", data, body)[0], data[body + 8:body + 40]
            entries.append(Entry(pos, name, None, digest, size, kind="remove"))
            pos = body + 40
            continue
        times = struct.unpack_from("<QQQ", data, body)
        body = body + 24
        if tag == b"dstr":
            old_name, body = read_name(data, body)
            lengths = struct.unpack_from("<IIII", data, body + 80)
            header, body, streams = data[body:body + 96], body + 96, []
            for length in lengths:
                streams.append(zlib.decompress(data[body:body + length]))
                body += length
            entries.append(Entry(pos, name, times, streams, header + data[body - sum(lengths):body],
                                 "delta", old_name or name))
            pos = body
            continue
        d = zlib.decompressobj()
        content = d.decompress(data[body:]) + d.flush()
        assert d.eof, "content stream does not end"
        end = len(data) - len(d.unused_data)
        entries.append(Entry(pos, name, times, content, data[body:end]))
        pos = end
