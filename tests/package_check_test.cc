#include "apply/package_check.h"

#include <gtest/gtest.h>

#include <set>

#include "apply/entry_reader.h"
#include "entry/process_state.h"
#include "package/content_stream.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

struct TestEntry {
  WString name;
  Bytes content;
};

// A package of `entries` as build mode writes it, with `junk` between streams.
Bytes MakePackage(const ScratchDir& dir, const std::vector<TestEntry>& entries,
                  const Bytes& junk = {}) {
  platform::File file = platform::OpenFile(dir.Wide("package.bin"), "wb");
  PackageOut out{&file, 0};
  for (const TestEntry& e : entries) {
    WriteAll(dir.path() / "content", e.content);
    platform::File source = platform::OpenFile(dir.Wide("content"), "rb");
    EXPECT_TRUE(WriteEntryHeader(out, e.name, EntryTimes{1, 2, 3}));
    EXPECT_EQ(DeflateFileInto(out, source), DeflateResult::kOk);
    EXPECT_TRUE(WriteToPackage(out, junk.data(), junk.size()));
  }
  EXPECT_TRUE(WritePackageTrailer(out, static_cast<uint32_t>(out.size)));
  EXPECT_TRUE(file.Close());
  return ReadAll(dir.path() / "package.bin");
}

class PackageCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(game()); }
  fs::path game() const { return dir_.path() / "game"; }
  WString root() const { return dir_.Wide("game"); }

  // Locates and checks `package`; the stream must end where it started.
  bool Check(const Bytes& package) {
    WriteAll(dir_.path() / "under-test.bin", package);
    platform::File file = platform::OpenFile(dir_.Wide("under-test.bin"), "rb");
    int64_t payload_end = 0;
    if (LocatePayload(file, &payload_end) != LocateResult::kFound) return false;
    int64_t start = file.Tell();
    bool ok = CheckPackage(file, payload_end, root());
    EXPECT_EQ(file.Tell(), start);
    return ok;
  }

  ScratchDir dir_;
};

const std::vector<TestEntry> kEntries = {
    {u".\\a.dat", Bytes(3000, 'a')},
    {u".\\sub\\b.dat", PatternBytes(2048, false)},
    {u".\\c.dat", {}},
};

TEST_F(PackageCheckTest, SoundPackagePasses) { EXPECT_TRUE(Check(MakePackage(dir_, kEntries))); }

TEST_F(PackageCheckTest, PackageCutShortFailsAtEveryOffsetButRecordEnds) {
  std::set<size_t> record_ends;
  for (size_t n = 0; n <= kEntries.size(); ++n) {
    std::vector<TestEntry> first(kEntries.begin(), kEntries.begin() + static_cast<long>(n));
    record_ends.insert(MakePackage(dir_, first).size() - 8);
  }
  Bytes whole = MakePackage(dir_, kEntries);
  size_t payload = whole.size() - 8;
  for (size_t cut = 0; cut < payload; ++cut) {
    Bytes cut_package(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes trailer = {'f', 'e', 'o', 'f', static_cast<uint8_t>(cut), static_cast<uint8_t>(cut >> 8),
                     0,   0};
    cut_package.insert(cut_package.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(Check(cut_package), record_ends.count(cut) == 1) << "cut at " << cut;
  }
}

TEST_F(PackageCheckTest, FlippedBytesInStreamsAndLengthsFail) {
  Bytes whole = MakePackage(dir_, kEntries);
  size_t stream = 4 + 2 + 2 * 7 + 24;  // the first record's content
  for (size_t at : {size_t{4}, size_t{5}, stream, stream + 1, stream + 20, whole.size() - 4}) {
    Bytes damaged = whole;
    damaged[at] ^= 0xFF;
    EXPECT_FALSE(Check(damaged)) << "flipped byte " << at;
  }
}

TEST_F(PackageCheckTest, JunkAfterAStreamFails) {
  EXPECT_FALSE(Check(MakePackage(dir_, kEntries, {'x'})));
}

TEST_F(PackageCheckTest, NamesEqualIgnoringCaseFail) {
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\Data.dat", {}}, {u".\\DATA.DAT", {}}})));
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\a", {}}, {u".\\a\\b", {}}})));
}

TEST_F(PackageCheckTest, HostileNamesFail) {
  for (const char16_t* name : {u"..\\outside.dat", u".\\CON", u"\\abs.dat", u"C:x.dat"}) {
    EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\fine.dat", {}}, {name, {}}})));
  }
}

TEST_F(PackageCheckTest, FolderOrFileInTheWayFails) {
  fs::create_directories(game() / "taken");
  WriteAll(game() / "file", {1});
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\taken", {}}})));
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\file\\x.dat", {}}})));
}

#ifndef _WIN32
TEST_F(PackageCheckTest, LinksLeadingOutsideFailAndInsideAreFine) {
  fs::create_directories(dir_.path() / "outside");
  fs::create_directories(game() / "real");
  fs::create_directory_symlink(dir_.path() / "outside", game() / "out");
  fs::create_directory_symlink(game() / "real", game() / "in");
  fs::create_symlink(dir_.path() / "outside" / "f", game() / "file-link");
  fs::create_symlink(game() / "missing", game() / "dangling");
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\out\\x.dat", {}}})));
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\file-link", {}}})));
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\dangling", {}}})));
  EXPECT_FALSE(Check(MakePackage(dir_, {{u".\\dangling\\x.dat", {}}})));
  EXPECT_TRUE(Check(MakePackage(dir_, {{u".\\in\\x.dat", {}}})));
}
#endif

TEST_F(PackageCheckTest, WriteFailureWhileApplyingFailsTheEntry) {
  Bytes package = MakePackage(dir_, kEntries);
  WriteAll(dir_.path() / "p.bin", package);
  platform::File file = platform::OpenFile(dir_.Wide("p.bin"), "rb");
  int64_t payload_end = 0;
  ASSERT_EQ(LocatePayload(file, &payload_end), LocateResult::kFound);
  g_installRoot = root();
  platform::SetWriteBudgetForTesting(1000);
  ReadResult result = ReadEntry(file, payload_end);
  platform::SetWriteBudgetForTesting(-1);
  EXPECT_EQ(result, ReadResult::kFail);
}

}  // namespace
