#include "package/format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

const EntryTimes kTimes{0x0102030405060708, 0x1112131415161718, 0x2122232425262728};

Bytes WriteWith(const ScratchDir& dir, void (*write)(PackageOut&)) {
  platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
  PackageOut out{&file, 0};
  write(out);
  EXPECT_TRUE(file.Close());
  return ReadAll(dir.path() / "pkg");
}

platform::File OpenBytes(const ScratchDir& dir, const Bytes& bytes) {
  WriteAll(dir.path() / "in", bytes);
  return platform::OpenFile(dir.Wide("in"), "rb");
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

Bytes Trailer(uint32_t length) {
  Bytes out = {'f', 'e', 'o', 'f'};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
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
  image.insert(image.end(), tail.begin(), tail.end());
  image.resize((image.size() + 7) / 8 * 8, 0);
  uint32_t table = static_cast<uint32_t>(image.size()), size = 16 + size_error;
  for (int i = 0; i < 4; ++i) {
    image[0x40 + 24 + 96 + 32 + i] = static_cast<uint8_t>(table >> (8 * i));
    image[0x40 + 24 + 96 + 36 + i] = static_cast<uint8_t>(size >> (8 * i));
  }
  image.insert(image.end(), 16, 0x5A);
  return image;
}

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
      {"empty package after a prefix", Concat({prefix, Trailer(0)}), LocateResult::kFound, 100},
      {"records", Concat({prefix, records, Trailer(40)}), LocateResult::kFound, 100},
      {"appended twice: the last one counts",
       Concat({prefix, records, Trailer(40), records, Trailer(40)}), LocateResult::kFound, 148},
      {"length before the file", Concat({records, Trailer(41)}), LocateResult::kDamaged, 0},
      {"length above the format", Concat({records, Trailer(0x80000000u)}), LocateResult::kDamaged,
       0},
      {"length of all ones", Concat({records, Trailer(0xFFFFFFFFu)}), LocateResult::kDamaged, 0},
      {"signed image", SignedImage(Concat({records, Trailer(40)}), 0), LocateResult::kFound, 312},
      {"signed, padded", SignedImage(Concat({Bytes(37, 0xAB), Trailer(37)}), 0),
       LocateResult::kFound, 312},
      {"signed, table size off by one", SignedImage(Concat({records, Trailer(40)}), -1),
       LocateResult::kNoPackage, 0},
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
  platform::File file = platform::OpenFile(dir.Wide("pkg"), "wb");
  PackageOut out{&file, kMaxPackageFileSize - 4};
  EXPECT_TRUE(WriteToPackage(out, "abcd", 4));
  EXPECT_FALSE(WriteToPackage(out, "e", 1));
  EXPECT_TRUE(out.too_large);
  EXPECT_FALSE(out.write_failed);
}

}  // namespace
