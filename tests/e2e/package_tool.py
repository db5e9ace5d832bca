"""An independent reader and writer of the update package format, for tests.

A package is a run of entry records followed by an 8-byte trailer ("feof" and
the payload length, little-endian) at the very end of a file. A "file" record
is the tag, a 16-bit unit count, the UTF-16LE name, three FILETIMEs (creation,
last access, last write) and one zlib stream. A delta ("dstr") has the old
file's name (none for its own), the old and new sizes and SHA-256s and the
lengths of its four streams (operations, the gaps and values of the
differences, literals) after the times ("dlzm": each stream LZMA, as
`lzma_stream` writes one); a removal ("gone") has the name and
the old file's size and SHA-256; a version label ("vers", first only) is a
name. What updatepkg writes starts with a check record ("chek" and the
SHA-256 of every payload byte after it; "chkc" where its streams are LZMA,
and its records' fields then framed compactly, as `Fields` reads them).
"""
import bisect
import hashlib
import ctypes
import ctypes.util
import lzma
import os
import struct
import zlib

LITERAL, COPY, DIFFERENCE, REFERENCES = 0, 1, 2, 3
# The opcode bytes whose ModRM byte may address RIP-relative (docs/format.md).
RIP_OPCODES = bytes.fromhex("030b10112328292b2e2f33393b5154575859"
                            "5c5e636f7f8081838587898b8db6b7bebfc6c7ff")

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
    end of the previous one; or the references operation, its prediction
    in place of a length."""
    zigzag = step << 1 if step >= 0 else -step * 2 - 1
    return varint(length << 2 | kind) + (varint(zigzag) if kind in (COPY, DIFFERENCE) else b"")


def read_varint(data, at):
    value = shift = 0
    while True:
        value, shift, at = value | (data[at] & 0x7F) << shift, shift + 7, at + 1
        if data[at - 1] < 0x80:
            return value, at


def delta_ops(ops):
    """A delta's operations as (kind, length, step) tuples."""
    at, listed = 0, []
    while at < len(ops):
        head, at = read_varint(ops, at)
        step = 0
        if head & 3 in (COPY, DIFFERENCE):
            step, at = read_varint(ops, at)
            step = step >> 1 if step % 2 == 0 else -(step + 1 >> 1)
        listed.append((head & 3, head >> 2, step))
    return listed


def reference_map(listed):
    """Where a patch's copies and differences of 4 KiB or more place the old
    file's bytes: (old start, old end, shift), cut not to overlap."""
    pieces, made, end = [], 0, 0
    for kind, length, step in listed:
        if kind in (COPY, DIFFERENCE):
            end += step
            if length >= 4096:
                pieces.append((end, made - end, end + length))
            end += length
        made += length if kind != REFERENCES else 0
    kept, last = [], 0
    for start, shift, stop in sorted(pieces):
        if max(start, last) < stop:
            kept.append((max(start, last), stop, shift))
            last = stop
    return kept


def predicted(old, start, length, new_start, pieces, prediction):
    """The old bytes of a difference with the references it predicts."""
    kinds, base, starts = prediction & 7, prediction >> 3 << 12, [p[0] for p in pieces]
    out, k, shift = bytearray(old[start:start + length]), 0, new_start - start

    def moved(target):
        i = bisect.bisect_right(starts, target) - 1
        return pieces[i][2] if i >= 0 and target < pieces[i][1] else None

    while k < length:
        at = start + k
        b = old[at:min(at + 8, start + length)]

        def displacement(after):
            if after + 4 > len(b):
                return None
            d = int.from_bytes(b[after:after + 4], "little", signed=True)
            m = moved(at + after + 4 + d) if 0 <= at + after + 4 + d < len(old) else None
            return None if m is None else (after, ((d + m - shift) & 0xFFFFFFFF).to_bytes(4, "little"))

        found = None
        if kinds & 4 and len(b) == 8 and at % 8 == 0:
            value = int.from_bytes(b, "little")
            target = value - base & (1 << 64) - 1
            m = moved(target) if 65536 <= target < len(old) else None
            found = m is not None and (0, (value + m & (1 << 64) - 1).to_bytes(8, "little"))
        if not found and kinds & 1 and len(b) >= 5:
            after = 1 if b[0] in (0xE8, 0xE9) else 2 if b[0] == 0x0F and b[1] & 0xF0 == 0x80 else 0
            found = after and displacement(after)
        if not found and kinds & 2 and len(b) >= 6 and b[1] & 0xC7 == 5 and b[0] in RIP_OPCODES:
            found = displacement(2)
        if found:
            out[k + found[0]:k + found[0] + len(found[1])] = found[1]
            k += found[0] + len(found[1])
        else:
            k += 1
    return out


RAW_DEFLATE, ZLIB, PNG = 0, 1, 2


def framed(deflated, chunk):
    """The bytes a PNG's zlib stream of `deflated` bytes takes in IDAT chunks."""
    return deflated + 12 * max(1, -(-deflated // chunk))


def deflate_map(olds, news):
    """The head of a patch in inflated form: olds as (at, packed, inflated,
    form), news as (at, deflated, inflated, form, settings[, chunk]), each at
    its place in its file."""
    out = bytearray(b"\3")
    for side, streams in enumerate((olds, news)):
        out += varint(len(streams))
        end = 0
        for s in streams:
            out += b"".join(map(varint, (s[0] - end,) + tuple(s[1:])))
            end = s[0] + (framed(s[1], s[5]) if side and s[3] == PNG else s[1])
    return bytes(out)


SAMPLED = 1 << 10  # in a new stream's settings: its sample form follows


def deflate_map_streams(ops):
    """The old and the new streams of the map after a patch's first byte
    (as `deflate_map` takes them, each at its step; a new one's chunk and
    sample form 0 where absent), and where it ends."""
    at, sides = 1, []
    for side in (0, 1):
        count, at = read_varint(ops, at)
        listed = []
        for _ in range(count):
            fields = []
            for i in range(7 if side else 4):
                value = 0
                if i < 5 or (i == 5 and fields[3] == PNG) or (i == 6 and fields[4] & SAMPLED):
                    value, at = read_varint(ops, at)
                fields.append(value)
            listed.append(fields)
        sides.append(listed)
    return sides, at


def inflated_delta(old, streams):
    """A patch in inflated form applied as docs/format.md says: the old
    file's streams inflated, the patch, the new file's streams deflated again
    with Python's zlib, a PNG's cut into IDAT chunks."""
    ops = streams[0]
    sides, at = deflate_map_streams(ops)
    form, end = bytearray(), 0
    for step, packed, inflated, kind in sides[0]:
        data = old[end + step:end + step + packed]
        if kind == PNG:
            joined, pos = b"", 0
            while pos < len(data):
                (length,), pos = struct.unpack(">I", data[pos:pos + 4]), pos + 8
                joined, pos = joined + data[pos:pos + length], pos + length + 4
            data = joined
        form += old[end:end + step] + zlib.decompress(data, -15 if kind == RAW_DEFLATE else 15)
        end += step + packed
    made = apply_delta(bytes(form + old[end:]), [ops[at:]] + list(streams[1:]))
    new, end = bytearray(), 0
    for step, deflated, inflated, kind, settings, chunk, samples in sides[1]:
        level, memory, strategy = settings & 15, (settings >> 4 & 3) + 8, settings >> 6 & 1
        bits = (settings >> 7 & 7) + 8
        assert memory < 10, "Info-ZIP's blocks: only the updater's zlib makes them"
        coder = zlib.compressobj(level, zlib.DEFLATED, -bits if kind == RAW_DEFLATE else bits,
                                 memory, zlib.Z_FILTERED if strategy else zlib.Z_DEFAULT_STRATEGY)
        raw = made[end + step:end + step + inflated]
        data = coder.compress(sum_samples(raw, samples) if samples else raw) + coder.flush()
        assert len(data) == deflated
        if kind == PNG:
            pieces = [data[i:i + chunk] for i in range(0, len(data), chunk)]
            data = b"".join(struct.pack(">I", len(p)) + b"IDAT" + p +
                            struct.pack(">I", zlib.crc32(b"IDAT" + p)) for p in pieces)
        new += made[end:end + step] + data
        end += step + inflated
    return bytes(new + made[end:])


def apply_delta(old, streams):
    """The new file a delta's four streams (as they decode) make from `old`,
    read as docs/format.md describes them, without the updater's code."""
    ops, gaps, values, literals = streams
    if ops[:1] == b"\3":
        return inflated_delta(old, streams)
    new, end, zeros, gap_at, value_at, literal_at = bytearray(), 0, None, 0, 0, 0
    listed = delta_ops(ops)
    pieces, prediction = None, None
    if listed and listed[0][0] == REFERENCES:
        pieces, prediction = reference_map(listed), listed.pop(0)[1]
    for kind, length, step in listed:
        assert kind != REFERENCES, "the references operation only first"
        if kind == LITERAL:
            new += literals[literal_at:literal_at + length]
            literal_at += length
            continue
        end += step
        piece = bytearray(old[end:end + length])
        if kind == DIFFERENCE and prediction:
            piece = predicted(old, end, length, len(new), pieces, prediction)
        for i in range(length) if kind == DIFFERENCE else ():
            if zeros is None and gap_at < len(gaps):
                zeros, gap_at = read_varint(gaps, gap_at)
            if zeros == 0:
                piece[i] = piece[i] + values[value_at] & 0xFF
                value_at, zeros = value_at + 1, None
            elif zeros is not None:
                zeros -= 1
        new += piece
        end += length
    assert (literal_at, value_at, gap_at) == tuple(map(len, (literals, values, gaps)))
    return bytes(new)


def lzma_literals(data, lc=3, lp=0, pb=2):
    """A raw LZMA stream of `data` as literals alone, no end marker: a
    second writer of the coding, beside the encoder the tools use."""
    out, probs = bytearray(), {}
    low, rng, cache, pending = 0, 0xFFFFFFFF, 0, 1

    def shift_low():
        nonlocal low, cache, pending
        if low < 0xFF000000 or low >= 1 << 32:
            carry, byte = low >> 32, cache
            for _ in range(pending):
                out.append((byte + carry) & 0xFF)
                byte = 0xFF
            pending, cache = 0, (low >> 24) & 0xFF
        pending += 1
        low = (low & 0x00FFFFFF) << 8

    def bit(key, value):
        nonlocal low, rng
        p = probs.get(key, 1024)
        bound = (rng >> 11) * p
        if value:
            low, rng, probs[key] = low + bound, rng - bound, p - (p >> 5)
        else:
            rng, probs[key] = bound, p + ((2048 - p) >> 5)
        while rng < 1 << 24:
            rng = (rng << 8) & 0xFFFFFFFF
            shift_low()

    previous = 0
    for at, byte in enumerate(data):
        bit(("match", at & ((1 << pb) - 1)), 0)  # the state stays 0 after literals
        context, symbol = ((at & ((1 << lp) - 1)) << lc) + (previous >> (8 - lc)), 1
        for i in range(7, -1, -1):
            bit(("literal", context, symbol), (byte >> i) & 1)
            symbol = symbol << 1 | (byte >> i) & 1
        previous = byte
    for _ in range(5):
        shift_low()
    return bytes(out)


def lzma_stream(data, lc=3, lp=0, pb=2, stored=False):
    """A delta's LZMA stream: the settings byte, the size and `lzma_literals`;
    or (`stored`) 0xFF, the size and the bytes."""
    if stored:
        return struct.pack("<BI", 0xFF, len(data)) + data
    props = (pb * 5 + lp) * 9 + lc
    return struct.pack("<BI", props, len(data)) + (lzma_literals(data, lc, lp, pb) if data else b"")


def decode_lzma_stream(stream, preset=b""):
    """liblzma's reading of a delta's LZMA stream (or its stored bytes); a
    "dlzo" record's literals with the old file as `preset`, through the
    largest window (64 MiB), which holds any old file they may follow."""
    props, size = struct.unpack_from("<BI", stream)
    if props == 0xFF:
        assert len(stream) == 5 + size, "a stored stream not its stated size"
        return stream[5:]
    window = (64 if preset else 16) << 20
    return decode_lzma(props, window, size, stream[5:], preset) if size else b""


def encode_delta(name, old, new, ops, differences=b"", literals=b"", old_name=None,
                 streams=None, times=(1, 2, 3), coded=zlib.compress):
    """A delta record that claims to make `new` from `old`, given its
    operations, its differences (coded here as gaps and values) and literals;
    `streams` replaces the four compressed streams; `coded=lzma_stream` makes
    it a "dlzm"."""
    gaps, values, zeros = bytearray(), bytearray(), 0
    for d in differences:  # as gaps of zeros before each value
        if d:
            gaps += varint(zeros)
            values.append(d)
        zeros = 0 if d else zeros + 1
    streams = streams or [coded(part) for part in
                          (b"".join(ops), bytes(gaps), bytes(values), literals)]
    tag = b"dstr" if coded is zlib.compress else b"dlzm"
    return (tag + encode_name(name) + struct.pack("<QQQ", *times) +
            encode_name(old_name or "") + struct.pack("<Q", len(old)) +
            hashlib.sha256(old).digest() + struct.pack("<Q", len(new)) +
            hashlib.sha256(new).digest() + struct.pack("<IIII", *map(len, streams)) +
            b"".join(streams))


def encode_delta_block(files, stored=False, tail=b"", settings=3):
    """A "dblk" record (framed plainly) of `files`, each (name, old name or
    None, old bytes, new bytes, its four streams as they decode); the block's
    four streams hold every file's part back to back, coded as literals by
    `lzma_literals` (lc 3, lp 0, pb 0) or `stored`, with `tail` after the
    literal stream (counted in its length) and `settings` said of them."""
    digest = lambda data: struct.pack("<Q", len(data)) + hashlib.sha256(data).digest()
    record = b"dblk" + struct.pack("<I", len(files))
    for name, old_name, old, new, parts in files:
        record += (encode_name(name) + struct.pack("<QQQB", 1, 2, 3, 0) + encode_name(old_name or "") +
                   digest(old) + digest(new) + struct.pack("<IIII", *map(len, parts)))
    streams = [b"".join(f[4][i] for f in files) for i in range(4)]
    streams = [data if stored or not data else lzma_literals(data, 3, 0, 0) for data in streams]
    streams[3] += tail
    for stream in streams:
        record += struct.pack("<BI", 0xFF if stored else settings, len(stream))
    return record + b"".join(streams)


def encode_alts(name, new, versions, patches, whole=b"", current_in=0, times=(1, 2, 3),
                tag=b"alts"):
    """An "alts" record (or `tag`: "alzm", "alzw") making `new`: `versions` of
    (old name, old bytes, releases, patch number), `patches` each four
    compressed streams, `whole` a stream of the file."""
    digest = lambda data: struct.pack("<Q", len(data)) + hashlib.sha256(data).digest()
    head = (tag + encode_name(name) + struct.pack("<QQQ", *times) + digest(new) +
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
    window = b""  # the end of the solid block read last, while a "solc" may follow


def read_name(data, pos):
    (count,) = struct.unpack_from("<H", data, pos)
    return data[pos + 2:pos + 2 + 2 * count].decode("utf-16-le"), pos + 2 + 2 * count


class Fields:
    """Reads record fields as a package frames them: plainly, or compactly
    after a "chkc" check record (every number a varint, an entry name as the
    units shared with the one before and the rest, times as zigzagged steps
    from the ones before)."""

    def __init__(self, data, compact):
        self.data, self.compact, self.last_name, self.last_times = data, compact, "", (0, 0, 0)
        self.last_old_name = ""
        self.removes = False  # the old name read last is removed by the update
        self.removed_old = []  # (name, size, SHA-256): removals deltas said, handed on last

    def number(self, pos, width):
        if not self.compact:
            return int.from_bytes(self.data[pos:pos + width], "little"), pos + width
        value, shift = 0, 0
        while True:
            byte = self.data[pos]
            value, shift, pos = value | (byte & 0x7F) << shift, shift + 7, pos + 1
            if byte < 0x80:
                assert value < 1 << 8 * width, "a varint past its width"
                return value, pos

    def name(self, pos):
        count, pos = self.number(pos, 2)
        return self.data[pos:pos + 2 * count].decode("utf-16-le"), pos + 2 * count

    def entry_name(self, pos):
        return self.prefixed(pos, "last_name")

    def old_name(self, pos):
        """A delta's old-name field: compactly after the old name before it,
        ending in as many of the entry name's last units as its tail says
        (none where it is empty: the file's own name), twice, plus one where
        the update removes the old name."""
        name, pos = self.prefixed(pos, "last_old_name")
        self.removes = False
        if not self.compact or not name:
            return name, pos
        tail, pos = self.number(pos, 2)
        self.removes, tail = bool(tail & 1), tail >> 1
        assert tail <= len(self.last_name), "a tail longer than the entry name"
        self.last_old_name += self.last_name[len(self.last_name) - tail:]
        return self.last_old_name, pos

    def prefixed(self, pos, last):
        """A name, compactly as the units it shares with the one kept in `last` and the rest."""
        if not self.compact:
            return self.name(pos)
        shared, pos = self.number(pos, 2)
        rest, pos = self.name(pos)
        assert shared <= len(getattr(self, last)), "more units shared than the last name has"
        setattr(self, last, getattr(self, last)[:shared] + rest)
        return getattr(self, last), pos

    def times(self, pos):
        times = []
        for before in self.last_times if self.compact else (0, 0, 0):
            value, pos = self.number(pos, 8)
            step = value >> 1 ^ -(value & 1) if self.compact else value
            times.append((before + step) % (1 << 64))
        self.last_times = tuple(times)
        return self.last_times, pos

    def named_times(self, pos):
        """A block's file's entry name and times, and where its other fields start."""
        name, pos = self.entry_name(pos)
        times, pos = self.times(pos)
        return name, times, pos

    def sized_hash(self, pos):
        size, pos = self.number(pos, 8)
        return size, self.data[pos:pos + 32], pos + 32

    def delta_header(self, pos):
        """A delta's old and new size and SHA-256 (compactly the new size one
        more, 0 for the old file moved: size and SHA-256 not again); where
        its next field starts. A delta whose old name the update removes
        keeps that removal for the end."""
        size, digest, pos = self.sized_hash(pos)
        if self.removes:
            self.removed_old.append((self.last_old_name, size, digest))
        self.moved = False
        if not self.compact:
            return self.sized_hash(pos)[2]
        new_size, after = self.number(pos, 8)
        self.moved = new_size == 0  # no streams: one copy of the whole old file
        self.moved_streams = [delta_op(COPY, size) if size else b"", b"", b"", b""]
        return after if self.moved else after + 32

    def stream_lengths(self, pos):
        """A delta's four stream lengths (a block's file's: the sizes its parts
        decode to; a moved file's: none), and where its next field starts."""
        lengths = [0, 0, 0, 0]
        for i in range(0 if self.moved else 4):
            lengths[i], pos = self.number(pos, 4)
        return lengths, pos


def decode_lzma(props, dictionary, size, stream, preset=b""):
    """liblzma's reading of a raw stream, as an .lzma file of known size, or
    (through ctypes: Python's module takes no preset) one whose window holds
    `preset` when it starts. Settings 0xFE: differences from the byte two
    before, coded with lc 0, lp 1 and pb 1."""
    if props == 0xFE:
        assert not preset, "sample differences coded after an old file"
        out = bytearray(decode_lzma((1 * 5 + 1) * 9, dictionary, size, stream))
        for i in range(2, len(out)):
            out[i] = (out[i] + out[i - 2]) & 0xFF
        return bytes(out)
    if not preset:
        header = struct.pack("<BIQ", props, dictionary, size)
        return lzma.LZMADecompressor(format=lzma.FORMAT_ALONE).decompress(header + stream)
    lib = ctypes.CDLL(ctypes.util.find_library("lzma"))

    class Options(ctypes.Structure):  # lzma_options_lzma, then room for its reserved fields
        _fields_ = [("dict_size", ctypes.c_uint32), ("preset_dict", ctypes.c_char_p),
                    ("preset_dict_size", ctypes.c_uint32), ("lc", ctypes.c_uint32),
                    ("lp", ctypes.c_uint32), ("pb", ctypes.c_uint32), ("rest", ctypes.c_byte * 256)]

    class Filter(ctypes.Structure):
        _fields_ = [("id", ctypes.c_uint64), ("options", ctypes.c_void_p)]

    class Stream(ctypes.Structure):  # lzma_stream, zeroed as LZMA_STREAM_INIT
        _fields_ = [("next_in", ctypes.c_char_p), ("avail_in", ctypes.c_size_t),
                    ("total_in", ctypes.c_uint64), ("next_out", ctypes.c_void_p),
                    ("avail_out", ctypes.c_size_t), ("total_out", ctypes.c_uint64),
                    ("rest", ctypes.c_byte * 256)]

    options = Options()
    assert lib.lzma_lzma_preset(ctypes.byref(options), 6) == 0
    options.dict_size, options.preset_dict, options.preset_dict_size = dictionary, preset, len(preset)
    options.lc, options.lp, options.pb = props % 9, props // 9 % 5, props // 45
    filters = (Filter * 2)((0x4000000000000001, ctypes.addressof(options)), (2**64 - 1, None))
    # Exactly `size` bytes: a stream without an end marker may decode a byte
    # more from its flushed last bytes (the updater checks its end instead).
    coder, out = Stream(), ctypes.create_string_buffer(size)
    assert lib.lzma_raw_decoder(ctypes.byref(coder), filters) == 0
    coder.next_in, coder.avail_in = stream, len(stream)
    coder.next_out, coder.avail_out = ctypes.addressof(out), size
    result = lib.lzma_code(ctypes.byref(coder), 0)
    lib.lzma_end(ctypes.byref(coder))
    assert result in (0, 1) and coder.total_out == size, f"liblzma: {result}, {coder.total_out} bytes"
    return out.raw[:size]


def parse_solid(fields, pos, entries):
    """Appends the files of the solid block at `pos` (their stream decoded
    by liblzma, each checked against its SHA-256; a "solc" block's after the
    end of the block before); returns the block's end."""
    data, members = fields.data, []
    count, body = fields.number(pos + 4, 4)
    for _ in range(count):
        name, times, body = fields.named_times(body)
        size, digest, body = fields.sized_hash(body)
        branches, body = fields.number(body, 1)
        coded, body = fields.number(body, 8) if branches in (2, 4) else (size, body)
        form, body = fields.number(body, 1) if branches == 3 else (0, body)
        if branches == 4:  # its map, as a delta's LZMA stream
            length, body = fields.number(body, 4)
            form, body = decode_lzma_stream(data[body:body + length]), body + length
        members.append((name, times, size, digest, branches, coded, form))
    props, body = fields.number(body, 1)
    dictionary, body = fields.number(body, 4)
    preset = b""
    if data[pos:pos + 4] == b"solc":
        size, body = fields.number(body, 4)
        assert 0 < size <= min(dictionary, len(entries.window)), "a preset past the window"
        preset = entries.window[-size:]
    packed, body = fields.number(body, 4)
    stream = data[body:body + packed]
    content = decode_lzma(props, dictionary, sum(m[5] for m in members), stream, preset)
    entries.window = (preset + content)[-dictionary:]
    at = 0
    for name, times, size, digest, branches, coded, form in members:
        part = content[at:at + coded]
        if branches == 4:  # deflated again by Python's zlib where it can
            made = b"\3" + form + delta_op(LITERAL, len(part))
            part = None if any(s[4] >> 4 & 3 == 2 for s in deflate_map_streams(made)[0][1]) else \
                inflated_delta(b"", [made, b"", b"", part])
        elif branches == 3:
            part = sum_samples(part, form)
        elif branches:
            part = join_branches(part, size)
        assert part is None or hashlib.sha256(part).digest() == digest, f"{name}: not its SHA-256"
        entries.append(Entry(pos, name, times, part, stream, kind="solid"))
        entries[-1].branches, entries[-1].form = branches, form  # form: a sound's, or the map
        at += coded
    assert at == len(content)
    return body + packed


def parse_delta_block(fields, pos, entries):
    """Appends the deltas of the block of deltas at `pos`, each with its
    parts of the block's four streams (decoded by liblzma); returns the
    block's end."""
    data, members = fields.data, []
    count, body = fields.number(pos + 4, 4)
    for _ in range(count):
        name, times, body = fields.named_times(body)
        choice, body = fields.number(body, 1)
        old_name, patches = None, 1
        if choice:  # as "alts" has it: the new file, its versions, the patches' lengths
            body = fields.number(fields.sized_hash(body)[2], 4)[1]
            versions, body = fields.number(body, 1)
            for _ in range(versions):
                body = fields.number(fields.sized_hash(fields.old_name(body)[1])[2], 4)[1]
                assert not fields.removes, "a version's removal in a choice of versions"
                body = fields.number(body, 1)[1]
            patches, body = fields.number(body, 1)
        else:
            old_name, body = fields.old_name(body)
            body = fields.delta_header(body)
        moved = fields.moved_streams if not choice and fields.moved else None
        sizes = [0, 0, 0, 0]
        for i in range(0 if moved else 4 * patches):
            size, body = fields.number(body, 4)
            sizes[i % 4] += size
        if choice:
            whole, body = fields.number(body, 4)
            assert whole == 0, "a whole file in a block of deltas"
        members.append((name, times, old_name, sizes, choice, moved))
    heads = []
    for _ in range(4):
        settings, body = fields.number(body, 1)
        length, body = fields.number(body, 4)
        heads.append((settings, length))
    streams, coded = [], data[body:body + sum(length for _, length in heads)]
    for i, (settings, length) in enumerate(heads):
        total = sum(m[3][i] for m in members)
        stream = data[body:body + length]
        if settings == 0xFF:
            assert length == total, "a stored stream not its stated size"
        streams.append(stream if settings == 0xFF or not total
                       else decode_lzma(settings, 16 << 20, total, stream))
        assert len(streams[-1]) == total, "a stream not the size of its parts"
        body += length
    at = [0, 0, 0, 0]
    for name, times, old_name, sizes, choice, moved in members:
        # A choice's parts are all its patches'; a moved file has none.
        parts = moved or [streams[i][at[i]:at[i] + sizes[i]] for i in range(4)]
        at = [a + n for a, n in zip(at, sizes)]
        entries.append(Entry(pos, name, times, parts, coded, "deltas" if choice else "delta",
                             old_name or name))
        entries[-1].settings = [settings for settings, _ in heads]
    return body


def sum_samples(data, form):
    """The sample filter undone: the file's bytes read as little-endian
    samples (16-bit where bit 4 of `form` is set, else bytes) of `form` %
    16 + 1 channels, each the difference from the one a frame before; an odd
    last byte of 16-bit samples is the low byte of a difference."""
    width, channels = 2 if form & 0x10 else 1, (form & 0xF) + 1
    step, mask, out = width * channels, (1 << 8 * width) - 1, bytearray(data)
    for at in range(step, len(out) - len(out) % width, width):
        value = int.from_bytes(out[at:at + width], "little") + int.from_bytes(
            out[at - step:at - step + width], "little")
        out[at:at + width] = (value & mask).to_bytes(width, "little")
    if len(out) % width and len(out) > step:
        out[-1] = (out[-1] + out[-1 - step]) & 0xFF
    return bytes(out)


SPLIT_PIECE = 4 << 20
ADDRESSING = {0x03, 0x0B, 0x23, 0x2B, 0x33, 0x39, 0x3B, 0x63, 0x85, 0x89, 0x8B, 0x8D, 0xFF}


def join_branches(data, size):
    """The split branch filter undone: each piece of 4 MiB of the file read
    as its count of candidates, a bit each (1: moved), the moved
    displacements as big-endian absolute targets, then the rest; at each
    candidate (E8, E9, 0F 8x, or ModRM 00 xxx 101 after a listed opcode,
    ending at least 4 bytes before the piece's end) with its bit set, the
    next target goes back in, relative to the byte after it."""
    out, at = bytearray(), 0
    while len(out) < size:
        piece = min(SPLIT_PIECE, size - len(out))
        count = int.from_bytes(data[at:at + 4], "little")
        assert count <= piece, "more candidates than bytes"
        bits = data[at + 4:at + 4 + (count + 7) // 8]
        at += 4 + len(bits)
        targets = sum(bin(b).count("1") for b in bits)
        table, at = data[at:at + 4 * targets], at + 4 * targets
        start, candidate, target, before = len(out), 0, 0, 0
        while len(out) - start < piece:
            byte = data[at]
            at += 1
            out.append(byte)
            made = len(out) - start
            if made + 4 <= piece and ((byte & 0xFE) == 0xE8 or
                                      (before == 0x0F and (byte & 0xF0) == 0x80) or
                                      ((byte & 0xC7) == 5 and before in ADDRESSING)):
                moved = bits[candidate // 8] >> (candidate % 8) & 1
                candidate += 1
                if moved:
                    value = int.from_bytes(table[4 * target:4 * target + 4], "big")
                    target += 1
                    out += ((value - len(out) - 4) & 0xFFFFFFFF).to_bytes(4, "little")
                    byte = out[-1]
            before = byte
        assert (candidate, target) == (count, targets), "candidates or targets left over"
    assert at == len(data), "bytes past the last piece"
    return bytes(out)


def solid_block():
    """A block our encoder made (the fuzzer's seed: .\\e empty, .\\a.txt and
    .\\d\\b.txt), and where its last file's SHA-256, its settings byte and
    its stream lie in it, and its files' bytes."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "corpus",
                           "solid"), "rb") as f:
        data = f.read()[:-8]
    body, total = 8, 0
    for _ in range(struct.unpack_from("<I", data, 4)[0]):
        body = read_name(data, body)[1] + 65
        total += struct.unpack_from("<Q", data, body - 41)[0]
    return data, {"hash": body - 33, "props": body, "stream": body + 9, "total": total}


def image_digest(data, size):
    """The SHA-256 of the program image `data[:size]`, less what signing a
    PE image rewrites: its checksum, certificate directory entry and table."""
    skipped = []
    if data[:2] == b"MZ":
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        optional = pe + 24
        directories = optional + (96 if data[optional:optional + 2] == b"\x0b\x01" else 112)
        skipped.append((optional + 64, 4))
        if struct.unpack_from("<I", data, directories - 4)[0] > 4:
            skipped.append((directories + 32, 8))
            skipped.append(struct.unpack_from("<II", data, directories + 32))
    kept, at = b"", 0
    for offset, length in sorted(skipped):
        kept += data[at:max(at, min(offset, size))]
        at = max(at, offset + length)
    return hashlib.sha256(kept + data[at:size]).digest()


def without_check(data):
    """`data` with its package's check records taken out, the trailer's
    length to match: the package as the updater's -l writes it."""
    (length,) = struct.unpack("<I", data[-4:])
    start = len(data) - 8 - length
    assert data[start:start + 4] == b"chek", "no check record"
    cut = 72 if data[start + 36:start + 40] == b"imag" else 36
    return data[:start] + data[start + cut:-4] + struct.pack("<I", length - cut)


def parse_package(data):
    """Returns (payload_start, Entries) of the package ending `data`. A delta's
    content is its four streams inflated, its stream everything after its
    old name; a removal's content is the old file's SHA-256."""
    assert data[-8:-4] == b"feof", "no trailer"
    (length,) = struct.unpack("<I", data[-4:])
    start = len(data) - 8 - length
    pos, entries = start, Entries()
    fields = Fields(data, data[pos:pos + 4] == b"chkc")
    if data[pos:pos + 4] in (b"chek", b"chkc"):  # the SHA-256 of every payload byte after it
        assert hashlib.sha256(data[pos + 36:-8]).digest() == data[pos + 4:pos + 36], "check"
        if data[pos + 36:pos + 40] == b"imag":  # and of the program before the package
            assert image_digest(data, pos) == data[pos + 40:pos + 72], "image check"
            pos += 36
        pos = start = pos + 36
    while True:
        tag = data[pos:pos + 4]
        if tag == b"feof":
            assert pos == len(data) - 8, "trailer met before the end"
            for name, size, digest in fields.removed_old:
                entries.append(Entry(pos, name, None, digest, size, kind="remove"))
            return start, entries
        if tag == b"vers" and pos == start:
            entries.label, pos = fields.name(pos + 4)
            continue
        if tag not in (b"sold", b"solc"):
            entries.window = b""  # what a "solc" block may start with
        if tag in (b"sold", b"solc", b"dblk"):
            pos = (parse_delta_block if tag == b"dblk" else parse_solid)(fields, pos, entries)
            continue
        assert tag in (b"file", b"dstr", b"dlzm", b"dlzo", b"gone"), f"bad tag {tag!r} at {pos}"
        name, body = fields.entry_name(pos + 4)
        if tag == b"gone":
            size, digest, body = fields.sized_hash(body)
            entries.append(Entry(pos, name, None, digest, size, kind="remove"))
            pos = body
            continue
        times, body = fields.times(body)
        if tag in (b"dstr", b"dlzm", b"dlzo"):
            old_name, body = fields.old_name(body)
            head = body
            body = fields.delta_header(body)
            lengths, body = fields.stream_lengths(body)
            header, streams = data[head:body], []
            decode = zlib.decompress if tag == b"dstr" else decode_lzma_stream
            for i, length in enumerate(lengths):  # "dlzo": its literals as they are coded
                stream = data[body:body + length]
                streams.append(stream if tag == b"dlzo" and i == 3 else decode(stream))
                body += length
            entries.append(Entry(pos, name, times, fields.moved_streams if fields.moved else streams,
                                 header + data[body - sum(lengths):body], "delta",
                                 old_name or name))
            coded = data[body - sum(lengths):body]  # each LZMA stream's settings byte
            entries[-1].settings = [coded[sum(lengths[:i])] if tag != b"dstr" and lengths[i]
                                    else None for i in range(4)]
            pos = body
            continue
        d = zlib.decompressobj()
        content = d.decompress(data[body:]) + d.flush()
        assert d.eof, "content stream does not end"
        end = len(data) - len(d.unused_data)
        entries.append(Entry(pos, name, times, content, data[body:end]))
        pos = end
