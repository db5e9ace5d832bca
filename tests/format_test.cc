#include "package/format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstring>

#include "package/content_stream.h"
#include "package/delta.h"
#include "package/package_index.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

const EntryTimes kTimes{0x0102030405060708, 0x1112131415161718, 0x2122232425262728};

Bytes WriteWith(const ScratchDir& dir, void (*write)(PackageOut&)) {
  platform::File file = OpenOrClosed(dir.Wide("pkg"), "wb");
  PackageOut out{&file, 0};
  write(out);
  EXPECT_TRUE(file.Close());
  return ReadAll(dir.path() / "pkg");
}

platform::File OpenBytes(const ScratchDir& dir, const Bytes& bytes) {
  WriteAll(dir.path() / "in", bytes);
  return OpenOrClosed(dir.Wide("in"), "rb");
}

TEST(FormatTest, EntryHeaderMatchesTheWorkedExample) {
  ScratchDir dir;
  Bytes got = WriteWith(
      dir, [](PackageOut& out) { ASSERT_TRUE(WriteEntryHeader(out, u".\\data2.dat", kTimes)); });
  Bytes want = {0x66, 0x69, 0x6C, 0x65, 0x0B, 0x00, 0x2E, 0x00, 0x5C, 0x00, 0x64, 0x00, 0x61,
                0x00, 0x74, 0x00, 0x61, 0x00, 0x32, 0x00, 0x2E, 0x00, 0x64, 0x00, 0x61, 0x00,
                0x74, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x18, 0x17, 0x16,
                0x15, 0x14, 0x13, 0x12, 0x11, 0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21};
  EXPECT_EQ(got, want);
}

TEST(FormatTest, ReadEntryNameCases) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::optional<WString> name;
  } cases[] = {
      {"empty name", {0x00, 0x00}, WString()},
      {"zero units dropped", {0x03, 0x00, 'a', 0, 0, 0, 'b', 0}, WString(u"ab")},
      {"only zero units", {0x02, 0x00, 0, 0, 0, 0}, WString()},
      {"ends after one length byte", {0x03}, std::nullopt},
      {"ends inside the name", {0x03, 0x00, 'a', 0, 'b'}, std::nullopt},
      {"nothing at all", {}, std::nullopt},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    platform::File in = OpenBytes(dir, c.bytes);
    EXPECT_EQ(ReadEntryName(in), c.name) << c.what;
  }
}

// Compact framing: each field after the one before it (the worked example
// is the second name and times; old names after the old name before and
// ending as the entry name, the file's own as none, and a moved file's new
// size and SHA-256 as a 0), and what a reader refuses.
TEST(FormatTest, CompactFramingCases) {
  ScratchDir dir;
  Bytes got = WriteWith(dir, [](PackageOut& out) {
    static Framing framing;
    framing.compact = true;
    out.framing = &framing;
    const EntryTimes earlier{kTimes.creation - 1, kTimes.last_access, kTimes.last_write + 64};
    ASSERT_TRUE(WriteEntryHeader(out, u".\\d\\b.dat", kTimes, kDeltaLzmaTag));
    ASSERT_TRUE(WriteEntryHeader(out, u".\\d\\c", earlier, kDeltaLzmaTag));
    ASSERT_TRUE(WriteNumber(out, 300, 2) && WriteNumber(out, ~uint64_t{0}, 8));
    ASSERT_TRUE(WriteOldName(out, u".\\d\\c", u".\\o\\c") &&
                WriteOldName(out, u".\\d\\e", u".\\o\\e", true) && WriteOldName(out, u"e", u"e") &&
                !WriteOldName(out, u"e", u"e", true));
    ASSERT_TRUE(WriteDeltaHeader(out, {5, {7}, 5, {7}}) && WriteDeltaHeader(out, {5, {7}, 6, {8}}));
  });
  Bytes second = {'d', 'l', 'z', 'm', 0x04, 0x01, 'c', 0x00, 0x01, 0x00, 0x80, 0x01};
  Bytes numbers = {0xAC, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  Bytes old_names = {0, 3, '.', 0, '\\', 0, 'o', 0, 4, 4, 0, 3, 0, 0};
  Bytes headers = Joined({{5, 7}, Bytes(31, 0), {0, 5, 7}, Bytes(31, 0), {7, 8}, Bytes(31, 0)});
  const size_t tail = numbers.size() + old_names.size() + headers.size();
  ASSERT_GE(got.size(), second.size() + tail);
  EXPECT_EQ(Bytes(got.end() - 12 - tail, got.end() - tail), second);
  EXPECT_EQ(Bytes(got.end() - tail, got.end()), Joined({numbers, old_names, headers}));
  {
    platform::File in = OpenBytes(dir, got);
    Framing framing;
    framing.compact = true;
    for (const char16_t* name : {u".\\d\\b.dat", u".\\d\\c"}) {
      ASSERT_TRUE(in.Seek(4, SEEK_CUR));
      EXPECT_EQ(ReadPrefixedName(in, framing, framing.name), WString(name));
      EXPECT_TRUE(ReadEntryTimes(in, framing));
    }
    EXPECT_EQ(framing.times.creation, kTimes.creation - 1);
    EXPECT_EQ(framing.times.last_write, kTimes.last_write + 64);
    EXPECT_EQ(ReadNumber(in, 2, &framing), 300u);
    EXPECT_EQ(ReadNumber(in, 8, &framing), ~uint64_t{0});
    for (const char16_t* name : {u".\\d\\c", u".\\d\\e", u"e"}) {
      bool removes = true;
      std::optional<WString> old_name = ReadOldName(in, framing, name, removes);
      EXPECT_EQ(old_name, WString(name[1] ? u".\\o" : u"") + (name[1] ? name + 3 : u""));
      EXPECT_EQ(removes, name[1] && name[4] == 'e');
    }
    for (uint64_t new_size : {5, 6}) {
      std::optional<DeltaHeader> header = ReadDeltaHeader(in, &framing);
      ASSERT_TRUE(header);
      EXPECT_EQ(header->new_size, new_size);
      EXPECT_EQ(header->new_hash[0], new_size == 5 ? 7 : 8);
    }
  }
  struct Case {
    const char* what;
    Bytes bytes;
    int width;  // 0: a record name after ".\\d"; -1: an old name after it, of ".\\d"
    std::optional<uint64_t> number;
  } cases[] = {
      {"a varint past its width", {0x80, 0x02}, 1, std::nullopt},
      {"the widest that fits", {0xFF, 0x01}, 1, 255},
      {"past 64 bits",
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
       8,
       std::nullopt},
      {"eleven bytes", Bytes(10, 0x80), 8, std::nullopt},
      {"cut inside", {0x80}, 4, std::nullopt},
      {"more units shared than the last name has", {0x04, 0x01, 'a', 0x00}, 0, std::nullopt},
      {"all it has", {0x03, 0x01, 'a', 0x00}, 0, 4},
      {"ending in more than the entry name", {0x00, 0x01, 'a', 0x00, 0x08}, -1, std::nullopt},
      {"ending in all of it, removed", {0x00, 0x01, 'a', 0x00, 0x07}, -1, 4},
  };
  for (const Case& c : cases) {
    platform::File in = OpenBytes(dir, c.bytes);
    Framing framing;
    framing.compact = true;
    framing.name = framing.old_name = u".\\d";
    if (c.width > 0) {
      EXPECT_EQ(ReadNumber(in, c.width, &framing), c.number) << c.what;
    } else {
      bool removes = false;
      std::optional<WString> name = c.width < 0 ? ReadOldName(in, framing, framing.name, removes)
                                                : ReadPrefixedName(in, framing, framing.name);
      EXPECT_EQ(name ? std::optional<uint64_t>(name->size()) : std::nullopt, c.number) << c.what;
    }
  }
}

// A moved file's delta (no streams) says its old name's removal: handed on
// last; a name removed twice, or a removal said by "alzm", is refused.
TEST(FormatTest, RemovalsThatDeltasSayComeLast) {
  enum Shape { kDelta, kDeltaAndGone, kChoice };
  const struct {
    Shape shape;
    const char* kinds;  // handed on: d a delta, r a removal
    Cause cause;
  } cases[] = {{kDelta, "dr", Cause::kNone},
               {kDeltaAndGone, "dr", Cause::kDuplicateName},
               {kChoice, "", Cause::kBadStream}};
  static Shape shape;
  for (const auto& c : cases) {
    shape = c.shape;
    ScratchDir dir;
    Bytes got = WriteWith(dir, [](PackageOut& out) {
      static Framing framing;
      framing = Framing();
      framing.compact = true;
      out.framing = &framing;
      const uint8_t zeros[32] = {};
      const char16_t* name = u".\\new.dat";
      const bool choice = shape == kChoice;  // the new file, no release holding it, one version
      ASSERT_TRUE(WriteToPackage(out, kCompactCheckTag, 4) && WriteToPackage(out, zeros, 32) &&
                  WriteEntryHeader(out, name, kTimes, choice ? kChoiceLzmaTag : kDeltaLzmaTag) &&
                  (!choice || (WriteNumber(out, 6, 8) && WriteToPackage(out, zeros, 32) &&
                               WriteNumber(out, 0, 4) && WriteNumber(out, 1, 1))) &&
                  WriteOldName(out, name, u".\\old.dat", true));
      const uint64_t fields[] = {5, 1, 0, 1, 0, 0, 0, 0, 0};  // one patch of no bytes
      for (size_t i = 0; choice && i < 9; ++i) {
        ASSERT_TRUE(WriteNumber(out, fields[i], 4) && (i > 0 || WriteToPackage(out, zeros, 32)));
      }
      ASSERT_TRUE(choice || WriteDeltaHeader(out, {5, {7}, 5, {7}}));
      ASSERT_TRUE(shape != kDeltaAndGone || WriteRemovalRecord(out, u".\\old.dat", 5, {7}));
      ASSERT_TRUE(WritePackageTrailer(out, static_cast<uint32_t>(out.size)));
    });
    platform::File in = OpenBytes(dir, got);
    ASSERT_TRUE(in.Seek(36, SEEK_SET));  // past the check, as its readers start
    RecordReader reader(in, static_cast<int64_t>(got.size()) - 8, u".\\");
    std::string kinds;
    for (Record record; reader.Next(record);) {
      kinds += record.is_delta() ? 'd' : 'r';
      EXPECT_EQ(record.stream_lengths[0], 0u);
      EXPECT_EQ(record.is_delta() ? record.delta.new_size : record.delta.old_size, 5u);
      EXPECT_EQ(record.is_delta() ? record.old_name : record.name, u".\\old.dat");
    }
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(reader.failure().cause, c.cause) << c.shape;
  }
}

Bytes Trailer(uint32_t length) {
  Bytes out = {'f', 'e', 'o', 'f'};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  return out;
}

// A PE32 image followed by `tail`, zero padding to 8 bytes and a
// certificate table whose recorded size is off by `size_error`.
Bytes SignedImage(const Bytes& tail, int size_error) {
  Bytes image(0x40 + 24 + 96 + 16 * 8, 0);
  image[0] = 'M', image[1] = 'Z', image[0x3C] = 0x40;
  std::memcpy(&image[0x40], "PE\0\0", 4);
  image[0x40 + 24] = 0x0B, image[0x40 + 25] = 0x01;  // PE32
  image[0x40 + 24 + 92] = 16;                        // data directories
  image = Joined({image, tail});
  image.resize((image.size() + 7) / 8 * 8, 0);
  uint32_t table = static_cast<uint32_t>(image.size()), size = 16 + size_error;
  for (int i = 0; i < 4; ++i) {
    image[0x40 + 24 + 96 + 32 + i] = static_cast<uint8_t>(table >> (8 * i));
    image[0x40 + 24 + 96 + 36 + i] = static_cast<uint8_t>(size >> (8 * i));
  }
  image.insert(image.end(), 16, 0x5A);
  return image;
}

#ifndef _WIN32
// The first 100 bytes of a 64-bit ELF program whose two program headers
// (56 bytes each) start at byte 64.
Bytes CutElf() {
  Bytes elf(100, 0);
  const uint8_t ident[] = {0x7f, 'E', 'L', 'F', 2, 1, 1};
  std::copy(std::begin(ident), std::end(ident), elf.begin());
  elf[0x20] = 64;  // e_phoff
  elf[0x36] = 56;  // e_phentsize
  elf[0x38] = 2;   // e_phnum
  return elf;
}
#endif

TEST(FormatTest, LocatePayloadCases) {
  Bytes prefix = PatternBytes(100, false);
  Bytes records = Bytes(40, 0xAB);
  struct Case {
    const char* what;
    Bytes file;
    LocateResult result;
    int64_t position;  // where the stream stands when found
  } cases[] = {
      {"empty file", {}, LocateResult::kNoPackage, 0},
      {"shorter than a trailer", {'f', 'e', 'o', 'f', 0, 0, 0}, LocateResult::kNoPackage, 0},
      {"no trailer tag", prefix, LocateResult::kNoPackage, 0},
      {"trailer alone", Trailer(0), LocateResult::kFound, 0},
      {"empty package after a prefix", Joined({prefix, Trailer(0)}), LocateResult::kFound, 100},
      {"records", Joined({prefix, records, Trailer(40)}), LocateResult::kFound, 100},
      {"appended twice: the last one counts",
       Joined({prefix, records, Trailer(40), records, Trailer(40)}), LocateResult::kFound, 148},
      {"length before the file", Joined({records, Trailer(41)}), LocateResult::kDamaged, 0},
      {"length above the format", Joined({records, Trailer(0x80000000u)}), LocateResult::kDamaged,
       0},
      {"length of all ones", Joined({records, Trailer(0xFFFFFFFFu)}), LocateResult::kDamaged, 0},
      {"signed image", SignedImage(Joined({records, Trailer(40)}), 0), LocateResult::kFound, 312},
      {"signed, padded", SignedImage(Joined({Bytes(37, 0xAB), Trailer(37)}), 0),
       LocateResult::kFound, 312},
      // Read as unsigned: then bytes follow the image with no trailer after them.
      {"signed, table size off by one", SignedImage(Joined({records, Trailer(40)}), -1),
       LocateResult::kCut, 0},
      {"an image with nothing after it", SignedImage({}, 0), LocateResult::kNoPackage, 0},
#ifndef _WIN32
      // A download of a Linux program cut inside its program header table.
      {"an ELF image cut in its header table", CutElf(), LocateResult::kCut, 0},
#endif
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    platform::File in = OpenBytes(dir, c.file);
    int64_t end = -1;
    EXPECT_EQ(LocatePayload(in, &end), c.result) << c.what;
    if (c.result == LocateResult::kFound) {
      EXPECT_EQ(in.Tell(), c.position) << c.what;
      EXPECT_EQ(end - c.position, static_cast<int64_t>(c.file[end + 4])) << c.what;
    }
  }
}

TEST(FormatTest, PackageOutRefusesToReachTwoGigabytes) {
  ScratchDir dir;
  platform::File file = OpenOrClosed(dir.Wide("pkg"), "wb");
  PackageOut out{&file, kMaxPackageFileSize - 4};
  EXPECT_TRUE(WriteToPackage(out, "abcd", 4));
  EXPECT_FALSE(WriteToPackage(out, "e", 1));
  EXPECT_TRUE(out.too_large);
  EXPECT_FALSE(out.write_failed);
}

Bytes Op(SplitOp kind, uint64_t length, int64_t step = 0) {
  Bytes ops;
  AppendSplitOp(ops, kind, length, step);
  return ops;
}
constexpr SplitOp kCopy = SplitOp::kCopy, kLiteral = SplitOp::kLiteral,
                  kDifference = SplitOp::kDifference;

// Operation streams fed whole and byte by byte, against an old file of 10
// bytes and a new file of 6: only streams that stay inside the old file and
// make exactly the new size are complete.
TEST(FormatTest, DeltaOperationsStayInsideTheOldFileAndMakeTheNewSize) {
  struct Case {
    const char* what;
    Bytes ops;
    const char* made;  // when complete: old bytes "0123456789", literals "xyz...",
                       // differences of 1
  } cases[] = {
      {"copy, literal, difference back",
       Joined({Op(kCopy, 4, 6), Op(kLiteral, 1), Op(kDifference, 1, -9)}), "6789x2"},
      {"copy past the old file's end", Joined({Op(kCopy, 4, 7), Op(kLiteral, 2)}), nullptr},
      {"difference past the old file's end", Joined({Op(kDifference, 6, 5)}), nullptr},
      {"step back before the start", Joined({Op(kCopy, 2, 2), Op(kCopy, 4, -5)}), nullptr},
      {"zero length", Joined({Op(kCopy, 0), Op(kCopy, 6)}), nullptr},
      {"more than the new size", Joined({Op(kLiteral, 6), Op(kLiteral, 1)}), nullptr},
      {"less than the new size", Op(kLiteral, 3), nullptr},
      {"the refused kind 3", Bytes{6 << 2 | 3, 0}, nullptr},
      {"cut before a copy's step", Bytes{6 << 2 | 1}, nullptr},
      {"length varint of eleven bytes", Bytes(10, 0xFF), nullptr},
      {"length beyond 64 bits", Joined({Bytes(9, 0xFF), {0x02}}), nullptr},
      {"huge step", Joined({{0x19}, Bytes(9, 0xFF), {0x01}}), nullptr},
  };
  for (const Case& c : cases) {
    for (size_t piece : {c.ops.size(), size_t{1}}) {
      struct Made : DeltaSink {
        std::string bytes;
        char next_literal = 'x';
        bool Copy(uint64_t offset, uint64_t length) override {
          bytes.append(std::string("0123456789"), offset, static_cast<size_t>(length));
          return true;
        }
        bool Literal(uint64_t length) override {
          while (length-- > 0) bytes += next_literal++;
          return true;
        }
        bool Difference(uint64_t offset, uint64_t length) override {
          for (uint64_t i = 0; i < length; ++i) bytes += static_cast<char>('0' + offset + i + 1);
          return true;
        }
      } made;
      DeltaOps ops(10, 6, made);
      bool fed = true;
      for (size_t at = 0; fed && at < c.ops.size(); at += piece) {
        fed = ops.Feed(c.ops.data() + at, std::min(piece, c.ops.size() - at));
      }
      EXPECT_EQ(fed && ops.Complete(), c.made != nullptr) << c.what << ", pieces of " << piece;
      if (c.made) {
        EXPECT_EQ(made.bytes, c.made) << c.what;
      }
    }
  }
}

Bytes Deflated(const Bytes& data) {
  Bytes out(compressBound(static_cast<uLong>(data.size())));
  uLongf size = static_cast<uLongf>(out.size());
  EXPECT_EQ(compress(out.data(), &size, data.data(), static_cast<uLong>(data.size())), Z_OK);
  out.resize(size);
  return out;
}

// A delta record whose four streams are cut short, one at a time at every
// byte, or carry a byte too many: the package reader refuses each, and
// reads the whole one.
TEST(FormatTest, DeltaStreamsCutAtEveryByteAreRefused) {
  // The differences 1, 0, 1: the values 1 and 1 after gaps of 0 and 1 zeros.
  Bytes streams[4] = {Deflated(Joined({Op(kCopy, 6, 2), Op(kDifference, 3, -8), Op(kLiteral, 2)})),
                      Deflated(Bytes{0, 1}), Deflated(Bytes{1, 1}), Deflated(Bytes{'x', 'y'})};
  ScratchDir dir;
  auto verdict = [&dir](const Bytes(&parts)[4]) {
    Bytes record;
    PackageOut out;
    out.memory = &record;
    DeltaHeader header;
    header.old_size = 10;
    header.new_size = 11;
    WriteEntryHeader(out, u".\\a.dat", EntryTimes{1, 2, 3}, kDeltaTag);
    WriteEntryName(out, u".\\old.dat");
    WriteDeltaHeader(out, header);
    for (const Bytes& part : parts) {
      uint32_t length = static_cast<uint32_t>(part.size());
      WriteToPackage(out, &length, 4);  // little-endian machines only, as the tests run
    }
    for (const Bytes& part : parts) WriteToPackage(out, part.data(), part.size());
    WritePackageTrailer(out, static_cast<uint32_t>(record.size()));
    WriteAll(dir.path() / "p.bin", record);
    return ReadPackageIndex(dir.Wide("p.bin"), [](const IndexedEntry&) {}).cause;
  };
  EXPECT_EQ(verdict(streams), Cause::kNone);
  for (int k = 0; k < 4; ++k) {
    Bytes whole = streams[k];
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      streams[k].assign(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_NE(verdict(streams), Cause::kNone) << "stream " << k << " cut at " << cut;
    }
    streams[k] = whole;
  }
  streams[3] = Deflated(Bytes{'x', 'y', 'z'});  // a literal nobody takes
  EXPECT_EQ(verdict(streams), Cause::kBadStream);
  streams[3] = Deflated(Bytes{'x', 'y'});
  streams[2] = Deflated(Bytes{1, 1, 7});  // a value past the differences
  EXPECT_EQ(verdict(streams), Cause::kBadStream);
}

TEST(FormatTest, Sha256GivesTheStandardDigests) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    platform::Sha256 hash;
    // Fed in uneven pieces, as files are read.
    for (size_t at = 0; at < c.input.size(); at += 4099) {
      hash.Update(c.input.data() + at, std::min<size_t>(4099, c.input.size() - at));
    }
    uint8_t digest[32];
    ASSERT_TRUE(hash.Finish(digest));
    char hex[65];
    for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(hex, c.digest) << c.input.size();
  }
}

// A file that ends inside a content stream fails at every length, never
// giving a shorter file (records of stored and of compressed blocks).
TEST(ContentStreamTest, StreamThatTheFileEndsInsideFails) {
  ScratchDir dir;
  for (bool compressible : {false, true}) {
    Bytes content = PatternBytes(70000, compressible);
    Bytes stream(compressBound(static_cast<uLong>(content.size())));
    uLongf length = static_cast<uLongf>(stream.size());
    ASSERT_EQ(compress(stream.data(), &length, content.data(), content.size()), Z_OK);
    for (size_t cut = 0; cut < length; cut += 97) {
      platform::File in = OpenBytes(dir, Bytes(stream.begin(), stream.begin() + cut));
      SinkTo any([](const uint8_t*, size_t) { return true; });
      EXPECT_EQ(InflateStream(in, any).end, InflateEnd::kDamaged) << cut;
    }
  }
}

// A made record that notes how many jobs ran at once: it waits (a second at
// most) for another to start beside it.
class OverlapJob : public RecordJob {
 public:
  OverlapJob(std::atomic<int>& running, std::atomic<int>& most, size_t memory)
      : running_(running), most_(most), memory_(memory) {}
  bool Make(std::vector<uint8_t>& record) override {
    int now = ++running_;
    for (int seen = most_; seen < now && !most_.compare_exchange_weak(seen, now);) {
    }
    for (int i = 0; i < 1000 && most_ < 2; ++i) platform::SleepMilliseconds(1);
    --running_;
    record = {'r'};
    return true;
  }
  void LastEntry(WString&, EntryTimes&) const override {}
  size_t memory() const override { return memory_; }

 private:
  std::atomic<int>& running_;
  std::atomic<int>& most_;
  size_t memory_;
};

// Jobs whose coders take memory (a solid block of 64 MiB) are made side by
// side, as many as fit in the budget together.
TEST(ContentStreamTest, MadeJobsRunSideBySideWithinTheMemoryBudget) {
  struct Case {
    size_t memory;
    int most;
  } cases[] = {{kMadeMemoryBudget / 4, 2}, {kMadeMemoryBudget / 2 + 1, 1}};
  for (const Case& c : cases) {
    std::vector<uint8_t> written;
    PackageOut out{nullptr, 0};
    out.memory = &written;
    std::atomic<int> running{0}, most{0};
    {
      ParallelDeflater deflater(out, 2);
      for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(deflater.AddMade(std::make_unique<OverlapJob>(running, most, c.memory),
                                     int64_t{64} << 20));
      }
      ASSERT_TRUE(deflater.Finish());
    }
    EXPECT_EQ(most, c.most) << c.memory;
    EXPECT_EQ(written, std::vector<uint8_t>(2, 'r'));
  }
}

#ifndef _WIN32
// A source whose reads fail after 2.5 blocks, as a failing disk would.
std::FILE* FailingSource() {
  static size_t served;
  served = 0;
  cookie_io_functions_t io{};
  io.read = [](void*, char* buffer, size_t size) -> ssize_t {
    if (served >= 5 * kDeflateBlockSize / 2) return -1;
    std::memset(buffer, 'x', size);
    served += size;
    return static_cast<ssize_t>(size);
  };
  return fopencookie(nullptr, "r", io);
}

TEST(ContentStreamTest, ParallelDeflaterReportsASourceFailingMidFile) {
  ScratchDir dir;
  for (int threads : {1, 4}) {
    platform::File file = OpenOrClosed(dir.Wide("pkg"), "wb");
    PackageOut out{&file, 0};
    ParallelDeflater deflater(out, threads);
    platform::File source(FailingSource());
    EXPECT_EQ(deflater.AddRecord(u".\\x", EntryTimes{}, source), DeflateResult::kSourceError);
  }  // the deflater's workers are joined here
}
#endif

}  // namespace
