#include "package/content_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "package/parallel_deflate.h"
#include "tests/test_util.h"

namespace {

// Writes a package file holding the zlib stream of `content` (as zlib itself
// writes it) and then `after`; returns the stream's length.
int64_t WritePackage(const ScratchDir& dir, const Bytes& content, const Bytes& after) {
  Bytes stream(compressBound(static_cast<uLong>(content.size())));
  uLongf length = static_cast<uLongf>(stream.size());
  EXPECT_EQ(compress2(stream.data(), &length, content.data(), static_cast<uLong>(content.size()),
                      Z_DEFAULT_COMPRESSION),
            Z_OK);
  stream.resize(length);
  stream.insert(stream.end(), after.begin(), after.end());
  WriteAll(dir.path() / "pkg", stream);
  return static_cast<int64_t>(length);
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
  for (size_t size : {0, 1, 1023, 1024, 1025, 2048, 3072, 65536, 262144, 262145, 600003}) {
    for (bool compressible : {true, false}) {
      Bytes content = PatternBytes(size, compressible, static_cast<uint32_t>(size));
      int64_t length = WritePackage(dir, content, kFileTagBytes);
      platform::File package = platform::OpenFile(dir.Wide("pkg"), "rb");
      bool ok = false;
      EXPECT_EQ(InflateAt(package, &ok), content) << size << " " << compressible;
      EXPECT_TRUE(ok);
      EXPECT_EQ(package.Tell(), length) << size;
      EXPECT_EQ(ReadRecordTag(package), RecordTag::kFile);
    }
  }
}

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
  for (const Bytes& content : contents) {
    ASSERT_EQ(ReadRecordTag(package), RecordTag::kFile);
    ASSERT_TRUE(ReadEntryName(package) && ReadEntryTimes(package));
    bool ok = false;
    EXPECT_EQ(InflateAt(package, &ok), content) << content.size();
    EXPECT_TRUE(ok);
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
