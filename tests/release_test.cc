#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "release/series.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "apply/installer.h"
#include "package/record_reader.h"
#include "platform/fault_seam.h"
#include "platform/utf8.h"
#include "product/product.h"
#include "release/old_release.h"
#include "release/record_jobs.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using namespace updater::release;  // NOLINT

namespace {

constexpr EntryTimes kTimes{131000000001234567, 132000000007654321, 133000000000000001};

class ReleaseTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
};

// A record job whose file cannot be read fails the build with that file and
// the system's error, not as an output that could not be written.
TEST_F(ReleaseTest, AJobThatCannotReadItsFileNamesItAndTheSystemError) {
  WriteAll(dir_.path() / "old.bin", Bytes(100, 'o'));
  std::vector<uint8_t> record;
  std::unique_ptr<package::RecordJob> job =
      DeltaRecordJob(u".\\a.bin", dir_.Wide("gone.bin"), u".\\a.bin", dir_.Wide("old.bin"), kTimes);
  EXPECT_FALSE(job->Make(record));
  Failure failure = job->failure;
  EXPECT_EQ(failure.cause, Cause::kSourceUnreadable);
  EXPECT_EQ(failure.path, dir_.Wide("gone.bin"));
  EXPECT_TRUE(platform::IsMissing(failure.os_error));
#ifndef _WIN32
  // An old file turned into a FIFO after the tree was listed holds nothing up.
  WriteAll(dir_.path() / "new.bin", Bytes(100, 'n'));
  ASSERT_EQ(mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  failure = DeltaRecord(u".\\a.bin", dir_.Wide("new.bin"), u".\\a.bin", dir_.Wide("fifo"), kTimes,
                        record);
  EXPECT_EQ(failure.cause, Cause::kSourceUnreadable);
#endif
  // Through the build: the deflater keeps the job's failure for the builder.
  fs::create_directories(dir_.path() / "src");
  WriteAll(dir_.path() / "src" / "a.bin", Bytes(100, 'n'));
  pack::BuildOptions options;
  options.trace = false;
  options.make_record = [&](package::ParallelDeflater& deflater, const WString& name,
                            const WString& path, const EntryTimes& times) {
    return std::optional<bool>(deflater.AddMade(
        DeltaRecordJob(name, path + u".gone", name, dir_.Wide("old.bin"), times), 100));
  };
  failure = pack::AppendPackageToFile(dir_.Wide("out.bin"), dir_.Wide("src"), options);
  EXPECT_EQ(failure.cause, Cause::kSourceUnreadable);
  EXPECT_EQ(failure.path, dir_.Wide("src\\a.bin.gone"));
  EXPECT_TRUE(platform::IsMissing(failure.os_error));
}

// What a solid block filters and where it closes: a sound of PCM samples,
// a program with at least 8 branches a KiB the filter turns, counted in the
// first MiB of an x86 PE or ELF file's largest code section (else of an
// "MZ" file), and blocks of at most two windows (four at max) share a tree
// evenly.
TEST_F(ReleaseTest, BranchesFilterProgramsOfCodeAndBlocksShareATreeEvenly) {
  struct Case {
    const char* head;
    size_t size, from, every;  // E8 every `every` bytes from `from` on, in bytes of `fill`
    uint8_t fill;              // 0: each a branch the filter turns
    uint16_t machine;          // a PE ("MZ") or ELF64 header of this machine, its code at `from`
    bool code;
  } const cases[] = {{"MZ", 4096, 8, 128, 0, 0, true},         {"MZ", 4096, 8, 132, 0, 0, false},
                     {"\177ELF", 4096, 8, 20, 0, 0, false},    {"MQ", 4096, 8, 20, 0, 0, false},
                     {"MZ", 4096, 8, 20, 0x90, 0, false},       {"MZ", 2, 8, 0, 0, 0, false},
                     {"MZ", 3 << 20, 8, 40, 0, 0, true},        {"MZ", 3 << 20, 1 << 20, 40, 0, 0, false},
                     {"", 3 << 20, 1 << 20, 40, 0, 62, true},   {"", 3 << 20, 1 << 20, 40, 0, 40, false},
                     {"", 3 << 20, 1 << 20, 132, 0, 62, false}, {"", 8192, 4096, 40, 0, 3, true},
                     {"MZ", 3 << 20, 1 << 20, 40, 0, 0x14C, true},
                     {"MZ", 3 << 20, 1 << 20, 40, 0, 0x1C0, false}};
  for (const Case& c : cases) {
    Bytes data(c.size, c.fill);
    for (size_t at = c.from; c.every && at + 5 <= c.size; at += c.every) data[at] = 0xE8;
    std::copy(c.head, c.head + std::strlen(c.head), data.begin());
    if (c.machine && c.head[0] == 'M') {  // a PE header at 64, its code at `from`
      std::fill(data.begin() + 2, data.begin() + 192, 0);
      data[0x3C] = 64, data[64] = 'P', data[65] = 'E', data[70] = 2;
      data[68] = static_cast<uint8_t>(c.machine), data[69] = static_cast<uint8_t>(c.machine >> 8);
      data[88 + 17] = 0xFF, data[88 + 39] = 0x40;  // a large section of data
      data[128 + 18] = 0x10, data[128 + 39] = 0x60;  // code of a MiB
      for (int i = 0; i < 4; ++i) data[148 + i] = static_cast<uint8_t>(c.from >> (8 * i));
    } else if (c.machine) {
      const uint8_t header[] = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0};
      std::fill(data.begin(), data.begin() + 192, 0);
      std::copy(std::begin(header), std::end(header), data.begin());
      data[18] = static_cast<uint8_t>(c.machine);
      data[40] = 64, data[58] = 64, data[60] = 2;  // two section headers at 64
      data[72] = 2, data[96] = 0xFF, data[97] = 0xFF;  // a large one of data
      data[136] = 6, data[162] = 0x10;                 // code of a MiB at `from`
      for (int i = 0; i < 4; ++i) data[152 + i] = static_cast<uint8_t>(c.from >> (8 * i));
    }
    WriteAll(dir_.path() / "p", data);
    platform::File file = OpenOrClosed(dir_.Wide("p"), "rb");
    EXPECT_EQ(IsX86Code(file), c.code) << c.size << " " << c.every << " " << c.machine;
  }
  // Sounds of 8- or 16-bit PCM samples (plain or extensible) of 1 to 16
  // channels, found past other chunks, whose samples start at an even offset.
  struct Sound {
    uint16_t tag, channels, bits;
    Bytes before;  // chunks before "fmt "
    int form;
  } const sounds[] = {{1, 2, 16, {}, 0x11},       {1, 1, 8, {}, 0x00},  {0xFFFE, 16, 16, {}, 0x1F},
                      {1, 17, 16, {}, 0},          {2, 1, 16, {}, 0},    {1, 1, 24, {}, 0},
                      {1, 1, 16, {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'}, 0x10},
                      {1, 1, 16, {'p', 'a', 'd', ' ', 1, 0, 0, 0, 'x'}, 0}};  // not padded
  for (const Sound& c : sounds) {
    Bytes wave = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    wave.insert(wave.end(), c.before.begin(), c.before.end());
    const uint8_t format[] = {'f', 'm', 't', ' ', 16, 0, 0, 0,
                              static_cast<uint8_t>(c.tag), static_cast<uint8_t>(c.tag >> 8),
                              static_cast<uint8_t>(c.channels), 0, 0x22, 0x56, 0, 0, 0, 0, 0, 0, 4, 0,
                              static_cast<uint8_t>(c.bits), 0, 'd', 'a', 't', 'a', 4, 0, 0, 0};
    wave.insert(wave.end(), std::begin(format), std::end(format));
    wave.resize(wave.size() + 4, 0x11);
    WriteAll(dir_.path() / "s", wave);
    platform::File file = OpenOrClosed(dir_.Wide("s"), "rb");
    EXPECT_EQ(SampleForm(file), c.form) << c.tag << " " << c.channels << " " << c.bits;
  }
  const int64_t w = delta::LzmaWindow(delta::LzmaLevel::kNormal);
  const int64_t bounds[][2] = {
      {0, 2 * w}, {w, w}, {2 * w, 2 * w}, {2 * w + 1, w + 1}, {5 * w, 5 * w / 3 + 1}};
  for (const auto& [listed, bound] : bounds) {
    EXPECT_EQ(SolidBlockBound(delta::LzmaLevel::kNormal, listed), bound) << listed;
  }
  EXPECT_EQ(SolidBlockBound(delta::LzmaLevel::kMax, 0),
            4 * int64_t{delta::LzmaWindow(delta::LzmaLevel::kMax)});
}

// Where two solid blocks meet, the second reads the last files of the first
// again for the start of its window: a file changed between the two reads
// fails the build with its name, whichever block reads it first.
TEST_F(ReleaseTest, AFileChangedBetweenTheReadsOfTwoBlocksIsNamed) {
  for (bool later_first : {false, true}) {
    Blocks<SolidFile> blocks = SolidBlocks({true, delta::LzmaLevel::kFast}, 12 << 20, nullptr);
    std::vector<std::unique_ptr<package::RecordJob>> jobs;
    for (const char* name : {"a", "b", "c", "d"}) {
      WriteAll(dir_.path() / name, PatternBytes(3 << 20, true, name[0]));
      std::unique_ptr<package::RecordJob> job =
          blocks.Add({WString(1, name[0]), dir_.Wide(name), kTimes, 3 << 20});
      if (job) jobs.push_back(std::move(job));
    }
    if (std::unique_ptr<package::RecordJob> rest = blocks.Rest()) jobs.push_back(std::move(rest));
    ASSERT_EQ(jobs.size(), 2u);  // a and b, then c and d after them
    std::vector<uint8_t> record;
    EXPECT_TRUE(jobs[later_first]->Make(record));
    WriteAll(dir_.path() / "b", Bytes(3 << 20, 'x'));
    EXPECT_FALSE(jobs[!later_first]->Make(record));
    EXPECT_EQ(jobs[!later_first]->failure.cause, Cause::kSourceChanged);
    EXPECT_EQ(jobs[!later_first]->failure.path, dir_.Wide("b"));
  }
}

// The old file a new one is patched from: the same path, else the same
// bytes anywhere, else a file the new release lacks with the same name or a
// like name and a size within a factor of two, else the file of its
// extension that holds most of its bytes among those the update replaces
// or removes; else none.
TEST_F(ReleaseTest, OldFileChoiceFollowsPathBytesNameAndContent) {
  const Bytes moved = PatternBytes(5000, false, 21);
  auto random = [](uint32_t seed) { return PatternBytes(20000, false, seed); };
  auto join = [](Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
  auto edited = [](Bytes a) { return a[100] ^= 1, a[15000] ^= 1, a; };
  auto head = [](Bytes a, size_t n) { return a.resize(n), a; };
  const Bytes kept = random(33), renamed = random(34);
  struct File {
    const char* name;
    Bytes bytes;
  };
  const std::vector<File> old_files = {
      {"same\\a.dat", Bytes(1000, 'a')},
      {"data\\moved.pak", moved},
      {"old\\leaf.bin", Bytes(3000, 'l')},
      {"lib\\engine_v1.dll", Bytes(4000, 'e')},
      {"keep\\other.txt", Bytes(2000, 'o')},
      {"src\\tool.o", join(random(31), random(32))},
      {"src\\kept.o", kept},
      {"src\\old_name.o", renamed},
  };
  // Besides the cases: one file as it was, one changed, one the same.
  const std::vector<File> also_new = {{"keep\\other.txt", Bytes(2000, 'o')},
                                      {"src\\tool.o", edited(random(31))},
                                      {"src\\kept.o", kept}};
  struct Case {
    const char* name;
    Bytes bytes;
    const char* expected;  // the old file's name, or null for none
  };
  const std::vector<Case> cases = {
      {"same\\a.dat", Bytes(1200, 'b'), "same\\a.dat"},
      {"new\\place.pak", moved, "data\\moved.pak"},
      {"new\\leaf.bin", Bytes(3100, 'm'), "old\\leaf.bin"},
      {"lib\\engine_v2.dll", Bytes(4100, 'f'), "lib\\engine_v1.dll"},
      {"x\\unrelated.txt", Bytes(2000, 'u'), nullptr},
      {"y\\leaf.bin", Bytes(10000, 'm'), nullptr},
      {"src\\split.o", join(random(32), random(35)), "src\\tool.o"},  // changed: read anyway
      {"src\\renamed.o", edited(renamed), "src\\old_name.o"},         // removed: read anyway
      {"src\\copy.o", edited(kept), nullptr},  // unchanged: patching would make it needed
      {"src\\fresh.o", random(36), nullptr},
      // Some of a changed file's content, but less than a tenth of its own.
      {"src\\mostly_new.o", join(PatternBytes(150000, false, 38), head(random(31), 6000)), nullptr},
  };
  auto tree = [&](const char* prefix, const std::vector<File>& named) {
    std::vector<pack::TreeFile> files;
    for (const File& f : named) {
      std::string path = prefix + std::to_string(files.size());
      WriteAll(dir_.path() / path, f.bytes);
      files.push_back({u".\\" + platform::FromUtf8Escaped(f.name), dir_.Wide(path),
                       static_cast<int64_t>(f.bytes.size())});
    }
    return files;
  };
  std::vector<File> new_files = also_new;
  for (const Case& c : cases) new_files.push_back({c.name, c.bytes});
  std::vector<pack::TreeFile> news = tree("new-", new_files);
  OldRelease release(tree("old-", old_files), news);
  for (size_t i = 0; i < cases.size(); ++i) {
    const pack::TreeFile& f = news[also_new.size() + i];
    const pack::TreeFile* from = release.SourceFor(f.name, f.path, f.size);
    WString expected =
        cases[i].expected ? u".\\" + platform::FromUtf8Escaped(cases[i].expected) : WString();
    EXPECT_EQ(from ? from->name : WString(), expected) << cases[i].name;
  }
}

// A series of three old releases: which files it removes (each version the
// releases had, and the releases that lack the file), which it leaves, and
// how each changed file is made: whole where a release has nothing like it,
// one patch where every release has one version, else a choice of
// versions, with the releases that hold the new file already.
TEST_F(ReleaseTest, SeriesPlansRemovalsOfEveryVersionAndASourceForEachFile) {
  using Tree = std::vector<std::pair<std::string, Bytes>>;
  auto bytes = [](char c) { return Bytes(3000, static_cast<uint8_t>(c)); };
  const Bytes v1 = bytes('1'), v2 = bytes('2'), v3 = bytes('3'), m = bytes('m'), t = bytes('t');
  const std::vector<Tree> olds = {
      {{"gone.dat", v1}, {"lvl.dat", v1}, {"a\\moved.bin", m}, {"Twin", t}},
      {{"gone.dat", v2}, {"lvl.dat", v2}, {"a\\moved.bin", m}, {"Twin", t}},
      {{"lvl.dat", v3}, {"a\\moved.bin", m}, {"Twin", t}, {"late.dat", bytes('l')}},
  };
  const Tree news = {{"lvl.dat", v3},
                     {"b\\moved.bin", bytes('M')},
                     {"TWIN", t},
                     {"late.dat", bytes('L')},
                     {"new.dat", PatternBytes(3000, false, 5)}};
  auto make = [&](const std::string& root, const Tree& files) {
    for (const auto& [name, bytes] : files) {
      std::string path = root + "/" + name;
      std::replace(path.begin(), path.end(), '\\', '/');
      fs::create_directories((dir_.path() / path).parent_path());
      WriteAll(dir_.path() / path, bytes);
    }
    OldTree tree{dir_.Wide(root), {}, {}};
    EXPECT_FALSE(pack::ListTreeFiles(tree.root, tree.files).failed());
    return tree;
  };
  Series series;
  OldTree made = make("new", news);
  series.source = made.root;
  series.files = made.files;
  for (size_t i = 0; i < olds.size(); ++i)
    series.olds.push_back(make("r" + std::to_string(i), olds[i]));
  ASSERT_FALSE(PlanRemovals(series).failure.failed());
  EXPECT_EQ(series.gone, (std::vector<WString>{u".\\Twin", u".\\a\\moved.bin", u".\\gone.dat"}));
  EXPECT_EQ(series.kept_under_other_case, std::vector<WString>{u".\\Twin"});
  ASSERT_EQ(series.removals.size(), 2u);
  const pack::BuildOptions::Removal &moved = series.removals[0], &gone = series.removals[1];
  EXPECT_EQ(moved.versions.size(), 1u);
  EXPECT_EQ(moved.versions[0].releases, 7u);
  ASSERT_EQ(gone.versions.size(), 2u);  // one version in each of the first two releases
  EXPECT_EQ(gone.versions[1].releases, 2u);
  EXPECT_EQ(gone.current_in, 4u);  // the third release lacks it
  struct Case {
    const char* name;
    FileSource::Kind kind;
    size_t versions;
    uint32_t current_in;
    const char* first_old;  // the first version's name
  };
  const std::vector<Case> cases = {
      {"lvl.dat", FileSource::kChoice, 2, 4, "lvl.dat"},           // the third has it already
      {"b\\moved.bin", FileSource::kDelta, 1, 0, "a\\moved.bin"},  // a move, like-named
      {"late.dat", FileSource::kWhole, 0, 0, nullptr},             // new since the first two
      {"new.dat", FileSource::kWhole, 0, 0, nullptr},
  };
  RecordPlanner planner(series);
  for (const Case& c : cases) {
    WString name = u".\\" + platform::FromUtf8Escaped(c.name);
    WString path = series.source + name.substr(1);
    FileSource source = planner.SourceOf(name, path);
    EXPECT_EQ(source.kind, c.kind) << c.name;
    EXPECT_EQ(source.versions.size(), c.versions) << c.name;
    EXPECT_EQ(source.current_in, c.current_in) << c.name;
    if (c.first_old && !source.versions.empty()) {
      EXPECT_EQ(source.versions[0].name, u".\\" + platform::FromUtf8Escaped(c.first_old));
    }
  }
  series.keep_removed = true;
  series.removals.clear();
  series.gone.clear();
  ASSERT_FALSE(PlanRemovals(series).failure.failed());
  EXPECT_EQ(series.gone.size(), 3u);
  EXPECT_TRUE(series.removals.empty());
}

// The file of a release series changed in place (by another program, or
// another user) after its version was told by its bytes and before the
// patch read it: at whichever operation that happens, the install fails
// naming that file, never the package.
fs::path g_changed_file;
bool g_changed = false;

void ChangeInPlace() {
  std::fstream file(g_changed_file, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(-1000, std::ios::end);
  g_changed = static_cast<bool>(file.write("changed", 7));
}

TEST_F(ReleaseTest, AVersionChangedBeforeItIsPatchedFromIsNamedNotThePackage) {
#ifdef _WIN32
  GTEST_SKIP() << "the updater reads the file shared for reading only: no other program writes it";
#endif
  const Bytes v1 = PatternBytes(1500000, false, 41);
  Bytes v2 = v1, made = v1;
  v2[700000] ^= 1;
  made[100] ^= 1;
  made[1400000] ^= 1;
  WriteAll(dir_.path() / "v1", v1);
  WriteAll(dir_.path() / "v2", v2);
  WriteAll(dir_.path() / "new", made);
  std::vector<OldVersion> versions(2);
  for (size_t i = 0; i < 2; ++i) {
    const Bytes& bytes = i == 0 ? v1 : v2;
    platform::Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    ASSERT_TRUE(hash.Finish(versions[i].version.hash));
    versions[i].version.size = bytes.size();
    versions[i].version.releases = 1u << i;
    versions[i].name = u".\\a.bin";
    versions[i].path = dir_.Wide(i == 0 ? "v1" : "v2");
  }
  std::vector<uint8_t> record;
  ASSERT_TRUE(
      ChoiceRecordJob(u".\\a.bin", dir_.Wide("new"), kTimes, versions, 0, false)->Make(record));
  platform::File file = OpenOrClosed(dir_.Wide("update.bin"), "wb");
  package::PackageOut out{&file, 0};
  ASSERT_TRUE(package::WriteToPackage(out, record.data(), record.size()));
  ASSERT_TRUE(package::WritePackageTrailer(out, static_cast<uint32_t>(record.size())));
  ASSERT_TRUE(file.Close());
  g_changed_file = dir_.path() / "game" / "a.bin";
  bool named = false;
  for (int n = 1;; ++n) {
    fs::remove_all(dir_.path() / "game");
    fs::create_directories(dir_.path() / "game");
    WriteAll(g_changed_file, v1);
    g_changed = false;
    platform::SetFaultForTesting(n, platform::FaultAction::kCall, ChangeInPlace);
    platform::File package;
    int64_t payload_end = 0;
    Failure failure = package::OpenPackage(dir_.Wide("update.bin"), package, payload_end);
    if (!failure.failed()) {
      failure =
          apply::InstallPackage(package, payload_end, dir_.Wide("game"), product::kInstallLock);
    }
    platform::SetFaultForTesting(0);
    if (!g_changed) {
      EXPECT_FALSE(failure.failed());
      EXPECT_TRUE(ReadAll(g_changed_file) == made);
      break;
    }
    EXPECT_NE(failure.cause, Cause::kBadDelta) << n;
    if (failure.cause == Cause::kOldFileChanged) {
      named = true;
      EXPECT_EQ(failure.path, dir_.Wide("game") + u"\\a.bin");
    }
    ASSERT_LT(n, 100);
  }
  EXPECT_TRUE(named);
}

}  // namespace
