#include "package/content_stream.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/parallel_deflate.h"
#include "tests/test_util.h"

namespace {

// Compresses `content` with the pump into a package file that holds
// `before`, the stream and then `after`; returns the stream's offset and length.
struct Written {
  int64_t offset;
  int64_t length;
};

Written WritePackage(const ScratchDir& dir, const Bytes& content, const Bytes& before,
                     const Bytes& after) {
  WriteAll(dir.path() / "source", content);
  platform::File source = platform::OpenFile(dir.Wide("source"), "rb");
  platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
  PackageOut out{&file, 0};
  EXPECT_TRUE(WriteToPackage(out, before.data(), before.size()));
  EXPECT_EQ(DeflateFileInto(out, source), DeflateResult::kOk);
  int64_t end = out.size;
  EXPECT_TRUE(WriteToPackage(out, after.data(), after.size()));
  EXPECT_TRUE(file.Close());
  return {static_cast<int64_t>(before.size()), end - static_cast<int64_t>(before.size())};
}

Bytes InflateAt(platform::File& package, bool* ok) {
  Bytes out;
  *ok = InflateStream(package, [&out](const uint8_t* data, size_t size) {
    out.insert(out.end(), data, data + size);
    return true;
  });
  return out;
}

const Bytes kFileTagBytes = {'f', 'i', 'l', 'e'};

TEST(ContentStreamTest, RoundTripsAtBufferBoundaries) {
  ScratchDir dir;
  for (size_t size : {0, 1, 1023, 1024, 1025, 2047, 2048, 3072, 65536, 100003}) {
    for (bool compressible : {true, false}) {
      Bytes content = PatternBytes(size, compressible, static_cast<uint32_t>(size));
      Written w = WritePackage(dir, content, {}, kFileTagBytes);
      platform::File package = platform::OpenFile(dir.Wide("pkg"), "rb");
      bool ok = false;
      EXPECT_EQ(InflateAt(package, &ok), content) << size << " " << compressible;
      EXPECT_TRUE(ok);
      EXPECT_EQ(package.Tell(), w.length) << size;
      EXPECT_EQ(ReadRecordTag(package), RecordTag::kFile);
    }
  }
}

TEST(ContentStreamTest, StreamsStartWithTheDefaultLevelHeader) {
  ScratchDir dir;
  WritePackage(dir, {}, {}, {});
  EXPECT_EQ(ReadAll(dir.path() / "pkg"), (Bytes{0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  WritePackage(dir, PatternBytes(5000, false), {}, {});
  Bytes pkg = ReadAll(dir.path() / "pkg");
  EXPECT_EQ(pkg[0], 0x78);
  EXPECT_EQ(pkg[1], 0x9C);
}

TEST(ContentStreamTest, StreamEndingOnAReadBoundaryNeedsNoGiveBack) {
  ScratchDir dir;
  // Incompressible content whose stream is exactly two reads long.
  Bytes content;
  for (size_t size = 2000; size < 2048 && content.empty(); ++size) {
    Bytes candidate = PatternBytes(size, false);
    if (WritePackage(dir, candidate, {}, {}).length == 2048) content = candidate;
  }
  ASSERT_FALSE(content.empty());
  WritePackage(dir, content, {}, Bytes(3000, 0x66));
  platform::File package = platform::OpenFile(dir.Wide("pkg"), "rb");
  bool ok = false;
  EXPECT_EQ(InflateAt(package, &ok), content);
  EXPECT_TRUE(ok);
  EXPECT_EQ(package.Tell(), 2048);
}

TEST(ContentStreamTest, SeveralStreamsAreConsumedExactly) {
  ScratchDir dir;
  std::vector<Bytes> contents = {
      PatternBytes(1024, true), {}, PatternBytes(3333, false), PatternBytes(2048, false, 7)};
  platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
  PackageOut out{&file, 0};
  for (const Bytes& content : contents) {
    WriteAll(dir.path() / "source", content);
    platform::File source = platform::OpenFile(dir.Wide("source"), "rb");
    ASSERT_EQ(DeflateFileInto(out, source), DeflateResult::kOk);
    ASSERT_TRUE(WriteToPackage(out, "file", 4));
  }
  ASSERT_TRUE(file.Close());
  platform::File package = platform::OpenFile(dir.Wide("pkg"), "rb");
  for (const Bytes& content : contents) {
    bool ok = false;
    EXPECT_EQ(InflateAt(package, &ok), content);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ReadRecordTag(package), RecordTag::kFile);
  }
}

TEST(ContentStreamTest, CutStreamFailsAtEveryLength) {
  ScratchDir dir;
  Bytes content = PatternBytes(3000, false);
  Written w = WritePackage(dir, content, {}, {});
  Bytes whole = ReadAll(dir.path() / "pkg");
  for (int64_t cut = 0; cut < w.length; ++cut) {
    WriteAll(dir.path() / "cut", Bytes(whole.begin(), whole.begin() + cut));
    platform::File package = platform::OpenFile(dir.Wide("cut"), "rb");
    bool ok = true;
    InflateAt(package, &ok);
    EXPECT_FALSE(ok) << "cut at " << cut;
  }
}

TEST(ContentStreamTest, DamagedStreamFails) {
  ScratchDir dir;
  Bytes content = PatternBytes(3000, true);
  Written w = WritePackage(dir, content, {}, kFileTagBytes);
  Bytes whole = ReadAll(dir.path() / "pkg");
  for (int64_t at : {int64_t{0}, int64_t{1}, w.length / 2, w.length - 1}) {
    Bytes damaged = whole;
    damaged[static_cast<size_t>(at)] ^= 0x5A;
    WriteAll(dir.path() / "bad", damaged);
    platform::File package = platform::OpenFile(dir.Wide("bad"), "rb");
    bool ok = true;
    InflateAt(package, &ok);
    EXPECT_FALSE(ok) << "flipped byte " << at;
  }
}

TEST(ContentStreamTest, PackageWriteFailureIsReported) {
  ScratchDir dir;
  WriteAll(dir.path() / "source", PatternBytes(50000, false));
  platform::File source = platform::OpenFile(dir.Wide("source"), "rb");
  platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
  PackageOut out{&file, 0};
  platform::SetWriteBudgetForTesting(3000);
  DeflateResult result = DeflateFileInto(out, source);
  platform::SetWriteBudgetForTesting(-1);
  EXPECT_EQ(result, DeflateResult::kPackageError);
  EXPECT_TRUE(out.write_failed);
}

// Records written through the parallel deflater: the same bytes for any
// number of threads, each stream one zlib stream that inflates back whole,
// and a file of at most one block exactly as the single-threaded pump writes it.
TEST(ContentStreamTest, ParallelDeflaterIsDeterministicAndRoundTrips) {
  ScratchDir dir;
  const size_t kBlock = kDeflateBlockSize;
  std::vector<Bytes> contents;
  for (size_t size : {size_t{0}, size_t{5000}, kBlock, kBlock + 1, 3 * kBlock + kBlock / 2}) {
    contents.push_back(PatternBytes(size, size % 2 == 0, static_cast<uint32_t>(size)));
  }
  Bytes reference;
  for (int threads : {1, 2, 8}) {
    platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
    PackageOut out{&file, 0};
    {
      ParallelDeflater deflater(out, threads);
      for (const Bytes& content : contents) {
        WriteAll(dir.path() / "source", content);
        platform::File source = platform::OpenFile(dir.Wide("source"), "rb");
        ASSERT_EQ(deflater.AddRecord(u".\\x", EntryTimes{}, source), DeflateResult::kOk);
      }
      ASSERT_TRUE(deflater.Finish());
    }
    ASSERT_TRUE(file.Close());
    Bytes written = ReadAll(dir.path() / "pkg");
    if (reference.empty()) reference = written;
    EXPECT_EQ(written, reference) << threads << " threads";
  }
  platform::File package = platform::OpenFile(dir.Wide("pkg"), "rb");
  ScratchDir single_dir;
  for (const Bytes& content : contents) {
    ASSERT_EQ(ReadRecordTag(package), RecordTag::kFile);
    ASSERT_TRUE(ReadEntryName(package) && ReadEntryTimes(package));
    int64_t start = package.Tell();
    bool ok = false;
    EXPECT_EQ(InflateAt(package, &ok), content) << content.size();
    EXPECT_TRUE(ok);
    if (content.size() <= kBlock) {
      Written single = WritePackage(single_dir, content, {}, {});
      EXPECT_EQ(package.Tell() - start, single.length) << content.size();
    }
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
    platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
    PackageOut out{&file, 0};
    ParallelDeflater deflater(out, threads);
    platform::File source(FailingSource());
    EXPECT_EQ(deflater.AddRecord(u".\\x", EntryTimes{}, source), DeflateResult::kSourceError);
  }  // the deflater's workers are joined here
}
#endif

}  // namespace
