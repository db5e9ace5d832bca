#include "apply/installer.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "apply/staging.h"
#include "package/content_stream.h"
#include "package/entry_name.h"
#include "package/format.h"
#include "tests/test_util.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct TestEntry {
  WString name;
  Bytes content;
};

constexpr EntryTimes kTimes{131000000001234567, 132000000007654321, 133000000000000001};

// A package of `entries` as build mode writes it, with `junk` between streams.
Bytes MakePackage(const ScratchDir& dir, const std::vector<TestEntry>& entries,
                  const Bytes& junk = {}) {
  platform::File file = platform::OpenFile(dir.Wide("package.bin"), "wb");
  PackageOut out{&file, 0};
  for (const TestEntry& e : entries) {
    WriteAll(dir.path() / "content", e.content);
    platform::File source = platform::OpenFile(dir.Wide("content"), "rb");
    EXPECT_TRUE(WriteEntryHeader(out, e.name, kTimes));
    EXPECT_EQ(DeflateFileInto(out, source), DeflateResult::kOk);
    EXPECT_TRUE(WriteToPackage(out, junk.data(), junk.size()));
  }
  EXPECT_TRUE(WritePackageTrailer(out, static_cast<uint32_t>(out.size)));
  EXPECT_TRUE(file.Close());
  return ReadAll(dir.path() / "package.bin");
}

// Every file and folder below `root` with its bytes and last-write time.
using Snapshot = std::map<std::string, std::pair<Bytes, fs::file_time_type>>;

Snapshot TakeSnapshot(const fs::path& root) {
  Snapshot out;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string rel = item.path().lexically_relative(root).generic_string();
    if (item.is_symlink()) {
      out[rel] = {Bytes(), fs::file_time_type()};
    } else if (item.is_regular_file()) {
      out[rel] = {ReadAll(item.path()), fs::last_write_time(item.path())};
    } else {
      out[rel] = {Bytes{'/'}, fs::file_time_type()};
    }
  }
  return out;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(game() / "sub");
    WriteAll(game() / "a.dat", Bytes(10, 'o'));
    WriteAll(game() / "sub" / "b.dat", Bytes(20, 'o'));
  }
  fs::path game() const { return dir_.path() / "game"; }
  WString root() const { return dir_.Wide("game"); }

  bool InstallFile(const fs::path& path) {
    platform::File file = platform::OpenFile(ToWide(path), "rb");
    int64_t payload_end = 0;
    if (LocatePayload(file, &payload_end) != LocateResult::kFound) return false;
    return InstallPackage(file, payload_end, root());
  }

  // Installs `package`; a failure must leave the game folder as it was.
  bool Install(const Bytes& package) {
    WriteAll(dir_.path() / "under-test.bin", package);
    Snapshot before = TakeSnapshot(game());
    bool ok = InstallFile(dir_.path() / "under-test.bin");
    if (!ok) EXPECT_EQ(TakeSnapshot(game()), before);
    EXPECT_FALSE(fs::exists(game() / ".update-staging"));
    return ok;
  }

  void ExpectInstalled(const std::vector<TestEntry>& entries) {
    for (const TestEntry& e : entries) {
      std::string rel(e.name.begin() + 2, e.name.end());
      std::replace(rel.begin(), rel.end(), '\\', '/');
      // Times before bytes: reading moves the access time.
      EntryTimes times;
      ASSERT_EQ(platform::GetFileTimes(root() + u"\\" + e.name.substr(2), &times),
                platform::TimesRead::kOk);
      EXPECT_EQ(times.last_write, kTimes.last_write) << rel;
      EXPECT_EQ(times.last_access, kTimes.last_access) << rel;
      EXPECT_EQ(ReadAll(game() / rel), e.content) << rel;
    }
  }

  ScratchDir dir_;
};

// New files in nested folders, some replacing old ones, one empty.
const std::vector<TestEntry> kEntries = {
    {u".\\a.dat", Bytes(3000, 'a')},
    {u".\\sub\\b.dat", PatternBytes(2048, false)},
    {u".\\new\\deeper\\c.dat", PatternBytes(70000, true)},
    {u".\\new\\d.dat", {}},
};

TEST_F(InstallerTest, SoundPackageInstallsWithTimes) {
  EXPECT_TRUE(Install(MakePackage(dir_, kEntries)));
  ExpectInstalled(kEntries);
}

TEST_F(InstallerTest, PackageCutShortFailsAtEveryOffsetButRecordEnds) {
  std::set<size_t> record_ends;
  for (size_t n = 0; n <= 2; ++n) {
    std::vector<TestEntry> first(kEntries.begin(), kEntries.begin() + static_cast<long>(n));
    record_ends.insert(MakePackage(dir_, first).size() - 8);
  }
  Bytes whole = MakePackage(dir_, {kEntries[0], kEntries[1]});
  size_t payload = whole.size() - 8;
  for (size_t cut = 0; cut < payload; cut += 7) {
    Bytes cut_package(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes trailer = {'f', 'e', 'o', 'f', static_cast<uint8_t>(cut), static_cast<uint8_t>(cut >> 8),
                     0,   0};
    cut_package.insert(cut_package.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(Install(cut_package), record_ends.count(cut) == 1) << "cut at " << cut;
  }
}

TEST_F(InstallerTest, DamagedOrHostilePackagesChangeNothing) {
  Bytes whole = MakePackage(dir_, kEntries);
  size_t stream = 4 + 2 + 2 * 7 + 24;  // the first record's content
  for (size_t at : {size_t{4}, size_t{5}, stream, stream + 1, stream + 20, whole.size() - 4}) {
    Bytes damaged = whole;
    damaged[at] ^= 0xFF;
    EXPECT_FALSE(Install(damaged)) << "flipped byte " << at;
  }
  EXPECT_FALSE(Install(MakePackage(dir_, kEntries, {'x'}))) << "junk after a stream";
  const std::vector<std::vector<TestEntry>> refused = {
      {{u".\\Data.dat", {}}, {u".\\DATA.DAT", {}}},
      {{u".\\x", {}}, {u".\\x\\b", {}}},
      {{u".\\fine.dat", {}}, {u"..\\outside.dat", {}}},
      {{u".\\fine.dat", {}}, {u".\\CON", {}}},
      {{u".\\fine.dat", {}}, {u"\\abs.dat", {}}},
      {{u".\\fine.dat", {}}, {u"C:x.dat", {}}},
      {{u".\\fine.dat", {}}, {u".\\.UPDATE-staging\\0.new", {}}},
      {{u".\\fine.dat", {}}, {u".\\sub", {}}},           // a folder in the way
      {{u".\\fine.dat", {}}, {u".\\a.dat\\x.dat", {}}},  // a file in the way
  };
  for (const auto& entries : refused) {
    EXPECT_FALSE(Install(MakePackage(dir_, entries))) << "second name " << entries.size();
  }
}

#ifndef _WIN32
TEST_F(InstallerTest, LinksLeadingOutsideFailAndInsideAreFine) {
  fs::create_directories(dir_.path() / "outside");
  fs::create_directories(game() / "real");
  fs::create_directory_symlink(dir_.path() / "outside", game() / "out");
  fs::create_directory_symlink(game() / "real", game() / "in");
  fs::create_symlink(dir_.path() / "outside" / "f", game() / "file-link");
  fs::create_symlink(game() / "missing", game() / "dangling");
  for (const char16_t* name :
       {u".\\out\\x.dat", u".\\file-link", u".\\dangling", u".\\dangling\\x.dat"}) {
    EXPECT_FALSE(Install(MakePackage(dir_, {{name, {1}}})));
  }
  EXPECT_TRUE(fs::is_empty(dir_.path() / "outside"));
  EXPECT_TRUE(Install(MakePackage(dir_, {{u".\\in\\x.dat", {1}}})));
  EXPECT_EQ(ReadAll(game() / "real" / "x.dat"), Bytes{1});
}
#endif

// Every write, flush, rename, folder creation and removal in turn fails once:
// each run either installs everything or leaves the folder as it was.
TEST_F(InstallerTest, AnyFailingOperationInstallsAllOrNothing) {
  Bytes package = MakePackage(dir_, kEntries);
  // Past the install's last operation every run completes.
  for (int n = 1, completed_in_a_row = 0; completed_in_a_row < 5; ++n) {
    platform::SetFaultForTesting(n);
    bool ok = Install(package);
    platform::SetFaultForTesting(0);
    completed_in_a_row = ok ? completed_in_a_row + 1 : 0;
    if (ok) ExpectInstalled(kEntries);
    fs::remove_all(game());
    SetUp();
    ASSERT_LT(n, 500);
  }
}

#ifndef _WIN32
// The process killed at each operation in turn: every file is old or new,
// never partial, and the next run completes the install and cleans up.
TEST_F(InstallerTest, KilledAtAnyOperationRecoversOnTheNextRun) {
  Bytes package = MakePackage(dir_, kEntries);
  WriteAll(dir_.path() / "package.bin", package);
  std::map<std::string, std::set<Bytes>> allowed = {
      {"a.dat", {Bytes(10, 'o'), kEntries[0].content}},
      {"sub/b.dat", {Bytes(20, 'o'), kEntries[1].content}},
      {"new/deeper/c.dat", {kEntries[2].content}},
      {"new/d.dat", {kEntries[3].content}}};
  for (int n = 1;; ++n) {
    Snapshot old_state = TakeSnapshot(game());
    pid_t child = fork();
    if (child == 0) {
      platform::SetFaultForTesting(n, platform::FaultAction::kKill);
      _exit(InstallFile(dir_.path() / "package.bin") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (const auto& [rel, contents] : allowed) {
      if (fs::exists(game() / rel)) EXPECT_EQ(contents.count(ReadAll(game() / rel)), 1u) << rel;
    }
    EXPECT_TRUE(fs::exists(game() / "a.dat"));
    EXPECT_TRUE(fs::exists(game() / "sub" / "b.dat"));
    // Recovery alone puts back the old state, unless the install had finished.
    ASSERT_TRUE(RecoverInterruptedInstall(root()));
    if (!fs::exists(game() / "new")) EXPECT_EQ(TakeSnapshot(game()), old_state) << n;
    ASSERT_TRUE(Install(package)) << "rerun after a kill at operation " << n;
    ExpectInstalled(kEntries);
    if (!WIFSIGNALED(status)) break;
    fs::remove_all(game());
    SetUp();
    ASSERT_LT(n, 500);
  }
}
#endif

TEST(StagingTest, FoldersOfAName) {
  EXPECT_EQ(FoldersOf(u".\\a\\b\\c.dat"), (std::vector<WString>{u".\\a", u".\\a\\b"}));
  EXPECT_EQ(FoldersOf(u"a\\.\\c.dat"), (std::vector<WString>{u"a"}));
  EXPECT_EQ(FoldersOf(u".\\c.dat"), std::vector<WString>{});
}

}  // namespace
